// Core Foundation values the tests of every library above Core Foundation build their inputs from.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <Support/CFRef.h>

#include <cmath>
#include <string>

namespace wfstest {

// A string from UTF-8 bytes (NULL when they are not UTF-8).
inline wfs::CFRef<CFStringRef> Str(const std::string &utf8) {
    return wfs::CFRef<CFStringRef>(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8 *>(utf8.data()),
                                                           static_cast<CFIndex>(utf8.size()), kCFStringEncodingUTF8,
                                                           false));
}

// An empty mutable dictionary that retains its keys and values.
inline wfs::CFRef<CFMutableDictionaryRef> MakeDictionary() {
    return wfs::CFRef<CFMutableDictionaryRef>(CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
}

// A whole-second absolute time `seconds` from now.
inline CFAbsoluteTime SecondsFromNow(double seconds) { return std::floor(CFAbsoluteTimeGetCurrent()) + seconds; }

// The Unix time in whole seconds for `time`: what an RTC keeping UTC holds for it.
inline std::string UnixSecondsText(CFAbsoluteTime time) {
    return std::to_string(static_cast<long long>(std::floor(time + kCFAbsoluteTimeIntervalSince1970)));
}

}  // namespace wfstest
