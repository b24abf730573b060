// XML property lists: round trips, the exact document form, mutability, and the refusals of the
// reader (hostile input) and the writer (values the format cannot carry).
#include <CFTestSupport.h>

#include <cfloat>
#include <cstdint>
#include <cstring>
#include <memory>
#include <random>
#include <thread>
#include <vector>

using wfs::CFRef;
using wfstest::Utf8;

namespace {

// A copyable owner, so that test values can be built from brace lists.
class Ref {
public:
    Ref() = default;
    explicit Ref(CFTypeRef owned) : ref_(owned, [](const void *p) { if (p != nullptr) CFRelease(p); }) {}
    static Ref Retain(CFTypeRef borrowed) { return Ref(borrowed != nullptr ? CFRetain(borrowed) : nullptr); }
    CFTypeRef get() const { return ref_.get(); }
    explicit operator bool() const { return ref_ != nullptr; }
    void reset(CFTypeRef owned = nullptr) { *this = Ref(owned); }

private:
    std::shared_ptr<const void> ref_;
};

Ref Str(const char *utf8) { return Ref(CFStringCreateWithCString(nullptr, utf8, kCFStringEncodingUTF8)); }
Ref Units(std::vector<UniChar> units) {
    return Ref(CFStringCreateWithCharacters(nullptr, units.data(), static_cast<CFIndex>(units.size())));
}
Ref Int(SInt64 v) { return Ref(CFNumberCreate(nullptr, kCFNumberSInt64Type, &v)); }
Ref UInt(UInt64 v) {
    CFSInt128Struct value{0, v};
    return Ref(CFNumberCreate(nullptr, static_cast<CFNumberType>(kCFNumberSInt128Type), &value));
}
Ref Real(double v) { return Ref(CFNumberCreate(nullptr, kCFNumberFloat64Type, &v)); }
Ref Date(CFAbsoluteTime at) { return Ref(CFDateCreate(nullptr, at)); }
Ref Bytes(const std::vector<UInt8> &bytes) {
    return Ref(CFDataCreate(nullptr, bytes.data(), static_cast<CFIndex>(bytes.size())));
}
Ref Bool(bool v) { return Ref::Retain(v ? kCFBooleanTrue : kCFBooleanFalse); }

Ref Array(std::vector<Ref> items) {
    std::vector<const void *> raw;
    for (auto &item : items) raw.push_back(item.get());
    return Ref(CFArrayCreate(nullptr, raw.data(), static_cast<CFIndex>(raw.size()), &kCFTypeArrayCallBacks));
}
Ref Dict(std::vector<std::pair<const char *, Ref>> entries) {
    std::vector<Ref> keys;
    std::vector<const void *> rawKeys, rawValues;
    for (auto &[key, value] : entries) {
        keys.push_back(Str(key));
        rawKeys.push_back(keys.back().get());
        rawValues.push_back(value.get());
    }
    return Ref(CFDictionaryCreate(nullptr, rawKeys.data(), rawValues.data(), static_cast<CFIndex>(rawKeys.size()),
                                  &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
}

CFRef<CFDataRef> DataOf(const std::string &text) {
    return CFRef<CFDataRef>(
        CFDataCreate(nullptr, reinterpret_cast<const UInt8 *>(text.data()), static_cast<CFIndex>(text.size())));
}
std::string TextOf(CFDataRef data) {
    return std::string(reinterpret_cast<const char *>(CFDataGetBytePtr(data)),
                       static_cast<std::size_t>(CFDataGetLength(data)));
}

Ref Parse(const std::string &text, CFOptionFlags options = kCFPropertyListImmutable) {
    return Ref(CFPropertyListCreateFromXMLData(nullptr, DataOf(text).get(), options, nullptr));
}

const std::string kPrologue =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n";
std::string Doc(const std::string &body) { return kPrologue + body + "\n</plist>\n"; }

// Equal and of the same kinds all the way down: an integer stays an integer, a real a real with
// the very same bits (so -0.0 and NaN count), a date the same double.
::testing::AssertionResult Same(CFTypeRef a, CFTypeRef b) {
    using ::testing::AssertionFailure;
    const CFTypeID type = CFGetTypeID(a);
    if (type != CFGetTypeID(b)) return AssertionFailure() << "types differ";
    double u = 0, v = 0;  // what CFEqual does not tell apart
    if (type == CFDateGetTypeID()) {
        u = CFDateGetAbsoluteTime(static_cast<CFDateRef>(a));
        v = CFDateGetAbsoluteTime(static_cast<CFDateRef>(b));
    } else if (type == CFNumberGetTypeID()) {
        auto x = static_cast<CFNumberRef>(a), y = static_cast<CFNumberRef>(b);
        if (CFNumberIsFloatType(x) != CFNumberIsFloatType(y)) return AssertionFailure() << "int vs real";
        if (CFNumberIsFloatType(x)) CFNumberGetValue(x, kCFNumberFloat64Type, &u);
        if (CFNumberIsFloatType(y)) CFNumberGetValue(y, kCFNumberFloat64Type, &v);
    } else if (type == CFArrayGetTypeID()) {
        auto x = static_cast<CFArrayRef>(a), y = static_cast<CFArrayRef>(b);
        if (CFArrayGetCount(x) != CFArrayGetCount(y)) return AssertionFailure() << "counts differ";
        for (CFIndex i = 0; i < CFArrayGetCount(x); ++i) {
            auto r = Same(CFArrayGetValueAtIndex(x, i), CFArrayGetValueAtIndex(y, i));
            if (!r) return r << " at index " << i;
        }
    } else if (type == CFDictionaryGetTypeID()) {
        auto x = static_cast<CFDictionaryRef>(a), y = static_cast<CFDictionaryRef>(b);
        const CFIndex n = CFDictionaryGetCount(x);
        if (n != CFDictionaryGetCount(y)) return AssertionFailure() << "counts differ";
        std::vector<const void *> keys(static_cast<std::size_t>(n)), values(static_cast<std::size_t>(n));
        CFDictionaryGetKeysAndValues(x, keys.data(), values.data());
        for (CFIndex i = 0; i < n; ++i) {
            const void *other = nullptr;
            if (!CFDictionaryGetValueIfPresent(y, keys[i], &other)) return AssertionFailure() << "key missing";
            auto r = Same(values[i], other);
            if (!r) return r << " under " << Utf8(keys[i]);
        }
    }
    if (std::memcmp(&u, &v, sizeof u) != 0) return AssertionFailure() << std::hexfloat << u << " != " << v;
    return CFEqual(a, b) ? ::testing::AssertionSuccess() : AssertionFailure() << "not CFEqual";
}

// Writes, reads back, and checks the result is the same value.
::testing::AssertionResult RoundTrips(CFTypeRef value) {
    CFRef<CFDataRef> xml(CFPropertyListCreateXMLData(nullptr, value));
    if (!xml) return ::testing::AssertionFailure() << "the writer refused the value";
    CFStringRef error = nullptr;
    Ref back(CFPropertyListCreateFromXMLData(nullptr, xml.get(), kCFPropertyListImmutable, &error));
    CFRef<CFStringRef> errorOwner(error);
    if (!back) return ::testing::AssertionFailure() << "the reader refused:\n" << TextOf(xml.get()) << Utf8(error);
    auto result = Same(value, back.get());
    if (!result) return result << "\n" << TextOf(xml.get());
    // Writing what was read gives the same document again.
    CFRef<CFDataRef> again(CFPropertyListCreateXMLData(nullptr, back.get()));
    if (!again || !CFEqual(again.get(), xml.get())) return ::testing::AssertionFailure() << "second write differs";
    return ::testing::AssertionSuccess();
}

std::vector<UInt8> RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 random(seed);
    std::vector<UInt8> bytes(n);
    for (auto &b : bytes) b = static_cast<UInt8>(random());
    return bytes;
}

TEST(PropertyList, RoundTripsEveryType) {
    std::vector<Ref> values = {
        Str(""), Str("plain"), Str("markup & <tags> ]]> \"quotes\" 'apostrophes'"),
        Str("tab\tline\ncarriage\rreturn\r\n  spaces  "),
        Str("caf\xC3\xA9 \xE6\x97\xA5\xE6\x9C\xAC \xF0\x9F\x98\x80 \xF4\x8F\xBF\xBD \xEE\x80\x80"),
        Str("\xC2\x85\xC2\x9F delete\x7F"),  // legal in XML 1.0, if discouraged
        Int(0), Int(-1), Int(INT64_MIN), Int(INT64_MAX), UInt(UINT64_MAX), UInt(uint64_t{INT64_MAX} + 1),
        Bool(true), Bool(false), Bytes(RandomBytes(100000, 7)), Array({}), Dict({}),
        Array({Array({}), Dict({}), Array({Array({Int(1)})})}),
        Dict({{"request", Dict({{"CommandName", Str("SchedulePowerEvent")}, {"Date", Date(818237072)},
                                {"Scheduler", Str("com.example.wake")}, {"Type", Str("wakepoweron")}})},
              {"list", Array({Int(1), Real(1), Str("1"), Bool(true), Bytes({1}), Date(1)})},
              {"", Str("empty key")},
              {"caf\xC3\xA9 & <key>", Array({})}}),
    };
    for (double d : {0.0, -0.0, 0.1, 2.0, -2.5, 1e308, -1e308, DBL_MAX, DBL_MIN, 5e-324, 1.0 / 3, 123456789.125, 1e22,
                     1e-7, double(INFINITY), -double(INFINITY), double(NAN)}) {
        values.push_back(Real(d));
    }
    // Whole seconds, fractions, before the reference date, close to it from both sides, the
    // first and last instants that can be written.
    for (double at : {0.0, 1.0, -1.0, 818237072.0, 818237072.25, 818237072.1, -0.25, -1.5, -978307200.5, 1e-20, -1e-20,
                      5e-324, -5e-324, -63113904000.0, 252423993599.0, 252423993599.999, 0.001}) {
        values.push_back(Date(at));
    }
    for (std::size_t n = 0; n <= 5; ++n) values.push_back(Bytes(RandomBytes(n, static_cast<unsigned>(n))));
    for (const Ref &value : values) {
        SCOPED_TRACE(Utf8(CFRef<CFStringRef>(CFCopyDescription(value.get())).get()));
        EXPECT_TRUE(RoundTrips(value.get()));
    }
}

TEST(PropertyList, WritesTheStandardDocument) {
    Ref value = Dict({{"b", Int(-7)},
                      {"a", Str("x & <y>\r")},
                      {"c", Array({Bool(true), Bool(false), Real(2.0), Real(0.5)})},
                      {"d", Dict({})},
                      {"e", Bytes({0, 1, 2, 3, 4})},
                      {"f", Date(818237072.25)},
                      {"g", Array({})},
                      {"h", Str("")},
                      {"i", Date(-978307200)}});
    CFRef<CFDataRef> xml(CFPropertyListCreateXMLData(nullptr, value.get()));
    ASSERT_TRUE(xml);
    // One element a line, indented by tabs; keys sorted; empty containers in the short form.
    EXPECT_EQ(TextOf(xml.get()),
              Doc("<dict>\n\t<key>a</key>\n\t<string>x &amp; &lt;y&gt;&#13;</string>\n\t<key>b</key>\n"
                  "\t<integer>-7</integer>\n\t<key>c</key>\n\t<array>\n\t\t<true/>\n\t\t<false/>\n"
                  "\t\t<real>2</real>\n\t\t<real>0.5</real>\n\t</array>\n\t<key>d</key>\n\t<dict/>\n"
                  "\t<key>e</key>\n\t<data>\n\tAAECAwQ=\n\t</data>\n\t<key>f</key>\n"
                  "\t<date>2026-12-06T08:04:32.25Z</date>\n\t<key>g</key>\n\t<array/>\n\t<key>h</key>\n"
                  "\t<string></string>\n\t<key>i</key>\n\t<date>1970-01-01T00:00:00Z</date>\n</dict>"));

    // Data: 68 characters (51 bytes) a line at one tab; a top-level value gets the full 76.
    xml.reset(CFPropertyListCreateXMLData(nullptr, Array({Bytes(std::vector<UInt8>(103, 0))}).get()));
    const std::string text = TextOf(xml.get());
    EXPECT_NE(text.find("\t<data>\n\t" + std::string(68, 'A') + "\n\t" + std::string(68, 'A') + "\n\tAA==\n\t</data>\n"),
              std::string::npos)
        << text;
    xml.reset(CFPropertyListCreateXMLData(nullptr, Bytes(std::vector<UInt8>(57, 0)).get()));
    EXPECT_EQ(TextOf(xml.get()), Doc("<data>\n" + std::string(76, 'A') + "\n</data>"));

    // Keys sorted by UTF-16 units, whatever order they were added in: U+1F600 (a surrogate pair,
    // 0xD83D...) sorts before U+E000.
    Ref keys = Dict({{"b", Int(1)}, {"\xEE\x80\x80", Int(3)}, {"\xF0\x9F\x98\x80", Int(4)}, {"a", Int(5)},
                     {"B", Int(2)}});
    xml.reset(CFPropertyListCreateXMLData(nullptr, keys.get()));
    const std::string sorted = TextOf(xml.get());
    std::size_t previous = 0;
    for (const char *key : {"<key>B<", "<key>a<", "<key>b<", "\xF0\x9F\x98\x80", "\xEE\x80\x80"}) {
        EXPECT_GT(sorted.find(key), previous) << key;
        previous = sorted.find(key);
    }
}

TEST(PropertyList, ReadsWhatOtherWritersProduce) {
    // No DOCTYPE, comments and processing instructions around, CDATA, character and entity
    // references, numbers in other spellings, explicit end tags for empty elements.
    CFStringRef error = reinterpret_cast<CFStringRef>(1);
    Ref value(CFPropertyListCreateFromXMLData(nullptr, DataOf(
        "<!-- before -->\n<?xml-stylesheet href=\"x\"?>\n<plist version=\"1.0\">\n<!-- inside -->\n<dict>"
        "<key>s</key><string><![CDATA[<raw> & ]]>&#x1F600;&amp;&lt;&gt;&quot;&apos;</string>"
        "<key>i</key><integer>+0042</integer>"
        "<key>n</key><integer>-0</integer>"
        "<key>r</key><real>1.5E3</real>"
        "<key>p</key><real>+.5</real>"
        "<key>t</key><true></true>"
        "<key>e</key><string/>"
        "<key>d</key><data>AA\n  EC\tAw==\n</data>"
        "<key>f</key><date>2026-12-06T08:04:32.2500Z</date>"
        "</dict></plist>\n<!-- after -->\n").get(), kCFPropertyListImmutable, &error));
    ASSERT_TRUE(value);
    EXPECT_EQ(error, nullptr);  // set even on success
    Ref expected = Dict({{"s", Str("<raw> & \xF0\x9F\x98\x80&<>\"'")},
                         {"i", Int(42)},
                         {"n", Int(0)},
                         {"r", Real(1500)},
                         {"p", Real(0.5)},
                         {"t", Bool(true)},
                         {"e", Str("")},
                         {"d", Bytes({0, 1, 2, 3})},
                         {"f", Date(818237072.25)}});
    EXPECT_TRUE(Same(value.get(), expected.get()));

    EXPECT_TRUE(Same(Parse("<plist><real>nan</real></plist>").get(), Real(NAN).get()));
    EXPECT_TRUE(Same(Parse("<plist><real>-infinity</real></plist>").get(), Real(-INFINITY).get()));
    EXPECT_TRUE(Same(Parse("<plist><real>2</real></plist>").get(), Real(2).get()));  // still a real
    EXPECT_TRUE(Same(Parse("<plist><integer>18446744073709551615</integer></plist>").get(), UInt(UINT64_MAX).get()));
    EXPECT_TRUE(Same(Parse("<plist><integer>-9223372036854775808</integer></plist>").get(), Int(INT64_MIN).get()));

    // A failure says what and where.
    value.reset(CFPropertyListCreateFromXMLData(nullptr, DataOf("<plist>\n<array>\n<foo/></array></plist>").get(),
                                                kCFPropertyListImmutable, &error));
    CFRef<CFStringRef> owner(error);
    EXPECT_FALSE(value);
    EXPECT_NE(Utf8(error).find("unknown element"), std::string::npos) << Utf8(error);
    EXPECT_NE(Utf8(error).find("line 3"), std::string::npos) << Utf8(error);
}

// What the reader builds and what a deep copy makes, for each option: containers that may change
// only when asked for, leaves too (empty data among them) only when asked for, and never a shared
// or changed original.
TEST(PropertyList, ReadsAndCopiesWithTheRequestedMutability) {
    const std::string doc = Doc("<dict><key>a</key><array><string>s</string><data>AQI=</data><data/><string/></array>"
                                "<key>d</key><dict/></dict>");
    const Ref original = Parse(doc);
    for (bool copy : {false, true}) {
        for (CFOptionFlags option :
             {kCFPropertyListImmutable, kCFPropertyListMutableContainers, kCFPropertyListMutableContainersAndLeaves}) {
            SCOPED_TRACE(std::string(copy ? "copy, " : "read, ") + std::to_string(option));
            Ref value = copy ? Ref(CFPropertyListCreateDeepCopy(nullptr, original.get(), option)) : Parse(doc, option);
            ASSERT_TRUE(value);
            EXPECT_TRUE(Same(value.get(), original.get()));
            auto dict = (CFMutableDictionaryRef)value.get();
            auto array = (CFMutableArrayRef)CFDictionaryGetValue(dict, Str("a").get());
            EXPECT_NE(array, CFDictionaryGetValue((CFDictionaryRef)original.get(), Str("a").get()));
            auto string = (CFMutableStringRef)CFArrayGetValueAtIndex(array, 0);
            auto data = (CFMutableDataRef)CFArrayGetValueAtIndex(array, 1);
            auto empty = (CFMutableDataRef)CFArrayGetValueAtIndex(array, 2);
            if (option == kCFPropertyListImmutable) {
                EXPECT_DEATH(CFDictionarySetValue(dict, Str("x").get(), Int(1).get()), "failed assertion");
                EXPECT_DEATH(CFArrayAppendValue(array, Int(1).get()), "failed assertion");
            } else {
                CFDictionarySetValue(dict, Str("x").get(), Int(1).get());
                CFArrayAppendValue(array, Int(1).get());
                EXPECT_EQ(CFDictionaryGetCount(dict), 3);
                EXPECT_EQ(CFArrayGetCount(array), 5);
            }
            if (option == kCFPropertyListMutableContainersAndLeaves) {
                CFStringAppendCString(string, "t", kCFStringEncodingUTF8);
                EXPECT_TRUE(CFEqual(string, Str("st").get()));
                CFDataAppendBytes(data, reinterpret_cast<const UInt8 *>("\3"), 1);
                EXPECT_EQ(CFDataGetLength(data), 3);
                CFDataAppendBytes(empty, reinterpret_cast<const UInt8 *>("\3"), 1);
                EXPECT_EQ(CFDataGetLength(empty), 1);
            } else {
                EXPECT_DEATH(CFStringAppendCString(string, "t", kCFStringEncodingUTF8), "failed assertion");
                EXPECT_DEATH(CFDataAppendBytes(data, reinterpret_cast<const UInt8 *>("\3"), 1), "failed assertion");
            }
        }
    }
    EXPECT_TRUE(Same(original.get(), Parse(doc).get()));
    CFRef<CFURLRef> url(CFURLCreateWithFileSystemPath(nullptr, CFSTR("/tmp"), kCFURLPOSIXPathStyle, true));
    EXPECT_FALSE(Ref(CFPropertyListCreateDeepCopy(nullptr, Array({Ref::Retain(url.get())}).get(), 0)));
}

std::string Nested(int depth) {
    std::string s;
    for (int i = 0; i < depth; ++i) s += "<array>";
    for (int i = 0; i < depth; ++i) s += "</array>";
    return Doc(s);
}

TEST(PropertyList, RefusesMalformedDocuments) {
    const std::string laughs =
        "<?xml version=\"1.0\"?>\n<!DOCTYPE plist [\n<!ENTITY a \"aaaaaaaaaa\">\n"
        "<!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;&a;&a;\">\n<!ENTITY c \"&b;&b;&b;&b;&b;&b;&b;&b;&b;&b;\">\n"
        "<!ENTITY d \"&c;&c;&c;&c;&c;&c;&c;&c;&c;&c;\">\n<!ENTITY e \"&d;&d;&d;&d;&d;&d;&d;&d;&d;&d;\">\n"
        "<!ENTITY f \"&e;&e;&e;&e;&e;&e;&e;&e;&e;&e;\">\n<!ENTITY g \"&f;&f;&f;&f;&f;&f;&f;&f;&f;&f;\">\n"
        "]>\n<plist><string>&g;</string></plist>\n";
    auto in = [](const char *element, const std::string &text) {
        return Doc("<" + std::string(element) + ">" + text + "</" + element + ">");
    };
    const std::string cases[] = {
        "", "<?xml version=\"1.0\"?>\n", Nested(100000), Nested(kCFPropertyListMaxNestingDepth + 1), laughs,
        // Entities, external or undeclared, and character references XML forbids.
        "<!DOCTYPE plist [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><plist><string>&x;</string></plist>",
        "<!DOCTYPE plist [<!ENTITY % p SYSTEM \"http://localhost/x.dtd\"> %p;]><plist><true/></plist>",
        "<!DOCTYPE plist [<!ELEMENT plist ANY>]><plist><true/></plist>",
        "<!DOCTYPE plist SYSTEM \"file:///etc/passwd\"><plist><string>&x;</string></plist>",
        "<plist><string>&x;</string></plist>", "<plist><string>&#1;</string></plist>",
        // Base64: a bad character, short and lone groups, three pads, data after or inside padding.
        in("data", "AA@A"), in("data", "AAA"), in("data", "AAAAA"), in("data", "A==="), in("data", "AA==AAAA"),
        in("data", "A=AA"),
        // Dates out of the calendar or not in the one form written.
        in("date", "2026-13-01T00:00:00Z"), in("date", "2026-00-01T00:00:00Z"), in("date", "2024-02-30T00:00:00Z"),
        in("date", "2100-02-29T00:00:00Z"), in("date", "2026-01-00T00:00:00Z"), in("date", "2026-12-06T08:04:32"),
        in("date", "2026-12-06T08:04:32+01:00"), in("date", "2026-12-06 08:04:32Z"), in("date", "2026-12-06T24:00:00Z"),
        in("date", "2026-12-06T08:60:00Z"), in("date", "2016-12-31T23:59:60Z"), in("date", "0000-12-31T00:00:00Z"),
        in("date", "2026-12-06T08:04:32.Z"), in("date", "2026-12-06T08:04:32.2aZ"), in("date", "226-12-06T08:04:32Z"),
        in("date", "2026-+1-06T08:04:32Z"), Doc("<date/>"),
        in("date", "9999-12-31T23:59:59." + std::string(30, '9') + "Z"),
        // Structure: tags, roots, text and values where none belong.
        Doc("<array></dict>"), Doc("<array>"), "<dict><key>a</key><true/></dict>", "<array/>",
        Doc("<plist><true/></plist>"), Doc("<array><plist/></array>"), Doc("<true/><false/>"), "<plist></plist>",
        "<plist/>", Doc("<true/>") + "junk", Doc("<true/>") + "<plist><true/></plist>", "<plist>x<true/></plist>",
        Doc("<array><true/>x</array>"), Doc("<dict>x</dict>"), Doc("<true>x</true>"), Doc("<false> </false>"),
        Doc("<string>a<b/>c</string>"), Doc("<string><true/></string>"),
        // Numbers out of range or not in decimal.
        in("integer", "18446744073709551616"), in("integer", "-9223372036854775809"), in("integer", std::string(400, '9')),
        in("integer", "0x10"), in("integer", "12a"), in("integer", " 1"), Doc("<integer/>"), in("integer", "-"),
        in("real", "1e400"), in("real", "1e-400"), in("real", "1.5x"), in("real", "1.2.3"), in("real", "+-1"),
        in("real", "1e5e5"), in("real", "0x1p3"), in("real", ""), in("real", "infinit"),
        // Keys and values out of pairs, and unknown elements and attributes.
        Doc("<dict><key>a</key></dict>"), Doc("<dict><key>a</key><key>b</key><true/></dict>"),
        Doc("<dict><string>x</string></dict>"), Doc("<dict><key>a</key><true/><false/></dict>"),
        Doc("<dict><key>a</key><true/><key>a</key><false/></dict>"), Doc("<array><key>a</key></array>"),
        Doc("<key>a</key>"), Doc("<foo/>"), Doc("<dict><key>a</key><nil/></dict>"),
        Doc("<array><true/><integerx>1</integerx></array>"), Doc("<dict id=\"1\"/>"),
        "<plist version=\"1.0\" xmlns=\"x\"><true/></plist>",
        // Text that is not UTF-8 or not a character: invalid, overlong, a surrogate, U+FFFE, cut off, NUL.
        in("string", "\xC3\x28"), in("string", "\xC0\xAF"), in("string", "\xED\xA0\x80"), in("string", "\xEF\xBF\xBE"),
        in("string", "\xE6\x97"), in("string", std::string("a\0b", 3)),
    };
    for (const std::string &document : cases) {
        SCOPED_TRACE(document.substr(0, 300));
        CFStringRef error = reinterpret_cast<CFStringRef>(1);  // must be overwritten
        Ref value(CFPropertyListCreateFromXMLData(nullptr, DataOf(document).get(), kCFPropertyListImmutable, &error));
        CFRef<CFStringRef> errorOwner(error);
        EXPECT_FALSE(value);
        ASSERT_NE(error, nullptr);
        EXPECT_GT(CFStringGetLength(error), 0);
        // The same for the mutable options, which build through other calls.
        EXPECT_FALSE(Parse(document, kCFPropertyListMutableContainersAndLeaves));
    }
}

// Keys are shared across a document once it has many; a repeated key must still be refused there,
// and a parsed non-ASCII string must equal (and hash like) one made directly.
TEST(PropertyList, SharedKeysAndParsedStringsBehaveLikeAnyOther) {
    std::string many;
    for (int d = 0; d < 3; ++d) {
        many += "<dict>";
        for (int k = 0; k < 12; ++k) many += "<key>k" + std::to_string(k) + "</key><integer>1</integer>";
        many += "</dict>";
    }
    EXPECT_TRUE(Parse(Doc("<array>" + many + "</array>")));
    const std::string repeated =
        "<dict><key>a</key><true/><key>b</key><true/><key>c</key><true/><key>d</key><true/>"
        "<key>e</key><true/><key>f</key><true/><key>g</key><true/><key>h</key><true/>"
        "<key>i</key><true/><key>k3</key><true/><key>j</key><true/></dict>";
    for (CFOptionFlags options : {kCFPropertyListImmutable, kCFPropertyListMutableContainers,
                                  kCFPropertyListMutableContainersAndLeaves}) {
        EXPECT_TRUE(Parse(Doc("<array>" + many + repeated + "</array>"), options));
        const std::string twice = repeated.substr(0, repeated.size() - 7) + "<key>k3</key><false/></dict>";
        EXPECT_FALSE(Parse(Doc("<array>" + many + twice + "</array>"), options)) << options;
    }
    Ref parsed = Parse(Doc("<string>caf\xC3\xA9 \xF0\x9F\x8C\x85</string>"));
    ASSERT_TRUE(parsed);
    CFRef<CFStringRef> direct(CFStringCreateWithCString(nullptr, "caf\xC3\xA9 \xF0\x9F\x8C\x85", kCFStringEncodingUTF8));
    EXPECT_TRUE(CFEqual(parsed.get(), direct.get()));
    EXPECT_EQ(CFHash(parsed.get()), CFHash(direct.get()));
}

TEST(PropertyList, AcceptsTheNestingLimitExactly) {
    Ref deepest = Parse(Nested(kCFPropertyListMaxNestingDepth));
    ASSERT_TRUE(deepest);
    EXPECT_TRUE(RoundTrips(deepest.get()));
    // One more level is refused by the writer as it is by the reader.
    Ref deeper = Array({Ref::Retain(deepest.get())});
    EXPECT_FALSE(CFRef<CFDataRef>(CFPropertyListCreateXMLData(nullptr, deeper.get())));
    EXPECT_FALSE(CFPropertyListIsValid(deeper.get(), kCFPropertyListXMLFormat_v1_0));
    EXPECT_FALSE(Ref(CFPropertyListCreateDeepCopy(nullptr, deeper.get(), kCFPropertyListImmutable)));
}

TEST(PropertyList, WriterRefusesWhatTheFormatCannotCarry) {
    CFRef<CFURLRef> url(CFURLCreateWithFileSystemPath(nullptr, CFSTR("/tmp"), kCFURLPOSIXPathStyle, true));
    CFSInt128Struct big{1, 0};
    Ref key = Int(1);
    const void *keys[] = {key.get()};
    const std::pair<const char *, Ref> cases[] = {
        {"URL", Ref::Retain(url.get())}, {"null", Ref::Retain(kCFNull)},
        {"URL in an array", Array({Int(1), Ref::Retain(url.get())})}, {"control character", Str("a\x01z")},
        {"escape character in a key", Dict({{"\x1B", Int(1)}})}, {"NUL", Units({'a', 0, 'b'})},
        {"lone high surrogate", Units({'a', 0xD800})}, {"lone low surrogate", Units({0xDC00, 'a'})},
        {"reversed pair", Units({0xDC00, 0xD800})}, {"U+FFFE", Units({0xFFFE})}, {"U+FFFF", Units({'x', 0xFFFF})},
        {"year 0", Date(-63113904000.0 - 1)}, {"year 10000", Date(252423993600.0)}, {"NaN date", Date(NAN)},
        {"infinite date", Date(INFINITY)},
        {"129-bit integer", Ref(CFNumberCreate(nullptr, static_cast<CFNumberType>(kCFNumberSInt128Type), &big))},
        {"number key", Ref(CFDictionaryCreate(nullptr, keys, keys, 1, &kCFTypeDictionaryKeyCallBacks,
                                              &kCFTypeDictionaryValueCallBacks))},
    };
    for (auto &[name, value] : cases) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(CFRef<CFDataRef>(CFPropertyListCreateXMLData(nullptr, value.get())));
        EXPECT_FALSE(CFPropertyListIsValid(value.get(), kCFPropertyListXMLFormat_v1_0));
    }

    // A container that holds itself ends at the nesting limit instead of recursing forever.
    CFRef<CFMutableArrayRef> loop(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
    CFArrayAppendValue(loop.get(), loop.get());
    EXPECT_FALSE(CFRef<CFDataRef>(CFPropertyListCreateXMLData(nullptr, loop.get())));
    EXPECT_FALSE(Ref(CFPropertyListCreateDeepCopy(nullptr, loop.get(), kCFPropertyListImmutable)));
    CFArrayRemoveAllValues(loop.get());  // break the cycle so that it can be freed

    EXPECT_TRUE(CFPropertyListIsValid(Dict({{"a", Int(1)}}).get(), kCFPropertyListXMLFormat_v1_0));
    EXPECT_FALSE(CFPropertyListIsValid(Dict({{"a", Int(1)}}).get(), kCFPropertyListBinaryFormat_v1_0));
}

TEST(PropertyList, ParsesOnSeveralThreadsAtOnce) {
    // Each thread keeps its own parser between documents; interleaved failures must not disturb
    // the next document on the same thread.
    const std::string good = Doc("<dict><key>n</key><integer>7</integer><key>s</key><string>x</string></dict>");
    const std::string bad = Doc("<dict><key>n</key><integer>7</integer><key>s</key>");
    std::vector<std::thread> threads;
    std::vector<int> failures(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                Ref value = Parse(i % 3 == 0 ? bad : good);
                if (i % 3 == 0 ? bool(value) : !value || !CFEqual(value.get(), Dict({{"n", Int(7)}, {"s", Str("x")}}).get()))
                    ++failures[t];
            }
        });
    }
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(failures, std::vector<int>(4, 0));
}

}  // namespace
