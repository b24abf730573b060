// The command-line commands that read or change the stored timers.
#pragma once

#include "CommandLine.h"
#include "TimerStore.h"

#include <ostream>

namespace tidemark {

// Runs one of the timer commands (adding, listing, editing, switching, removing; ShowNext) at `now`.
// Answers the exit status: 0, kUsageStatus for an ID that names no such timer (nothing is
// written then), 1 when the store failed.
int RunTimerCommand(const Command &command, TimerStore &store, Instant now, std::ostream &out, std::ostream &err);

// A timer command given as the words of a command line (the window builds them from what was
// typed), parsed and run under the same rules: the exit status, what the command printed, and
// the reason it was refused, without the program's name. Nothing is written unless the status is 0.
struct TimerCommandResult {
    int status = 0;
    std::string output, error;
};
TimerCommandResult RunTimerWords(const std::vector<std::string> &words, TimerStore &store, Instant now);

// The alarm the wake-up plug-in would choose at `now`: the earliest next ring strictly after
// `now` among the running alarms.
const Timer *EarliestAlarm(const std::vector<Timer> &timers, Instant now);

}  // namespace tidemark
