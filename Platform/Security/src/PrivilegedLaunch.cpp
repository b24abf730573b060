// The privileged launch: running a program as root on a socket pair, through polkit's pkexec for
// an ordinary caller, and handing the launched program the caller's authorization.
//
// pkexec authenticates the user (or refuses) and then executes the program in place, in the same
// process, so the program is our own child. Whether the launcher ran the program or ended without
// running it shows only in how the child behaves: a running program sooner or later writes to its
// standard output (our socket), a launcher that refused ends with status 127, one the user
// dismissed with 126. We watch both the socket and the child without consuming a byte of the
// program's output, and without reaping a child that the caller will want to wait for.

#include <Security/Authorization.h>

#include "AuthorizationInternal.h"

#include <Support/Eintr.h>
#include <Support/UniqueFd.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/auxv.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

extern char **environ;

namespace {

// The launcher for callers that are not root, and the variable that may name another one (read
// with secure_getenv, so that a set-user-ID caller cannot be pointed at a launcher of its user's
// choosing).
constexpr char kDefaultLauncher[] = "/usr/bin/pkexec";
constexpr char kLauncherVariable[] = "WFS_PRIVILEGED_LAUNCHER";

// Carries the caller's authorization, in hex, to a program launched directly or by a launcher
// that keeps the environment. pkexec clears the environment and leaves PKEXEC_UID instead.
constexpr char kAuthorizationVariable[] = "WFS_AUTHORIZATION";
constexpr char kPkexecUidVariable[] = "PKEXEC_UID";
constexpr char kSafePath[] = "PATH=/usr/sbin:/usr/bin:/sbin:/bin";

// pkexec's exit statuses when it does not run the program.
constexpr int kLauncherDismissedStatus = 126;
constexpr int kLauncherRefusedStatus = 127;

constexpr char kHexDigits[] = "0123456789abcdef";

std::string HexOf(const AuthorizationExternalForm &form)
{
    std::string hex;
    hex.reserve(2 * sizeof(form.bytes));
    for (char c : form.bytes) {
        const unsigned char byte = static_cast<unsigned char>(c);
        hex.push_back(kHexDigits[byte >> 4]);
        hex.push_back(kHexDigits[byte & 0xF]);
    }
    return hex;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool FormFromHex(const char *hex, AuthorizationExternalForm *form)
{
    if (strlen(hex) != 2 * sizeof(form->bytes)) return false;
    for (size_t i = 0; i < sizeof(form->bytes); i++) {
        const int high = HexValue(hex[2 * i]);
        const int low = HexValue(hex[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        form->bytes[i] = static_cast<char>((high << 4) | low);
    }
    return true;
}

// Moves a descriptor that sits on 0, 1 or 2 above them, so that the child's dup2 onto 0 and 1
// cannot clobber it (the caller may run with a standard descriptor closed).
bool MoveAboveStandardDescriptors(wfs::UniqueFd &fd)
{
    if (fd.get() > STDERR_FILENO) return true;
    const int moved = fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0) return false;
    fd.reset(moved);
    return true;
}

struct StreamCloser {
    void operator()(FILE *stream) const noexcept { (void) fclose(stream); }
};
using Stream = std::unique_ptr<FILE, StreamCloser>;

// Everything the child needs, built before the fork: after it the child only calls
// async-signal-safe functions.
struct LaunchPlan {
    std::string program;
    std::vector<std::string> arguments;
    std::vector<std::string> environment;
    std::vector<char *> argv;
    std::vector<char *> envp;
    bool becomeRootFully = false;

    void Seal()
    {
        for (std::string &argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        for (std::string &entry : environment) envp.push_back(entry.data());
        envp.push_back(nullptr);
    }
};

// The caller's environment without any authorization it inherited itself.
void AppendInheritedEnvironment(std::vector<std::string> *environment)
{
    const size_t nameLength = strlen(kAuthorizationVariable);
    for (char **entry = environ; entry != nullptr && *entry != nullptr; entry++) {
        // An inherited value would name some other authorization.
        if (strncmp(*entry, kAuthorizationVariable, nameLength) == 0 && (*entry)[nameLength] == '=') {
            continue;
        }
        environment->push_back(*entry);
    }
}

LaunchPlan MakePlan(const char *pathToTool, char *const *arguments, const std::string &authHex)
{
    LaunchPlan plan;
    if (geteuid() == 0) {
        plan.program = pathToTool;
        // A set-user-ID root caller has someone else's real user ID; the program runs as root
        // through and through, as it would after the launcher.
        plan.becomeRootFully = (getuid() != 0 || getgid() != 0 || getegid() != 0);
    } else {
        const char *launcher = secure_getenv(kLauncherVariable);
        plan.program = (launcher != nullptr && launcher[0] != '\0') ? launcher : kDefaultLauncher;
        plan.arguments.push_back(plan.program);
    }
    plan.arguments.push_back(pathToTool);
    for (char *const *argument = arguments; argument != nullptr && *argument != nullptr; argument++) {
        plan.arguments.push_back(*argument);
    }

    // An elevated caller (set-user-ID root, say) has its environment from whoever started it. The
    // program runs with real root IDs, so the kernel will not mark its start as secure and its
    // dynamic linker and secure_getenv would trust that environment (LD_PRELOAD, the launcher
    // variable). It gets a fixed minimal environment instead, as pkexec gives its programs.
    if (plan.becomeRootFully || getauxval(AT_SECURE) != 0) {
        plan.environment.push_back(kSafePath);
    } else {
        AppendInheritedEnvironment(&plan.environment);
    }
    plan.environment.push_back(std::string(kAuthorizationVariable) + "=" + authHex);
    plan.Seal();
    return plan;
}

// The child's side: the socket on 0 and 1, then the program. A failure is reported as its errno
// through the close-on-exec error pipe, which the parent reads until exec closes it.
[[noreturn]] void RunChild(const LaunchPlan &plan, int childEnd, int errorPipe)
{
    int failure = 0;
    if (plan.becomeRootFully) {
        // Raw system calls: the child of a fork is single-threaded and these are plain syscalls,
        // unlike the library wrappers, which may synchronise with threads that no longer exist.
        // The invoker's supplementary groups go too: root's program should not act for them.
        if (syscall(SYS_setgroups, 0, nullptr) != 0 || syscall(SYS_setresgid, 0, 0, 0) != 0 ||
            syscall(SYS_setresuid, 0, 0, 0) != 0) {
            failure = errno;
        }
    }
    if (failure == 0 && (dup2(childEnd, STDIN_FILENO) < 0 || dup2(childEnd, STDOUT_FILENO) < 0)) {
        failure = errno;
    }
    if (failure == 0) {
        execve(plan.program.c_str(), plan.argv.data(), plan.envp.data());
        failure = errno;
    }
    ssize_t ignored = write(errorPipe, &failure, sizeof(failure));
    (void) ignored;
    _exit(kLauncherRefusedStatus);
}

pid_t ReapBlocking(pid_t pid, int *status)
{
    return wfs::RetryOnEintr([&] { return waitpid(pid, status, 0); });
}

int PidfdOpen(pid_t pid)
{
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

enum class Outcome { kRunning, kDismissed, kRefused, kUnknown };

// Watches the socket and the child until one of them tells whether the program is running. A byte
// waiting on the socket (looked at with MSG_PEEK, so the caller still reads it) means the program
// runs. A child that ended first is looked at with WNOWAIT: the launcher's two refusals are
// reaped here, any other end is the program's own and the child is left for the caller.
Outcome WatchLaunch(int socketFd, pid_t pid)
{
    // Without pidfds (kernels before 5.3) the socket alone has to tell: the child's end closes when
    // the launcher or the program ends, and then the child is waited for.
    wfs::UniqueFd pidfd(PidfdOpen(pid));

    struct pollfd watched[2];
    watched[0] = {socketFd, POLLIN, 0};
    watched[1] = {pidfd.get(), POLLIN, 0};
    bool childEnded = false;
    for (;;) {
        if (watched[0].fd >= 0 || watched[1].fd >= 0) {
            const int ready = wfs::RetryOnEintr([&] { return poll(watched, 2, -1); });
            if (ready < 0) return Outcome::kUnknown;
        }
        if (watched[0].fd >= 0 && watched[0].revents != 0) {
            char byte = 0;
            const ssize_t got = wfs::RetryOnEintr(
                [&] { return recv(socketFd, &byte, 1, MSG_PEEK | MSG_DONTWAIT); });
            if (got > 0) return Outcome::kRunning;
            // End of stream (or a broken socket): only the child can tell now.
            if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                watched[0].fd = -1;
                if (!pidfd) childEnded = true;
            }
        }
        if (watched[1].fd >= 0 && watched[1].revents != 0) childEnded = true;
        if (!childEnded) continue;

        siginfo_t info;
        memset(&info, 0, sizeof(info));
        if (wfs::RetryOnEintr([&] { return waitid(P_PID, static_cast<id_t>(pid), &info,
                                                   WEXITED | WNOWAIT); }) != 0) {
            return Outcome::kUnknown;
        }
        if (info.si_code == CLD_EXITED && info.si_status == kLauncherDismissedStatus) {
            return Outcome::kDismissed;
        }
        if (info.si_code == CLD_EXITED && info.si_status == kLauncherRefusedStatus) {
            return Outcome::kRefused;
        }
        return Outcome::kRunning;
    }
}

}  // namespace

// The status is errAuthorizationSuccess once the program runs or has run. The launch learns that
// from the program's first byte on its standard output, or from its end; a launched program that
// neither writes nor ends keeps the caller waiting here. Programs launched this way therefore
// write something (the helper tool's repairer: its process ID) before anything else.
extern "C" OSStatus AuthorizationExecuteWithPrivileges(AuthorizationRef authorization,
                                                       const char *pathToTool,
                                                       AuthorizationFlags options,
                                                       char *const *arguments,
                                                       FILE **communicationsPipe)
{
    if (options != kAuthorizationFlagDefaults) return errAuthorizationInvalidFlags;
    if (pathToTool == nullptr || communicationsPipe == nullptr) return errAuthorizationInvalidPointer;
    AuthorizationExternalForm form;
    OSStatus status = AuthorizationMakeExternalForm(authorization, &form);
    if (status != errAuthorizationSuccess) return status;
    // pkexec insists on an absolute path, and a relative one would depend on our working folder.
    if (pathToTool[0] != '/') return errAuthorizationToolExecuteFailure;

    LaunchPlan plan;
    try {
        plan = MakePlan(pathToTool, arguments, HexOf(form));
    } catch (const std::bad_alloc &) {
        return errAuthorizationInternal;
    }

    // Close-on-exec everywhere: the program inherits the socket only as its 0 and 1 (dup2 clears
    // the flag there), and neither end may leak into any other child of the caller.
    int pair[2] = {-1, -1};
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return errAuthorizationInternal;
    wfs::UniqueFd childEnd(pair[0]);
    wfs::UniqueFd ourEnd(pair[1]);
    int pipeFds[2] = {-1, -1};
    if (pipe2(pipeFds, O_CLOEXEC) != 0) return errAuthorizationInternal;
    wfs::UniqueFd errorRead(pipeFds[0]);
    wfs::UniqueFd errorWrite(pipeFds[1]);
    if (!MoveAboveStandardDescriptors(childEnd) || !MoveAboveStandardDescriptors(errorWrite)) {
        return errAuthorizationInternal;
    }

    // The stream is made before the child exists, so that no failure after the launch can leave a
    // running program without a channel.
    Stream channel(fdopen(ourEnd.get(), "r+"));
    if (!channel) return errAuthorizationInternal;
    (void) ourEnd.release();

    const pid_t pid = fork();
    if (pid < 0) return errAuthorizationInternal;
    if (pid == 0) RunChild(plan, childEnd.get(), errorWrite.get());

    childEnd.reset();
    errorWrite.reset();

    int childErrno = 0;
    const ssize_t got =
        wfs::RetryOnEintr([&] { return read(errorRead.get(), &childErrno, sizeof(childErrno)); });
    errorRead.reset();
    int waitStatus = 0;
    if (got != 0) {
        // The child could not execute the launcher (or the program): it has ended or is ending.
        (void) ReapBlocking(pid, &waitStatus);
        return errAuthorizationToolExecuteFailure;
    }

    switch (WatchLaunch(fileno(channel.get()), pid)) {
    case Outcome::kRunning:
        *communicationsPipe = channel.release();
        return errAuthorizationSuccess;
    case Outcome::kDismissed:
        (void) ReapBlocking(pid, &waitStatus);
        return errAuthorizationCanceled;
    case Outcome::kRefused:
        (void) ReapBlocking(pid, &waitStatus);
        return errAuthorizationDenied;
    case Outcome::kUnknown:
        break;
    }
    // Nothing more can be learnt (the child was reaped by someone else, or poll failed). Our end is
    // closed first, so a program that reads its input sees the end of it and finishes.
    channel.reset();
    (void) ReapBlocking(pid, &waitStatus);
    return errAuthorizationInternal;
}

extern "C" OSStatus AuthorizationCopyPrivilegedReference(AuthorizationRef *authorization,
                                                         AuthorizationFlags flags)
{
    if (flags != kAuthorizationFlagDefaults) return errAuthorizationInvalidFlags;
    if (authorization == nullptr) return errAuthorizationInvalidPointer;

    // The launch runs its program as root through and through. secure_getenv answers nothing in a
    // set-user-ID (or otherwise elevated) start, where the environment is the invoker's to choose.
    if (getuid() != 0 || geteuid() != 0) return errAuthorizationInvalidRef;

    AuthorizationRef ref = nullptr;
    if (const char *hex = secure_getenv(kAuthorizationVariable)) {
        AuthorizationExternalForm form;
        if (!FormFromHex(hex, &form)) return errAuthorizationInvalidRef;
        const OSStatus status = AuthorizationCreateFromExternalForm(&form, &ref);
        if (status != errAuthorizationSuccess) return status;
    } else if (const char *uid = secure_getenv(kPkexecUidVariable); uid != nullptr && uid[0] != '\0') {
        // pkexec passed on no authorization; polkit granted one, and this stands for it.
        wfs::security::AuthorizationId id;
        if (!wfs::security::MakeAuthorizationId(id)) return errAuthorizationInternal;
        ref = wfs::security::NewReference(id);
        if (ref == nullptr) return errAuthorizationInternal;
    } else {
        return errAuthorizationInvalidRef;
    }
    // The launch succeeded, so the administrator right was granted.
    if (!wfs::security::GrantRight(ref, kAuthorizationRightExecute)) {
        (void) AuthorizationFree(ref, kAuthorizationFlagDefaults);
        return errAuthorizationInternal;
    }
    *authorization = ref;
    return errAuthorizationSuccess;
}
