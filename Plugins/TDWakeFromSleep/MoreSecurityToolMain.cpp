// The helper tool's main routine: serving one request, relaying it through a privileged copy of
// the tool, and the self-repair that copy performs before it serves.
//
// A tool that starts as root reads the external form and the request from its input, hands the
// request to the command procedure and writes the response. A tool that does not start as root
// cannot serve, but it can mend itself: it launches its own executable again with "--self-repair"
// through the privileged launch, copies its input (the request) to that root copy, and relays the
// copy's response back. The root copy makes the tool's file owned by root and set-user-ID, so the
// next request is served at once, and then serves this one.

#include "MoreSecurityToolMainInternal.h"

#include "MoreAssert.h"
#include "MoreCFQ.h"
#include "MoreUNIX.h"

#include <Support/CFRef.h>
#include <Support/Eintr.h>
#include <Support/UniqueFd.h>

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>

namespace {

// The argument list of the privileged relaunch: the launched copy sees argc 2.
char kSelfRepairArgument[] = "--self-repair";
char *const kSelfRepairArguments[] = {kSelfRepairArgument, NULL};

// Regular file, set-user-ID, read and execute for everyone, writable by no one.
const mode_t kRepairedMode = 0104555;

// The authorization the main routine holds; freeing it must succeed on every path.
class OwnedAuthorization {
public:
    explicit OwnedAuthorization(AuthorizationRef auth) noexcept : auth_(auth) {}
    OwnedAuthorization(const OwnedAuthorization &) = delete;
    OwnedAuthorization &operator=(const OwnedAuthorization &) = delete;
    ~OwnedAuthorization() { reset(); }

    AuthorizationRef get() const noexcept { return auth_; }
    AuthorizationRef *out() noexcept {
        MoreAssertQ(auth_ == NULL);
        return &auth_;
    }
    void reset() noexcept {
        if (auth_ != NULL) {
            const OSStatus junk = AuthorizationFree(auth_, kAuthorizationFlagDefaults);
            MoreAssertQ(junk == errAuthorizationSuccess);
            auth_ = NULL;
        }
    }

private:
    AuthorizationRef auth_;
};

struct FreeDeleter {
    void operator()(void *p) const noexcept { free(p); }
};

// The channel to the repairer. A failing fclose would mean the stream was not ours to close.
struct ChannelCloser {
    void operator()(FILE *channel) const noexcept {
        const int junk = fclose(channel);
        MoreAssertQ(junk == 0);
    }
};
using Channel = std::unique_ptr<FILE, ChannelCloser>;

void RestoreInvokingUser()
{
    const int junk = MoreSecTemporarilySetNonPrivilegedEUID();
    MoreAssertQ(junk == 0);
}

// The command procedure's side of the response contract; a breach is a bug in the tool.
void CheckCommandResponse(CFDictionaryRef response)
{
    MoreAssertQ(CFGetTypeID(response) == CFDictionaryGetTypeID());
    CFTypeRef descArray = CFDictionaryGetValue(response, DescriptorArrayKey);
    if (descArray == NULL) return;
    MoreAssertQ(CFGetTypeID(descArray) == CFArrayGetTypeID());
    const CFIndex count = CFArrayGetCount(static_cast<CFArrayRef>(descArray));
    for (CFIndex i = 0; i < count; i++) {
        CFTypeRef element = CFArrayGetValueAtIndex(static_cast<CFArrayRef>(descArray), i);
        MoreAssertQ(element != NULL);
        MoreAssertQ(CFGetTypeID(element) == CFNumberGetTypeID());
        int thisDesc = -1;
        const Boolean readable =
            CFNumberGetValue(static_cast<CFNumberRef>(element), kCFNumberIntType, &thisDesc);
        MoreAssertQ(readable);
        MoreAssertQ(thisDesc >= 0);
        MoreAssertQ(fcntl(thisDesc, F_GETFD) != -1);
    }
}

// Puts ErrorNumberKey with `commandErr` into `*response`, creating the response when the command
// left none. On failure `*response` is unchanged, so its descriptors can still be closed.
int AddErrorNumber(wfs::CFRef<CFDictionaryRef> *response, int commandErr)
{
    const SInt32 value = commandErr;
    wfs::CFRef<CFNumberRef> number(CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt32Type, &value));
    int err = CFQError(number.get());
    if (err != 0) return err;

    if (!*response) {
        const void *keys[] = {ErrorNumberKey};
        const void *values[] = {number.get()};
        wfs::CFRef<CFDictionaryRef> created(CFDictionaryCreate(kCFAllocatorDefault, keys, values, 1,
                                                               &kCFTypeDictionaryKeyCallBacks,
                                                               &kCFTypeDictionaryValueCallBacks));
        err = CFQError(created.get());
        if (err == 0) *response = std::move(created);
        return err;
    }
    wfs::CFRef<CFMutableDictionaryRef> copy(
        CFDictionaryCreateMutableCopy(kCFAllocatorDefault, 0, response->get()));
    err = CFQError(copy.get());
    if (err != 0) return err;
    CFDictionarySetValue(copy.get(), ErrorNumberKey, number.get());
    response->reset(copy.release());
    return 0;
}

// Compares the open file with the kernel's record of the running executable. A file with a second
// link is refused as well: the link, made while the file was still the user's, would keep a
// set-user-ID root copy alive after the plug-in replaces or removes this one.
int CheckIsRunningExecutable(int fd)
{
    struct stat opened;
    int err = MoreUNIXErrno(fstat(fd, &opened));
    if (err != 0) return err;
    if (!S_ISREG(opened.st_mode)) return kRepairNotRunningExecutableErr;
    if (opened.st_nlink != 1) return kRepairLinkedElsewhereErr;

    // /proc/self/exe is opened rather than stat'ed by name so that both sides of the comparison are
    // open files, not names that could change between two looks. Without procfs there is no way
    // to tell, and a repair that cannot be checked is not made.
    wfs::UniqueFd self(wfs::RetryOnEintr([] { return open("/proc/self/exe", O_RDONLY | O_CLOEXEC); }));
    if (!self) return MoreUNIXErrno(-1);
    struct stat running;
    err = MoreUNIXErrno(fstat(self.get(), &running));
    if (err != 0) return err;
    if (opened.st_dev != running.st_dev || opened.st_ino != running.st_ino) {
        return kRepairNotRunningExecutableErr;
    }
    return 0;
}

// Relays the request on `fdIn` through a privileged copy of the tool at `pathToSelf` and its
// response back to `fdOut`.
int RelayThroughPrivilegedCopy(int fdIn, int fdOut, AuthorizationRef auth, const char *pathToSelf)
{
    pid_t childPID = -1;
    FILE *channelStream = NULL;

    (void) fputs("MoreSecurity: Calling AEWP\n", stderr);
    const OSStatus status = AuthorizationExecuteWithPrivileges(
        auth, pathToSelf, kAuthorizationFlagDefaults, kSelfRepairArguments, &channelStream);
    (void) fprintf(stderr, "MoreSecurity: AEWP returned %d\n", static_cast<int>(status));
    if (status != errAuthorizationSuccess) {
        MoreAssertQ(channelStream == NULL);
        return status;
    }
    MoreAssertQ(channelStream != NULL);
    Channel channel(channelStream);

    // The first failure among these steps skips the rest.
    int relayErr = 0;
    const int channelFd = fileno(channel.get());
    if (channelFd < 0) relayErr = MoreUNIXErrno(channelFd);
    if (relayErr == 0) {
        // The repairer's process ID comes first, before it reads anything, so that we always know
        // which process to wait for, even when it fails right after.
        int32_t pid = -1;
        relayErr = MoreUNIXRead(channelFd, &pid, sizeof(pid), NULL);
        if (relayErr == 0) childPID = static_cast<pid_t>(pid);
    }
    if (relayErr == 0) relayErr = MoreUNIXCopyDescriptorToDescriptor(fdIn, channelFd);
    if (relayErr == 0) relayErr = MoreUNIXErrno(shutdown(channelFd, SHUT_WR));
    wfs::CFRef<CFDictionaryRef> response;
    if (relayErr == 0) relayErr = CopyDictionaryTranslatingDescriptors(channelFd, response.out());
    if (relayErr == 0) relayErr = WriteDictionaryAndDescriptors(response.get(), fdOut);
    if (response) {
        MoreSecCloseDescriptorArray(
            static_cast<CFArrayRef>(CFDictionaryGetValue(response.get(), DescriptorArrayKey)));
    }
    response.reset();
    channel.reset();
    // A repairer that ends without reading all we copied to it (it refused, or its repair failed)
    // leaves unread data behind, and Linux then reports the broken channel as ECONNRESET rather
    // than as the end of the stream. It is the same event: the repairer went away early.
    if (relayErr == ECONNRESET) relayErr = EPIPE;

    // With no process ID read this waits for any child; the privileged launch started exactly one.
    int waitStatus = 0;
    int waitErr = MoreUNIXErrno(wfs::RetryOnEintr([&] { return waitpid(childPID, &waitStatus, 0); }));
    CheckWaitForDebuggerInterference(&waitErr, childPID, &waitStatus);

    // An EPIPE of the relay is no error by itself: the repairer refused or failed and ended, and
    // its exit status says why (or that it served the request after all).
    if (relayErr != 0 && relayErr != EPIPE) return relayErr;
    // When the wait fails there is no status to decide by, whatever the relay met.
    if (waitErr != 0) return waitErr;
    if (!WIFEXITED(waitStatus)) return kHelperToolFailedErr;
    return MoreSecHelperToolResultToError(WEXITSTATUS(waitStatus));
}

// The privileged copy: announce ourselves, repair the tool's file, then serve.
int SelfRepairAndServe(int fdIn, int fdOut, AuthorizationRef auth, const char *mode,
                       bool startedAsRoot, const char *pathToSelf,
                       MoreSecCommandProcedure commandProc)
{
    if (mode == NULL || strcmp(mode, kSelfRepairArgument) != 0) return kHelperToolInternalErr;

    const int32_t pid = static_cast<int32_t>(getpid());
    int err = MoreUNIXWrite(fdOut, &pid, sizeof(pid), NULL);
    if (err != 0) return err;

    // Only a copy started as root, with the authorization that the privileged launch handed it,
    // repairs; any other start with this argument is a misuse.
    if (!startedAsRoot || auth == NULL) return kHelperToolInternalErr;

    err = RepairRunningExecutable(pathToSelf);
    if (err != 0) return err;
    return ReadAndDispatchCommand(fdIn, fdOut, auth, commandProc);
}

}  // namespace

extern "C" int RepairRunningExecutable(const char *pathToSelf)
{
    MoreAssertQ(pathToSelf != NULL);

    // The tool's folder belongs to the user, who may replace the file at this path at any moment.
    // So the file is opened once, checked to be the program that is running (which the privileged
    // launch started as root on the user's authorization), and changed through that descriptor
    // only. O_NOFOLLOW: the path comes canonical, so a symbolic link here was put there since.
    // O_NONBLOCK: a FIFO put at the path would otherwise hold the open, and root with it, until
    // someone opened its other end; the check that follows refuses anything but a regular file.
    wfs::UniqueFd file(wfs::RetryOnEintr(
        [&] { return open(pathToSelf, O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK); }));
    if (!file) return MoreUNIXErrno(-1);

    int err = CheckIsRunningExecutable(file.get());
    if (err == 0) {
        err = MoreSecSetPrivilegedEUID();
        // fchown by root clears the set-user-ID bit, so the mode is set after the owner.
        if (err == 0) err = MoreUNIXErrno(fchown(file.get(), 0, static_cast<gid_t>(-1)));
        if (err == 0) err = MoreUNIXErrno(fchmod(file.get(), kRepairedMode));
        // The user could still link the file between the check and the change of owner; once it
        // is root's they no longer can. So look again, and take the set-user-ID bit back if a
        // link appeared.
        struct stat repaired;
        if (err == 0) err = MoreUNIXErrno(fstat(file.get(), &repaired));
        if (err == 0 && repaired.st_nlink != 1) {
            err = kRepairLinkedElsewhereErr;
            const int junk = fchmod(file.get(), kRepairedMode & ~S_ISUID);
            MoreAssertQ(junk == 0);
        }
        RestoreInvokingUser();
    }

    const int junk = close(file.release());
    MoreAssertQ(junk == 0);
    return err;
}

extern "C" int ReadAndDispatchCommand(int fdIn, int fdOut, AuthorizationRef auth,
                                      MoreSecCommandProcedure commandProc)
{
    MoreAssertQ(fdIn >= 0);
    MoreAssertQ(fdOut >= 0);
    MoreAssertQ(auth != NULL);
    MoreAssertQ(commandProc != NULL);

    wfs::CFRef<CFDictionaryRef> request;
    int err = CopyDictionaryFromDescriptor(fdIn, request.out());
    if (err != 0) return err;

    CFDictionaryRef commandResponse = NULL;
    const int commandErr = commandProc(auth, request.get(), &commandResponse);
    wfs::CFRef<CFDictionaryRef> response(commandResponse);

    // The command may have raised the effective user to root; it goes back to the invoking user
    // before anything else is done for this request.
    RestoreInvokingUser();

    if (response) CheckCommandResponse(response.get());
    if (!response || !CFDictionaryContainsKey(response.get(), ErrorNumberKey)) {
        err = AddErrorNumber(&response, commandErr);
    }
    if (err == 0) err = WriteDictionaryAndDescriptors(response.get(), fdOut);

    // The descriptors were ours to send; they are closed whether or not they went out.
    if (response) {
        MoreSecCloseDescriptorArray(
            static_cast<CFArrayRef>(CFDictionaryGetValue(response.get(), DescriptorArrayKey)));
    }
    return err;
}

extern "C" int MoreSecHelperToolMain(int fdIn, int fdOut, AuthorizationRef auth,
                                     MoreSecCommandProcedure commandProc, int argc,
                                     const char *argv[])
{
    MoreAssertQ(fdIn >= 0);
    MoreAssertQ(fdOut >= 0);
    MoreAssertQ(commandProc != NULL);
    MoreAssertQ(argv != NULL);
    MoreAssertQ(argv[0] != NULL);

    OwnedAuthorization ownedAuth(auth);

    // This one look decides between serving and relaying.
    const bool startedAsRoot = (geteuid() == 0);

    int err = MoreSecTemporarilySetNonPrivilegedEUID();
    char *rawPath = NULL;
    if (err == 0) err = GetPathToSelf(&rawPath);
    std::unique_ptr<char, FreeDeleter> pathToSelf(rawPath);

    if (err == 0 && argc != 1 && argc != 2) err = kHelperToolInternalErr;
    if (err == 0 && argc == 1) {
        // In normal mode the authorization always comes from the input, never from how we started.
        ownedAuth.reset();
        AuthorizationExternalForm extForm;
        err = MoreUNIXRead(fdIn, &extForm, sizeof(extForm), NULL);
        if (err == 0) err = AuthorizationCreateFromExternalForm(&extForm, ownedAuth.out());
        if (err == 0) {
            err = startedAsRoot
                      ? ReadAndDispatchCommand(fdIn, fdOut, ownedAuth.get(), commandProc)
                      : RelayThroughPrivilegedCopy(fdIn, fdOut, ownedAuth.get(), pathToSelf.get());
        }
    } else if (err == 0 && argc == 2) {
        err = SelfRepairAndServe(fdIn, fdOut, ownedAuth.get(), argv[1], startedAsRoot,
                                 pathToSelf.get(), commandProc);
    }
    return err;
}

extern "C" AuthorizationRef MoreSecHelperToolCopyAuthRef(void)
{
    AuthorizationRef auth = NULL;
    if (AuthorizationCopyPrivilegedReference(&auth, kAuthorizationFlagDefaults) != 0) return NULL;
    return auth;
}
