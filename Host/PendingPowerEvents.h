// The power events scheduled now, as `tidemark next` shows them after the next alarm: what the
// wake-up plug-in has actually asked for, beside what it would choose.
#pragma once

#include <ostream>

namespace tidemark {

// One line per pending event (its time in local time and UTC, type, scheduler, owner), or "none".
// Schedulers and account names are other users' free text, shown with every character a terminal
// would act on escaped. Answers false, with a line on `err`, when the store cannot be read.
bool PrintPendingPowerEvents(std::ostream &out, std::ostream &err);

}  // namespace tidemark
