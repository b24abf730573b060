// The Core Foundation values, file URLs and file references that the tests of every library build
// their inputs from, and read their results with.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <Support/CFRef.h>

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <initializer_list>
#include <string>

#if __has_include(<CoreServices/CoreServices.h>)
#include <CoreServices/CoreServices.h>
#endif

namespace wfstest {

// A string from UTF-8 bytes (NULL when they are not UTF-8).
inline wfs::CFRef<CFStringRef> Str(const std::string &utf8) {
    return wfs::CFRef<CFStringRef>(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8 *>(utf8.data()),
                                                           static_cast<CFIndex>(utf8.size()), kCFStringEncodingUTF8,
                                                           false));
}

// The UTF-8 bytes of a string; "(null)" for NULL or anything that is not a string.
inline std::string Utf8(CFTypeRef string) {
    if (string == nullptr || CFGetTypeID(string) != CFStringGetTypeID()) return "(null)";
    const auto s = static_cast<CFStringRef>(string);
    CFIndex used = 0;
    CFStringGetBytes(s, CFRangeMake(0, CFStringGetLength(s)), kCFStringEncodingUTF8, 0, false, nullptr, 0, &used);
    std::string out(static_cast<size_t>(used), '\0');
    CFStringGetBytes(s, CFRangeMake(0, CFStringGetLength(s)), kCFStringEncodingUTF8, 0, false,
                     reinterpret_cast<UInt8 *>(out.data()), used, nullptr);
    return out;
}

inline wfs::CFRef<CFNumberRef> Num(long long value) {
    return wfs::CFRef<CFNumberRef>(CFNumberCreate(nullptr, kCFNumberLongLongType, &value));
}

// The value of a number; -999999 for NULL or anything that is not a number.
inline long long NumberValue(CFTypeRef number) {
    long long value = -999999;
    if (number != nullptr && CFGetTypeID(number) == CFNumberGetTypeID()) {
        CFNumberGetValue(static_cast<CFNumberRef>(number), kCFNumberLongLongType, &value);
    }
    return value;
}

inline wfs::CFRef<CFArrayRef> Array(std::initializer_list<CFTypeRef> items) {
    return wfs::CFRef<CFArrayRef>(CFArrayCreate(nullptr, const_cast<const void **>(items.begin()),
                                                static_cast<CFIndex>(items.size()), &kCFTypeArrayCallBacks));
}

inline wfs::CFRef<CFMutableArrayRef> IntArray(std::initializer_list<int> values) {
    wfs::CFRef<CFMutableArrayRef> array(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
    for (int value : values) CFArrayAppendValue(array.get(), Num(value).get());
    return array;
}

// An immutable dictionary pairing keys[i] with values[i].
inline wfs::CFRef<CFDictionaryRef> Dict(std::initializer_list<CFTypeRef> keys, std::initializer_list<CFTypeRef> values) {
    return wfs::CFRef<CFDictionaryRef>(CFDictionaryCreate(
        nullptr, const_cast<const void **>(keys.begin()), const_cast<const void **>(values.begin()),
        static_cast<CFIndex>(keys.size()), &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
}

// An empty mutable dictionary that retains its keys and values.
inline wfs::CFRef<CFMutableDictionaryRef> MakeDictionary() {
    return wfs::CFRef<CFMutableDictionaryRef>(CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
}

inline wfs::CFRef<CFURLRef> FileURL(const std::string &path, bool isDirectory = false) {
    return wfs::CFRef<CFURLRef>(CFURLCreateFromFileSystemRepresentation(
        nullptr, reinterpret_cast<const UInt8 *>(path.data()), static_cast<CFIndex>(path.size()), isDirectory));
}

// The file-system path of a URL; "" for none.
inline std::string PathOf(CFURLRef url) {
    char path[PATH_MAX] = "";
    const bool made = url != nullptr &&
                      CFURLGetFileSystemRepresentation(url, true, reinterpret_cast<UInt8 *>(path), sizeof path);
    return made ? path : "";
}

#if __has_include(<CoreServices/CoreServices.h>)
inline FSRef RefOf(const std::string &path) {
    FSRef ref;
    EXPECT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8 *>(path.c_str()), &ref, nullptr), noErr) << path;
    return ref;
}
#endif

// A whole-second absolute time `seconds` from now.
inline CFAbsoluteTime SecondsFromNow(double seconds) { return std::floor(CFAbsoluteTimeGetCurrent()) + seconds; }

// The Unix time in whole seconds for `time`: what an RTC keeping UTC holds for it.
inline std::string UnixSecondsText(CFAbsoluteTime time) {
    return std::to_string(static_cast<long long>(std::floor(time + kCFAbsoluteTimeIntervalSince1970)));
}

}  // namespace wfstest
