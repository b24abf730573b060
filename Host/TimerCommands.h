// The command-line commands that read or change the stored timers.
#pragma once

#include "CommandLine.h"
#include "TimerStore.h"

#include <ostream>

namespace tidemark {

// Runs one of AddAlarm, ListAlarms, RemoveTimer, SwitchAlarm, AddCountdown or ShowNext at `now`.
// Answers the exit status: 0, kUsageStatus for an ID that names no such timer (nothing is
// written then), 1 when the store failed.
int RunTimerCommand(const Command &command, TimerStore &store, Instant now, std::ostream &out, std::ostream &err);

// The alarm the wake-up plug-in would choose at `now`: the earliest next ring strictly after
// `now` among the running alarms.
const Timer *EarliestAlarm(const std::vector<Timer> &timers, Instant now);

}  // namespace tidemark
