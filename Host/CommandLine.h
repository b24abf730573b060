// tidemark's command line, parsed without touching anything, so that a bad argument ends the
// program (status 2) before any file is read or written.
//
//   tidemark [--headless] [--verbose]
//   tidemark alarm add HH:MM [--days mon,tue,...] [--label TEXT]
//   tidemark alarm list
//   tidemark alarm remove ID
//   tidemark alarm on|off ID
//   tidemark alarm edit ID HH:MM [--days mon,tue,...] [--label TEXT]
//   tidemark timer add DURATION [--label TEXT]        DURATION: 90s, 25m, 1h30m
//   tidemark timer edit ID DURATION [--label TEXT]
//   tidemark timer start|stop ID
//   tidemark next
//
// An edit sets everything an add would, keeping the ID and whether the timer runs: days or a
// label left out are cleared. The window edits through the same commands, so both follow one set
// of rules.
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
struct EditAlarm {
    std::string id;
    AddAlarm alarm;
};
struct EditCountdown {
    std::string id;
    AddCountdown countdown;
};
// Starts a countdown timer from its full duration, or stops it.
struct SwitchCountdown {
    std::string id;
    bool on = false;
};

using Command = std::variant<RunApplication, ShowUsage, AddAlarm, ListAlarms, RemoveTimer, SwitchAlarm, AddCountdown, ShowNext,
                             EditAlarm, EditCountdown, SwitchCountdown>;

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
// What ParseDuration reads back: "1h30m", "25m", "90s" is "1m30s".
std::string DurationText(std::chrono::seconds duration);

}  // namespace tidemark
