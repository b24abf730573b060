#include "HostLog.h"

#include <cstdio>

namespace tidemark {

LogSink StandardErrorLog(bool verbose) {
    return [verbose](LogLevel level, const std::string &message) {
        if (level == LogLevel::Info && !verbose) return;
        const char *prefix = level == LogLevel::Info ? "" : level == LogLevel::Warn ? "warning: " : "error: ";
        // One fprintf per line: stderr is unbuffered, and a single call keeps the line whole.
        std::fprintf(stderr, "tidemark: %s%s\n", prefix, message.c_str());
    };
}

}  // namespace tidemark
