/* Internals of the helper tool's main routine that its tests call directly. */
#pragma once

#include "MoreSecurityInternal.h"

#include <errno.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The error of a repair refused because the file at the tool's path is not the running executable
   (it was replaced, or something is mounted over it, after the tool started). */
enum { kRepairNotRunningExecutableErr = ESTALE };

/* The error of a repair refused because the file has another link (a name elsewhere that would
   keep a set-user-ID root copy alive after this one is replaced or removed). */
enum { kRepairLinkedElsewhereErr = EMLINK };

/* Makes the running executable, found at `pathToSelf`, owned by root and set-user-ID (mode 04555,
   group unchanged). The file is opened once and every check and change is made on that descriptor;
   when it is not the running executable nothing is changed and the result is
   kRepairNotRunningExecutableErr. Runs as the invoking user and raises the effective user to root
   only around fchown and fchmod. */
int RepairRunningExecutable(const char *pathToSelf);

#ifdef __cplusplus
}
#endif
