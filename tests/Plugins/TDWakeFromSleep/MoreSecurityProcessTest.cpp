// Process hygiene: the user-ID switches, the executable's path, closing descriptors and resetting
// the inherited process state. Everything that changes process-wide state runs in a forked child
// (RunInChild), which may close every descriptor it has and may end up under a 6 MiB data limit in
// which the sanitizers cannot allocate: its checks report into a shared page without allocating.

#include "MoreSecurityInternal.h"
#include "MoreUNIX.h"
#include <TestSupport.h>

#include <Support/CFRef.h>

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

namespace {

using wfstest::RunInChild;
constexpr rlim_t kInf = RLIM_INFINITY;

// ---- Probes of process state ------------------------------------------------------------------

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

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

mode_t CurrentUmask()
{
    const mode_t mask = umask(0);
    umask(mask);
    return mask;
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

rlim_t NrOpen()
{
    char text[32] = {};
    wfs::UniqueFd fd(open("/proc/sys/fs/nr_open", O_RDONLY | O_CLOEXEC));
    return fd && read(fd.get(), text, sizeof(text) - 1) > 0 ? strtoull(text, nullptr, 10) : 0;
}

bool CanRaiseHardLimits()
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    return geteuid() == 0 && syscall(SYS_capget, &header, data) == 0 &&
           (data[CAP_SYS_RESOURCE / 32].effective & (1u << (CAP_SYS_RESOURCE % 32))) != 0;
}

std::string CanonicalSelf() { return std::filesystem::canonical("/proc/self/exe").string(); }

// ---- Limits ----------------------------------------------------------------------------------

struct Limits {
    struct rlimit of[RLIM_NLIMITS];
};

Limits CurrentLimits()
{
    Limits limits;
    for (int r = 0; r < RLIM_NLIMITS; r++) limits.of[r] = GetLimit(r);
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
        limits.of[row.resource] = {row.soft, row.hard};
    }
    return limits;
}

void ChildExpectLimits(const Limits &expected)
{
    for (int r = 0; r < RLIM_NLIMITS; r++) {
        const struct rlimit now = GetLimit(r);
        if (now.rlim_cur != expected.of[r].rlim_cur || now.rlim_max != expected.of[r].rlim_max) {
            WFS_CHILD_FAIL("resource %d: %llu/%llu, expected %llu/%llu", r, (unsigned long long) now.rlim_cur,
                           (unsigned long long) now.rlim_max, (unsigned long long) expected.of[r].rlim_cur,
                           (unsigned long long) expected.of[r].rlim_max);
        }
    }
}

// ---- An inherited mess for the reset to clean up -------------------------------------------------

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

// ---- Tests ------------------------------------------------------------------------------------

TEST(MoreSecUserID, TemporaryDropAndPermanentDropInSetUIDRootState)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become a set-user-ID-root-like process";
    RunInChild([] {
        WFS_CHILD_EXPECT(setgroups(0, nullptr) == 0 && setresuid(wfstest::kNobodyID, 0, 0) == 0);
        uid_t r, e, s;
        WFS_CHILD_EXPECT_EQ(MoreSecTemporarilySetNonPrivilegedEUID(), 0);
        WFS_CHILD_EXPECT(getresuid(&r, &e, &s) == 0 && r == wfstest::kNobodyID && e == wfstest::kNobodyID && s == 0);
        WFS_CHILD_EXPECT_EQ(MoreSecSetPrivilegedEUID(), 0);
        WFS_CHILD_EXPECT_EQ(geteuid(), 0);
        WFS_CHILD_EXPECT_EQ(MoreSecPermanentlySetNonPrivilegedEUID(), 0);
        WFS_CHILD_EXPECT(getresuid(&r, &e, &s) == 0 && r == wfstest::kNobodyID && e == wfstest::kNobodyID &&
                         s == wfstest::kNobodyID);
        WFS_CHILD_EXPECT_EQ(MoreSecSetPrivilegedEUID(), EPERM);
    });
}

TEST(MoreSecPathToSelf, CanonicalPathThatStaysReachableAsArg0)
{
    char *path = nullptr;
    ASSERT_EQ(GetPathToSelf(&path), 0);
    EXPECT_EQ(std::string(path), CanonicalSelf());
    free(path);
    // Only step 1, in this very process: the leak check at exit must find the new argv[0] reachable.
    const char *argv[] = {"inherited-name", nullptr};
    ASSERT_EQ(MoreSecDestroyInheritedEnvironment(0x3FD & ~kMoreSecKeepArg0Mask, argv), 0);
    EXPECT_EQ(std::string(argv[0]), CanonicalSelf());
}

// Caller errors of the module: each one aborts.
TEST(MoreSecurityDeathTest, CallerErrorsAbort)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    char notEmpty[] = "x";
    char *occupied = notEmpty;
    CFDictionaryRef notEmptyResponse = reinterpret_cast<CFDictionaryRef>(uintptr_t{1});
    int minusThree = -3;
    wfs::CFRef<CFNumberRef> badFd(CFNumberCreate(nullptr, kCFNumberIntType, &minusThree));
    const void *values[] = {badFd.get()};
    wfs::CFRef<CFArrayRef> badList(CFArrayCreate(nullptr, values, 1, &kCFTypeArrayCallBacks));
    const std::function<void()> cases[] = {
        [&] { GetPathToSelf(&occupied); },
        [] { MoreSecDestroyInheritedEnvironment(0x3FC, nullptr); },
        [&] { CopyDictionaryTranslatingDescriptors(0, &notEmptyResponse); },
        [&] { MoreSecCloseDescriptorArray(badList.get()); },
    };
    for (const auto &c : cases) EXPECT_DEATH(c(), "failed assertion");
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

TEST(MoreSecDestroyInheritedEnvironment, FullKeepMaskChangesNothing)
{
    wfstest::ScopedEnv marker("WFS_HYGIENE_MARKER", "kept");
    for (int mask : {0x3FD, ~0}) {
        for (bool withArgv : {false, true}) {
            RunInChild([mask, withArgv] {
                const int high = MakeInheritedMess();
                const Limits limits = CurrentLimits();
                uintptr_t dispositions[NSIG];
                for (int sig = 1; sig < NSIG; sig++) dispositions[sig] = Disposition(sig);
                sigset_t maskBefore, maskAfter;
                sigprocmask(SIG_SETMASK, nullptr, &maskBefore);
                const int priority = getpriority(PRIO_PROCESS, 0);
                const EnvironmentSnapshot environment;
                const char *original = "inherited-name";
                const char *argv[] = {original, nullptr};

                WFS_CHILD_EXPECT_EQ(MoreSecDestroyInheritedEnvironment(mask, withArgv ? argv : nullptr), 0);

                WFS_CHILD_EXPECT(argv[0] == original);
                for (int fd : {0, 1, 2, 3, 100, high}) WFS_CHILD_EXPECT(IsOpen(fd));
                for (int sig = 1; sig < NSIG; sig++) WFS_CHILD_EXPECT(Disposition(sig) == dispositions[sig]);
                sigprocmask(SIG_SETMASK, nullptr, &maskAfter);
                for (int sig = 1; sig < NSIG; sig++) WFS_CHILD_EXPECT(sigismember(&maskAfter, sig) == sigismember(&maskBefore, sig));
                WFS_CHILD_EXPECT_EQ(CurrentUmask(), 0);
                WFS_CHILD_EXPECT_EQ(getpriority(PRIO_PROCESS, 0), priority);
                ChildExpectLimits(limits);
                WFS_CHILD_EXPECT(CwdIs("/dev"));
                WFS_CHILD_EXPECT_EQ(RunningTimers(), 3);
                environment.ChildExpectUnchanged();
            });
        }
    }
}

// Everything but the kept parts is reset. The limits step runs only as root with the power to
// raise hard limits, where it must leave exactly the tool's table.
void ChildExpectReset(int mask)
{
    const int high = MakeInheritedMess();
    const std::string self = CanonicalSelf();
    const Limits expected = (mask & kMoreSecKeepRLimitsMask) ? CurrentLimits() : TableLimits();
    const int priority = getpriority(PRIO_PROCESS, 0);
    const EnvironmentSnapshot environment;
    const char *argv[] = {"not-the-tool", "--self-repair", nullptr};

    const int err = MoreSecDestroyInheritedEnvironment(mask, argv);

    // From here on nothing may allocate: the data limit may now be 6 MiB.
    WFS_CHILD_EXPECT_EQ(err, 0);
    WFS_CHILD_EXPECT(strcmp(argv[0], self.c_str()) == 0 && strcmp(argv[1], "--self-repair") == 0);
    for (int fd : {0, 1, 2, 3, 100, high}) WFS_CHILD_EXPECT(!IsOpen(fd) && errno == EBADF);
    WFS_CHILD_EXPECT_EQ(CountOpen(0, 6000), 0);
    for (int sig = 1; sig <= SIGRTMAX; sig++) {
        const bool settable = sig != SIGKILL && sig != SIGSTOP && (sig < 32 || sig >= SIGRTMIN);
        if (settable && Disposition(sig) != reinterpret_cast<uintptr_t>(SIG_DFL)) WFS_CHILD_FAIL("signal %d", sig);
    }
    sigset_t blocked;
    sigprocmask(SIG_SETMASK, nullptr, &blocked);
    WFS_CHILD_EXPECT(sigisemptyset(&blocked));
    WFS_CHILD_EXPECT_EQ(CurrentUmask(), 077);
    WFS_CHILD_EXPECT_EQ(getpriority(PRIO_PROCESS, 0), priority);
    ChildExpectLimits(expected);
    WFS_CHILD_EXPECT(CwdIs("/"));
    WFS_CHILD_EXPECT_EQ(RunningTimers(), 0);
    environment.ChildExpectUnchanged();
}

TEST(MoreSecDestroyInheritedEnvironment, MaskZeroResetsEverything)
{
    wfstest::ScopedEnv marker("WFS_HYGIENE_MARKER", "kept");
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
    if (geteuid() != 0) GTEST_SKIP() << "needs root to choose hard limits and to become nobody";
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
        for (int r = 0; r < RLIM_NLIMITS; r++) WFS_CHILD_EXPECT_EQ(GetLimit(r).rlim_max, before.of[r].rlim_max);
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
