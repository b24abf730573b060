// The client half of the helper tool protocol: one request, one short-lived tool process.
//
// The tool is opened along its real path, checked to lie where only root and the invoking user
// could have put it, and that very file is started through its descriptor: nothing can be swapped
// in between the check and the start. It runs with one end of a socket pair on its standard input
// and output. We send the authorization's external form and the request frame, half-close so the
// tool sees where the request ends, read the response frame and the descriptors behind it, and
// then let the tool's exit status have the last word: a response that arrived in full is still
// discarded when the tool says it failed.

#include "MoreSecurityInternal.h"

#include "MoreAssert.h"
#include "MoreUNIX.h"

#include <Support/CFRef.h>
#include <Support/Eintr.h>
#include <Support/UniqueFd.h>

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// The one child process of a request. Whatever path the request takes, the child is reaped before
// the request returns: normally through Wait(), and as a last resort by the destructor.
class ToolProcess {
public:
    explicit ToolProcess(pid_t pid) noexcept : pid_(pid) {}
    ToolProcess(const ToolProcess &) = delete;
    ToolProcess &operator=(const ToolProcess &) = delete;
    ~ToolProcess() {
        if (pid_ > 0) {
            int status = 0;
            (void) wfs::RetryOnEintr([&] { return waitpid(pid_, &status, 0); });
        }
    }

    bool started() const noexcept { return pid_ > 0; }

    // Waits for the tool to end: 0 and its wait status, or the wait's errno.
    int Wait(int *status) noexcept {
        MoreAssertQ(pid_ > 0);
        const pid_t pid = pid_;
        int err = MoreUNIXErrno(wfs::RetryOnEintr([&] { return waitpid(pid, status, 0); }));
        CheckWaitForDebuggerInterference(&err, pid, status);
        // Even a failed wait leaves nothing we could usefully wait for again.
        pid_ = -1;
        return err;
    }

private:
    pid_t pid_ = -1;
};

bool SIGPIPEIsIgnored()
{
    struct sigaction current;
    const int rc = sigaction(SIGPIPE, NULL, &current);
    MoreAssertQ(rc == 0);
    return current.sa_handler == SIG_IGN;
}

// A descriptor of the socket pair that sits on 0, 1 or 2 (the caller runs with a standard
// descriptor closed) would be clobbered by the child's dup2 onto 0 and 1, or closed after being
// duplicated onto itself. Moving it above 2 first keeps the child's three steps simple and right.
int MoveAboveStandardDescriptors(wfs::UniqueFd &fd)
{
    if (fd.get() > STDERR_FILENO) return 0;
    const int moved = fcntl(fd.get(), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    if (moved < 0) return MoreUNIXErrno(moved);
    fd.reset(moved);
    return 0;
}

// Starts the tool open on `toolFd`, with `childFd` as its standard input and output; answers
// vfork's result. The child runs in our memory until it executes the tool, so everything it uses
// was prepared by the caller and it calls nothing but dup2, close, the execveat system call and
// _exit. Kept out of line so that no local of the caller lives across vfork.
__attribute__((noinline)) pid_t StartTool(int toolFd, char *const argv[], int childFd, int ourFd)
{
    const pid_t pid = vfork();
    if (pid == 0) {
        // Any errno here is a plain failure to start the tool, which the waiting side reads as
        // kHelperToolFailedErr.
        if (dup2(childFd, STDIN_FILENO) < 0 || dup2(childFd, STDOUT_FILENO) < 0) {
            _exit(kHelperToolResultFailed);
        }
        if (close(childFd) != 0 || close(ourFd) != 0) _exit(kHelperToolResultFailed);
        // The file we checked, not whatever its path names by now. Its descriptor is
        // close-on-exec, so the tool does not inherit it.
        syscall(SYS_execveat, toolFd, "", argv, environ, AT_EMPTY_PATH);
        _exit(kHelperToolResultFailed);
    }
    return pid;
}

// Sends the external form and the request, half-closes, and reads the response.
int Converse(int fd, const AuthorizationExternalForm &extForm, CFDictionaryRef request,
             CFDictionaryRef *response)
{
    int err = MoreUNIXWrite(fd, &extForm, sizeof(extForm), NULL);
    if (err == 0) err = WriteDictionaryToDescriptor(request, fd);
    // The tool reads (or, when it relays, copies) its input up to the end of the stream, so the end
    // of the request has to be visible before we can expect an answer.
    if (err == 0) err = MoreUNIXErrno(shutdown(fd, SHUT_WR));
    if (err == 0) err = CopyDictionaryTranslatingDescriptors(fd, response);
    // A tool that ends without reading all we sent (it could not be executed, or refused the
    // request early) leaves unread data behind, and Linux then reports the broken connection as
    // ECONNRESET rather than as the end of the stream. Both mean the tool went away, and in both
    // cases its exit status has to say why.
    if (err == ECONNRESET) err = EPIPE;
    return err;
}

}  // namespace

extern "C" void CheckWaitForDebuggerInterference(int *err, pid_t childPID, int *status)
{
    MoreAssertQ(err != NULL);
    MoreAssertQ(status != NULL);

    // A debugger attached to the child can make the first wait report ECHILD although the child is
    // ours; one more wait then finds it.
    if (*err == ECHILD) {
        static const char kMessage[] = "MoreSecurity: You need to have a breakpoint set here.\n";
        (void) fwrite(kMessage, 1, sizeof(kMessage) - 1, stderr);
        *err = MoreUNIXErrno(wfs::RetryOnEintr([&] { return waitpid(childPID, status, 0); }));
    }
}

extern "C" int MoreSecExecuteRequestInHelperTool(CFURLRef helperTool, AuthorizationRef auth,
                                                 CFDictionaryRef request,
                                                 CFDictionaryRef *response)
{
    MoreAssertQ(helperTool != NULL);
    MoreAssertQ(auth != NULL);
    MoreAssertQ(request != NULL);
    MoreAssertQ(response != NULL);
    MoreAssertQ(*response == NULL);
    MoreAssertQ(SIGPIPEIsIgnored());

    // Everything the child needs is prepared before it starts.
    char toolPath[PATH_MAX];
    if (!CFURLGetFileSystemRepresentation(helperTool, true, reinterpret_cast<UInt8 *>(toolPath),
                                          sizeof(toolPath))) {
        return coreFoundationUnknownErr;
    }
    char *const toolArgv[] = {toolPath, NULL};

    AuthorizationExternalForm extForm;
    int err = AuthorizationMakeExternalForm(auth, &extForm);
    if (err != 0) return err;

    // A tool anyone else could have placed or could swap would run with our authorization, and
    // would be handed our request: it is refused before anything is started.
    int rawToolFd = -1;
    struct stat toolStat;
    err = OpenPathSafely(toolPath, getuid(), &rawToolFd, &toolStat);
    wfs::UniqueFd toolFd(rawToolFd);
    if (err == 0 && !S_ISREG(toolStat.st_mode)) err = EACCES;
    if (err == 0) err = MoveAboveStandardDescriptors(toolFd);
    if (err != 0) return err;

    // Close-on-exec on both: the tool must inherit the socket only as its descriptors 0 and 1
    // (dup2 clears the flag there), and no other child of this process may inherit either end.
    int pair[2] = {-1, -1};
    err = MoreUNIXErrno(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair));
    if (err != 0) return err;
    wfs::UniqueFd childEnd(pair[0]);
    wfs::UniqueFd ourEnd(pair[1]);
    err = MoveAboveStandardDescriptors(childEnd);
    if (err == 0) err = MoveAboveStandardDescriptors(ourEnd);
    if (err != 0) return err;

    const pid_t pid = StartTool(toolFd.get(), toolArgv, childEnd.get(), ourEnd.get());
    ToolProcess tool(pid);
    if (pid < 0) err = MoreUNIXErrno(pid);
    toolFd.reset();

    // From here on our end is the only descriptor of the socket in this process, so the tool's end
    // shows up as the end of the stream.
    childEnd.reset();
    if (err == 0) err = Converse(ourEnd.get(), extForm, request, response);
    ourEnd.reset();

    if (tool.started()) {
        int status = 0;
        const int waitErr = tool.Wait(&status);
        const bool conversationBroke = (err == EPIPE);
        if (err == 0) err = waitErr;
        if (err == 0 || (conversationBroke && waitErr == 0)) {
            const int toolErr = WIFEXITED(status)
                                    ? MoreSecHelperToolResultToError(WEXITSTATUS(status))
                                    : static_cast<int>(kHelperToolFailedErr);
            // A tool that reports success but broke off the response has not succeeded: the
            // caller gets no response, so it must not get 0 either.
            if (!(conversationBroke && toolErr == 0)) err = toolErr;
        }
    }

    if (err != 0 && *response != NULL) {
        wfs::CFRef<CFDictionaryRef> discarded(*response);
        *response = NULL;
        CFTypeRef descriptors = CFDictionaryGetValue(discarded.get(), DescriptorArrayKey);
        MoreSecCloseDescriptorArray(static_cast<CFArrayRef>(descriptors));
    }
    MoreAssertQ((err == 0) == (*response != NULL));
    return err;
}
