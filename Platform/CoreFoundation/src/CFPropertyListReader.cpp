// The XML property-list reader.
//
// Its input may come from a hostile peer: the set-user-ID helper tool parses every request with
// it. So it accepts the plain property-list vocabulary and nothing more (no entity declarations,
// no internal DTD subset, nothing external, bounded nesting) and fails cleanly on anything else:
// NULL, an error string if asked for, every object made so far released.
//
// expat runs over the caller's bytes in a single XML_Parse call. Objects are built as their
// elements close: leaves from the text collected in one reusable buffer, containers from the run
// of finished values on top of a value stack. Dictionary keys repeat a lot across a document, so
// each distinct key is made once per parse and shared.
#include "CFInternal.h"
#include "CFPropertyListFormat.h"

#include <expat.h>

#include <charconv>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace cf::plist {
namespace {

enum class Element : unsigned char {
    Plist, Array, Dict, Key, String, Integer, Real, True, False, Date, Data, Unknown
};

Element Classify(const XML_Char *name) {
    const std::string_view n(name);
    switch (n.size()) {
        case 3:
            if (n == "key") return Element::Key;
            break;
        case 4:
            if (n == "dict") return Element::Dict;
            if (n == "real") return Element::Real;
            if (n == "true") return Element::True;
            if (n == "date") return Element::Date;
            if (n == "data") return Element::Data;
            break;
        case 5:
            if (n == "plist") return Element::Plist;
            if (n == "array") return Element::Array;
            if (n == "false") return Element::False;
            break;
        case 6:
            if (n == "string") return Element::String;
            break;
        case 7:
            if (n == "integer") return Element::Integer;
            break;
    }
    return Element::Unknown;
}

bool IsContainer(Element e) { return e == Element::Plist || e == Element::Array || e == Element::Dict; }

bool IsXMLSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Optional sign and decimal digits, in [INT64_MIN, UINT64_MAX].
CFNumberRef CreateInteger(CFAllocatorRef allocator, std::string_view text) {
    bool negative = false;
    if (!text.empty() && (text[0] == '-' || text[0] == '+')) {
        negative = text[0] == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return nullptr;
    UInt64 magnitude = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return nullptr;
        const unsigned digit = static_cast<unsigned>(c - '0');
        if (magnitude > (UINT64_MAX - digit) / 10) return nullptr;
        magnitude = magnitude * 10 + digit;
    }
    if (negative) {
        if (magnitude > (UInt64{1} << 63)) return nullptr;
        const SInt64 value = magnitude == 0 ? 0 : static_cast<SInt64>(~(magnitude - 1));  // -magnitude
        return CFNumberCreate(allocator, kCFNumberSInt64Type, &value);
    }
    if (magnitude > static_cast<UInt64>(INT64_MAX)) {
        const CFSInt128Struct value{0, magnitude};
        return CFNumberCreate(allocator, static_cast<CFNumberType>(kCFNumberSInt128Type), &value);
    }
    const SInt64 value = static_cast<SInt64>(magnitude);
    return CFNumberCreate(allocator, kCFNumberSInt64Type, &value);
}

// A decimal (fixed or exponent form) that fits a double, or one of the spellings of infinity and
// NaN. Hexadecimal forms and trailing text are refused.
CFNumberRef CreateReal(CFAllocatorRef allocator, std::string_view text) {
    double value;
    if (text == "nan" || text == "NaN") {
        value = NAN;
    } else if (text == "+infinity" || text == "infinity" || text == "inf" || text == "+inf") {
        value = INFINITY;
    } else if (text == "-infinity" || text == "-inf") {
        value = -INFINITY;
    } else {
        if (text.size() > 1 && text[0] == '+' && text[1] != '-') text.remove_prefix(1);
        for (char c : text)
            if (!((c >= '0' && c <= '9') || c == '.' || c == 'e' || c == 'E' || c == '-' || c == '+'))
                return nullptr;
        const auto parsed = std::from_chars(text.data(), text.data() + text.size(), value);
        // Out of range both ways: too large for a double, or a non-zero value that would become 0.
        if (parsed.ec != std::errc() || parsed.ptr != text.data() + text.size()) return nullptr;
    }
    return CFNumberCreate(allocator, kCFNumberFloat64Type, &value);
}

struct KeyHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

struct Open {
    Element element;
    std::size_t base;  // index in the value stack of the first value inside this element
};

// A thread's parser and buffers, kept from one document to the next, so that parsing a request
// allocates little beyond the objects it returns. Parsing never calls back into code that could
// parse again on the same thread, but `busy` makes sure a nested parse would get its own.
struct Workspace {
    Workspace() : salt(std::random_device{}()) {}
    Workspace(const Workspace &) = delete;
    Workspace &operator=(const Workspace &) = delete;
    ~Workspace() {
        if (parser != nullptr) XML_ParserFree(parser);
    }

    XML_Parser parser = nullptr;
    // expat's hash tables take a random salt against collision floods. Drawing one per thread
    // rather than per document saves a system call on every parse and is as unpredictable to a
    // peer.
    unsigned long salt;
    bool busy = false;
    std::vector<Open> open;
    std::string text;                // the text of the innermost leaf element
    std::vector<CFTypeRef> values;   // owned; finished values not yet inside a container
    std::vector<const void *> scratch;
    std::unordered_map<std::string, CFStringRef, KeyHash, std::equal_to<>> keys;  // owned values
};

thread_local Workspace tWorkspace;

class Reader {
public:
    Reader(CFAllocatorRef allocator, CFOptionFlags mutability, Workspace &workspace)
        : allocator_(allocator), mutability_(mutability), workspace_(workspace), parser_(workspace.parser),
          open_(workspace.open), text_(workspace.text), values_(workspace.values), scratch_(workspace.scratch),
          keys_(workspace.keys) {
        workspace_.busy = true;
    }
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;
    ~Reader() {
        for (CFTypeRef value : values_) CFRelease(value);
        values_.clear();
        for (auto &entry : keys_) CFRelease(entry.second);
        keys_.clear();
        open_.clear();
        // Keep the buffers of ordinary documents; give back what a large one needed.
        constexpr std::size_t kKeep = 64 * 1024;
        if (text_.capacity() > kKeep) std::string().swap(text_);
        if (values_.capacity() > kKeep / sizeof(CFTypeRef)) std::vector<CFTypeRef>().swap(values_);
        if (scratch_.capacity() > kKeep / sizeof(void *)) std::vector<const void *>().swap(scratch_);
        if (open_.capacity() > kKeep / sizeof(Open)) std::vector<Open>().swap(open_);
        workspace_.busy = false;
    }

    // The parsed property list, or NULL with error() telling why.
    CFPropertyListRef parse(const UInt8 *bytes, CFIndex length);
    const std::string &error() const { return error_; }

private:

    static void XMLCALL OnStart(void *self, const XML_Char *name, const XML_Char **attributes) {
        static_cast<Reader *>(self)->start(name, attributes);
    }
    static void XMLCALL OnEnd(void *self, const XML_Char *) { static_cast<Reader *>(self)->end(); }
    static void XMLCALL OnText(void *self, const XML_Char *text, int length) {
        static_cast<Reader *>(self)->characters(text, static_cast<std::size_t>(length));
    }
    static void XMLCALL OnDoctype(void *self, const XML_Char *, const XML_Char *, const XML_Char *,
                                  int hasInternalSubset) {
        if (hasInternalSubset) static_cast<Reader *>(self)->fail("a DTD internal subset is not allowed");
    }
    static void XMLCALL OnEntityDeclaration(void *self, const XML_Char *, int, const XML_Char *, int,
                                            const XML_Char *, const XML_Char *, const XML_Char *,
                                            const XML_Char *) {
        static_cast<Reader *>(self)->fail("entity declarations are not allowed");
    }
    static void XMLCALL OnSkippedEntity(void *self, const XML_Char *, int) {
        static_cast<Reader *>(self)->fail("reference to an undeclared entity");
    }
    static int XMLCALL OnExternalEntity(XML_Parser, const XML_Char *, const XML_Char *, const XML_Char *,
                                        const XML_Char *) {
        return XML_STATUS_ERROR;  // never load anything from outside the document
    }

    void start(const XML_Char *name, const XML_Char **attributes);
    void end();
    void characters(const char *text, std::size_t length);
    void fail(const char *format, ...) __attribute__((format(printf, 2, 3)));

    CFTypeRef createLeaf(Element element);
    CFTypeRef createArray(std::size_t base);
    CFTypeRef createDictionary(std::size_t base);
    CFStringRef createKey();

    CFAllocatorRef allocator_;
    CFOptionFlags mutability_;
    Workspace &workspace_;
    XML_Parser &parser_;
    bool failed_ = false;
    std::string error_;
    unsigned containerDepth_ = 0;  // arrays and dictionaries open
    bool inLeaf_ = false;          // collecting text for the innermost element
    std::size_t keyCount_ = 0;

    std::vector<Open> &open_;
    std::string &text_;
    std::vector<CFTypeRef> &values_;
    std::vector<const void *> &scratch_;
    std::unordered_map<std::string, CFStringRef, KeyHash, std::equal_to<>> &keys_;
};

void Reader::fail(const char *format, ...) {
    if (failed_) return;
    failed_ = true;
    char message[256];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    char where[64];
    std::snprintf(where, sizeof where, " (line %lu)", static_cast<unsigned long>(XML_GetCurrentLineNumber(parser_)));
    error_ = message;
    error_ += where;
    XML_StopParser(parser_, XML_FALSE);
}

void Reader::start(const XML_Char *name, const XML_Char **attributes) {
    if (failed_) return;
    const Element element = Classify(name);
    if (element == Element::Unknown) {
        // The name is the peer's text: say how long it is rather than repeat it.
        return fail("unknown element (a name of %zu bytes)", std::strlen(name));
    }
    if (inLeaf_) return fail("element <%s> inside a value that holds only text", name);

    if (open_.empty()) {
        if (element != Element::Plist) return fail("the root element is <%s>, not <plist>", name);
    } else {
        const Open &parent = open_.back();
        const std::size_t held = values_.size() - parent.base;
        switch (parent.element) {
            case Element::Plist:
                if (element == Element::Plist || element == Element::Key) return fail("<%s> inside <plist>", name);
                if (held != 0) return fail("<plist> holds more than one value");
                break;
            case Element::Array:
                if (element == Element::Plist || element == Element::Key) return fail("<%s> inside <array>", name);
                break;
            case Element::Dict:
                if (element == Element::Key) {
                    if (held % 2 != 0) return fail("<key> follows a <key> without a value");
                } else {
                    if (element == Element::Plist) return fail("<plist> inside <dict>");
                    if (held % 2 == 0) return fail("<%s> inside <dict> without a <key>", name);
                }
                break;
            default: break;  // leaves were handled above
        }
    }

    for (const XML_Char **a = attributes; *a != nullptr; a += 2) {
        if (!(element == Element::Plist && std::strcmp(a[0], "version") == 0))
            return fail("unexpected attribute on <%s>", name);
    }

    if (element == Element::Array || element == Element::Dict) {
        if (containerDepth_ == kCFPropertyListMaxNestingDepth)
            return fail("arrays and dictionaries nested deeper than %d levels", kCFPropertyListMaxNestingDepth);
        ++containerDepth_;
    }
    open_.push_back({element, values_.size()});
    inLeaf_ = !IsContainer(element);
    if (inLeaf_) text_.clear();
}

void Reader::characters(const char *text, std::size_t length) {
    if (failed_) return;
    if (inLeaf_) {
        text_.append(text, length);
        return;
    }
    for (std::size_t i = 0; i < length; ++i)
        if (!IsXMLSpace(text[i])) return fail("text outside a value");
}

void Reader::end() {
    if (failed_) return;
    const Open closing = open_.back();
    open_.pop_back();
    inLeaf_ = false;

    CFTypeRef value = nullptr;
    switch (closing.element) {
        case Element::Plist:
            if (values_.size() - closing.base != 1) return fail("<plist> holds no value");
            return;
        case Element::Array:
            --containerDepth_;
            value = createArray(closing.base);
            break;
        case Element::Dict:
            --containerDepth_;
            if ((values_.size() - closing.base) % 2 != 0) return fail("<key> without a value at the end of <dict>");
            value = createDictionary(closing.base);
            if (value == nullptr) return fail("a key appears twice in one <dict>");
            break;
        case Element::Key:
            value = createKey();
            break;
        default:
            value = createLeaf(closing.element);
            if (value == nullptr) return;  // createLeaf said why
            break;
    }
    values_.push_back(value);
}

CFStringRef Reader::createKey() {
    // Sharing keys pays off only where they repeat, in documents of many dictionaries; a request
    // has a handful of keys and would only pay for the table.
    constexpr std::size_t kKeysBeforeSharing = 16;
    const bool share = ++keyCount_ > kKeysBeforeSharing;
    if (share) {
        const auto found = keys_.find(std::string_view(text_));
        if (found != keys_.end()) return static_cast<CFStringRef>(CFRetain(found->second));
    }
    CFStringRef key = CFStringCreateWithBytes(allocator_, reinterpret_cast<const UInt8 *>(text_.data()),
                                              static_cast<CFIndex>(text_.size()), kCFStringEncodingUTF8, false);
    CF_ASSERT(key != NULL);  // expat hands over valid UTF-8 only
    if (share) keys_.emplace(text_, static_cast<CFStringRef>(CFRetain(key)));
    return key;
}

CFTypeRef Reader::createLeaf(Element element) {
    switch (element) {
        case Element::String: {
            CFStringRef string = CFStringCreateWithBytes(allocator_, reinterpret_cast<const UInt8 *>(text_.data()),
                                                         static_cast<CFIndex>(text_.size()), kCFStringEncodingUTF8,
                                                         false);
            CF_ASSERT(string != NULL);
            if (mutability_ != kCFPropertyListMutableContainersAndLeaves) return string;
            CFMutableStringRef copy = CFStringCreateMutableCopy(allocator_, 0, string);
            CFRelease(string);
            return copy;
        }
        case Element::Integer: {
            CFNumberRef number = CreateInteger(allocator_, text_);
            if (number == nullptr) fail("malformed or out-of-range <integer>");
            return number;
        }
        case Element::Real: {
            CFNumberRef number = CreateReal(allocator_, text_);
            if (number == nullptr) fail("malformed or out-of-range <real>");
            return number;
        }
        case Element::True:
        case Element::False:
            if (!text_.empty()) {
                fail("text inside <%s/>", element == Element::True ? "true" : "false");
                return nullptr;
            }
            return CFRetain(element == Element::True ? kCFBooleanTrue : kCFBooleanFalse);
        case Element::Date: {
            CFAbsoluteTime at;
            if (!ParseDate(text_.data(), text_.size(), &at)) {
                fail("malformed <date>");
                return nullptr;
            }
            return CFDateCreate(allocator_, at);
        }
        case Element::Data: {
            const std::size_t room = text_.size() / 4 * 3 + 3;
            auto *bytes = static_cast<UInt8 *>(std::malloc(room));
            if (bytes == nullptr) std::abort();
            std::size_t length = 0;
            if (!Base64Decode(text_.data(), text_.size(), bytes, &length)) {
                std::free(bytes);
                fail("malformed base64 in <data>");
                return nullptr;
            }
            if (mutability_ == kCFPropertyListMutableContainersAndLeaves) {
                CFMutableDataRef data = CFDataCreateMutable(allocator_, 0);
                if (length > 0) CFDataAppendBytes(data, bytes, static_cast<CFIndex>(length));
                std::free(bytes);
                return data;
            }
            // The data takes the buffer over (and frees it).
            return CFDataCreateWithBytesNoCopy(allocator_, bytes, static_cast<CFIndex>(length), kCFAllocatorMalloc);
        }
        default:
            CF_ASSERT(!"a container is not a leaf");
            return nullptr;
    }
}

CFTypeRef Reader::createArray(std::size_t base) {
    const CFIndex count = static_cast<CFIndex>(values_.size() - base);
    CFTypeRef array;
    if (mutability_ == kCFPropertyListImmutable) {
        array = CFArrayCreate(allocator_, values_.data() + base, count, &kCFTypeArrayCallBacks);
    } else {
        CFMutableArrayRef mutableArray = CFArrayCreateMutable(allocator_, 0, &kCFTypeArrayCallBacks);
        for (std::size_t i = base; i < values_.size(); ++i) CFArrayAppendValue(mutableArray, values_[i]);
        array = mutableArray;
    }
    for (std::size_t i = base; i < values_.size(); ++i) CFRelease(values_[i]);
    values_.resize(base);
    return array;
}

// NULL when a key repeats: which of two values a peer meant is not a guess to make.
CFTypeRef Reader::createDictionary(std::size_t base) {
    const std::size_t pairs = (values_.size() - base) / 2;
    CFTypeRef dictionary;
    if (mutability_ == kCFPropertyListImmutable) {
        scratch_.resize(pairs * 2);
        for (std::size_t i = 0; i < pairs; ++i) {
            scratch_[i] = values_[base + 2 * i];
            scratch_[pairs + i] = values_[base + 2 * i + 1];
        }
        dictionary = CFDictionaryCreate(allocator_, scratch_.data(), scratch_.data() + pairs,
                                        static_cast<CFIndex>(pairs), &kCFTypeDictionaryKeyCallBacks,
                                        &kCFTypeDictionaryValueCallBacks);
    } else {
        CFMutableDictionaryRef mutableDictionary = CFDictionaryCreateMutable(
            allocator_, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
        for (std::size_t i = 0; i < pairs; ++i)
            CFDictionarySetValue(mutableDictionary, values_[base + 2 * i], values_[base + 2 * i + 1]);
        dictionary = mutableDictionary;
    }
    for (std::size_t i = base; i < values_.size(); ++i) CFRelease(values_[i]);
    values_.resize(base);
    if (static_cast<std::size_t>(CFDictionaryGetCount(static_cast<CFDictionaryRef>(dictionary))) != pairs) {
        CFRelease(dictionary);
        return nullptr;
    }
    return dictionary;
}

CFPropertyListRef Reader::parse(const UInt8 *bytes, CFIndex length) {
    if (length > INT_MAX) {
        error_ = "the document is too large";
        return nullptr;
    }
    if (parser_ == nullptr) {
        parser_ = XML_ParserCreate(nullptr);
        if (parser_ == nullptr) std::abort();
    } else if (!XML_ParserReset(parser_, nullptr)) {  // also clears every handler
        std::abort();
    }
    XML_SetHashSalt(parser_, workspace_.salt);
    XML_SetUserData(parser_, this);
    XML_SetElementHandler(parser_, OnStart, OnEnd);
    XML_SetCharacterDataHandler(parser_, OnText);
    XML_SetStartDoctypeDeclHandler(parser_, OnDoctype);
    XML_SetEntityDeclHandler(parser_, OnEntityDeclaration);
    XML_SetSkippedEntityHandler(parser_, OnSkippedEntity);
    XML_SetExternalEntityRefHandler(parser_, OnExternalEntity);
    XML_SetParamEntityParsing(parser_, XML_PARAM_ENTITY_PARSING_NEVER);

    const XML_Status status =
        XML_Parse(parser_, reinterpret_cast<const char *>(bytes), static_cast<int>(length), XML_TRUE);
    if (failed_) return nullptr;
    if (status != XML_STATUS_OK) {
        char message[256];
        std::snprintf(message, sizeof message, "%s (line %lu)", XML_ErrorString(XML_GetErrorCode(parser_)),
                      static_cast<unsigned long>(XML_GetCurrentLineNumber(parser_)));
        error_ = message;
        return nullptr;
    }
    // expat accepted a well-formed document whose root element was <plist>, and <plist> closed
    // holding exactly one value.
    CF_ASSERT(values_.size() == 1);
    CFTypeRef result = values_.back();
    values_.clear();
    return result;
}

}  // namespace
}  // namespace cf::plist

CFPropertyListRef CFPropertyListCreateFromXMLData(CFAllocatorRef allocator, CFDataRef xmlData,
                                                  CFOptionFlags mutabilityOption, CFStringRef *errorString) {
    CF_ASSERT(xmlData != NULL);
    CF_ASSERT(mutabilityOption <= kCFPropertyListMutableContainersAndLeaves);
    std::optional<cf::plist::Workspace> own;
    cf::plist::Workspace &workspace = cf::plist::tWorkspace.busy ? own.emplace() : cf::plist::tWorkspace;
    cf::plist::Reader reader(allocator, mutabilityOption, workspace);
    CFPropertyListRef result = reader.parse(CFDataGetBytePtr(xmlData), CFDataGetLength(xmlData));
    if (errorString != nullptr) {
        *errorString = result != nullptr ? nullptr
                                         : CFStringCreateWithCString(allocator, reader.error().c_str(),
                                                                     kCFStringEncodingUTF8);
    }
    return result;
}
