// The object model shared by every Core Foundation type of this library. Not installed.
//
// Every CF object is a C++ object derived from __CFObject. A CF reference (CFTypeRef, CFStringRef,
// ...) points at that base subobject, which is the first and only base of each type, so the
// conversions between the public opaque pointers and the C++ types are plain pointer casts.
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>

// The library's fixed type IDs. CFTypeID 0 is never a valid type.
enum : CFTypeID {
    kCFTypeIDAllocator = 1,
    kCFTypeIDNull,
    kCFTypeIDString,
    kCFTypeIDNumber,
    kCFTypeIDBoolean,
    kCFTypeIDDate,
    kCFTypeIDData,
    kCFTypeIDArray,
    kCFTypeIDDictionary,
    kCFTypeIDURL,
    kCFTypeIDBundle,
};

struct __CFObject {
    explicit __CFObject(CFTypeID typeID) noexcept : typeID_(typeID) {}
    virtual ~__CFObject() = default;
    __CFObject(const __CFObject &) = delete;
    __CFObject &operator=(const __CFObject &) = delete;

    // Called by CFEqual only for two objects of the same type ID.
    virtual bool equal(const __CFObject &other) const { return this == &other; }
    virtual CFHashCode hash() const { return reinterpret_cast<CFHashCode>(this); }
    // A short human-readable form (CFCopyDescription, the %@ format directive).
    virtual std::string description() const;

    const CFTypeID typeID_;
    // Atomic so that references can be taken and dropped from several threads at once.
    std::atomic<CFIndex> retainCount_{1};
    // Immortal objects (CFSTR constants, kCFBooleanTrue, kCFNull, ...) ignore retain and release.
    bool immortal_ = false;
};

namespace cf {

// The report format of the library's caller-error checks, the same as the plug-in's assertions.
[[noreturn]] inline void AssertionFailed(const char *file, unsigned line, const char *expr) {
    std::fprintf(stderr, "%s:%u: failed assertion `%s'\n", file, line, expr);
    std::abort();
}

inline const __CFObject *Object(CFTypeRef cf) { return static_cast<const __CFObject *>(cf); }

// Casts a reference to its concrete type after checking the type ID; a wrong type is a caller error.
template <typename T>
const T *Cast(CFTypeRef cf, CFTypeID typeID, const char *file, unsigned line, const char *expr) {
    if (cf == nullptr || Object(cf)->typeID_ != typeID) AssertionFailed(file, line, expr);
    return static_cast<const T *>(Object(cf));
}

}  // namespace cf

#define CF_ASSERT(expr) ((expr) ? (void)0 : ::cf::AssertionFailed(__FILE__, __LINE__, #expr))
