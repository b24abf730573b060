/* The helper tool's command procedure: carries out one request for the power manager.

   Commands, under "CommandName":
     "GetPrivileges"       nothing to do; the tool's start-up has already made itself set-user-ID
                           root by the time a command runs. Result 0.
     "SchedulePowerEvent"  schedules an event of "Type" (string) at "Date" (date) for "Scheduler"
                           (string), owned by the user who started the tool.
     "CancelPowerEvent"    withdraws that user's event with the same three values (root's request
                           withdraws anyone's).

   Before a schedule or cancel touches the store, the tool cuts itself loose from its caller
   (IsolateFromCaller): its own session, root in every ID, normal limits and priority.

   Results:
     0 / an IOReturn       the power manager's answer, as an int (kIOReturnBadArgument for an
                           unknown type, a scheduler that is not 1..255 bytes, a date not ahead;
                           kIOReturnNoSpace when the user has 64 events or the store 1024;
                           kIOReturnNotFound when the event to cancel is not stored, and
                           kIOReturnNotPrivileged when it is another user's; kIOReturnBusy when
                           the store stayed locked for 3 seconds; ...).
     paramErr (-50)        no string "CommandName", an unknown command, or a schedule or cancel
                           request without a date "Date" or string "Scheduler" and "Type";
                           nothing was scheduled or cancelled.
     kIOReturnNotPrivileged  the tool could not become root (it is not set-user-ID root); nothing
                           was scheduled or cancelled.
     kIOReturnNotPermitted, kIOReturnNoResources
                           the tool could not leave its caller's session, or its caller left it
                           limits too low to finish a change (see CallerIsolation.h); nothing was
                           scheduled or cancelled.

   The response is left NULL: the dispatcher adds the result under ErrorNumberKey. */
#pragma once

#include "MoreSecurity.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A MoreSecCommandProcedure. Called with the effective user set to the invoking user; a schedule
   or cancel leaves the process root in every ID for the rest of its short life. */
int PowerEventCommandProcedure(AuthorizationRef auth, CFDictionaryRef request,
                               CFDictionaryRef *response);

#ifdef __cplusplus
}
#endif
