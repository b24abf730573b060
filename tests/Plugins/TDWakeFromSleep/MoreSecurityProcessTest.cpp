// Process hygiene: the user-ID switches, the executable's path, closing descriptors and resetting
// the inherited process state. Everything that changes process-wide state runs in a forked child.
// Such a child may close every descriptor it has (pipes included) and may end up under a 6 MiB
// data limit in which the sanitizers cannot allocate, so it reports into a shared anonymous page
// with snprintf and never allocates after the routine under test has run.

#include "MoreSecurityInternal.h"
#include "MoreUNIX.h"

#include <Support/Eintr.h>
#include <Support/UniqueFd.h>

#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <linux/audit.h>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <signal.h>
#include <stdarg.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr uid_t kNobody = 65534;
constexpr rlim_t kInf = RLIM_INFINITY;

// ---- Forked children that report through shared memory -----------------------------------------

struct ChildReport {
    int failures;
    size_t used;
    char text[16384];
};

ChildReport *gReport = nullptr;  // set only in a forked child

__attribute__((format(printf, 3, 4))) void ChildFailure(const char *file, int line,
                                                        const char *format, ...)
{
    gReport->failures++;
    size_t room = sizeof(gReport->text) - gReport->used;
    int n = snprintf(gReport->text + gReport->used, room, "%s:%d: ", file, line);
    if (n > 0 && static_cast<size_t>(n) < room) gReport->used += static_cast<size_t>(n);
    room = sizeof(gReport->text) - gReport->used;
    va_list args;
    va_start(args, format);
    n = vsnprintf(gReport->text + gReport->used, room, format, args);
    va_end(args);
    if (n > 0 && static_cast<size_t>(n) < room) gReport->used += static_cast<size_t>(n);
    if (gReport->used + 1 < sizeof(gReport->text)) gReport->text[gReport->used++] = '\n';
}

#define CHILD_EXPECT(cond)                                                 \
    do {                                                                   \
        if (!(cond)) ChildFailure(__FILE__, __LINE__, "failed: %s", #cond); \
    } while (0)

#define CHILD_EXPECT_EQ(a, b)                                                                 \
    do {                                                                                      \
        const long long a_ = static_cast<long long>(a), b_ = static_cast<long long>(b);       \
        if (a_ != b_) ChildFailure(__FILE__, __LINE__, "%s == %s: %lld vs %lld", #a, #b, a_, b_); \
    } while (0)

// Runs body in a forked child, which then leaves with _exit(0) (so no test-framework teardown and
// no leak check runs there), and expects a clean exit with no failed check.
template <typename Body>
void RunInChild(Body &&body)
{
    void *page = mmap(nullptr, sizeof(ChildReport), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(page, MAP_FAILED);
    auto *report = new (page) ChildReport{};
    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        gReport = report;
        body();
        _exit(0);
    }
    int status = 0;
    const pid_t waited = pid < 0 ? -1 : wfs::RetryOnEintr([&] { return waitpid(pid, &status, 0); });
    EXPECT_NE(pid, -1) << strerror(errno);
    EXPECT_EQ(waited, pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << "child status " << std::hex << status;
    EXPECT_EQ(report->failures, 0) << std::string(report->text, report->used);
    munmap(page, sizeof(ChildReport));
}

// ---- Small probes of process state --------------------------------------------------------------

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

int CountOpen(int from, int to)
{
    int count = 0;
    for (int fd = from; fd < to; fd++) count += IsOpen(fd) ? 1 : 0;
    return count;
}

// Open descriptors according to the kernel's own list, not counting the one used to read it.
int CountOpenByListing()
{
    int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) return -1;
    alignas(struct dirent64) char buffer[4096];
    int count = 0;
    ssize_t got;
    while ((got = getdents64(dir, buffer, sizeof(buffer))) > 0) {
        for (ssize_t off = 0; off < got;) {
            const auto *entry = reinterpret_cast<const struct dirent64 *>(buffer + off);
            off += entry->d_reclen;
            if (entry->d_name[0] != '.' && atoi(entry->d_name) != dir) count++;
        }
    }
    close(dir);
    return count;
}

uintptr_t Disposition(int sig)
{
    struct sigaction action;
    if (sigaction(sig, nullptr, &action) != 0) return ~uintptr_t{0};
    return reinterpret_cast<uintptr_t>(action.sa_handler);
}

bool IsSettableSignal(int sig)
{
    return sig != SIGKILL && sig != SIGSTOP && (sig < 32 || sig >= SIGRTMIN);
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
        struct itimerval value;
        if (getitimer(which, &value) == 0 &&
            (value.it_value.tv_sec != 0 || value.it_value.tv_usec != 0)) {
            running++;
        }
    }
    return running;
}

rlim_t NrOpen()
{
    std::ifstream in("/proc/sys/fs/nr_open");
    rlim_t value = 0;
    in >> value;
    return value;
}

// The capability sets of this process, through the raw system calls.
bool EffectiveCapability(int cap, bool drop = false)
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0) return false;
    const bool had = (data[cap / 32].effective & (1u << (cap % 32))) != 0;
    if (drop && had) {
        data[cap / 32].effective &= ~(1u << (cap % 32));
        if (syscall(SYS_capset, &header, data) != 0) return true;
    }
    return had;
}

bool CanRaiseHardLimits() { return geteuid() == 0 && EffectiveCapability(CAP_SYS_RESOURCE); }

std::string CanonicalSelf()
{
    return std::filesystem::canonical("/proc/self/exe").string();
}

// ---- What the limits step must do, from the table and the kernel's rules ----------------------

struct TableRow {
    int resource;
    rlim_t soft;
    rlim_t hard;
};

const TableRow kExpectedTable[] = {
    {RLIMIT_CPU, kInf, kInf},       {RLIMIT_FSIZE, kInf, kInf},
    {RLIMIT_DATA, 0x600000, kInf},  {RLIMIT_STACK, 0x80000, 0x4000000},
    {RLIMIT_CORE, 0, kInf},         {RLIMIT_AS, kInf, kInf},
    {RLIMIT_MEMLOCK, kInf, kInf},   {RLIMIT_NPROC, 100, kInf},
    {RLIMIT_NOFILE, 256, kInf},
};

struct Limits {
    struct rlimit of[RLIM_NLIMITS];
};

Limits CurrentLimits()
{
    Limits limits;
    for (int r = 0; r < RLIM_NLIMITS; r++) limits.of[r] = GetLimit(r);
    return limits;
}

struct LimitsOutcome {
    int err = 0;
    Limits after;
};

// setrlimit refuses a soft limit above the hard one (EINVAL), a hard RLIMIT_NOFILE above fs.nr_open
// and any raised hard limit without CAP_SYS_RESOURCE (EPERM). Rows before a refused one stay set.
LimitsOutcome PredictLimits(const Limits &before, rlim_t nrOpen)
{
    const bool root = geteuid() == 0;
    const bool canRaise = CanRaiseHardLimits();
    LimitsOutcome out;
    out.after = before;
    for (const TableRow &row : kExpectedTable) {
        const struct rlimit current = before.of[row.resource];
        struct rlimit next = {row.soft, root ? row.hard : current.rlim_max};
        if (root && row.resource == RLIMIT_NOFILE) next.rlim_max = nrOpen;
        if (next.rlim_cur > next.rlim_max) out.err = EINVAL;
        else if (row.resource == RLIMIT_NOFILE && next.rlim_max > nrOpen) out.err = EPERM;
        else if (next.rlim_max > current.rlim_max && !canRaise) out.err = EPERM;
        if (out.err != 0) break;
        out.after.of[row.resource] = next;
    }
    return out;
}

void ChildExpectLimits(const Limits &expected)
{
    for (int r = 0; r < RLIM_NLIMITS; r++) {
        const struct rlimit now = GetLimit(r);
        if (now.rlim_cur != expected.of[r].rlim_cur || now.rlim_max != expected.of[r].rlim_max) {
            ChildFailure(__FILE__, __LINE__, "resource %d: %llu/%llu, expected %llu/%llu", r,
                         (unsigned long long)now.rlim_cur, (unsigned long long)now.rlim_max,
                         (unsigned long long)expected.of[r].rlim_cur,
                         (unsigned long long)expected.of[r].rlim_max);
        }
    }
}

// ---- An inherited mess for the reset to clean up -------------------------------------------------

void CatchSignal(int) {}

// Returns the highest of the descriptors it opens (3, 100 and up to 5000).
int MakeInheritedMess()
{
    signal(SIGHUP, SIG_IGN);
    signal(SIGUSR1, SIG_IGN);
    signal(SIGRTMIN + 2, SIG_IGN);
    signal(SIGUSR2, CatchSignal);
    signal(SIGTERM, CatchSignal);
    signal(SIGRTMAX - 1, CatchSignal);
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int sig : {SIGINT, SIGUSR2, SIGCHLD, static_cast<int>(SIGRTMIN) + 3}) {
        sigaddset(&blocked, sig);
    }
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
    umask(0);
    CHILD_EXPECT(chdir("/dev") == 0);
    const struct itimerval timer = {{500, 0}, {1000, 0}};
    for (auto which : {ITIMER_REAL, ITIMER_VIRTUAL, ITIMER_PROF}) {
        CHILD_EXPECT(setitimer(which, &timer, nullptr) == 0);
    }

    const struct rlimit nofile = GetLimit(RLIMIT_NOFILE);
    const rlim_t soft = nofile.rlim_max < 8192 ? nofile.rlim_max : 8192;
    CHILD_EXPECT_EQ(SetLimit(RLIMIT_NOFILE, soft, nofile.rlim_max), 0);
    const int high = soft > 5001 ? 5000 : static_cast<int>(soft) - 1;
    int ends[2];
    CHILD_EXPECT(pipe(ends) == 0);
    for (int fd : {3, 100, high}) CHILD_EXPECT(dup2(ends[0], fd) == fd);
    CHILD_EXPECT(CountOpen(3, 4) == 1);
    return high;
}

// ---- Tests ------------------------------------------------------------------------------------

TEST(MoreSecUserID, TemporaryDropAndPermanentDropInSetUIDRootState)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become a set-user-ID-root-like process";
    RunInChild([] {
        // Started by nobody, running set-user-ID root.
        CHILD_EXPECT(setgroups(0, nullptr) == 0);
        CHILD_EXPECT(setresuid(kNobody, 0, 0) == 0);
        uid_t r, e, s;

        CHILD_EXPECT_EQ(MoreSecTemporarilySetNonPrivilegedEUID(), 0);
        CHILD_EXPECT(getresuid(&r, &e, &s) == 0);
        CHILD_EXPECT(r == kNobody && e == kNobody && s == 0);
        CHILD_EXPECT_EQ(MoreSecTemporarilySetNonPrivilegedEUID(), 0);  // already there: harmless

        CHILD_EXPECT_EQ(MoreSecSetPrivilegedEUID(), 0);
        CHILD_EXPECT_EQ(geteuid(), 0);

        CHILD_EXPECT_EQ(MoreSecPermanentlySetNonPrivilegedEUID(), 0);
        CHILD_EXPECT(getresuid(&r, &e, &s) == 0);
        CHILD_EXPECT(r == kNobody && e == kNobody && s == kNobody);
        CHILD_EXPECT_EQ(MoreSecSetPrivilegedEUID(), EPERM);
        CHILD_EXPECT_EQ(geteuid(), kNobody);
    });
}

TEST(GetPathToSelf, AnswersCanonicalPathOfTestBinary)
{
    char *path = nullptr;
    ASSERT_EQ(GetPathToSelf(&path), 0);
    ASSERT_NE(path, nullptr);
    EXPECT_EQ(std::string(path), CanonicalSelf());
    free(path);

    EXPECT_DEATH(GetPathToSelf(nullptr), "failed assertion `pathToSelfPtr != NULL'");
    char notEmpty[] = "x";
    char *occupied = notEmpty;
    EXPECT_DEATH(GetPathToSelf(&occupied), "failed assertion `\\*pathToSelfPtr == NULL'");
}

// Only step 1 runs, in this very process: the new argv[0] outlives the argument vector it was put
// in, and the leak check at this test process's exit must still find it reachable.
TEST(MoreSecDestroyInheritedEnvironment, NewArg0StaysReachable)
{
    const char *argv[] = {"inherited-name", nullptr};
    const int keepAllButArg0 = 0x3FD & ~kMoreSecKeepArg0Mask;
    ASSERT_EQ(MoreSecDestroyInheritedEnvironment(keepAllButArg0, argv), 0);
    EXPECT_EQ(std::string(argv[0]), CanonicalSelf());
    EXPECT_EQ(argv[1], nullptr);
}

// The executable of this process has been removed, so no path names it: GetPathToSelf fails and
// the reset stops at its first step, leaving argv alone. Runs only as the re-executed copy that
// DeletedExecutableFailsStepOne starts; otherwise it skips.
TEST(MoreSecDestroyInheritedEnvironment, DeletedExecutableChild)
{
    const char *copy = getenv("WFS_HYGIENE_DELETED_SELF");
    if (copy == nullptr) GTEST_SKIP() << "only runs as the child of DeletedExecutableFailsStepOne";
    int failures = 0;
    failures += unlink(copy) != 0;

    // With no size to learn, the routine answers -1 and no block.
    uint32_t size = 0;
    char scratch = '\0';
    failures += MoreGetExecutablePath(&scratch, &size) <= 0;
    failures += size != 0;
    char *path = nullptr;
    const int err = GetPathToSelf(&path);
    failures += path != nullptr;
    failures += err != -1;

    const char *original = "original-name";
    const char *argv[] = {original, nullptr};
    failures += MoreSecDestroyInheritedEnvironment(0, argv) != err;
    failures += argv[0] != original;
    failures += !IsOpen(1);  // nothing after step 1 ran
    _exit(failures == 0 ? 42 : 1);
}

TEST(MoreSecDestroyInheritedEnvironment, DeletedExecutableFailsStepOne)
{
    // Beside the test binary rather than in a temporary folder, which may be mounted noexec.
    const std::string copy = std::filesystem::path(CanonicalSelf()).parent_path().string() +
                             "/hygiene-deleted-self-" + std::to_string(getpid());
    std::filesystem::copy_file("/proc/self/exe", copy,
                               std::filesystem::copy_options::overwrite_existing);
    ASSERT_EQ(chmod(copy.c_str(), 0700), 0);

    // Everything the child needs is built before the fork.
    const std::string marker = "WFS_HYGIENE_DELETED_SELF=" + copy;
    const std::string filter =
        "--gtest_filter=MoreSecDestroyInheritedEnvironment.DeletedExecutableChild";
    std::vector<const char *> env;
    for (char **e = environ; *e != nullptr; e++) env.push_back(*e);
    env.push_back(marker.c_str());
    env.push_back(nullptr);
    const char *args[] = {copy.c_str(), filter.c_str(), nullptr};

    fflush(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        execve(copy.c_str(), const_cast<char **>(args), const_cast<char **>(env.data()));
        _exit(127);
    }
    ASSERT_NE(pid, -1);
    int status = 0;
    ASSERT_EQ(wfs::RetryOnEintr([&] { return waitpid(pid, &status, 0); }), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 42) << std::hex << status;
    unlink(copy.c_str());
}

TEST(MoreSecDestroyInheritedEnvironment, FullKeepMaskChangesNothing)
{
    for (int mask : {0x3FD, 0x3FF, ~0}) {
        for (bool withArgv : {false, true}) {
            RunInChild([mask, withArgv] {
                const int high = MakeInheritedMess();
                const Limits limitsBefore = CurrentLimits();
                uintptr_t dispositions[NSIG] = {};
                for (int sig = 1; sig < NSIG; sig++) dispositions[sig] = Disposition(sig);
                sigset_t maskBefore, maskAfter;
                sigprocmask(SIG_SETMASK, nullptr, &maskBefore);
                const int priority = getpriority(PRIO_PROCESS, 0);

                const char *original = "inherited-name";
                const char *argv[] = {original, nullptr};
                CHILD_EXPECT_EQ(MoreSecDestroyInheritedEnvironment(mask, withArgv ? argv : nullptr), 0);

                CHILD_EXPECT(argv[0] == original);
                for (int fd : {0, 1, 2, 3, 100, high}) CHILD_EXPECT(IsOpen(fd));
                for (int sig = 1; sig < NSIG; sig++) CHILD_EXPECT(Disposition(sig) == dispositions[sig]);
                sigprocmask(SIG_SETMASK, nullptr, &maskAfter);
                for (int sig = 1; sig < NSIG; sig++) {
                    CHILD_EXPECT(sigismember(&maskAfter, sig) == sigismember(&maskBefore, sig));
                }
                CHILD_EXPECT_EQ(CurrentUmask(), 0);
                CHILD_EXPECT_EQ(getpriority(PRIO_PROCESS, 0), priority);
                ChildExpectLimits(limitsBefore);
                CHILD_EXPECT(CwdIs("/dev"));
                CHILD_EXPECT_EQ(RunningTimers(), 3);
            });
        }
    }
    EXPECT_DEATH(MoreSecDestroyInheritedEnvironment(0x3FC, nullptr),
                 "failed assertion `\\(whatToDubya & kMoreSecKeepArg0Mask\\) \\|\\| \\(argv != NULL\\)'");
}

// Everything but the kept parts must be reset; the limits step may be refused by the kernel (a
// root without CAP_SYS_RESOURCE cannot raise a hard limit, a user cannot set a soft limit above
// its hard one), and then it ends the routine before the working directory and the timers.
void ChildExpectReset(int mask)
{
    const int high = MakeInheritedMess();
    const std::string self = CanonicalSelf();
    const Limits limitsBefore = CurrentLimits();
    const LimitsOutcome predicted = (mask & kMoreSecKeepRLimitsMask)
                                        ? LimitsOutcome{0, limitsBefore}
                                        : PredictLimits(limitsBefore, NrOpen());
    const int priority = getpriority(PRIO_PROCESS, 0);
    const char *argv[] = {"not-the-tool", "--self-repair", nullptr};

    const int err = MoreSecDestroyInheritedEnvironment(mask, argv);

    // From here on nothing may allocate: the data limit may now be 6 MiB.
    CHILD_EXPECT_EQ(err, predicted.err);
    CHILD_EXPECT(strcmp(argv[0], self.c_str()) == 0);
    CHILD_EXPECT(strcmp(argv[1], "--self-repair") == 0);
    for (int fd : {0, 1, 2, 3, 100, high}) CHILD_EXPECT(!IsOpen(fd) && errno == EBADF);
    CHILD_EXPECT_EQ(CountOpenByListing(), 0);
    for (int sig = 1; sig <= SIGRTMAX; sig++) {
        if (IsSettableSignal(sig) && Disposition(sig) != reinterpret_cast<uintptr_t>(SIG_DFL)) {
            ChildFailure(__FILE__, __LINE__, "signal %d not default", sig);
        }
    }
    sigset_t blocked;
    sigprocmask(SIG_SETMASK, nullptr, &blocked);
    CHILD_EXPECT(sigisemptyset(&blocked));
    CHILD_EXPECT_EQ(CurrentUmask(), 077);
    CHILD_EXPECT_EQ(getpriority(PRIO_PROCESS, 0), priority);
    ChildExpectLimits(predicted.after);
    if (predicted.err == 0) {
        CHILD_EXPECT(CwdIs("/"));
        CHILD_EXPECT_EQ(RunningTimers(), 0);
    } else {
        CHILD_EXPECT(CwdIs("/dev"));
        CHILD_EXPECT_EQ(RunningTimers(), 3);
    }
}

TEST(MoreSecDestroyInheritedEnvironment, MaskZeroResetsEverything)
{
    RunInChild([] { ChildExpectReset(0); });
    // The same with the limits kept, so that the steps behind them run on any machine.
    RunInChild([] { ChildExpectReset(kMoreSecKeepRLimitsMask); });
    // Bit 0x002 means nothing.
    RunInChild([] { ChildExpectReset(0x002 | kMoreSecKeepRLimitsMask); });
}

TEST(MoreSecDestroyInheritedEnvironment, RootTakesTableLimitsSoftAndHard)
{
    if (!CanRaiseHardLimits()) GTEST_SKIP() << "needs root with CAP_SYS_RESOURCE";
    RunInChild([] {
        const rlim_t nrOpen = NrOpen();
        CHILD_EXPECT_EQ(SetLimit(RLIMIT_RSS, 4096 * 1024, 8192 * 1024), 0);
        CHILD_EXPECT_EQ(SetLimit(RLIMIT_MEMLOCK, 65536, 65536), 0);
        CHILD_EXPECT_EQ(SetLimit(RLIMIT_STACK, kInf, kInf), 0);
        CHILD_EXPECT_EQ(SetLimit(RLIMIT_NOFILE, 512, 1024), 0);

        CHILD_EXPECT_EQ(MoreSecDestroyInheritedEnvironment(0x3FD & ~kMoreSecKeepRLimitsMask, nullptr), 0);

        Limits expected = CurrentLimits();
        for (const TableRow &row : kExpectedTable) expected.of[row.resource] = {row.soft, row.hard};
        expected.of[RLIMIT_NOFILE].rlim_max = nrOpen;
        ChildExpectLimits(expected);
        // Row 5 is the address-space limit; the resident-set limit is not touched.
        CHILD_EXPECT_EQ(GetLimit(RLIMIT_RSS).rlim_cur, 4096 * 1024);
        CHILD_EXPECT_EQ(GetLimit(RLIMIT_STACK).rlim_max, 0x4000000);
        CHILD_EXPECT_EQ(GetLimit(RLIMIT_CORE).rlim_cur, 0);
        CHILD_EXPECT(GetLimit(RLIMIT_CORE).rlim_max == kInf);
    });
}

TEST(MoreSecDestroyInheritedEnvironment, RootWithoutCapSysResourceCannotRaiseHardLimits)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    RunInChild([] {
        EffectiveCapability(CAP_SYS_RESOURCE, /*drop=*/true);
        CHILD_EXPECT(!CanRaiseHardLimits());
        CHILD_EXPECT_EQ(SetLimit(RLIMIT_MEMLOCK, 65536, 65536), 0);
        CHILD_EXPECT(chdir("/dev") == 0);
        const Limits before = CurrentLimits();
        const LimitsOutcome predicted = PredictLimits(before, NrOpen());

        const int mask = 0x3FD & ~(kMoreSecKeepRLimitsMask | kMoreSecKeepWorkingDirMask);
        CHILD_EXPECT_EQ(MoreSecDestroyInheritedEnvironment(mask, nullptr), predicted.err);
        CHILD_EXPECT_EQ(predicted.err, EPERM);
        ChildExpectLimits(predicted.after);
        CHILD_EXPECT_EQ(GetLimit(RLIMIT_MEMLOCK).rlim_max, 65536);
        CHILD_EXPECT(CwdIs("/dev"));  // the step after the refused one did not run
    });
}

// A process that is not root keeps every hard limit. With hard limits that admit the table's soft
// limits all rows apply; one hard limit below its row's soft limit is refused with EINVAL.
TEST(MoreSecDestroyInheritedEnvironment, NonRootChangesOnlySoftLimits)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to become nobody with chosen hard limits";
    for (bool lowNproc : {false, true}) {
        RunInChild([lowNproc] {
            // Read before the data limit shrinks: nothing below may allocate.
            const rlim_t nrOpen = NrOpen();
            // Limits of our choosing, each different from the table's.
            CHILD_EXPECT_EQ(SetLimit(RLIMIT_DATA, 32 << 20, 64 << 20), 0);
            CHILD_EXPECT_EQ(SetLimit(RLIMIT_STACK, 1 << 20, 32 << 20), 0);
            CHILD_EXPECT_EQ(SetLimit(RLIMIT_CORE, 0, 1 << 20), 0);
            CHILD_EXPECT_EQ(SetLimit(RLIMIT_NPROC, 10, lowNproc ? 50 : 5000), 0);
            CHILD_EXPECT_EQ(SetLimit(RLIMIT_NOFILE, 1000, 4096), 0);
            if (CanRaiseHardLimits()) CHILD_EXPECT_EQ(SetLimit(RLIMIT_MEMLOCK, kInf, kInf), 0);
            CHILD_EXPECT(chdir("/dev") == 0);
            CHILD_EXPECT(setgroups(0, nullptr) == 0);
            CHILD_EXPECT(setgid(kNobody) == 0);
            CHILD_EXPECT(setuid(kNobody) == 0);

            const Limits before = CurrentLimits();
            const LimitsOutcome predicted = PredictLimits(before, nrOpen);
            const int mask = 0x3FD & ~(kMoreSecKeepRLimitsMask | kMoreSecKeepWorkingDirMask);
            const int err = MoreSecDestroyInheritedEnvironment(mask, nullptr);

            CHILD_EXPECT_EQ(err, predicted.err);
            ChildExpectLimits(predicted.after);
            for (int r = 0; r < RLIM_NLIMITS; r++) {
                CHILD_EXPECT_EQ(GetLimit(r).rlim_max, before.of[r].rlim_max);
            }
            CHILD_EXPECT(err == 0 || err == EINVAL);
            if (lowNproc) {
                CHILD_EXPECT_EQ(err, EINVAL);
                CHILD_EXPECT_EQ(GetLimit(RLIMIT_NOFILE).rlim_cur, 1000);  // row after NPROC
            }
            CHILD_EXPECT(CwdIs(err == 0 ? "/" : "/dev"));
        });
    }
}

TEST(MoreSecDestroyInheritedEnvironment, EnvironmentIsNeverTouched)
{
    std::vector<int> masks = {0, 0x3FD, ~0};
    for (int bit = 0; bit < 10; bit++) masks.push_back(0x3FD & ~(1 << bit));
    for (int mask : masks) {
        RunInChild([mask] {
            setenv("WFS_HYGIENE_MARKER", "kept", 1);
            setenv("IFS", " \t\n", 1);
            char **const environBefore = environ;
            static char *pointers[4096];
            static char copies[1 << 16];
            size_t count = 0, used = 0;
            for (; environ[count] != nullptr && count < 4096; count++) {
                pointers[count] = environ[count];
                const size_t length = strlen(environ[count]) + 1;
                if (used + length <= sizeof(copies)) memcpy(copies + used, environ[count], length);
                used += length;
            }
            const char *argv[] = {"name", nullptr};

            (void) MoreSecDestroyInheritedEnvironment(mask, argv);

            CHILD_EXPECT(environ == environBefore);
            size_t offset = 0;
            for (size_t i = 0; i < count; i++) {
                CHILD_EXPECT(environ[i] == pointers[i]);
                const size_t length = strlen(pointers[i]) + 1;
                if (offset + length <= sizeof(copies)) {
                    CHILD_EXPECT(memcmp(copies + offset, environ[i], length) == 0);
                }
                offset += length;
            }
            CHILD_EXPECT(environ[count] == nullptr);
        });
    }
}

// A descriptor above the soft RLIMIT_NOFILE exists when the limit was lowered after it was opened,
// which anyone starting the tool can arrange; it must not survive.
TEST(MoreSecDestroyInheritedEnvironment, ClosesDescriptorsAboveTableSize)
{
    for (unsigned int ways : {unsigned{kCloseDescriptorsAllWays}, unsigned{kCloseDescriptorsByCloseRange}}) {
        RunInChild([ways] {
            SetCloseOpenFileDescriptorsWays(ways);
            const struct rlimit nofile = GetLimit(RLIMIT_NOFILE);
            if (nofile.rlim_max <= 1000) return;
            CHILD_EXPECT_EQ(SetLimit(RLIMIT_NOFILE, 1001, nofile.rlim_max), 0);
            int ends[2];
            CHILD_EXPECT(pipe(ends) == 0);
            CHILD_EXPECT(dup2(ends[0], 1000) == 1000);
            CHILD_EXPECT_EQ(SetLimit(RLIMIT_NOFILE, 64, nofile.rlim_max), 0);
            CHILD_EXPECT_EQ(getdtablesize(), 64);
            const int standard = CountOpen(0, 3);

            const int mask = 0x3FD & ~kMoreSecKeepOtherDescriptorsMask;
            CHILD_EXPECT_EQ(MoreSecDestroyInheritedEnvironment(mask, nullptr), 0);
            CHILD_EXPECT(!IsOpen(1000) && !IsOpen(ends[0]) && !IsOpen(ends[1]));
            CHILD_EXPECT_EQ(CountOpen(0, 3), standard);
        });
    }
}

// ---- CloseOpenFileDescriptorsInRange ----------------------------------------------------------

const unsigned int kEveryWay[] = {kCloseDescriptorsByListing, kCloseDescriptorsByCloseRange, 0};

TEST(CloseOpenFileDescriptorsInRange, ClosesExactlyTheRangeEveryWay)
{
    for (unsigned int ways : kEveryWay) {
        RunInChild([ways] {
            CHILD_EXPECT_EQ(SetCloseOpenFileDescriptorsWays(ways), kCloseDescriptorsAllWays);
            int ends[2];
            CHILD_EXPECT(pipe(ends) == 0);
            for (int fd : {40, 41, 42, 50}) CHILD_EXPECT(dup2(ends[0], fd) == fd);
            close(ends[0]);
            close(ends[1]);
            const int before = CountOpen(0, 1024);
            const int standard = CountOpen(0, 3);

            // Empty ranges and a range with nothing open in it.
            CHILD_EXPECT_EQ(CloseOpenFileDescriptorsInRange(45, 45), 0);
            CHILD_EXPECT_EQ(CloseOpenFileDescriptorsInRange(50, 41), 0);
            CHILD_EXPECT_EQ(CloseOpenFileDescriptorsInRange(-5, 0), 0);
            CHILD_EXPECT_EQ(CloseOpenFileDescriptorsInRange(43, 50), 0);
            CHILD_EXPECT_EQ(CountOpen(0, 1024), before);

            // The limit itself is not closed.
            CHILD_EXPECT_EQ(CloseOpenFileDescriptorsInRange(41, 42), 0);
            CHILD_EXPECT(IsOpen(40) && !IsOpen(41) && IsOpen(42) && IsOpen(50));
            CHILD_EXPECT_EQ(CloseOpenFileDescriptorsInRange(42, 51), 0);
            CHILD_EXPECT(IsOpen(40) && !IsOpen(42) && !IsOpen(50));

            // Up to the table size: nothing is left above 2, nor the listing's own descriptor.
            CHILD_EXPECT_EQ(CloseOpenFileDescriptorsInRange(3, getdtablesize()), 0);
            CHILD_EXPECT_EQ(CountOpen(3, getdtablesize()), 0);
            CHILD_EXPECT_EQ(CountOpen(0, 3), standard);
        });
    }
}

// A close() that fails with anything but EBADF ends the routine with that error and leaves the
// higher descriptors open. A seccomp filter makes close(61) fail with EIO and refuses close_range
// (as a kernel without it would), which also forces the fall-back from close_range.
TEST(CloseOpenFileDescriptorsInRange, StopsAtFirstRealCloseFailure)
{
#if !defined(__x86_64__)
    GTEST_SKIP() << "the seccomp filter is written for x86-64 system call numbers";
#endif
    constexpr int kFailing = 61;
    for (unsigned int ways : kEveryWay) {
        RunInChild([ways] {
            SetCloseOpenFileDescriptorsWays(ways);
            int ends[2];
            CHILD_EXPECT(pipe(ends) == 0);
            for (int fd : {60, kFailing, 62, 70}) CHILD_EXPECT(dup2(ends[0], fd) == fd);

            struct sock_filter program[] = {
                BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, arch)),
                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
                BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_close_range, 0, 1),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_close, 0, 3),
                BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, args[0])),
                BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, kFailing, 0, 1),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
                BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
            };
            struct sock_fprog filter = {sizeof(program) / sizeof(program[0]), program};
            CHILD_EXPECT(prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) == 0);
            CHILD_EXPECT(syscall(SYS_seccomp, SECCOMP_SET_MODE_FILTER, 0, &filter) == 0);

            CHILD_EXPECT_EQ(CloseOpenFileDescriptorsInRange(60, 100), EIO);
            CHILD_EXPECT(!IsOpen(60));
            CHILD_EXPECT(IsOpen(kFailing) && IsOpen(62) && IsOpen(70));
            // Below the failing one the range closes normally.
            CHILD_EXPECT_EQ(CloseOpenFileDescriptorsInRange(62, 100), 0);
            CHILD_EXPECT(!IsOpen(62) && !IsOpen(70) && IsOpen(kFailing));
        });
    }
}

}  // namespace
