// Runs a test in one time zone and puts the process's zone back afterwards.
#pragma once

#include <TestSupport.h>

#include <chrono>
#include <ctime>
#include <string>

namespace hosttest {

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

}  // namespace hosttest
