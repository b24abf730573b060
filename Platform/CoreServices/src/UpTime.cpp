// The up-time counter, from the monotonic clock.
#include "FileSupport.h"

#include <ctime>

extern "C" {

UInt64 UnsignedWideToUInt64(UnsignedWide value) { return (static_cast<UInt64>(value.hi) << 32) | value.lo; }

UnsignedWide UInt64ToUnsignedWide(UInt64 value) {
    return UnsignedWide{static_cast<UInt32>(value >> 32), static_cast<UInt32>(value)};
}

AbsoluteTime UpTime(void) {
    struct timespec now;
    // CLOCK_MONOTONIC cannot fail on Linux; should it ever, a zero counter is the least harm.
    if (::clock_gettime(CLOCK_MONOTONIC, &now) != 0) return UInt64ToUnsignedWide(0);
    return UInt64ToUnsignedWide(static_cast<UInt64>(now.tv_sec) * 1000000000u +
                                static_cast<UInt64>(now.tv_nsec));
}

Nanoseconds AbsoluteToNanoseconds(AbsoluteTime absoluteTime) { return absoluteTime; }

}  // extern "C"
