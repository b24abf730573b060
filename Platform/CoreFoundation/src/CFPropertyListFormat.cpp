// The text form of property-list dates and data.
//
// A date is a double (seconds since 2001-01-01T00:00:00Z) and must survive a write and a read
// bit for bit. The writer therefore starts from the shortest decimal that reads back to the same
// double, splits that exact decimal into whole seconds (calendar fields) and a fraction, and the
// reader rebuilds the very same decimal from the calendar fields and the fraction and rounds it
// once. Doing the arithmetic in doubles instead (whole seconds + fraction) would round twice and
// lose times close to, and before, the reference date.
#include "CFPropertyListFormat.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <string>

namespace cf::plist {
namespace {

// Days from 1970-01-01 to a proleptic Gregorian date, and back (valid far beyond years 1..9999).
constexpr std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

struct Civil {
    std::int64_t year;
    unsigned month, day;
};

constexpr Civil CivilFromDays(std::int64_t z) {
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    const unsigned d = doy - (153 * mp + 2) / 5 + 1;
    const unsigned m = mp < 10 ? mp + 3 : mp - 9;
    return {static_cast<std::int64_t>(yoe) + era * 400 + (m <= 2), m, d};
}

constexpr std::int64_t kSecondsPerDay = 86400;
constexpr std::int64_t kReferenceDay = DaysFromCivil(2001, 1, 1);
// The first instant of year 1 and of year 10000, relative to the reference date.
constexpr std::int64_t kFirstSecond = (DaysFromCivil(1, 1, 1) - kReferenceDay) * kSecondsPerDay;
constexpr std::int64_t kEndSecond = (DaysFromCivil(10000, 1, 1) - kReferenceDay) * kSecondsPerDay;

constexpr bool IsLeapYear(std::int64_t y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(std::int64_t year, unsigned month) {
    static const unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// 1 - 0.<digits>, as digits: the nines' complement with the last digit taken from ten. `digits`
// must end in a non-zero digit.
void ComplementFraction(std::string &digits) {
    for (char &c : digits) c = static_cast<char>('9' - (c - '0'));
    digits.back() = static_cast<char>(digits.back() + 1);
}

bool ReadDigits(const char *p, int count, unsigned *value) {
    unsigned v = 0;
    for (int i = 0; i < count; ++i) {
        if (p[i] < '0' || p[i] > '9') return false;
        v = v * 10 + static_cast<unsigned>(p[i] - '0');
    }
    *value = v;
    return true;
}

}  // namespace

std::size_t FormatDate(CFAbsoluteTime at, char *out) {
    if (!(at >= static_cast<double>(kFirstSecond) && at < static_cast<double>(kEndSecond))) return 0;

    // The shortest fixed-point decimal that reads back as `at`; within these bounds it has at most
    // 12 integer digits, and the fraction at most the ~330 digits of the smallest subnormal.
    char decimal[kMaxDateLength];
    const auto converted = std::to_chars(decimal, decimal + sizeof decimal, at, std::chars_format::fixed);
    if (converted.ec != std::errc()) return 0;
    const char *p = decimal;
    const char *end = converted.ptr;
    const bool negative = *p == '-';
    if (negative) ++p;
    std::int64_t whole = 0;
    while (p < end && *p != '.') whole = whole * 10 + (*p++ - '0');
    std::string fraction;
    if (p < end) fraction.assign(p + 1, end);
    while (!fraction.empty() && fraction.back() == '0') fraction.pop_back();

    // Calendar fields come from floor(at); a negative time with a fraction is the second before
    // plus the complement of its fraction.
    std::int64_t seconds = negative ? -whole : whole;
    if (negative && !fraction.empty()) {
        seconds -= 1;
        ComplementFraction(fraction);
    }
    std::int64_t days = seconds / kSecondsPerDay;
    std::int64_t secondOfDay = seconds % kSecondsPerDay;
    if (secondOfDay < 0) {
        secondOfDay += kSecondsPerDay;
        days -= 1;
    }
    const Civil civil = CivilFromDays(days + kReferenceDay);
    const int hour = static_cast<int>(secondOfDay / 3600);
    const int minute = static_cast<int>(secondOfDay / 60 % 60);
    const int second = static_cast<int>(secondOfDay % 60);

    int n = std::snprintf(out, kMaxDateLength, "%04d-%02u-%02uT%02d:%02d:%02d", static_cast<int>(civil.year),
                          civil.month, civil.day, hour, minute, second);
    std::size_t length = static_cast<std::size_t>(n);
    if (!fraction.empty()) {
        if (length + 2 + fraction.size() > kMaxDateLength) return 0;
        out[length++] = '.';
        std::memcpy(out + length, fraction.data(), fraction.size());
        length += fraction.size();
    }
    out[length++] = 'Z';
    return length;
}

bool ParseDate(const char *text, std::size_t length, CFAbsoluteTime *at) {
    // YYYY-MM-DDTHH:MM:SS, then an optional fraction, then Z.
    constexpr std::size_t kFixed = 19;
    if (length < kFixed + 1 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || text[length - 1] != 'Z')
        return false;
    unsigned year, month, day, hour, minute, second;
    if (!ReadDigits(text, 4, &year) || !ReadDigits(text + 5, 2, &month) || !ReadDigits(text + 8, 2, &day) ||
        !ReadDigits(text + 11, 2, &hour) || !ReadDigits(text + 14, 2, &minute) ||
        !ReadDigits(text + 17, 2, &second))
        return false;
    if (year < 1 || month < 1 || month > 12 || day < 1 || day > DaysInMonth(year, month) || hour > 23 ||
        minute > 59 || second > 59)
        return false;

    const char *fraction = text + kFixed;
    std::size_t fractionLength = length - kFixed - 1;
    if (fractionLength > 0) {
        if (*fraction != '.' || fractionLength < 2) return false;
        ++fraction;
        --fractionLength;
        for (std::size_t i = 0; i < fractionLength; ++i)
            if (fraction[i] < '0' || fraction[i] > '9') return false;
        while (fractionLength > 0 && fraction[fractionLength - 1] == '0') --fractionLength;
    }

    const std::int64_t seconds = (DaysFromCivil(year, month, day) - kReferenceDay) * kSecondsPerDay +
                                 hour * 3600 + minute * 60 + second;
    if (fractionLength == 0) {
        *at = static_cast<double>(seconds);  // exact: |seconds| < 2^53
        return true;
    }
    // seconds + 0.fraction as one exact decimal, rounded once.
    std::string digits(fraction, fractionLength);
    std::int64_t whole = seconds;
    std::string decimal;
    if (seconds < 0) {
        decimal = "-";
        whole = -(seconds + 1);
        ComplementFraction(digits);
    }
    decimal += std::to_string(whole);
    decimal += '.';
    decimal += digits;
    double value = 0;
    const auto parsed = std::from_chars(decimal.data(), decimal.data() + decimal.size(), value);
    if (parsed.ec != std::errc() || parsed.ptr != decimal.data() + decimal.size()) return false;
    // The last second of 9999 with enough nines rounds up into year 10000, which could not be
    // written back.
    if (!(value < static_cast<double>(kEndSecond))) return false;
    *at = value;
    return true;
}

// ---- base64 ----

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// 0..63 for the alphabet, kSpace for skipped white space, kPad for '=', kBad otherwise.
enum : std::uint8_t { kBad = 0xFF, kSpace = 0xFE, kPad = 0xFD };

struct DecodeTable {
    std::uint8_t value[256];
    constexpr DecodeTable() : value() {
        for (auto &v : value) v = kBad;
        for (int i = 0; i < 64; ++i) value[static_cast<unsigned char>(kAlphabet[i])] = static_cast<std::uint8_t>(i);
        for (unsigned char c : {' ', '\t', '\n', '\r'}) value[c] = kSpace;
        value[static_cast<unsigned char>('=')] = kPad;
    }
};
constexpr DecodeTable kDecode;

}  // namespace

std::size_t Base64LineLength(unsigned indent) {
    const long columns = 76 - 8 * static_cast<long>(indent);
    return columns < 16 ? 16 : static_cast<std::size_t>(columns) / 4 * 4;
}

void Base64Encode(const std::uint8_t *bytes, std::size_t length, char *out) {
    std::size_t i = 0;
    for (; i + 3 <= length; i += 3) {
        const std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (std::uint32_t{bytes[i + 1]} << 8) | bytes[i + 2];
        *out++ = kAlphabet[v >> 18];
        *out++ = kAlphabet[(v >> 12) & 63];
        *out++ = kAlphabet[(v >> 6) & 63];
        *out++ = kAlphabet[v & 63];
    }
    if (i < length) {
        const bool two = i + 1 < length;
        const std::uint32_t v = (std::uint32_t{bytes[i]} << 16) | (two ? std::uint32_t{bytes[i + 1]} << 8 : 0);
        *out++ = kAlphabet[v >> 18];
        *out++ = kAlphabet[(v >> 12) & 63];
        *out++ = two ? kAlphabet[(v >> 6) & 63] : '=';
        *out++ = '=';
    }
}

bool Base64Decode(const char *text, std::size_t length, std::uint8_t *out, std::size_t *outLength) {
    std::uint8_t *const start = out;
    std::uint32_t group = 0;
    unsigned count = 0;    // characters of the current group, padding included
    unsigned padding = 0;  // '=' seen; only more '=' and white space may follow
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint8_t v = kDecode.value[static_cast<unsigned char>(text[i])];
        if (v == kSpace) continue;
        if (v == kBad) return false;
        if (v == kPad) {
            // Padding stands only for the third and fourth characters of a group.
            if (count < 2) return false;
            ++padding;
        } else {
            if (padding > 0) return false;
            group = (group << 6) | v;
        }
        if (++count == 4) {
            if (padding == 0) {
                *out++ = static_cast<std::uint8_t>(group >> 16);
                *out++ = static_cast<std::uint8_t>(group >> 8);
                *out++ = static_cast<std::uint8_t>(group);
            } else {
                // Bits left over by the padding are ignored, as decoders commonly do.
                group <<= 6 * padding;
                *out++ = static_cast<std::uint8_t>(group >> 16);
                if (padding == 1) *out++ = static_cast<std::uint8_t>(group >> 8);
            }
            count = 0;
            group = 0;
            if (padding > 0) {
                // The padded group ends the data.
                for (std::size_t j = i + 1; j < length; ++j)
                    if (kDecode.value[static_cast<unsigned char>(text[j])] != kSpace) return false;
                break;
            }
        }
    }
    if (count != 0) return false;
    *outLength = static_cast<std::size_t>(out - start);
    return true;
}

}  // namespace cf::plist
