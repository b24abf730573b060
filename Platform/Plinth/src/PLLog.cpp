// Log lines on standard error and in the journal, or handed to a test's capture.
#include <Plinth/PLLog.h>

#include <Foundation/FoundationLog.h>
#include <Support/Eintr.h>

// Our callers pass their own source location; the library's macros would put ours in instead.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <vector>

namespace {

std::mutex gCaptureMutex;
PLLog::Capture gCapture;

// -1 until first asked: the environment is read then, not at load time, so the host can set it.
std::atomic<int> gInfoEnabled{-1};

const char *LevelName(PLLogLevel level) {
    switch (level) {
    case PLLogLevel::Info: return "info";
    case PLLogLevel::Warn: return "warn";
    case PLLogLevel::Error: return "error";
    case PLLogLevel::Assert: return "assert";
    }
    return "error";
}

int Priority(PLLogLevel level) {
    switch (level) {
    case PLLogLevel::Info: return 6;    // LOG_INFO
    case PLLogLevel::Warn: return 4;    // LOG_WARNING
    case PLLogLevel::Error: return 3;   // LOG_ERR
    case PLLogLevel::Assert: return 2;  // LOG_CRIT
    }
    return 3;
}

std::string Text(CFStringRef message) {
    if (message == nullptr) return "(null)";
    const CFIndex length = CFStringGetLength(message);
    CFIndex bytes = 0;
    // Characters that do not convert (unpaired surrogates) become '?'.
    CFStringGetBytes(message, CFRangeMake(0, length), kCFStringEncodingUTF8, '?', false, nullptr, 0, &bytes);
    std::string text(static_cast<size_t>(bytes), '\0');
    CFStringGetBytes(message, CFRangeMake(0, length), kCFStringEncodingUTF8, '?', false,
                     reinterpret_cast<UInt8 *>(text.data()), bytes, nullptr);
    return text;
}

void WriteToStandardError(const std::string &line) {
    const std::string out = line + "\n";
    size_t done = 0;
    // One write for the whole line where it fits, so lines of processes sharing the stream do not
    // interleave; a short write is continued.
    while (done < out.size()) {
        const ssize_t n = wfs::RetryOnEintr([&] { return ::write(STDERR_FILENO, out.data() + done, out.size() - done); });
        if (n <= 0) return;  // nowhere left to report to
        done += static_cast<size_t>(n);
    }
}

void WriteToJournal(const PLLogRecord &record) {
    const std::string fields[] = {
        "MESSAGE=" + record.message,
        "PRIORITY=" + std::to_string(record.priority),
        "CODE_FILE=" + record.fileName,
        "CODE_LINE=" + std::to_string(record.lineNumber),
        "CODE_FUNC=" + record.methodName,
        "SYSLOG_IDENTIFIER=tidemark",
    };
    struct iovec iov[std::size(fields)];
    for (size_t i = 0; i < std::size(fields); ++i) {
        iov[i].iov_base = const_cast<char *>(fields[i].data());
        iov[i].iov_len = fields[i].size();
    }
    // Without a journal (a container, a test) the entry is simply not kept; the line on standard
    // error still is.
    (void)sd_journal_sendv(iov, static_cast<int>(std::size(fields)));
}

void Emit(PLLogLevel level, std::string message, int lineNumber, const char *fileName, const char *methodName) {
    PLLogRecord record{level,      Priority(level), std::move(message), lineNumber, fileName ? fileName : "",
                       methodName ? methodName : "", ""};
    record.line = "tidemark[" + std::to_string(::getpid()) + "]: " + LevelName(level) + ": " + record.message + " (" +
                  record.methodName + ", " + record.fileName + ":" + std::to_string(lineNumber) + ")";
    PLLog::Capture capture;
    {
        std::lock_guard<std::mutex> lock(gCaptureMutex);
        capture = gCapture;
    }
    if (capture) return capture(record);
    WriteToStandardError(record.line);
    WriteToJournal(record);
}

// Foundation's own messages (a damaged defaults file moved aside) go to the same places.
void LogFromFoundation(wfs::foundation::LogLevel level, CFStringRef message, int line, const char *file,
                       const char *method) {
    Emit(level == wfs::foundation::LogLevel::Warn ? PLLogLevel::Warn : PLLogLevel::Error, Text(message), line, file,
         method);
}

[[maybe_unused]] const bool gFoundationLogAdopted = (wfs::foundation::SetLogHandler(&LogFromFoundation), true);

}  // namespace

void PLLog::info(CFStringRef message, int lineNumber, const char *fileName, const char *methodName) {
    if (isInfoEnabled()) Emit(PLLogLevel::Info, Text(message), lineNumber, fileName, methodName);
}

void PLLog::warn(CFStringRef message, int lineNumber, const char *fileName, const char *methodName) {
    Emit(PLLogLevel::Warn, Text(message), lineNumber, fileName, methodName);
}

void PLLog::error(CFStringRef message, int lineNumber, const char *fileName, const char *methodName) {
    Emit(PLLogLevel::Error, Text(message), lineNumber, fileName, methodName);
}

void PLLog::assert_(bool condition, CFStringRef message, int lineNumber, const char *fileName, const char *methodName) {
    if (!condition) Emit(PLLogLevel::Assert, "assertion failed: " + Text(message), lineNumber, fileName, methodName);
}

bool PLLog::isInfoEnabled() {
    int enabled = gInfoEnabled.load();
    if (enabled < 0) {
        const char *setting = std::getenv("TIDEMARK_LOG");
        enabled = setting != nullptr && std::strcmp(setting, "info") == 0;
        int unset = -1;
        // A host that decided in the meantime wins.
        if (!gInfoEnabled.compare_exchange_strong(unset, enabled)) enabled = unset;
    }
    return enabled == 1;
}

void PLLog::setInfoEnabled(bool enabled) { gInfoEnabled = enabled ? 1 : 0; }

PLLog::Capture PLLog::setCaptureForTesting(Capture capture) {
    std::lock_guard<std::mutex> lock(gCaptureMutex);
    std::swap(gCapture, capture);
    return capture;
}
