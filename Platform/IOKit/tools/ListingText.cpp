#include "ListingText.h"

#include <cstdint>
#include <cstdio>

namespace wfs::pmset {
namespace {

struct Range {
    char32_t first, last;
};

// Code points a terminal does not show as themselves. The format characters (general category
// Cf) are listed in full: they include the bidirectional embeddings, overrides and isolates that
// make a line read differently from the bytes it holds.
constexpr Range kNotPrintable[] = {
    {0x0000, 0x001F},   {0x007F, 0x009F},   {0x00AD, 0x00AD},   {0x0600, 0x0605},   {0x061C, 0x061C},
    {0x06DD, 0x06DD},   {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},   {0x180E, 0x180E},
    {0x200B, 0x200F},   {0x2028, 0x202E},   {0x2060, 0x2064},   {0x2066, 0x206F},   {0xD800, 0xDFFF},
    {0xE000, 0xF8FF},   {0xFDD0, 0xFDEF},   {0xFEFF, 0xFEFF},   {0xFFF9, 0xFFFB},   {0xFFFE, 0xFFFF},
    {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x13430, 0x1343F}, {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A},
    {0xE0001, 0xE0001}, {0xE0020, 0xE007F}, {0xF0000, 0x10FFFF},
};

bool IsPrintable(char32_t c) {
    if ((c & 0xFFFE) == 0xFFFE) return false;  // the noncharacters at the end of every plane
    for (const Range &range : kNotPrintable) {
        if (c < range.first) return true;
        if (c <= range.last) return false;
    }
    return true;
}

// Decodes one well-formed UTF-8 sequence at the start of `text` (shortest form, no surrogates);
// answers its length, or 0 when the first byte does not start one.
size_t DecodeOne(std::string_view text, char32_t &c) {
    const auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    size_t length;
    char32_t min;
    if (lead < 0x80) {
        c = lead;
        return 1;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, min = 0x80, c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, min = 0x800, c = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, min = 0x10000, c = lead & 0x07;
    } else {
        return 0;
    }
    if (text.size() < length) return 0;
    for (size_t i = 1; i < length; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
        c = (c << 6) | (byte(i) & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    return length;
}

}  // namespace

std::string EscapedForTerminal(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    char escape[16];
    while (!text.empty()) {
        char32_t c = 0;
        const size_t length = DecodeOne(text, c);
        if (length == 0) {
            std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned char>(text[0]));
            out += escape;
            text.remove_prefix(1);
            continue;
        }
        if (c == '\\' || (c < 0x80 && !IsPrintable(c))) {
            std::snprintf(escape, sizeof escape, "\\x%02x", static_cast<unsigned>(c));
            out += escape;
        } else if (!IsPrintable(c)) {
            std::snprintf(escape, sizeof escape, c <= 0xFFFF ? "\\u%04x" : "\\U%08x", static_cast<unsigned>(c));
            out += escape;
        } else {
            out.append(text.data(), length);
        }
        text.remove_prefix(length);
    }
    return out;
}

}  // namespace wfs::pmset
