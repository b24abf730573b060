// An alarm two hours ahead for the tests that run the host: "HH:MM" in local time, as the program
// reads it, and when it rings.
#pragma once

#include <AlarmDates.h>

#include <chrono>
#include <cstdio>
#include <string>

#include <time.h>

namespace wfstest {

struct AlarmAhead {
    std::string hhmm;
    time_t ring;
};
inline AlarmAhead AlarmTwoHoursAhead() {
    const time_t in2h = ::time(nullptr) + 7200;
    struct tm local {};
    localtime_r(&in2h, &local);
    char hhmm[8];
    std::snprintf(hhmm, sizeof hhmm, "%02d:%02d", local.tm_hour, local.tm_min);
    const auto now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    return {hhmm, tidemark::NextAlarmDate(local.tm_hour, local.tm_min, 0, now).time_since_epoch().count()};
}

}  // namespace wfstest
