// When alarms ring, in Berlin's zone, on ordinary days and on both days the clock changes in 2025:
// 30 March, 02:00 CET becomes 03:00 CEST (01:00 UTC); 26 October, 03:00 CEST becomes 02:00 CET
// (01:00 UTC).
#include "HostTestSupport.h"

#include <AlarmDates.h>

namespace hosttest {
namespace {

using tidemark::NextAlarmDate;
using tidemark::Weekdays;

constexpr Weekdays kMonToFri = 0x1f, kSunday = 0x40;

TEST(AlarmDates, NextRingInLocalTimeAcrossClockChanges) {
    ZoneGuard zone("Europe/Berlin");
    struct Case {
        const char *what;
        int hour, minute;
        Weekdays days;
        const char *after, *expected;  // UTC
    };
    const Case cases[] = {
        {"later today", 7, 30, 0, "2025-01-15 06:00", "2025-01-15 06:30"},
        {"already past today", 7, 30, 0, "2025-01-15 07:00", "2025-01-16 06:30"},
        {"exactly now is not ahead", 7, 30, 0, "2025-01-15 06:30", "2025-01-16 06:30"},
        {"one second before", 7, 30, 0, "2025-01-15 06:29:59", "2025-01-15 06:30"},
        {"over the weekend", 7, 0, kMonToFri, "2025-01-17 07:00", "2025-01-20 06:00"},
        {"a week ahead", 7, 0, kSunday, "2025-01-19 08:00", "2025-01-26 06:00"},
        {"summer time starts overnight", 7, 30, 0, "2025-03-29 07:00", "2025-03-30 05:30"},
        {"02:30 does not exist: rings at the jump", 2, 30, 0, "2025-03-29 12:00", "2025-03-30 01:00"},
        {"and the next day as usual", 2, 30, 0, "2025-03-30 01:00", "2025-03-31 00:30"},
        {"03:00 is the jump itself", 3, 0, 0, "2025-03-29 12:00", "2025-03-30 01:00"},
        {"summer time ends overnight", 7, 30, 0, "2025-10-25 06:00", "2025-10-26 06:30"},
        {"02:30 happens twice: the first", 2, 30, 0, "2025-10-25 12:00", "2025-10-26 00:30"},
        {"and not the second", 2, 30, 0, "2025-10-26 00:30", "2025-10-27 01:30"},
        {"Sundays only, on the change", 2, 30, kSunday, "2025-10-20 00:00", "2025-10-26 00:30"},
        {"midnight", 0, 0, 0, "2025-10-25 21:59", "2025-10-25 22:00"},
    };
    for (const Case &c : cases) EXPECT_EQ(NextAlarmDate(c.hour, c.minute, c.days, Utc(c.after)), Utc(c.expected)) << c.what;
}

}  // namespace
}  // namespace hosttest
