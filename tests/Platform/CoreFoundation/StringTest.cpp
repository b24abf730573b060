#include <CFTestSupport.h>

#include <cstring>
#include <vector>

using wfs::CFRef;

namespace {

using wfstest::Str;
using wfstest::Utf8;

TEST(String, Utf8RoundTripAndInvalidInputRefused) {
    const char *text = "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80";  // café € 😀
    auto str = Str(text);
    ASSERT_TRUE(str);
    // c a f é space € space + a surrogate pair: 9 units
    EXPECT_EQ(CFStringGetLength(str.get()), 9);
    EXPECT_EQ(CFStringGetCharacterAtIndex(str.get(), 3), 0xE9);
    EXPECT_EQ(CFStringGetCharacterAtIndex(str.get(), 7), 0xD83D);
    EXPECT_EQ(CFStringGetCharacterAtIndex(str.get(), 8), 0xDE00);
    EXPECT_EQ(Utf8(str.get()), text);

    // Truncated, overlong, an encoded surrogate, above U+10FFFF, a stray continuation, never UTF-8.
    for (const char *bad : {"\xC3", "\xC0\xAF", "\xED\xA0\x80", "\xF4\x90\x80\x80", "a\x80", "\xFF"})
        EXPECT_EQ(Str(bad).get(), nullptr) << bad;
    const UInt8 high[] = {'a', 0xE9};
    EXPECT_EQ(CFStringCreateWithBytes(nullptr, high, 2, kCFStringEncodingASCII, false), nullptr);
    EXPECT_EQ(CFStringCreateWithBytes(nullptr, high, 2, 0x7777, false), nullptr);  // unknown encoding
    CFRef<CFStringRef> latin(CFStringCreateWithBytes(nullptr, high, 2, kCFStringEncodingISOLatin1, false));
    ASSERT_TRUE(latin);
    EXPECT_EQ(Utf8(latin.get()), "a\xC3\xA9");
}

TEST(String, EmbeddedNulAndEmpty) {
    const UInt8 bytes[] = {'a', 0, 'b'};
    CFRef<CFStringRef> str(CFStringCreateWithBytes(nullptr, bytes, 3, kCFStringEncodingUTF8, false));
    ASSERT_TRUE(str);
    EXPECT_EQ(CFStringGetLength(str.get()), 3);
    EXPECT_EQ(CFStringGetCStringPtr(str.get(), kCFStringEncodingUTF8), nullptr);
    auto empty = Str("");
    EXPECT_EQ(CFStringGetLength(empty.get()), 0);
    char buffer[1];
    EXPECT_TRUE(CFStringGetCString(empty.get(), buffer, 1, kCFStringEncodingASCII));
    EXPECT_EQ(buffer[0], '\0');
}

// CFStringGetBytes converts whole characters only, within the buffer, stopping at the first one it
// cannot convert unless it has a loss byte; a NULL buffer measures. Host-order UTF-16 as an
// external representation starts with a byte-order mark.
TEST(String, GetBytesConvertsWholeCharacters) {
    // Ő (U+0150) is not in Latin-1.
    const std::vector<UniChar> mixed = {'h', 0x20AC, 0xD83D, 0xDE00}, latin = {'a', 'b', 0x0150, 'c'};
    const UniChar bom = 0xFEFF;
    const struct {
        const std::vector<UniChar> &units;
        CFIndex count;
        CFStringEncoding encoding;
        UInt8 lossByte;
        bool external, measure;
        CFIndex size, converted;
        std::string bytes;
    } cases[] = {
        {mixed, 4, kCFStringEncodingUnicode, 0, true, false, 32, 4,
         std::string(reinterpret_cast<const char *>(&bom), 2) +
             std::string(reinterpret_cast<const char *>(mixed.data()), 8)},
        {mixed, 2, kCFStringEncodingUTF16BE, 0, false, false, 32, 2, std::string("\0h\x20\xAC", 4)},
        {latin, 4, kCFStringEncodingISOLatin1, 0, false, false, 8, 2, "ab"},
        {latin, 4, kCFStringEncodingISOLatin1, '?', false, false, 8, 4, "ab?c"},
        {latin, 4, kCFStringEncodingUTF8, 0, false, true, 0, 4, "abcde"},  // measured: 5 bytes
        {{0xD83D, 0xDE00}, 2, kCFStringEncodingUTF8, 0, false, false, 3, 0, ""},
        {{0xD83D, 0xDE00}, 2, kCFStringEncodingUTF8, 0, false, false, 4, 2, "\xF0\x9F\x98\x80"},
        {{0xD83D, 0xDE00}, 1, kCFStringEncodingUTF8, 0, false, false, 8, 0, ""},  // a lone surrogate
    };
    for (const auto &c : cases) {
        const auto count = static_cast<CFIndex>(c.units.size());
        CFRef<CFStringRef> str(CFStringCreateWithCharacters(nullptr, c.units.data(), count));
        UInt8 buffer[32];
        CFIndex used = -1;
        EXPECT_EQ(CFStringGetBytes(str.get(), CFRangeMake(0, c.count), c.encoding, c.lossByte, c.external,
                                   c.measure ? nullptr : buffer, c.size, &used),
                  c.converted) << c.bytes;
        EXPECT_EQ(used, static_cast<CFIndex>(c.bytes.size())) << c.bytes;
        if (!c.measure) {
            EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer), used), c.bytes);
        }
    }
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(2, kCFStringEncodingUTF8), 6);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(2, kCFStringEncodingUTF16), 4);
    EXPECT_EQ(CFStringGetMaximumSizeForEncoding(2, 0x7777), kCFNotFound);
}

// Reading UTF-16 honours a byte-order mark, and refuses an odd count of bytes; the external
// representation reads back as the same string.
TEST(String, Utf16ByteOrderAndExternalRepresentation) {
    const UniChar units[] = {'h', 0x20AC, 0xD83D, 0xDE00};
    CFRef<CFStringRef> str(CFStringCreateWithCharacters(nullptr, units, 4));
    const UInt8 le[] = {0xFF, 0xFE, 'h', 0x00, 0xAC, 0x20}, odd[] = {0x00, 'a', 0x00};
    CFRef<CFStringRef> fromLe(CFStringCreateWithBytes(nullptr, le, 6, kCFStringEncodingUnicode, true));
    ASSERT_TRUE(fromLe);
    EXPECT_EQ(CFStringGetLength(fromLe.get()), 2);
    EXPECT_EQ(CFStringGetCharacterAtIndex(fromLe.get(), 1), 0x20AC);
    EXPECT_EQ(CFStringCreateWithBytes(nullptr, odd, 3, kCFStringEncodingUTF16BE, false), nullptr);
    CFRef<CFDataRef> external(CFStringCreateExternalRepresentation(nullptr, str.get(), kCFStringEncodingUTF16, 0));
    ASSERT_TRUE(external);
    EXPECT_EQ(CFDataGetLength(external.get()), 10);
    CFRef<CFStringRef> again(
        CFStringCreateFromExternalRepresentation(nullptr, external.get(), kCFStringEncodingUTF16));
    EXPECT_TRUE(CFEqual(again.get(), str.get()));
    CFRef<CFStringRef> back(
        CFStringCreateWithBytes(nullptr, CFDataGetBytePtr(external.get()), 10, kCFStringEncodingUnicode, true));
    EXPECT_TRUE(CFEqual(back.get(), str.get()));
}

TEST(String, GetCStringBoundaries) {
    auto str = Str("h\xC3\xA9llo");  // 6 bytes in UTF-8
    char buffer[16];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_FALSE(CFStringGetCString(str.get(), buffer, 6, kCFStringEncodingUTF8));  // one too small
    EXPECT_TRUE(CFStringGetCString(str.get(), buffer, 7, kCFStringEncodingUTF8));
    EXPECT_STREQ(buffer, "h\xC3\xA9llo");
    EXPECT_EQ(buffer[7], 'x');  // nothing written past the terminator
    EXPECT_FALSE(CFStringGetCString(str.get(), buffer, sizeof buffer, kCFStringEncodingASCII));
    EXPECT_TRUE(CFStringGetCString(str.get(), buffer, sizeof buffer, kCFStringEncodingISOLatin1));
    EXPECT_STREQ(buffer, "h\xE9llo");
    // The 8-bit pointer exists for ASCII text only.
    EXPECT_EQ(CFStringGetCStringPtr(str.get(), kCFStringEncodingUTF8), nullptr);
    EXPECT_STREQ(CFStringGetCStringPtr(CFSTR("plain"), kCFStringEncodingUTF8), "plain");
}

TEST(String, CompareAndAffixes) {
    const struct {
        CFRef<CFStringRef> a, b;
        CFStringCompareFlags flags;
        CFComparisonResult result;
    } compares[] = {
        {Str("abc"), Str("abd"), 0, kCFCompareLessThan},
        {Str("abc"), Str("ab"), 0, kCFCompareGreaterThan},
        {Str("ABC"), Str("abc"), 0, kCFCompareLessThan},
        {Str("ABC"), Str("abc"), kCFCompareCaseInsensitive, kCFCompareEqualTo},
        {Str("\xC3\x89T\xC3\x89"), Str("\xC3\xA9t\xC3\xA9"), kCFCompareCaseInsensitive, kCFCompareEqualTo},
        {Str("file9"), Str("file10"), kCFCompareNumerically, kCFCompareLessThan},
        {Str("file9"), Str("file10"), 0, kCFCompareGreaterThan},
    };
    for (const auto &c : compares)
        EXPECT_EQ(CFStringCompare(c.a.get(), c.b.get(), c.flags), c.result) << Utf8(c.a.get());
    EXPECT_TRUE(CFStringHasPrefix(CFSTR("com.example.tool"), CFSTR("com.")));
    EXPECT_FALSE(CFStringHasPrefix(CFSTR("co"), CFSTR("com")));
    EXPECT_TRUE(CFStringHasSuffix(CFSTR("tool.plist"), CFSTR(".plist")));
    EXPECT_TRUE(CFStringHasSuffix(CFSTR("x"), CFSTR("")));
    EXPECT_EQ(CFStringFind(CFSTR("a.b.c"), CFSTR("."), kCFCompareBackwards).location, 3);
    EXPECT_EQ(CFStringFind(CFSTR("Hello"), CFSTR("LL"), kCFCompareCaseInsensitive).location, 2);
    EXPECT_EQ(CFStringFind(CFSTR("Hello"), CFSTR("ll"), kCFCompareAnchored).location, kCFNotFound);
}

TEST(String, MutableStringsAreIndependentCopies) {
    CFRef<CFMutableStringRef> m(CFStringCreateMutable(nullptr, 0));
    CFStringAppend(m.get(), CFSTR("abc"));
    CFRef<CFStringRef> snapshot(CFStringCreateCopy(nullptr, m.get()));
    CFRef<CFMutableStringRef> other(CFStringCreateMutableCopy(nullptr, 0, m.get()));
    CFStringAppendCString(m.get(), "\xE2\x82\xAC", kCFStringEncodingUTF8);
    const UniChar pair[] = {0xD83D, 0xDE00};
    CFStringAppendCharacters(m.get(), pair, 2);
    EXPECT_EQ(CFStringGetLength(m.get()), 6);
    EXPECT_EQ(Utf8(m.get()), "abc\xE2\x82\xAC\xF0\x9F\x98\x80");
    EXPECT_TRUE(CFEqual(snapshot.get(), CFSTR("abc")));
    EXPECT_TRUE(CFEqual(other.get(), CFSTR("abc")));
    CFStringAppend(m.get(), m.get());  // appending to itself doubles it
    EXPECT_EQ(CFStringGetLength(m.get()), 12);
    CFStringDelete(m.get(), CFRangeMake(3, 9));
    EXPECT_TRUE(CFEqual(m.get(), CFSTR("abc")));
    EXPECT_EQ(CFHash(m.get()), CFHash(CFSTR("abc")));
    CFStringInsert(m.get(), 1, CFSTR("XY"));
    EXPECT_TRUE(CFEqual(m.get(), CFSTR("aXYbc")));
    // An immutable copy of an immutable string is the same object.
    CFRef<CFStringRef> same(CFStringCreateCopy(nullptr, snapshot.get()));
    EXPECT_EQ(same.get(), snapshot.get());
}

TEST(String, Format) {
    int forty2 = 42;
    CFRef<CFNumberRef> number(CFNumberCreate(nullptr, kCFNumberIntType, &forty2));
    CFRef<CFStringRef> str(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%@ failed with error %i"),
                                                    CFSTR("SchedulePowerEvent"), -60005));
    EXPECT_EQ(Utf8(str.get()), "SchedulePowerEvent failed with error -60005");
    str.reset(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("[%5s|%-4d|%.2f|%x|%lld|%zu|%%|%@|%@]"), "ab", 7,
                                       3.14159, 255u, -1LL << 40, size_t{9}, number.get(), nullptr));
    EXPECT_EQ(Utf8(str.get()), "[   ab|7   |3.14|ff|-1099511627776|9|%|42|(null)]");
    str.reset(CFStringCreateWithFormat(nullptr, nullptr, CFSTR("%*d:%s"), 4, 1, "\xC3\xA9"));
    EXPECT_EQ(Utf8(str.get()), "   1:\xC3\xA9");
    CFRef<CFMutableStringRef> m(CFStringCreateMutable(nullptr, 0));
    CFStringAppendFormat(m.get(), nullptr, CFSTR("<%@>"), Str("\xE2\x82\xAC").get());
    EXPECT_EQ(CFStringGetLength(m.get()), 3);
}

}  // namespace
