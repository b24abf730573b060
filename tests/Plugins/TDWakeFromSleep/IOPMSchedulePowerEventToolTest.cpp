// The helper tool program end to end: requests go through MoreSecExecuteRequestInHelperTool to the
// real IOPMSchedulePowerEventToolTemplate, which, started by root, serves them itself. The store
// and the RTC are redirected into a temporary folder through WFS_POWER_EVENT_STORE and
// WFS_SYSFS_ROOT, which the tool inherits and, not being set-user-ID here, honours.
//
// Two behaviours cannot be reached through a separate process and are checked by calling the
// command procedure in-process:
//  - An RTC that refuses a second alarm (EBUSY): a plain file cannot refuse a write, so the RTC
//    attribute writer is swapped for one that behaves like the kernel, which only works inside the
//    process that makes the calls.
//  - A tool that cannot become root: the tool program run by a user other than root relays through
//    the privileged launch (tested with the main routine). What matters here is that the command
//    procedure, when it cannot raise its effective user, changes nothing; so it runs in a forked
//    child that has given up root for good. A second child keeps root as its saved user ID, as a
//    set-user-ID tool started by that user does, and shows root is taken only around the call.

#include "CommandProcedure.h"
#include "MoreSecurityWireTestSupport.h"

#include "RtcWakeAlarm.h"

#include <IOKit/IOKit.h>

#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <grp.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using namespace wfs_test;

namespace {

constexpr uid_t kNobody = 65534;
constexpr const char kHost[] = "org.tidemark.host";

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

void WriteFile(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

std::vector<std::string> FolderEntries(const std::string &folder)
{
    std::vector<std::string> names;
    if (DIR *dir = opendir(folder.c_str())) {
        while (struct dirent *entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") names.push_back(name);
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

CFAbsoluteTime SecondsFromNow(double seconds)
{
    return std::floor(CFAbsoluteTimeGetCurrent()) + seconds;
}

// What the RTC holds for `time` when its clock keeps UTC.
std::string UnixSeconds(CFAbsoluteTime time)
{
    return std::to_string(static_cast<long long>(std::floor(time + kCFAbsoluteTimeIntervalSince1970)));
}

wfs::CFRef<CFStringRef> String(const std::string &utf8)
{
    return wfs::CFRef<CFStringRef>(CFStringCreateWithBytes(
        nullptr, reinterpret_cast<const UInt8 *>(utf8.data()), static_cast<CFIndex>(utf8.size()),
        kCFStringEncodingUTF8, false));
}

// A request as the controller builds it; an empty string leaves its key out.
wfs::CFRef<CFMutableDictionaryRef> Request(const char *command, CFAbsoluteTime date,
                                           const std::string &scheduler,
                                           const std::string &type = "wakepoweron")
{
    wfs::CFRef<CFMutableDictionaryRef> request = MakeDictionary();
    CFDictionarySetValue(request.get(), CFSTR("CommandName"), String(command).get());
    wfs::CFRef<CFDateRef> when(CFDateCreate(nullptr, date));
    CFDictionarySetValue(request.get(), CFSTR("Date"), when.get());
    if (!scheduler.empty()) CFDictionarySetValue(request.get(), CFSTR("Scheduler"), String(scheduler).get());
    if (!type.empty()) CFDictionarySetValue(request.get(), CFSTR("Type"), String(type).get());
    return request;
}

wfs::CFRef<CFMutableDictionaryRef> MakeDictionaryWithCommand(const char *command)
{
    wfs::CFRef<CFMutableDictionaryRef> request = MakeDictionary();
    CFDictionarySetValue(request.get(), CFSTR("CommandName"), String(command).get());
    return request;
}

struct Listed {
    CFAbsoluteTime time;
    std::string scheduler;
    std::string type;
};

std::vector<Listed> ListEvents()
{
    std::vector<Listed> listed;
    wfs::CFRef<CFArrayRef> events(IOPMCopyScheduledPowerEvents());
    if (!events) return listed;
    for (CFIndex i = 0; i < CFArrayGetCount(events.get()); i++) {
        auto event = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(events.get(), i));
        auto date = static_cast<CFDateRef>(CFDictionaryGetValue(event, CFSTR(kIOPMPowerEventTimeKey)));
        listed.push_back({date != nullptr ? CFDateGetAbsoluteTime(date) : 0.0,
                          GetString(event, CFSTR(kIOPMPowerEventAppNameKey)),
                          GetString(event, CFSTR(kIOPMPowerEventTypeKey))});
    }
    return listed;
}

// Behaves like the kernel's wakealarm attribute: a time over an alarm that is already set is
// refused with EBUSY, "0" disarms. Records what was written.
std::vector<std::string> gWrites;
bool gArmBehindOurBack = false;

int KernelLikeWriter(const char *path, const char *text)
{
    gWrites.push_back(text);
    if (access(path, F_OK) != 0) return ENOENT;
    std::string current = ReadFile(path);
    if (atoll(text) <= 0) {
        WriteFile(path, "");
        return 0;
    }
    if (gArmBehindOurBack) {
        // Another program sets its alarm between the tool's disarm and its own write.
        gArmBehindOurBack = false;
        WriteFile(path, "1\n");
        return EBUSY;
    }
    if (!current.empty()) return EBUSY;
    WriteFile(path, std::string(text) + "\n");
    return 0;
}

class ToolProgram : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0) GTEST_SKIP() << "needs root";
        ASSERT_EQ(MoreUNIXIgnoreSIGPIPE(), 0);
        char pattern[] = "/tmp/tool-program-test-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        root_ = pattern;
        // The child that drops to nobody lists the store too.
        ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
        storeFolder_ = root_ + "/wake-from-sleep";
        storePath_ = storeFolder_ + "/scheduled-power-events.plist";
        const std::string sysfs = root_ + "/sys";
        rtc_ = sysfs + "/class/rtc/rtc0";
        for (const std::string &folder : {sysfs, sysfs + "/class", sysfs + "/class/rtc", rtc_,
                                          rtc_ + "/device", rtc_ + "/device/power"}) {
            ASSERT_EQ(mkdir(folder.c_str(), 0755), 0) << folder;
        }
        WriteFile(rtc_ + "/device/power/wakeup", "enabled\n");
        WriteFile(rtc_ + "/since_epoch", std::to_string(time(nullptr)) + "\n");
        WriteFile(rtc_ + "/wakealarm", "");
        setenv("WFS_POWER_EVENT_STORE", storePath_.c_str(), 1);
        setenv("WFS_SYSFS_ROOT", sysfs.c_str(), 1);

        ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &auth_), 0);
        const std::string toolPath = IOPM_SCHEDULE_POWER_EVENT_TOOL;
        tool_.reset(CFURLCreateFromFileSystemRepresentation(
            nullptr, reinterpret_cast<const UInt8 *>(toolPath.data()),
            static_cast<CFIndex>(toolPath.size()), false));
        ASSERT_TRUE(tool_);
        descriptorsBefore_ = CountOpenDescriptors();
    }

    void TearDown() override
    {
        wfs::iokit::SetAttributeWriterForTesting(nullptr);
        unsetenv("WFS_POWER_EVENT_STORE");
        unsetenv("WFS_SYSFS_ROOT");
        if (auth_ != nullptr) AuthorizationFree(auth_, kAuthorizationFlagDefaults);
        if (!root_.empty()) {
            nftw(root_.c_str(), [](const char *path, const struct stat *, int, struct FTW *) { return remove(path); },
                 16, FTW_DEPTH | FTW_PHYS);
        }
    }

    // Sends `request` to the tool; answers the command's own result from the response's error
    // key. The transport itself must succeed and leave nothing behind.
    int Perform(CFDictionaryRef request)
    {
        wfs::CFRef<CFDictionaryRef> response;
        const int err = MoreSecExecuteRequestInHelperTool(tool_.get(), auth_, request, response.out());
        EXPECT_EQ(err, 0);
        EXPECT_EQ(CountOpenDescriptors(), descriptorsBefore_);
        EXPECT_TRUE(NoChildLeft());
        if (err != 0 || !response) return err != 0 ? err : -1;
        // The procedure answers nothing but its result.
        EXPECT_EQ(CFDictionaryGetCount(response.get()), 1);
        return MoreSecGetErrorFromResponse(response.get());
    }

    std::string Alarm() const
    {
        std::string value = ReadFile(rtc_ + "/wakealarm");
        while (!value.empty() && value.back() == '\n') value.pop_back();
        return value;
    }

    std::string StoreBytes() const { return ReadFile(storePath_); }

    std::string root_;
    std::string storeFolder_;
    std::string storePath_;
    std::string rtc_;
    AuthorizationRef auth_ = nullptr;
    wfs::CFRef<CFURLRef> tool_;
    int descriptorsBefore_ = 0;
};

}  // namespace

TEST_F(ToolProgram, ScheduleAndCancelKeepTheStoreAndTheRtcInStep)
{
    EXPECT_EQ(Perform(MakeDictionaryWithCommand("GetPrivileges").get()), 0);
    EXPECT_TRUE(ListEvents().empty());

    const CFAbsoluteTime ours = SecondsFromNow(3600);
    ASSERT_EQ(Perform(Request("SchedulePowerEvent", ours, kHost).get()), 0);
    std::vector<Listed> events = ListEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].time, ours);
    EXPECT_EQ(events[0].scheduler, kHost);
    EXPECT_EQ(events[0].type, "wakepoweron");
    EXPECT_EQ(Alarm(), UnixSeconds(ours));

    // Another scheduler's earlier event takes the RTC, and gives it back when it is withdrawn.
    const CFAbsoluteTime theirs = SecondsFromNow(1800);
    ASSERT_EQ(Perform(Request("SchedulePowerEvent", theirs, "org.example.other").get()), 0);
    EXPECT_EQ(ListEvents().size(), 2u);
    EXPECT_EQ(Alarm(), UnixSeconds(theirs));
    ASSERT_EQ(Perform(Request("CancelPowerEvent", theirs, "org.example.other").get()), 0);
    EXPECT_EQ(ListEvents().size(), 1u);
    EXPECT_EQ(Alarm(), UnixSeconds(ours));

    // Withdrawing what is not there: not found, and nothing moves.
    const std::string storeBefore = StoreBytes();
    EXPECT_EQ(Perform(Request("CancelPowerEvent", theirs, "org.example.other").get()),
              static_cast<int>(kIOReturnNotFound));
    EXPECT_EQ(Perform(Request("CancelPowerEvent", ours, kHost, "wake").get()),
              static_cast<int>(kIOReturnNotFound));
    EXPECT_EQ(StoreBytes(), storeBefore);
    EXPECT_EQ(Alarm(), UnixSeconds(ours));

    // A sleep event is stored but never wakes the machine, even when it is the earliest.
    ASSERT_EQ(Perform(Request("SchedulePowerEvent", SecondsFromNow(600), kHost, "sleep").get()), 0);
    EXPECT_EQ(ListEvents().size(), 2u);
    EXPECT_EQ(Alarm(), UnixSeconds(ours));

    // The last waking event gone: the alarm is disarmed.
    ASSERT_EQ(Perform(Request("CancelPowerEvent", ours, kHost).get()), 0);
    events = ListEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].type, "sleep");
    EXPECT_TRUE(Alarm().empty() || Alarm() == "0") << Alarm();
}

TEST_F(ToolProgram, AnRtcThatRefusesASecondAlarmIsDisarmedFirst)
{
    wfs::iokit::SetAttributeWriterForTesting(KernelLikeWriter);
    gWrites.clear();
    // Armed by some other program: a plain write of our time would be refused.
    WriteFile(rtc_ + "/wakealarm", "2000000000\n");

    const CFAbsoluteTime ours = SecondsFromNow(3600);
    wfs::CFRef<CFDictionaryRef> response;
    EXPECT_EQ(PowerEventCommandProcedure(auth_, Request("SchedulePowerEvent", ours, kHost).get(),
                                         response.out()),
              0);
    EXPECT_FALSE(response);
    EXPECT_EQ(Alarm(), UnixSeconds(ours));
    ASSERT_GE(gWrites.size(), 2u);
    EXPECT_EQ(gWrites.front(), "0");
    EXPECT_EQ(gWrites.back(), UnixSeconds(ours));

    // Someone arms it between the disarm and our write: the alarm that stands is still ours.
    gWrites.clear();
    gArmBehindOurBack = true;
    const CFAbsoluteTime earlier = SecondsFromNow(1200);
    EXPECT_EQ(PowerEventCommandProcedure(auth_, Request("SchedulePowerEvent", earlier, kHost).get(),
                                         response.out()),
              0);
    EXPECT_EQ(Alarm(), UnixSeconds(earlier));
    EXPECT_EQ(ListEvents().size(), 2u);
    EXPECT_EQ(std::count(gWrites.begin(), gWrites.end(), UnixSeconds(earlier)), 2);
}

TEST_F(ToolProgram, TwentyToolsAtOnceAllStoreTheirEvents)
{
    constexpr int kClients = 20;
    int gate[2] = {-1, -1};
    ASSERT_EQ(pipe2(gate, O_CLOEXEC), 0);
    wfs::UniqueFd gateRead(gate[0]);
    wfs::UniqueFd gateWrite(gate[1]);

    const CFAbsoluteTime base = SecondsFromNow(7200);
    std::vector<pid_t> clients;
    for (int i = 0; i < kClients; i++) {
        const pid_t pid = fork();
        ASSERT_NE(pid, -1);
        if (pid == 0) {
            gateWrite.reset();
            // All twenty start their tools when the gate opens (its write end closes).
            char byte;
            if (wfs::RetryOnEintr([&] { return read(gateRead.get(), &byte, 1); }) != 0) _exit(10);
            wfs::CFRef<CFMutableDictionaryRef> request =
                Request("SchedulePowerEvent", base + i, "org.example.client-" + std::to_string(i));
            wfs::CFRef<CFDictionaryRef> response;
            const int err = MoreSecExecuteRequestInHelperTool(tool_.get(), auth_, request.get(),
                                                              response.out());
            if (err != 0) _exit(11);
            _exit(MoreSecGetErrorFromResponse(response.get()) == 0 ? 0 : 12);
        }
        clients.push_back(pid);
    }
    gateWrite.reset();
    for (pid_t pid : clients) {
        int status = 0;
        ASSERT_EQ(wfs::RetryOnEintr([&] { return waitpid(pid, &status, 0); }), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
    }

    const std::vector<Listed> events = ListEvents();
    ASSERT_EQ(events.size(), static_cast<size_t>(kClients));
    for (int i = 0; i < kClients; i++) {
        EXPECT_EQ(events[i].time, base + i);
        EXPECT_EQ(events[i].scheduler, "org.example.client-" + std::to_string(i));
    }
    EXPECT_EQ(Alarm(), UnixSeconds(base));
    // No temporary file of any writer is left beside the store.
    for (const std::string &name : FolderEntries(storeFolder_)) {
        EXPECT_TRUE(name == "scheduled-power-events.plist" || name == "scheduled-power-events.plist.lock")
            << name;
    }
}

TEST_F(ToolProgram, BadRequestsAreRefusedAndChangeNothing)
{
    const CFAbsoluteTime ours = SecondsFromNow(3600);
    ASSERT_EQ(Perform(Request("SchedulePowerEvent", ours, kHost).get()), 0);
    const std::string storeBefore = StoreBytes();
    ASSERT_FALSE(storeBefore.empty());
    const CFAbsoluteTime when = SecondsFromNow(1800);

    for (const char *command : {"SchedulePowerEvent", "CancelPowerEvent"}) {
        SCOPED_TRACE(command);
        wfs::CFRef<CFMutableDictionaryRef> noDate = Request(command, when, kHost);
        CFDictionaryRemoveValue(noDate.get(), CFSTR("Date"));
        EXPECT_EQ(Perform(noDate.get()), paramErr);

        wfs::CFRef<CFMutableDictionaryRef> stringDate = Request(command, when, kHost);
        CFDictionarySetValue(stringDate.get(), CFSTR("Date"), CFSTR("2031-01-01T07:00:00Z"));
        EXPECT_EQ(Perform(stringDate.get()), paramErr);

        EXPECT_EQ(Perform(Request(command, when, "").get()), paramErr);
        EXPECT_EQ(Perform(Request(command, when, kHost, "").get()), paramErr);

        wfs::CFRef<CFMutableDictionaryRef> numberType = Request(command, when, kHost);
        int five = 5;
        wfs::CFRef<CFNumberRef> number(CFNumberCreate(nullptr, kCFNumberIntType, &five));
        CFDictionarySetValue(numberType.get(), CFSTR("Type"), number.get());
        EXPECT_EQ(Perform(numberType.get()), paramErr);

        EXPECT_EQ(Perform(Request(command, when, kHost, "hibernate").get()),
                  static_cast<int>(kIOReturnBadArgument));
        EXPECT_EQ(Perform(Request(command, when, std::string(300, 's')).get()),
                  static_cast<int>(kIOReturnBadArgument));
    }
    // Only the three commands, and only as strings.
    EXPECT_EQ(Perform(Request("FormatDisk", when, kHost).get()), paramErr);
    EXPECT_EQ(Perform(Request("schedulepowerevent", when, kHost).get()), paramErr);
    wfs::CFRef<CFMutableDictionaryRef> noCommand = Request("SchedulePowerEvent", when, kHost);
    CFDictionaryRemoveValue(noCommand.get(), CFSTR("CommandName"));
    EXPECT_EQ(Perform(noCommand.get()), paramErr);
    wfs::CFRef<CFMutableDictionaryRef> dateCommand = Request("SchedulePowerEvent", when, kHost);
    wfs::CFRef<CFDateRef> date(CFDateCreate(nullptr, when));
    CFDictionarySetValue(dateCommand.get(), CFSTR("CommandName"), date.get());
    EXPECT_EQ(Perform(dateCommand.get()), paramErr);

    EXPECT_EQ(StoreBytes(), storeBefore);
    EXPECT_EQ(Alarm(), UnixSeconds(ours));
    ASSERT_EQ(ListEvents().size(), 1u);
}

TEST_F(ToolProgram, WithoutRootNothingIsScheduledOrCancelled)
{
    const CFAbsoluteTime ours = SecondsFromNow(3600);
    ASSERT_EQ(Perform(Request("SchedulePowerEvent", ours, kHost).get()), 0);
    const std::string storeBefore = StoreBytes();

    // Root given up for good: the procedure cannot raise its effective user.
    ForkedPeer unprivileged(-1, [&](int) {
        if (setgroups(0, nullptr) == -1 || setgid(kNobody) == -1 || setuid(kNobody) == -1) return 20;
        const CFAbsoluteTime other = SecondsFromNow(1800);
        wfs::CFRef<CFDictionaryRef> response;
        if (PowerEventCommandProcedure(auth_, Request("SchedulePowerEvent", other, kHost).get(),
                                       response.out()) != static_cast<int>(kIOReturnNotPrivileged)) {
            return 21;
        }
        if (PowerEventCommandProcedure(auth_, Request("CancelPowerEvent", ours, kHost).get(),
                                       response.out()) != static_cast<int>(kIOReturnNotPrivileged)) {
            return 22;
        }
        // Asking for nothing needs no privilege.
        if (PowerEventCommandProcedure(auth_, MakeDictionaryWithCommand("GetPrivileges").get(),
                                       response.out()) != 0) {
            return 23;
        }
        return response ? 24 : 0;
    });
    EXPECT_EQ(unprivileged.Join(), 0);
    EXPECT_EQ(StoreBytes(), storeBefore);
    EXPECT_EQ(Alarm(), UnixSeconds(ours));

    // Started by nobody as a set-user-ID tool is: root only around the power manager's call.
    const CFAbsoluteTime theirs = SecondsFromNow(1200);
    ForkedPeer setUserID(-1, [&](int) {
        if (setgroups(0, nullptr) == -1 || setresgid(kNobody, kNobody, kNobody) == -1 ||
            setresuid(kNobody, kNobody, 0) == -1) {
            return 30;
        }
        wfs::CFRef<CFDictionaryRef> response;
        if (PowerEventCommandProcedure(auth_, Request("SchedulePowerEvent", theirs, "org.example.nobody").get(),
                                       response.out()) != 0) {
            return 31;
        }
        uid_t real = 0, effective = 0, saved = 0;
        if (getresuid(&real, &effective, &saved) == -1) return 32;
        return real == kNobody && effective == kNobody && saved == 0 ? 0 : 33;
    });
    EXPECT_EQ(setUserID.Join(), 0);
    EXPECT_EQ(ListEvents().size(), 2u);
    EXPECT_EQ(Alarm(), UnixSeconds(theirs));
}

TEST_F(ToolProgram, AGarbledStoreIsMovedAsideAndTheNewEventStored)
{
    ASSERT_EQ(mkdir(storeFolder_.c_str(), 0755), 0);
    const std::string garbage = "<?xml version=\"1.0\"?><plist><dict><key>unterminated";
    WriteFile(storePath_, garbage);

    const CFAbsoluteTime ours = SecondsFromNow(3600);
    ASSERT_EQ(Perform(Request("SchedulePowerEvent", ours, kHost).get()), 0);
    const std::vector<Listed> events = ListEvents();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].time, ours);
    EXPECT_EQ(Alarm(), UnixSeconds(ours));

    int movedAside = 0;
    for (const std::string &name : FolderEntries(storeFolder_)) {
        if (name.rfind("scheduled-power-events.plist.corrupt-", 0) != 0) continue;
        movedAside++;
        EXPECT_EQ(ReadFile(storeFolder_ + "/" + name), garbage);
    }
    EXPECT_EQ(movedAside, 1);
}

// Starts the tool directly (not through the client) with `arguments` on a socket pair whose other
// end already holds `input`, then closed for writing. Answers the wait status; `pair` keeps both
// ends so that the caller can see what the tool read and wrote.
int StartToolWithArguments(char *const arguments[], const std::string &input, SocketPair &pair)
{
    EXPECT_EQ(MoreUNIXWrite(pair.ours.get(), input.data(), input.size(), nullptr), 0);
    EXPECT_EQ(shutdown(pair.ours.get(), SHUT_WR), 0);
    const pid_t pid = fork();
    if (pid == -1) return -1;
    if (pid == 0) {
        if (dup2(pair.theirs.get(), 0) == -1 || dup2(pair.theirs.get(), 1) == -1) _exit(100);
        execve(IOPM_SCHEDULE_POWER_EVENT_TOOL, arguments, environ);
        _exit(101);
    }
    int status = 0;
    if (wfs::RetryOnEintr([&] { return waitpid(pid, &status, 0); }) != pid) return -1;
    return status;
}

// The bytes still unread on `fd`, without waiting.
ssize_t Pending(int fd)
{
    char buffer[4096];
    const ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT | MSG_PEEK);
    return n == -1 && errno == EAGAIN ? 0 : n;
}

TEST_F(ToolProgram, AStartWithoutArgumentsIsServedOrRefusedButNeverCrashes)
{
    AuthorizationExternalForm form;
    ASSERT_EQ(AuthorizationMakeExternalForm(auth_, &form), 0);
    SocketPair frame;
    ASSERT_EQ(WriteDictionaryToDescriptor(MakeDictionaryWithCommand("GetPrivileges").get(),
                                          frame.ours.get()),
              0);
    char bytes[4096];
    const ssize_t frameSize = recv(frame.theirs.get(), bytes, sizeof bytes, MSG_DONTWAIT);
    ASSERT_GT(frameSize, 0);
    const std::string input =
        std::string(reinterpret_cast<const char *>(&form), sizeof form) + std::string(bytes, frameSize);

    char *const noArguments[] = {nullptr};
    SocketPair pair;
    const int status = StartToolWithArguments(noArguments, input, pair);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    if (WEXITSTATUS(status) == kHelperToolResultInternalError) {
        // The kernel let the argument count be 0: refused before reading anything.
        EXPECT_EQ(Pending(pair.theirs.get()), static_cast<ssize_t>(input.size()));
        EXPECT_EQ(Pending(pair.ours.get()), 0);
    } else {
        // Kernels from 5.18 on give such a program one empty argument; the tool then names itself
        // from its executable and serves the request as usual.
        EXPECT_EQ(WEXITSTATUS(status), kHelperToolResultSuccess);
        wfs::CFRef<CFDictionaryRef> response;
        ASSERT_EQ(CopyDictionaryTranslatingDescriptors(pair.ours.get(), response.out()), 0);
        EXPECT_EQ(MoreSecGetErrorFromResponse(response.get()), 0);
        EXPECT_EQ(Pending(pair.theirs.get()), 0);
    }
}

TEST_F(ToolProgram, AStartWithTooManyArgumentsIsRefusedWithoutReading)
{
    char *const tooMany[] = {const_cast<char *>("tool"), const_cast<char *>("--self-repair"),
                             const_cast<char *>("extra"), nullptr};
    SocketPair pair;
    const std::string input = "not a request";
    const int status = StartToolWithArguments(tooMany, input, pair);
    ASSERT_TRUE(WIFEXITED(status)) << status;
    EXPECT_EQ(WEXITSTATUS(status), kHelperToolResultInternalError);
    EXPECT_EQ(Pending(pair.theirs.get()), static_cast<ssize_t>(input.size()));
    EXPECT_EQ(Pending(pair.ours.get()), 0);
    EXPECT_FALSE(access(storePath_.c_str(), F_OK) == 0);
}
