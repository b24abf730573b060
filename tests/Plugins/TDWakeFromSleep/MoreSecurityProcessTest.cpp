// Process hygiene: the user-ID switches, the executable's path, closing descriptors and resetting
// the inherited process state. Everything that changes process-wide state runs in a forked child
// (RunInChild), which may close every descriptor it has and may end up under a 6 MiB data limit in
// which the sanitizers cannot allocate: its checks report into a shared page without allocating.

#include "MoreSecurityTestSupport.h"

#include <grp.h>
#include <limits.h>
#include <linux/audit.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/time.h>

#include <array>

namespace {

using wfstest::RunInChild;
constexpr auto IsOpen = &wfstest::DescriptorIsOpen;
constexpr rlim_t kInf = RLIM_INFINITY;

int CountOpen(int from, int to)
{
    int count = 0;
    for (int fd = from; fd < to; fd++) count += IsOpen(fd);
    return count;
}

uintptr_t Disposition(int sig)
{
    struct sigaction action;
    return sigaction(sig, nullptr, &action) == 0 ? reinterpret_cast<uintptr_t>(action.sa_handler) : ~0u;
}

struct rlimit GetLimit(int resource)
{
    struct rlimit limit = {0, 0};
    getrlimit(static_cast<__rlimit_resource>(resource), &limit);
    return limit;
}

int SetLimit(int resource, rlim_t soft, rlim_t hard)
{
    const struct rlimit limit = {soft, hard};
    return setrlimit(static_cast<__rlimit_resource>(resource), &limit) == 0 ? 0 : errno;
}

bool CwdIs(const char *path)
{
    char cwd[PATH_MAX];
    return getcwd(cwd, sizeof(cwd)) != nullptr && strcmp(cwd, path) == 0;
}

int RunningTimers()
{
    int running = 0;
    for (auto which : {ITIMER_REAL, ITIMER_VIRTUAL, ITIMER_PROF}) {
        struct itimerval value {};
        running += getitimer(which, &value) == 0 && (value.it_value.tv_sec || value.it_value.tv_usec);
    }
    return running;
}

rlim_t NrOpen() { return std::stoull(wfstest::ReadFile("/proc/sys/fs/nr_open")); }

bool CanRaiseHardLimits()
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    return geteuid() == 0 && syscall(SYS_capget, &header, data) == 0 &&
           (data[CAP_SYS_RESOURCE / 32].effective & (1u << (CAP_SYS_RESOURCE % 32))) != 0;
}

using Limits = std::array<struct rlimit, RLIM_NLIMITS>;

Limits CurrentLimits()
{
    Limits limits;
    for (int r = 0; r < RLIM_NLIMITS; r++) limits[r] = GetLimit(r);
    return limits;
}

// What a reset as root leaves: the tool's table, with the kernel's ceiling for RLIMIT_NOFILE; or,
// when the kernel refused the row of `refused`, the table up to that row.
Limits TableLimits(int refused = -1)
{
    Limits limits = CurrentLimits();
    const struct {
        int resource;
        rlim_t soft, hard;
    } table[] = {{RLIMIT_CPU, kInf, kInf},   {RLIMIT_FSIZE, kInf, kInf},       {RLIMIT_DATA, 0x600000, kInf},
                 {RLIMIT_STACK, 0x80000, 0x4000000}, {RLIMIT_CORE, 0, kInf}, {RLIMIT_AS, kInf, kInf},
                 {RLIMIT_MEMLOCK, kInf, kInf}, {RLIMIT_NPROC, 100, kInf},  {RLIMIT_NOFILE, 256, NrOpen()}};
    for (const auto &row : table) {
        if (row.resource == refused) break;
        limits[row.resource] = {row.soft, row.hard};
    }
    return limits;
}

void ChildExpectLimits(const Limits &expected)
{
    for (int r = 0; r < RLIM_NLIMITS; r++) {
        const auto [soft, hard] = GetLimit(r);
        if (soft != expected[r].rlim_cur || hard != expected[r].rlim_max) WFS_CHILD_FAIL("resource %d", r);
    }
}

void CatchSignal(int) {}

// Ignored, caught and blocked signals, umask 0, working folder /dev, running timers, and open
// descriptors at 3, 100 and `high`, the last above a soft RLIMIT_NOFILE lowered after it was
// opened (which anyone starting the tool can arrange). Answers `high`.
int MakeInheritedMess()
{
    for (int sig : {SIGHUP, SIGUSR1, SIGRTMIN + 2}) signal(sig, SIG_IGN);
    // SIGRTMAX too: the highest number is where a loop bound goes wrong.
    for (int sig : {SIGUSR2, SIGTERM, SIGRTMAX - 1, SIGRTMAX}) signal(sig, CatchSignal);
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int sig : {SIGINT, SIGUSR2, SIGCHLD, SIGRTMIN + 3}) sigaddset(&blocked, sig);
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    umask(0);
    WFS_CHILD_EXPECT(chdir("/dev") == 0);
    const struct itimerval timer = {{500, 0}, {1000, 0}};
    for (auto which : {ITIMER_REAL, ITIMER_VIRTUAL, ITIMER_PROF}) WFS_CHILD_EXPECT(setitimer(which, &timer, nullptr) == 0);

    const rlim_t hard = GetLimit(RLIMIT_NOFILE).rlim_max;
    const int high = hard > 5001 ? 5000 : static_cast<int>(hard) - 1;
    // dup2 refuses numbers at or above the soft limit, which may start low (1024 in a login shell).
    WFS_CHILD_EXPECT_EQ(SetLimit(RLIMIT_NOFILE, hard, hard), 0);
    int ends[2];
    WFS_CHILD_EXPECT(pipe(ends) == 0);
    for (int fd : {3, 100, high}) WFS_CHILD_EXPECT(dup2(ends[0], fd) == fd);
    WFS_CHILD_EXPECT_EQ(SetLimit(RLIMIT_NOFILE, 64, hard), 0);
    return high;
}

// Set-user-ID root as nobody runs it: the permanent drop leaves no way back to root.
TEST(MoreSecUserID, PermanentDropInSetUIDRootState)
{
    WFS_REQUIRE_ROOT();
    RunInChild([] {
        WFS_CHILD_EXPECT(setgroups(0, nullptr) == 0 && setresuid(wfstest::kNobodyID, 0, 0) == 0);
        WFS_CHILD_EXPECT_EQ(MoreSecPermanentlySetNonPrivilegedEUID(), 0);
        uid_t r, e, s;
        WFS_CHILD_EXPECT(getresuid(&r, &e, &s) == 0 && r == wfstest::kNobodyID && e == r && s == r);
        WFS_CHILD_EXPECT_EQ(MoreSecSetPrivilegedEUID(), EPERM);
    });
}

// In this very process: the leak check at exit must find the new argv[0] reachable.
TEST(MoreSecPathToSelf, TheNewArg0StaysReachable)
{
    const char *argv[] = {"inherited-name", nullptr};
    ASSERT_EQ(MoreSecDestroyInheritedEnvironment(0x3FD & ~kMoreSecKeepArg0Mask, argv), 0);
    EXPECT_EQ(std::string(argv[0]), wfstest::SelfPath());
}

// Caller errors of the module, in every part of it: each one aborts.
TEST(MoreSecurityDeathTest, CallerErrorsAbort)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    char notEmpty[] = "x";
    char *occupied = notEmpty;
    CFDictionaryRef notEmptyResponse = reinterpret_cast<CFDictionaryRef>(uintptr_t{1});
    CFURLRef notEmptyURL = reinterpret_cast<CFURLRef>(uintptr_t{1});
    const auto badList = wfstest::IntArray({-3});
    const auto url = wfstest::FileURL("/nonexistent");
    AuthorizationRef auth = nullptr;
    ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &auth), 0);
    const std::function<void()> cases[] = {
        [&] { GetPathToSelf(&occupied); },
        [] { MoreSecDestroyInheritedEnvironment(0x3FC, nullptr); },
        [&] { CopyDictionaryTranslatingDescriptors(0, &notEmptyResponse); },
        [&] { MoreSecCloseDescriptorArray(badList.get()); },
        [&] { MoreSecCopyHelperToolURLAndCheck(url.get(), 0, nullptr, CFSTR("T"), &notEmptyURL); },
        [&] {
            CFURLRef tool = nullptr;
            CopyHelperToolURL(kSystemDomain, kApplicationSupportFolderType, wfstest::Str(std::string(256, 'n')).get(),
                              CFSTR("T"), false, &tool);
        },
        [&] {  // a client that would be killed by SIGPIPE if its tool went away
            signal(SIGPIPE, SIG_DFL);
            CFDictionaryRef response = nullptr;
            MoreSecExecuteRequestInHelperTool(url.get(), auth, wfstest::MakeDictionary().get(), &response);
        },
        [&] {  // a command procedure that answers a descriptor it does not have
            const auto request = wfs_test::Request("GetPrivileges");
            wfs_test::DispatchInput(wfs_test::FrameOf(request.get()), auth, [](auto, auto, CFDictionaryRef *response) {
                *response = wfstest::Dict({DescriptorArrayKey}, {wfstest::IntArray({1000}).get()}).release();
                return 0;
            }, nullptr);
        },
    };
    for (size_t i = 0; i < std::size(cases); i++) EXPECT_DEATH(cases[i](), "failed assertion") << "case " << i;
    AuthorizationFree(auth, kAuthorizationFlagDefaults);
}

// The environment is checked in every reset: no mask touches it.
struct EnvironmentSnapshot {
    char **environ_ = environ;
    char *first = environ[0];
    char copy[256] = {};
    EnvironmentSnapshot() { snprintf(copy, sizeof(copy), "%s", first); }
    void ChildExpectUnchanged() const
    {
        WFS_CHILD_EXPECT(environ == environ_ && environ[0] == first && strcmp(first, copy) == 0);
        WFS_CHILD_EXPECT(getenv("WFS_HYGIENE_MARKER") != nullptr);
    }
};

// After a reset with `mask` each part of the inherited mess is as it was where the mask keeps it,
// and reset where it does not. The limits step runs only as root with the power to raise hard
// limits, where it must leave exactly the tool's table.
void ChildExpectReset(int mask, bool withArgv = true)
{
    const auto keeps = [mask](int bit) { return (mask & bit) != 0; };
    const int high = MakeInheritedMess();
    const std::string self = wfstest::SelfPath();
    const Limits expected = keeps(kMoreSecKeepRLimitsMask) ? CurrentLimits() : TableLimits();
    uintptr_t dispositions[NSIG];
    for (int sig = 1; sig < NSIG; sig++) dispositions[sig] = Disposition(sig);
    sigset_t blockedBefore, blocked;
    sigprocmask(SIG_SETMASK, nullptr, &blockedBefore);
    const int priority = getpriority(PRIO_PROCESS, 0);
    const EnvironmentSnapshot environment;
    const char *original = "not-the-tool";
    const char *argv[] = {original, "--self-repair", nullptr};

    const int err = MoreSecDestroyInheritedEnvironment(mask, withArgv ? argv : nullptr);

    // From here on nothing may allocate: the data limit may now be 6 MiB.
    WFS_CHILD_EXPECT_EQ(err, 0);
    WFS_CHILD_EXPECT(keeps(kMoreSecKeepArg0Mask) ? argv[0] == original : strcmp(argv[0], self.c_str()) == 0);
    WFS_CHILD_EXPECT(strcmp(argv[1], "--self-repair") == 0);
    for (int fd : {0, 1, 2}) WFS_CHILD_EXPECT(IsOpen(fd) == keeps(kMoreSecKeepStdDescriptorsMask));
    for (int fd : {3, 100, high}) WFS_CHILD_EXPECT(IsOpen(fd) == keeps(kMoreSecKeepOtherDescriptorsMask));
    if (!keeps(kMoreSecKeepOtherDescriptorsMask)) WFS_CHILD_EXPECT_EQ(CountOpen(3, 6000), 0);
    const bool keepsSignals = keeps(kMoreSecKeepSignalStateMask);
    sigprocmask(SIG_SETMASK, nullptr, &blocked);
    for (int sig = 1; sig < NSIG; sig++) {
        const bool settable = sig != SIGKILL && sig != SIGSTOP && (sig < 32 || sig >= SIGRTMIN);
        const uintptr_t wanted = keepsSignals || !settable ? dispositions[sig] : uintptr_t(SIG_DFL);
        if (Disposition(sig) != wanted) WFS_CHILD_FAIL("signal %d", sig);
        WFS_CHILD_EXPECT(sigismember(&blocked, sig) == (keepsSignals && sigismember(&blockedBefore, sig)));
    }
    WFS_CHILD_EXPECT_EQ(umask(077), keeps(kMoreSecKeepUmaskValueMask) ? 0 : 077);
    WFS_CHILD_EXPECT_EQ(getpriority(PRIO_PROCESS, 0), priority);
    ChildExpectLimits(expected);
    WFS_CHILD_EXPECT(CwdIs(keeps(kMoreSecKeepWorkingDirMask) ? "/dev" : "/"));
    WFS_CHILD_EXPECT_EQ(RunningTimers(), keeps(kMoreSecKeepIntervalTimersMask) ? 3 : 0);
    environment.ChildExpectUnchanged();
}

TEST(MoreSecDestroyInheritedEnvironment, ResetsWhatTheMaskDoesNotKeep)
{
    wfstest::ScopedEnv marker("WFS_HYGIENE_MARKER", "kept");
    // A full keep mask changes nothing, whether argv is given or not.
    for (int mask : {0x3FD, ~0}) {
        for (bool withArgv : {false, true}) RunInChild([mask, withArgv] { ChildExpectReset(mask, withArgv); });
    }
    if (CanRaiseHardLimits()) RunInChild([] { ChildExpectReset(0); });
    // With the limits kept, so that the steps behind them run on any machine; bit 0x002 means
    // nothing; and with close_range as the only fast way.
    RunInChild([] { ChildExpectReset(0x002 | kMoreSecKeepRLimitsMask); });
    RunInChild([] {
        SetCloseOpenFileDescriptorsWays(kCloseDescriptorsByCloseRange);
        ChildExpectReset(kMoreSecKeepRLimitsMask);
    });
}

// As root every row takes the table's limits, from below and from above; where the kernel refuses
// a raise (no CAP_SYS_RESOURCE) the step ends with EPERM there, the rows before it set and the steps
// behind it not run. Without root only soft limits change, and a hard limit below its row's soft
// limit is refused (EINVAL) in the same way.
TEST(MoreSecDestroyInheritedEnvironment, LimitsAsRootAndAsNonRoot)
{
    WFS_REQUIRE_ROOT();  // to choose hard limits and to become nobody
    const int mask = 0x3FD & ~(kMoreSecKeepRLimitsMask | kMoreSecKeepWorkingDirMask);
    RunInChild([mask] {
        const bool canRaise = CanRaiseHardLimits();
        WFS_CHILD_EXPECT_EQ(SetLimit(RLIMIT_MEMLOCK, 65536, 65536), 0);
        WFS_CHILD_EXPECT_EQ(SetLimit(RLIMIT_NOFILE, 512, 1024), 0);
        WFS_CHILD_EXPECT(chdir("/dev") == 0);
        const Limits expected = canRaise ? TableLimits() : TableLimits(RLIMIT_MEMLOCK);
        WFS_CHILD_EXPECT_EQ(MoreSecDestroyInheritedEnvironment(mask, nullptr), canRaise ? 0 : EPERM);
        ChildExpectLimits(expected);
        WFS_CHILD_EXPECT(CwdIs(canRaise ? "/" : "/dev"));
    });
    // As nobody, RLIMIT_MEMLOCK's row (soft infinity) is refused unless its hard limit is infinite.
    RunInChild([mask] {
        const bool memlockInfinite = CanRaiseHardLimits() && SetLimit(RLIMIT_MEMLOCK, kInf, kInf) == 0;
        WFS_CHILD_EXPECT_EQ(SetLimit(RLIMIT_DATA, 32 << 20, 64 << 20), 0);
        WFS_CHILD_EXPECT_EQ(SetLimit(RLIMIT_NOFILE, 1000, 4096), 0);
        WFS_CHILD_EXPECT(chdir("/dev") == 0 && wfstest::DropToNobody());
        const Limits before = CurrentLimits();

        const int err = MoreSecDestroyInheritedEnvironment(mask, nullptr);

        WFS_CHILD_EXPECT_EQ(err, memlockInfinite ? 0 : EINVAL);
        for (int r = 0; r < RLIM_NLIMITS; r++) WFS_CHILD_EXPECT_EQ(GetLimit(r).rlim_max, before[r].rlim_max);
        WFS_CHILD_EXPECT_EQ(GetLimit(RLIMIT_DATA).rlim_cur, 0x600000);
        WFS_CHILD_EXPECT_EQ(GetLimit(RLIMIT_NOFILE).rlim_cur, memlockInfinite ? 256 : 1000);
        WFS_CHILD_EXPECT(CwdIs(err == 0 ? "/" : "/dev"));
    });
}

// Every way of closing: exactly the range, and a close() that fails with anything but EBADF ends
// the routine with that error and leaves the higher descriptors open. A seccomp filter makes
// close(61) fail with EIO and refuses close_range, as a kernel without it would.
TEST(CloseOpenFileDescriptorsInRange, ClosesExactlyTheRangeAndStopsAtARealFailure)
{
    for (unsigned int ways : {0u + kCloseDescriptorsByListing, 0u + kCloseDescriptorsByCloseRange, 0u}) {
        RunInChild([ways] {
            WFS_CHILD_EXPECT_EQ(SetCloseOpenFileDescriptorsWays(ways), kCloseDescriptorsAllWays);
            int ends[2];
            WFS_CHILD_EXPECT(pipe(ends) == 0);
            for (int fd : {40, 41, 42, 50, 60, 61, 62, 70}) WFS_CHILD_EXPECT(dup2(ends[0], fd) == fd);
            close(ends[0]);
            close(ends[1]);
            const int before = CountOpen(0, 1024);
            const std::pair<int, int> nothingOpen[] = {{45, 45}, {50, 41}, {-5, 0}, {43, 50}};
            for (auto [first, limit] : nothingOpen) {
                WFS_CHILD_EXPECT_EQ(CloseOpenFileDescriptorsInRange(first, limit), 0);
            }
            WFS_CHILD_EXPECT_EQ(CountOpen(0, 1024), before);
            WFS_CHILD_EXPECT_EQ(CloseOpenFileDescriptorsInRange(41, 42), 0);  // the limit stays open
            WFS_CHILD_EXPECT(IsOpen(40) && !IsOpen(41) && IsOpen(42) && IsOpen(50));
            WFS_CHILD_EXPECT_EQ(CloseOpenFileDescriptorsInRange(42, 51), 0);
            WFS_CHILD_EXPECT(IsOpen(40) && !IsOpen(42) && !IsOpen(50));
#if defined(__x86_64__)
            struct sock_filter program[] = {
                BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
                BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_close_range, 0, 1),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_close, 0, 3),
                BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0])),
                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, 61, 0, 1),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            };
            struct sock_fprog filter = {sizeof(program) / sizeof(program[0]), program};
            WFS_CHILD_EXPECT(prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0);
            WFS_CHILD_EXPECT(syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &filter) == 0);
            WFS_CHILD_EXPECT_EQ(CloseOpenFileDescriptorsInRange(60, 100), EIO);
            WFS_CHILD_EXPECT(!IsOpen(60) && IsOpen(61) && IsOpen(62) && IsOpen(70));
#endif
            // Up to the table size: nothing is left above 2 but what could not be closed.
            const int standard = CountOpen(0, 3);
            WFS_CHILD_EXPECT_EQ(CloseOpenFileDescriptorsInRange(62, getdtablesize()), 0);
            WFS_CHILD_EXPECT_EQ(CloseOpenFileDescriptorsInRange(3, 61), 0);
            WFS_CHILD_EXPECT_EQ(CountOpen(3, getdtablesize()) - IsOpen(61), 0);
            WFS_CHILD_EXPECT_EQ(CountOpen(0, 3), standard);
        });
    }
}

}  // namespace
