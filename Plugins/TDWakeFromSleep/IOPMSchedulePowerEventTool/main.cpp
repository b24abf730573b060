// The helper tool program: one request per process, read from standard input and answered on
// standard output, as a set-user-ID root executable (or relayed through a privileged copy of itself
// while it is not yet one).
//
// Everything this process has was set up by whoever started it, possibly to subvert a set-user-ID
// program: descriptors, signal state, limits, working directory, even its argument vector. Each is
// reset or checked before the first request byte is read.

#include "CommandProcedure.h"
#include "MoreSecurity.h"
#include "MoreUNIX.h"

#include <Support/Eintr.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>

namespace {

// What MoreSecDestroyInheritedEnvironment leaves as inherited; everything else (argv[0], the
// descriptors above 2, signal dispositions and mask, umask, priority, working directory, interval
// timers) is reset.
//  - Descriptors 0 to 2: 0 and 1 are the connection to the client; 2 carries the relay's lines.
//  - Resource limits: the reset's table was made for another kernel. On Linux RLIMIT_NPROC counts
//    every process of the real user, not of this program, so a soft limit of 100 would make the
//    privileged launch of the relay fail for any user with a desktop session running; and
//    RLIMIT_DATA counts every private writable mapping, so 6 MiB breaks today's allocators (and a
//    sanitizer's shadow memory) outright. A caller can lower limits anyway; we only lower what
//    matters below.
constexpr int kKeepMask = kMoreSecKeepStdDescriptorsMask | kMoreSecKeepRLimitsMask;

// A closed 0, 1 or 2 would be handed to the next file this process opens (the store, the RTC), and
// whatever was meant for the standard descriptor (a response, a line on standard error) would
// land in that file. Fill the gaps with /dev/null: a missing input or output then ends the request
// with an error instead. Answers 0 or an errno value.
int OpenMissingStandardDescriptors()
{
    for (int fd = 0; fd <= 2; fd++) {
        if (fcntl(fd, F_GETFD) != -1) continue;
        if (errno != EBADF) return errno;
        // Not close-on-exec: this is a standard descriptor, which the relaunched copy inherits.
        const int opened = wfs::RetryOnEintr([] { return open("/dev/null", O_RDWR); });
        if (opened == -1) return errno;
        if (opened != fd) return EBADF;  // the lowest free number is fd; anything else is a bug
    }
    return 0;
}

// A set-user-ID process holds the caller's authorization and reads root's files; an inherited core
// limit must not let it leave that in a core file, whatever the kernel's dump policy is. Lowering
// a soft limit is always allowed.
int ForbidCoreFiles()
{
    struct rlimit limit {};
    if (getrlimit(RLIMIT_CORE, &limit) == -1) return errno;
    limit.rlim_cur = 0;
    return setrlimit(RLIMIT_CORE, &limit) == -1 ? errno : 0;
}

int PrepareProcess(char **argv)
{
    int err = OpenMissingStandardDescriptors();
    if (err == 0) err = MoreSecDestroyInheritedEnvironment(kKeepMask, const_cast<const char **>(argv));
    if (err == 0) err = ForbidCoreFiles();
    // The reset made every signal's disposition the default; a client that goes away must show up
    // as EPIPE on the next write, not kill the tool.
    if (err == 0) err = MoreUNIXIgnoreSIGPIPE();
    return err;
}

}  // namespace

int main(int argc, char **argv)
{
    // A hostile exec can pass no arguments at all; argv[0] is then the vector's NULL terminator,
    // which neither the reset nor the main routine may be handed.
    if (argc < 1 || argv == nullptr || argv[0] == nullptr) {
        return MoreSecErrorToHelperToolResult(kHelperToolInternalErr);
    }
    // The system log names us by our own name, not by whatever argv[0] the caller chose: log lines
    // of a root program are read as the truth. Opened lazily, at the first line.
    openlog("IOPMSchedulePowerEventTool", LOG_PID, LOG_DAEMON);

    const int err = PrepareProcess(argv);
    if (err != 0) return MoreSecErrorToHelperToolResult(err);

    return MoreSecErrorToHelperToolResult(
        MoreSecHelperToolMain(STDIN_FILENO, STDOUT_FILENO, MoreSecHelperToolCopyAuthRef(),
                              PowerEventCommandProcedure, argc, const_cast<const char **>(argv)));
}
