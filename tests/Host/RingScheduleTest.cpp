// Which timers ring or are missed between two looks at the clock, and how they change.
#include "HostTestSupport.h"

#include <RingSchedule.h>

namespace hosttest {
namespace {

using tidemark::Timer;

Timer Snoozed(Timer timer, const char *until) {
    timer.snoozedUntil = Utc(until);
    return timer;
}

TEST(RingSchedule, RingsOrMissesWhatFellDueAndNextRingIsTheEarliestOfTheRunningTimers) {
    ZoneGuard zone("UTC");
    struct Case {
        const char *what;
        Timer timer;
        const char *since, *now;
        const char *due;  // nullptr: nothing due
        bool missed, runningAfter;
    };
    const Case cases[] = {
        {"one-time alarm on time", Alarm(7, 0), "2025-01-15 06:00", "2025-01-15 07:00", "2025-01-15 07:00", false, false},
        {"ten minutes late still rings", Alarm(7, 0), "2025-01-15 06:00", "2025-01-15 07:10", "2025-01-15 07:00", false, false},
        {"a second more is missed", Alarm(7, 0), "2025-01-15 06:00", "2025-01-15 07:10:01", "2025-01-15 07:00", true, false},
        {"not yet", Alarm(7, 0), "2025-01-15 06:00", "2025-01-15 06:59:59", nullptr, false, true},
        {"already rung before", Alarm(7, 0, tidemark::kEveryDay), "2025-01-15 07:00", "2025-01-15 08:00", nullptr, false, true},
        {"slept three days: the latest only", Alarm(7, 0, tidemark::kEveryDay), "2025-01-12 06:00", "2025-01-15 07:05",
         "2025-01-15 07:00", false, true},
        {"slept a month", Alarm(7, 0, 0x01), "2024-12-01 00:00", "2025-01-15 12:00", "2025-01-13 07:00", true, true},
        {"clock set back", Alarm(7, 0), "2025-01-15 08:00", "2025-01-15 06:00", nullptr, false, true},
        {"off", Alarm(7, 0, 0, false), "2025-01-15 06:00", "2025-01-15 07:00", nullptr, false, false},
        {"countdown ends", Countdown(Utc("2025-01-15 07:00")), "2025-01-15 06:59", "2025-01-15 07:00:01", "2025-01-15 07:00", false, false},
        {"countdown still running", Countdown(Utc("2025-01-15 07:00")), "2025-01-15 06:00", "2025-01-15 06:59", nullptr, false, true},
        // A countdown end is kept until it is taken, even from before the last look (the host was not running).
        {"countdown ended long ago", Countdown(Utc("2025-01-15 07:00")), "2025-01-15 07:30", "2025-01-15 07:31", "2025-01-15 07:00", true, false},
        {"snooze of a one-time alarm", Snoozed(Alarm(7, 0, 0, false), "2025-01-15 07:09"), "2025-01-15 07:00", "2025-01-15 07:09",
         "2025-01-15 07:09", false, false},
        {"snooze and the next day's ring together", Snoozed(Alarm(7, 0, tidemark::kEveryDay), "2025-01-14 07:09"), "2025-01-14 07:00",
         "2025-01-15 07:00", "2025-01-15 07:00", false, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<Timer> timers = {c.timer};
        const tidemark::DueTimers due = tidemark::TakeDueTimers(timers, Utc(c.since), Utc(c.now));
        ASSERT_EQ(due.events.size(), c.due == nullptr ? 0u : 1u);
        if (c.due != nullptr) {
            EXPECT_EQ(due.events[0].due, Utc(c.due));
            EXPECT_EQ(due.events[0].missed, c.missed);
        }
        EXPECT_EQ(timers[0].running(), c.runningAfter);
        EXPECT_EQ(due.changed, c.timer.running() != c.runningAfter || c.timer.snoozedUntil.has_value());
        // Taking again at the same moment finds nothing more.
        EXPECT_TRUE(tidemark::TakeDueTimers(timers, Utc(c.now), Utc(c.now)).events.empty());
    }

    // The next ring is the earliest of the running timers.
    const auto now = Utc("2025-01-15 06:00");
    std::vector<Timer> timers = {Alarm(7, 0), Alarm(6, 10, 0, false), Countdown(Utc("2025-01-15 06:30"))};
    EXPECT_EQ(tidemark::NextRing(timers, now), Utc("2025-01-15 06:30"));
    timers[2].endsAt = Utc("2025-01-15 05:00");  // ended unseen: due at once
    EXPECT_EQ(tidemark::NextRing(timers, now), Utc("2025-01-15 05:00"));
    timers[2].endsAt.reset();
    EXPECT_EQ(tidemark::NextRing(timers, now), Utc("2025-01-15 07:00"));
    timers[0].on = false;
    EXPECT_EQ(tidemark::NextRing(timers, now), std::nullopt);
}

}  // namespace
}  // namespace hosttest
