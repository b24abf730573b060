// Strings, URLs and paths for the URL and bundle tests; folders and files come from the shared
// TestSupport.h.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <Support/CFRef.h>

#include <CFTestSupport.h>
#include <TestSupport.h>

#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>

namespace wfs::test {

using namespace wfstest;

// The UTF-8 bytes of a string, or nothing for NULL.
inline std::optional<std::string> Utf8(CFStringRef string) {
    if (string == nullptr) return std::nullopt;
    CFIndex length = CFStringGetLength(string);
    CFIndex needed = 0;
    CFStringGetBytes(string, CFRangeMake(0, length), kCFStringEncodingUTF8, 0, false, nullptr, 0, &needed);
    std::string out(static_cast<size_t>(needed), '\0');
    CFStringGetBytes(string, CFRangeMake(0, length), kCFStringEncodingUTF8, 0, false,
                     reinterpret_cast<UInt8 *>(out.data()), needed, &needed);
    return out;
}

inline CFRef<CFURLRef> PathURL(const std::string &path, bool isDirectory) {
    return CFRef<CFURLRef>(CFURLCreateFromFileSystemRepresentation(
        nullptr, reinterpret_cast<const UInt8 *>(path.data()), static_cast<CFIndex>(path.size()), isDirectory));
}

// The file-system path of a URL, or nothing.
inline std::optional<std::string> PathOf(CFURLRef url) {
    if (url == nullptr) return std::nullopt;
    UInt8 buffer[PATH_MAX];
    if (!CFURLGetFileSystemRepresentation(url, true, buffer, sizeof buffer)) return std::nullopt;
    return std::string(reinterpret_cast<char *>(buffer));
}

}  // namespace wfs::test
