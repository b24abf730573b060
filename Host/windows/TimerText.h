// How the windows show a timer: its time or duration, its days, and when it next rings, in local
// time. The words are the command line's, so that what a person reads in the window is what they
// would type.
#pragma once

#include "Timer.h"

#include <QIcon>
#include <QString>

#include <vector>

namespace tidemark {

// "07:30" for an alarm, "25m" for a countdown timer.
QString WhenText(const Timer &timer);
// "mon,fri", "daily", "once"; empty for a countdown timer.
QString RepeatText(const Timer &timer);
// "Mon 2024-05-06 07:30" (with seconds for a countdown's end); "off" or "stopped" when it is not
// running.
QString NextRingText(const Timer &timer, Instant now);
// The tray's tooltip: the next alarm, or that none is set.
QString NextAlarmText(const std::vector<Timer> &timers, Instant now);

// Tidemark's image: the icon theme's org.tidemark.Tidemark where the desktop has it installed,
// else the one built into the program.
QIcon ApplicationIcon();

}  // namespace tidemark
