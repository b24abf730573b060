// Tests of the Core Foundation helper routines: the error convention, collections, walks, merging,
// byte strings, XML property-list files and framework bundles.
#include "MoreCFQ.h"

#include <CFTestSupport.h>
#include <TestSupport.h>

#include <cstring>
#include <vector>

using namespace wfstest;
using wfs::CFRef;

TEST(MoreCFQ, ErrorValuesReferenceCountsAndCollections) {
    CFQRelease(nullptr);  // must not reach CFRelease, which refuses NULL
    EXPECT_EQ(CFQRetain(nullptr), nullptr);
    CFRef<CFStringRef> s = Str("x");
    EXPECT_EQ(CFQRetain(s.get()), s.get());
    EXPECT_EQ(CFGetRetainCount(s.get()), 2);
    CFQRelease(s.get());
    EXPECT_EQ(CFGetRetainCount(s.get()), 1);
    EXPECT_TRUE(CFQError(nullptr) == coreFoundationUnknownErr && CFQError(s.get()) == noErr);
    EXPECT_TRUE(CFQErrorBoolean(false) == coreFoundationUnknownErr && CFQErrorBoolean(2) == noErr);

    CFRef<CFMutableArrayRef> array;
    ASSERT_EQ(CFQArrayCreateMutable(array.out()), noErr);
    CFArrayAppendValue(array.get(), s.get());  // the array holds its own reference
    EXPECT_EQ(CFGetRetainCount(s.get()), 2);

    // The key and value arrays of an empty dictionary, and of three entries in matching order; the
    // two rebuild an equal dictionary, and no temporary keeps a reference.
    CFRef<CFMutableDictionaryRef> dict;
    ASSERT_EQ(CFQDictionaryCreateMutable(dict.out()), noErr);
    for (int entries : {0, 3}) {
        for (long i = 0; i < entries; i++) CFDictionarySetValue(dict.get(), Num(i).get(), Str("v").get());
        CFRef<CFArrayRef> keys, values;
        CFRef<CFDictionaryRef> rebuilt;
        ASSERT_EQ(CFQArrayCreateWithDictionaryKeys(dict.get(), keys.out()), noErr);
        ASSERT_EQ(CFQArrayCreateWithDictionaryValues(dict.get(), values.out()), noErr);
        ASSERT_EQ(CFArrayGetCount(keys.get()), entries);
        ASSERT_EQ(CFArrayGetCount(values.get()), entries);
        for (CFIndex i = 0; i < entries; i++) {
            EXPECT_EQ(CFDictionaryGetValue(dict.get(), CFArrayGetValueAtIndex(keys.get(), i)),
                      CFArrayGetValueAtIndex(values.get(), i));
            EXPECT_EQ(CFGetRetainCount(CFArrayGetValueAtIndex(keys.get(), i)), 2);  // dict and keys
        }
        ASSERT_EQ(CFQDictionaryCreateWithArrayOfKeysAndValues(keys.get(), values.get(), rebuilt.out()), noErr);
        EXPECT_TRUE(CFEqual(rebuilt.get(), dict.get()));
    }

    // A long at its limits, held by the dictionary alone.
    CFRef<CFStringRef> key = Str("n");
    for (long value : {0L, -1L, LONG_MIN, LONG_MAX}) {
        ASSERT_EQ(CFQDictionarySetNumber(dict.get(), key.get(), value), noErr);
        CFTypeRef number = CFDictionaryGetValue(dict.get(), key.get());
        EXPECT_EQ(NumberValue(number), value);
        EXPECT_EQ(CFGetRetainCount(number), 1);
    }
}

namespace {

struct Visit {
    CFTypeRef key, value;
    long index;
    CFIndex keyRetainCount;
};

void RecordShallow(const void *key, const void *value, void *context) {
    static_cast<std::vector<Visit> *>(context)->push_back({key, value, NumberValue(key), CFGetRetainCount(key)});
}

void RecordDeep(CFTypeRef node, void *context) { static_cast<std::vector<CFTypeRef> *>(context)->push_back(node); }

}  // namespace

TEST(MoreCFQ, ShallowAndDeepWalks) {
    CFRef<CFStringRef> x = Str("x"), y = Str("y"), z = Str("z"), k = Str("k");
    CFRef<CFArrayRef> array = Array({x.get(), y.get(), z.get()});
    std::vector<Visit> visits;
    CFQPropertyListShallowApplyFunction(array.get(), RecordShallow, &visits);
    ASSERT_EQ(visits.size(), 3u);
    for (long i = 0; i < 3; i++) {
        // Each index as a number the walk made for that call and released after it.
        EXPECT_EQ(visits[i].index, i);
        EXPECT_EQ(visits[i].value, CFArrayGetValueAtIndex(array.get(), i));
        EXPECT_EQ(visits[i].keyRetainCount, 1);
    }
    CFRef<CFDictionaryRef> pairs = Dict({x.get(), y.get()}, {Num(1).get(), Num(2).get()});
    visits.clear();
    CFQPropertyListShallowApplyFunction(pairs.get(), RecordShallow, &visits);
    ASSERT_EQ(visits.size(), 2u);
    EXPECT_FALSE(CFEqual(visits[0].key, visits[1].key));
    for (const Visit &v : visits) EXPECT_EQ(CFDictionaryGetValue(pairs.get(), v.key), v.value);

    // Pre-order, elements by index, keys never visited: {k: [x, y]} gives four nodes.
    CFRef<CFArrayRef> inner = Array({x.get(), y.get()});
    CFRef<CFDictionaryRef> dict = Dict({k.get()}, {inner.get()});
    CFRef<CFArrayRef> outer = Array({z.get(), dict.get(), z.get()});
    std::vector<CFTypeRef> nodes;
    CFQPropertyListDeepApplyFunction(dict.get(), RecordDeep, &nodes);
    EXPECT_EQ(nodes, (std::vector<CFTypeRef>{dict.get(), inner.get(), x.get(), y.get()}));
    nodes.clear();
    CFQPropertyListDeepApplyFunction(outer.get(), RecordDeep, &nodes);
    EXPECT_EQ(nodes, (std::vector<CFTypeRef>{outer.get(), z.get(), dict.get(), inner.get(), x.get(), y.get(), z.get()}));

    EXPECT_FALSE(CFQPropertyListIsLeaf(dict.get()));
    EXPECT_FALSE(CFQPropertyListIsLeaf(inner.get()));
    EXPECT_TRUE(CFQPropertyListIsLeaf(x.get()));
    EXPECT_TRUE(CFQPropertyListIsLeaf(kCFBooleanTrue));
}

TEST(MoreCFQ, MergeIsOneLevelDeepAndSourceWins) {
    CFRef<CFStringRef> a = Str("a"), b = Str("b"), c = Str("c");
    CFRef<CFNumberRef> one = Num(1), two = Num(2), three = Num(3), nine = Num(9);
    CFRef<CFMutableDictionaryRef> dst = MakeDictionary();
    CFDictionarySetValue(dst.get(), b.get(), Dict({a.get()}, {nine.get()}).get());
    CFDictionarySetValue(dst.get(), c.get(), three.get());
    CFRef<CFDictionaryRef> nested = Dict({c.get()}, {two.get()});
    CFRef<CFDictionaryRef> src = Dict({a.get(), b.get()}, {one.get(), nested.get()});
    EXPECT_EQ(CFQDictionaryMerge(dst.get(), src.get()), noErr);
    // {a: 1, b: {c: 2}} into {b: {a: 9}, c: 3}: the nested dictionary replaces the old one outright.
    EXPECT_EQ(CFDictionaryGetCount(dst.get()), 3);
    EXPECT_EQ(CFDictionaryGetValue(dst.get(), a.get()), one.get());
    EXPECT_EQ(CFDictionaryGetValue(dst.get(), b.get()), nested.get());
    EXPECT_EQ(CFDictionaryGetValue(dst.get(), c.get()), three.get());
    EXPECT_EQ(CFDictionaryGetCount(src.get()), 2);
}

TEST(MoreCFQ, StringCopyHoldsExactlyTheConvertedBytesAndOneNul) {
    const UniChar withNul[] = {'a', 0, 'b'};
    CFRef<CFStringRef> embedded(CFStringCreateWithCharacters(kCFAllocatorDefault, withNul, 3));
    const struct {
        CFRef<CFStringRef> str;
        CFStringEncoding encoding;
        OSStatus err;
        std::string bytes;  // with the terminating NUL
    } cases[] = {
        {Str(""), kCFStringEncodingUTF8, noErr, std::string(1, '\0')},
        {Str("caf\xC3\xA9"), kCFStringEncodingUTF8, noErr, std::string("caf\xC3\xA9", 6)},
        {Str("caf\xC3\xA9"), kCFStringEncodingISOLatin1, noErr, std::string("caf\xE9", 5)},
        {std::move(embedded), kCFStringEncodingUTF8, noErr, std::string("a\0b", 4)},
        {Str("caf\xC3\xA9"), kCFStringEncodingASCII, kCFQUnexpectedDataErr, ""},
        {Str("\xE2\x82\xAC" "100"), kCFStringEncodingISOLatin1, kCFQUnexpectedDataErr, ""},  // euro sign first
    };
    for (const auto &c : cases) {
        char *cStr = nullptr;
        EXPECT_EQ(CFQStringCopyCString(c.str.get(), c.encoding, &cStr), c.err) << c.bytes;
        EXPECT_EQ(cStr == nullptr, c.err != noErr);
        EXPECT_TRUE(cStr == nullptr || std::memcmp(cStr, c.bytes.data(), c.bytes.size()) == 0) << c.bytes;
        free(cStr);
    }
}

TEST(MoreCFQ, PropertyListFilesAndTheirErrors) {
    TempDir dir;
    WriteFile(dir / "good.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>Name</key><string>alarm</string><key>List</key><array/></dict></plist>\n");
    WriteFile(dir / "bad.plist", "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key></plist>");
    WriteFile(dir / "empty.plist", "");
    const struct {
        std::string name;
        OSStatus err;
    } cases[] = {{"good.plist", noErr},
                 {"missing.plist", kCFURLResourceNotFoundError},  // the URL access error as it is
                 {"bad.plist", coreFoundationUnknownErr},
                 {"empty.plist", coreFoundationUnknownErr}};
    for (const auto &c : cases) {
        CFRef<CFPropertyListRef> plist;
        EXPECT_EQ(CFQPropertyListCreateFromXMLCFURL(FileURL(dir / c.name).get(), kCFPropertyListImmutable, plist.out()),
                  c.err)
            << c.name;
        EXPECT_EQ(plist.get() == nullptr, c.err != noErr);
    }
    // Through a file reference: the same reading and errors.
    FSRef good = RefOf(dir / "good.plist"), bad = RefOf(dir / "bad.plist");
    CFRef<CFPropertyListRef> viaRef, none;
    ASSERT_EQ(CFQPropertyListCreateFromXMLFSRef(&good, kCFPropertyListImmutable, viaRef.out()), noErr);
    EXPECT_EQ(CFGetTypeID(viaRef.get()), CFDictionaryGetTypeID());
    EXPECT_EQ(CFQPropertyListCreateFromXMLFSRef(&bad, kCFPropertyListImmutable, none.out()), coreFoundationUnknownErr);
    EXPECT_EQ(none.get(), nullptr);

    // The mutability option is passed on: mutable containers can be changed, immutable ones cannot.
    CFRef<CFPropertyListRef> plist;
    ASSERT_EQ(CFQPropertyListCreateFromXMLCFURL(FileURL(dir / "good.plist").get(), kCFPropertyListMutableContainers,
                                                plist.out()),
              noErr);
    auto asMutable = [](CFTypeRef p) { return static_cast<CFMutableDictionaryRef>(const_cast<void *>(p)); };
    CFArrayAppendValue((CFMutableArrayRef)CFDictionaryGetValue(asMutable(plist.get()), Str("List").get()), kCFBooleanTrue);
    CFDictionarySetValue(asMutable(plist.get()), Str("Added").get(), kCFBooleanTrue);
    EXPECT_EQ(CFDictionaryGetCount(asMutable(plist.get())), 3);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_DEATH(CFDictionarySetValue(asMutable(viaRef.get()), Str("Added").get(), kCFBooleanTrue), "failed assertion");
}

TEST(MoreCFQ, FrameworkBundleByName) {
    TempDir root;
    ScopedEnv env("WFS_FOLDER_ROOT", root.path());
    const std::string frameworks = root / "usr/local/lib/";
    const char kInfo[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                         "<key>CFBundleExecutable</key><string>Test</string>"
                         "<key>CFBundleIdentifier</key><string>com.example.test</string></dict></plist>\n";
    for (const char *name : {"Test", "Empty", "Broken"}) {
        WriteFile(frameworks + name + ".framework/Contents/Info.plist", kInfo);
        std::filesystem::create_directories(frameworks + name + ".framework/Contents/Linux");
    }
    std::filesystem::copy_file(MORECFQ_TEST_FRAMEWORK_LIBRARY, frameworks + "Test.framework/Contents/Linux/Test");
    WriteFile(frameworks + "Broken.framework/Contents/Linux/Test", "not a library\n", 0755);

    CFRef<CFBundleRef> bundle;
    ASSERT_EQ(CFQBundleCreateFromFrameworkName(Str("Test.framework").get(), bundle.out()), noErr);
    EXPECT_TRUE(CFBundleIsExecutableLoaded(bundle.get()));
    auto answer = reinterpret_cast<int (*)(void)>(
        CFBundleGetFunctionPointerForName(bundle.get(), Str("WFSBundleTestAnswer").get()));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    EXPECT_EQ(CFGetRetainCount(bundle.get()), 1);

    // The name is used verbatim; a bundle without a loadable executable is released.
    for (const char *name : {"Test", "Missing.framework", "Empty.framework", "Broken.framework"}) {
        CFBundleRef none = nullptr;
        EXPECT_EQ(CFQBundleCreateFromFrameworkName(Str(name).get(), &none), coreFoundationUnknownErr) << name;
        EXPECT_EQ(none, nullptr);
    }

    // A folder lookup that fails (the root is a plain file) passes its error through unchanged.
    WriteFile(root / "plain-file", "x");
    ScopedEnv fileRoot("WFS_FOLDER_ROOT", root / "plain-file");
    FSRef ref;
    OSErr lookupErr = FSFindFolder(kOnAppropriateDisk, kFrameworksFolderType, kCreateFolder, &ref);
    ASSERT_NE(lookupErr, noErr);
    CFBundleRef none = nullptr;
    EXPECT_EQ(CFQBundleCreateFromFrameworkName(Str("Test.framework").get(), &none), lookupErr);
    EXPECT_EQ(none, nullptr);
}

// Caller errors of the module abort; the report names the file, the line and the expression.
TEST(MoreCFQDeathTest, CallerErrorsAbortWithAReport) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    CFRef<CFStringRef> s = Str("x");
    CFRef<CFArrayRef> two = Array({s.get(), s.get()}), one = Array({s.get()}), empty = Array({});
    CFRef<CFMutableDictionaryRef> dict = MakeDictionary();
    CFDictionaryRef dictOut = nullptr;
    const void *result = nullptr, *path[] = {s.get()};
    EXPECT_DEATH(CFQDictionaryCreateWithArrayOfKeysAndValues(two.get(), one.get(), &dictOut),
                 "MoreCFQ\\.cpp:[0-9]+: failed assertion `CFArrayGetCount\\(keys\\) == CFArrayGetCount\\(values\\)'");
    // The merge's applier checks its destination.
    auto notADictionary = reinterpret_cast<CFMutableDictionaryRef>(const_cast<void *>(static_cast<const void *>(one.get())));
    const std::function<void()> cases[] = {
        [&] { CFQDictionaryMerge(notADictionary, Dict({s.get()}, {s.get()}).get()); },
        [&] { CFQDictionarySetValueAtPath(dict.get(), path, 0, s.get()); },
        [&] { CFQDictionaryGetValueAtPathArray(dict.get(), empty.get(), &result); },
    };
    for (size_t i = 0; i < std::size(cases); i++) EXPECT_DEATH(cases[i](), "failed assertion") << "case " << i;
}
