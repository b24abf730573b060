// Numbers and booleans.
#include "CFInternal.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

using Int128 = __int128;

namespace {

constexpr double kTwoPow127 = 170141183460469231731687303715884105728.0;

bool IsFloatType(CFNumberType type) { return type == kCFNumberFloat32Type || type == kCFNumberFloat64Type; }

// The fixed-size type that a C type maps to; 0 for an unknown type.
CFNumberType CanonicalType(CFIndex type) {
    switch (type) {
        case kCFNumberSInt8Type:
        case kCFNumberCharType: return kCFNumberSInt8Type;
        case kCFNumberSInt16Type:
        case kCFNumberShortType: return kCFNumberSInt16Type;
        case kCFNumberSInt32Type:
        case kCFNumberIntType: return kCFNumberSInt32Type;
        case kCFNumberSInt64Type:
        case kCFNumberLongType:
        case kCFNumberLongLongType:
        case kCFNumberCFIndexType:
        case kCFNumberNSIntegerType: return kCFNumberSInt64Type;
        case kCFNumberFloat32Type:
        case kCFNumberFloatType: return kCFNumberFloat32Type;
        case kCFNumberFloat64Type:
        case kCFNumberDoubleType:
        case kCFNumberCGFloatType: return kCFNumberFloat64Type;
        case kCFNumberSInt128Type: return kCFNumberSInt128Type;
        default: return static_cast<CFNumberType>(0);
    }
}

CFIndex ByteSize(CFNumberType canonical) {
    switch (static_cast<CFIndex>(canonical)) {
        case kCFNumberSInt8Type: return 1;
        case kCFNumberSInt16Type: return 2;
        case kCFNumberSInt32Type:
        case kCFNumberFloat32Type: return 4;
        case kCFNumberSInt64Type:
        case kCFNumberFloat64Type: return 8;
        default: return 16;
    }
}

// Exact comparison of an integer with a double (NaN below everything).
int CompareIntDouble(Int128 i, double d) {
    if (std::isnan(d)) return 1;
    if (d >= kTwoPow127) return -1;
    if (d < -kTwoPow127) return 1;
    double whole = std::trunc(d);
    Int128 t = static_cast<Int128>(whole);
    if (i != t) return i < t ? -1 : 1;
    double fraction = d - whole;
    if (fraction > 0) return -1;
    if (fraction < 0) return 1;
    return 0;
}

UInt64 Mix(UInt64 x) {
    x ^= x >> 33;
    x *= 0xff51afd7ed558ccdull;
    x ^= x >> 33;
    return x;
}

}  // namespace

struct __CFNumber final : __CFObject {
    __CFNumber(CFNumberType type, Int128 integer) noexcept
        : __CFObject(kCFTypeIDNumber), type_(type), integer_(integer) {}
    __CFNumber(CFNumberType type, double real) noexcept : __CFObject(kCFTypeIDNumber), type_(type), real_(real) {}

    bool isFloat() const { return IsFloatType(type_); }

    // <0, 0, >0 for this below, equal to, above `other`.
    int compare(const __CFNumber &other) const {
        if (!isFloat() && !other.isFloat()) return integer_ < other.integer_ ? -1 : integer_ > other.integer_;
        if (!isFloat()) return CompareIntDouble(integer_, other.real_);
        if (!other.isFloat()) return -CompareIntDouble(other.integer_, real_);
        bool nanA = std::isnan(real_), nanB = std::isnan(other.real_);
        if (nanA || nanB) return nanA == nanB ? 0 : (nanA ? -1 : 1);
        return real_ < other.real_ ? -1 : real_ > other.real_;
    }

    bool equal(const __CFObject &other) const override {
        return compare(static_cast<const __CFNumber &>(other)) == 0;
    }

    // Equal numbers hash alike: a whole double hashes as the integer it equals.
    CFHashCode hash() const override {
        Int128 value;
        if (!isFloat()) {
            value = integer_;
        } else if (real_ >= -kTwoPow127 && real_ < kTwoPow127 && real_ == std::trunc(real_)) {
            // The range of Int128 is [-2^127, 2^127): -2^127 itself is a whole double that an
            // integer number can equal, so it must hash as that integer.
            value = static_cast<Int128>(real_);
        } else {
            double d = std::isnan(real_) ? std::numeric_limits<double>::quiet_NaN() : real_;
            UInt64 bits;
            std::memcpy(&bits, &d, sizeof bits);
            return static_cast<CFHashCode>(Mix(bits ^ 0x5bd1e995ull));
        }
        return static_cast<CFHashCode>(Mix(static_cast<UInt64>(value) ^ Mix(static_cast<UInt64>(value >> 64))));
    }

    std::string description() const override {
        char buffer[64];
        if (isFloat()) {
            std::snprintf(buffer, sizeof buffer, "%.17g", real_);
            return buffer;
        }
        // __int128 has no printf directive.
        Int128 v = integer_;
        bool negative = v < 0;
        unsigned __int128 magnitude = negative ? -static_cast<unsigned __int128>(v) : static_cast<unsigned __int128>(v);
        std::string digits;
        do {
            digits.insert(digits.begin(), static_cast<char>('0' + static_cast<int>(magnitude % 10)));
            magnitude /= 10;
        } while (magnitude != 0);
        return negative ? "-" + digits : digits;
    }

    const CFNumberType type_;
    const Int128 integer_ = 0;
    const double real_ = 0.0;
};

struct __CFBoolean final : __CFObject {
    explicit __CFBoolean(bool value) noexcept : __CFObject(kCFTypeIDBoolean), value_(value) { immortal_ = true; }
    std::string description() const override { return value_ ? "true" : "false"; }
    const bool value_;
};

namespace {
__CFBoolean gTrue(true);
__CFBoolean gFalse(false);

__CFNumber *MakeImmortal(__CFNumber *number) {
    number->immortal_ = true;
    return number;
}
__CFNumber gPositiveInfinity(kCFNumberFloat64Type, std::numeric_limits<double>::infinity());
__CFNumber gNegativeInfinity(kCFNumberFloat64Type, -std::numeric_limits<double>::infinity());
__CFNumber gNaN(kCFNumberFloat64Type, std::numeric_limits<double>::quiet_NaN());
[[maybe_unused]] const bool gImmortalNumbers =
    MakeImmortal(&gPositiveInfinity) && MakeImmortal(&gNegativeInfinity) && MakeImmortal(&gNaN);

const __CFNumber *Number(CFNumberRef ref, const char *file, unsigned line) {
    return cf::Cast<__CFNumber>(ref, kCFTypeIDNumber, file, line, "number is a CFNumber");
}
#define CF_NUMBER(ref) Number((ref), __FILE__, __LINE__)

template <typename T>
bool StoreInteger(Int128 value, void *valuePtr) {
    T converted = static_cast<T>(value);  // wraps: the documented "converted value" of a lossy get
    std::memcpy(valuePtr, &converted, sizeof converted);
    return value >= static_cast<Int128>(std::numeric_limits<T>::min()) &&
           value <= static_cast<Int128>(std::numeric_limits<T>::max());
}

template <typename T>
bool StoreIntegerFromDouble(double value, void *valuePtr) {
    constexpr double lowest = static_cast<double>(std::numeric_limits<T>::min());
    // 2^(bits-1), exactly representable; the maximum itself may not be.
    constexpr double limit = -lowest;
    T converted;
    bool exact;
    if (std::isnan(value)) {
        converted = 0;
        exact = false;
    } else if (value >= limit) {
        converted = std::numeric_limits<T>::max();
        exact = false;
    } else if (value < lowest) {
        converted = std::numeric_limits<T>::min();
        exact = false;
    } else {
        double whole = std::trunc(value);
        converted = static_cast<T>(whole);
        exact = whole == value;
    }
    std::memcpy(valuePtr, &converted, sizeof converted);
    return exact;
}

bool StoreInt128FromDouble(double value, void *valuePtr) {
    Int128 converted;
    bool exact;
    if (std::isnan(value)) {
        converted = 0, exact = false;
    } else if (value >= kTwoPow127) {
        converted = static_cast<Int128>((static_cast<unsigned __int128>(1) << 127) - 1), exact = false;
    } else if (value < -kTwoPow127) {
        converted = -static_cast<Int128>((static_cast<unsigned __int128>(1) << 127) - 1) - 1, exact = false;
    } else {
        double whole = std::trunc(value);
        converted = static_cast<Int128>(whole);
        exact = whole == value;
    }
    CFSInt128Struct out = {static_cast<SInt64>(converted >> 64), static_cast<UInt64>(converted)};
    std::memcpy(valuePtr, &out, sizeof out);
    return exact;
}

}  // namespace

const CFBooleanRef kCFBooleanTrue = &gTrue;
const CFBooleanRef kCFBooleanFalse = &gFalse;
const CFNumberRef kCFNumberPositiveInfinity = &gPositiveInfinity;
const CFNumberRef kCFNumberNegativeInfinity = &gNegativeInfinity;
const CFNumberRef kCFNumberNaN = &gNaN;

CFTypeID CFBooleanGetTypeID(void) { return kCFTypeIDBoolean; }

Boolean CFBooleanGetValue(CFBooleanRef boolean) {
    return cf::Cast<__CFBoolean>(boolean, kCFTypeIDBoolean, __FILE__, __LINE__, "boolean is a CFBoolean")->value_;
}

CFTypeID CFNumberGetTypeID(void) { return kCFTypeIDNumber; }

CFNumberRef CFNumberCreate(CFAllocatorRef, CFNumberType theType, const void *valuePtr) {
    CF_ASSERT(valuePtr != NULL);
    CFNumberType canonical = CanonicalType(theType);
    CF_ASSERT(canonical != 0);
    switch (static_cast<CFIndex>(theType)) {
        case kCFNumberSInt8Type: return new __CFNumber(canonical, static_cast<Int128>(*static_cast<const SInt8 *>(valuePtr)));
        case kCFNumberCharType: return new __CFNumber(canonical, static_cast<Int128>(*static_cast<const char *>(valuePtr)));
        case kCFNumberSInt16Type: return new __CFNumber(canonical, static_cast<Int128>(*static_cast<const SInt16 *>(valuePtr)));
        case kCFNumberShortType: return new __CFNumber(canonical, static_cast<Int128>(*static_cast<const short *>(valuePtr)));
        case kCFNumberSInt32Type: return new __CFNumber(canonical, static_cast<Int128>(*static_cast<const SInt32 *>(valuePtr)));
        case kCFNumberIntType: return new __CFNumber(canonical, static_cast<Int128>(*static_cast<const int *>(valuePtr)));
        case kCFNumberSInt64Type: return new __CFNumber(canonical, static_cast<Int128>(*static_cast<const SInt64 *>(valuePtr)));
        case kCFNumberLongType: return new __CFNumber(canonical, static_cast<Int128>(*static_cast<const long *>(valuePtr)));
        case kCFNumberLongLongType: return new __CFNumber(canonical, static_cast<Int128>(*static_cast<const long long *>(valuePtr)));
        case kCFNumberCFIndexType:
        case kCFNumberNSIntegerType: return new __CFNumber(canonical, static_cast<Int128>(*static_cast<const CFIndex *>(valuePtr)));
        case kCFNumberFloat32Type:
        case kCFNumberFloatType: return new __CFNumber(canonical, static_cast<double>(*static_cast<const float *>(valuePtr)));
        case kCFNumberFloat64Type:
        case kCFNumberDoubleType:
        case kCFNumberCGFloatType: return new __CFNumber(canonical, *static_cast<const double *>(valuePtr));
        default: {
            CFSInt128Struct in;
            std::memcpy(&in, valuePtr, sizeof in);
            Int128 value = static_cast<Int128>((static_cast<unsigned __int128>(static_cast<UInt64>(in.high)) << 64) | in.low);
            return new __CFNumber(canonical, value);
        }
    }
}

CFNumberType CFNumberGetType(CFNumberRef number) { return CF_NUMBER(number)->type_; }

CFIndex CFNumberGetByteSize(CFNumberRef number) { return ByteSize(CF_NUMBER(number)->type_); }

Boolean CFNumberIsFloatType(CFNumberRef number) { return CF_NUMBER(number)->isFloat(); }

Boolean CFNumberGetValue(CFNumberRef number, CFNumberType theType, void *valuePtr) {
    const __CFNumber *n = CF_NUMBER(number);
    CF_ASSERT(valuePtr != NULL);
    CFNumberType canonical = CanonicalType(theType);
    CF_ASSERT(canonical != 0);

    if (canonical == kCFNumberFloat32Type || canonical == kCFNumberFloat64Type) {
        double d;
        bool exact;
        if (n->isFloat()) {
            d = n->real_;
            exact = true;
        } else {
            d = static_cast<double>(n->integer_);
            exact = CompareIntDouble(n->integer_, d) == 0;
        }
        if (canonical == kCFNumberFloat32Type) {
            float f = static_cast<float>(d);
            if (!std::isnan(d) && static_cast<double>(f) != d) exact = false;
            std::memcpy(valuePtr, &f, sizeof f);
        } else {
            std::memcpy(valuePtr, &d, sizeof d);
        }
        return exact;
    }

    if (n->isFloat()) {
        switch (static_cast<CFIndex>(canonical)) {
            case kCFNumberSInt8Type: return StoreIntegerFromDouble<SInt8>(n->real_, valuePtr);
            case kCFNumberSInt16Type: return StoreIntegerFromDouble<SInt16>(n->real_, valuePtr);
            case kCFNumberSInt32Type: return StoreIntegerFromDouble<SInt32>(n->real_, valuePtr);
            case kCFNumberSInt64Type: return StoreIntegerFromDouble<SInt64>(n->real_, valuePtr);
            default: return StoreInt128FromDouble(n->real_, valuePtr);
        }
    }
    switch (static_cast<CFIndex>(canonical)) {
        case kCFNumberSInt8Type: return StoreInteger<SInt8>(n->integer_, valuePtr);
        case kCFNumberSInt16Type: return StoreInteger<SInt16>(n->integer_, valuePtr);
        case kCFNumberSInt32Type: return StoreInteger<SInt32>(n->integer_, valuePtr);
        case kCFNumberSInt64Type: return StoreInteger<SInt64>(n->integer_, valuePtr);
        default: {
            CFSInt128Struct out = {static_cast<SInt64>(n->integer_ >> 64), static_cast<UInt64>(n->integer_)};
            std::memcpy(valuePtr, &out, sizeof out);
            return true;
        }
    }
}

CFComparisonResult CFNumberCompare(CFNumberRef number, CFNumberRef otherNumber, void *) {
    int order = CF_NUMBER(number)->compare(*CF_NUMBER(otherNumber));
    return order < 0 ? kCFCompareLessThan : (order > 0 ? kCFCompareGreaterThan : kCFCompareEqualTo);
}
