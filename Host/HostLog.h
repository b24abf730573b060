// The host's own log lines. They go through one sink so that the plug-in framework's log class can
// take them over later without touching the code that logs.
#pragma once

#include <functional>
#include <string>

namespace tidemark {

enum class LogLevel { Info, Warn, Error };

using LogSink = std::function<void(LogLevel level, const std::string &message)>;

// One line per message on standard error, "tidemark: warning: ..."; info lines only when verbose.
LogSink StandardErrorLog(bool verbose);

}  // namespace tidemark
