// The host's log facility: one line per call on standard error, and a journal entry.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <functional>
#include <string>

enum class PLLogLevel { Info, Warn, Error, Assert };

// One logged line, as a capture sees it.
struct PLLogRecord {
    PLLogLevel level;
    int priority;         // the journal's PRIORITY: info 6, warn 4, error 3, assert 2
    std::string message;  // "assertion failed: <message>" for a failed assertion
    int lineNumber;
    std::string fileName;
    std::string methodName;
    std::string line;  // "tidemark[<pid>]: <level>: <message> (<method>, <file>:<line>)"
};

// Each call takes the message, the source line, the source file ("Plugins/X/Y") and the method
// ("-[Class selector:]"), and returns; a failed assertion is logged, and its caller goes on.
class PLLog {
public:
    static void info(CFStringRef message, int lineNumber, const char *fileName, const char *methodName);
    static void warn(CFStringRef message, int lineNumber, const char *fileName, const char *methodName);
    static void error(CFStringRef message, int lineNumber, const char *fileName, const char *methodName);
    // Named with an underscore: `assert` is the C library's macro.
    static void assert_(bool condition, CFStringRef message, int lineNumber, const char *fileName,
                        const char *methodName);

    // Whether info lines are written; callers ask before they build one. Off unless the host turns
    // it on, or TIDEMARK_LOG=info is in the environment when it is first asked.
    static bool isInfoEnabled();
    static void setInfoEnabled(bool enabled);

    // Hands every line to `capture` instead of standard error and the journal (an empty capture
    // writes them again); answers the capture it replaces.
    using Capture = std::function<void(const PLLogRecord &)>;
    static Capture setCaptureForTesting(Capture capture);
};
