#include "AlarmDates.h"

#include <algorithm>
#include <cassert>
#include <ctime>
#include <optional>

namespace tidemark {
namespace {

// How far local time is ahead of UTC at `t`, in seconds.
long OffsetAt(time_t t) {
    struct tm local {};
    localtime_r(&t, &local);
    return local.tm_gmtoff;
}

}  // namespace

Instant LocalTimeOnDate(LocalDate date, int hour, int minute) {
    // The wall-clock reading as a count of seconds, as if the zone were UTC.
    struct tm wall {};
    wall.tm_year = date.year - 1900;
    wall.tm_mon = date.month - 1;
    wall.tm_mday = date.day;
    wall.tm_hour = hour;
    wall.tm_min = minute;
    const time_t reading = timegm(&wall);

    // The reading happens at `reading - offset` for whichever offset is in force then. Zones
    // change their offset at most once within a day or so, so the offsets a day either side
    // are the only candidates.
    const long offsets[] = {OffsetAt(reading - 86400), OffsetAt(reading + 86400)};
    std::optional<time_t> first;
    for (long offset : offsets) {
        const time_t t = reading - offset;
        if (OffsetAt(t) == offset) first = first ? std::min(*first, t) : t;
    }
    if (first) return Instant(std::chrono::seconds(*first));

    // No instant shows this reading: the clock jumps over it. Ring at the jump, found by bisection
    // between the reading under the new offset (still before the jump) and under the old one.
    time_t before = reading - std::max(offsets[0], offsets[1]);
    time_t after = reading - std::min(offsets[0], offsets[1]);
    const long old = OffsetAt(before);
    while (after - before > 1) {
        const time_t middle = before + (after - before) / 2;
        (OffsetAt(middle) == old ? before : after) = middle;
    }
    return Instant(std::chrono::seconds(after));
}

Instant NextAlarmDate(int hour, int minute, Weekdays days, Instant after) {
    const time_t from = after.time_since_epoch().count();
    struct tm today {};
    localtime_r(&from, &today);
    // Today and the eight days after it hold the next ring for any set of days.
    for (int ahead = 0; ahead <= 8; ++ahead) {
        struct tm day {};
        day.tm_year = today.tm_year;
        day.tm_mon = today.tm_mon;
        day.tm_mday = today.tm_mday + ahead;
        day.tm_hour = 12;
        const time_t noon = timegm(&day);  // normalises the day of the month into a real date
        gmtime_r(&noon, &day);
        const int weekday = (day.tm_wday + 6) % 7;  // Monday first
        if (days != 0 && (days & (1u << weekday)) == 0) continue;
        const Instant ring = LocalTimeOnDate({day.tm_year + 1900, day.tm_mon + 1, day.tm_mday}, hour, minute);
        if (ring > after) return ring;
    }
    assert(!"an alarm time that never comes");
    return after + std::chrono::days(7);
}

std::string FormatInstant(Instant when, const char *format, bool utc) {
    const time_t t = when.time_since_epoch().count();
    struct tm parts {};
    utc ? gmtime_r(&t, &parts) : localtime_r(&t, &parts);
    char text[128];
    return strftime(text, sizeof text, format, &parts) > 0 ? text : "";
}

}  // namespace tidemark
