/* Scheduled power events.

   Events are kept in a root-owned XML property list (by default
   /var/lib/wake-from-sleep/scheduled-power-events.plist, or the file named by the environment
   variable WFS_POWER_EVENT_STORE, which a set-user-ID process ignores). After every change the RTC
   wake alarm of the machine holds the earliest pending event of a waking type ("wake", "poweron",
   "wakepoweron"), or is disarmed when there is none. The RTC is the first one under
   /sys/class/rtc (or $WFS_SYSFS_ROOT/class/rtc) in natural name order that has a wakealarm
   attribute and whose device is wake-enabled.

   Results of the two changing calls:
     kIOReturnSuccess        stored (or removed) and the RTC alarm is right.
     kIOReturnBadArgument    a NULL or malformed argument, an unknown type, a scheduler identifier
                             that is not 1..255 bytes of UTF-8, a date not in the future (schedule),
                             or a 65th pending event of one scheduler; nothing changed.
     kIOReturnNotPrivileged  the effective user is not root; nothing changed.
     kIOReturnNotFound       (cancel) no such event; nothing changed.
     kIOReturnNoDevice       the change WAS stored, but a waking event is pending and the machine
                             has no usable RTC wake alarm (containers, CI, a disabled RTC).
     kIOReturnError          the change WAS stored, but the RTC did not take the alarm (a write
                             failed, or reading it back showed another time); or the store could
                             not be written, in which case nothing changed.
     kIOReturnNoMemory, kIOReturnNoResources, kIOReturnNoSpace
                             the store could not be read or written; nothing changed. */
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOReturn.h>
#include <IOKit/pwr_mgt/IOPMKeys.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Schedules an event of `type` at `time_to_wake` for the scheduler `my_id`. Scheduling an event
   that is already stored (same date, scheduler and type) succeeds and stores it once. Needs an
   effective user ID of 0. */
IOReturn IOPMSchedulePowerEvent(CFDateRef time_to_wake, CFStringRef my_id, CFStringRef type);

/* Removes the event with exactly this date (CFAbsoluteTime equality), scheduler and type. Needs an
   effective user ID of 0. */
IOReturn IOPMCancelScheduledPowerEvent(CFDateRef time_to_wake, CFStringRef my_id, CFStringRef type);

/* Answers the pending events (dates still ahead) as an array of dictionaries with the keys
   kIOPMPowerEventTimeKey, kIOPMPowerEventAppNameKey and kIOPMPowerEventTypeKey, sorted by date
   (then type, then scheduler), or NULL when there are none, as on the original platform. A store
   that is missing, unreadable or damaged also answers NULL. Any user may call it: the store is
   world-readable, and it is read without a lock because writers replace it by an atomic rename, so
   a reader always sees a whole old or a whole new store. The caller releases the array. */
CFArrayRef IOPMCopyScheduledPowerEvents(void);

/* Not a call of the original platform: re-arms the RTC wake alarm from the store (dropping events
   already past), for a boot-time service, since the RTC alarm does not survive every firmware's
   power cycle. Needs an effective user ID of 0. Answers like the calls above; with no waking event
   pending it disarms the alarm, and the lack of an RTC is then no error. */
IOReturn IOPMRearmScheduledPowerEvents(void);

#ifdef __cplusplus
}
#endif
