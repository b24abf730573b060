#include "CommandLine.h"

#include <algorithm>
#include <cctype>
#include <map>

namespace tidemark {

const char *const kDayNames[7] = {"mon", "tue", "wed", "thu", "fri", "sat", "sun"};

const char kUsage[] =
    "usage: tidemark [--headless] [--verbose]\n"
    "       tidemark alarm add HH:MM [--days mon,tue,...] [--label TEXT]\n"
    "       tidemark alarm list\n"
    "       tidemark alarm remove ID\n"
    "       tidemark alarm on|off ID\n"
    "       tidemark alarm edit ID HH:MM [--days mon,tue,...] [--label TEXT]\n"
    "       tidemark timer add DURATION [--label TEXT]   (90s, 25m, 1h30m)\n"
    "       tidemark timer edit ID DURATION [--label TEXT]\n"
    "       tidemark timer start|stop ID\n"
    "       tidemark next\n"
    "An edit clears the days or label it is not given.\n";

namespace {

constexpr size_t kMaxLabel = 200;

bool AllDigits(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

// The options after a command's operands: each known one at most once, each with a value.
std::variant<std::map<std::string, std::string>, UsageError> ParseOptions(const std::vector<std::string> &arguments, size_t from,
                                                                         std::initializer_list<std::string_view> known) {
    std::map<std::string, std::string> options;
    for (size_t i = from; i < arguments.size(); ++i) {
        std::string name = arguments[i], value;
        const size_t equals = name.find('=');
        const bool inlineValue = name.rfind("--", 0) == 0 && equals != std::string::npos;
        if (inlineValue) {
            value = name.substr(equals + 1);
            name.resize(equals);
        }
        if (std::find(known.begin(), known.end(), name) == known.end()) return UsageError{"unexpected argument \"" + arguments[i] + "\""};
        if (options.count(name)) return UsageError{name + " given twice"};
        if (!inlineValue) {
            if (i + 1 == arguments.size()) return UsageError{name + " needs a value"};
            value = arguments[++i];
        }
        options[name] = value;
    }
    return options;
}

std::optional<UsageError> CheckLabel(const std::string &label) {
    if (label.empty()) return UsageError{"the label is empty"};
    if (label.size() > kMaxLabel) return UsageError{"the label is longer than 200 bytes"};
    if (std::any_of(label.begin(), label.end(), [](unsigned char c) { return c < 0x20 || c == 0x7f; })) {
        return UsageError{"the label contains a control character"};
    }
    return std::nullopt;
}

std::optional<UsageError> CheckId(const std::string &id) {
    if (!AllDigits(id) || id.size() > 9) return UsageError{"bad ID \"" + id + "\": expected a number"};
    return std::nullopt;
}

// "HH:MM [--days ...] [--label ...]" from arguments[at] on, for alarm add and alarm edit.
std::variant<AddAlarm, UsageError> ParseAlarmFields(const std::vector<std::string> &arguments, size_t at, const std::string &verb) {
    if (arguments.size() <= at) return UsageError{"alarm " + verb + " needs a time, HH:MM"};
    const auto time = ParseTimeOfDay(arguments[at]);
    if (!time) return UsageError{"bad time \"" + arguments[at] + "\": expected HH:MM, 00:00 to 23:59"};
    auto options = ParseOptions(arguments, at + 1, {"--days", "--label"});
    if (auto *error = std::get_if<UsageError>(&options)) return *error;
    auto &given = std::get<0>(options);
    AddAlarm add{time->first, time->second, 0, ""};
    if (given.count("--days")) {
        const auto days = ParseDays(given["--days"]);
        if (!days) return UsageError{"bad days \"" + given["--days"] + "\": expected mon,tue,wed,thu,fri,sat,sun"};
        add.days = *days;
    }
    if (given.count("--label")) {
        if (auto error = CheckLabel(given["--label"])) return *error;
        add.label = given["--label"];
    }
    return add;
}

// "DURATION [--label ...]" from arguments[at] on, for timer add and timer edit.
std::variant<AddCountdown, UsageError> ParseCountdownFields(const std::vector<std::string> &arguments, size_t at,
                                                             const std::string &verb) {
    if (arguments.size() <= at) return UsageError{"timer " + verb + " needs a duration, such as 90s, 25m or 1h30m"};
    const auto duration = ParseDuration(arguments[at]);
    if (!duration) return UsageError{"bad duration \"" + arguments[at] + "\": expected such as 90s, 25m or 1h30m, up to 7 days"};
    auto options = ParseOptions(arguments, at + 1, {"--label"});
    if (auto *error = std::get_if<UsageError>(&options)) return *error;
    auto &given = std::get<0>(options);
    AddCountdown add{*duration, ""};
    if (given.count("--label")) {
        if (auto error = CheckLabel(given["--label"])) return *error;
        add.label = given["--label"];
    }
    return add;
}

template <typename Fields>
std::variant<Command, UsageError> Parsed(std::variant<Fields, UsageError> fields) {
    if (auto *error = std::get_if<UsageError>(&fields)) return *error;
    return std::get<Fields>(std::move(fields));
}

// "alarm edit ID ..." and "timer edit ID ...".
template <typename Edit, typename Fields>
std::variant<Command, UsageError> ParseEdit(const std::vector<std::string> &arguments, const std::string &noun,
                                            std::variant<Fields, UsageError> (*fields)(const std::vector<std::string> &, size_t,
                                                                                       const std::string &)) {
    if (arguments.size() < 3) return UsageError{noun + " edit needs an ID"};
    if (auto error = CheckId(arguments[2])) return *error;
    auto parsed = fields(arguments, 3, "edit");
    if (auto *error = std::get_if<UsageError>(&parsed)) return *error;
    return Edit{arguments[2], std::get<Fields>(std::move(parsed))};
}

// "timer start ID", "timer stop ID".
std::variant<Command, UsageError> ParseTimerSwitch(const std::vector<std::string> &arguments) {
    const std::string &verb = arguments[1];
    if (arguments.size() != 3) return UsageError{"timer " + verb + " needs exactly one ID"};
    if (auto error = CheckId(arguments[2])) return *error;
    return SwitchCountdown{arguments[2], verb == "start"};
}

// "alarm remove ID", "alarm on ID", "alarm off ID".
std::variant<Command, UsageError> ParseAlarmWithId(const std::vector<std::string> &arguments) {
    const std::string &verb = arguments[1];
    if (arguments.size() != 3) return UsageError{"alarm " + verb + " needs exactly one ID"};
    if (auto error = CheckId(arguments[2])) return *error;
    if (verb == "remove") return RemoveTimer{arguments[2]};
    return SwitchAlarm{arguments[2], verb == "on"};
}

}  // namespace

std::optional<std::pair<int, int>> ParseTimeOfDay(std::string_view text) {
    const size_t colon = text.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const std::string_view hours = text.substr(0, colon), minutes = text.substr(colon + 1);
    if (!AllDigits(hours) || hours.size() > 2 || !AllDigits(minutes) || minutes.size() != 2) return std::nullopt;
    const int hour = std::stoi(std::string(hours)), minute = std::stoi(std::string(minutes));
    if (hour > 23 || minute > 59) return std::nullopt;
    return std::make_pair(hour, minute);
}

std::optional<Weekdays> ParseDays(std::string_view text) {
    Weekdays days = 0;
    for (size_t start = 0;;) {
        const size_t comma = std::min(text.find(',', start), text.size());
        std::string name(text.substr(start, comma - start));
        for (char &c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const auto *found = std::find(std::begin(kDayNames), std::end(kDayNames), name);
        if (found == std::end(kDayNames)) return std::nullopt;
        const Weekdays bit = static_cast<Weekdays>(1u << (found - std::begin(kDayNames)));
        if (days & bit) return std::nullopt;
        days |= bit;
        if (comma == text.size()) return days;
        start = comma + 1;
    }
}

std::optional<std::chrono::seconds> ParseDuration(std::string_view text) {
    constexpr std::string_view kUnits = "hms";
    constexpr long kScale[] = {3600, 60, 1};
    long total = 0;
    size_t nextUnit = 0, i = 0;
    if (text.empty()) return std::nullopt;
    while (i < text.size()) {
        size_t digits = 0;
        long value = 0;
        for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i, ++digits) {
            if (digits == 7) return std::nullopt;  // far past any allowed length, and no overflow
            value = value * 10 + (text[i] - '0');
        }
        if (digits == 0 || i == text.size()) return std::nullopt;
        const size_t unit = kUnits.find(text[i++]);
        if (unit == std::string_view::npos || unit < nextUnit) return std::nullopt;
        nextUnit = unit + 1;
        total += value * kScale[unit];
    }
    if (total < 1 || total > 7 * 86400) return std::nullopt;
    return std::chrono::seconds(total);
}

std::string DaysText(Weekdays days) {
    if (days == 0) return "once";
    if ((days & kEveryDay) == kEveryDay) return "daily";
    std::string text;
    for (int day = 0; day < 7; ++day) {
        if (!(days & (1u << day))) continue;
        if (!text.empty()) text += ',';
        text += kDayNames[day];
    }
    return text;
}

std::string DurationText(std::chrono::seconds duration) {
    const long total = static_cast<long>(duration.count());
    std::string text;
    if (total >= 3600) text += std::to_string(total / 3600) + "h";
    if (total % 3600 >= 60) text += std::to_string(total % 3600 / 60) + "m";
    if (total % 60 != 0 || total == 0) text += std::to_string(total % 60) + "s";
    return text;
}

std::variant<Command, UsageError> ParseCommandLine(const std::vector<std::string> &arguments) {
    if (arguments.empty() || arguments[0].rfind("--", 0) == 0) {
        RunApplication run;
        for (const std::string &argument : arguments) {
            if (argument == "--headless") {
                run.headless = true;
            } else if (argument == "--verbose") {
                run.verbose = true;
            } else if (argument == "--help") {
                return ShowUsage{};
            } else {
                return UsageError{"unknown option \"" + argument + "\""};
            }
        }
        return run;
    }
    const std::string &noun = arguments[0];
    const std::string verb = arguments.size() > 1 ? arguments[1] : "";
    if (noun == "alarm") {
        if (verb == "add") return Parsed(ParseAlarmFields(arguments, 2, "add"));
        if (verb == "edit") return ParseEdit<EditAlarm>(arguments, "alarm", &ParseAlarmFields);
        if (verb == "list") {
            if (arguments.size() != 2) return UsageError{"alarm list takes no arguments"};
            return ListAlarms{};
        }
        if (verb == "remove" || verb == "on" || verb == "off") return ParseAlarmWithId(arguments);
        return UsageError{verb.empty() ? "alarm needs add, edit, list, remove, on or off" : "unknown alarm command \"" + verb + "\""};
    }
    if (noun == "timer") {
        if (verb == "add") return Parsed(ParseCountdownFields(arguments, 2, "add"));
        if (verb == "edit") return ParseEdit<EditCountdown>(arguments, "timer", &ParseCountdownFields);
        if (verb == "start" || verb == "stop") return ParseTimerSwitch(arguments);
        return UsageError{verb.empty() ? "timer needs add, edit, start or stop" : "unknown timer command \"" + verb + "\""};
    }
    if (noun == "next") {
        if (arguments.size() != 1) return UsageError{"next takes no arguments"};
        return ShowNext{};
    }
    return UsageError{"unknown command \"" + noun + "\""};
}

}  // namespace tidemark
