// The helper tool as a hostile local user meets it: two unprivileged users, each with a repaired
// (root's, set-user-ID) copy of the real tool in a folder of their own. A set-user-ID tool takes no
// configuration from its caller, so its store stays at its real place: each test runs again in a
// child with a private mount namespace in which /var/lib is a fresh tmpfs, and /sys/class holds
// one fake RTC.

#include "IOKitTestSupport.h"
#include "MoreSecurityTestSupport.h"

#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>

using namespace wfs_test;

namespace {

constexpr uid_t kAttacker = 61000;  // a user without an account name is as good as one with
constexpr uid_t kVictim = kNobodyID;
constexpr char kStoreFolder[] = "/var/lib/wake-from-sleep";
constexpr char kWakeAlarm[] = "/sys/class/rtc/rtc0/wakealarm";

bool BecomeUser(uid_t user)
{
    return setgroups(0, nullptr) == 0 && setresgid(user, user, user) == 0 && setresuid(user, user, user) == 0;
}

wfs::CFRef<CFMutableDictionaryRef> PowerRequest(const char *command, CFAbsoluteTime when)
{
    return Request(command, when, "org.tidemark.Tidemark", "wakepoweron");
}

// The test body runs in the child; the parent only starts it there.
#define RUN_IN_A_PRIVATE_MACHINE()                                                                  \
    do {                                                                                            \
        if (!IsTestChild()) {                                                                       \
            if (!CanMakeMountNamespace()) GTEST_SKIP() << "no private mount namespace here";        \
            RerunThisTest();                                                                        \
            return;                                                                                 \
        }                                                                                           \
    } while (0)

class HostileUser : public ::testing::Test {
protected:
    void SetUp() override
    {
        WFS_REQUIRE_ROOT();
        if (!IsTestChild()) return;
        ASSERT_TRUE(EnterPrivateMountNamespace());
        ASSERT_EQ(mount("tmpfs", "/var/lib", "tmpfs", 0, "mode=0755"), 0) << strerror(errno);
        ASSERT_EQ(mount("tmpfs", "/sys/class", "tmpfs", 0, "mode=0755"), 0) << strerror(errno);
        WriteFile("/sys/class/rtc/rtc0/device/power/wakeup", "enabled\n");
        WriteFile("/sys/class/rtc/rtc0/since_epoch", std::to_string(time(nullptr)) + "\n");
        WriteFile(kWakeAlarm, "");
        ASSERT_EQ(chmod(base_.path().c_str(), 0755), 0);
        for (uid_t user : {kAttacker, kVictim}) {
            const std::string folder = FolderOf(user);
            std::filesystem::create_directories(folder);
            ASSERT_EQ(chown(folder.c_str(), user, user), 0);
            ASSERT_TRUE(InstallCopy(IOPM_SCHEDULE_POWER_EVENT_TOOL, ToolOf(user), 0, 04555));
        }
    }

    std::string FolderOf(uid_t user) const { return base_ / ("user-" + std::to_string(user)); }
    std::string ToolOf(uid_t user) const { return FolderOf(user) + "/IOPMSchedulePowerEventTool"; }

    // `user` sends `request` to their own copy of the tool, as the plug-in does; answers the
    // command's result from the response (the transport itself must succeed).
    int RequestAs(uid_t user, CFDictionaryRef request)
    {
        const std::string tool = ToolOf(user);
        const Outcome outcome = RunInChild([&] {
            WFS_CHILD_EXPECT(BecomeUser(user) && MoreUNIXIgnoreSIGPIPE() == 0);
            OwnAuthorization auth;
            wfs::CFRef<CFDictionaryRef> response;
            WFS_CHILD_EXPECT_EQ(ExecuteRequest(tool, auth.ref, request, &response), 0);
            if (response) ChildReport("result=%d", MoreSecGetErrorFromResponse(response.get()));
        });
        const auto lines = outcome.Lines();
        return lines.count("result") ? std::stoi(lines.at("result")) : -1;
    }

    // The pending events' owners, from the store the tool keeps.
    static std::vector<long long> Owners()
    {
        std::vector<long long> owners;
        for (const auto &event : wfs::iokit::test::List()) owners.push_back(event.owner);
        return owners;
    }

    static std::string Alarm() { return wfs::iokit::test::FirstLine(kWakeAlarm); }

    TempDir base_{"wfs-hostile", SetUserIDCapableBase()};
};

TEST_F(HostileUser, CannotCancelAnotherUsersEvent)
{
    RUN_IN_A_PRIVATE_MACHINE();
    const CFAbsoluteTime when = SecondsFromNow(3600);
    ASSERT_EQ(RequestAs(kVictim, PowerRequest("SchedulePowerEvent", when).get()), 0);
    EXPECT_EQ(Owners(), std::vector<long long>{kVictim});
    EXPECT_EQ(Alarm(), UnixSecondsText(when));

    EXPECT_EQ(RequestAs(kAttacker, PowerRequest("CancelPowerEvent", when).get()), int(kIOReturnNotPrivileged));
    EXPECT_EQ(Owners(), std::vector<long long>{kVictim});
    EXPECT_EQ(Alarm(), UnixSecondsText(when));

    EXPECT_EQ(RequestAs(kVictim, PowerRequest("CancelPowerEvent", when).get()), 0);
    EXPECT_TRUE(Owners().empty());
}

// The attacker starts their copy directly with a request on its input, after making it as weak as
// they can in the child just before the exec: lowest priority, batch scheduling, tiny limits (the
// idle class would only delay the tool's start, before it holds anything, and make this test slow
// on a busy machine). In the caller's process group, as the client starts it. Root holds the
// store's lock, so the tool waits where a stop or a kill would hurt most.
TEST_F(HostileUser, CannotStopSlowOrStarveTheToolWhileItChangesTheStore)
{
    RUN_IN_A_PRIVATE_MACHINE();
    std::filesystem::create_directories(kStoreFolder);
    wfs::UniqueFd lock(open((std::string(kStoreFolder) + "/scheduled-power-events.plist.lock").c_str(),
                            O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_EQ(flock(lock.get(), LOCK_EX), 0);
    const std::string tool = ToolOf(kAttacker);
    const auto request = PowerRequest("SchedulePowerEvent", SecondsFromNow(3600));
    const auto lowerSoftLimit = [](int resource, rlim_t soft) {
        struct rlimit limit;
        if (getrlimit(resource, &limit) != 0) return false;
        limit.rlim_cur = std::min(soft, limit.rlim_max);
        return setrlimit(resource, &limit) == 0;
    };
    const auto weaken = [&] {
        const struct sched_param batch = {0};
        return setpriority(PRIO_PROCESS, 0, 19) == 0 && sched_setscheduler(0, SCHED_BATCH, &batch) == 0 &&
               lowerSoftLimit(RLIMIT_NOFILE, 16) && lowerSoftLimit(RLIMIT_CPU, 1) &&
               lowerSoftLimit(RLIMIT_FSIZE, 1) && lowerSoftLimit(RLIMIT_CORE, 16);
    };

    RunInChild([&] {
        WFS_CHILD_EXPECT(BecomeUser(kAttacker) && MoreUNIXIgnoreSIGPIPE() == 0);
        SocketPair pair;
        Send(pair.ours.get(), ToolInput(OwnAuthorization().ref, request.get()));
        const int theirs = pair.theirs.get();
        Child started = Child::Exec({tool}, ChildSetup().Fd(0, theirs).Fd(1, theirs).SameGroup().Before(weaken));
        pair.theirs.reset();
        const pid_t pid = started.pid();
        // Root in every ID first, then out of the session, limits, and priority last: once that is
        // back to normal the tool is on its way to the store (and waits for root's lock). Anything
        // left undone shows in the checks below when the wait ends.
        WaitFor(
            [&] {
                const ProcessState now = StateOf(pid);
                return now.nice == 0 && now.policy == SCHED_OTHER &&
                       ReadFile("/proc/" + std::to_string(pid) + "/status").find("Uid:\t0\t0\t0\t0") != std::string::npos;
            },
            std::chrono::seconds(10));
        WFS_CHILD_EXPECT(kill(pid, SIGSTOP) == -1 && errno == EPERM);
        WFS_CHILD_EXPECT(kill(pid, SIGKILL) == -1 && errno == EPERM);
        ProcessState state = StateOf(pid);
        WFS_CHILD_EXPECT_EQ(state.session, pid);
        WFS_CHILD_EXPECT_EQ(state.nice, 0);
        WFS_CHILD_EXPECT_EQ(state.policy, SCHED_OTHER);
        WFS_CHILD_EXPECT(state.softLimits["Max open files"] == "1024" && state.softLimits["Max cpu time"] == "unlimited" &&
                         state.softLimits["Max file size"] == "unlimited" && state.softLimits["Max core file size"] == "0");

        // The held lock: a clear answer after the tool's bounded wait, and a clean end.
        wfs::CFRef<CFDictionaryRef> response;
        WFS_CHILD_EXPECT_EQ(CopyDictionaryTranslatingDescriptors(pair.ours.get(), response.out()), 0);
        WFS_CHILD_EXPECT_EQ(response ? MoreSecGetErrorFromResponse(response.get()) : -1, int(kIOReturnBusy));
        WFS_CHILD_EXPECT(started.Wait(std::chrono::seconds(20)).Exited(0));
    });
    EXPECT_TRUE(Owners().empty());
}

}  // namespace
