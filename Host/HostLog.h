// The host's own log lines. Every part of the host logs through one sink, which the program points
// at the plug-in framework's log class (PLLog: standard error and the journal) and tests point at a
// list. Each line carries the place that logged it, taken by the call itself.
#pragma once

#include <functional>
#include <source_location>
#include <string>
#include <type_traits>

namespace tidemark {

// Notice: what a user sees at start without asking for more (the plug-ins loaded, whether logind
// is there); Info: only with --verbose.
enum class LogLevel { Info, Notice, Warn, Error };

class LogSink {
public:
    using Writer = std::function<void(LogLevel level, const std::string &message, const std::source_location &where)>;

    LogSink() = default;
    LogSink(Writer writer) : writer_(std::move(writer)) {}
    // A writer that does not care where a line comes from.
    template <typename F, typename = std::enable_if_t<std::is_invocable_v<F &, LogLevel, const std::string &> &&
                                                      !std::is_same_v<std::remove_cvref_t<F>, LogSink>>>
    LogSink(F write)
        : writer_([write = std::move(write)](LogLevel level, const std::string &message, const std::source_location &) mutable {
              write(level, message);
          }) {}

    void operator()(LogLevel level, const std::string &message,
                    const std::source_location &where = std::source_location::current()) const {
        if (writer_) writer_(level, message, where);
    }
    explicit operator bool() const { return static_cast<bool>(writer_); }

private:
    Writer writer_;
};

// Lines through PLLog, named by source file ("Host/AlarmClock") and function; notices go to
// standard output as "tidemark: <message>", where a user who started the program looks.
LogSink PlinthLog();

}  // namespace tidemark
