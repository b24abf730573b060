// What the host's tests share: a time zone for one test, instants written in UTC, timers, a log
// sink that keeps the lines, a command line in words, a file's inode and the timers file as it
// stands; with the support library's home, private buses and bounded wait.
#pragma once

#include <TestSupport.h>
#include <gmock/gmock.h>
#include <UserHome.h>
#include <PrivateBuses.h>
#include <CommandLine.h>
#include <HostLog.h>
#include <Timer.h>
#include <TimerCommands.h>
#include <TimerFile.h>

#include <sys/stat.h>

#include <chrono>
#include <ctime>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace hosttest {

using Home = wfstest::UserHome;
using wfstest::PrivateBuses;
using wfstest::WaitUntil;
using ::testing::HasSubstr;
using ::testing::StartsWith;

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
    tidemark::Timer alarm;
    alarm.id = "1";
    alarm.hour = hour, alarm.minute = minute, alarm.days = days, alarm.on = on;
    return alarm;
}

// A countdown timer that ends at `endsAt`.
inline tidemark::Timer Countdown(tidemark::Instant endsAt, const std::string &id = "1", const std::string &label = "") {
    tidemark::Timer countdown;
    countdown.id = id, countdown.mode = tidemark::TimerMode::Countdown, countdown.label = label;
    countdown.duration = std::chrono::minutes(25), countdown.endsAt = endsAt;
    return countdown;
}

inline void Quiet(tidemark::LogLevel, const std::string &) {}  // a log sink that drops every line

// The lines logged through sink(): warnings and errors, and the rest.
struct Logged {
    std::vector<std::string> warnings, infos;
    tidemark::LogSink sink() {
        using tidemark::LogLevel;
        return [this](LogLevel level, const std::string &line) { (level >= LogLevel::Warn ? warnings : infos).push_back(line); };
    }
};

inline std::vector<std::string> Words(const std::string &line) {
    std::istringstream in(line);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}

// A file written anew, even with the same bytes, has another inode.
inline ino_t Inode(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_ino;
}

// "1 alarm 07:30 mon,fri on Work", "2 timer 1500s running Tea": what the file holds.
inline std::vector<std::string> Stored(const tidemark::TimerFile &file) {
    tidemark::StoredTimers stored;
    std::string error;
    EXPECT_TRUE(file.load(stored, error)) << error;
    std::vector<std::string> lines;
    for (const tidemark::Timer &t : stored.timers) {
        char text[128];
        if (t.mode == tidemark::TimerMode::Alarm) {
            std::snprintf(text, sizeof text, "%s alarm %02d:%02d %s %s", t.id.c_str(), t.hour, t.minute,
                          tidemark::DaysText(t.days).c_str(), t.on ? "on" : "off");
        } else {
            std::snprintf(text, sizeof text, "%s timer %llds %s", t.id.c_str(), static_cast<long long>(t.duration.count()),
                          t.endsAt ? "running" : "stopped");
        }
        lines.push_back(text + (t.label.empty() ? "" : " " + t.label));
    }
    return lines;
}

}  // namespace hosttest
