// What arrays and dictionaries share: applying the callbacks and describing values. Not installed.
#pragma once

#include "CFStringInternal.h"

namespace cf {

// The text for one value in a collection's description, through its copyDescription callback or,
// for the standard callbacks, CFCopyDescription.
inline std::string DescribeValue(const void *value, CFStringRef (*copyDescription)(const void *)) {
    if (copyDescription != nullptr) {
        CFStringRef text = copyDescription(value);
        if (text != nullptr) {
            std::string result = String(text, __FILE__, __LINE__, "description")->utf8();
            CFRelease(text);
            return result;
        }
    }
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%p", value);
    return buffer;
}

// Indents every line after the first, for nested collections.
inline std::string Indent(const std::string &text) {
    std::string out;
    for (char c : text) {
        out += c;
        if (c == '\n') out += "    ";
    }
    return out;
}

// Arrays and dictionaries with the CFType callbacks built from references the caller already owns:
// the new collection takes them over instead of retaining them (and the caller releasing them
// after), which is what the property-list reader does for every container it closes.
CFArrayRef CreateArrayTakingValues(const void *const *values, CFIndex count, bool isMutable);
// `pairs` holds `count` keys and values interleaved: key, value, key, value... NULL when a key
// repeats, and then the caller still owns every reference it passed.
CFDictionaryRef CreateDictionaryTakingPairs(const void *const *pairs, CFIndex count, bool isMutable);

inline void CheckCollectionRange(CFIndex count, CFRange range, const char *file, unsigned line) {
    if (range.location < 0 || range.length < 0 || range.location > count || range.length > count - range.location) {
        AssertionFailed(file, line, "range is within the collection");
    }
}

}  // namespace cf
