/* Support for a privileged helper tool: the wire format between client and tool, running one
   request in a tool, locating and installing the tool, the tool's main routine with self-repair,
   and the process hygiene of a set-user-ID tool. Every routine returns an int error (0 success). */
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <CoreServices/CoreServices.h>
#include <Security/Security.h>

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Wire format ----------------------------------------------------------------------------- */

/* Both ends of a connection use these exact strings. The value under DescriptorArrayKey is an
   array of descriptor numbers (kCFNumberIntType); whoever holds a dictionary with it owns the
   descriptors listed there. ErrorNumberKey holds the command's own result (kCFNumberSInt32Type). */
#define kMoreSecKeyPrefix "org.tidemark.wakefromsleep"
#define kMoreSecDescriptorArrayKeyString kMoreSecKeyPrefix ".MoreSec.FDs"
#define kMoreSecErrorNumberKeyString kMoreSecKeyPrefix ".MoreSec.ErrorNumber"
#define DescriptorArrayKey CFSTR(kMoreSecDescriptorArrayKeyString)
#define ErrorNumberKey CFSTR(kMoreSecErrorNumberKeyString)

/* A helper tool's exit status (its result) and the error each stands for. */
enum {
    kHelperToolResultSuccess = 0,
    kHelperToolResultInternalError = 1,
    kHelperToolResultDenied = 2,
    kHelperToolResultCanceled = 3,
    kHelperToolResultFailed = 4
};

enum {
    kHelperToolInternalErr = 5361, /* the tool was started in a way it cannot serve */
    kHelperToolDeniedErr = 5362,   /* the authorization was denied */
    kHelperToolCanceledErr = 5363, /* the user cancelled the authorization */
    kHelperToolFailedErr = 5364,   /* any other failure, or the tool did not exit normally */
    kMoreSecUnsuitableFolderErr = 5370 /* the tool's folder ignores ownership or set-user-ID bits */
};

/* Closes every descriptor listed in `descArray` (NULL does nothing). The array is not changed. */
void MoreSecCloseDescriptorArray(CFArrayRef descArray);

/* The command's result stored under ErrorNumberKey, or coreFoundationUnknownErr when it is absent
   or unreadable. */
int MoreSecGetErrorFromResponse(CFDictionaryRef response);

int MoreSecErrorToHelperToolResult(int error);
int MoreSecHelperToolResultToError(int toolResult);

/* ---- Running one request in a helper tool ---------------------------------------------------- */

/* Starts the tool at `helperTool` on a socket pair, sends the external form of `auth` and
   `request`, and answers the response (with its descriptors, now the caller's) in `*response`.
   SIGPIPE must be ignored in the calling process. */
int MoreSecExecuteRequestInHelperTool(CFURLRef helperTool, AuthorizationRef auth,
                                      CFDictionaryRef request, CFDictionaryRef *response);

/* ---- Locating, installing and checking the tool ---------------------------------------------- */

int MoreSecCopyHelperToolURLAndCheckBundled(CFBundleRef inBundle, CFStringRef templateToolName,
                                            OSType folderType, CFStringRef subFolderName,
                                            CFStringRef toolName, CFURLRef *tool);
int MoreSecCopyHelperToolURLAndCheck(CFURLRef templateTool, OSType folderType,
                                     CFStringRef subFolderName, CFStringRef toolName,
                                     CFURLRef *tool);
int MoreSecIsFolderIgnoringSetUID(const FSRef *folder, Boolean *ignoringSetUID);
int MoreSecIsFolderIgnoringOwnership(const FSRef *folder, Boolean *ignoringOwnership);

/* ---- The helper tool's main routine ---------------------------------------------------------- */

/* Carries out one request. Called with the effective user set to the invoking user (the saved
   set-user-ID still root); `*response` is NULL on entry and, if set, passes to the caller together
   with any descriptors it lists under DescriptorArrayKey. */
typedef int (*MoreSecCommandProcedure)(AuthorizationRef auth, CFDictionaryRef request,
                                       CFDictionaryRef *response);

/* Serves one request read from `fdIn`, writing the response to `fdOut`; relays through a privileged
   copy of itself ("--self-repair") when not started as root. Takes ownership of `auth`. */
int MoreSecHelperToolMain(int fdIn, int fdOut, AuthorizationRef auth,
                          MoreSecCommandProcedure commandProc, int argc, const char *argv[]);

/* The authorization handed to this process by a privileged launch, or NULL. The caller owns it. */
AuthorizationRef MoreSecHelperToolCopyAuthRef(void);

/* ---- Process hygiene for a set-user-ID tool ------------------------------------------------- */

int MoreSecPermanentlySetNonPrivilegedEUID(void);
int MoreSecTemporarilySetNonPrivilegedEUID(void);
int MoreSecSetPrivilegedEUID(void);

/* Bits of the keep mask of MoreSecDestroyInheritedEnvironment: a set bit keeps that part of the
   inherited process state, a clear bit resets it. */
enum {
    kMoreSecKeepArg0Mask = 0x001,
    kMoreSecKeepStdDescriptorsMask = 0x004,
    kMoreSecKeepOtherDescriptorsMask = 0x008,
    kMoreSecKeepSignalStateMask = 0x010,
    kMoreSecKeepUmaskValueMask = 0x020,
    kMoreSecKeepPriorityMask = 0x040,
    kMoreSecKeepRLimitsMask = 0x080,
    kMoreSecKeepWorkingDirMask = 0x100,
    kMoreSecKeepIntervalTimersMask = 0x200
};

/* Resets the inherited process state that `whatToDubya` does not keep. `argv` may be NULL only
   when kMoreSecKeepArg0Mask is set; otherwise argv[0] is replaced by the executable's path. */
int MoreSecDestroyInheritedEnvironment(int whatToDubya, const char **argv);

#ifdef __cplusplus
}
#endif
