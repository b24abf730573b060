// The helper tool program: its entry point started in hostile ways, and its command procedure in
// children that have given up root or hold it only as their saved user ID. (A set-user-ID copy is
// HostileUserTest's.) The store and the RTC are redirected as in the IOKit tests.

#include "CommandProcedure.h"
#include "IOKitTestSupport.h"
#include "MoreSecurityTestSupport.h"

#include <linux/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>

using namespace wfs_test;
using wfs::iokit::test::List;
using wfs::iokit::test::Schedule;

namespace {

constexpr const char kHost[] = "org.tidemark.host";
const std::string kTool = IOPM_SCHEDULE_POWER_EVENT_TOOL;

wfs::CFRef<CFMutableDictionaryRef> PowerRequest(const char *command, CFAbsoluteTime date)
{
    return Request(command, date, kHost, "wakepoweron");
}

class ToolProgram : public AuthorizedOn<wfs::iokit::test::PowerEventTest> {
protected:
    void SetUp() override
    {
        WFS_REQUIRE_ROOT();
        AuthorizedOn::SetUp();
        AddRtc("rtc0");
    }
};

// The procedure's own checks, before it leaves its caller's reach; what the power manager refuses
// comes back as its answer. In a child that, as the tool does, leads no process group: a request
// that passes makes its process root in a session of its own.
TEST_F(ToolProgram, BadRequestsAreRefusedAndChangeNothing)
{
    const CFAbsoluteTime when = SecondsFromNow(1800);
    wfs::CFRef<CFDateRef> date(CFDateCreate(nullptr, when));
    const auto longScheduler = Str(std::string(300, 's'));
    const auto five = Num(5);
    const struct {
        const char *what, *key;
        CFTypeRef value;  // NULL: the key is left out
        int expected;
    } cases[] = {
        {"no date", "Date", nullptr, paramErr},
        {"a date that is a string", "Date", CFSTR("2031-01-01T07:00:00Z"), paramErr},
        {"no scheduler", "Scheduler", nullptr, paramErr},
        {"a 300-byte scheduler", "Scheduler", longScheduler.get(), int(kIOReturnBadArgument)},
        {"a type that is a number", "Type", five.get(), paramErr},
        {"no type", "Type", nullptr, paramErr},
        {"an unknown type", "Type", CFSTR("hibernate"), int(kIOReturnBadArgument)},
        {"no command", "CommandName", nullptr, paramErr},
        {"an unknown command", "CommandName", CFSTR("FormatDisk"), paramErr},
        {"a command in other letter case", "CommandName", CFSTR("schedulepowerevent"), paramErr},
        {"a command that is a date", "CommandName", date.get(), paramErr},
    };
    RunInChild([&] {
        for (const char *command : {"SchedulePowerEvent", "CancelPowerEvent"}) {
            for (const auto &bad : cases) {
                wfs::CFRef<CFMutableDictionaryRef> request = PowerRequest(command, when);
                if (bad.value != nullptr) CFDictionarySetValue(request.get(), Str(bad.key).get(), bad.value);
                else CFDictionaryRemoveValue(request.get(), Str(bad.key).get());
                wfs::CFRef<CFDictionaryRef> response;
                const int err = PowerEventCommandProcedure(auth_, request.get(), response.out());
                if (err != bad.expected) WFS_CHILD_FAIL("%s: %s: %d", command, bad.what, err);
                WFS_CHILD_EXPECT(!response);
            }
        }
    }, ChildSetup().SameGroup());
    EXPECT_FALSE(std::filesystem::exists(storePath_));
    EXPECT_EQ(Alarm(), "");
}

TEST_F(ToolProgram, WithoutRootNothingIsScheduledOrCancelled)
{
    const CFAbsoluteTime ours = SecondsFromNow(3600), theirs = SecondsFromNow(1200);
    ASSERT_EQ(Schedule(ours, kHost, "wakepoweron"), kIOReturnSuccess);
    const std::string storeBefore = StoreBytes();

    // Root given up for good: the procedure cannot raise its effective user. Asking for nothing
    // needs no privilege.
    RunInChild(
        [&] {
            wfs::CFRef<CFDictionaryRef> response;
            WFS_CHILD_EXPECT_EQ(PowerEventCommandProcedure(auth_, PowerRequest("SchedulePowerEvent", theirs).get(),
                                                           response.out()), kIOReturnNotPrivileged);
            WFS_CHILD_EXPECT_EQ(PowerEventCommandProcedure(auth_, PowerRequest("CancelPowerEvent", ours).get(),
                                                           response.out()), kIOReturnNotPrivileged);
            WFS_CHILD_EXPECT_EQ(PowerEventCommandProcedure(auth_, Request("GetPrivileges").get(), response.out()), 0);
            WFS_CHILD_EXPECT(!response);
        },
        ChildSetup().AsNobody());
    EXPECT_EQ(StoreBytes(), storeBefore);
    EXPECT_EQ(Alarm(), UnixSecondsText(ours));

    // Started by nobody as a set-user-ID tool is: before the store is touched the tool is root in
    // every ID, without its caller's groups and in a session of its own, out of its caller's reach;
    // the event is nobody's.
    RunInChild([&] {
        const gid_t callers[] = {kNobodyID};
        WFS_CHILD_EXPECT(setgroups(1, callers) == 0 && setresgid(kNobodyID, kNobodyID, kNobodyID) == 0 &&
                         setresuid(kNobodyID, kNobodyID, 0) == 0);
        wfs::CFRef<CFDictionaryRef> response;
        WFS_CHILD_EXPECT_EQ(PowerEventCommandProcedure(auth_, PowerRequest("SchedulePowerEvent", theirs).get(),
                                                       response.out()), 0);
        uid_t r = 1, e = 1, s = 1;
        gid_t rg = 1, eg = 1, sg = 1;
        WFS_CHILD_EXPECT(getresuid(&r, &e, &s) == 0 && r == 0 && e == 0 && s == 0);
        WFS_CHILD_EXPECT(getresgid(&rg, &eg, &sg) == 0 && rg == 0 && eg == 0 && sg == 0);
        WFS_CHILD_EXPECT_EQ(getgroups(0, nullptr), 0);
        WFS_CHILD_EXPECT_EQ(getsid(0), getpid());
    }, ChildSetup().SameGroup());
    const auto listed = List();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].owner, kNobodyID);
    EXPECT_EQ(Alarm(), UnixSecondsText(theirs));
}

// Where root cannot raise hard limits (no CAP_SYS_RESOURCE, as in a container), a hard limit lowered
// below what a change needs refuses the request before the store is touched.
TEST_F(ToolProgram, AHardLimitItCannotRaiseRefusesTheRequest)
{
    RunInChild([&] {
        __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct caps[2] = {};
        WFS_CHILD_EXPECT(syscall(SYS_capget, &header, caps) == 0);
        caps[CAP_SYS_RESOURCE / 32].effective &= ~(1u << (CAP_SYS_RESOURCE % 32));
        caps[CAP_SYS_RESOURCE / 32].permitted &= ~(1u << (CAP_SYS_RESOURCE % 32));
        const struct rlimit enoughButLow = {40, 40};  // for the change itself, but under the 64 it asks for
        WFS_CHILD_EXPECT(syscall(SYS_capset, &header, caps) == 0 && setrlimit(RLIMIT_NOFILE, &enoughButLow) == 0);
        wfs::CFRef<CFDictionaryRef> response;
        WFS_CHILD_EXPECT_EQ(PowerEventCommandProcedure(auth_, PowerRequest("SchedulePowerEvent", SecondsFromNow(60)).get(),
                                                       response.out()), kIOReturnNoResources);
    }, ChildSetup().SameGroup());
    EXPECT_FALSE(std::filesystem::exists(storeFolder_));
}

// The entry point as an invoker may start it: without arguments (the kernel may let argc be 0,
// or, from 5.18 on, pass one empty argument), with too many, by a client that hangs up before the
// answer, or with a core-file limit left open. The tool is started directly on a socket pair.
TEST_F(ToolProgram, TheEntryPointTrustsNothingItIsStartedWith)
{
    const std::string request = ExternalFormOf(auth_) + FrameOf(Request("GetPrivileges").get());
    const struct {
        std::vector<std::string> argv;
        bool hangUp;
    } starts[] = {{{}, false}, {{"tool", "--self-repair", "extra"}, false}, {{"tool"}, true}};
    for (const auto &start : starts) {
        SCOPED_TRACE("argc " + std::to_string(start.argv.size()));
        SocketPair pair;
        Send(pair.ours.get(), request);
        if (start.hangUp) pair.ours.reset();
        const Outcome ended = Child::Exec(start.argv, ChildSetup().Program(kTool).Fd(0, pair.theirs.get()).Fd(
                                                          1, pair.theirs.get())).Wait();
        // Never a crash, and a client that went away is an error, not a SIGPIPE.
        ASSERT_EQ(ended.signal, 0) << ended;
        char buffer[4096];
        const ssize_t unread = recv(pair.theirs.get(), buffer, sizeof buffer, MSG_DONTWAIT | MSG_PEEK);
        pair.theirs.reset();  // so that reading what the tool wrote ends at the end of it
        if (start.hangUp) {
            EXPECT_TRUE(ended.Exited(kHelperToolResultFailed)) << ended;
        } else if (ended.Exited(kHelperToolResultInternalError)) {
            EXPECT_EQ(unread, static_cast<ssize_t>(request.size()));  // refused before reading
            EXPECT_EQ(ReadAll(pair.ours.get()), "");                  // and nothing written
        } else {
            EXPECT_TRUE(start.argv.empty());
            EXPECT_TRUE(ended.Exited(kHelperToolResultSuccess)) << ended;
            wfs::CFRef<CFDictionaryRef> response;
            ASSERT_EQ(CopyDictionaryTranslatingDescriptors(pair.ours.get(), response.out()), 0);
            EXPECT_EQ(MoreSecGetErrorFromResponse(response.get()), 0);
        }
    }

    // Before it reads its first byte the tool allows no core file, whatever limit it was left, and
    // has /dev/null where its standard error was closed (or the next file it opens would be there).
    // The address sanitizer's runtime zeroes the limit itself unless told not to, which would hide a
    // tool that forgets to.
    EnvGuard env;
    const char *sanitizerOptions = std::getenv("ASAN_OPTIONS");
    const std::string inherited = sanitizerOptions != nullptr ? sanitizerOptions : "";
    env.set("ASAN_OPTIONS", inherited + ":disable_coredump=0");
    SocketPair pair;
    const auto weaken = [] {
        const struct rlimit open = {RLIM_INFINITY, RLIM_INFINITY};
        return setrlimit(RLIMIT_CORE, &open) == 0 && close(STDERR_FILENO) == 0;
    };
    const int theirs = pair.theirs.get();
    Child tool = Child::Exec({"tool"}, ChildSetup().Program(kTool).Fd(0, theirs).Fd(1, theirs).Before(weaken));
    pair.theirs.reset();
    const std::string reading = std::to_string(SYS_read) + " 0x0 ";
    EXPECT_TRUE(WaitFor([&] { return StateOf(tool.pid()).syscall.rfind(reading, 0) == 0; }));
    EXPECT_EQ(StateOf(tool.pid()).softLimits["Max core file size"], "0");
    std::error_code gone;
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(tool.pid()) + "/fd/2", gone), "/dev/null");
    Send(pair.ours.get(), request);
    EXPECT_TRUE(tool.Wait().Exited(kHelperToolResultSuccess));
    EXPECT_FALSE(std::filesystem::exists(storePath_));
}

}  // namespace
