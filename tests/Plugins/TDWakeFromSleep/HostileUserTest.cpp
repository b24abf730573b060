// The helper tool as a hostile local user meets it: two unprivileged users, each with a repaired
// (root's, set-user-ID) copy of the real tool in a folder of their own. A set-user-ID tool takes no
// configuration from its caller, so its store stays at its real place: each test runs again in a
// child with a private mount namespace in which /var/lib is a fresh tmpfs, and /sys/class holds
// one fake RTC.

#include "MoreSecurityInternal.h"
#include "MoreUNIX.h"

#include <CFTestSupport.h>
#include <IOKit/IOKit.h>
#include <Process.h>
#include <TestSupport.h>

#include <fstream>
#include <sched.h>
#include <signal.h>
#include <sstream>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/statvfs.h>

using namespace wfstest;

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
    auto request = MakeDictionary();
    wfs::CFRef<CFDateRef> date(CFDateCreate(nullptr, when));
    CFDictionarySetValue(request.get(), CFSTR("CommandName"), Str(command).get());
    CFDictionarySetValue(request.get(), CFSTR("Date"), date.get());
    CFDictionarySetValue(request.get(), CFSTR("Scheduler"), CFSTR("org.tidemark.Tidemark"));
    CFDictionarySetValue(request.get(), CFSTR("Type"), CFSTR("wakepoweron"));
    return request;
}

int ErrorOf(CFDictionaryRef response)
{
    int value = -1;
    auto number = static_cast<CFNumberRef>(CFDictionaryGetValue(response, ErrorNumberKey));
    return number != nullptr && CFNumberGetValue(number, kCFNumberIntType, &value) ? value : -1;
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
    // In the parent: whether the child can get its private machine at all.
    static bool CanMakeMountNamespace()
    {
        return Child::Fork([] {
                   return unshare(CLONE_NEWNS) == 0 && mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 ? 0 : 1;
               }).Wait().Exited(0);
    }

    void SetUp() override
    {
        WFS_REQUIRE_ROOT();
        if (!IsTestChild()) return;
        ASSERT_EQ(unshare(CLONE_NEWNS), 0);
        ASSERT_EQ(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
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

    // A file system that honours set-user-ID bits, for the users' copies of the tool.
    static std::string SetUserIDCapableBase()
    {
        struct statvfs fs {};
        return statvfs("/tmp", &fs) != 0 || (fs.f_flag & ST_NOSUID) != 0 ? MORE_SECURITY_TEST_SCRATCH_DIR : "/tmp";
    }
    std::string FolderOf(uid_t user) const { return base_ / ("user-" + std::to_string(user)); }
    std::string ToolOf(uid_t user) const { return FolderOf(user) + "/IOPMSchedulePowerEventTool"; }

    // `user` sends `request` to their own copy of the tool, as the plug-in does; answers the
    // command's result from the response (the transport itself must succeed).
    int Request(uid_t user, CFDictionaryRef request)
    {
        const std::string tool = ToolOf(user);
        const Outcome outcome = RunInChild([&] {
            WFS_CHILD_EXPECT(BecomeUser(user) && MoreUNIXIgnoreSIGPIPE() == 0);
            AuthorizationRef auth = nullptr;
            WFS_CHILD_EXPECT_EQ(AuthorizationCreate(nullptr, nullptr, 0, &auth), 0);
            wfs::CFRef<CFURLRef> url(CFURLCreateFromFileSystemRepresentation(
                nullptr, reinterpret_cast<const UInt8 *>(tool.data()), static_cast<CFIndex>(tool.size()), false));
            wfs::CFRef<CFDictionaryRef> response;
            WFS_CHILD_EXPECT_EQ(MoreSecExecuteRequestInHelperTool(url.get(), auth, request, response.out()), 0);
            if (response) ChildReport("result=%d", ErrorOf(response.get()));
            AuthorizationFree(auth, kAuthorizationFlagDefaults);
        });
        const auto lines = outcome.Lines();
        return lines.count("result") ? std::stoi(lines.at("result")) : -1;
    }

    // The pending events as "owner" numbers, from the store the tool keeps.
    static std::vector<long long> Owners()
    {
        std::vector<long long> owners;
        wfs::CFRef<CFArrayRef> events(IOPMCopyScheduledPowerEvents());
        for (CFIndex i = 0; events && i < CFArrayGetCount(events.get()); i++) {
            auto event = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(events.get(), i));
            long long owner = -1;
            CFNumberGetValue(static_cast<CFNumberRef>(CFDictionaryGetValue(event, CFSTR(kIOPMPowerEventOwnerUIDKey))),
                             kCFNumberLongLongType, &owner);
            owners.push_back(owner);
        }
        return owners;
    }

    static std::string Alarm()
    {
        std::string value = ReadFile(kWakeAlarm);
        return value.substr(0, value.find('\n'));
    }

    TempDir base_{"wfs-hostile", SetUserIDCapableBase()};
};

TEST_F(HostileUser, CannotCancelAnotherUsersEvent)
{
    RUN_IN_A_PRIVATE_MACHINE();
    const CFAbsoluteTime when = SecondsFromNow(3600);
    ASSERT_EQ(Request(kVictim, PowerRequest("SchedulePowerEvent", when).get()), 0);
    EXPECT_EQ(Owners(), std::vector<long long>{kVictim});
    EXPECT_EQ(Alarm(), UnixSecondsText(when));

    EXPECT_EQ(Request(kAttacker, PowerRequest("CancelPowerEvent", when).get()), int(kIOReturnNotPrivileged));
    EXPECT_EQ(Owners(), std::vector<long long>{kVictim});
    EXPECT_EQ(Alarm(), UnixSecondsText(when));

    EXPECT_EQ(Request(kVictim, PowerRequest("CancelPowerEvent", when).get()), 0);
    EXPECT_TRUE(Owners().empty());
}

// What the kernel says of a process, from /proc/<pid>/stat and /proc/<pid>/limits.
struct ProcessState {
    long session = -1, nice = 99, policy = -1;
    std::string limits;
};

ProcessState StateOf(pid_t pid)
{
    ProcessState state;
    std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos) return state;
    std::istringstream fields(stat.substr(close + 2));  // from field 3, the state, on
    std::vector<std::string> field{"", "", ""};
    for (std::string value; fields >> value;) field.push_back(value);
    if (field.size() > 41) {
        state.session = std::stol(field[6]);
        state.nice = std::stol(field[19]);
        state.policy = std::stol(field[41]);
    }
    state.limits = ReadFile("/proc/" + std::to_string(pid) + "/limits");
    return state;
}

bool HasLimit(const std::string &limits, const std::string &name, const std::string &soft)
{
    std::istringstream lines(limits);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(name, 0) == 0) return line.substr(26).rfind(soft, 0) == 0;
    }
    return false;
}

bool LowerSoftLimit(int resource, rlim_t soft)
{
    struct rlimit limit;
    if (getrlimit(resource, &limit) != 0) return false;
    limit.rlim_cur = std::min(soft, limit.rlim_max);
    return setrlimit(resource, &limit) == 0;
}

// Starts `tool` directly with `request` on its input, as the client would but with `weaken` run in
// the child just before it executes the tool: the caller's own process keeps working limits. Not the
// toolkit's Child, which would make the tool a process-group leader. Answers the pid; `ours` is the
// client's end of the socket.
pid_t StartDirectly(const std::string &tool, CFDictionaryRef request, wfs::UniqueFd &ours,
                    const std::function<bool()> &weaken)
{
    int pair[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return -1;
    ours.reset(pair[0]);
    wfs::UniqueFd theirs(pair[1]);
    AuthorizationRef auth = nullptr;
    AuthorizationExternalForm form;
    const bool sent = AuthorizationCreate(nullptr, nullptr, 0, &auth) == 0 &&
                      AuthorizationMakeExternalForm(auth, &form) == 0 && MoreUNIXIgnoreSIGPIPE() == 0 &&
                      MoreUNIXWrite(ours.get(), &form, sizeof form, nullptr) == 0 &&
                      WriteDictionaryToDescriptor(request, ours.get()) == 0 && shutdown(ours.get(), SHUT_WR) == 0;
    AuthorizationFree(auth, kAuthorizationFlagDefaults);
    if (!sent) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
        if (dup2(theirs.get(), 0) == 0 && dup2(theirs.get(), 1) == 1 && weaken()) {
            execl(tool.c_str(), tool.c_str(), static_cast<char *>(nullptr));
        }
        _exit(127);
    }
    return pid;
}

// The attacker starts their copy with a request after making it as weak as they can: lowest
// priority, batch scheduling, tiny limits (the idle class would only delay the tool's start, before
// it holds anything, and make this test slow on a busy machine). Root holds the store's lock, so
// the tool waits where a stop or a kill would hurt most.
TEST_F(HostileUser, CannotStopSlowOrStarveTheToolWhileItChangesTheStore)
{
    RUN_IN_A_PRIVATE_MACHINE();
    std::filesystem::create_directories(kStoreFolder);
    wfs::UniqueFd lock(open((std::string(kStoreFolder) + "/scheduled-power-events.plist.lock").c_str(),
                            O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_EQ(flock(lock.get(), LOCK_EX), 0);
    const std::string tool = ToolOf(kAttacker);
    const auto request = PowerRequest("SchedulePowerEvent", SecondsFromNow(3600));

    RunInChild([&] {
        WFS_CHILD_EXPECT(BecomeUser(kAttacker));
        wfs::UniqueFd ours;
        const pid_t pid = StartDirectly(tool, request.get(), ours, [] {
            const struct sched_param batch = {0};
            return setpriority(PRIO_PROCESS, 0, 19) == 0 && sched_setscheduler(0, SCHED_BATCH, &batch) == 0 &&
                   LowerSoftLimit(RLIMIT_NOFILE, 16) && LowerSoftLimit(RLIMIT_CPU, 1) &&
                   LowerSoftLimit(RLIMIT_FSIZE, 1) && LowerSoftLimit(RLIMIT_CORE, 16);
        });
        WFS_CHILD_EXPECT(pid > 0);
        Child started = Child::Adopt(pid);

        // Wait (bounded) until the tool is root in every ID: from then on it works on the store.
        bool root = false;
        for (int i = 0; i < 1000 && !root; i++) {
            root = ReadFile("/proc/" + std::to_string(pid) + "/status").find("Uid:\t0\t0\t0\t0") != std::string::npos;
            if (!root) usleep(10000);
        }
        WFS_CHILD_EXPECT(root);
        WFS_CHILD_EXPECT(kill(pid, SIGSTOP) == -1 && errno == EPERM);
        WFS_CHILD_EXPECT(kill(pid, SIGKILL) == -1 && errno == EPERM);
        const ProcessState state = StateOf(pid);
        WFS_CHILD_EXPECT_EQ(state.session, pid);
        WFS_CHILD_EXPECT_EQ(state.nice, 0);
        WFS_CHILD_EXPECT_EQ(state.policy, SCHED_OTHER);
        WFS_CHILD_EXPECT(HasLimit(state.limits, "Max open files", "1024"));
        WFS_CHILD_EXPECT(HasLimit(state.limits, "Max cpu time", "unlimited"));
        WFS_CHILD_EXPECT(HasLimit(state.limits, "Max file size", "unlimited"));
        WFS_CHILD_EXPECT(HasLimit(state.limits, "Max core file size", "0"));

        // The held lock: a clear answer after the tool's bounded wait, and a clean end.
        wfs::CFRef<CFDictionaryRef> response;
        WFS_CHILD_EXPECT_EQ(CopyDictionaryTranslatingDescriptors(ours.get(), response.out()), 0);
        WFS_CHILD_EXPECT_EQ(response ? ErrorOf(response.get()) : -1, int(kIOReturnBusy));
        WFS_CHILD_EXPECT(started.Wait(std::chrono::seconds(20)).Exited(0));
    });
    EXPECT_TRUE(Owners().empty());
}

// A caller that also lowers a hard limit gets the limit raised back where the kernel lets root do
// it, or a refusal before anything changes: never a change carried half-way.
TEST_F(HostileUser, AHardLimitTheToolCannotRaiseRefusesTheRequestBeforeTheStore)
{
    RUN_IN_A_PRIVATE_MACHINE();
    const CFAbsoluteTime when = SecondsFromNow(3600);
    const std::string tool = ToolOf(kAttacker);
    const auto request = PowerRequest("SchedulePowerEvent", when);
    const Outcome outcome = RunInChild([&] {
        WFS_CHILD_EXPECT(BecomeUser(kAttacker));
        wfs::UniqueFd ours;
        const pid_t pid = StartDirectly(tool, request.get(), ours, [] {
            const struct rlimit five = {20, 20};
            return setrlimit(RLIMIT_NOFILE, &five) == 0;
        });
        WFS_CHILD_EXPECT(pid > 0);
        Child started = Child::Adopt(pid);
        wfs::CFRef<CFDictionaryRef> response;
        WFS_CHILD_EXPECT_EQ(CopyDictionaryTranslatingDescriptors(ours.get(), response.out()), 0);
        if (response) ChildReport("result=%d", ErrorOf(response.get()));
        WFS_CHILD_EXPECT(started.Wait().Exited(0));
    });
    const int result = outcome.Lines().count("result") ? std::stoi(outcome.Lines()["result"]) : -1;
    if (result == 0) {
        EXPECT_EQ(Owners(), std::vector<long long>{kAttacker});
        EXPECT_EQ(Alarm(), UnixSecondsText(when));
    } else {
        EXPECT_EQ(result, int(kIOReturnNoResources));
        EXPECT_FALSE(std::filesystem::exists(kStoreFolder));
        EXPECT_EQ(Alarm(), "");
    }
}

}  // namespace
