/* The up-time counter. */
#pragma once

#include <CoreFoundation/MacTypes.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A 64-bit value in two 32-bit halves, read as (hi << 32) | lo. */
typedef struct UnsignedWide {
    UInt32 hi;
    UInt32 lo;
} UnsignedWide;

/* Time since an arbitrary moment (boot), in nanoseconds: CLOCK_MONOTONIC, which never goes back
   and does not count suspended time. */
typedef UnsignedWide AbsoluteTime;
typedef UnsignedWide Nanoseconds;

AbsoluteTime UpTime(void);
/* The counter is already in nanoseconds; this is the identity, kept for callers that convert. */
Nanoseconds AbsoluteToNanoseconds(AbsoluteTime absoluteTime);

UInt64 UnsignedWideToUInt64(UnsignedWide value);
UnsignedWide UInt64ToUnsignedWide(UInt64 value);

#ifdef __cplusplus
}
#endif
