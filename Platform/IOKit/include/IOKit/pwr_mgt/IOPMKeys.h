/* Names used with scheduled power events. Like the platform's, they are C string literals: wrap
   them in CFSTR() to get a CFStringRef. */
#pragma once

/* Keys of each dictionary that IOPMCopyScheduledPowerEvents answers. */
#define kIOPMPowerEventTimeKey "time"           /* CFDate: when the event happens */
#define kIOPMPowerEventAppNameKey "scheduledby" /* CFString: the scheduler's identifier */
#define kIOPMPowerEventTypeKey "eventtype"      /* CFString: one of the types below */
/* Not a key of the original platform: CFNumber, the real user ID of whoever scheduled the event.
   Only that user, or root, may cancel it. */
#define kIOPMPowerEventOwnerUIDKey "owneruid"

/* Event types. The first three wake the machine (they arm the RTC wake alarm); the others are
   stored and listed but this system does not act on them itself. */
#define kIOPMAutoWake "wake"
#define kIOPMAutoPowerOn "poweron"
#define kIOPMAutoWakeOrPowerOn "wakepoweron"
#define kIOPMAutoSleep "sleep"
#define kIOPMAutoShutdown "shutdown"
#define kIOPMAutoRestart "restart"
