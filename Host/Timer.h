// Tidemark's timers: alarms (mode 1), which ring at a time of day, once or on chosen weekdays, and
// countdown timers (mode 0), which ring when their duration has run out.
#pragma once

#include "AlarmDates.h"

#include <optional>
#include <string>

namespace tidemark {

enum class TimerMode : int { Countdown = 0, Alarm = 1 };

struct Timer {
    std::string id;
    TimerMode mode = TimerMode::Alarm;
    std::string label;

    // An alarm: its time of day, the weekdays it repeats on (none: once), and whether it is on.
    int hour = 0, minute = 0;
    Weekdays days = 0;
    bool on = false;

    // A countdown timer: its duration, and while it counts down, the moment it ends.
    std::chrono::seconds duration{0};
    std::optional<Instant> endsAt;

    // Snoozed from a ringing notification: rings once more at this moment.
    std::optional<Instant> snoozedUntil;

    // "On" for an alarm, "counting down" for a countdown timer; a pending snooze counts as either.
    bool running() const { return snoozedUntil || (mode == TimerMode::Alarm ? on : endsAt.has_value()); }

    // The next moment this timer rings after `now`, if it is running.
    std::optional<Instant> alarmDate(Instant now) const;

    bool operator==(const Timer &) const = default;
};

}  // namespace tidemark
