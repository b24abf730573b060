// The XML property-list writer.
//
// One pass over the object tree straight into a malloc'd buffer that becomes the CFData. Whatever
// the format cannot carry makes the whole write fail, so that no document is ever produced that
// the reader would refuse or read back differently.
#include "CFInternal.h"
#include "CFPropertyListFormat.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <vector>

namespace cf::plist {
namespace {

constexpr char kHeader[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";
constexpr char kFooter[] = "</plist>\n";

// The characters of a string as UTF-16 units or, for the common all-ASCII string, as bytes.
struct StringText {
    const char *ascii = nullptr;
    const UniChar *units = nullptr;
    std::size_t length = 0;
};

class Writer {
public:
    explicit Writer(ByteBuffer &out) : out_(out) {}

    bool write(CFTypeRef value, unsigned indent, unsigned depth);

private:
    bool writeString(const char *open, std::size_t openLength, const char *close, std::size_t closeLength,
                     CFStringRef string, unsigned indent);
    bool writeDictionary(CFDictionaryRef dictionary, unsigned indent, unsigned depth);
    bool writeArray(CFArrayRef array, unsigned indent, unsigned depth);
    void writeData(CFDataRef data, unsigned indent);
    bool writeNumber(CFNumberRef number, unsigned indent);
    bool writeDate(CFDateRef date, unsigned indent);
    StringText text(CFStringRef string, std::vector<UniChar> &scratch);

    ByteBuffer &out_;
    std::vector<UniChar> scratch_;  // for strings that offer neither form directly
};

// Escapes what XML would misread in element content: the markup characters, and carriage return,
// which a parser turns into a line feed. Refuses what XML 1.0 cannot hold at all.
template <typename Unit>
bool AppendEscaped(ByteBuffer &out, const Unit *text, std::size_t length) {
    // Worst case per unit: "&amp;" (5 bytes); a surrogate pair is 2 units for 4 bytes.
    char *const start = out.reserve(length * 5);
    char *p = start;
    for (std::size_t i = 0; i < length; ++i) {
        const std::uint32_t c = static_cast<std::make_unsigned_t<Unit>>(text[i]);
        if (c >= 0x20 && c < 0x80) {
            switch (c) {
                case '&': std::memcpy(p, "&amp;", 5); p += 5; break;
                case '<': std::memcpy(p, "&lt;", 4); p += 4; break;
                case '>': std::memcpy(p, "&gt;", 4); p += 4; break;
                default: *p++ = static_cast<char>(c);
            }
        } else if (c < 0x20) {
            if (c == '\t' || c == '\n') {
                *p++ = static_cast<char>(c);
            } else if (c == '\r') {
                std::memcpy(p, "&#13;", 5);
                p += 5;
            } else {
                return false;
            }
        } else if (c < 0x800) {
            *p++ = static_cast<char>(0xC0 | (c >> 6));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            if (c > 0xDBFF || i + 1 == length) return false;
            const std::uint32_t low = static_cast<std::make_unsigned_t<Unit>>(text[i + 1]);
            if (low < 0xDC00 || low > 0xDFFF) return false;
            const std::uint32_t cp = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
            ++i;
            *p++ = static_cast<char>(0xF0 | (cp >> 18));
            *p++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (cp & 0x3F));
        } else {
            if (c == 0xFFFE || c == 0xFFFF) return false;
            *p++ = static_cast<char>(0xE0 | (c >> 12));
            *p++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    out.commit(static_cast<std::size_t>(p - start));
    return true;
}

StringText Writer::text(CFStringRef string, std::vector<UniChar> &scratch) {
    StringText result;
    result.length = static_cast<std::size_t>(CFStringGetLength(string));
    if ((result.ascii = CFStringGetCStringPtr(string, kCFStringEncodingASCII)) != nullptr) return result;
    if ((result.units = CFStringGetCharactersPtr(string)) != nullptr) return result;
    scratch.resize(result.length);
    CFStringGetCharacters(string, CFRangeMake(0, static_cast<CFIndex>(result.length)), scratch.data());
    result.units = scratch.data();
    return result;
}

bool Writer::writeString(const char *open, std::size_t openLength, const char *close, std::size_t closeLength,
                         CFStringRef string, unsigned indent) {
    const StringText t = text(string, scratch_);
    out_.appendTabs(indent);
    out_.append(open, openLength);
    if (!(t.ascii != nullptr ? AppendEscaped(out_, t.ascii, t.length) : AppendEscaped(out_, t.units, t.length)))
        return false;
    out_.append(close, closeLength);
    return true;
}

bool Writer::writeNumber(CFNumberRef number, unsigned indent) {
    char digits[64];
    std::size_t length;
    const bool isReal = CFNumberIsFloatType(number);
    if (isReal) {
        double value = 0;
        CFNumberGetValue(number, kCFNumberFloat64Type, &value);
        if (std::isnan(value)) {
            std::memcpy(digits, "nan", length = 3);
        } else if (std::isinf(value)) {
            std::memcpy(digits, value > 0 ? "+infinity" : "-infinity", length = 9);
        } else {
            // The shortest decimal that reads back as the same double; the element, not the text,
            // makes it a real, so 2.0 may well be written "2".
            length = static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, value).ptr - digits);
        }
    } else if (CFNumberGetType(number) == kCFNumberSInt128Type) {
        CFSInt128Struct value{};
        CFNumberGetValue(number, kCFNumberSInt128Type, &value);
        char *end;
        if (value.high == 0) {
            end = std::to_chars(digits, digits + sizeof digits, value.low).ptr;
        } else if (value.high == -1 && value.low >= (UInt64{1} << 63)) {
            end = std::to_chars(digits, digits + sizeof digits, static_cast<SInt64>(value.low)).ptr;
        } else {
            return false;  // beyond what a 64-bit reader can hold
        }
        length = static_cast<std::size_t>(end - digits);
    } else {
        SInt64 value = 0;
        CFNumberGetValue(number, kCFNumberSInt64Type, &value);
        length = static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, value).ptr - digits);
    }
    out_.appendTabs(indent);
    if (isReal) {
        out_.appendLiteral("<real>");
        out_.append(digits, length);
        out_.appendLiteral("</real>\n");
    } else {
        out_.appendLiteral("<integer>");
        out_.append(digits, length);
        out_.appendLiteral("</integer>\n");
    }
    return true;
}

bool Writer::writeDate(CFDateRef date, unsigned indent) {
    char text[kMaxDateLength];
    const std::size_t length = FormatDate(CFDateGetAbsoluteTime(date), text);
    if (length == 0) return false;
    out_.appendTabs(indent);
    out_.appendLiteral("<date>");
    out_.append(text, length);
    out_.appendLiteral("</date>\n");
    return true;
}

void Writer::writeData(CFDataRef data, unsigned indent) {
    const std::uint8_t *bytes = CFDataGetBytePtr(data);
    const std::size_t length = static_cast<std::size_t>(CFDataGetLength(data));
    const std::size_t lineChars = Base64LineLength(indent);
    const std::size_t lineBytes = lineChars / 4 * 3;
    const std::size_t lines = (length + lineBytes - 1) / lineBytes;

    out_.appendTabs(indent);
    out_.appendLiteral("<data>\n");
    char *const start = out_.reserve(Base64EncodedLength(length) + lines * (indent + 1));
    char *p = start;
    for (std::size_t offset = 0; offset < length; offset += lineBytes) {
        const std::size_t n = std::min(lineBytes, length - offset);
        std::memset(p, '\t', indent);
        p += indent;
        Base64Encode(bytes + offset, n, p);
        p += Base64EncodedLength(n);
        *p++ = '\n';
    }
    out_.commit(static_cast<std::size_t>(p - start));
    out_.appendTabs(indent);
    out_.appendLiteral("</data>\n");
}

bool Writer::writeArray(CFArrayRef array, unsigned indent, unsigned depth) {
    const CFIndex count = CFArrayGetCount(array);
    out_.appendTabs(indent);
    if (count == 0) {
        out_.appendLiteral("<array/>\n");
        return true;
    }
    out_.appendLiteral("<array>\n");
    for (CFIndex i = 0; i < count; ++i)
        if (!write(CFArrayGetValueAtIndex(array, i), indent + 1, depth + 1)) return false;
    out_.appendTabs(indent);
    out_.appendLiteral("</array>\n");
    return true;
}

bool Writer::writeDictionary(CFDictionaryRef dictionary, unsigned indent, unsigned depth) {
    const std::size_t count = static_cast<std::size_t>(CFDictionaryGetCount(dictionary));
    out_.appendTabs(indent);
    if (count == 0) {
        out_.appendLiteral("<dict/>\n");
        return true;
    }

    // Keys go out in UTF-16 code-unit order (what CFStringCompare without options gives), so that
    // equal dictionaries always make the same document.
    struct Entry {
        StringText key;
        CFTypeRef value;
    };
    // Small dictionaries (a request has four keys) sort on the stack.
    constexpr std::size_t kSmall = 16;
    const void *smallKeys[kSmall], *smallValues[kSmall];
    Entry smallEntries[kSmall];
    std::vector<const void *> largeKeys, largeValues;
    std::vector<Entry> largeEntries;
    if (count > kSmall) {
        largeKeys.resize(count);
        largeValues.resize(count);
        largeEntries.resize(count);
    }
    const void **keys = count > kSmall ? largeKeys.data() : smallKeys;
    const void **values = count > kSmall ? largeValues.data() : smallValues;
    Entry *const entries = count > kSmall ? largeEntries.data() : smallEntries;
    CFDictionaryGetKeysAndValues(dictionary, keys, values);
    std::vector<std::vector<UniChar>> copies;  // units of keys that expose neither form
    for (std::size_t i = 0; i < count; ++i) {
        if (CFGetTypeID(keys[i]) != CFStringGetTypeID()) return false;
        std::vector<UniChar> scratch;
        entries[i] = {text(static_cast<CFStringRef>(keys[i]), scratch), values[i]};
        if (!scratch.empty()) {
            copies.push_back(std::move(scratch));
            entries[i].key.units = copies.back().data();  // the vector's buffer moved with it
        }
    }
    auto unitAt = [](const StringText &t, std::size_t i) -> std::uint32_t {
        return t.ascii != nullptr ? static_cast<unsigned char>(t.ascii[i]) : t.units[i];
    };
    std::sort(entries, entries + count, [&](const Entry &a, const Entry &b) {
        if (a.key.ascii != nullptr && b.key.ascii != nullptr) {
            const int c = std::memcmp(a.key.ascii, b.key.ascii, std::min(a.key.length, b.key.length));
            return c != 0 ? c < 0 : a.key.length < b.key.length;
        }
        const std::size_t n = std::min(a.key.length, b.key.length);
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t x = unitAt(a.key, i), y = unitAt(b.key, i);
            if (x != y) return x < y;
        }
        return a.key.length < b.key.length;
    });

    out_.appendLiteral("<dict>\n");
    for (std::size_t i = 0; i < count; ++i) {
        const Entry &entry = entries[i];
        out_.appendTabs(indent + 1);
        out_.appendLiteral("<key>");
        const bool ok = entry.key.ascii != nullptr ? AppendEscaped(out_, entry.key.ascii, entry.key.length)
                                                   : AppendEscaped(out_, entry.key.units, entry.key.length);
        if (!ok) return false;
        out_.appendLiteral("</key>\n");
        if (!write(entry.value, indent + 1, depth + 1)) return false;
    }
    out_.appendTabs(indent);
    out_.appendLiteral("</dict>\n");
    return true;
}

bool Writer::write(CFTypeRef value, unsigned indent, unsigned depth) {
    const CFTypeID type = CFGetTypeID(value);
    if (type == CFStringGetTypeID()) {
        return writeString("<string>", 8, "</string>\n", 10, static_cast<CFStringRef>(value), indent);
    } else if (type == CFNumberGetTypeID()) {
        return writeNumber(static_cast<CFNumberRef>(value), indent);
    } else if (type == CFBooleanGetTypeID()) {
        out_.appendTabs(indent);
        if (CFBooleanGetValue(static_cast<CFBooleanRef>(value)))
            out_.appendLiteral("<true/>\n");
        else
            out_.appendLiteral("<false/>\n");
        return true;
    } else if (type == CFDateGetTypeID()) {
        return writeDate(static_cast<CFDateRef>(value), indent);
    } else if (type == CFDataGetTypeID()) {
        writeData(static_cast<CFDataRef>(value), indent);
        return true;
    } else if (type == CFArrayGetTypeID() || type == CFDictionaryGetTypeID()) {
        // Also what stops a container that holds itself.
        if (depth >= kCFPropertyListMaxNestingDepth) return false;
        return type == CFArrayGetTypeID() ? writeArray(static_cast<CFArrayRef>(value), indent, depth)
                                          : writeDictionary(static_cast<CFDictionaryRef>(value), indent, depth);
    }
    return false;
}

}  // namespace

bool WriteXML(CFPropertyListRef propertyList, ByteBuffer &out) {
    out.appendLiteral(kHeader);
    Writer writer(out);
    if (!writer.write(propertyList, 0, 0)) return false;
    out.appendLiteral(kFooter);
    return true;
}

}  // namespace cf::plist

CFDataRef CFPropertyListCreateXMLData(CFAllocatorRef allocator, CFPropertyListRef propertyList) {
    CF_ASSERT(propertyList != NULL);
    cf::plist::ByteBuffer out;
    if (!cf::plist::WriteXML(propertyList, out)) return nullptr;
    const CFIndex length = static_cast<CFIndex>(out.size());
    return CFDataCreateWithBytesNoCopy(allocator, reinterpret_cast<const UInt8 *>(out.release()), length,
                                       kCFAllocatorMalloc);
}

Boolean CFPropertyListIsValid(CFPropertyListRef plist, CFPropertyListFormat format) {
    CF_ASSERT(plist != NULL);
    if (format != kCFPropertyListXMLFormat_v1_0) return false;
    cf::plist::ByteBuffer discard;
    return cf::plist::WriteXML(plist, discard);
}
