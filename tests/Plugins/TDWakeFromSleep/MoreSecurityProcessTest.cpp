// Process hygiene: the user-ID switches, the executable's path, closing descriptors and resetting
// the inherited process state. Everything that changes process-wide state runs in a forked child.
// Such a child may close every descriptor it has and may end up under a 6 MiB data limit in which
// the sanitizers cannot allocate, so it reports into a shared anonymous page with snprintf.

#include "MoreSecurityInternal.h"
#include "MoreUNIX.h"
#include <TestSupport.h>

#include <grp.h>
#include <limits.h>
#include <linux/audit.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stdarg.h>
#include <stddef.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/time.h>

namespace {

constexpr rlim_t kInf = RLIM_INFINITY;

struct ChildReport {
    int failures;
    size_t used;
    char text[8192];
};
ChildReport *gReport = nullptr;  // set only in a forked child

__attribute__((format(printf, 2, 3))) void ChildFailure(int line, const char *format, ...)
{
    gReport->failures++;
    char *at = gReport->text + gReport->used;
    const size_t room = sizeof(gReport->text) - gReport->used;
    int n = snprintf(at, room, "line %d: ", line);
    va_list args;
    va_start(args, format);
    if (n >= 0 && static_cast<size_t>(n) < room) n += vsnprintf(at + n, room - n, format, args);
    va_end(args);
    if (n >= 0 && static_cast<size_t>(n) + 1 < room) gReport->used += n, at[n] = '\n', gReport->used++;
}

#define CHILD_EXPECT(cond) \
    ((cond) ? (void) 0 : ChildFailure(__LINE__, "%s", #cond))
#define CHILD_EXPECT_EQ(a, b)                                                                   \
    do {                                                                                        \
        const long long a_ = static_cast<long long>(a), b_ = static_cast<long long>(b);         \
        if (a_ != b_) ChildFailure(__LINE__, "%s == %s: %lld vs %lld", #a, #b, a_, b_);         \
    } while (0)

// Runs body in a forked child, which leaves with _exit(0); expects no failed check there.
template <typename Body>
void RunInChild(Body &&body)
{
    void *page = mmap(nullptr, sizeof(ChildReport), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    auto *report = new (page) ChildReport{};
    fflush(nullptr);
    EXPECT_EQ(wfstest::RunChild([&] {
                  gReport = report;
                  body();
                  return 0;
              }),
              0);
    EXPECT_EQ(report->failures, 0) << std::string(report->text, report->used);
    munmap(page, sizeof(ChildReport));
}

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

// ---- What the limits step must do, from the table and the kernel's rules ----------------------

struct TableRow {
    int resource;
    rlim_t soft, hard;
};
const TableRow kExpectedTable[] = {
    {RLIMIT_CPU, kInf, kInf},      {RLIMIT_FSIZE, kInf, kInf},       {RLIMIT_DATA, 0x600000, kInf},
    {RLIMIT_STACK, 0x80000, 0x4000000}, {RLIMIT_CORE, 0, kInf},      {RLIMIT_AS, kInf, kInf},
    {RLIMIT_MEMLOCK, kInf, kInf},  {RLIMIT_NPROC, 100, kInf},        {RLIMIT_NOFILE, 256, kInf},
};

struct Limits {
    struct rlimit of[RLIM_NLIMITS];
    int err = 0;  // of the step that made them
};

Limits CurrentLimits()
{
    Limits limits;
    for (int r = 0; r < RLIM_NLIMITS; r++) limits.of[r] = GetLimit(r);
    return limits;
}

// setrlimit refuses a soft limit above the hard one (EINVAL), a hard RLIMIT_NOFILE above fs.nr_open
// and a raised hard limit without CAP_SYS_RESOURCE (EPERM). Rows before a refused one stay set.
Limits PredictLimits(rlim_t nrOpen)
{
    const bool root = geteuid() == 0, canRaise = CanRaiseHardLimits();
    Limits out = CurrentLimits();
    for (const TableRow &row : kExpectedTable) {
        const struct rlimit current = out.of[row.resource];
        struct rlimit next = {row.soft, !root ? current.rlim_max : row.resource == RLIMIT_NOFILE ? nrOpen : row.hard};
        if (next.rlim_cur > next.rlim_max) out.err = EINVAL;
        else if (next.rlim_max > current.rlim_max && !canRaise) out.err = EPERM;
        if (out.err != 0) break;
        out.of[row.resource] = next;
    }
    return out;
}

void ChildExpectLimits(const Limits &expected)
{
    for (int r = 0; r < RLIM_NLIMITS; r++) {
        const struct rlimit now = GetLimit(r);
        if (now.rlim_cur != expected.of[r].rlim_cur || now.rlim_max != expected.of[r].rlim_max) {
            ChildFailure(__LINE__, "resource %d: %llu/%llu, expected %llu/%llu", r,
                         (unsigned long long) now.rlim_cur, (unsigned long long) now.rlim_max,
                         (unsigned long long) expected.of[r].rlim_cur, (unsigned long long) expected.of[r].rlim_max);
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
    for (int sig : {SIGUSR2, SIGTERM, SIGRTMAX - 1}) signal(sig, CatchSignal);
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int sig : {SIGINT, SIGUSR2, SIGCHLD, SIGRTMIN + 3}) sigaddset(&blocked, sig);
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    umask(0);
    CHILD_EXPECT(chdir("/dev") == 0);
    const struct itimerval timer = {{500, 0}, {1000, 0}};
    for (auto which : {ITIMER_REAL, ITIMER_VIRTUAL, ITIMER_PROF}) CHILD_EXPECT(setitimer(which, &timer, nullptr) == 0);

    const rlim_t hard = GetLimit(RLIMIT_NOFILE).rlim_max;
    const int high = hard > 5001 ? 5000 : static_cast<int>(hard) - 1;
    // dup2 refuses numbers at or above the soft limit, which may start low (1024 in a login shell).
    CHILD_EXPECT_EQ(SetLimit(RLIMIT_NOFILE, hard, hard), 0);
    int ends[2];
    CHILD_EXPECT(pipe(ends) == 0);
    for (int fd : {3, 100, high}) CHILD_EXPECT(dup2(ends[0], fd) == fd);
    CHILD_EXPECT_EQ(SetLimit(RLIMIT_NOFILE, 64, hard), 0);
    return high;
}

// ---- Tests ------------------------------------------------------------------------------------

TEST(MoreSecUserID, TemporaryDropAndPermanentDropInSetUIDRootState)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become a set-user-ID-root-like process";
    RunInChild([] {
        CHILD_EXPECT(setgroups(0, nullptr) == 0 && setresuid(wfstest::kNobodyID, 0, 0) == 0);
        uid_t r, e, s;
        CHILD_EXPECT_EQ(MoreSecTemporarilySetNonPrivilegedEUID(), 0);
        CHILD_EXPECT(getresuid(&r, &e, &s) == 0 && r == wfstest::kNobodyID && e == wfstest::kNobodyID && s == 0);
        CHILD_EXPECT_EQ(MoreSecSetPrivilegedEUID(), 0);
        CHILD_EXPECT_EQ(geteuid(), 0);
        CHILD_EXPECT_EQ(MoreSecPermanentlySetNonPrivilegedEUID(), 0);
        CHILD_EXPECT(getresuid(&r, &e, &s) == 0 && r == wfstest::kNobodyID && e == wfstest::kNobodyID && s == wfstest::kNobodyID);
        CHILD_EXPECT_EQ(MoreSecSetPrivilegedEUID(), EPERM);
    });
}

TEST(MoreSecPathToSelf, CanonicalPathThatStaysReachableAsArg0)
{
    char *path = nullptr;
    ASSERT_EQ(GetPathToSelf(&path), 0);
    EXPECT_EQ(std::string(path), CanonicalSelf());
    free(path);
    char notEmpty[] = "x";
    char *occupied = notEmpty;
    EXPECT_DEATH(GetPathToSelf(&occupied),
                 wfstest::AssertionPattern("MoreSecurityProcess.cpp", "*pathToSelfPtr == NULL"));

    // Only step 1, in this very process: the leak check at exit must find the new argv[0] reachable.
    const char *argv[] = {"inherited-name", nullptr};
    ASSERT_EQ(MoreSecDestroyInheritedEnvironment(0x3FD & ~kMoreSecKeepArg0Mask, argv), 0);
    EXPECT_EQ(std::string(argv[0]), CanonicalSelf());
    EXPECT_DEATH(MoreSecDestroyInheritedEnvironment(0x3FC, nullptr),
                 wfstest::AssertionPattern("MoreSecurityProcess.cpp",
                                            "(whatToDubya & kMoreSecKeepArg0Mask) || (argv != NULL)"));
}

// The environment is checked in every reset: no mask touches it.
struct EnvironmentSnapshot {
    char **environ_ = environ;
    char *first = environ[0];
    char copy[256] = {};
    EnvironmentSnapshot() { snprintf(copy, sizeof(copy), "%s", first); }
    void ChildExpectUnchanged() const
    {
        CHILD_EXPECT(environ == environ_ && environ[0] == first && strcmp(first, copy) == 0);
        CHILD_EXPECT(getenv("WFS_HYGIENE_MARKER") != nullptr);
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

                CHILD_EXPECT_EQ(MoreSecDestroyInheritedEnvironment(mask, withArgv ? argv : nullptr), 0);

                CHILD_EXPECT(argv[0] == original);
                for (int fd : {0, 1, 2, 3, 100, high}) CHILD_EXPECT(IsOpen(fd));
                for (int sig = 1; sig < NSIG; sig++) CHILD_EXPECT(Disposition(sig) == dispositions[sig]);
                sigprocmask(SIG_SETMASK, nullptr, &maskAfter);
                for (int sig = 1; sig < NSIG; sig++) CHILD_EXPECT(sigismember(&maskAfter, sig) == sigismember(&maskBefore, sig));
                CHILD_EXPECT_EQ(CurrentUmask(), 0);
                CHILD_EXPECT_EQ(getpriority(PRIO_PROCESS, 0), priority);
                ChildExpectLimits(limits);
                CHILD_EXPECT(CwdIs("/dev"));
                CHILD_EXPECT_EQ(RunningTimers(), 3);
                environment.ChildExpectUnchanged();
            });
        }
    }
}

// Everything but the kept parts is reset; the limits step may be refused by the kernel, and then
// it ends the routine before the working directory and the timers.
void ChildExpectReset(int mask)
{
    const int high = MakeInheritedMess();
    const std::string self = CanonicalSelf();
    const Limits predicted = (mask & kMoreSecKeepRLimitsMask) ? CurrentLimits() : PredictLimits(NrOpen());
    const int priority = getpriority(PRIO_PROCESS, 0);
    const EnvironmentSnapshot environment;
    const char *argv[] = {"not-the-tool", "--self-repair", nullptr};

    const int err = MoreSecDestroyInheritedEnvironment(mask, argv);

    // From here on nothing may allocate: the data limit may now be 6 MiB.
    CHILD_EXPECT_EQ(err, predicted.err);
    CHILD_EXPECT(strcmp(argv[0], self.c_str()) == 0 && strcmp(argv[1], "--self-repair") == 0);
    for (int fd : {0, 1, 2, 3, 100, high}) CHILD_EXPECT(!IsOpen(fd) && errno == EBADF);
    CHILD_EXPECT_EQ(CountOpen(0, 6000), 0);
    for (int sig = 1; sig <= SIGRTMAX; sig++) {
        const bool settable = sig != SIGKILL && sig != SIGSTOP && (sig < 32 || sig >= SIGRTMIN);
        if (settable && Disposition(sig) != reinterpret_cast<uintptr_t>(SIG_DFL)) ChildFailure(__LINE__, "signal %d", sig);
    }
    sigset_t blocked;
    sigprocmask(SIG_SETMASK, nullptr, &blocked);
    CHILD_EXPECT(sigisemptyset(&blocked));
    CHILD_EXPECT_EQ(CurrentUmask(), 077);
    CHILD_EXPECT_EQ(getpriority(PRIO_PROCESS, 0), priority);
    ChildExpectLimits(predicted);
    CHILD_EXPECT(CwdIs(predicted.err == 0 ? "/" : "/dev"));
    CHILD_EXPECT_EQ(RunningTimers(), predicted.err == 0 ? 0 : 3);
    environment.ChildExpectUnchanged();
}

TEST(MoreSecDestroyInheritedEnvironment, MaskZeroResetsEverything)
{
    wfstest::ScopedEnv marker("WFS_HYGIENE_MARKER", "kept");
    RunInChild([] { ChildExpectReset(0); });
    // With the limits kept, so that the steps behind them run on any machine; bit 0x002 means
    // nothing; and with close_range as the only fast way.
    RunInChild([] { ChildExpectReset(0x002 | kMoreSecKeepRLimitsMask); });
    RunInChild([] {
        SetCloseOpenFileDescriptorsWays(kCloseDescriptorsByCloseRange);
        ChildExpectReset(kMoreSecKeepRLimitsMask);
    });
}

// As root every row takes the table's limits (or, without CAP_SYS_RESOURCE, the first raise is
// refused with EPERM); as nobody only soft limits change, and a hard limit below its row's soft
// limit is refused with EINVAL, leaving the rows after it alone.
TEST(MoreSecDestroyInheritedEnvironment, LimitsAsRootAndAsNonRoot)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to choose hard limits and to become nobody";
    const int mask = 0x3FD & ~(kMoreSecKeepRLimitsMask | kMoreSecKeepWorkingDirMask);
    RunInChild([mask] {
        const rlim_t nrOpen = NrOpen();
        const bool canRaise = CanRaiseHardLimits();
        CHILD_EXPECT_EQ(SetLimit(RLIMIT_MEMLOCK, 65536, 65536), 0);
        CHILD_EXPECT_EQ(SetLimit(RLIMIT_NOFILE, 512, 1024), 0);
        const Limits predicted = PredictLimits(nrOpen);
        CHILD_EXPECT_EQ(MoreSecDestroyInheritedEnvironment(mask, nullptr), canRaise ? 0 : EPERM);
        CHILD_EXPECT_EQ(predicted.err, canRaise ? 0 : EPERM);
        ChildExpectLimits(predicted);
        if (canRaise) {
            CHILD_EXPECT(GetLimit(RLIMIT_STACK).rlim_cur == 0x80000 && GetLimit(RLIMIT_STACK).rlim_max == 0x4000000);
            CHILD_EXPECT(GetLimit(RLIMIT_CORE).rlim_cur == 0 && GetLimit(RLIMIT_CORE).rlim_max == kInf);
            CHILD_EXPECT(GetLimit(RLIMIT_NOFILE).rlim_max == nrOpen);
        }
    });
    for (bool lowNproc : {false, true}) {
        RunInChild([mask, lowNproc] {
            const rlim_t nrOpen = NrOpen();
            CHILD_EXPECT_EQ(SetLimit(RLIMIT_DATA, 32 << 20, 64 << 20), 0);
            CHILD_EXPECT_EQ(SetLimit(RLIMIT_STACK, 1 << 20, 32 << 20), 0);
            CHILD_EXPECT_EQ(SetLimit(RLIMIT_NPROC, 10, lowNproc ? 50 : 5000), 0);
            CHILD_EXPECT_EQ(SetLimit(RLIMIT_NOFILE, 1000, 4096), 0);
            if (CanRaiseHardLimits()) CHILD_EXPECT_EQ(SetLimit(RLIMIT_MEMLOCK, kInf, kInf), 0);
            CHILD_EXPECT(chdir("/dev") == 0 && setgroups(0, nullptr) == 0);
            CHILD_EXPECT(setgid(wfstest::kNobodyID) == 0 && setuid(wfstest::kNobodyID) == 0);
            const Limits before = CurrentLimits(), predicted = PredictLimits(nrOpen);

            const int err = MoreSecDestroyInheritedEnvironment(mask, nullptr);

            CHILD_EXPECT_EQ(err, predicted.err);
            ChildExpectLimits(predicted);
            for (int r = 0; r < RLIM_NLIMITS; r++) CHILD_EXPECT_EQ(GetLimit(r).rlim_max, before.of[r].rlim_max);
            if (lowNproc) CHILD_EXPECT(err == EINVAL && GetLimit(RLIMIT_NOFILE).rlim_cur == 1000);
            CHILD_EXPECT(CwdIs(err == 0 ? "/" : "/dev"));
        });
    }
}

// Every way of closing: exactly the range, and a close() that fails with anything but EBADF ends
// the routine with that error and leaves the higher descriptors open. A seccomp filter makes
// close(61) fail with EIO and refuses close_range, as a kernel without it would.
TEST(CloseOpenFileDescriptorsInRange, ClosesExactlyTheRangeAndStopsAtARealFailure)
{
    for (unsigned int ways : {0u + kCloseDescriptorsByListing, 0u + kCloseDescriptorsByCloseRange, 0u}) {
        RunInChild([ways] {
            CHILD_EXPECT_EQ(SetCloseOpenFileDescriptorsWays(ways), kCloseDescriptorsAllWays);
            int ends[2];
            CHILD_EXPECT(pipe(ends) == 0);
            for (int fd : {40, 41, 42, 50, 60, 61, 62, 70}) CHILD_EXPECT(dup2(ends[0], fd) == fd);
            close(ends[0]);
            close(ends[1]);
            const int before = CountOpen(0, 1024);
            const std::pair<int, int> nothingOpen[] = {{45, 45}, {50, 41}, {-5, 0}, {43, 50}};
            for (auto [first, limit] : nothingOpen) {
                CHILD_EXPECT_EQ(CloseOpenFileDescriptorsInRange(first, limit), 0);
            }
            CHILD_EXPECT_EQ(CountOpen(0, 1024), before);
            CHILD_EXPECT_EQ(CloseOpenFileDescriptorsInRange(41, 42), 0);  // the limit stays open
            CHILD_EXPECT(IsOpen(40) && !IsOpen(41) && IsOpen(42) && IsOpen(50));
            CHILD_EXPECT_EQ(CloseOpenFileDescriptorsInRange(42, 51), 0);
            CHILD_EXPECT(IsOpen(40) && !IsOpen(42) && !IsOpen(50));
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
            CHILD_EXPECT(prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0);
            CHILD_EXPECT(syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &filter) == 0);
            CHILD_EXPECT_EQ(CloseOpenFileDescriptorsInRange(60, 100), EIO);
            CHILD_EXPECT(!IsOpen(60) && IsOpen(61) && IsOpen(62) && IsOpen(70));
#endif
            // Up to the table size: nothing is left above 2 but what could not be closed.
            const int standard = CountOpen(0, 3);
            CHILD_EXPECT_EQ(CloseOpenFileDescriptorsInRange(62, getdtablesize()), 0);
            CHILD_EXPECT_EQ(CloseOpenFileDescriptorsInRange(3, 61), 0);
            CHILD_EXPECT_EQ(CountOpen(3, getdtablesize()) - IsOpen(61), 0);
            CHILD_EXPECT_EQ(CountOpen(0, 3), standard);
        });
    }
}

}  // namespace
