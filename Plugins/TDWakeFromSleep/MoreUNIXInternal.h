// The two ways MoreGetExecutablePath finds the running executable, each
// callable on its own so that both can be exercised.  Not part of the module's
// interface.
#ifndef MORE_UNIX_INTERNAL_H
#define MORE_UNIX_INTERNAL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// The kernel's record of the running executable (/proc/self/exe).  Same
// results and size protocol as MoreGetExecutablePath; a positive result is the
// errno of the failing readlink or stat (ENOENT for a deleted executable).
int MoreGetExecutablePathFromProc(char *execPath, uint32_t *execPathSize);

// The name the executable was started with (AT_EXECFN of the auxiliary vector)
// canonicalised with realpath.  Same results and size protocol; ENOENT when
// the auxiliary vector has no such entry, realpath's errno when it fails.
int MoreGetExecutablePathFromAuxv(char *execPath, uint32_t *execPathSize);

#ifdef __cplusplus
}
#endif

#endif
