// The RTC wake alarm: finding a usable RTC under sysfs and programming its wakealarm attribute.
// Not installed.
//
// The kernel refuses (EBUSY) to set an alarm over one that is already armed, so every change writes
// "0" first. A plain file standing in for the attribute cannot refuse anything, so every write goes
// through an AttributeWriter: the real one opens, writes and closes; tests install one that
// behaves like the kernel (refusing a second alarm) to prove the disarm is there.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOReturn.h>

#include <optional>
#include <string>

namespace wfs::iokit {

// Writes `text` to the attribute file at `path`. Answers 0 or an errno value.
using AttributeWriter = int (*)(const char *path, const char *text);

int WriteAttribute(const char *path, const char *text);

// The writer the public calls use; answers the previous one. For tests only.
AttributeWriter SetAttributeWriterForTesting(AttributeWriter writer);
AttributeWriter CurrentAttributeWriter();

// The first RTC in <sysfsRoot>/class/rtc, in natural name order (rtc2 before rtc10), that has a
// wakealarm attribute and whose device's power/wakeup reads "enabled". Empty when there is none.
std::string FindWakeRtc(const std::string &sysfsRoot);

// How far the RTC's clock (`rtcSeconds`, its since_epoch) is ahead of the system clock. A firmware
// clock kept in local time differs by the zone offset, always a multiple of 15 minutes; a clock in
// UTC differs only by drift. So a difference of 10 minutes or less is drift and counts as 0, and a
// larger one is rounded to the nearest 15 minutes.
long long RtcClockOffset(long long rtcSeconds, long long systemSeconds);

// Makes the RTC alarm hold `wakeTime` (or disarms it when empty), in the RTC's own time base,
// whole seconds rounded down (waking a fraction of a second early is harmless, late is not), and
// reads the attribute back to check it.
//   kIOReturnSuccess      done (or nothing to arm and no RTC to disarm);
//   kIOReturnNoDevice     a time to arm but no usable RTC;
//   kIOReturnError (or the errno's counterpart)  a write failed or the read-back differs.
IOReturn ProgramWakeAlarm(const std::string &sysfsRoot, std::optional<CFAbsoluteTime> wakeTime,
                          AttributeWriter writer);

}  // namespace wfs::iokit
