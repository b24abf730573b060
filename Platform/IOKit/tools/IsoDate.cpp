#include "IsoDate.h"

#include <time.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace wfs::pmset {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date.
long long DaysFromCivil(long long year, unsigned month, unsigned day) {
    year -= month <= 2;
    long long era = (year >= 0 ? year : year - 399) / 400;
    unsigned yearOfEra = static_cast<unsigned>(year - era * 400);
    unsigned dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    unsigned dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + static_cast<long long>(dayOfEra) - 719468;
}

unsigned DaysInMonth(long long year, unsigned month) {
    static const unsigned kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// Reads exactly `count` digits.
bool Digits(const char *&p, int count, unsigned &value) {
    value = 0;
    for (int i = 0; i < count; ++i, ++p) {
        if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
        value = value * 10 + static_cast<unsigned>(*p - '0');
    }
    return true;
}

bool Expect(const char *&p, char c) {
    if (*p != c) return false;
    ++p;
    return true;
}

constexpr long long kUnixToAbsolute = 978307200;

}  // namespace

bool ParseIsoDate(const char *text, CFAbsoluteTime &time) {
    const char *p = text;
    unsigned year, month, day, hour, minute, second;
    if (!Digits(p, 4, year) || !Expect(p, '-') || !Digits(p, 2, month) || !Expect(p, '-') ||
        !Digits(p, 2, day) || !Expect(p, 'T') || !Digits(p, 2, hour) || !Expect(p, ':') ||
        !Digits(p, 2, minute) || !Expect(p, ':') || !Digits(p, 2, second)) {
        return false;
    }
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 ||
        minute > 59 || second > 59) {
        return false;
    }
    double fraction = 0;
    if (*p == '.') {
        const char *start = p;
        ++p;
        if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
        while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
        // strtod on "0.ddd" only, so that no locale or exponent form can sneak in.
        std::string digits("0");
        digits.append(start, static_cast<size_t>(p - start));
        fraction = std::strtod(digits.c_str(), nullptr);
    }
    long long zoneSeconds = 0;
    if (*p == 'Z') {
        ++p;
    } else if (*p == '+' || *p == '-') {
        int sign = *p == '-' ? -1 : 1;
        ++p;
        unsigned zoneHours, zoneMinutes;
        if (!Digits(p, 2, zoneHours)) return false;
        if (*p == ':') ++p;
        if (!Digits(p, 2, zoneMinutes) || zoneHours > 23 || zoneMinutes > 59) return false;
        zoneSeconds = sign * static_cast<long long>(zoneHours * 3600 + zoneMinutes * 60);
    } else {
        return false;
    }
    if (*p != '\0') return false;
    long long unixSeconds = DaysFromCivil(year, month, day) * 86400 + hour * 3600 + minute * 60 + second - zoneSeconds;
    time = static_cast<double>(unixSeconds - kUnixToAbsolute) + fraction;
    return true;
}

std::string FormatIsoDate(CFAbsoluteTime time) {
    if (!std::isfinite(time)) return "invalid-date";
    double whole = std::floor(time);
    double fraction = time - whole;  // exact for a finite double
    time_t unixSeconds = static_cast<time_t>(whole) + kUnixToAbsolute;
    struct tm utc;
    char stamp[64];
    if (::gmtime_r(&unixSeconds, &utc) == nullptr ||
        ::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc) == 0) {
        return "invalid-date";
    }
    std::string result = stamp;
    if (fraction != 0) {
        char digits[40] = "";
        // A double's fraction needs at most a few dozen decimals; times near 0 need the most.
        for (int precision = 1; precision <= 30; ++precision) {
            std::snprintf(digits, sizeof digits, "%.*f", precision, fraction);
            if (digits[0] != '0') continue;  // rounded up to 1.000...: needs more digits
            if (whole + std::strtod(digits, nullptr) == time) break;
        }
        // Trailing zeros say nothing.
        size_t length = std::strlen(digits);
        while (length > 2 && digits[length - 1] == '0') --length;
        if (length > 2) result.append(digits + 1, length - 1);
    }
    return result + "Z";
}

}  // namespace wfs::pmset
