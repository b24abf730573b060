// The host's timers as plug-ins see them: NSApp's value for "timers". Each answer is a snapshot
// taken when it is asked for, so a plug-in reading it repeatedly in one pass gets the same answers
// even if a timer rings meanwhile.
#pragma once

#include "AlarmClock.h"

#include <Plinth/PLApplication.h>

namespace tidemark {

// A source for NSApplication::setTimersSource. `clock` must outlive the source's use: the host
// clears the source before the clock goes.
NSApplication::TimersSource TimersOf(const AlarmClock &clock);

}  // namespace tidemark
