// The public scheduled-power-event calls: validation, privilege, and one locked change of the store
// followed by re-programming the RTC.
#include <IOKit/pwr_mgt/IOPMLib.h>

#include "IOKitConfig.h"
#include "PowerEvent.h"
#include "PowerEventPlist.h"
#include "PowerEventStore.h"
#include "RtcWakeAlarm.h"

#include <unistd.h>

#include <algorithm>
#include <new>

namespace wfs::iokit {
namespace {

// 10000-01-01T00:00:00Z: the property-list format has four-digit years.
constexpr CFAbsoluteTime kLatestDate = 253402300800.0 - 978307200.0;

IOReturn DecodeArguments(CFDateRef date, CFStringRef scheduler, CFStringRef type, PowerEvent &event) {
    if (date == nullptr || scheduler == nullptr || type == nullptr) return kIOReturnBadArgument;
    if (CFGetTypeID(date) != CFDateGetTypeID() || CFGetTypeID(scheduler) != CFStringGetTypeID() ||
        CFGetTypeID(type) != CFStringGetTypeID()) {
        return kIOReturnBadArgument;
    }
    event.time = CFDateGetAbsoluteTime(date);
    if (!CopyUTF8(scheduler, event.scheduler) || !IsValidScheduler(event.scheduler)) return kIOReturnBadArgument;
    if (!CopyUTF8(type, event.type) || !IsKnownEventType(event.type)) return kIOReturnBadArgument;
    return kIOReturnSuccess;
}

// Runs `change` on the pending events under the store's lock. When it succeeds the store is
// rewritten and the RTC alarm set to the earliest waking event; when it fails nothing is written.
template <typename Change>
IOReturn ChangeStore(Change &&change) {
    std::string storePath = StorePath();
    StoreLock lock;
    if (IOReturn result = StoreLock::Acquire(storePath, lock)) return result;
    std::vector<PowerEvent> events;
    if (IOReturn result = LoadEventsLocked(lock, storePath, events)) return result;
    DropPastEvents(events, CFAbsoluteTimeGetCurrent());
    if (IOReturn result = change(events)) return result;
    NormalizeEvents(events);
    if (IOReturn result = SaveEventsLocked(lock, storePath, events)) return result;

    // Still under the lock, so that two changes cannot leave the RTC with the older one's alarm.
    std::optional<CFAbsoluteTime> wake;
    if (const PowerEvent *earliest = EarliestWakingEvent(events)) wake = earliest->time;
    return ProgramWakeAlarm(SysfsRoot(), wake, CurrentAttributeWriter());
}

// The entry points are C functions: running out of memory is an answer, not an exception.
template <typename Call>
auto NoThrow(Call &&call, decltype(call()) onNoMemory) noexcept -> decltype(call()) {
    try {
        return call();
    } catch (const std::bad_alloc &) {
        return onNoMemory;
    }
}

}  // namespace
}  // namespace wfs::iokit

namespace wfs::iokit {
namespace {

IOReturn Schedule(CFDateRef time_to_wake, CFStringRef my_id, CFStringRef type) {
    PowerEvent event;
    if (IOReturn result = DecodeArguments(time_to_wake, my_id, type, event)) return result;
    if (!(event.time > CFAbsoluteTimeGetCurrent()) || !(event.time < kLatestDate)) return kIOReturnBadArgument;
    if (::geteuid() != 0) return kIOReturnNotPrivileged;
    return ChangeStore([&](std::vector<PowerEvent> &events) {
        if (std::find(events.begin(), events.end(), event) != events.end()) return kIOReturnSuccess;
        size_t mine = static_cast<size_t>(std::count_if(
            events.begin(), events.end(), [&](const PowerEvent &e) { return e.scheduler == event.scheduler; }));
        if (mine >= kMaxEventsPerScheduler) return kIOReturnBadArgument;
        events.push_back(event);
        return kIOReturnSuccess;
    });
}

IOReturn Cancel(CFDateRef time_to_wake, CFStringRef my_id, CFStringRef type) {
    PowerEvent event;
    if (IOReturn result = DecodeArguments(time_to_wake, my_id, type, event)) return result;
    if (::geteuid() != 0) return kIOReturnNotPrivileged;
    return ChangeStore([&](std::vector<PowerEvent> &events) {
        auto found = std::find(events.begin(), events.end(), event);
        if (found == events.end()) return kIOReturnNotFound;
        events.erase(found);
        return kIOReturnSuccess;
    });
}

CFArrayRef CopyEvents() {
    std::vector<PowerEvent> events;
    if (!ReadEventsUnlocked(StorePath(), events)) return nullptr;
    DropPastEvents(events, CFAbsoluteTimeGetCurrent());
    if (events.empty()) return nullptr;
    return CreateEventArray(events);
}

IOReturn Rearm() {
    if (::geteuid() != 0) return kIOReturnNotPrivileged;
    return ChangeStore([](std::vector<PowerEvent> &) { return kIOReturnSuccess; });
}

}  // namespace
}  // namespace wfs::iokit

using namespace wfs::iokit;

extern "C" IOReturn IOPMSchedulePowerEvent(CFDateRef time_to_wake, CFStringRef my_id, CFStringRef type) {
    return NoThrow([&] { return Schedule(time_to_wake, my_id, type); }, kIOReturnNoMemory);
}

extern "C" IOReturn IOPMCancelScheduledPowerEvent(CFDateRef time_to_wake, CFStringRef my_id, CFStringRef type) {
    return NoThrow([&] { return Cancel(time_to_wake, my_id, type); }, kIOReturnNoMemory);
}

extern "C" CFArrayRef IOPMCopyScheduledPowerEvents(void) { return NoThrow(CopyEvents, nullptr); }

extern "C" IOReturn IOPMRearmScheduledPowerEvents(void) { return NoThrow(Rearm, kIOReturnNoMemory); }
