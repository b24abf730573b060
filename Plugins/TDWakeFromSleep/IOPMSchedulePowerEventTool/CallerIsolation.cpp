#include "CallerIsolation.h"

#include "MoreSecurity.h"

#include <IOKit/IOReturn.h>

#include <errno.h>
#include <grp.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>

namespace {

constexpr rlim_t kUnlimited = RLIM_INFINITY;

// What the tool needs to finish a change, and what it asks for. `wanted` is set as the soft limit
// (and the hard one is raised to it where the kernel allows); `needed` is the least that lets the
// change finish: the store can grow to a few megabytes, a change opens a handful of files, and it
// takes milliseconds of CPU.
struct LimitRow {
    int resource;
    rlim_t wanted;
    rlim_t needed;
};
constexpr LimitRow kLimits[] = {
    {RLIMIT_CPU, kUnlimited, 10},                   // seconds; SIGXCPU, then SIGKILL, beyond it
    {RLIMIT_FSIZE, kUnlimited, 64u << 20},          // the temporary store is written whole
    {RLIMIT_DATA, kUnlimited, 256u << 20},          // parsing a full store
    {RLIMIT_AS, kUnlimited, 256u << 20},
    {RLIMIT_STACK, 8u << 20, 1u << 20},
    {RLIMIT_NOFILE, 1024, 64},
    {RLIMIT_CORE, 0, 0},                            // never a core file with root's data in it
};

int IOReturnFromErrno(int error)
{
    switch (error) {
        case EPERM:
        case EACCES: return static_cast<int>(kIOReturnNotPermitted);
        case ENOMEM: return static_cast<int>(kIOReturnNoMemory);
        default: return static_cast<int>(kIOReturnError);
    }
}

// Root in every ID, for good: the caller can then no longer signal the tool (the kernel allows a
// signal only when the sender's real or effective user ID is the target's real or saved one), nor
// trace it. The groups the caller had go as well.
int BecomeRoot()
{
    if (MoreSecSetPrivilegedEUID() != 0) return static_cast<int>(kIOReturnNotPrivileged);
    if (setgroups(0, nullptr) != 0 || setresgid(0, 0, 0) != 0 || setresuid(0, 0, 0) != 0) {
        return IOReturnFromErrno(errno);
    }
    // Changing IDs already made the process undumpable; say so anyway, in case that ever changes.
    if (prctl(PR_SET_DUMPABLE, 0, 0, 0, 0) != 0) return IOReturnFromErrno(errno);
    return 0;
}

// A session of our own: no controlling terminal, so no Ctrl-Z, Ctrl-C or hang-up reaches us, and
// signals sent to the caller's process group miss us. setsid fails for a process-group leader; one
// that already leads its own session is where we want to be.
int LeaveSession()
{
    if (setsid() != -1) return 0;
    if (errno == EPERM && getsid(0) == getpid()) return 0;
    return static_cast<int>(kIOReturnNotPermitted);
}

int RestoreLimits()
{
    for (const LimitRow &row : kLimits) {
        struct rlimit current;
        if (getrlimit(row.resource, &current) != 0) return IOReturnFromErrno(errno);
        struct rlimit wanted = {row.wanted, std::max(current.rlim_max, row.wanted)};
        if (row.wanted == kUnlimited) wanted.rlim_max = kUnlimited;
        if (setrlimit(row.resource, &wanted) != 0) {
            // Raising a hard limit needs CAP_SYS_RESOURCE, which root does not always have (in a
            // container, say). The soft limit can still go up to the hard one.
            if (errno != EPERM) return IOReturnFromErrno(errno);
            wanted = {std::min(row.wanted, current.rlim_max), current.rlim_max};
            if (setrlimit(row.resource, &wanted) != 0) return IOReturnFromErrno(errno);
        }
        if (wanted.rlim_cur < row.needed) return static_cast<int>(kIOReturnNoResources);
    }
    // A write past a file-size limit would otherwise kill us with SIGXFSZ mid-change; ignored, it
    // is an error that leaves the store as it was.
    if (signal(SIGXFSZ, SIG_IGN) == SIG_ERR) return IOReturnFromErrno(errno);
    return 0;
}

// Normal priority: nice 0, the normal scheduling class, the normal I/O class, default timer slack.
// A caller that made the tool idle could otherwise hold the store's lock for as long as the
// machine is busy.
int RestorePriority()
{
    errno = 0;
    if (setpriority(PRIO_PROCESS, 0, 0) != 0) return IOReturnFromErrno(errno);
    const struct sched_param normal = {0};
    if (sched_setscheduler(0, SCHED_OTHER, &normal) != 0) return IOReturnFromErrno(errno);
    // ioprio_set(IOPRIO_WHO_PROCESS, self, class none): I/O priority follows the nice value again.
    constexpr int kIoprioWhoProcess = 1;
    if (syscall(SYS_ioprio_set, kIoprioWhoProcess, 0, 0) != 0) return IOReturnFromErrno(errno);
    if (prctl(PR_SET_TIMERSLACK, 0, 0, 0, 0) != 0) return IOReturnFromErrno(errno);
    return 0;
}

}  // namespace

extern "C" int IsolateFromCaller(uid_t *invokingUser)
{
    const uid_t invoker = getuid();
    int err = BecomeRoot();
    if (err == 0) err = LeaveSession();
    if (err == 0) err = RestoreLimits();
    if (err == 0) err = RestorePriority();
    if (err == 0) *invokingUser = invoker;
    return err;
}
