/* Routines of the MoreSecurity module that only the module and its tests call. */
#pragma once

#include "MoreSecurity.h"

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
