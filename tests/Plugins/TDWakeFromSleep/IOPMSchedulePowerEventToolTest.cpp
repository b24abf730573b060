// The helper tool program end to end: requests go through MoreSecExecuteRequestInHelperTool to the
// real IOPMSchedulePowerEventToolTemplate, which, started by root, serves them itself. The store
// and the RTC are redirected into a temporary folder through WFS_POWER_EVENT_STORE and
// WFS_SYSFS_ROOT, which the tool inherits and, not being set-user-ID here, honours.
//
// Two behaviours are checked by calling the command procedure in-process: an RTC that refuses a
// second alarm (EBUSY), which a plain file cannot do, so the RTC writer is swapped for one that
// behaves like the kernel; and a procedure that cannot become root, in forked children that have
// given up root for good or keep it only as their saved user ID.

#include "CommandProcedure.h"
#include "MoreSecurityWireTestSupport.h"

#include "RtcWakeAlarm.h"

#include <IOKit/IOKit.h>

#include <cmath>

using namespace wfs_test;

namespace {

constexpr const char kHost[] = "org.tidemark.host";

// A request as the controller builds it.
wfs::CFRef<CFMutableDictionaryRef> Request(const char *command, CFAbsoluteTime date = 0,
                                           const std::string &scheduler = kHost,
                                           const std::string &type = "wakepoweron")
{
    wfs::CFRef<CFMutableDictionaryRef> request = MakeDictionary();
    CFDictionarySetValue(request.get(), CFSTR("CommandName"), Str(command).get());
    wfs::CFRef<CFDateRef> when(CFDateCreate(nullptr, date));
    CFDictionarySetValue(request.get(), CFSTR("Date"), when.get());
    CFDictionarySetValue(request.get(), CFSTR("Scheduler"), Str(scheduler).get());
    CFDictionarySetValue(request.get(), CFSTR("Type"), Str(type).get());
    return request;
}

wfs::CFRef<CFMutableDictionaryRef> Command(const char *command)
{
    wfs::CFRef<CFMutableDictionaryRef> request = MakeDictionary();
    CFDictionarySetValue(request.get(), CFSTR("CommandName"), Str(command).get());
    return request;
}

// The stored events as "time scheduler type" lines, in the store's order.
std::vector<std::string> Events()
{
    std::vector<std::string> listed;
    wfs::CFRef<CFArrayRef> events(IOPMCopyScheduledPowerEvents());
    for (CFIndex i = 0; events && i < CFArrayGetCount(events.get()); i++) {
        auto event = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(events.get(), i));
        auto date = static_cast<CFDateRef>(CFDictionaryGetValue(event, CFSTR(kIOPMPowerEventTimeKey)));
        listed.push_back(UnixSecondsText(date != nullptr ? CFDateGetAbsoluteTime(date) : 0) + " " +
                         GetString(event, CFSTR(kIOPMPowerEventAppNameKey)) + " " +
                         GetString(event, CFSTR(kIOPMPowerEventTypeKey)));
    }
    return listed;
}

std::string Event(CFAbsoluteTime time, const std::string &scheduler = kHost, const std::string &type = "wakepoweron")
{
    return UnixSecondsText(time) + " " + scheduler + " " + type;
}

// Behaves like the kernel's wakealarm attribute: a time over an alarm that is already set is
// refused with EBUSY, "0" disarms. With gArmBehindOurBack, another program sets its alarm between
// the tool's disarm and its own write, once. Records what was written.
std::vector<std::string> gWrites;
bool gArmBehindOurBack = false;

int KernelLikeWriter(const char *path, const char *text)
{
    gWrites.push_back(text);
    if (access(path, F_OK) != 0) return ENOENT;
    const bool disarm = atoll(text) <= 0;
    if (!disarm && std::exchange(gArmBehindOurBack, false)) {
        wfstest::WriteFile(path, "1\n");
        return EBUSY;
    }
    if (!disarm && !ReadFile(path).empty()) return EBUSY;
    wfstest::WriteFile(path, disarm ? "" : std::string(text) + "\n");
    return 0;
}

class ToolProgram : public AuthorizedTest {
protected:
    void SetUp() override
    {
        if (geteuid() != 0) GTEST_SKIP() << "needs root";
        AuthorizedTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_EQ(chmod(dir_.path().c_str(), 0755), 0);  // the child that drops to nobody lists the store
        wfstest::WriteFile(rtc_ + "/device/power/wakeup", "enabled\n");
        wfstest::WriteFile(rtc_ + "/since_epoch", std::to_string(time(nullptr)) + "\n");
        wfstest::WriteFile(rtc_ + "/wakealarm", "");
        descriptorsBefore_ = CountOpenDescriptors();
    }

    void TearDown() override
    {
        wfs::iokit::SetAttributeWriterForTesting(nullptr);
        AuthorizedTest::TearDown();
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
        EXPECT_EQ(CFDictionaryGetCount(response.get()), 1);  // nothing but the result
        return MoreSecGetErrorFromResponse(response.get());
    }

    std::string Alarm() const
    {
        std::string value = ReadFile(rtc_ + "/wakealarm");
        return value.substr(0, value.find('\n'));
    }

    wfstest::TempDir dir_;
    const std::string store_ = dir_ / "wake-from-sleep/scheduled-power-events.plist";
    const std::string rtc_ = dir_ / "sys/class/rtc/rtc0";
    wfstest::ScopedEnv storeEnv_{"WFS_POWER_EVENT_STORE", store_}, sysfsEnv_{"WFS_SYSFS_ROOT", dir_ / "sys"};
    const std::string toolPath_ = IOPM_SCHEDULE_POWER_EVENT_TOOL;
    wfs::CFRef<CFURLRef> tool_{CFURLCreateFromFileSystemRepresentation(
        nullptr, reinterpret_cast<const UInt8 *>(toolPath_.data()), static_cast<CFIndex>(toolPath_.size()), false)};
    int descriptorsBefore_ = 0;
};

TEST_F(ToolProgram, ScheduleAndCancelKeepTheStoreAndTheRtcInStep)
{
    EXPECT_EQ(Perform(Command("GetPrivileges").get()), 0);
    EXPECT_TRUE(Events().empty());

    const CFAbsoluteTime ours = SecondsFromNow(3600), theirs = SecondsFromNow(1800);
    ASSERT_EQ(Perform(Request("SchedulePowerEvent", ours).get()), 0);
    EXPECT_EQ(Events(), std::vector<std::string>{Event(ours)});
    EXPECT_EQ(Alarm(), UnixSecondsText(ours));

    // Another scheduler's earlier event takes the RTC, and gives it back when it is withdrawn.
    ASSERT_EQ(Perform(Request("SchedulePowerEvent", theirs, "org.example.other").get()), 0);
    EXPECT_EQ(Events().size(), 2u);
    EXPECT_EQ(Alarm(), UnixSecondsText(theirs));
    ASSERT_EQ(Perform(Request("CancelPowerEvent", theirs, "org.example.other").get()), 0);
    EXPECT_EQ(Events(), std::vector<std::string>{Event(ours)});
    EXPECT_EQ(Alarm(), UnixSecondsText(ours));

    // Withdrawing what is not there: not found, and nothing moves.
    const std::string storeBefore = ReadFile(store_);
    EXPECT_EQ(Perform(Request("CancelPowerEvent", theirs, "org.example.other").get()), int(kIOReturnNotFound));
    EXPECT_EQ(Perform(Request("CancelPowerEvent", ours, kHost, "wake").get()), int(kIOReturnNotFound));
    EXPECT_EQ(ReadFile(store_), storeBefore);
    EXPECT_EQ(Alarm(), UnixSecondsText(ours));

    // A sleep event is stored but never wakes the machine, even when it is the earliest; with the
    // last waking event gone the alarm is disarmed.
    const CFAbsoluteTime sleep = SecondsFromNow(600);
    ASSERT_EQ(Perform(Request("SchedulePowerEvent", sleep, kHost, "sleep").get()), 0);
    EXPECT_EQ(Alarm(), UnixSecondsText(ours));
    ASSERT_EQ(Perform(Request("CancelPowerEvent", ours).get()), 0);
    EXPECT_EQ(Events(), std::vector<std::string>{Event(sleep, kHost, "sleep")});
    EXPECT_TRUE(Alarm().empty() || Alarm() == "0") << Alarm();
}

TEST_F(ToolProgram, AnRtcThatRefusesASecondAlarmIsDisarmedFirst)
{
    wfs::iokit::SetAttributeWriterForTesting(KernelLikeWriter);
    wfstest::WriteFile(rtc_ + "/wakealarm", "2000000000\n");  // armed by some other program
    // Then someone arms it again between the disarm and our write: the alarm that stands is ours.
    for (bool armBehindOurBack : {false, true}) {
        gWrites.clear();
        gArmBehindOurBack = armBehindOurBack;
        const CFAbsoluteTime ours = SecondsFromNow(armBehindOurBack ? 1200 : 3600);
        wfs::CFRef<CFDictionaryRef> response;
        EXPECT_EQ(PowerEventCommandProcedure(auth_, Request("SchedulePowerEvent", ours).get(), response.out()), 0);
        EXPECT_FALSE(response);
        EXPECT_EQ(Alarm(), UnixSecondsText(ours));
        ASSERT_GE(gWrites.size(), 2u);
        EXPECT_EQ(gWrites.front(), "0");
        EXPECT_EQ(std::count(gWrites.begin(), gWrites.end(), UnixSecondsText(ours)), armBehindOurBack ? 2 : 1);
    }
    EXPECT_EQ(Events().size(), 2u);
}

TEST_F(ToolProgram, TwentyToolsAtOnceAllStoreTheirEvents)
{
    int gate[2] = {-1, -1};
    ASSERT_EQ(pipe2(gate, O_CLOEXEC), 0);
    wfs::UniqueFd gateRead(gate[0]), gateWrite(gate[1]);
    const CFAbsoluteTime base = SecondsFromNow(7200);
    std::vector<pid_t> clients;
    std::vector<std::string> expected;
    for (int i = 0; i < 20; i++) {
        expected.push_back(Event(base + i, "org.example.client-" + std::to_string(i)));
        clients.push_back(wfstest::StartChild([&] {
            gateWrite.reset();  // all twenty start their tools when the gate's write end closes
            char byte;
            if (wfs::RetryOnEintr([&] { return read(gateRead.get(), &byte, 1); }) != 0) return 10;
            wfs::CFRef<CFDictionaryRef> response;
            if (MoreSecExecuteRequestInHelperTool(tool_.get(), auth_,
                                                  Request("SchedulePowerEvent", base + i,
                                                          "org.example.client-" + std::to_string(i)).get(),
                                                  response.out()) != 0) {
                return 11;
            }
            return MoreSecGetErrorFromResponse(response.get()) == 0 ? 0 : 12;
        }));
    }
    gateWrite.reset();
    for (pid_t pid : clients) EXPECT_EQ(wfstest::WaitChild(pid), 0);
    EXPECT_EQ(Events(), expected);
    EXPECT_EQ(Alarm(), UnixSecondsText(base));
    // No temporary file of any writer is left beside the store.
    for (const auto &entry : std::filesystem::directory_iterator(dir_ / "wake-from-sleep")) {
        EXPECT_TRUE(entry.path() == store_ || entry.path() == store_ + ".lock") << entry.path();
    }
}

TEST_F(ToolProgram, BadRequestsAreRefusedAndChangeNothing)
{
    const CFAbsoluteTime ours = SecondsFromNow(3600), when = SecondsFromNow(1800);
    ASSERT_EQ(Perform(Request("SchedulePowerEvent", ours).get()), 0);
    const std::string storeBefore = ReadFile(store_);
    wfs::CFRef<CFDateRef> date(CFDateCreate(nullptr, when));
    wfs::CFRef<CFStringRef> longScheduler = Str(std::string(300, 's'));
    int five = 5;
    wfs::CFRef<CFNumberRef> number(CFNumberCreate(nullptr, kCFNumberIntType, &five));
    const struct {
        const char *what, *key;
        CFTypeRef value;  // NULL: the key is left out
        int expected;
    } cases[] = {
        {"no date", "Date", nullptr, paramErr},
        {"a date that is a string", "Date", CFSTR("2031-01-01T07:00:00Z"), paramErr},
        {"no scheduler", "Scheduler", nullptr, paramErr},
        {"a 300-byte scheduler", "Scheduler", longScheduler.get(), int(kIOReturnBadArgument)},
        {"a type that is a number", "Type", number.get(), paramErr},
        {"an unknown type", "Type", CFSTR("hibernate"), int(kIOReturnBadArgument)},
        {"no command", "CommandName", nullptr, paramErr},
        {"an unknown command", "CommandName", CFSTR("FormatDisk"), paramErr},
        {"a command in other letter case", "CommandName", CFSTR("schedulepowerevent"), paramErr},
        {"a command that is a date", "CommandName", date.get(), paramErr},
    };
    for (const char *command : {"SchedulePowerEvent", "CancelPowerEvent"}) {
        for (const auto &bad : cases) {
            wfs::CFRef<CFMutableDictionaryRef> request = Request(command, when);
            if (bad.value != nullptr) CFDictionarySetValue(request.get(), Str(bad.key).get(), bad.value);
            else CFDictionaryRemoveValue(request.get(), Str(bad.key).get());
            EXPECT_EQ(Perform(request.get()), bad.expected) << command << ": " << bad.what;
        }
    }
    EXPECT_EQ(ReadFile(store_), storeBefore);
    EXPECT_EQ(Alarm(), UnixSecondsText(ours));
}

TEST_F(ToolProgram, WithoutRootNothingIsScheduledOrCancelled)
{
    const CFAbsoluteTime ours = SecondsFromNow(3600), theirs = SecondsFromNow(1200);
    ASSERT_EQ(Perform(Request("SchedulePowerEvent", ours).get()), 0);
    const std::string storeBefore = ReadFile(store_);

    // Root given up for good: the procedure cannot raise its effective user. Asking for nothing
    // needs no privilege.
    EXPECT_EQ(wfstest::RunChild([&] {
                  if (!DropToNobody()) return 20;
                  wfs::CFRef<CFDictionaryRef> response;
                  return (PowerEventCommandProcedure(auth_, Request("SchedulePowerEvent", theirs).get(),
                                                     response.out()) == int(kIOReturnNotPrivileged) &&
                          PowerEventCommandProcedure(auth_, Request("CancelPowerEvent", ours).get(),
                                                     response.out()) == int(kIOReturnNotPrivileged) &&
                          PowerEventCommandProcedure(auth_, Command("GetPrivileges").get(),
                                                     response.out()) == 0 && !response)
                             ? 0 : 21;
              }),
              0);
    EXPECT_EQ(ReadFile(store_), storeBefore);
    EXPECT_EQ(Alarm(), UnixSecondsText(ours));

    // Started by nobody as a set-user-ID tool is: before the store is touched the tool is root in
    // every ID and in a session of its own, out of its caller's reach; the event is nobody's.
    EXPECT_EQ(wfstest::RunChild([&] {
                  if (setgroups(0, nullptr) != 0 || setresgid(kNobodyID, kNobodyID, kNobodyID) != 0 ||
                      setresuid(kNobodyID, kNobodyID, 0) != 0) {
                      return 30;
                  }
                  wfs::CFRef<CFDictionaryRef> response;
                  uid_t real = 1, effective = 1, saved = 1;
                  gid_t group = 1, effectiveGroup = 1, savedGroup = 1;
                  const auto request = Request("SchedulePowerEvent", theirs, "org.example.nobody");
                  return PowerEventCommandProcedure(auth_, request.get(), response.out()) == 0 &&
                                 getresuid(&real, &effective, &saved) == 0 && real == 0 && effective == 0 &&
                                 saved == 0 && getresgid(&group, &effectiveGroup, &savedGroup) == 0 &&
                                 group == 0 && effectiveGroup == 0 && savedGroup == 0 &&
                                 getgroups(0, nullptr) == 0 && getsid(0) == getpid()
                             ? 0 : 31;
              }),
              0);
    EXPECT_EQ(Events().size(), 2u);
    EXPECT_EQ(Alarm(), UnixSecondsText(theirs));
}

TEST_F(ToolProgram, AGarbledStoreIsMovedAsideAndTheNewEventStored)
{
    const std::string garbage = "<?xml version=\"1.0\"?><plist><dict><key>unterminated";
    wfstest::WriteFile(store_, garbage);
    const CFAbsoluteTime ours = SecondsFromNow(3600);
    ASSERT_EQ(Perform(Request("SchedulePowerEvent", ours).get()), 0);
    EXPECT_EQ(Events(), std::vector<std::string>{Event(ours)});
    EXPECT_EQ(Alarm(), UnixSecondsText(ours));
    int movedAside = 0;
    for (const auto &entry : std::filesystem::directory_iterator(dir_ / "wake-from-sleep")) {
        if (entry.path().string().rfind(store_ + ".corrupt-", 0) != 0) continue;
        movedAside++;
        EXPECT_EQ(ReadFile(entry.path()), garbage);
    }
    EXPECT_EQ(movedAside, 1);
}

// The entry point as an invoker may start it: without arguments (the kernel may let argc be 0,
// or, from 5.18 on, pass one empty argument), with too many, or by a client that hangs up before
// the answer. The tool is started directly on a socket pair that already holds its input.
TEST_F(ToolProgram, TheEntryPointTrustsNothingItIsStartedWith)
{
    const std::string request = ExternalFormOf(auth_) + FrameOf(Command("GetPrivileges").get());
    const struct {
        std::vector<const char *> argv;
        bool hangUp;
    } starts[] = {{{}, false}, {{"tool", "--self-repair", "extra"}, false}, {{"tool"}, true}};
    for (const auto &start : starts) {
        SocketPair pair;
        Send(pair.ours.get(), request);
        if (start.hangUp) pair.ours.reset();
        std::vector<char *> argv;
        for (const char *arg : start.argv) argv.push_back(const_cast<char *>(arg));
        argv.push_back(nullptr);
        const pid_t pid = wfstest::StartChild([&] {
            if (dup2(pair.theirs.get(), 0) == 0 && dup2(pair.theirs.get(), 1) == 1) {
                execve(toolPath_.c_str(), argv.data(), environ);
            }
            return 100;
        });
        int status = 0;
        ASSERT_EQ(wfs::RetryOnEintr([&] { return waitpid(pid, &status, 0); }), pid);
        // Never a crash, and a client that went away is an error, not a SIGPIPE.
        ASSERT_TRUE(WIFEXITED(status)) << "argc " << start.argv.size() << ", status " << status;
        char buffer[4096];
        const ssize_t unread = recv(pair.theirs.get(), buffer, sizeof buffer, MSG_DONTWAIT | MSG_PEEK);
        if (start.hangUp) {
            EXPECT_EQ(WEXITSTATUS(status), kHelperToolResultFailed);
        } else if (WEXITSTATUS(status) == kHelperToolResultInternalError) {
            EXPECT_EQ(unread, static_cast<ssize_t>(request.size()));  // refused before reading
            EXPECT_EQ(recv(pair.ours.get(), buffer, sizeof buffer, MSG_DONTWAIT), -1);  // nothing written
            EXPECT_EQ(errno, EAGAIN);
        } else {
            EXPECT_TRUE(start.argv.empty()) << "argc " << start.argv.size();
            EXPECT_EQ(WEXITSTATUS(status), kHelperToolResultSuccess);
            wfs::CFRef<CFDictionaryRef> response;
            ASSERT_EQ(CopyDictionaryTranslatingDescriptors(pair.ours.get(), response.out()), 0);
            EXPECT_EQ(MoreSecGetErrorFromResponse(response.get()), 0);
        }
    }
    EXPECT_FALSE(std::filesystem::exists(store_));
}

}  // namespace
