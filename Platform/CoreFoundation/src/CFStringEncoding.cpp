// Conversions between strings and bytes in the encodings this library supports: UTF-8, ASCII,
// ISO Latin 1, UTF-16 and UTF-32 in host, big-endian and little-endian order.
#include "CFStringInternal.h"

#include <algorithm>
#include <cstring>

namespace cf {
namespace {

constexpr bool kHostIsBigEndian = __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__;

bool IsHighSurrogate(UInt32 unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool IsLowSurrogate(UInt32 unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

void AppendCodePoint(std::u16string &out, UInt32 codePoint) {
    if (codePoint < 0x10000) {
        out.push_back(static_cast<char16_t>(codePoint));
    } else {
        codePoint -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (codePoint >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (codePoint & 0x3FF)));
    }
}

bool AllAscii(const UInt8 *bytes, CFIndex count) {
    for (CFIndex i = 0; i < count; ++i) {
        if (bytes[i] >= 0x80) return false;
    }
    return true;
}

DecodedText AsciiText(const UInt8 *bytes, CFIndex count) {
    DecodedText text;
    text.ascii.assign(reinterpret_cast<const char *>(bytes), static_cast<size_t>(count));
    return text;
}

// Strict UTF-8: no overlong forms, no encoded surrogates, nothing above U+10FFFF, no truncation.
std::optional<DecodedText> DecodeUTF8(const UInt8 *bytes, CFIndex count) {
    if (AllAscii(bytes, count)) return AsciiText(bytes, count);
    DecodedText text;
    text.wide = true;
    text.units.reserve(static_cast<size_t>(count));
    CFIndex i = 0;
    while (i < count) {
        UInt32 lead = bytes[i];
        if (lead < 0x80) {
            text.units.push_back(static_cast<char16_t>(lead));
            ++i;
            continue;
        }
        int trailing;
        UInt32 codePoint, minimum;
        if (lead >= 0xC2 && lead <= 0xDF) {
            trailing = 1, codePoint = lead & 0x1F, minimum = 0x80;
        } else if (lead >= 0xE0 && lead <= 0xEF) {
            trailing = 2, codePoint = lead & 0x0F, minimum = 0x800;
        } else if (lead >= 0xF0 && lead <= 0xF4) {
            trailing = 3, codePoint = lead & 0x07, minimum = 0x10000;
        } else {
            return std::nullopt;
        }
        if (count - i <= trailing) return std::nullopt;
        for (int k = 1; k <= trailing; ++k) {
            UInt32 next = bytes[i + k];
            if ((next & 0xC0) != 0x80) return std::nullopt;
            codePoint = (codePoint << 6) | (next & 0x3F);
        }
        if (codePoint < minimum || codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
            return std::nullopt;
        }
        AppendCodePoint(text.units, codePoint);
        i += trailing + 1;
    }
    return text;
}

UInt32 ReadUnit(const UInt8 *p, int size, bool bigEndian) {
    UInt32 value = 0;
    for (int k = 0; k < size; ++k) {
        int shift = bigEndian ? 8 * (size - 1 - k) : 8 * k;
        value |= static_cast<UInt32>(p[k]) << shift;
    }
    return value;
}

void WriteUnit(UInt8 *p, UInt32 value, int size, bool bigEndian) {
    for (int k = 0; k < size; ++k) {
        int shift = bigEndian ? 8 * (size - 1 - k) : 8 * k;
        p[k] = static_cast<UInt8>(value >> shift);
    }
}

// UTF-16 and UTF-32 input. `hostForm` is the encoding without explicit order, where an external
// representation may start with a byte-order mark; without one it is big-endian, as the Unicode
// standard says for unmarked text.
std::optional<DecodedText> DecodeWide(const UInt8 *bytes, CFIndex count, int size, bool bigEndian,
                                      bool hostForm, bool isExternalRepresentation) {
    if (count % size != 0) return std::nullopt;
    if (hostForm && isExternalRepresentation) {
        bigEndian = true;
        if (count >= size) {
            if (ReadUnit(bytes, size, true) == 0xFEFF) {
                bytes += size, count -= size;
            } else if (ReadUnit(bytes, size, false) == 0xFEFF) {
                bigEndian = false;
                bytes += size, count -= size;
            }
        }
    }
    DecodedText text;
    text.units.reserve(static_cast<size_t>(count / size));
    bool ascii = true;
    for (CFIndex i = 0; i < count; i += size) {
        UInt32 value = ReadUnit(bytes + i, size, bigEndian);
        if (size == 4) {
            if (value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return std::nullopt;
            AppendCodePoint(text.units, value);
        } else {
            text.units.push_back(static_cast<char16_t>(value));
        }
        if (value >= 0x80) ascii = false;
    }
    if (ascii) {
        text.ascii.assign(text.units.begin(), text.units.end());
        text.units.clear();
    } else {
        text.wide = true;
    }
    return text;
}

}  // namespace

bool IsSupportedEncoding(CFStringEncoding encoding) {
    switch (encoding) {
        case kCFStringEncodingUTF8:
        case kCFStringEncodingASCII:
        case kCFStringEncodingISOLatin1:
        case kCFStringEncodingUTF16:
        case kCFStringEncodingUTF16BE:
        case kCFStringEncodingUTF16LE:
        case kCFStringEncodingUTF32:
        case kCFStringEncodingUTF32BE:
        case kCFStringEncodingUTF32LE:
            return true;
        default:
            return false;
    }
}

void AppendUTF8(std::string &out, UInt32 codePoint) {
    if (codePoint < 0x80) {
        out.push_back(static_cast<char>(codePoint));
    } else if (codePoint < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (codePoint >> 6)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else if (codePoint < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (codePoint >> 12)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (codePoint >> 18)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (codePoint & 0x3F)));
    }
}

std::optional<DecodedText> DecodeBytes(const UInt8 *bytes, CFIndex count, CFStringEncoding encoding,
                                       bool isExternalRepresentation) {
    if (count == 0) return DecodedText{};
    switch (encoding) {
        case kCFStringEncodingUTF8:
            if (isExternalRepresentation && count >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB &&
                bytes[2] == 0xBF) {
                bytes += 3, count -= 3;
            }
            return DecodeUTF8(bytes, count);
        case kCFStringEncodingASCII:
            if (!AllAscii(bytes, count)) return std::nullopt;
            return AsciiText(bytes, count);
        case kCFStringEncodingISOLatin1: {
            if (AllAscii(bytes, count)) return AsciiText(bytes, count);
            DecodedText text;
            text.wide = true;
            text.units.assign(bytes, bytes + count);
            return text;
        }
        case kCFStringEncodingUTF16:
            return DecodeWide(bytes, count, 2, kHostIsBigEndian, true, isExternalRepresentation);
        case kCFStringEncodingUTF16BE:
            return DecodeWide(bytes, count, 2, true, false, false);
        case kCFStringEncodingUTF16LE:
            return DecodeWide(bytes, count, 2, false, false, false);
        case kCFStringEncodingUTF32:
            return DecodeWide(bytes, count, 4, kHostIsBigEndian, true, isExternalRepresentation);
        case kCFStringEncodingUTF32BE:
            return DecodeWide(bytes, count, 4, true, false, false);
        case kCFStringEncodingUTF32LE:
            return DecodeWide(bytes, count, 4, false, false, false);
        default:
            return std::nullopt;
    }
}

CFIndex EncodeUnits(const __CFString &str, CFIndex location, CFIndex count, CFStringEncoding encoding,
                    UInt8 lossByte, bool isExternalRepresentation, UInt8 *buffer, CFIndex maxBufLen,
                    CFIndex *usedBufLen) {
    CFIndex used = 0;
    auto finish = [&](CFIndex converted) {
        if (usedBufLen != nullptr) *usedBufLen = used;
        return converted;
    };
    if (!IsSupportedEncoding(encoding)) return finish(0);

    // 8-bit text in an ASCII-compatible encoding is a plain copy.
    if (!str.isWide_ && (encoding == kCFStringEncodingUTF8 || encoding == kCFStringEncodingASCII ||
                         encoding == kCFStringEncodingISOLatin1)) {
        CFIndex n = buffer == nullptr ? count : std::min(count, maxBufLen);
        if (buffer != nullptr && n > 0) std::memcpy(buffer, str.ascii_.data() + location, static_cast<size_t>(n));
        used = n;
        return finish(n);
    }

    int unitSize = 0;
    bool bigEndian = kHostIsBigEndian;
    switch (encoding) {
        case kCFStringEncodingUTF16: unitSize = 2; break;
        case kCFStringEncodingUTF16BE: unitSize = 2, bigEndian = true; break;
        case kCFStringEncodingUTF16LE: unitSize = 2, bigEndian = false; break;
        case kCFStringEncodingUTF32: unitSize = 4; break;
        case kCFStringEncodingUTF32BE: unitSize = 4, bigEndian = true; break;
        case kCFStringEncodingUTF32LE: unitSize = 4, bigEndian = false; break;
        default: break;
    }
    auto fits = [&](CFIndex n) { return buffer == nullptr || maxBufLen - used >= n; };

    if (isExternalRepresentation &&
        (encoding == kCFStringEncodingUTF16 || encoding == kCFStringEncodingUTF32)) {
        if (!fits(unitSize)) return finish(0);
        if (buffer != nullptr) WriteUnit(buffer + used, 0xFEFF, unitSize, bigEndian);
        used += unitSize;
    }

    CFIndex end = location + count;
    CFIndex i = location;
    UInt8 bytes[4];
    while (i < end) {
        UInt32 unit = str.at(i);
        CFIndex consumed = 1;
        UInt32 codePoint = unit;
        bool paired = false;
        if (IsHighSurrogate(unit) && i + 1 < end && IsLowSurrogate(str.at(i + 1))) {
            codePoint = 0x10000 + ((unit - 0xD800) << 10) + (str.at(i + 1) - 0xDC00);
            consumed = 2;
            paired = true;
        }
        bool loneSurrogate = !paired && unit >= 0xD800 && unit <= 0xDFFF;
        CFIndex n = 0;
        bool convertible = true;
        switch (encoding) {
            case kCFStringEncodingUTF8:
                if (loneSurrogate) {
                    convertible = false;
                } else {
                    std::string out;
                    AppendUTF8(out, codePoint);
                    n = static_cast<CFIndex>(out.size());
                    std::memcpy(bytes, out.data(), out.size());
                }
                break;
            case kCFStringEncodingASCII:
            case kCFStringEncodingISOLatin1:
                if (codePoint >= (encoding == kCFStringEncodingASCII ? 0x80u : 0x100u)) {
                    convertible = false;
                } else {
                    bytes[0] = static_cast<UInt8>(codePoint);
                    n = 1;
                }
                break;
            default:
                if (unitSize == 2) {
                    // UTF-16 carries every unit as it is, lone surrogates included.
                    consumed = 1;
                    WriteUnit(bytes, unit, 2, bigEndian);
                    n = 2;
                } else if (loneSurrogate) {
                    convertible = false;
                } else {
                    WriteUnit(bytes, codePoint, 4, bigEndian);
                    n = 4;
                }
                break;
        }
        if (!convertible) {
            if (lossByte == 0) break;
            // The whole unconvertible character becomes one substitute, as wide as a unit.
            n = unitSize == 0 ? 1 : unitSize;
            std::memset(bytes, 0, sizeof bytes);
            WriteUnit(bytes, lossByte, n, bigEndian);
        }
        if (!fits(n)) break;
        if (buffer != nullptr) std::memcpy(buffer + used, bytes, static_cast<size_t>(n));
        used += n;
        i += consumed;
    }
    return finish(i - location);
}

}  // namespace cf
