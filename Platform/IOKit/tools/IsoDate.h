// ISO 8601 dates for wfs-pmset: what it prints, and what it accepts on its command line.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <string>

namespace wfs::pmset {

// Accepts "YYYY-MM-DDTHH:MM:SS", optionally with a fraction of a second (".25"), followed by "Z"
// or a zone offset ("+02:00", "-0530"). Years 0001..9999; no leap seconds. False for anything else.
bool ParseIsoDate(const char *text, CFAbsoluteTime &time);

// UTC, "YYYY-MM-DDTHH:MM:SSZ", with the shortest fraction that ParseIsoDate turns back into exactly
// the same CFAbsoluteTime, so that a listed date can be handed to "cancel" as printed.
std::string FormatIsoDate(CFAbsoluteTime time);

}  // namespace wfs::pmset
