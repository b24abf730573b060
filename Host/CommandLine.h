// tidemark's command line, parsed without touching anything, so that a bad argument ends the
// program (status 2) before any file is read or written.
//
//   tidemark [--headless] [--verbose]
//   tidemark alarm add HH:MM [--days mon,tue,...] [--label TEXT]
//   tidemark alarm list
//   tidemark alarm remove ID
//   tidemark alarm on|off ID
//   tidemark timer add DURATION [--label TEXT]        DURATION: 90s, 25m, 1h30m
//   tidemark next
#pragma once

#include "AlarmDates.h"

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace tidemark {

inline constexpr int kUsageStatus = 2;
extern const char kUsage[];
// The weekdays by their bit in Weekdays, Monday first, as the command line and the file name them.
extern const char *const kDayNames[7];

struct RunApplication {
    bool headless = false, verbose = false;
};
struct ShowUsage {};
struct AddAlarm {
    int hour = 0, minute = 0;
    Weekdays days = 0;
    std::string label;
};
struct ListAlarms {};
struct RemoveTimer {
    std::string id;
};
struct SwitchAlarm {
    std::string id;
    bool on = false;
};
struct AddCountdown {
    std::chrono::seconds duration{0};
    std::string label;
};
struct ShowNext {};

using Command = std::variant<RunApplication, ShowUsage, AddAlarm, ListAlarms, RemoveTimer, SwitchAlarm, AddCountdown, ShowNext>;

struct UsageError {
    std::string message;
};

// `arguments` are the program's, without its name.
std::variant<Command, UsageError> ParseCommandLine(const std::vector<std::string> &arguments);

// "7:30" or "07:30", 00:00 to 23:59.
std::optional<std::pair<int, int>> ParseTimeOfDay(std::string_view text);
// "mon,tue,sun" (any case), each day at most once.
std::optional<Weekdays> ParseDays(std::string_view text);
// Hours, minutes and seconds in that order, each at most once: "90s", "25m", "1h30m"; 1 s to 7 days.
std::optional<std::chrono::seconds> ParseDuration(std::string_view text);

// "mon,tue" for a set of days, "once" for none, "daily" for all.
std::string DaysText(Weekdays days);

}  // namespace tidemark
