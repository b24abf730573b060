/* The helper tool's command procedure: carries out one request for the power manager.

   Commands, under "CommandName":
     "GetPrivileges"       nothing to do; the tool's start-up has already made itself set-user-ID
                           root by the time a command runs. Result 0.
     "SchedulePowerEvent"  schedules an event of "Type" (string) at "Date" (date) for "Scheduler"
                           (string) with IOPMSchedulePowerEvent.
     "CancelPowerEvent"    withdraws the event with the same three values with
                           IOPMCancelScheduledPowerEvent.

   Results:
     0 / an IOReturn       the power manager's answer, as an int (kIOReturnBadArgument for an
                           unknown type, a scheduler that is not 1..255 bytes, a date not ahead;
                           kIOReturnNotFound when the event to cancel is not stored; ...).
     paramErr (-50)        no string "CommandName", an unknown command, or a schedule or cancel
                           request without a date "Date" or string "Scheduler" and "Type";
                           nothing was scheduled or cancelled.
     kIOReturnNotPrivileged  the effective user could not be raised to root (the tool is not
                           set-user-ID root); nothing was scheduled or cancelled.

   The response is left NULL: the dispatcher adds the result under ErrorNumberKey. */
#pragma once

#include "MoreSecurity.h"

#ifdef __cplusplus
extern "C" {
#endif

/* A MoreSecCommandProcedure. Called with the effective user set to the invoking user; it is root
   only around the power manager's call, and the invoking user again when it returns. */
int PowerEventCommandProcedure(AuthorizationRef auth, CFDictionaryRef request,
                               CFDictionaryRef *response);

#ifdef __cplusplus
}
#endif
