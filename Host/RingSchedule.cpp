#include "RingSchedule.h"

#include <algorithm>

namespace tidemark {
namespace {

// Only the latest of the missed times counts, and an alarm rings at least weekly, so a long
// sleep is looked at over its last eight days only.
constexpr std::chrono::days kLookBack{8};

std::optional<Instant> Earliest(std::optional<Instant> a, std::optional<Instant> b) {
    if (!a) return b;
    if (!b) return a;
    return std::min(*a, *b);
}

// The latest time in (since, now] at which an alarm that is on rang; turns a one-time alarm off.
std::optional<Instant> TakeAlarmTime(Timer &alarm, Instant since, Instant now) {
    if (!alarm.on || since >= now) return std::nullopt;
    Instant ring = NextAlarmDate(alarm.hour, alarm.minute, alarm.days, since);
    if (ring > now) return std::nullopt;
    if (alarm.days == 0) {
        alarm.on = false;
        return ring;
    }
    std::optional<Instant> latest;
    for (ring = NextAlarmDate(alarm.hour, alarm.minute, alarm.days, std::max(since, now - kLookBack)); ring <= now;
         ring = NextAlarmDate(alarm.hour, alarm.minute, alarm.days, ring)) {
        latest = ring;
    }
    return latest;
}

}  // namespace

std::optional<Instant> Timer::alarmDate(Instant now) const {
    std::optional<Instant> next = snoozedUntil;
    if (mode == TimerMode::Alarm && on) next = Earliest(next, NextAlarmDate(hour, minute, days, now));
    if (mode == TimerMode::Countdown) next = Earliest(next, endsAt);
    return next;
}

DueTimers TakeDueTimers(std::vector<Timer> &timers, Instant since, Instant now) {
    DueTimers due;
    for (size_t index = 0; index < timers.size(); ++index) {
        Timer &timer = timers[index];
        std::optional<Instant> latest;
        auto take = [&](std::optional<Instant> &when) {
            if (!when || *when > now) return;
            latest = std::max(latest.value_or(*when), *when);
            when.reset();
            due.changed = true;
        };
        take(timer.snoozedUntil);
        if (timer.mode == TimerMode::Countdown) {
            take(timer.endsAt);
        } else if (auto alarm = TakeAlarmTime(timer, since, now)) {
            latest = std::max(latest.value_or(*alarm), *alarm);
            due.changed |= !timer.on;
        }
        if (latest) due.events.push_back({index, *latest, now - *latest > kLateLimit});
    }
    return due;
}

std::optional<Instant> NextRing(const std::vector<Timer> &timers, Instant after) {
    std::optional<Instant> next;
    for (const Timer &timer : timers) next = Earliest(next, timer.alarmDate(after));
    return next;
}

}  // namespace tidemark
