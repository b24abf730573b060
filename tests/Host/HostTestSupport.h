// What the host's unit tests share: a time zone for one test, instants written in UTC, and timers.
#pragma once

#include <TestSupport.h>
#include <Timer.h>

#include <chrono>
#include <ctime>
#include <string>

namespace hosttest {

// Runs a test in one time zone and puts the process's zone back afterwards.
class ZoneGuard {
public:
    explicit ZoneGuard(const std::string &zone) {
        env_.set("TZ", zone);
        ::tzset();
    }

private:
    // Members go in reverse order: the old TZ is put back first, then read again.
    struct ReadZone {
        ~ReadZone() { ::tzset(); }
    } readZone_;
    wfstest::EnvGuard env_;
};

// "2025-03-30 01:00" (or with ":ss") in UTC.
inline std::chrono::sys_seconds Utc(const std::string &text) {
    struct tm parts {};
    const char *end = ::strptime(text.c_str(), "%Y-%m-%d %H:%M", &parts);
    if (end != nullptr && *end == ':') parts.tm_sec = std::atoi(end + 1);
    return std::chrono::sys_seconds(std::chrono::seconds(::timegm(&parts)));
}

// A one-time alarm at hour:minute, or on `days`.
inline tidemark::Timer Alarm(int hour, int minute, tidemark::Weekdays days = 0, bool on = true) {
    return {.id = "1", .hour = hour, .minute = minute, .days = days, .on = on};
}

// A countdown timer that ends at `endsAt`.
inline tidemark::Timer Countdown(tidemark::Instant endsAt, const std::string &id = "1", const std::string &label = "") {
    return {.id = id, .mode = tidemark::TimerMode::Countdown, .label = label, .duration = std::chrono::minutes(25), .endsAt = endsAt};
}

}  // namespace hosttest
