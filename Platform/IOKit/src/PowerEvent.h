// One scheduled power event as the store and the public calls handle it. Not installed.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace wfs::iokit {

struct PowerEvent {
    CFAbsoluteTime time = 0;
    std::string scheduler;  // UTF-8, 1..kMaxSchedulerBytes bytes
    std::string type;       // one of the six known types
    uid_t owner = 0;        // the real user ID of whoever scheduled it

    bool operator==(const PowerEvent &) const = default;
};

inline constexpr size_t kMaxSchedulerBytes = 255;
// The scheduler is free text that any user chooses, so limits count users, not schedulers: one
// user can fill only their own share, and the whole store stays far below what the reader accepts
// (kMaxStoreBytes), so that a full store always reads back.
inline constexpr size_t kMaxEventsPerOwner = 64;
inline constexpr size_t kMaxEvents = 1024;

bool IsKnownEventType(std::string_view type);
// "wake", "poweron" and "wakepoweron" need the machine up at their time; the others do not.
bool IsWakingEventType(std::string_view type);
bool IsValidScheduler(std::string_view scheduler);

// Date first, so the list reads in time order; type, scheduler and owner break ties
// deterministically.
bool EventLess(const PowerEvent &a, const PowerEvent &b);
// Sorts and removes exact duplicates.
void NormalizeEvents(std::vector<PowerEvent> &events);
// Removes events at or before `now`.
void DropPastEvents(std::vector<PowerEvent> &events, CFAbsoluteTime now);
// The earliest event of a waking type, or nullptr. `events` must be sorted.
const PowerEvent *EarliestWakingEvent(const std::vector<PowerEvent> &events);

// Converts a CF string to UTF-8; false for a string that has no UTF-8 form (a lone surrogate).
bool CopyUTF8(CFStringRef string, std::string &out);

}  // namespace wfs::iokit
