// Where Foundation's own messages go (a defaults file moved aside, say). Part of this project's
// Foundation, not of the platform's API: one line on standard error, unless a handler is set, as
// the host's log facility does when it is loaded.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

namespace wfs::foundation {

enum class LogLevel { Warn, Error };
using LogHandler = void (*)(LogLevel level, CFStringRef message, int line, const char *file, const char *method);

// Installs `handler` (null: standard error again) and answers the one it replaces.
LogHandler SetLogHandler(LogHandler handler);
void Log(LogLevel level, CFStringRef message, int line, const char *file, const char *method);

}  // namespace wfs::foundation
