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
#include "CFCollectionInternal.h"
#include "CFPropertyListFormat.h"

#include <expat.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace cf::plist {
namespace {

enum class Element : unsigned char {
    Plist, Array, Dict, Key, String, Integer, Real, True, False, Date, Data, Unknown
};

// Whether `name` is `word`: small enough to unroll in place, which a call to strcmp is not.
inline bool NameIs(const XML_Char *name, const char *word) {
    for (; *word != '\0'; ++name, ++word)
        if (*name != *word) return false;
    return *name == '\0';
}

// Tells the names apart by their first letter before comparing whole names.
Element Classify(const XML_Char *name) {
    const auto is = [name](const char *word) { return NameIs(name, word); };
    switch (name[0]) {
        case 'k':
            if (is("key")) return Element::Key;
            break;
        case 's':
            if (is("string")) return Element::String;
            break;
        case 'd':
            if (is("dict")) return Element::Dict;
            if (is("date")) return Element::Date;
            if (is("data")) return Element::Data;
            break;
        case 'i':
            if (is("integer")) return Element::Integer;
            break;
        case 'r':
            if (is("real")) return Element::Real;
            break;
        case 'a':
            if (is("array")) return Element::Array;
            break;
        case 't':
            if (is("true")) return Element::True;
            break;
        case 'f':
            if (is("false")) return Element::False;
            break;
        case 'p':
            if (is("plist")) return Element::Plist;
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

// The distinct ASCII keys of one document, each made once and shared by every dictionary that uses
// it. Open addressing over the keys' own hashes (which the strings then keep, so dictionaries need
// not work them out again), mixed with a per-thread salt; a probe that runs long, as only crafted
// keys would make it, gives up sharing rather than get slower.
class KeyTable {
public:
    KeyTable() = default;
    KeyTable(const KeyTable &) = delete;
    KeyTable &operator=(const KeyTable &) = delete;
    ~KeyTable() { clear(); }

    // The shared key for these bytes (a new reference), or NULL.
    CFStringRef find(const std::string &text, CFHashCode hash) const {
        if (slots_.empty()) return nullptr;
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = index(hash);
        for (unsigned probes = 0; probes < kMaxProbes; ++probes, i = (i + 1) & mask) {
            const Slot &slot = slots_[i];
            if (slot.key == nullptr) return nullptr;
            if (slot.hash == hash && slot.key->ascii_ == text) return static_cast<CFStringRef>(CFRetain(slot.key));
        }
        return nullptr;
    }

    // Shares `key`, an ASCII string whose hash is `hash`, unless its probe would run too long.
    void add(const __CFString *key, CFHashCode hash) {
        if ((count_ + 1) * 2 > slots_.size()) grow();
        const std::size_t mask = slots_.size() - 1;
        std::size_t i = index(hash);
        for (unsigned probes = 0; probes < kMaxProbes; ++probes, i = (i + 1) & mask) {
            if (slots_[i].key == nullptr) {
                CFRetain(key);
                slots_[i] = Slot{key, hash};
                ++count_;
                return;
            }
        }
    }

    void clear() {
        for (const Slot &slot : slots_)
            if (slot.key != nullptr) CFRelease(slot.key);
        // Keep the room of ordinary documents; give back what a large one needed.
        if (slots_.size() > 1024) {
            std::vector<Slot>().swap(slots_);
        } else {
            std::fill(slots_.begin(), slots_.end(), Slot{});
        }
        count_ = 0;
    }

    void setSalt(unsigned long salt) { salt_ = salt; }

private:
    struct Slot {
        const __CFString *key = nullptr;
        CFHashCode hash = 0;
    };
    static constexpr unsigned kMaxProbes = 16;

    std::size_t index(CFHashCode hash) const {
        UInt64 x = static_cast<UInt64>(hash) ^ salt_;
        x ^= x >> 33;
        x *= 0xff51afd7ed558ccdull;
        x ^= x >> 33;
        return static_cast<std::size_t>(x) & (slots_.size() - 1);
    }

    // Doubles the table. A key whose new probe would run too long is let go: it stays in the
    // dictionaries that hold it, just no longer shared.
    void grow() {
        std::vector<Slot> old(slots_.empty() ? 64 : slots_.size() * 2);
        old.swap(slots_);
        count_ = 0;
        const std::size_t mask = slots_.size() - 1;
        for (const Slot &slot : old) {
            if (slot.key == nullptr) continue;
            std::size_t i = index(slot.hash);
            unsigned probes = 0;
            while (slots_[i].key != nullptr && ++probes < kMaxProbes) i = (i + 1) & mask;
            if (slots_[i].key == nullptr) {
                slots_[i] = slot;
                ++count_;
            } else {
                CFRelease(slot.key);
            }
        }
    }

    std::vector<Slot> slots_;
    std::size_t count_ = 0;
    UInt64 salt_ = 0;
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
    KeyTable keys;
};

thread_local Workspace tWorkspace;

class Reader {
public:
    Reader(CFAllocatorRef allocator, CFOptionFlags mutability, Workspace &workspace)
        : allocator_(allocator), mutability_(mutability), workspace_(workspace), parser_(workspace.parser),
          open_(workspace.open), text_(workspace.text), values_(workspace.values),
          keys_(workspace.keys) {
        workspace_.busy = true;
    }
    Reader(const Reader &) = delete;
    Reader &operator=(const Reader &) = delete;
    ~Reader() {
        for (CFTypeRef value : values_) CFRelease(value);
        values_.clear();
        keys_.clear();
        open_.clear();
        // Keep the buffers of ordinary documents; give back what a large one needed.
        constexpr std::size_t kKeep = 64 * 1024;
        if (text_.capacity() > kKeep) std::string().swap(text_);
        if (values_.capacity() > kKeep / sizeof(CFTypeRef)) std::vector<CFTypeRef>().swap(values_);
        if (open_.capacity() > kKeep / sizeof(Open)) std::vector<Open>().swap(open_);
        // expat keeps its input buffer and tag buffers across a reset; after a large document a
        // fresh parser next time costs less than holding on to them.
        if (static_cast<std::size_t>(documentLength_) > kKeep && parser_ != nullptr) {
            XML_ParserFree(parser_);
            parser_ = nullptr;
        }
        workspace_.busy = false;
    }

    // The parsed property list, or NULL with error() telling why; ranOutOfMemory() then tells a
    // document that is not a property list from one that could not be read for want of memory.
    CFPropertyListRef parse(const UInt8 *bytes, CFIndex length);
    const std::string &error() const { return error_; }
    bool ranOutOfMemory() const { return noMemory_; }
    void outOfMemory();

private:

    // No exception may cross expat, which is C: running out of memory inside a handler stops the
    // parse as a failure of its own kind.
    template <typename Handler>
    static void Guarded(void *self, Handler &&handler) {
        try {
            handler(static_cast<Reader *>(self));
        } catch (const std::bad_alloc &) {
            static_cast<Reader *>(self)->outOfMemory();
        }
    }
    static void XMLCALL OnStart(void *self, const XML_Char *name, const XML_Char **attributes) {
        Guarded(self, [&](Reader *reader) { reader->start(name, attributes); });
    }
    static void XMLCALL OnEnd(void *self, const XML_Char *) {
        Guarded(self, [](Reader *reader) { reader->end(); });
    }
    static void XMLCALL OnText(void *self, const XML_Char *text, int length) {
        Guarded(self, [&](Reader *reader) { reader->characters(text, static_cast<std::size_t>(length)); });
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
    // Puts a finished value on the stack, which then owns it (and releases it if it cannot).
    void push(CFTypeRef value);

    CFTypeRef createLeaf(Element element);
    CFTypeRef createArray(std::size_t base);
    CFTypeRef createDictionary(std::size_t base);
    CFStringRef createKey();

    CFAllocatorRef allocator_;
    CFOptionFlags mutability_;
    Workspace &workspace_;
    XML_Parser &parser_;
    bool failed_ = false;
    bool noMemory_ = false;
    CFIndex documentLength_ = 0;
    std::string error_;
    unsigned containerDepth_ = 0;  // arrays and dictionaries open
    bool inLeaf_ = false;          // collecting text for the innermost element
    std::size_t keyCount_ = 0;

    std::vector<Open> &open_;
    std::string &text_;
    std::vector<CFTypeRef> &values_;
    KeyTable &keys_;
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

void Reader::outOfMemory() {
    if (failed_) return;
    failed_ = true;
    noMemory_ = true;
    // Assigning a short literal to a string that may already hold one allocates nothing new
    // worth worrying about; if even that fails the message stays empty.
    try {
        error_ = "out of memory";
    } catch (const std::bad_alloc &) {
    }
    if (parser_ != nullptr) XML_StopParser(parser_, XML_FALSE);
}

void Reader::push(CFTypeRef value) {
    try {
        values_.push_back(value);
    } catch (...) {
        CFRelease(value);
        throw;
    }
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
    push(value);
}

CFStringRef Reader::createKey() {
    // Sharing keys pays off only where they repeat, in documents of many dictionaries; a request
    // has a handful of keys and would only pay for the table.
    constexpr std::size_t kKeysBeforeSharing = 16;
    if (!IsAscii(text_.data(), text_.size())) return CreateStringWithCheckedUTF8(text_.data(), text_.size(), false);
    const CFHashCode hash = HashAscii(text_.data(), text_.size());
    const bool share = ++keyCount_ > kKeysBeforeSharing;
    if (share) {
        if (CFStringRef shared = keys_.find(text_, hash)) return shared;
    }
    CFStringRef key = CreateStringWithCheckedUTF8(text_.data(), text_.size(), false);
    const auto *str = static_cast<const __CFString *>(key);
    str->hash_.store(hash, std::memory_order_relaxed);
    if (share) {
        try {
            keys_.add(str, hash);
        } catch (...) {
            CFRelease(key);
            throw;
        }
    }
    return key;
}

CFTypeRef Reader::createLeaf(Element element) {
    switch (element) {
        case Element::String: {
            return CreateStringWithCheckedUTF8(text_.data(), text_.size(),
                                               mutability_ == kCFPropertyListMutableContainersAndLeaves);
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
            std::unique_ptr<UInt8, void (*)(void *)> bytes(static_cast<UInt8 *>(std::malloc(room)), std::free);
            if (!bytes) {
                outOfMemory();
                return nullptr;
            }
            std::size_t length = 0;
            if (!Base64Decode(text_.data(), text_.size(), bytes.get(), &length)) {
                fail("malformed base64 in <data>");
                return nullptr;
            }
            if (mutability_ == kCFPropertyListMutableContainersAndLeaves) {
                CFMutableDataRef data = CFDataCreateMutable(allocator_, 0);
                try {
                    if (length > 0) CFDataAppendBytes(data, bytes.get(), static_cast<CFIndex>(length));
                } catch (...) {
                    CFRelease(data);
                    throw;
                }
                return data;
            }
            // The data takes the buffer over (and frees it).
            CFDataRef data = CFDataCreateWithBytesNoCopy(allocator_, bytes.get(), static_cast<CFIndex>(length),
                                                         kCFAllocatorMalloc);
            bytes.release();
            return data;
        }
        default:
            CF_ASSERT(!"a container is not a leaf");
            return nullptr;
    }
}

// The containers take over the references on the value stack.
CFTypeRef Reader::createArray(std::size_t base) {
    CFArrayRef array = CreateArrayTakingValues(values_.data() + base, static_cast<CFIndex>(values_.size() - base),
                                               mutability_ != kCFPropertyListImmutable);
    values_.resize(base);
    return array;
}

// NULL when a key repeats: which of two values a peer meant is not a guess to make. The values
// then stay on the stack, which releases them.
CFTypeRef Reader::createDictionary(std::size_t base) {
    CFDictionaryRef dictionary = CreateDictionaryTakingPairs(
        values_.data() + base, static_cast<CFIndex>((values_.size() - base) / 2), mutability_ != kCFPropertyListImmutable);
    if (dictionary != nullptr) values_.resize(base);
    return dictionary;
}

CFPropertyListRef Reader::parse(const UInt8 *bytes, CFIndex length) {
    documentLength_ = length;
    if (length > INT_MAX) {
        error_ = "the document is too large";
        return nullptr;
    }
    if (parser_ != nullptr && !XML_ParserReset(parser_, nullptr)) {  // also clears every handler
        XML_ParserFree(parser_);
        parser_ = nullptr;
    }
    if (parser_ == nullptr) parser_ = XML_ParserCreate(nullptr);
    if (parser_ == nullptr) {
        outOfMemory();
        return nullptr;
    }
    XML_SetHashSalt(parser_, workspace_.salt);
    keys_.setSalt(workspace_.salt);
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
    if (status != XML_STATUS_OK && XML_GetErrorCode(parser_) == XML_ERROR_NO_MEMORY) {
        outOfMemory();
        return nullptr;
    }
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
    if (errorString != nullptr) *errorString = nullptr;
    CFPropertyListRef result = nullptr;
    bool noMemory = true;
    try {
        std::optional<cf::plist::Workspace> own;
        cf::plist::Workspace &workspace = cf::plist::tWorkspace.busy ? own.emplace() : cf::plist::tWorkspace;
        cf::plist::Reader reader(allocator, mutabilityOption, workspace);
        result = reader.parse(CFDataGetBytePtr(xmlData), CFDataGetLength(xmlData));
        noMemory = reader.ranOutOfMemory();
        if (result == nullptr && errorString != nullptr) {
            *errorString = CFStringCreateWithCString(allocator, reader.error().c_str(), kCFStringEncodingUTF8);
        }
    } catch (const std::bad_alloc &) {
        // Only the error string can be left to fail here; the reader itself never throws.
    }
    // Set last, so that nothing above can overwrite it.
    if (result == nullptr) errno = noMemory ? ENOMEM : EINVAL;
    return result;
}
