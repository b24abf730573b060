// When an alarm set to a time of day rings, in the zone of the process (TZ, else /etc/localtime).
//
// An alarm rings the first moment the local clock reaches its time. That settles the two days a
// year on which the clock does not simply run on:
// - When the clock jumps forward over the alarm's time (02:30 when 02:00 becomes 03:00), the
//   alarm rings at the jump, the first moment the clock shows a later time.
// - When the clock goes back and shows the alarm's time twice (02:30 when 03:00 becomes 02:00),
//   the alarm rings the first time only; a repeating alarm next rings on its next day.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

namespace tidemark {

using Instant = std::chrono::sys_seconds;

// The days of the week an alarm repeats on: bit 0 is Monday, bit 6 Sunday. None: it rings once.
using Weekdays = std::uint8_t;
inline constexpr Weekdays kEveryDay = 0x7f;

struct LocalDate {
    int year, month, day;  // month 1-12
};

// The first instant at which the local clock on `date` shows hour:minute, or has passed it.
Instant LocalTimeOnDate(LocalDate date, int hour, int minute);

// The first instant strictly after `after` at which an alarm at hour:minute rings, on one of
// `days` (on any day when `days` is 0).
Instant NextAlarmDate(int hour, int minute, Weekdays days, Instant after);

// `when` written with strftime's `format`, in the process's zone or in UTC.
std::string FormatInstant(Instant when, const char *format, bool utc = false);

}  // namespace tidemark
