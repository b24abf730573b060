// Core Foundation values for the MoreCFQ tests.
#pragma once

#include "MoreCFQ.h"
#include <CFTestSupport.h>
#include <TestSupport.h>

#include <Support/CFRef.h>

namespace cfqtest {

using wfs::CFRef;

using wfstest::MakeDictionary;
using wfstest::Str;

inline CFRef<CFNumberRef> Num(long value) {
    return CFRef<CFNumberRef>(CFNumberCreate(kCFAllocatorDefault, kCFNumberLongType, &value));
}

// An immutable dictionary pairing keys[i] with values[i].
inline CFRef<CFDictionaryRef> Dict(std::initializer_list<CFTypeRef> keys, std::initializer_list<CFTypeRef> values) {
    return CFRef<CFDictionaryRef>(CFDictionaryCreate(
        kCFAllocatorDefault, const_cast<const void **>(keys.begin()), const_cast<const void **>(values.begin()),
        static_cast<CFIndex>(keys.size()), &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
}

inline CFRef<CFArrayRef> Array(std::initializer_list<CFTypeRef> items) {
    return CFRef<CFArrayRef>(CFArrayCreate(kCFAllocatorDefault, const_cast<const void **>(items.begin()),
                                           static_cast<CFIndex>(items.size()), &kCFTypeArrayCallBacks));
}

// The value of a number, or a sentinel for anything else.
inline long LongValue(CFTypeRef number) {
    long value = -999999;
    if (number != nullptr && CFGetTypeID(number) == CFNumberGetTypeID()) {
        CFNumberGetValue(static_cast<CFNumberRef>(number), kCFNumberLongType, &value);
    }
    return value;
}

}  // namespace cfqtest
