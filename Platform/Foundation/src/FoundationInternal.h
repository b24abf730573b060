// Helpers shared by Foundation's sources. Not installed.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <Support/CFRef.h>

#include <optional>
#include <string>

namespace wfs::foundation {

// Caller errors stop the process with the report every library of this project prints.
[[noreturn]] void AssertionFailed(const char *file, unsigned line, const char *expr);
#define FOUNDATION_ASSERT(expr) \
    ((expr) ? (void)0 : ::wfs::foundation::AssertionFailed(__FILE__, __LINE__, #expr))

// The UTF-8 bytes of a string; nothing for null or a string that does not convert.
std::optional<std::string> UTF8(CFStringRef string);
// A string of UTF-8 bytes; null when they are not UTF-8.
CFRef<CFStringRef> MakeString(const std::string &utf8);

// The user's home folder: $HOME when it is absolute, else the password database's entry.
std::optional<std::string> HomeFolder();
// ${XDG_CONFIG_HOME:-$HOME/.config}; an XDG variable that is not an absolute path is ignored.
std::optional<std::string> UserConfigFolder();

// "Log" at the warn level, formatted like CFStringCreateWithFormat.
void LogFormat(int line, const char *file, const char *method, CFStringRef format, ...);

}  // namespace wfs::foundation
