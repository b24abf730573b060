/* Routines of the MoreSecurity module that only the module and its tests call. */
#pragma once

#include "MoreSecurity.h"

#include <sys/stat.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The largest dictionary frame a reader accepts (bytes of XML). */
enum { kMaxDictionarySize = 1024 * 1024 };

/* Wire format. */
int CopyDictionaryFromDescriptor(int fdIn, CFDictionaryRef *dictResult);
int WriteDictionaryToDescriptor(CFDictionaryRef dict, int fdOut);
int CopyDictionaryTranslatingDescriptors(int fdIn, CFDictionaryRef *response);
int WriteDictionaryAndDescriptors(CFDictionaryRef dict, int fdOut);

/* Waiting for a child. */
void CheckWaitForDebuggerInterference(int *err, pid_t childPID, int *status);

/* Process hygiene. */
int GetPathToSelf(char **pathToSelfPtr);
int CloseOpenFileDescriptorsInRange(int first, int limit);

/* The ways CloseOpenFileDescriptorsInRange may use besides calling close() on every number of the
   range, which is always the last resort. Listing /proc/self/fd is tried first, close_range(2)
   second. Tests and benchmarks narrow the set to force the fallbacks; the tool never changes it.
   Answers the previous set. */
enum {
    kCloseDescriptorsByListing = 0x1,
    kCloseDescriptorsByCloseRange = 0x2,
    kCloseDescriptorsAllWays = kCloseDescriptorsByListing | kCloseDescriptorsByCloseRange
};
unsigned int SetCloseOpenFileDescriptorsWays(unsigned int ways);

/* The tool's dispatcher. */
int ReadAndDispatchCommand(int fdIn, int fdOut, AuthorizationRef auth,
                           MoreSecCommandProcedure commandProc);

/* Opens the file or folder at `path` for checking it, or starting it (O_PATH, close-on-exec), into
   `*fd` (-1 on entry) and describes it in `*finalStat`. Symbolic links along `path` are resolved
   first; then every folder from "/" down is opened relative to the one before, without following
   links, and must be owned by root or `user` and writable by no one else (a sticky folder, such as
   /tmp, may be). The last component must be such a folder, or a regular file owned by root or
   `user` and writable by neither group nor others. 0, EPERM when something on the way fails that
   rule, or the errno of a failure. */
int OpenPathSafely(const char *path, uid_t user, int *fd, struct stat *finalStat);

/* Locating and checking the tool. */
int CheckHelperTool(CFURLRef templateTool, CFURLRef tool, Boolean *looksOK);
int CopyHelperToolURL(SInt16 domain, OSType folderType, CFStringRef subFolderName,
                      CFStringRef toolName, Boolean createFolder, CFURLRef *tool);
CFURLRef CreateURLToValidHelperToolInFolder(SInt16 domain, OSType folderType,
                                            CFStringRef subFolderName, CFStringRef toolName,
                                            CFURLRef templateTool);

#ifdef __cplusplus
}
#endif
