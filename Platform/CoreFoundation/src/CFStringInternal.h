// The string object and the conversions the rest of the library shares. Not installed.
#pragma once

#include "CFInternal.h"

#include <optional>
#include <string>
#include <string_view>

// A string holds exactly one representation: `ascii_` while every unit is below 0x80 (the common
// case of keys and property-list text, which then needs no conversion to or from UTF-8), and
// `wide_`, UTF-16 units, as soon as any unit is not ASCII.
struct __CFString final : __CFObject {
    __CFString() noexcept : __CFObject(kCFTypeIDString) {}

    bool equal(const __CFObject &other) const override;
    CFHashCode hash() const override;
    std::string description() const override { return utf8(); }

    CFIndex length() const {
        return static_cast<CFIndex>(isWide_ ? wide_.size() : ascii_.size());
    }
    UniChar at(CFIndex index) const {
        return isWide_ ? wide_[static_cast<size_t>(index)]
                       : static_cast<unsigned char>(ascii_[static_cast<size_t>(index)]);
    }
    // A copy of the units of [location, location + count).
    std::u16string units(CFIndex location, CFIndex count) const;
    std::u16string units() const { return units(0, length()); }
    // The string in UTF-8; lone surrogates become U+FFFD.
    std::string utf8() const;

    void assign(std::u16string units);  // picks the representation
    void assignAscii(std::string ascii) {
        ascii_ = std::move(ascii);
        wide_.clear();
        isWide_ = false;
    }
    void append(const UniChar *units, CFIndex count);
    void append(const __CFString &other);
    // Changing a string: it must be mutable and stay within its limit.
    void checkMutation(CFIndex newLength, const char *file, unsigned line) const;

    bool isWide_ = false;
    bool mutable_ = false;
    // The hash of an immutable string, worked out once (0: not yet). Racing threads store the same
    // value, so relaxed order is enough.
    mutable std::atomic<CFHashCode> hash_{0};
    CFIndex maxLength_ = 0;  // 0: no limit
    std::string ascii_;
    std::u16string wide_;
};

namespace cf {

// The decoded form of a byte sequence: ASCII text stays 8-bit.
struct DecodedText {
    bool wide = false;
    std::string ascii;
    std::u16string units;
};

// Decodes bytes in an encoding; nullopt when the bytes are not valid in it or the encoding is not
// supported.
std::optional<DecodedText> DecodeBytes(const UInt8 *bytes, CFIndex count, CFStringEncoding encoding,
                                       bool isExternalRepresentation);

// Encodes units [location, location + count) of `str`; the CFStringGetBytes contract.
CFIndex EncodeUnits(const __CFString &str, CFIndex location, CFIndex count, CFStringEncoding encoding,
                    UInt8 lossByte, bool isExternalRepresentation, UInt8 *buffer, CFIndex maxBufLen,
                    CFIndex *usedBufLen);

bool IsSupportedEncoding(CFStringEncoding encoding);

// Appends the UTF-8 form of one code point (surrogates must already be paired).
void AppendUTF8(std::string &out, UInt32 codePoint);

// A new immutable string from UTF-8 that the caller knows is valid (invalid sequences become
// U+FFFD). Never NULL.
CFStringRef CreateStringWithUTF8(std::string_view utf8);
CFStringRef CreateStringWithUnits(std::u16string units);

// A new string from UTF-8 that has already been checked (by the XML parser): no second validation
// pass. Text that is not in fact valid is still caught, as a caller error.
CFStringRef CreateStringWithCheckedUTF8(const char *bytes, std::size_t count, bool isMutable);

// True when every byte is below 0x80.
bool IsAscii(const char *bytes, std::size_t count);

// The hash of a string, for ASCII bytes without making the string: FNV-1a over its UTF-16 units.
inline CFHashCode HashAscii(const char *bytes, std::size_t count) {
    UInt64 h = 1469598103934665603ull;
    for (std::size_t i = 0; i < count; ++i) h = (h ^ static_cast<unsigned char>(bytes[i])) * 1099511628211ull;
    return static_cast<CFHashCode>(h);
}

inline const __CFString *String(CFTypeRef cf, const char *file, unsigned line, const char *expr) {
    return Cast<__CFString>(cf, kCFTypeIDString, file, line, expr);
}

// The text of a format with %@ taken through CFCopyDescription.
std::u16string FormatUnits(CFStringRef format, va_list arguments);

}  // namespace cf

// A string argument checked for its type; the report names the argument.
#define CF_STRING(ref) (::cf::String((ref), __FILE__, __LINE__, #ref " is a CFString"))
