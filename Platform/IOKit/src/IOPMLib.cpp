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
#include <cerrno>
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

size_t CountOwnedBy(const std::vector<PowerEvent> &events, uid_t owner) {
    return static_cast<size_t>(
        std::count_if(events.begin(), events.end(), [owner](const PowerEvent &e) { return e.owner == owner; }));
}

IOReturn Schedule(CFDateRef time_to_wake, CFStringRef my_id, CFStringRef type, uid_t owner) {
    PowerEvent event;
    if (IOReturn result = DecodeArguments(time_to_wake, my_id, type, event)) return result;
    if (!(event.time > CFAbsoluteTimeGetCurrent()) || !(event.time < kLatestDate)) return kIOReturnBadArgument;
    if (::geteuid() != 0) return kIOReturnNotPrivileged;
    event.owner = owner;
    return ChangeStore([&](std::vector<PowerEvent> &events) {
        if (std::find(events.begin(), events.end(), event) != events.end()) return kIOReturnSuccess;
        if (CountOwnedBy(events, owner) >= kMaxEventsPerOwner || events.size() >= kMaxEvents) {
            return kIOReturnNoSpace;
        }
        events.push_back(event);
        return kIOReturnSuccess;
    });
}

// Root may withdraw anyone's event (all of them that match); any other user only their own.
IOReturn Cancel(CFDateRef time_to_wake, CFStringRef my_id, CFStringRef type, uid_t requester) {
    PowerEvent event;
    if (IOReturn result = DecodeArguments(time_to_wake, my_id, type, event)) return result;
    if (::geteuid() != 0) return kIOReturnNotPrivileged;
    return ChangeStore([&](std::vector<PowerEvent> &events) {
        const auto matches = [&](const PowerEvent &e) {
            return e.time == event.time && e.scheduler == event.scheduler && e.type == event.type;
        };
        const auto mayRemove = [&](const PowerEvent &e) { return matches(e) && (requester == 0 || e.owner == requester); };
        const size_t removed = std::erase_if(events, mayRemove);
        if (removed > 0) return kIOReturnSuccess;
        // Someone else's event: refusing says no more than the world-readable listing does.
        return std::any_of(events.begin(), events.end(), matches) ? kIOReturnNotPrivileged : kIOReturnNotFound;
    });
}

IOReturn ReadEvents(CFArrayRef *events) {
    *events = nullptr;
    std::vector<PowerEvent> pending;
    int error = ReadEventsUnlocked(StorePath(), pending);
    if (error == ENOENT) error = 0, pending.clear();
    if (error == EINVAL || error == EFBIG || error == ELOOP) return kIOReturnNotReadable;
    if (error != 0) return IOReturnFromErrno(error);
    DropPastEvents(pending, CFAbsoluteTimeGetCurrent());
    *events = CreateEventArray(pending);
    return *events != nullptr ? kIOReturnSuccess : kIOReturnNoMemory;
}

CFArrayRef CopyEvents() {
    CFArrayRef events = nullptr;
    if (ReadEvents(&events) != kIOReturnSuccess) return nullptr;
    if (CFArrayGetCount(events) == 0) {
        CFRelease(events);
        return nullptr;
    }
    return events;
}

IOReturn Rearm() {
    if (::geteuid() != 0) return kIOReturnNotPrivileged;
    return ChangeStore([](std::vector<PowerEvent> &) { return kIOReturnSuccess; });
}

}  // namespace
}  // namespace wfs::iokit

using namespace wfs::iokit;

extern "C" IOReturn IOPMSchedulePowerEvent(CFDateRef time_to_wake, CFStringRef my_id, CFStringRef type) {
    return NoThrow([&] { return Schedule(time_to_wake, my_id, type, ::getuid()); }, kIOReturnNoMemory);
}

extern "C" IOReturn IOPMCancelScheduledPowerEvent(CFDateRef time_to_wake, CFStringRef my_id, CFStringRef type) {
    return NoThrow([&] { return Cancel(time_to_wake, my_id, type, ::getuid()); }, kIOReturnNoMemory);
}

extern "C" IOReturn IOPMSchedulePowerEventForUser(CFDateRef time_to_wake, CFStringRef my_id, CFStringRef type,
                                                  uid_t owner) {
    return NoThrow([&] { return Schedule(time_to_wake, my_id, type, owner); }, kIOReturnNoMemory);
}

extern "C" IOReturn IOPMCancelScheduledPowerEventForUser(CFDateRef time_to_wake, CFStringRef my_id,
                                                         CFStringRef type, uid_t requester) {
    return NoThrow([&] { return Cancel(time_to_wake, my_id, type, requester); }, kIOReturnNoMemory);
}

extern "C" CFArrayRef IOPMCopyScheduledPowerEvents(void) { return NoThrow(CopyEvents, nullptr); }

extern "C" IOReturn IOPMReadScheduledPowerEvents(CFArrayRef *events) {
    if (events == nullptr) return kIOReturnBadArgument;
    *events = nullptr;
    return NoThrow([&] { return ReadEvents(events); }, kIOReturnNoMemory);
}

extern "C" IOReturn IOPMRearmScheduledPowerEvents(void) { return NoThrow(Rearm, kIOReturnNoMemory); }
