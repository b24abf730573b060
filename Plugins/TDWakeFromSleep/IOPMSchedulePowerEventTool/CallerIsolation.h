/* Cutting the helper tool loose from the user who started it, before it changes the event store.

   A set-user-ID program is still its caller's process in many ways: the caller may signal it
   (same real user ID), stop it from its terminal, and chose its resource limits, nice value and
   scheduling class. Any of these could stop or kill the tool half-way through a change, with the
   store's lock held (every later change would wait) or the RTC alarm disarmed while events
   remain. So, once a request has been read and checked, the tool leaves the caller's session,
   becomes root in every user and group ID, and sets its limits, priority and scheduling to normal
   values of its own. */
#pragma once

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Does all of the above and answers 0 with `*invokingUser` set to the real user ID the tool was
   started with (the owner of what it is about to schedule). Otherwise:
     kIOReturnNotPrivileged  the tool is not set-user-ID root (its saved user ID is not 0), so it
                             cannot become root; nothing was changed.
     kIOReturnNotPermitted   the tool leads a process group of its caller's session, so it cannot
                             leave it (a normal start never makes it one).
     kIOReturnNoResources    a limit stays below what a change needs, because the caller lowered
                             its hard limit and the kernel does not let us raise it again.
   or another IOReturn for a call that failed. On failure the process may be left partly changed;
   the caller must then not go on to the store. */
int IsolateFromCaller(uid_t *invokingUser);

#ifdef __cplusplus
}
#endif
