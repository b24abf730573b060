// Assertions, string conversions, the user's folders and Foundation's own log line.
#include "FoundationInternal.h"

#include <Foundation/FoundationLog.h>
#include <Support/Eintr.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <pwd.h>
#include <unistd.h>
#include <vector>

namespace wfs::foundation {

void AssertionFailed(const char *file, unsigned line, const char *expr) {
    std::fprintf(stderr, "%s:%u: failed assertion `%s'\n", file, line, expr);
    std::abort();
}

std::optional<std::string> UTF8(CFStringRef string) {
    if (string == nullptr) return std::nullopt;
    const CFIndex length = CFStringGetLength(string);
    CFIndex bytes = 0;
    if (CFStringGetBytes(string, CFRangeMake(0, length), kCFStringEncodingUTF8, 0, false, nullptr, 0, &bytes) !=
        length) {
        return std::nullopt;
    }
    std::string utf8(static_cast<size_t>(bytes), '\0');
    CFStringGetBytes(string, CFRangeMake(0, length), kCFStringEncodingUTF8, 0, false,
                     reinterpret_cast<UInt8 *>(utf8.data()), bytes, nullptr);
    return utf8;
}

CFRef<CFStringRef> MakeString(const std::string &utf8) {
    return CFRef<CFStringRef>(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8 *>(utf8.data()),
                                                      static_cast<CFIndex>(utf8.size()), kCFStringEncodingUTF8, false));
}

namespace {

bool IsAbsolute(const char *value) { return value != nullptr && value[0] == '/'; }

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

}  // namespace

std::optional<std::string> HomeFolder() {
    const char *home = std::getenv("HOME");
    if (IsAbsolute(home)) return WithoutTrailingSlashes(home);
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    struct passwd entry;
    struct passwd *found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
        !IsAbsolute(found->pw_dir)) {
        return std::nullopt;
    }
    return WithoutTrailingSlashes(found->pw_dir);
}

std::optional<std::string> UserConfigFolder() {
    const char *config = std::getenv("XDG_CONFIG_HOME");
    if (IsAbsolute(config)) return WithoutTrailingSlashes(config);
    std::optional<std::string> home = HomeFolder();
    if (!home) return std::nullopt;
    return *home == "/" ? "/.config" : *home + "/.config";
}

namespace {

std::atomic<LogHandler> gLogHandler{nullptr};

// Without a handler: "<process>[<pid>]: <level>: <message>" as one write, so that lines of
// several processes sharing standard error do not interleave.
void WriteLine(LogLevel level, CFStringRef message) {
    std::string line = program_invocation_short_name;
    line += "[" + std::to_string(::getpid()) + "]: ";
    line += level == LogLevel::Warn ? "warn: " : "error: ";
    line += UTF8(message).value_or("(a message that is not text)");
    line += '\n';
    size_t done = 0;
    while (done < line.size()) {
        const ssize_t n = RetryOnEintr([&] { return ::write(STDERR_FILENO, line.data() + done, line.size() - done); });
        if (n <= 0) return;  // nowhere left to report to
        done += static_cast<size_t>(n);
    }
}

}  // namespace

LogHandler SetLogHandler(LogHandler handler) { return gLogHandler.exchange(handler); }

void Log(LogLevel level, CFStringRef message, int line, const char *file, const char *method) {
    if (LogHandler handler = gLogHandler.load()) {
        handler(level, message, line, file, method);
    } else {
        WriteLine(level, message);
    }
}

void LogFormat(int line, const char *file, const char *method, CFStringRef format, ...) {
    va_list arguments;
    va_start(arguments, format);
    CFRef<CFStringRef> message(CFStringCreateWithFormatAndArguments(nullptr, nullptr, format, arguments));
    va_end(arguments);
    Log(LogLevel::Warn, message ? message.get() : format, line, file, method);
}

}  // namespace wfs::foundation
