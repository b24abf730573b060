#include "TimerCommands.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <iomanip>
#include <sstream>

namespace tidemark {
namespace {

std::string DateText(Instant when, bool utc) {
    return FormatInstant(when, utc ? "%Y-%m-%d %H:%M UTC" : "%Y-%m-%d %H:%M %Z", utc);
}

std::string TimeText(const Timer &alarm) {
    char text[8];
    std::snprintf(text, sizeof text, "%02d:%02d", alarm.hour % 100, alarm.minute % 100);
    return text;
}

std::string NextIds(const std::vector<Timer> &timers) {
    long highest = 0;
    for (const Timer &timer : timers) {
        if (!timer.id.empty() && timer.id.size() < 10 && std::all_of(timer.id.begin(), timer.id.end(), [](unsigned char c) { return std::isdigit(c); })) {
            highest = std::max(highest, std::stol(timer.id));
        }
    }
    return std::to_string(highest + 1);
}

class Runner {
public:
    Runner(std::vector<Timer> &timers, Instant now, std::ostream &out, std::ostream &err)
        : timers_(timers), now_(now), out_(out), err_(err) {}

    // Each answers whether the timers changed; a usage failure sets status_.
    bool operator()(const AddAlarm &add) {
        Timer alarm;
        alarm.id = NextIds(timers_);
        alarm.hour = add.hour;
        alarm.minute = add.minute;
        alarm.days = add.days;
        alarm.label = add.label;
        alarm.on = true;
        timers_.push_back(alarm);
        out_ << "alarm " << alarm.id << " at " << TimeText(alarm) << " " << DaysText(alarm.days) << ", next "
             << DateText(*alarm.alarmDate(now_), false) << "\n";
        return true;
    }
    bool operator()(const AddCountdown &add) {
        Timer timer;
        timer.id = NextIds(timers_);
        timer.mode = TimerMode::Countdown;
        timer.duration = add.duration;
        timer.label = add.label;
        timer.endsAt = now_ + add.duration;
        timers_.push_back(timer);
        out_ << "timer " << timer.id << " rings at " << DateText(*timer.endsAt, false) << "\n";
        return true;
    }
    bool operator()(const ListAlarms &) {
        out_ << std::left << std::setw(5) << "ID" << std::setw(7) << "TIME" << std::setw(29) << "DAYS" << std::setw(5) << "ON"
             << std::setw(22) << "NEXT" << std::setw(22) << "NEXT (UTC)" << "LABEL\n";
        for (const Timer &alarm : timers_) {
            if (alarm.mode != TimerMode::Alarm) continue;
            const auto next = alarm.alarmDate(now_);
            out_ << std::setw(5) << alarm.id << std::setw(7) << TimeText(alarm) << std::setw(29) << DaysText(alarm.days)
                 << std::setw(5) << (alarm.on ? "on" : "off") << std::setw(22) << (next ? DateText(*next, false) : "-")
                 << std::setw(22) << (next ? DateText(*next, true) : "-") << alarm.label << "\n";
        }
        return false;
    }
    bool operator()(const RemoveTimer &remove) {
        const auto found = find(remove.id);
        if (found == timers_.end()) return false;
        timers_.erase(found);
        return true;
    }
    bool operator()(const SwitchAlarm &change) {
        Timer *alarm = findOf(change.id, TimerMode::Alarm);
        if (alarm == nullptr) return false;
        const bool changed = alarm->on != change.on;
        alarm->on = change.on;
        return changed;
    }
    bool operator()(const EditAlarm &edit) {
        Timer *alarm = findOf(edit.id, TimerMode::Alarm);
        if (alarm == nullptr) return false;
        const Timer before = *alarm;
        alarm->hour = edit.alarm.hour;
        alarm->minute = edit.alarm.minute;
        alarm->days = edit.alarm.days;
        alarm->label = edit.alarm.label;
        // A snooze belongs to the ring of the alarm as it was.
        if (*alarm != before) alarm->snoozedUntil.reset();
        out_ << "alarm " << alarm->id << " at " << TimeText(*alarm) << " " << DaysText(alarm->days);
        if (const auto next = alarm->on ? alarm->alarmDate(now_) : std::nullopt) out_ << ", next " << DateText(*next, false);
        out_ << (alarm->on ? "" : ", off") << "\n";
        return *alarm != before;
    }
    bool operator()(const EditCountdown &edit) {
        Timer *timer = findOf(edit.id, TimerMode::Countdown);
        if (timer == nullptr) return false;
        const Timer before = *timer;
        timer->label = edit.countdown.label;
        // A new duration starts a running countdown again; a new label alone does not.
        if (timer->duration != edit.countdown.duration && timer->endsAt) timer->endsAt = now_ + edit.countdown.duration;
        timer->duration = edit.countdown.duration;
        printCountdown(*timer);
        return *timer != before;
    }
    bool operator()(const SwitchCountdown &change) {
        Timer *timer = findOf(change.id, TimerMode::Countdown);
        if (timer == nullptr) return false;
        const Timer before = *timer;
        if (!change.on) {
            timer->endsAt.reset();
            timer->snoozedUntil.reset();
        } else if (!timer->endsAt) {
            timer->endsAt = now_ + timer->duration;
        }
        printCountdown(*timer);
        return *timer != before;
    }
    bool operator()(const ShowNext &) {
        if (const Timer *alarm = EarliestAlarm(timers_, now_)) {
            const Instant when = *alarm->alarmDate(now_);
            out_ << "next alarm: " << alarm->id << " " << (alarm->label.empty() ? "Alarm" : alarm->label) << " at "
                 << DateText(when, false) << " (" << DateText(when, true) << ")\n";
        } else {
            out_ << "next alarm: none\n";
        }
        return false;
    }
    template <typename Other>
    bool operator()(const Other &) {
        fail("not a timer command");
        return false;
    }

    int status() const { return status_; }

private:
    // The timer with `id` when it is of `mode`; else null, with the reason given.
    Timer *findOf(const std::string &id, TimerMode mode) {
        const auto found = find(id);
        if (found == timers_.end()) return nullptr;
        if (found->mode != mode) {
            fail(id + (mode == TimerMode::Alarm ? " is a countdown timer, not an alarm" : " is an alarm, not a countdown timer"));
            return nullptr;
        }
        return &*found;
    }
    void printCountdown(const Timer &timer) {
        out_ << "timer " << timer.id << " of " << DurationText(timer.duration);
        if (timer.endsAt) out_ << " rings at " << DateText(*timer.endsAt, false);
        out_ << (timer.endsAt ? "" : ", stopped") << "\n";
    }
    std::vector<Timer>::iterator find(const std::string &id) {
        const auto found = std::find_if(timers_.begin(), timers_.end(), [&](const Timer &timer) { return timer.id == id; });
        if (found == timers_.end()) fail("no alarm or timer with ID " + id);
        return found;
    }
    void fail(const std::string &message) {
        err_ << "tidemark: " << message << "\n";
        status_ = kUsageStatus;
    }

    std::vector<Timer> &timers_;
    Instant now_;
    std::ostream &out_, &err_;
    int status_ = 0;
};

}  // namespace

const Timer *EarliestAlarm(const std::vector<Timer> &timers, Instant now) {
    const Timer *earliest = nullptr;
    for (const Timer &timer : timers) {
        if (!timer.running() || timer.mode != TimerMode::Alarm) continue;
        const auto when = timer.alarmDate(now);
        if (when && *when > now && (!earliest || *when < *earliest->alarmDate(now))) earliest = &timer;
    }
    return earliest;
}

int RunTimerCommand(const Command &command, TimerStore &store, Instant now, std::ostream &out, std::ostream &err) {
    int status = 0;
    std::string error;
    const bool stored = store.update(
        [&](std::vector<Timer> &timers) {
            Runner runner(timers, now, out, err);
            const bool changed = std::visit(runner, command);
            status = runner.status();
            return changed && status == 0;
        },
        error);
    if (!stored) {
        err << "tidemark: " << error << "\n";
        return 1;
    }
    return status;
}

TimerCommandResult RunTimerWords(const std::vector<std::string> &words, TimerStore &store, Instant now) {
    TimerCommandResult result;
    const auto parsed = ParseCommandLine(words);
    if (const auto *usage = std::get_if<UsageError>(&parsed)) {
        result.status = kUsageStatus;
        result.error = usage->message;
        return result;
    }
    std::ostringstream out, err;
    result.status = RunTimerCommand(std::get<Command>(parsed), store, now, out, err);
    result.output = out.str();
    // The command line's messages, without its name and the end of the line.
    result.error = err.str();
    const std::string_view prefix = "tidemark: ";
    if (result.error.rfind(prefix, 0) == 0) result.error.erase(0, prefix.size());
    while (!result.error.empty() && result.error.back() == '\n') result.error.pop_back();
    return result;
}

}  // namespace tidemark
