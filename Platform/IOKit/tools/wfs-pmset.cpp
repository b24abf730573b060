// wfs-pmset: lists the scheduled power events, and as root schedules, cancels and re-arms them.
#include "IsoDate.h"
#include "ListingText.h"

#include <IOKit/IOKit.h>
#include <Support/CFRef.h>

#include <pwd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

using wfs::CFRef;

const char *gProgram = "wfs-pmset";

// Exit statuses; kept in step with the usage text.
enum Exit {
    kExitSuccess = 0,
    kExitFailure = 1,
    kExitUsage = 2,
    kExitNotPrivileged = 3,
    kExitRefused = 4,
    kExitNotFound = 5,
    kExitNoDevice = 6,
};

void Usage(FILE *out) {
    std::fprintf(out,
                 "usage: %s list\n"
                 "       %s schedule <type> <date> <scheduler>   (root)\n"
                 "       %s cancel <type> <date> <scheduler>     (root)\n"
                 "       %s rearm                                (root)\n"
                 "\n"
                 "  list      prints each pending event on a line: date (UTC), type, owner, scheduler\n"
                 "            (characters a terminal would act on are shown as \\x.. or \\u....)\n"
                 "  schedule  stores an event, owned by root, and arms the RTC wake alarm for the\n"
                 "            earliest waking one\n"
                 "  cancel    removes the events with exactly this date, type and scheduler,\n"
                 "            whoever owns them\n"
                 "  rearm     re-arms the RTC wake alarm from the stored events (run at boot)\n"
                 "\n"
                 "  <type>  wake, poweron, wakepoweron, sleep, shutdown or restart\n"
                 "  <date>  ISO 8601: YYYY-MM-DDTHH:MM:SS[.fraction] followed by Z or +HH:MM\n"
                 "\n"
                 "exit status:\n"
                 "  0  done\n"
                 "  1  the store or the RTC failed, the store cannot be read, or another change\n"
                 "     held the store for 3 seconds (a store failure changes nothing)\n"
                 "  2  usage error: unknown command, wrong arguments, a malformed date\n"
                 "  3  not permitted: the command needs root\n"
                 "  4  refused: unknown type, date not ahead, bad scheduler, or the store is full\n"
                 "     (64 events per owner, 1024 in all)\n"
                 "  5  cancel: no such event\n"
                 "  6  stored, but the machine has no usable RTC wake alarm to arm\n",
                 gProgram, gProgram, gProgram, gProgram);
}

int Report(const char *command, IOReturn result) {
    const char *text = nullptr;
    int status = kExitFailure;
    switch (result) {
        case kIOReturnSuccess: return kExitSuccess;
        case kIOReturnNotPrivileged: text = "not permitted: must be run as root"; status = kExitNotPrivileged; break;
        case kIOReturnBadArgument: text = "refused: invalid argument"; status = kExitRefused; break;
        case kIOReturnNoSpace:
            text = "refused: the event store is full (64 events per owner, 1024 in all) or the disk is";
            status = kExitRefused;
            break;
        case kIOReturnBusy: text = "another change held the event store for 3 seconds; nothing changed"; break;
        case kIOReturnNotReadable: text = "the event store cannot be read: it is damaged or too large"; break;
        case kIOReturnNotFound: text = "no such scheduled event"; status = kExitNotFound; break;
        case kIOReturnNoDevice:
            text = "the change is stored, but there is no usable RTC wake alarm to arm";
            status = kExitNoDevice;
            break;
        case kIOReturnNoMemory: text = "out of memory"; break;
        case kIOReturnNoResources: text = "out of resources"; break;
        case kIOReturnNotPermitted: text = "the event store or the RTC refused access"; break;
        case kIOReturnIOError: text = "I/O error on the event store or the RTC"; break;
        default: text = "the event store or the RTC wake alarm failed"; break;
    }
    std::fprintf(stderr, "%s: %s: %s (0x%08x)\n", gProgram, command, text, static_cast<unsigned>(result));
    return status;
}

bool StringValue(CFDictionaryRef event, CFStringRef key, std::string &out) {
    CFTypeRef value = CFDictionaryGetValue(event, key);
    if (value == nullptr || CFGetTypeID(value) != CFStringGetTypeID()) return false;
    char buffer[1024];
    if (!CFStringGetCString(static_cast<CFStringRef>(value), buffer, sizeof buffer, kCFStringEncodingUTF8)) return false;
    out = buffer;
    return true;
}

// The account name of `uid`, or the number when the user database has none.
std::string AccountName(uid_t uid) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    struct passwd entry;
    struct passwd *found = nullptr;
    if (::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr) {
        return found->pw_name;
    }
    return std::to_string(uid);
}

int List() {
    CFArrayRef read = nullptr;
    // A store that cannot be read is said so: an empty listing would tell root that nothing will
    // wake the machine.
    if (IOReturn result = IOPMReadScheduledPowerEvents(&read)) return Report("list", result);
    CFRef<CFArrayRef> events(read);
    for (CFIndex i = 0, count = CFArrayGetCount(events.get()); i < count; ++i) {
        auto event = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(events.get(), i));
        CFTypeRef date = CFDictionaryGetValue(event, CFSTR(kIOPMPowerEventTimeKey));
        CFTypeRef owner = CFDictionaryGetValue(event, CFSTR(kIOPMPowerEventOwnerUIDKey));
        std::string type, scheduler;
        SInt64 ownerID = -1;
        if (date == nullptr || CFGetTypeID(date) != CFDateGetTypeID() ||
            !StringValue(event, CFSTR(kIOPMPowerEventTypeKey), type) ||
            !StringValue(event, CFSTR(kIOPMPowerEventAppNameKey), scheduler) || owner == nullptr ||
            CFGetTypeID(owner) != CFNumberGetTypeID() ||
            !CFNumberGetValue(static_cast<CFNumberRef>(owner), kCFNumberSInt64Type, &ownerID)) {
            continue;
        }
        std::string when = wfs::pmset::FormatIsoDate(CFDateGetAbsoluteTime(static_cast<CFDateRef>(date)));
        // The scheduler, free text, comes last, so that no name can shift the other columns.
        std::printf("%s %s %s %s\n", when.c_str(), wfs::pmset::EscapedForTerminal(type).c_str(),
                    wfs::pmset::EscapedForTerminal(AccountName(static_cast<uid_t>(ownerID))).c_str(),
                    wfs::pmset::EscapedForTerminal(scheduler).c_str());
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "%s: list: cannot write the listing: %s\n", gProgram, std::strerror(errno));
        return kExitFailure;
    }
    return kExitSuccess;
}

int Change(const char *command, char **arguments) {
    CFAbsoluteTime when = 0;
    if (!wfs::pmset::ParseIsoDate(arguments[1], when)) {
        std::fprintf(stderr, "%s: %s: not an ISO 8601 date: %s\n", gProgram, command, arguments[1]);
        return kExitUsage;
    }
    CFRef<CFDateRef> date(CFDateCreate(kCFAllocatorDefault, when));
    CFRef<CFStringRef> type(CFStringCreateWithCString(kCFAllocatorDefault, arguments[0], kCFStringEncodingUTF8));
    CFRef<CFStringRef> scheduler(CFStringCreateWithCString(kCFAllocatorDefault, arguments[2], kCFStringEncodingUTF8));
    if (!date) return Report(command, kIOReturnNoMemory);
    if (!type || !scheduler) {
        std::fprintf(stderr, "%s: %s: the type and the scheduler must be UTF-8\n", gProgram, command);
        return kExitRefused;
    }
    IOReturn result = std::strcmp(command, "schedule") == 0
                          ? IOPMSchedulePowerEvent(date.get(), scheduler.get(), type.get())
                          : IOPMCancelScheduledPowerEvent(date.get(), scheduler.get(), type.get());
    return Report(command, result);
}

}  // namespace

int main(int argc, char **argv) {
    if (argc > 0 && argv[0] != nullptr && argv[0][0] != '\0') {
        const char *slash = std::strrchr(argv[0], '/');
        gProgram = slash != nullptr ? slash + 1 : argv[0];
    }
    if (argc < 2) {
        Usage(stderr);
        return kExitUsage;
    }
    const char *command = argv[1];
    if (std::strcmp(command, "list") == 0 && argc == 2) return List();
    if (std::strcmp(command, "rearm") == 0 && argc == 2) return Report(command, IOPMRearmScheduledPowerEvents());
    if ((std::strcmp(command, "schedule") == 0 || std::strcmp(command, "cancel") == 0) && argc == 5) {
        return Change(command, argv + 2);
    }
    if (std::strcmp(command, "help") == 0 || std::strcmp(command, "--help") == 0 || std::strcmp(command, "-h") == 0) {
        Usage(stdout);
        return kExitSuccess;
    }
    std::fprintf(stderr, "%s: unknown command or wrong number of arguments: %s\n", gProgram, command);
    Usage(stderr);
    return kExitUsage;
}
