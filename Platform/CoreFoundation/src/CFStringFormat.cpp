// printf-style formatting of strings, with %@ for any object through its description.
#include "CFStringInternal.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <cwchar>

namespace cf {
namespace {

void AppendUTF8Text(std::u16string &out, const std::string &text) {
    CFStringRef str = CreateStringWithUTF8(text);
    out += String(str, __FILE__, __LINE__, "string")->units();
    CFRelease(str);
}

// Formats one directive with the C library, growing the buffer as needed.
template <typename T>
std::string Snprintf(const std::string &spec, bool hasWidthArg, int width, bool hasPrecisionArg,
                     int precision, T value) {
    char small[128];
    auto run = [&](char *buffer, size_t size) {
        if (hasWidthArg && hasPrecisionArg) return std::snprintf(buffer, size, spec.c_str(), width, precision, value);
        if (hasWidthArg) return std::snprintf(buffer, size, spec.c_str(), width, value);
        if (hasPrecisionArg) return std::snprintf(buffer, size, spec.c_str(), precision, value);
        return std::snprintf(buffer, size, spec.c_str(), value);
    };
    int n = run(small, sizeof small);
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < sizeof small) return std::string(small, static_cast<size_t>(n));
    std::string big(static_cast<size_t>(n) + 1, '\0');
    run(big.data(), big.size());
    big.resize(static_cast<size_t>(n));
    return big;
}

// Pads already-formatted units to a field width, as printf does for %s.
void AppendPadded(std::u16string &out, const std::u16string &text, bool leftAlign, int width) {
    size_t pad = width > 0 && static_cast<size_t>(width) > text.size() ? width - text.size() : 0;
    if (!leftAlign) out.append(pad, u' ');
    out += text;
    if (leftAlign) out.append(pad, u' ');
}

}  // namespace

std::u16string FormatUnits(CFStringRef format, va_list arguments) {
    // The format is walked in UTF-8 so that the C library can do the numeric directives.
    std::string fmt = String(format, __FILE__, __LINE__, "format is a CFString")->utf8();
    std::u16string out;
    va_list ap;
    va_copy(ap, arguments);
    size_t i = 0;
    std::string literal;
    auto flushLiteral = [&] {
        if (!literal.empty()) AppendUTF8Text(out, literal);
        literal.clear();
    };
    while (i < fmt.size()) {
        char c = fmt[i];
        if (c != '%') {
            literal.push_back(c);
            ++i;
            continue;
        }
        size_t start = i++;
        if (i < fmt.size() && fmt[i] == '%') {
            literal.push_back('%');
            ++i;
            continue;
        }
        flushLiteral();
        std::string flags;
        while (i < fmt.size() && std::strchr("-+ #0'", fmt[i]) != nullptr) flags.push_back(fmt[i++]);
        bool leftAlign = flags.find('-') != std::string::npos;
        bool hasWidthArg = false, hasPrecisionArg = false;
        int width = 0, precision = 0;
        std::string widthText, precisionText;
        if (i < fmt.size() && fmt[i] == '*') {
            hasWidthArg = true;
            width = va_arg(ap, int);
            if (width < 0) leftAlign = true, width = -width;
            ++i;
        } else {
            while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') widthText.push_back(fmt[i++]);
            if (!widthText.empty()) width = std::atoi(widthText.c_str());
        }
        bool hasPrecision = false;
        if (i < fmt.size() && fmt[i] == '.') {
            hasPrecision = true;
            ++i;
            if (i < fmt.size() && fmt[i] == '*') {
                hasPrecisionArg = true;
                precision = va_arg(ap, int);
                ++i;
            } else {
                while (i < fmt.size() && fmt[i] >= '0' && fmt[i] <= '9') precisionText.push_back(fmt[i++]);
                precision = std::atoi(precisionText.c_str());
            }
        }
        std::string length;
        while (i < fmt.size() && std::strchr("hlqLjzt", fmt[i]) != nullptr) length.push_back(fmt[i++]);
        if (i >= fmt.size()) {
            literal.append(fmt, start, std::string::npos);
            break;
        }
        char conversion = fmt[i++];
        // The directive as the C library understands it (q is the platform's spelling of ll).
        std::string cLength = length == "q" ? "ll" : length;
        // Built by appending: g++ 12 warns falsely (-Wrestrict) on "literal" + std::string here.
        std::string spec("%");
        spec.append(flags).append(hasWidthArg ? "*" : widthText);
        if (hasPrecision) spec.append(".").append(hasPrecisionArg ? "*" : precisionText);
        spec.append(cLength).push_back(conversion);
        switch (conversion) {
            case 'd':
            case 'i':
            case 'o':
            case 'u':
            case 'x':
            case 'X': {
                std::string text;
                bool isSigned = conversion == 'd' || conversion == 'i';
                if (cLength == "ll" || cLength == "j") {
                    text = isSigned ? Snprintf(spec, hasWidthArg, width, hasPrecisionArg, precision, va_arg(ap, long long))
                                    : Snprintf(spec, hasWidthArg, width, hasPrecisionArg, precision,
                                               va_arg(ap, unsigned long long));
                } else if (cLength == "l" || cLength == "z" || cLength == "t") {
                    text = isSigned ? Snprintf(spec, hasWidthArg, width, hasPrecisionArg, precision, va_arg(ap, long))
                                    : Snprintf(spec, hasWidthArg, width, hasPrecisionArg, precision,
                                               va_arg(ap, unsigned long));
                } else {
                    text = isSigned ? Snprintf(spec, hasWidthArg, width, hasPrecisionArg, precision, va_arg(ap, int))
                                    : Snprintf(spec, hasWidthArg, width, hasPrecisionArg, precision,
                                               va_arg(ap, unsigned int));
                }
                AppendUTF8Text(out, text);
                break;
            }
            case 'f':
            case 'F':
            case 'e':
            case 'E':
            case 'g':
            case 'G':
            case 'a':
            case 'A': {
                std::string text = cLength == "L"
                    ? Snprintf(spec, hasWidthArg, width, hasPrecisionArg, precision, va_arg(ap, long double))
                    : Snprintf(spec, hasWidthArg, width, hasPrecisionArg, precision, va_arg(ap, double));
                AppendUTF8Text(out, text);
                break;
            }
            case 'p':
                AppendUTF8Text(out, Snprintf(spec, hasWidthArg, width, hasPrecisionArg, precision, va_arg(ap, void *)));
                break;
            case 'c':
                AppendUTF8Text(out, Snprintf(spec, hasWidthArg, width, hasPrecisionArg, precision, va_arg(ap, int)));
                break;
            case 'C': {
                std::u16string one(1, static_cast<char16_t>(va_arg(ap, int)));
                AppendPadded(out, one, leftAlign, width);
                break;
            }
            case 's': {
                const char *s = va_arg(ap, const char *);
                std::string text = s == nullptr ? "(null)" : s;
                if (hasPrecision && precision >= 0 && static_cast<size_t>(precision) < text.size()) text.resize(precision);
                std::u16string units;
                AppendUTF8Text(units, text);
                AppendPadded(out, units, leftAlign, width);
                break;
            }
            case 'S': {
                const UniChar *s = va_arg(ap, const UniChar *);
                std::u16string units;
                if (s == nullptr) {
                    units = u"(null)";
                } else {
                    for (; *s != 0; ++s) units.push_back(*s);
                }
                if (hasPrecision && precision >= 0 && static_cast<size_t>(precision) < units.size()) units.resize(precision);
                AppendPadded(out, units, leftAlign, width);
                break;
            }
            case '@': {
                CFTypeRef object = va_arg(ap, CFTypeRef);
                std::u16string units;
                if (object == nullptr) {
                    units = u"(null)";
                } else {
                    CFStringRef description = CFCopyDescription(object);
                    units = String(description, __FILE__, __LINE__, "description")->units();
                    CFRelease(description);
                }
                AppendPadded(out, units, leftAlign, width);
                break;
            }
            default:
                // Unknown directives are kept as written.
                literal.append(fmt, start, i - start);
                break;
        }
    }
    flushLiteral();
    va_end(ap);
    return out;
}

}  // namespace cf

CFStringRef CFStringCreateWithFormatAndArguments(CFAllocatorRef, CFDictionaryRef, CFStringRef format,
                                                 va_list arguments) {
    return cf::CreateStringWithUnits(cf::FormatUnits(format, arguments));
}

CFStringRef CFStringCreateWithFormat(CFAllocatorRef alloc, CFDictionaryRef formatOptions, CFStringRef format, ...) {
    va_list arguments;
    va_start(arguments, format);
    CFStringRef result = CFStringCreateWithFormatAndArguments(alloc, formatOptions, format, arguments);
    va_end(arguments);
    return result;
}
