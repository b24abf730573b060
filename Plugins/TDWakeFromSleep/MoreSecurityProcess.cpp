// Process hygiene for a set-user-ID tool: switching the effective user between the invoking user
// and root, the running executable's path, closing descriptors, and resetting the process state
// that the tool inherits from whoever started it.
//
// A set-user-ID program starts with root's power and the caller's choice of everything else:
// descriptors (possibly with 0-2 closed, so the first file we open becomes "standard output"),
// ignored or blocked signals, a umask of 0, resource limits chosen to make an allocation or a
// write fail at a convenient moment, a working directory, running interval timers, and an argv[0]
// that need not name this program at all. MoreSecDestroyInheritedEnvironment puts each of these
// into a known state.

#include "MoreSecurityInternal.h"

#include "MoreAssert.h"
#include "MoreUNIX.h"

#include <Support/Eintr.h>
#include <Support/UniqueFd.h>

#include <dirent.h>
#include <errno.h>
#include <limits.h>
#include <fcntl.h>
#include <signal.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/time.h>
#include <unistd.h>

#include <linux/magic.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <new>
#include <vector>

// ---- Effective user ---------------------------------------------------------------------------

extern "C" int MoreSecPermanentlySetNonPrivilegedEUID(void)
{
    // With an effective user of root, setuid() sets the real, effective and saved IDs alike, so
    // there is no saved root left to return to.
    return MoreUNIXErrno(setuid(getuid()));
}

extern "C" int MoreSecTemporarilySetNonPrivilegedEUID(void)
{
    // Only the effective ID moves; the saved set-user-ID stays root for MoreSecSetPrivilegedEUID.
    return MoreUNIXErrno(seteuid(getuid()));
}

extern "C" int MoreSecSetPrivilegedEUID(void)
{
    return MoreUNIXErrno(seteuid(0));
}

// ---- The executable's path --------------------------------------------------------------------

extern "C" int GetPathToSelf(char **pathToSelfPtr)
{
    MoreAssertQ(pathToSelfPtr != NULL);
    MoreAssertQ(*pathToSelfPtr == NULL);

    // First ask with an empty buffer, only to learn the size the path needs.
    char scratch = '\0';
    uint32_t size = 0;
    *pathToSelfPtr = &scratch;
    int err = MoreGetExecutablePath(*pathToSelfPtr, &size);
    *pathToSelfPtr = NULL;

    if (size == 0) {
        // Nothing to size a buffer by; the lookup must have failed outright.
        MoreAssertQ(err != 0);
        err = -1;
    } else {
        size += 1;
        *pathToSelfPtr = static_cast<char *>(malloc(size));
        if (*pathToSelfPtr == NULL) {
            err = ENOMEM;
        } else {
            err = MoreGetExecutablePath(*pathToSelfPtr, &size);
            if (err != 0) {
                free(*pathToSelfPtr);
                *pathToSelfPtr = NULL;
            }
        }
    }

    MoreAssertQ((err == 0) == (*pathToSelfPtr != NULL));
    return err;
}

// ---- Closing descriptors ----------------------------------------------------------------------
//
// The range to close reaches up to the table size, or here the kernel's ceiling of about a
// million; a close() per number would take a large fraction of a second in a tool that runs on
// every request. So the descriptors that are actually open are listed from /proc/self/fd and closed one
// by one in rising order, which keeps the exact result: EBADF (not open, or closed meanwhile) is
// no error, any other failure stops with that errno and leaves the higher descriptors open.
//
// close_range(2) is the second choice, not the first: the kernel closes each descriptor of the
// range and discards what each close reports (a flush error of a network file system, say), so
// it always answers 0 and could never stop at a failing descriptor. It is used only where the
// listing is impossible (no procfs in a chroot, or no descriptor left to open the directory),
// where one call still beats a million. If the kernel refuses it too (before 5.9, or a seccomp
// filter), the plain walk over every number remains.

namespace {

std::atomic<unsigned int> gCloseWays{kCloseDescriptorsAllWays};

int CloseEveryNumber(int first, int limit)
{
    for (int fd = first; fd < limit; fd++) {
        // Never retried: the descriptor is gone even when close() reports EINTR.
        if (close(fd) != 0 && errno != EBADF) return errno;
    }
    return 0;
}

// The open descriptors d with first <= d < limit, in rising order, not counting `dir` itself.
// False when the directory cannot be read or the list cannot be held; nothing has been closed then.
bool ListOpenDescriptors(int dir, int first, int limit, std::vector<int> *found)
{
    alignas(struct dirent64) char buffer[8192];
    try {
        for (;;) {
            ssize_t got = wfs::RetryOnEintr([&] { return getdents64(dir, buffer, sizeof(buffer)); });
            if (got < 0) return false;
            if (got == 0) break;
            for (ssize_t offset = 0; offset < got;) {
                const auto *entry = reinterpret_cast<const struct dirent64 *>(buffer + offset);
                offset += entry->d_reclen;

                const char *name = entry->d_name;
                const char *end = name + strlen(name);
                int fd = -1;
                auto [stop, ec] = std::from_chars(name, end, fd);
                if (ec != std::errc() || stop != end) continue;  // "." and ".."
                if (fd == dir || fd < first || fd >= limit) continue;
                found->push_back(fd);
            }
        }
    } catch (const std::bad_alloc &) {
        return false;
    }
    // The kernel lists in rising order today; the result must not depend on it.
    std::sort(found->begin(), found->end());
    return true;
}

// True when the open descriptors of the range could be listed; *err is then the result of closing
// them. False, with nothing closed, when the listing is unavailable.
bool CloseListedDescriptors(int first, int limit, int *err)
{
    wfs::UniqueFd dir(wfs::RetryOnEintr(
        [] { return open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!dir) return false;

    // Anything mounted on /proc other than procfs would not describe this process's table.
    struct statfs fsInfo;
    if (wfs::RetryOnEintr([&] { return fstatfs(dir.get(), &fsInfo); }) != 0 ||
        fsInfo.f_type != PROC_SUPER_MAGIC) {
        return false;
    }

    std::vector<int> openDescriptors;
    if (!ListOpenDescriptors(dir.get(), first, limit, &openDescriptors)) return false;
    dir.reset();

    *err = 0;
    for (int fd : openDescriptors) {
        if (close(fd) != 0 && errno != EBADF) {
            *err = errno;
            break;
        }
    }
    return true;
}

}  // namespace

extern "C" unsigned int SetCloseOpenFileDescriptorsWays(unsigned int ways)
{
    return gCloseWays.exchange(ways & kCloseDescriptorsAllWays);
}

extern "C" int CloseOpenFileDescriptorsInRange(int first, int limit)
{
    // No negative number is ever open (close() would only answer EBADF for it).
    if (first < 0) first = 0;
    if (limit <= first) return 0;

    unsigned int ways = gCloseWays.load();
    int err = 0;
    if ((ways & kCloseDescriptorsByListing) && CloseListedDescriptors(first, limit, &err)) {
        return err;
    }
    if ((ways & kCloseDescriptorsByCloseRange) &&
        close_range(static_cast<unsigned int>(first), static_cast<unsigned int>(limit - 1), 0) == 0) {
        return 0;
    }
    return CloseEveryNumber(first, limit);
}

// ---- Resetting the inherited state ------------------------------------------------------------

namespace {

rlim_t ReadNrOpen()
{
    wfs::UniqueFd fd(wfs::RetryOnEintr(
        [] { return open("/proc/sys/fs/nr_open", O_RDONLY | O_CLOEXEC); }));
    if (!fd) return 0;
    char text[32];
    ssize_t got = wfs::RetryOnEintr([&] { return read(fd.get(), text, sizeof(text)); });
    if (got <= 0) return 0;
    const char *end = text + got;
    while (end > text && end[-1] == '\n') end--;
    rlim_t value = 0;
    auto [stop, ec] = std::from_chars(static_cast<const char *>(text), end, value);
    if (ec != std::errc() || stop != end) return 0;
    return value;
}

// fs.nr_open, the kernel's ceiling for RLIMIT_NOFILE and so for every descriptor number; read
// once, 0 when it cannot be read.
rlim_t DescriptorCeiling()
{
    static const rlim_t ceiling = ReadNrOpen();
    return ceiling;
}

// The end of the range of "other descriptors". getdtablesize() is the soft RLIMIT_NOFILE, but
// the kernel lets a process lower that limit below descriptors it already has open; an invoker
// can do exactly that before starting the tool, and a descriptor above the table size would then
// survive. Everything up to the kernel's ceiling is closed instead. Listing or close_range make
// the wider range free; only the last-resort walk over every number pays for it.
int OtherDescriptorsLimit()
{
    rlim_t limit = static_cast<rlim_t>(getdtablesize());
    rlim_t ceiling = DescriptorCeiling();
    if (ceiling > limit) limit = ceiling;
    if (limit > static_cast<rlim_t>(INT_MAX)) limit = INT_MAX;
    return static_cast<int>(limit);
}

struct ResourceLimit {
    decltype(RLIMIT_CPU) resource;
    rlim_t soft;
    rlim_t hard;
};

// In the order of the original platform's resource numbers 0 to 8. Its number 5 is both RLIMIT_RSS
// and RLIMIT_AS there; on Linux they are different resources, and RLIMIT_RSS is accepted but
// enforced by nothing. The row is therefore RLIMIT_AS: an address-space cap is what an invoking
// user could really use against the tool (to make an allocation fail at a chosen point), and
// resetting it to infinity is the meaning the row has on its own platform.
const ResourceLimit kResourceLimits[] = {
    {RLIMIT_CPU, RLIM_INFINITY, RLIM_INFINITY},
    {RLIMIT_FSIZE, RLIM_INFINITY, RLIM_INFINITY},
    {RLIMIT_DATA, 0x600000, RLIM_INFINITY},
    {RLIMIT_STACK, 0x80000, 0x4000000},
    {RLIMIT_CORE, 0, RLIM_INFINITY},
    {RLIMIT_AS, RLIM_INFINITY, RLIM_INFINITY},
    {RLIMIT_MEMLOCK, RLIM_INFINITY, RLIM_INFINITY},
    {RLIMIT_NPROC, 100, RLIM_INFINITY},
    // Linux never lets RLIMIT_NOFILE be unlimited; its infinity is the ceiling fs.nr_open.
    {RLIMIT_NOFILE, 256, RLIM_INFINITY},
};

rlim_t HardLimitForRoot(const ResourceLimit &row, const struct rlimit &current)
{
    if (row.resource == RLIMIT_NOFILE && row.hard == RLIM_INFINITY) {
        rlim_t ceiling = DescriptorCeiling();
        return ceiling != 0 ? ceiling : current.rlim_max;
    }
    return row.hard;
}

int ResetSignals()
{
    // The numbers 1 to 31 of the classic signals, then the real-time ones. Real-time signals are
    // reset too: an ignored disposition survives execve, and a tool that later relies on default
    // delivery of any signal must not find it silently ignored. 32 and 33 are not in the range
    // [SIGRTMIN, SIGRTMAX] because the C library keeps them for its threads and refuses to change
    // them. Changing 0, SIGKILL and SIGSTOP fails by definition, which is no error.
    for (int sig = 0; sig <= SIGRTMAX; sig = (sig == 31) ? SIGRTMIN : sig + 1) {
        errno = 0;
        if (signal(sig, SIG_DFL) != SIG_ERR) continue;
        if (sig == 0 || sig == SIGKILL || sig == SIGSTOP) continue;
        if (errno != 0) return errno;
        break;
    }

    sigset_t empty;
    sigemptyset(&empty);
    return MoreUNIXErrno(sigprocmask(SIG_SETMASK, &empty, NULL));
}

int ResetPriority()
{
    // nice() answers the new priority, which may itself be -1; only errno tells a failure apart.
    errno = 0;
    if (nice(0) == -1 && errno != 0) return errno;
    return 0;
}

int ResetResourceLimits()
{
    for (const ResourceLimit &row : kResourceLimits) {
        struct rlimit limit;
        if (getrlimit(row.resource, &limit) != 0) return errno;
        limit.rlim_cur = row.soft;
        // Asked afresh for every row: the effective user is what the kernel checks each time.
        if (geteuid() == 0) limit.rlim_max = HardLimitForRoot(row, limit);
        // Without root the hard limit stays; a soft limit above it is refused (EINVAL) and ends
        // the step.
        if (setrlimit(row.resource, &limit) != 0) return errno;
    }
    return 0;
}

int StopIntervalTimers()
{
    static const struct itimerval kStopped = {};
    for (auto which : {ITIMER_REAL, ITIMER_VIRTUAL, ITIMER_PROF}) {
        if (setitimer(which, &kStopped, NULL) != 0) return errno;
    }
    return 0;
}

// The path last put into argv[0]. It is never freed (argv[0] must stay valid for the life of the
// process); holding it here keeps it reachable, so leak checkers see it as the live block it is.
// volatile, because nothing reads it and the compiler would otherwise drop the store.
const char *volatile gArg0Path = NULL;

}  // namespace

extern "C" int MoreSecDestroyInheritedEnvironment(int whatToDubya, const char **argv)
{
    MoreAssertQ((whatToDubya & kMoreSecKeepArg0Mask) || (argv != NULL));

    int err = 0;

    // argv[0] is whatever the invoker passed to execve; replace it with the real path.
    if (!(whatToDubya & kMoreSecKeepArg0Mask)) {
        char *path = NULL;
        err = GetPathToSelf(&path);
        if (err != 0) return err;
        gArg0Path = path;
        argv[0] = path;
    }

    if (!(whatToDubya & kMoreSecKeepStdDescriptorsMask)) {
        err = CloseOpenFileDescriptorsInRange(0, 3);
        if (err != 0) return err;
    }

    if (!(whatToDubya & kMoreSecKeepOtherDescriptorsMask)) {
        err = CloseOpenFileDescriptorsInRange(3, OtherDescriptorsLimit());
        if (err != 0) return err;
    }

    if (!(whatToDubya & kMoreSecKeepSignalStateMask)) {
        err = ResetSignals();
        if (err != 0) return err;
    }

    if (!(whatToDubya & kMoreSecKeepUmaskValueMask)) {
        (void) umask(077);
    }

    if (!(whatToDubya & kMoreSecKeepPriorityMask)) {
        err = ResetPriority();
        if (err != 0) return err;
    }

    if (!(whatToDubya & kMoreSecKeepRLimitsMask)) {
        err = ResetResourceLimits();
        if (err != 0) return err;
    }

    if (!(whatToDubya & kMoreSecKeepWorkingDirMask)) {
        err = MoreUNIXErrno(chdir("/"));
        if (err != 0) return err;
    }

    if (!(whatToDubya & kMoreSecKeepIntervalTimersMask)) {
        err = StopIntervalTimers();
        if (err != 0) return err;
    }

    return 0;
}
