#include "PendingPowerEvents.h"

#include "AlarmDates.h"

#include <IOKit/IOKit.h>
#include <ListingText.h>
#include <Support/CFRef.h>

#include <cmath>
#include <ctime>
#include <string>

#include <pwd.h>

namespace tidemark {
namespace {

std::string Text(CFTypeRef value) {
    if (value == nullptr || CFGetTypeID(value) != CFStringGetTypeID()) return "?";
    const auto string = static_cast<CFStringRef>(value);
    CFIndex bytes = 0;
    const CFRange all = CFRangeMake(0, CFStringGetLength(string));
    CFStringGetBytes(string, all, kCFStringEncodingUTF8, '?', false, nullptr, 0, &bytes);
    std::string text(static_cast<size_t>(bytes), '\0');
    CFStringGetBytes(string, all, kCFStringEncodingUTF8, '?', false, reinterpret_cast<UInt8 *>(text.data()), bytes, nullptr);
    return wfs::pmset::EscapedForTerminal(text);
}

std::string When(CFTypeRef value) {
    if (value == nullptr || CFGetTypeID(value) != CFDateGetTypeID()) return "?";
    const Instant when{std::chrono::seconds(static_cast<long long>(
        std::floor(CFDateGetAbsoluteTime(static_cast<CFDateRef>(value)) + kCFAbsoluteTimeIntervalSince1970)))};
    return FormatInstant(when, "%Y-%m-%d %H:%M:%S %Z") + " (" + FormatInstant(when, "%Y-%m-%d %H:%M:%S UTC", true) + ")";
}

std::string Owner(CFTypeRef value) {
    long long uid = -1;
    if (value == nullptr || CFGetTypeID(value) != CFNumberGetTypeID() ||
        !CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberLongLongType, &uid)) {
        return "?";
    }
    struct passwd entry {}, *found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(static_cast<uid_t>(uid), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr) {
        return wfs::pmset::EscapedForTerminal(found->pw_name);
    }
    return std::to_string(uid);
}

}  // namespace

bool PrintPendingPowerEvents(std::ostream &out, std::ostream &err) {
    wfs::CFRef<CFArrayRef> events;
    if (IOPMReadScheduledPowerEvents(events.out()) != kIOReturnSuccess) {
        // Saying "none" here would tell the user that nothing will wake the machine.
        err << "tidemark: the scheduled power events cannot be read\n";
        return false;
    }
    const CFIndex count = CFArrayGetCount(events.get());
    out << "pending power events:" << (count == 0 ? " none" : "") << "\n";
    for (CFIndex i = 0; i < count; ++i) {
        const CFTypeRef item = CFArrayGetValueAtIndex(events.get(), i);
        if (CFGetTypeID(item) != CFDictionaryGetTypeID()) continue;
        const auto event = static_cast<CFDictionaryRef>(item);
        out << "  " << When(CFDictionaryGetValue(event, CFSTR(kIOPMPowerEventTimeKey))) << " "
            << Text(CFDictionaryGetValue(event, CFSTR(kIOPMPowerEventTypeKey))) << " by "
            << Text(CFDictionaryGetValue(event, CFSTR(kIOPMPowerEventAppNameKey))) << " for "
            << Owner(CFDictionaryGetValue(event, CFSTR(kIOPMPowerEventOwnerUIDKey))) << "\n";
    }
    return true;
}

}  // namespace tidemark
