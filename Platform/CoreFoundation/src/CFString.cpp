// Strings: creation, access, comparison and change.
#include "CFStringInternal.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>

// --- the object --------------------------------------------------------------------------------

std::u16string __CFString::units(CFIndex location, CFIndex count) const {
    if (isWide_) return wide_.substr(static_cast<size_t>(location), static_cast<size_t>(count));
    return std::u16string(ascii_.begin() + location, ascii_.begin() + location + count);
}

std::string __CFString::utf8() const {
    if (!isWide_) return ascii_;
    std::string out;
    out.reserve(wide_.size() * 2);
    for (size_t i = 0; i < wide_.size(); ++i) {
        UInt32 unit = wide_[i];
        if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < wide_.size() && wide_[i + 1] >= 0xDC00 &&
            wide_[i + 1] <= 0xDFFF) {
            cf::AppendUTF8(out, 0x10000 + ((unit - 0xD800) << 10) + (wide_[i + 1] - 0xDC00));
            ++i;
        } else if (unit >= 0xD800 && unit <= 0xDFFF) {
            cf::AppendUTF8(out, 0xFFFD);
        } else {
            cf::AppendUTF8(out, unit);
        }
    }
    return out;
}

void __CFString::assign(std::u16string units) {
    bool ascii = std::all_of(units.begin(), units.end(), [](char16_t u) { return u < 0x80; });
    if (ascii) {
        assignAscii(std::string(units.begin(), units.end()));
    } else {
        wide_ = std::move(units);
        ascii_.clear();
        isWide_ = true;
    }
}

void __CFString::append(const UniChar *units, CFIndex count) {
    bool ascii = std::all_of(units, units + count, [](UniChar u) { return u < 0x80; });
    if (!isWide_ && ascii) {
        ascii_.append(units, units + count);
        return;
    }
    if (!isWide_) {
        wide_.assign(ascii_.begin(), ascii_.end());
        ascii_.clear();
        isWide_ = true;
    }
    wide_.append(reinterpret_cast<const char16_t *>(units), static_cast<size_t>(count));
}

void __CFString::append(const __CFString &other) {
    if (!isWide_ && !other.isWide_) {
        ascii_ += other.ascii_;
    } else {
        std::u16string more = other.units();
        append(reinterpret_cast<const UniChar *>(more.data()), static_cast<CFIndex>(more.size()));
    }
}

void __CFString::checkMutation(CFIndex newLength, const char *file, unsigned line) const {
    if (!mutable_) cf::AssertionFailed(file, line, "the string is mutable");
    if (maxLength_ > 0 && newLength > maxLength_) {
        cf::AssertionFailed(file, line, "the new length is within the string's maximum length");
    }
}

bool __CFString::equal(const __CFObject &other) const {
    const auto &that = static_cast<const __CFString &>(other);
    // One representation per content: ASCII text is never wide.
    if (isWide_ != that.isWide_) return false;
    return isWide_ ? wide_ == that.wide_ : ascii_ == that.ascii_;
}

CFHashCode __CFString::hash() const {
    if (!mutable_) {
        const CFHashCode known = hash_.load(std::memory_order_relaxed);
        if (known != 0) return known;
    }
    // FNV-1a over the UTF-16 units, the same for both representations.
    CFHashCode h;
    if (!isWide_) {
        h = cf::HashAscii(ascii_.data(), ascii_.size());
    } else {
        UInt64 f = 1469598103934665603ull;
        for (char16_t unit : wide_) f = (f ^ unit) * 1099511628211ull;
        h = static_cast<CFHashCode>(f);
    }
    if (!mutable_) hash_.store(h, std::memory_order_relaxed);
    return h;
}

// --- helpers -----------------------------------------------------------------------------------

namespace cf {

namespace {
__CFString *NewString(DecodedText text) {
    auto *str = new __CFString;
    if (text.wide) {
        str->wide_ = std::move(text.units);
        str->isWide_ = true;
    } else {
        str->ascii_ = std::move(text.ascii);
    }
    return str;
}
}  // namespace

CFStringRef CreateStringWithUTF8(std::string_view utf8) {
    auto decoded = DecodeBytes(reinterpret_cast<const UInt8 *>(utf8.data()),
                               static_cast<CFIndex>(utf8.size()), kCFStringEncodingUTF8, false);
    if (decoded) return NewString(std::move(*decoded));
    // Text made inside the library (descriptions of foreign bytes) is repaired, not refused.
    std::u16string units;
    for (unsigned char c : utf8) units.push_back(c < 0x80 ? c : 0xFFFD);
    return CreateStringWithUnits(std::move(units));
}

bool IsAscii(const char *bytes, std::size_t count) {
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        UInt64 word;
        std::memcpy(&word, bytes + i, sizeof word);
        if ((word & 0x8080808080808080ull) != 0) return false;
    }
    for (; i < count; ++i)
        if (static_cast<unsigned char>(bytes[i]) >= 0x80) return false;
    return true;
}

CFStringRef CreateStringWithCheckedUTF8(const char *bytes, std::size_t count, bool isMutable) {
    // Owned until it is complete: running out of memory half-way must not leak the object.
    auto owner = std::make_unique<__CFString>();
    __CFString *str = owner.get();
    str->mutable_ = isMutable;
    if (IsAscii(bytes, count)) {
        str->ascii_.assign(bytes, count);
        return owner.release();
    }
    const auto *p = reinterpret_cast<const unsigned char *>(bytes);
    std::u16string &units = str->wide_;
    units.reserve(count);
    str->isWide_ = true;
    for (std::size_t i = 0; i < count;) {
        const UInt32 lead = p[i];
        std::size_t trailing;
        UInt32 codePoint;
        if (lead < 0x80) {
            units.push_back(static_cast<char16_t>(lead));
            ++i;
            continue;
        } else if (lead >= 0xC2 && lead <= 0xDF) {
            trailing = 1, codePoint = lead & 0x1F;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            trailing = 2, codePoint = lead & 0x0F;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            trailing = 3, codePoint = lead & 0x07;
        } else {
            trailing = count;  // refused below
            codePoint = 0;
        }
        // Never read past the end, whatever the caller promised.
        CF_ASSERT(trailing < count - i);
        for (std::size_t k = 1; k <= trailing; ++k) codePoint = (codePoint << 6) | (p[i + k] & 0x3F);
        if (codePoint < 0x10000) {
            units.push_back(static_cast<char16_t>(codePoint));
        } else {
            codePoint -= 0x10000;
            units.push_back(static_cast<char16_t>(0xD800 + (codePoint >> 10)));
            units.push_back(static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF)));
        }
        i += trailing + 1;
    }
    return owner.release();
}

CFStringRef CreateStringWithUnits(std::u16string units) {
    auto str = std::make_unique<__CFString>();
    str->assign(std::move(units));
    return str.release();
}

}  // namespace cf

namespace {

void CheckRange(const __CFString *str, CFRange range, const char *file, unsigned line) {
    if (range.location < 0 || range.length < 0 || range.location > str->length() ||
        range.length > str->length() - range.location) {
        cf::AssertionFailed(file, line, "range is within the string");
    }
}
#define CF_CHECK_RANGE(str, range) CheckRange((str), (range), __FILE__, __LINE__)

__CFString *MutableString(CFMutableStringRef ref, const char *file, unsigned line) {
    return const_cast<__CFString *>(cf::String(ref, file, line, "theString is a CFString"));
}
#define CF_MUTABLE_STRING(ref) MutableString((ref), __FILE__, __LINE__)

UniChar FoldCase(UniChar c) {
    if (c >= 'A' && c <= 'Z') return c + 0x20;
    if (c < 0x80) return c;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return c + 0x20;                 // Latin-1
    if (c >= 0x391 && c <= 0x3A9 && c != 0x3A2) return c + 0x20;              // Greek
    if (c >= 0x410 && c <= 0x42F) return c + 0x20;                            // Cyrillic
    if (c >= 0x400 && c <= 0x40F) return c + 0x50;
    if (c >= 0x100 && c <= 0x17F && c != 0x130 && c != 0x131 && c != 0x138 && c != 0x149 &&
        c != 0x17F) {                                                           // Latin Extended-A
        bool evenUpper = (c < 0x138) || (c > 0x148 && c < 0x178);
        if (evenUpper == ((c & 1) == 0)) return c + 1;
    }
    return c;
}

bool IsDigit(UniChar c) { return c >= '0' && c <= '9'; }

CFComparisonResult CompareUnits(const __CFString *a, CFIndex aStart, CFIndex aEnd, const __CFString *b,
                                CFIndex bStart, CFIndex bEnd, CFStringCompareFlags options) {
    bool fold = (options & kCFCompareCaseInsensitive) != 0;
    bool numeric = (options & kCFCompareNumerically) != 0;
    CFIndex i = aStart, j = bStart;
    while (i < aEnd && j < bEnd) {
        UniChar x = a->at(i), y = b->at(j);
        if (numeric && IsDigit(x) && IsDigit(y)) {
            // Runs of digits compare by value: leading zeros skipped, then longer is larger.
            CFIndex iEnd = i, jEnd = j;
            while (iEnd < aEnd && IsDigit(a->at(iEnd))) ++iEnd;
            while (jEnd < bEnd && IsDigit(b->at(jEnd))) ++jEnd;
            CFIndex is = i, js = j;
            while (is + 1 < iEnd && a->at(is) == '0') ++is;
            while (js + 1 < jEnd && b->at(js) == '0') ++js;
            if (iEnd - is != jEnd - js) return iEnd - is < jEnd - js ? kCFCompareLessThan : kCFCompareGreaterThan;
            for (; is < iEnd; ++is, ++js) {
                if (a->at(is) != b->at(js)) {
                    return a->at(is) < b->at(js) ? kCFCompareLessThan : kCFCompareGreaterThan;
                }
            }
            i = iEnd, j = jEnd;
            continue;
        }
        if (fold) x = FoldCase(x), y = FoldCase(y);
        if (x != y) return x < y ? kCFCompareLessThan : kCFCompareGreaterThan;
        ++i, ++j;
    }
    if (i < aEnd) return kCFCompareGreaterThan;
    if (j < bEnd) return kCFCompareLessThan;
    return kCFCompareEqualTo;
}

bool MatchesAt(const __CFString *str, CFIndex at, const __CFString *find, bool fold) {
    for (CFIndex k = 0; k < find->length(); ++k) {
        UniChar x = str->at(at + k), y = find->at(k);
        if (fold) x = FoldCase(x), y = FoldCase(y);
        if (x != y) return false;
    }
    return true;
}

}  // namespace

// --- constants ---------------------------------------------------------------------------------

CFStringRef __CFStringMakeConstantString(const char *cStr) {
    CF_ASSERT(cStr != NULL);
    // Allocated once and never destroyed: the constants must outlive every static destructor
    // that might still use them, and stay reachable for the leak checker.
    static std::mutex *mutex = new std::mutex;
    static auto *table = new std::unordered_map<std::string, __CFString *>;
    std::lock_guard<std::mutex> lock(*mutex);
    auto found = table->find(cStr);
    if (found != table->end()) return found->second;
    auto *str = const_cast<__CFString *>(cf::String(cf::CreateStringWithUTF8(cStr), __FILE__, __LINE__,
                                                    "constant string"));
    str->immortal_ = true;
    table->emplace(cStr, str);
    return str;
}

// --- creation ----------------------------------------------------------------------------------

CFTypeID CFStringGetTypeID(void) { return kCFTypeIDString; }

CFStringRef CFStringCreateWithBytes(CFAllocatorRef, const UInt8 *bytes, CFIndex numBytes,
                                    CFStringEncoding encoding, Boolean isExternalRepresentation) {
    CF_ASSERT(numBytes >= 0);
    CF_ASSERT(bytes != NULL || numBytes == 0);
    auto decoded = cf::DecodeBytes(bytes, numBytes, encoding, isExternalRepresentation);
    if (!decoded) return nullptr;
    return cf::NewString(std::move(*decoded));
}

CFStringRef CFStringCreateWithCString(CFAllocatorRef alloc, const char *cStr, CFStringEncoding encoding) {
    CF_ASSERT(cStr != NULL);
    return CFStringCreateWithBytes(alloc, reinterpret_cast<const UInt8 *>(cStr),
                                   static_cast<CFIndex>(std::strlen(cStr)), encoding, false);
}

CFStringRef CFStringCreateWithCStringNoCopy(CFAllocatorRef alloc, const char *cStr, CFStringEncoding encoding,
                                            CFAllocatorRef contentsDeallocator) {
    // The text is copied anyway; the caller's buffer is disposed of as promised.
    CFStringRef result = CFStringCreateWithCString(alloc, cStr, encoding);
    if (contentsDeallocator != kCFAllocatorNull) std::free(const_cast<char *>(cStr));
    return result;
}

CFStringRef CFStringCreateWithCharacters(CFAllocatorRef, const UniChar *chars, CFIndex numChars) {
    CF_ASSERT(numChars >= 0);
    CF_ASSERT(chars != NULL || numChars == 0);
    return cf::CreateStringWithUnits(std::u16string(reinterpret_cast<const char16_t *>(chars),
                                                    static_cast<size_t>(numChars)));
}

CFStringRef CFStringCreateFromExternalRepresentation(CFAllocatorRef alloc, CFDataRef data,
                                                     CFStringEncoding encoding) {
    CF_ASSERT(data != NULL);
    return CFStringCreateWithBytes(alloc, CFDataGetBytePtr(data), CFDataGetLength(data), encoding, true);
}

CFDataRef CFStringCreateExternalRepresentation(CFAllocatorRef alloc, CFStringRef theString,
                                               CFStringEncoding encoding, UInt8 lossByte) {
    const __CFString *str = CF_STRING(theString);
    CFIndex needed = 0;
    CFIndex converted = cf::EncodeUnits(*str, 0, str->length(), encoding, lossByte, true, nullptr, 0, &needed);
    if (converted != str->length()) return nullptr;
    CFMutableDataRef data = CFDataCreateMutable(alloc, 0);
    CFDataSetLength(data, needed);
    cf::EncodeUnits(*str, 0, str->length(), encoding, lossByte, true, CFDataGetMutableBytePtr(data), needed,
                    nullptr);
    CFDataRef result = CFDataCreateCopy(alloc, data);
    CFRelease(data);
    return result;
}

CFStringRef CFStringCreateCopy(CFAllocatorRef, CFStringRef theString) {
    const __CFString *str = CF_STRING(theString);
    if (!str->mutable_) return static_cast<CFStringRef>(CFRetain(theString));
    auto *copy = new __CFString;
    copy->isWide_ = str->isWide_;
    copy->ascii_ = str->ascii_;
    copy->wide_ = str->wide_;
    return copy;
}

CFStringRef CFStringCreateWithSubstring(CFAllocatorRef, CFStringRef theString, CFRange range) {
    const __CFString *str = CF_STRING(theString);
    CF_CHECK_RANGE(str, range);
    return cf::CreateStringWithUnits(str->units(range.location, range.length));
}

CFMutableStringRef CFStringCreateMutable(CFAllocatorRef, CFIndex maxLength) {
    CF_ASSERT(maxLength >= 0);
    auto *str = new __CFString;
    str->mutable_ = true;
    str->maxLength_ = maxLength;
    return str;
}

CFMutableStringRef CFStringCreateMutableCopy(CFAllocatorRef, CFIndex maxLength, CFStringRef theString) {
    const __CFString *str = CF_STRING(theString);
    CF_ASSERT(maxLength >= 0);
    CF_ASSERT(maxLength == 0 || str->length() <= maxLength);
    auto *copy = new __CFString;
    copy->mutable_ = true;
    copy->maxLength_ = maxLength;
    copy->isWide_ = str->isWide_;
    copy->ascii_ = str->ascii_;
    copy->wide_ = str->wide_;
    return copy;
}

// --- access ------------------------------------------------------------------------------------

CFIndex CFStringGetLength(CFStringRef theString) { return CF_STRING(theString)->length(); }

UniChar CFStringGetCharacterAtIndex(CFStringRef theString, CFIndex idx) {
    const __CFString *str = CF_STRING(theString);
    CF_ASSERT(idx >= 0 && idx < str->length());
    return str->at(idx);
}

void CFStringGetCharacters(CFStringRef theString, CFRange range, UniChar *buffer) {
    const __CFString *str = CF_STRING(theString);
    CF_CHECK_RANGE(str, range);
    CF_ASSERT(buffer != NULL || range.length == 0);
    for (CFIndex i = 0; i < range.length; ++i) buffer[i] = str->at(range.location + i);
}

CFIndex CFStringGetBytes(CFStringRef theString, CFRange range, CFStringEncoding encoding, UInt8 lossByte,
                         Boolean isExternalRepresentation, UInt8 *buffer, CFIndex maxBufLen,
                         CFIndex *usedBufLen) {
    const __CFString *str = CF_STRING(theString);
    CF_CHECK_RANGE(str, range);
    CF_ASSERT(buffer == NULL || maxBufLen >= 0);
    return cf::EncodeUnits(*str, range.location, range.length, encoding, lossByte, isExternalRepresentation,
                           buffer, maxBufLen, usedBufLen);
}

Boolean CFStringGetCString(CFStringRef theString, char *buffer, CFIndex bufferSize, CFStringEncoding encoding) {
    const __CFString *str = CF_STRING(theString);
    CF_ASSERT(buffer != NULL);
    CF_ASSERT(bufferSize >= 0);
    if (bufferSize == 0) return false;
    CFIndex used = 0;
    CFIndex converted = cf::EncodeUnits(*str, 0, str->length(), encoding, 0, false,
                                        reinterpret_cast<UInt8 *>(buffer), bufferSize - 1, &used);
    if (converted != str->length()) {
        buffer[0] = '\0';
        return false;
    }
    buffer[used] = '\0';
    return true;
}

const char *CFStringGetCStringPtr(CFStringRef theString, CFStringEncoding encoding) {
    const __CFString *str = CF_STRING(theString);
    if (str->isWide_) return nullptr;
    if (encoding != kCFStringEncodingUTF8 && encoding != kCFStringEncodingASCII &&
        encoding != kCFStringEncodingISOLatin1) {
        return nullptr;
    }
    // A C string cannot show an embedded NUL.
    if (str->ascii_.find('\0') != std::string::npos) return nullptr;
    return str->ascii_.c_str();
}

const UniChar *CFStringGetCharactersPtr(CFStringRef theString) {
    const __CFString *str = CF_STRING(theString);
    return str->isWide_ ? reinterpret_cast<const UniChar *>(str->wide_.data()) : nullptr;
}

CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding) {
    CF_ASSERT(length >= 0);
    CFIndex perUnit;
    switch (encoding) {
        case kCFStringEncodingASCII:
        case kCFStringEncodingISOLatin1: perUnit = 1; break;
        case kCFStringEncodingUTF8: perUnit = 3; break;  // a pair needs 4 bytes for 2 units
        case kCFStringEncodingUTF16:
        case kCFStringEncodingUTF16BE:
        case kCFStringEncodingUTF16LE: perUnit = 2; break;
        case kCFStringEncodingUTF32:
        case kCFStringEncodingUTF32BE:
        case kCFStringEncodingUTF32LE: perUnit = 4; break;
        default: return kCFNotFound;
    }
    if (length > LONG_MAX / perUnit) return kCFNotFound;
    return length * perUnit;
}

CFIndex CFStringGetMaximumSizeOfFileSystemRepresentation(CFStringRef string) {
    return CFStringGetMaximumSizeForEncoding(CFStringGetLength(string), kCFStringEncodingUTF8) + 1;
}

Boolean CFStringGetFileSystemRepresentation(CFStringRef string, char *buffer, CFIndex maxBufLen) {
    return CFStringGetCString(string, buffer, maxBufLen, kCFStringEncodingUTF8);
}

CFStringEncoding CFStringGetSystemEncoding(void) { return kCFStringEncodingUTF8; }

Boolean CFStringIsEncodingAvailable(CFStringEncoding encoding) { return cf::IsSupportedEncoding(encoding); }

SInt32 CFStringGetIntValue(CFStringRef str) {
    std::string text = CF_STRING(str)->utf8();
    long value = std::strtol(text.c_str(), nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<SInt32>(value);
}

double CFStringGetDoubleValue(CFStringRef str) {
    std::string text = CF_STRING(str)->utf8();
    return std::strtod(text.c_str(), nullptr);
}

// --- comparison --------------------------------------------------------------------------------

CFComparisonResult CFStringCompare(CFStringRef theString1, CFStringRef theString2,
                                   CFStringCompareFlags compareOptions) {
    const __CFString *a = CF_STRING(theString1);
    const __CFString *b = CF_STRING(theString2);
    return CompareUnits(a, 0, a->length(), b, 0, b->length(), compareOptions);
}

CFComparisonResult CFStringCompareWithOptions(CFStringRef theString1, CFStringRef theString2,
                                              CFRange rangeToCompare, CFStringCompareFlags compareOptions) {
    const __CFString *a = CF_STRING(theString1);
    const __CFString *b = CF_STRING(theString2);
    CF_CHECK_RANGE(a, rangeToCompare);
    return CompareUnits(a, rangeToCompare.location, rangeToCompare.location + rangeToCompare.length, b, 0,
                        b->length(), compareOptions);
}

CFRange CFStringFind(CFStringRef theString, CFStringRef stringToFind, CFStringCompareFlags compareOptions) {
    const __CFString *str = CF_STRING(theString);
    const __CFString *find = CF_STRING(stringToFind);
    bool fold = (compareOptions & kCFCompareCaseInsensitive) != 0;
    bool backwards = (compareOptions & kCFCompareBackwards) != 0;
    bool anchored = (compareOptions & kCFCompareAnchored) != 0;
    CFIndex n = str->length(), m = find->length();
    CFRange notFound = CFRangeMake(kCFNotFound, 0);
    if (m == 0 || m > n) return notFound;
    CFIndex last = n - m;
    if (anchored) {
        CFIndex at = backwards ? last : 0;
        return MatchesAt(str, at, find, fold) ? CFRangeMake(at, m) : notFound;
    }
    if (backwards) {
        for (CFIndex at = last; at >= 0; --at) {
            if (MatchesAt(str, at, find, fold)) return CFRangeMake(at, m);
        }
    } else {
        for (CFIndex at = 0; at <= last; ++at) {
            if (MatchesAt(str, at, find, fold)) return CFRangeMake(at, m);
        }
    }
    return notFound;
}

Boolean CFStringHasPrefix(CFStringRef theString, CFStringRef prefix) {
    const __CFString *str = CF_STRING(theString);
    const __CFString *pre = CF_STRING(prefix);
    return pre->length() <= str->length() && MatchesAt(str, 0, pre, false);
}

Boolean CFStringHasSuffix(CFStringRef theString, CFStringRef suffix) {
    const __CFString *str = CF_STRING(theString);
    const __CFString *suf = CF_STRING(suffix);
    return suf->length() <= str->length() && MatchesAt(str, str->length() - suf->length(), suf, false);
}

// --- change ------------------------------------------------------------------------------------

void CFStringAppend(CFMutableStringRef theString, CFStringRef appendedString) {
    __CFString *str = CF_MUTABLE_STRING(theString);
    const __CFString *more = CF_STRING(appendedString);
    str->checkMutation(str->length() + more->length(), __FILE__, __LINE__);
    if (str == more) {
        std::u16string copy = more->units();
        str->append(reinterpret_cast<const UniChar *>(copy.data()), static_cast<CFIndex>(copy.size()));
    } else {
        str->append(*more);
    }
}

void CFStringAppendCharacters(CFMutableStringRef theString, const UniChar *chars, CFIndex numChars) {
    __CFString *str = CF_MUTABLE_STRING(theString);
    CF_ASSERT(numChars >= 0);
    CF_ASSERT(chars != NULL || numChars == 0);
    str->checkMutation(str->length() + numChars, __FILE__, __LINE__);
    str->append(chars, numChars);
}

void CFStringAppendCString(CFMutableStringRef theString, const char *cStr, CFStringEncoding encoding) {
    CF_ASSERT(cStr != NULL);
    __CFString *str = CF_MUTABLE_STRING(theString);
    CFStringRef more = CFStringCreateWithCString(nullptr, cStr, encoding);
    // Text that is not valid in its encoding is a caller error here: there is no result to refuse.
    CF_ASSERT(more != NULL);
    str->checkMutation(str->length() + CFStringGetLength(more), __FILE__, __LINE__);
    str->append(*CF_STRING(more));
    CFRelease(more);
}

void CFStringAppendFormatAndArguments(CFMutableStringRef theString, CFDictionaryRef,
                                      CFStringRef format, va_list arguments) {
    __CFString *str = CF_MUTABLE_STRING(theString);
    std::u16string text = cf::FormatUnits(format, arguments);
    str->checkMutation(str->length() + static_cast<CFIndex>(text.size()), __FILE__, __LINE__);
    str->append(reinterpret_cast<const UniChar *>(text.data()), static_cast<CFIndex>(text.size()));
}

void CFStringAppendFormat(CFMutableStringRef theString, CFDictionaryRef formatOptions, CFStringRef format, ...) {
    va_list arguments;
    va_start(arguments, format);
    CFStringAppendFormatAndArguments(theString, formatOptions, format, arguments);
    va_end(arguments);
}

void CFStringReplace(CFMutableStringRef theString, CFRange range, CFStringRef replacement) {
    __CFString *str = CF_MUTABLE_STRING(theString);
    CF_CHECK_RANGE(str, range);
    std::u16string with = CF_STRING(replacement)->units();
    str->checkMutation(str->length() - range.length + static_cast<CFIndex>(with.size()), __FILE__, __LINE__);
    std::u16string units = str->units();
    units.replace(static_cast<size_t>(range.location), static_cast<size_t>(range.length), with);
    str->assign(std::move(units));
}

void CFStringInsert(CFMutableStringRef str, CFIndex idx, CFStringRef insertedStr) {
    CFStringReplace(str, CFRangeMake(idx, 0), insertedStr);
}

void CFStringDelete(CFMutableStringRef theString, CFRange range) {
    CFStringReplace(theString, range, CFSTR(""));
}

void CFStringReplaceAll(CFMutableStringRef theString, CFStringRef replacement) {
    CFStringReplace(theString, CFRangeMake(0, CFStringGetLength(theString)), replacement);
}
