// Absolute time and dates.
#include "CFInternal.h"

#include <cmath>
#include <cstdio>
#include <ctime>

const CFTimeInterval kCFAbsoluteTimeIntervalSince1970 = 978307200.0;
const CFTimeInterval kCFAbsoluteTimeIntervalSince1904 = 3061152000.0;

namespace {

// Far beyond any calendar date, and well inside SInt64.
constexpr double kSecondsLimit = 1e17;

// Days from 1970-01-01 to a civil date of the proleptic Gregorian calendar (H. Hinnant's method).
SInt64 DaysFromCivil(SInt64 y, unsigned m, unsigned d) {
    y -= m <= 2;
    const SInt64 era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<SInt64>(doe) - 719468;
}

void CivilFromDays(SInt64 z, SInt64 &y, unsigned &m, unsigned &d) {
    z += 719468;
    const SInt64 era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = doy - (153 * mp + 2) / 5 + 1;
    m = mp < 10 ? mp + 3 : mp - 9;
    y = static_cast<SInt64>(yoe) + era * 400 + (m <= 2);
}

}  // namespace

struct __CFDate final : __CFObject {
    explicit __CFDate(CFAbsoluteTime at) noexcept : __CFObject(kCFTypeIDDate), at_(at) {}
    bool equal(const __CFObject &other) const override {
        return at_ == static_cast<const __CFDate &>(other).at_;
    }
    CFHashCode hash() const override {
        double whole = std::floor(at_);
        // NaN and times beyond SInt64 have no whole-second value to convert; they hash alike.
        if (!(whole > -kSecondsLimit && whole < kSecondsLimit)) return 0;
        return static_cast<CFHashCode>(static_cast<SInt64>(whole));
    }
    std::string description() const override {
        CFGregorianDate g = CFAbsoluteTimeGetGregorianDate(at_, nullptr);
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d +0000", static_cast<int>(g.year), g.month,
                      g.day, g.hour, g.minute, static_cast<int>(g.second));
        return buffer;
    }
    const CFAbsoluteTime at_;
};

namespace {
const __CFDate *Date(CFDateRef ref, const char *file, unsigned line) {
    return cf::Cast<__CFDate>(ref, kCFTypeIDDate, file, line, "theDate is a CFDate");
}
#define CF_DATE(ref) Date((ref), __FILE__, __LINE__)
}  // namespace

CFAbsoluteTime CFAbsoluteTimeGetCurrent(void) {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<double>(now.tv_sec) - kCFAbsoluteTimeIntervalSince1970 + static_cast<double>(now.tv_nsec) * 1e-9;
}

CFTypeID CFDateGetTypeID(void) { return kCFTypeIDDate; }

CFDateRef CFDateCreate(CFAllocatorRef, CFAbsoluteTime at) { return new __CFDate(at); }

CFAbsoluteTime CFDateGetAbsoluteTime(CFDateRef theDate) { return CF_DATE(theDate)->at_; }

CFTimeInterval CFDateGetTimeIntervalSinceDate(CFDateRef theDate, CFDateRef otherDate) {
    return CF_DATE(theDate)->at_ - CF_DATE(otherDate)->at_;
}

CFComparisonResult CFDateCompare(CFDateRef theDate, CFDateRef otherDate, void *) {
    CFAbsoluteTime a = CF_DATE(theDate)->at_, b = CF_DATE(otherDate)->at_;
    if (a < b) return kCFCompareLessThan;
    if (a > b) return kCFCompareGreaterThan;
    return kCFCompareEqualTo;
}

CFGregorianDate CFAbsoluteTimeGetGregorianDate(CFAbsoluteTime at, CFTimeZoneRef tz) {
    CF_ASSERT(tz == NULL);
    double seconds = std::floor(at);
    double fraction = at - seconds;
    if (fraction >= 1.0) {
        // A tiny negative time: its fraction rounds to 1, which is the next whole second.
        seconds += 1;
        fraction = 0;
    }
    if (!(seconds > -kSecondsLimit && seconds < kSecondsLimit)) {
        // No calendar for NaN or the infinities; clamp so that the conversion below is defined.
        seconds = std::isnan(seconds) ? 0 : std::copysign(kSecondsLimit, seconds);
        fraction = 0;
    }
    SInt64 whole = static_cast<SInt64>(seconds);
    SInt64 days = whole / 86400, rest = whole % 86400;
    if (rest < 0) rest += 86400, days -= 1;
    SInt64 y;
    unsigned m, d;
    CivilFromDays(days + DaysFromCivil(2001, 1, 1), y, m, d);
    CFGregorianDate g;
    g.year = static_cast<SInt32>(y);
    g.month = static_cast<SInt8>(m);
    g.day = static_cast<SInt8>(d);
    g.hour = static_cast<SInt8>(rest / 3600);
    g.minute = static_cast<SInt8>(rest / 60 % 60);
    g.second = static_cast<double>(rest % 60) + fraction;
    return g;
}

CFAbsoluteTime CFGregorianDateGetAbsoluteTime(CFGregorianDate gdate, CFTimeZoneRef tz) {
    CF_ASSERT(tz == NULL);
    SInt64 days = DaysFromCivil(gdate.year, static_cast<unsigned>(gdate.month), static_cast<unsigned>(gdate.day)) -
                  DaysFromCivil(2001, 1, 1);
    return static_cast<double>(days) * 86400.0 + gdate.hour * 3600.0 + gdate.minute * 60.0 + gdate.second;
}
