#include <CFTestSupport.h>

#include <functional>
#include <thread>
#include <type_traits>
#include <vector>

using wfs::CFRef;

namespace {

TEST(Runtime, ImmortalsTypesAndEquality) {
    CFTypeRef immortals[] = {CFSTR("constant"), kCFBooleanTrue, kCFBooleanFalse, kCFNull,
                             kCFAllocatorSystemDefault, kCFAllocatorNull, kCFNumberNaN};
    for (CFTypeRef object : immortals) {
        CFIndex before = CFGetRetainCount(object);
        for (int i = 0; i < 5; ++i) CFRelease(object);
        CFRetain(object);
        EXPECT_EQ(CFGetRetainCount(object), before);
    }
    EXPECT_EQ(kCFAllocatorDefault, nullptr);
    EXPECT_EQ(CFGetTypeID(kCFNull), CFNullGetTypeID());
    EXPECT_EQ(CFGetTypeID(kCFAllocatorMalloc), CFAllocatorGetTypeID());
    EXPECT_TRUE(CFEqual(CFRef<CFStringRef>(CFCopyTypeIDDescription(CFStringGetTypeID())).get(), CFSTR("CFString")));
    EXPECT_FALSE(CFEqual(CFSTR("1"), wfstest::Num(1).get()));
    EXPECT_TRUE(CFEqual(kCFNull, kCFNull));
}

TEST(Runtime, DescriptionsAreReadable) {
    const UInt8 bytes[] = {0xde, 0xad, 0xbe, 0xef, 0x01};
    CFRef<CFDataRef> data(CFDataCreate(nullptr, bytes, 5));
    CFRef<CFDateRef> date(CFDateCreate(nullptr, 0.0));
    auto number = wfstest::Num(42);
    auto array = wfstest::Array({CFSTR("a"), number.get()});
    auto dict = wfstest::Dict({CFSTR("k")}, {array.get()});
    const std::pair<CFTypeRef, const char *> cases[] = {
        {number.get(), "42"},
        {kCFBooleanTrue, "true"},
        {CFSTR("text"), "text"},
        {kCFNull, "<CFNull>"},
        {date.get(), "2001-01-01 00:00:00 +0000"},
        {data.get(), "<deadbeef 01>"},
        {array.get(), "(\n    a,\n    42\n)"},
        {dict.get(), "{\n    k = (\n        a,\n        42\n    );\n}"},
    };
    for (const auto &[object, text] : cases) {
        EXPECT_EQ(wfstest::Utf8(CFRef<CFStringRef>(CFCopyDescription(object)).get()), text);
    }
}

// Caller errors abort, in every part of the library: mutating an immutable object or past a
// mutable one's capacity, indexing out of range, NULL or an object of another type.
TEST(CoreFoundationDeathTest, CallerErrorsAbort) {
    const UInt8 byte = 1;
    CFRef<CFDataRef> data(CFDataCreate(nullptr, &byte, 1));
    const void *values[] = {CFSTR("a")};
    CFRef<CFArrayRef> array(CFArrayCreate(nullptr, values, 1, &kCFTypeArrayCallBacks));
    CFRef<CFDictionaryRef> dict(CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                   &kCFTypeDictionaryValueCallBacks));
    auto mut = [](auto immutable) {
        return const_cast<std::remove_const_t<std::remove_pointer_t<decltype(immutable)>> *>(immutable);
    };
    UInt8 out[2];
    int v = 0;
    const std::function<void()> cases[] = {
        [&] { CFDataGetMutableBytePtr(mut(data.get())); },
        [&] { CFDataGetBytes(data.get(), CFRangeMake(0, 2), out); },
        [&] { CFDataSetLength(CFDataCreateMutable(nullptr, 2), 3); },
        [&] { CFNumberCreate(nullptr, static_cast<CFNumberType>(0), &v); },
        [&] { CFNumberCreate(nullptr, kCFNumberIntType, nullptr); },
        [&] { CFBooleanGetValue(reinterpret_cast<CFBooleanRef>(kCFNull)); },
        [&] { CFStringAppend(mut(CFSTR("k")), CFSTR("x")); },
        [&] { CFStringAppend(CFStringCreateMutable(nullptr, 2), CFSTR("abc")); },
        [&] { CFStringGetCharacterAtIndex(CFSTR("ab"), 2); },
        [&] { CFRelease(nullptr); },
        [&] { CFRetain(nullptr); },
        [&] { CFGetTypeID(nullptr); },
        [&] { CFStringGetLength(reinterpret_cast<CFStringRef>(kCFBooleanTrue)); },
        [&] { CFArrayGetCount(reinterpret_cast<CFArrayRef>(CFSTR("x"))); },
        [&] { CFArrayGetValueAtIndex(array.get(), 1); },
        [&] { CFArrayGetValues(array.get(), CFRangeMake(0, 2), values); },
        [&] {
            CFMutableArrayRef limited = CFArrayCreateMutable(nullptr, 1, &kCFTypeArrayCallBacks);
            CFArrayAppendValue(limited, CFSTR("a"));
            CFArrayAppendValue(limited, CFSTR("b"));
        },
        [&] { CFDictionaryRemoveAllValues(mut(dict.get())); },
        [&] {
            CFMutableDictionaryRef limited = CFDictionaryCreateMutable(nullptr, 1, &kCFTypeDictionaryKeyCallBacks,
                                                                       &kCFTypeDictionaryValueCallBacks);
            CFDictionarySetValue(limited, CFSTR("a"), CFSTR("1"));
            CFDictionarySetValue(limited, CFSTR("a"), CFSTR("2"));  // a replacement stays within the limit
            CFDictionarySetValue(limited, CFSTR("b"), CFSTR("3"));
        },
    };
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_DEATH(cases[i](), "failed assertion") << "case " << i;
}

// Many threads take and drop references to shared objects; the count must end where it began
// and the last release must free each object exactly once (ASan reports a double free, LSan a
// leak).
TEST(Runtime, ConcurrentRetainRelease) {
    constexpr int kThreads = 8;
    constexpr int kRounds = 20000;
    CFMutableArrayRef array = CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks);
    CFStringRef str = CFStringCreateWithCString(nullptr, "shared", kCFStringEncodingUTF8);
    CFArrayAppendValue(array, str);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        CFRetain(array);  // each thread owns one reference and drops it at the end
        threads.emplace_back([array, str] {
            for (int i = 0; i < kRounds; ++i) {
                CFRetain(str);
                CFRetain(array);
                CFRelease(str);
                CFRelease(array);
                (void)CFSTR("interned from many threads");
            }
            CFRelease(array);
        });
    }
    for (auto &thread : threads) thread.join();
    EXPECT_EQ(CFGetRetainCount(str), 2);  // ours and the array's
    EXPECT_EQ(CFGetRetainCount(array), 1);
    EXPECT_EQ(CFSTR("interned from many threads"), CFSTR("interned from many threads"));
    CFRelease(array);
    EXPECT_EQ(CFGetRetainCount(str), 1);
    CFRelease(str);
}

}  // namespace
