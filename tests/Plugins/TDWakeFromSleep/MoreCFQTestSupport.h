// Small helpers shared by the MoreCFQ tests.
#pragma once

#include "MoreCFQ.h"

#include <Support/CFRef.h>

#include <string>

namespace cfqtest {

using wfs::CFRef;

inline CFRef<CFStringRef> Str(const char *s)
{
    return CFRef<CFStringRef>(CFStringCreateWithCString(kCFAllocatorDefault, s, kCFStringEncodingUTF8));
}

inline CFRef<CFNumberRef> Num(long value)
{
    return CFRef<CFNumberRef>(CFNumberCreate(kCFAllocatorDefault, kCFNumberLongType, &value));
}

inline CFRef<CFMutableDictionaryRef> MutableDict()
{
    return CFRef<CFMutableDictionaryRef>(CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
}

// An immutable dictionary of one entry.
inline CFRef<CFDictionaryRef> Dict1(CFTypeRef key, CFTypeRef value)
{
    const void *keys[] = {key};
    const void *values[] = {value};
    return CFRef<CFDictionaryRef>(CFDictionaryCreate(kCFAllocatorDefault, keys, values, 1,
                                                     &kCFTypeDictionaryKeyCallBacks,
                                                     &kCFTypeDictionaryValueCallBacks));
}

inline CFRef<CFArrayRef> Array(std::initializer_list<CFTypeRef> items)
{
    return CFRef<CFArrayRef>(CFArrayCreate(kCFAllocatorDefault, const_cast<const void **>(items.begin()),
                                           static_cast<CFIndex>(items.size()), &kCFTypeArrayCallBacks));
}

inline long LongValue(CFTypeRef number)
{
    long value = 0;
    if (number == nullptr || CFGetTypeID(number) != CFNumberGetTypeID()) return -999999;
    CFNumberGetValue(static_cast<CFNumberRef>(number), kCFNumberLongType, &value);
    return value;
}

inline bool IsString(CFTypeRef value, const char *expected)
{
    if (value == nullptr || CFGetTypeID(value) != CFStringGetTypeID()) return false;
    CFRef<CFStringRef> want = Str(expected);
    return CFEqual(value, want.get());
}

// The regular expression that matches an assertion report for `expr` raised in `file`; the
// expression text is escaped here so that tests can write it as it appears in the source.
inline std::string AssertionPattern(const char *file, const std::string &expr)
{
    std::string escaped;
    for (char c : expr) {
        if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) escaped += '\\';
        escaped += c;
    }
    return std::string(file) + ":[0-9]+: failed assertion `" + escaped + "'";
}

}  // namespace cfqtest
