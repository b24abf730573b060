// Which timers ring, and when: the clock-free part of ringing, so that sleeping through an alarm,
// a changed system clock or a long-stopped host can be tried with any times.
#pragma once

#include "Timer.h"

#include <vector>

namespace tidemark {

// An alarm that comes this late (the machine slept, or the clock was set forward) still rings;
// a later one is reported as missed.
inline constexpr std::chrono::minutes kLateLimit{10};

struct RingEvent {
    size_t index;  // into the timers
    Instant due;   // the latest moment it was due
    bool missed;   // more than kLateLimit late
};

struct DueTimers {
    std::vector<RingEvent> events;  // in the order of the timers
    bool changed = false;           // some timer was turned off, stopped or had its snooze used up
};

// Takes every ring that fell due up to `now`: an alarm's times after `since` (the last time this
// was asked), and every countdown end and snooze not yet rung, however old. Each timer gives at
// most one event, for its latest due moment. Rung or missed, a one-time alarm turns off, a
// countdown stops and a snooze is used up.
DueTimers TakeDueTimers(std::vector<Timer> &timers, Instant since, Instant now);

// The first moment after `after` at which any of the timers rings; a countdown end or snooze
// already past counts as due at once.
std::optional<Instant> NextRing(const std::vector<Timer> &timers, Instant after);

}  // namespace tidemark
