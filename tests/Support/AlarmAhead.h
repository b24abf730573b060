// An alarm two hours ahead for the tests that run the host: "HH:MM" in local time, as the program
// reads it, and when it rings.
#pragma once

#include <AlarmDates.h>

#include <chrono>
#include <string>

#include <time.h>

namespace wfstest {

struct AlarmAhead {
    std::string hhmm;
    time_t ring;
};
inline AlarmAhead AlarmTwoHoursAhead() {
    const auto now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    const std::string hhmm = tidemark::FormatInstant(now + std::chrono::hours(2), "%H:%M");
    return {hhmm, tidemark::NextAlarmDate(std::stoi(hhmm), std::stoi(hhmm.substr(3)), 0, now).time_since_epoch().count()};
}

}  // namespace wfstest
