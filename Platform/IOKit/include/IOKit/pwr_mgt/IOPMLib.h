/* Scheduled power events.

   Events are kept in a root-owned XML property list (by default
   /var/lib/wake-from-sleep/scheduled-power-events.plist, or the file named by the environment
   variable WFS_POWER_EVENT_STORE, which a set-user-ID process ignores). After every change the RTC
   wake alarm of the machine holds the earliest pending event of a waking type ("wake", "poweron",
   "wakepoweron"), or is disarmed when there is none. The RTC is the first one under
   /sys/class/rtc (or $WFS_SYSFS_ROOT/class/rtc) in natural name order that has a wakealarm
   attribute and whose device is wake-enabled.

   Every event records its owner, the real user ID of whoever scheduled it. Only that user, or
   root, may cancel it. Each owner may have at most 64 pending events, and the store holds at most
   1024 in all, so that no user can grow it past what it can read back.

   Results of the two changing calls:
     kIOReturnSuccess        stored (or removed) and the RTC alarm is right.
     kIOReturnBadArgument    a NULL or malformed argument, an unknown type, a scheduler identifier
                             that is not 1..255 bytes of UTF-8, or a date not in the future
                             (schedule); nothing changed.
     kIOReturnNoSpace        (schedule) the owner already has 64 pending events, or the store
                             holds 1024; nothing changed. Also: no space left on the disk.
     kIOReturnNotPrivileged  the effective user is not root, or (cancel) the event belongs to
                             another user; nothing changed.
     kIOReturnNotFound       (cancel) no such event; nothing changed.
     kIOReturnBusy           another change held the store's lock for 3 seconds; nothing changed.
     kIOReturnNoDevice       the change WAS stored, but a waking event is pending and the machine
                             has no usable RTC wake alarm (containers, CI, a disabled RTC).
     kIOReturnError          the change WAS stored, but the RTC did not take the alarm (a write
                             failed, or reading it back showed another time); or the store could
                             not be written, in which case nothing changed.
     kIOReturnNoMemory, kIOReturnNoResources, kIOReturnIOError, ...
                             the store could not be read or written; nothing changed. Running out
                             of memory or descriptors never counts as a damaged store: only a file
                             whose bytes are not a store is moved aside (to
                             "<store>.corrupt-<UTC time>"), and then the change goes on as if
                             the store were empty. */
#pragma once

#include <sys/types.h>

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOReturn.h>
#include <IOKit/pwr_mgt/IOPMKeys.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Schedules an event of `type` at `time_to_wake` for the scheduler `my_id`, owned by the calling
   process's real user. Scheduling an event that this owner already has (same date, scheduler and
   type) succeeds and stores it once. Needs an effective user ID of 0. */
IOReturn IOPMSchedulePowerEvent(CFDateRef time_to_wake, CFStringRef my_id, CFStringRef type);

/* Removes the event with exactly this date (CFAbsoluteTime equality), scheduler and type that the
   calling process's real user owns; for real user root, every such event, whoever owns it. Needs
   an effective user ID of 0. */
IOReturn IOPMCancelScheduledPowerEvent(CFDateRef time_to_wake, CFStringRef my_id, CFStringRef type);

/* Not calls of the original platform: the two calls above on behalf of the user `owner` (or
   `requester`), for a privileged program that serves other users and no longer runs with their
   real user ID. Needs an effective user ID of 0. */
IOReturn IOPMSchedulePowerEventForUser(CFDateRef time_to_wake, CFStringRef my_id, CFStringRef type,
                                       uid_t owner);
IOReturn IOPMCancelScheduledPowerEventForUser(CFDateRef time_to_wake, CFStringRef my_id, CFStringRef type,
                                              uid_t requester);

/* Answers the pending events (dates still ahead) as an array of dictionaries with the keys
   kIOPMPowerEventTimeKey, kIOPMPowerEventAppNameKey, kIOPMPowerEventTypeKey and
   kIOPMPowerEventOwnerUIDKey, sorted by date (then type, scheduler and owner), or NULL when there
   are none, as on the original platform. A store that is missing, unreadable or damaged also
   answers NULL. Any user may call it: the store is world-readable, and it is read without a lock
   because writers replace it by an atomic rename, so a reader always sees a whole old or a whole
   new store. The caller releases the array. */
CFArrayRef IOPMCopyScheduledPowerEvents(void);

/* Not a call of the original platform: the same list, for callers that must tell "no events" from
   "the store cannot be read". kIOReturnSuccess with `*events` an array, empty when none are
   pending (a missing store has none); kIOReturnNotReadable when the file at the store's path is
   not a store (damaged, too large, not a regular file); kIOReturnNoMemory and the like when it
   could not be read this time. `*events` is NULL on every failure; the caller releases it. */
IOReturn IOPMReadScheduledPowerEvents(CFArrayRef *events);

/* Not a call of the original platform: re-arms the RTC wake alarm from the store (dropping events
   already past), for a boot-time service, since the RTC alarm does not survive every firmware's
   power cycle. Needs an effective user ID of 0. Answers like the calls above; with no waking event
   pending it disarms the alarm, and the lack of an RTC is then no error. */
IOReturn IOPMRearmScheduledPowerEvents(void);

#ifdef __cplusplus
}
#endif
