#include "HostLog.h"

#include <Plinth/PLLog.h>
#include <Support/CFRef.h>

#include <cstdio>
#include <string_view>

namespace tidemark {
namespace {

// "Host/AlarmClock" from the compiler's full path of Host/AlarmClock.cpp, as the plug-ins name
// their files.
std::string SourceFile(std::string_view path) {
    const size_t host = path.rfind("/Host/");
    path.remove_prefix(host == std::string_view::npos ? path.rfind('/') + 1 : host + 1);
    return std::string(path.substr(0, path.rfind('.')));
}

// "AlarmClock::arm" from "void tidemark::AlarmClock::arm()": the name without its return type,
// parameters or namespace.
std::string FunctionName(std::string_view signature) {
    signature = signature.substr(0, signature.find('('));
    const size_t space = signature.rfind(' ');
    if (space != std::string_view::npos) signature.remove_prefix(space + 1);
    if (signature.starts_with("tidemark::")) signature.remove_prefix(10);
    return std::string(signature);
}

}  // namespace

LogSink PlinthLog() {
    return LogSink([](LogLevel level, const std::string &message, const std::source_location &where) {
        if (level == LogLevel::Notice) {
            // Standard output is a pipe or a file as often as a terminal: each line goes out whole
            // at once.
            std::fprintf(stdout, "tidemark: %s\n", message.c_str());
            std::fflush(stdout);
            return;
        }
        wfs::CFRef<CFStringRef> text(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8 *>(message.data()),
                                                             static_cast<CFIndex>(message.size()), kCFStringEncodingUTF8, false));
        const CFStringRef line = text ? text.get() : CFSTR("(a log line that is not UTF-8)");
        const std::string file = SourceFile(where.file_name()), function = FunctionName(where.function_name());
        const int number = static_cast<int>(where.line());
        switch (level) {
        case LogLevel::Info: PLLog::info(line, number, file.c_str(), function.c_str()); break;
        case LogLevel::Warn: PLLog::warn(line, number, file.c_str(), function.c_str()); break;
        default: PLLog::error(line, number, file.c_str(), function.c_str()); break;
        }
    });
}

}  // namespace tidemark
