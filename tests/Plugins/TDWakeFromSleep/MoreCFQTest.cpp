// Tests of the Core Foundation helper routines: the error convention, collections, walks, merging,
// byte strings, XML property-list files and framework bundles.
#include "MoreCFQ.h"
#include "MoreCFQTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include <unistd.h>

using namespace cfqtest;
namespace fs = std::filesystem;

namespace {

// A fresh folder under the temporary folder, removed with everything in it at the end.
class TempDir {
public:
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "MoreCFQTest.XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
    }
    ~TempDir()
    {
        std::error_code ec;
        if (!path_.empty()) fs::remove_all(path_, ec);
    }
    const fs::path &path() const { return path_; }

private:
    fs::path path_;
};

// Sets an environment variable for the life of the object and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const std::string &value) : name_(name)
    {
        if (const char *old = getenv(name)) old_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv()
    {
        if (old_) {
            setenv(name_, old_->c_str(), 1);
        } else {
            unsetenv(name_);
        }
    }

private:
    const char *name_;
    std::optional<std::string> old_;
};

void WriteFile(const fs::path &path, const std::string &contents)
{
    fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary);
    out << contents;
}

CFRef<CFURLRef> FileURL(const fs::path &path)
{
    std::string s = path.string();
    return CFRef<CFURLRef>(CFURLCreateFromFileSystemRepresentation(
        kCFAllocatorDefault, reinterpret_cast<const UInt8 *>(s.data()), static_cast<CFIndex>(s.size()),
        false));
}

const char kDictionaryPlist[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" "
    "\"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
    "<plist version=\"1.0\">\n"
    "<dict>\n"
    "  <key>Name</key><string>alarm</string>\n"
    "  <key>List</key><array><integer>7</integer></array>\n"
    "</dict>\n"
    "</plist>\n";

}  // namespace

TEST(MoreCFQErrors, ReleaseRetainAndErrorValues)
{
    CFQRelease(nullptr);  // must not reach CFRelease, which refuses NULL
    EXPECT_EQ(CFQRetain(nullptr), nullptr);

    CFRef<CFStringRef> s = Str("x");
    CFIndex before = CFGetRetainCount(s.get());
    EXPECT_EQ(CFQRetain(s.get()), s.get());
    EXPECT_EQ(CFGetRetainCount(s.get()), before + 1);
    CFQRelease(s.get());
    EXPECT_EQ(CFGetRetainCount(s.get()), before);

    EXPECT_EQ(CFQError(nullptr), coreFoundationUnknownErr);
    EXPECT_EQ(CFQError(s.get()), noErr);
    int plain = 0;
    EXPECT_EQ(CFQError(&plain), noErr);

    EXPECT_EQ(CFQErrorBoolean(false), coreFoundationUnknownErr);
    EXPECT_EQ(CFQErrorBoolean(true), noErr);
    EXPECT_EQ(CFQErrorBoolean(2), noErr);
    EXPECT_EQ(CFQErrorBoolean(255), noErr);
}

TEST(MoreCFQCollections, MutableCollectionsRetainWhatTheyHold)
{
    CFMutableArrayRef rawArray = nullptr;
    ASSERT_EQ(CFQArrayCreateMutable(&rawArray), noErr);
    CFRef<CFMutableArrayRef> array(rawArray);
    ASSERT_NE(array.get(), nullptr);
    EXPECT_EQ(CFArrayGetCount(array.get()), 0);

    CFRef<CFStringRef> s = Str("element");
    CFIndex before = CFGetRetainCount(s.get());
    // Unlimited capacity: more than a handful of elements must fit.
    for (int i = 0; i < 100; i++) CFArrayAppendValue(array.get(), s.get());
    EXPECT_EQ(CFArrayGetCount(array.get()), 100);
    EXPECT_EQ(CFGetRetainCount(s.get()), before + 100);
    array.reset();
    EXPECT_EQ(CFGetRetainCount(s.get()), before);

    CFMutableDictionaryRef rawDict = nullptr;
    ASSERT_EQ(CFQDictionaryCreateMutable(&rawDict), noErr);
    CFRef<CFMutableDictionaryRef> dict(rawDict);
    EXPECT_EQ(CFDictionaryGetCount(dict.get()), 0);
    CFRef<CFStringRef> key = Str("key");
    CFRef<CFNumberRef> value = Num(1);
    CFDictionarySetValue(dict.get(), key.get(), value.get());
    EXPECT_EQ(CFGetRetainCount(value.get()), 2);
    // Lookup goes through the key callbacks: an equal key that is another object finds the entry.
    CFRef<CFStringRef> sameKey = Str("key");
    EXPECT_EQ(CFDictionaryGetValue(dict.get(), sameKey.get()), value.get());
}

TEST(MoreCFQCollections, KeyAndValueArraysOfADictionary)
{
    CFRef<CFMutableDictionaryRef> empty = MutableDict();
    CFArrayRef rawKeys = nullptr;
    CFArrayRef rawValues = nullptr;
    ASSERT_EQ(CFQArrayCreateWithDictionaryKeys(empty.get(), &rawKeys), noErr);
    ASSERT_EQ(CFQArrayCreateWithDictionaryValues(empty.get(), &rawValues), noErr);
    CFRef<CFArrayRef> emptyKeys(rawKeys);
    CFRef<CFArrayRef> emptyValues(rawValues);
    ASSERT_NE(emptyKeys.get(), nullptr);
    ASSERT_NE(emptyValues.get(), nullptr);
    EXPECT_EQ(CFArrayGetCount(emptyKeys.get()), 0);
    EXPECT_EQ(CFArrayGetCount(emptyValues.get()), 0);

    CFRef<CFMutableDictionaryRef> dict = MutableDict();
    const char *names[] = {"one", "two", "three"};
    for (long i = 0; i < 3; i++) {
        CFDictionarySetValue(dict.get(), Str(names[i]).get(), Num(i + 1).get());
    }
    rawKeys = nullptr;
    rawValues = nullptr;
    ASSERT_EQ(CFQArrayCreateWithDictionaryKeys(dict.get(), &rawKeys), noErr);
    ASSERT_EQ(CFQArrayCreateWithDictionaryValues(dict.get(), &rawValues), noErr);
    CFRef<CFArrayRef> keys(rawKeys);
    CFRef<CFArrayRef> values(rawValues);
    ASSERT_EQ(CFArrayGetCount(keys.get()), 3);
    ASSERT_EQ(CFArrayGetCount(values.get()), 3);
    // Keys and values come out in matching order.
    for (CFIndex i = 0; i < 3; i++) {
        const void *key = CFArrayGetValueAtIndex(keys.get(), i);
        EXPECT_EQ(CFDictionaryGetValue(dict.get(), key), CFArrayGetValueAtIndex(values.get(), i));
    }

    // And back: the two arrays rebuild an equal dictionary.
    CFDictionaryRef rawRebuilt = nullptr;
    ASSERT_EQ(CFQDictionaryCreateWithArrayOfKeysAndValues(keys.get(), values.get(), &rawRebuilt), noErr);
    CFRef<CFDictionaryRef> rebuilt(rawRebuilt);
    EXPECT_TRUE(CFEqual(rebuilt.get(), dict.get()));

    // The temporary arrays are gone: the arrays and dictionaries made here are the only extra
    // holders of the values.
    const void *firstValue = CFArrayGetValueAtIndex(values.get(), 0);
    EXPECT_EQ(CFGetRetainCount(firstValue), 3);  // dict, values, rebuilt
}

TEST(MoreCFQCollections, DictionaryFromArraysPairsByIndex)
{
    CFRef<CFStringRef> a = Str("a"), b = Str("b");
    CFRef<CFNumberRef> one = Num(1), two = Num(2);
    CFRef<CFArrayRef> keys = Array({a.get(), b.get()});
    CFRef<CFArrayRef> values = Array({one.get(), two.get()});

    CFDictionaryRef raw = nullptr;
    ASSERT_EQ(CFQDictionaryCreateWithArrayOfKeysAndValues(keys.get(), values.get(), &raw), noErr);
    CFRef<CFDictionaryRef> dict(raw);
    ASSERT_EQ(CFDictionaryGetCount(dict.get()), 2);
    EXPECT_EQ(CFDictionaryGetValue(dict.get(), a.get()), one.get());
    EXPECT_EQ(CFDictionaryGetValue(dict.get(), b.get()), two.get());

    CFRef<CFArrayRef> none = Array({});
    raw = nullptr;
    ASSERT_EQ(CFQDictionaryCreateWithArrayOfKeysAndValues(none.get(), none.get(), &raw), noErr);
    CFRef<CFDictionaryRef> empty(raw);
    ASSERT_NE(empty.get(), nullptr);
    EXPECT_EQ(CFDictionaryGetCount(empty.get()), 0);
}

TEST(MoreCFQCollections, SetNumberStoresALongAndDropsItsReference)
{
    CFRef<CFMutableDictionaryRef> dict = MutableDict();
    CFRef<CFStringRef> key = Str("n");
    const long boundaries[] = {0, -1, LONG_MIN, LONG_MAX};
    for (long value : boundaries) {
        ASSERT_EQ(CFQDictionarySetNumber(dict.get(), key.get(), value), noErr);
        CFTypeRef number = CFDictionaryGetValue(dict.get(), key.get());
        ASSERT_NE(number, nullptr);
        ASSERT_EQ(CFGetTypeID(number), CFNumberGetTypeID());
        long stored = 0;
        EXPECT_TRUE(CFNumberGetValue(static_cast<CFNumberRef>(number), kCFNumberLongType, &stored));
        EXPECT_EQ(stored, value);
        // Only the dictionary holds it: the routine's own reference is gone.
        EXPECT_EQ(CFGetRetainCount(number), 1);
    }
    EXPECT_EQ(CFDictionaryGetCount(dict.get()), 1);
}

namespace {

struct ShallowCall {
    CFTypeRef key;
    long keyAsLong;
    CFIndex keyRetainCount;
    CFTypeRef value;
};

void RecordShallow(const void *key, const void *value, void *context)
{
    auto *calls = static_cast<std::vector<ShallowCall> *>(context);
    calls->push_back({key, LongValue(key), CFGetRetainCount(key), value});
}

void RecordDeep(CFTypeRef node, void *context)
{
    static_cast<std::vector<CFTypeRef> *>(context)->push_back(node);
}

}  // namespace

TEST(MoreCFQWalks, ShallowWalkOverArrayPassesIndicesAsNumbers)
{
    CFRef<CFStringRef> x = Str("x"), y = Str("y"), z = Str("z");
    CFRef<CFArrayRef> array = Array({x.get(), y.get(), z.get()});

    std::vector<ShallowCall> calls;
    CFQPropertyListShallowApplyFunction(array.get(), RecordShallow, &calls);
    ASSERT_EQ(calls.size(), 3u);
    CFTypeRef expected[] = {x.get(), y.get(), z.get()};
    for (long i = 0; i < 3; i++) {
        EXPECT_EQ(calls[i].keyAsLong, i);
        EXPECT_EQ(calls[i].value, expected[i]);
        // The walk made the key for this call and holds the only reference.
        EXPECT_EQ(calls[i].keyRetainCount, 1);
    }

    CFRef<CFArrayRef> empty = Array({});
    calls.clear();
    CFQPropertyListShallowApplyFunction(empty.get(), RecordShallow, &calls);
    EXPECT_TRUE(calls.empty());
}

TEST(MoreCFQWalks, ShallowWalkOverDictionaryPassesEachEntryOnce)
{
    CFRef<CFMutableDictionaryRef> dict = MutableDict();
    CFRef<CFStringRef> k1 = Str("k1"), k2 = Str("k2");
    CFRef<CFNumberRef> v1 = Num(10), v2 = Num(20);
    CFDictionarySetValue(dict.get(), k1.get(), v1.get());
    CFDictionarySetValue(dict.get(), k2.get(), v2.get());

    std::vector<ShallowCall> calls;
    CFQPropertyListShallowApplyFunction(dict.get(), RecordShallow, &calls);
    ASSERT_EQ(calls.size(), 2u);
    int seen = 0;
    for (const ShallowCall &call : calls) {
        EXPECT_EQ(CFDictionaryGetValue(dict.get(), call.key), call.value);
        if (CFEqual(call.key, k1.get())) seen |= 1;
        if (CFEqual(call.key, k2.get())) seen |= 2;
    }
    EXPECT_EQ(seen, 3);
}

TEST(MoreCFQWalks, DeepWalkVisitsNodesPreOrder)
{
    CFRef<CFStringRef> s1 = Str("first"), s2 = Str("second");
    CFRef<CFArrayRef> list = Array({s1.get(), s2.get()});
    CFRef<CFStringRef> listKey = Str("list");
    CFRef<CFDictionaryRef> dict = Dict1(listKey.get(), list.get());

    std::vector<CFTypeRef> nodes;
    CFQPropertyListDeepApplyFunction(dict.get(), RecordDeep, &nodes);
    ASSERT_EQ(nodes.size(), 4u);
    EXPECT_EQ(nodes[0], dict.get());
    EXPECT_EQ(nodes[1], list.get());
    EXPECT_EQ(nodes[2], s1.get());
    EXPECT_EQ(nodes[3], s2.get());

    // Nested arrays: element order by index at every level, keys never visited.
    CFRef<CFNumberRef> n0 = Num(0), n1 = Num(1), n2 = Num(2);
    CFRef<CFArrayRef> inner = Array({n1.get(), n2.get()});
    CFRef<CFArrayRef> outer = Array({n0.get(), inner.get(), dict.get()});
    nodes.clear();
    CFQPropertyListDeepApplyFunction(outer.get(), RecordDeep, &nodes);
    std::vector<CFTypeRef> want = {outer.get(), n0.get(), inner.get(), n1.get(), n2.get(),
                                   dict.get(),  list.get(), s1.get(),  s2.get()};
    EXPECT_EQ(nodes, want);

    // A leaf is visited by itself.
    nodes.clear();
    CFQPropertyListDeepApplyFunction(s1.get(), RecordDeep, &nodes);
    ASSERT_EQ(nodes.size(), 1u);
    EXPECT_EQ(nodes[0], s1.get());

    EXPECT_FALSE(CFQPropertyListIsLeaf(dict.get()));
    EXPECT_FALSE(CFQPropertyListIsLeaf(list.get()));
    EXPECT_TRUE(CFQPropertyListIsLeaf(s1.get()));
    EXPECT_TRUE(CFQPropertyListIsLeaf(n0.get()));
    EXPECT_TRUE(CFQPropertyListIsLeaf(kCFBooleanTrue));
}

TEST(MoreCFQMerge, SourceEntriesWinAndOthersStay)
{
    CFRef<CFStringRef> a = Str("a"), b = Str("b"), c = Str("c");
    CFRef<CFMutableDictionaryRef> dst = MutableDict();
    CFDictionarySetValue(dst.get(), b.get(), Num(9).get());
    CFDictionarySetValue(dst.get(), c.get(), Num(3).get());
    CFRef<CFMutableDictionaryRef> src = MutableDict();
    CFDictionarySetValue(src.get(), a.get(), Num(1).get());
    CFDictionarySetValue(src.get(), b.get(), Num(2).get());

    EXPECT_EQ(CFQDictionaryMerge(dst.get(), src.get()), noErr);
    EXPECT_EQ(CFDictionaryGetCount(dst.get()), 3);
    EXPECT_EQ(LongValue(CFDictionaryGetValue(dst.get(), a.get())), 1);
    EXPECT_EQ(LongValue(CFDictionaryGetValue(dst.get(), b.get())), 2);
    EXPECT_EQ(LongValue(CFDictionaryGetValue(dst.get(), c.get())), 3);
    // The same objects, not copies; the source is unchanged.
    EXPECT_EQ(CFDictionaryGetValue(dst.get(), a.get()), CFDictionaryGetValue(src.get(), a.get()));
    EXPECT_EQ(CFDictionaryGetCount(src.get()), 2);

    // One level deep: a nested dictionary replaces the old one outright.
    CFRef<CFStringRef> nested = Str("nested");
    CFDictionarySetValue(dst.get(), nested.get(), Dict1(a.get(), a.get()).get());
    CFRef<CFDictionaryRef> replacement = Dict1(b.get(), b.get());
    CFRef<CFDictionaryRef> src2 = Dict1(nested.get(), replacement.get());
    EXPECT_EQ(CFQDictionaryMerge(dst.get(), src2.get()), noErr);
    EXPECT_EQ(CFDictionaryGetValue(dst.get(), nested.get()), replacement.get());

    // An empty source changes nothing.
    CFRef<CFMutableDictionaryRef> none = MutableDict();
    EXPECT_EQ(CFQDictionaryMerge(dst.get(), none.get()), noErr);
    EXPECT_EQ(CFDictionaryGetCount(dst.get()), 4);
}

TEST(MoreCFQString, CopiesExactlyTheConvertedBytesAndOneNul)
{
    char *cStr = nullptr;
    CFRef<CFStringRef> hello = Str("hello");
    ASSERT_EQ(CFQStringCopyCString(hello.get(), kCFStringEncodingUTF8, &cStr), noErr);
    ASSERT_NE(cStr, nullptr);
    EXPECT_STREQ(cStr, "hello");
    free(cStr);

    // Empty string: a one-byte buffer holding NUL.
    cStr = nullptr;
    CFRef<CFStringRef> empty = Str("");
    ASSERT_EQ(CFQStringCopyCString(empty.get(), kCFStringEncodingUTF8, &cStr), noErr);
    ASSERT_NE(cStr, nullptr);
    EXPECT_EQ(cStr[0], '\0');
    free(cStr);

    // A NUL inside the string is copied as it is, followed by the terminator.
    const UniChar withNul[] = {'a', 0, 'b'};
    CFRef<CFStringRef> embedded(CFStringCreateWithCharacters(kCFAllocatorDefault, withNul, 3));
    cStr = nullptr;
    ASSERT_EQ(CFQStringCopyCString(embedded.get(), kCFStringEncodingUTF8, &cStr), noErr);
    ASSERT_NE(cStr, nullptr);
    EXPECT_EQ(std::memcmp(cStr, "a\0b\0", 4), 0);
    free(cStr);

    // The encoding decides the bytes: e-acute is one byte in Latin 1, two in UTF-8.
    CFRef<CFStringRef> accented = Str("caf\xC3\xA9");
    cStr = nullptr;
    ASSERT_EQ(CFQStringCopyCString(accented.get(), kCFStringEncodingISOLatin1, &cStr), noErr);
    EXPECT_EQ(std::memcmp(cStr, "caf\xE9\0", 5), 0);
    free(cStr);
    cStr = nullptr;
    ASSERT_EQ(CFQStringCopyCString(accented.get(), kCFStringEncodingUTF8, &cStr), noErr);
    EXPECT_STREQ(cStr, "caf\xC3\xA9");
    free(cStr);
}

TEST(MoreCFQString, UnrepresentableCharacterGivesUnexpectedData)
{
    CFRef<CFStringRef> accented = Str("caf\xC3\xA9");
    char *cStr = nullptr;
    EXPECT_EQ(CFQStringCopyCString(accented.get(), kCFStringEncodingASCII, &cStr),
              kCFQUnexpectedDataErr);
    EXPECT_EQ(cStr, nullptr);

    // Only the first character is unrepresentable: nothing is converted at all.
    CFRef<CFStringRef> leading = Str("\xE2\x82\xAC" "100");  // euro sign
    EXPECT_EQ(CFQStringCopyCString(leading.get(), kCFStringEncodingISOLatin1, &cStr),
              kCFQUnexpectedDataErr);
    EXPECT_EQ(cStr, nullptr);
}

TEST(MoreCFQPropertyListFile, ReadsErrorsAndMutability)
{
    TempDir dir;
    ASSERT_FALSE(dir.path().empty());

    // A well-formed file, immutable.
    fs::path good = dir.path() / "good.plist";
    WriteFile(good, kDictionaryPlist);
    CFRef<CFURLRef> goodURL = FileURL(good);
    CFPropertyListRef raw = nullptr;
    ASSERT_EQ(CFQPropertyListCreateFromXMLCFURL(goodURL.get(), kCFPropertyListImmutable, &raw), noErr);
    CFRef<CFPropertyListRef> plist(raw);
    ASSERT_EQ(CFGetTypeID(plist.get()), CFDictionaryGetTypeID());
    CFDictionaryRef dict = static_cast<CFDictionaryRef>(plist.get());
    EXPECT_TRUE(IsString(CFDictionaryGetValue(dict, Str("Name").get()), "alarm"));
    EXPECT_EQ(CFGetRetainCount(plist.get()), 1);

    // A missing file: the URL access error comes back as it is.
    CFRef<CFURLRef> missingURL = FileURL(dir.path() / "missing.plist");
    raw = nullptr;
    EXPECT_EQ(CFQPropertyListCreateFromXMLCFURL(missingURL.get(), kCFPropertyListImmutable, &raw),
              kCFURLResourceNotFoundError);
    EXPECT_EQ(raw, nullptr);

    // A folder has no bytes to read.
    CFRef<CFURLRef> folderURL = FileURL(dir.path());
    EXPECT_EQ(CFQPropertyListCreateFromXMLCFURL(folderURL.get(), kCFPropertyListImmutable, &raw),
              kCFURLImproperArgumentsError);
    EXPECT_EQ(raw, nullptr);

    // Malformed XML and an empty file do not parse.
    fs::path bad = dir.path() / "bad.plist";
    WriteFile(bad, "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>a</key></plist>");
    CFRef<CFURLRef> badURL = FileURL(bad);
    EXPECT_EQ(CFQPropertyListCreateFromXMLCFURL(badURL.get(), kCFPropertyListImmutable, &raw),
              coreFoundationUnknownErr);
    EXPECT_EQ(raw, nullptr);
    fs::path empty = dir.path() / "empty.plist";
    WriteFile(empty, "");
    CFRef<CFURLRef> emptyURL = FileURL(empty);
    EXPECT_EQ(CFQPropertyListCreateFromXMLCFURL(emptyURL.get(), kCFPropertyListImmutable, &raw),
              coreFoundationUnknownErr);
    EXPECT_EQ(raw, nullptr);

    // Mutable containers: the dictionary and the array inside it can be changed.
    raw = nullptr;
    ASSERT_EQ(CFQPropertyListCreateFromXMLCFURL(goodURL.get(), kCFPropertyListMutableContainers, &raw),
              noErr);
    CFRef<CFPropertyListRef> mutablePlist(raw);
    CFMutableDictionaryRef mutableDict =
        const_cast<CFMutableDictionaryRef>(static_cast<CFDictionaryRef>(mutablePlist.get()));
    CFDictionarySetValue(mutableDict, Str("Added").get(), kCFBooleanTrue);
    EXPECT_EQ(CFDictionaryGetCount(mutableDict), 3);
    CFMutableArrayRef list = const_cast<CFMutableArrayRef>(
        static_cast<CFArrayRef>(CFDictionaryGetValue(mutableDict, Str("List").get())));
    CFArrayAppendValue(list, kCFBooleanFalse);
    EXPECT_EQ(CFArrayGetCount(list), 2);

    // The FSRef form reads the same file and reports the same errors.
    FSRef ref;
    std::string goodPath = good.string();
    ASSERT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8 *>(goodPath.c_str()), &ref, nullptr), noErr);
    raw = nullptr;
    ASSERT_EQ(CFQPropertyListCreateFromXMLFSRef(&ref, kCFPropertyListImmutable, &raw), noErr);
    CFRef<CFPropertyListRef> viaRef(raw);
    EXPECT_TRUE(CFEqual(viaRef.get(), plist.get()));

    std::string badPath = bad.string();
    ASSERT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8 *>(badPath.c_str()), &ref, nullptr), noErr);
    raw = nullptr;
    EXPECT_EQ(CFQPropertyListCreateFromXMLFSRef(&ref, kCFPropertyListImmutable, &raw),
              coreFoundationUnknownErr);
    EXPECT_EQ(raw, nullptr);
}

TEST(MoreCFQPropertyListFileDeathTest, ImmutableOptionGivesImmutableContainers)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    TempDir dir;
    fs::path good = dir.path() / "good.plist";
    WriteFile(good, kDictionaryPlist);
    CFRef<CFURLRef> goodURL = FileURL(good);
    CFPropertyListRef raw = nullptr;
    ASSERT_EQ(CFQPropertyListCreateFromXMLCFURL(goodURL.get(), kCFPropertyListImmutable, &raw), noErr);
    CFRef<CFPropertyListRef> plist(raw);
    CFMutableDictionaryRef notMutable =
        const_cast<CFMutableDictionaryRef>(static_cast<CFDictionaryRef>(plist.get()));
    // Changing an immutable collection is a caller error of the Core Foundation layer.
    EXPECT_DEATH(CFDictionarySetValue(notMutable, Str("Added").get(), kCFBooleanTrue),
                 "failed assertion");
}

// ---- Framework bundles ----

namespace {

const char kInfoPlist[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<plist version=\"1.0\">\n"
    "<dict>\n"
    "  <key>CFBundleExecutable</key><string>Test</string>\n"
    "  <key>CFBundleIdentifier</key><string>com.example.test</string>\n"
    "</dict>\n"
    "</plist>\n";

// Lays out <root>/usr/local/lib/<name>/Contents with an Info.plist and, when `library` is given,
// that file as the executable.
fs::path MakeFramework(const fs::path &root, const char *name, const fs::path *library)
{
    fs::path contents = root / "usr/local/lib" / name / "Contents";
    WriteFile(contents / "Info.plist", kInfoPlist);
    fs::create_directories(contents / "Linux");
    if (library != nullptr) fs::copy_file(*library, contents / "Linux/Test");
    return contents;
}

}  // namespace

TEST(MoreCFQBundle, LoadsAFrameworkFromTheFrameworksFolder)
{
    TempDir root;
    ASSERT_FALSE(root.path().empty());
    fs::path library = MORECFQ_TEST_FRAMEWORK_LIBRARY;
    MakeFramework(root.path(), "Test.framework", &library);
    ScopedEnv env("WFS_FOLDER_ROOT", root.path().string());

    CFBundleRef raw = nullptr;
    ASSERT_EQ(CFQBundleCreateFromFrameworkName(Str("Test.framework").get(), &raw), noErr);
    CFRef<CFBundleRef> bundle(raw);
    ASSERT_NE(bundle.get(), nullptr);
    EXPECT_TRUE(CFBundleIsExecutableLoaded(bundle.get()));
    EXPECT_TRUE(IsString(CFBundleGetIdentifier(bundle.get()), "com.example.test"));
    auto answer = reinterpret_cast<int (*)(void)>(
        CFBundleGetFunctionPointerForName(bundle.get(), Str("MoreCFQTestFrameworkAnswer").get()));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    EXPECT_EQ(CFGetRetainCount(bundle.get()), 1);

    // The name is used verbatim: without its extension it names nothing.
    raw = nullptr;
    EXPECT_EQ(CFQBundleCreateFromFrameworkName(Str("Test").get(), &raw), coreFoundationUnknownErr);
    EXPECT_EQ(raw, nullptr);
    EXPECT_EQ(CFQBundleCreateFromFrameworkName(Str("Missing.framework").get(), &raw),
              coreFoundationUnknownErr);
    EXPECT_EQ(raw, nullptr);
}

TEST(MoreCFQBundle, FailuresLeaveNoBundle)
{
    TempDir root;
    ASSERT_FALSE(root.path().empty());

    // A framework without its executable, and one whose executable is not a library: the bundle
    // exists but cannot be loaded, and is released.
    MakeFramework(root.path(), "Empty.framework", nullptr);
    fs::path notALibrary = root.path() / "not-a-library";
    WriteFile(notALibrary, "this is not an ELF file\n");
    MakeFramework(root.path(), "Broken.framework", &notALibrary);
    {
        ScopedEnv env("WFS_FOLDER_ROOT", root.path().string());
        CFBundleRef raw = nullptr;
        EXPECT_EQ(CFQBundleCreateFromFrameworkName(Str("Empty.framework").get(), &raw),
                  coreFoundationUnknownErr);
        EXPECT_EQ(raw, nullptr);
        EXPECT_EQ(CFQBundleCreateFromFrameworkName(Str("Broken.framework").get(), &raw),
                  coreFoundationUnknownErr);
        EXPECT_EQ(raw, nullptr);
    }

    // The frameworks folder is created when missing.
    TempDir fresh;
    {
        ScopedEnv env("WFS_FOLDER_ROOT", fresh.path().string());
        CFBundleRef raw = nullptr;
        EXPECT_EQ(CFQBundleCreateFromFrameworkName(Str("Test.framework").get(), &raw),
                  coreFoundationUnknownErr);
        EXPECT_EQ(raw, nullptr);
        EXPECT_TRUE(fs::is_directory(fresh.path() / "usr/local/lib"));
    }

    // A folder lookup that fails (the root is a plain file, so nothing can be created below it)
    // passes the Folder Manager's error through unchanged.
    fs::path fileRoot = root.path() / "plain-file";
    WriteFile(fileRoot, "x");
    {
        ScopedEnv env("WFS_FOLDER_ROOT", fileRoot.string());
        FSRef ref;
        OSErr lookupErr = FSFindFolder(kOnAppropriateDisk, kFrameworksFolderType, kCreateFolder, &ref);
        ASSERT_NE(lookupErr, noErr);
        CFBundleRef raw = nullptr;
        EXPECT_EQ(CFQBundleCreateFromFrameworkName(Str("Test.framework").get(), &raw), lookupErr);
        EXPECT_EQ(raw, nullptr);
    }
}

// ---- Caller errors ----

TEST(MoreCFQDeathTest, AssertionReportsNameTheExpression)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const char *file = "MoreCFQ\\.cpp";

    CFRef<CFStringRef> s = Str("x");
    CFMutableArrayRef notEmpty = reinterpret_cast<CFMutableArrayRef>(const_cast<void *>(
        static_cast<const void *>(s.get())));
    EXPECT_DEATH(CFQArrayCreateMutable(&notEmpty), AssertionPattern(file, "*result == NULL"));
    EXPECT_DEATH(CFQArrayCreateMutable(nullptr), AssertionPattern(file, "result != NULL"));
    EXPECT_DEATH(CFQDictionaryCreateMutable(nullptr), AssertionPattern(file, "result != NULL"));

    CFArrayRef arrayOut = nullptr;
    EXPECT_DEATH(CFQArrayCreateWithDictionaryKeys(nullptr, &arrayOut),
                 AssertionPattern(file, "dict != NULL"));

    CFRef<CFArrayRef> two = Array({s.get(), s.get()});
    CFRef<CFArrayRef> one = Array({s.get()});
    CFDictionaryRef dictOut = nullptr;
    EXPECT_DEATH(CFQDictionaryCreateWithArrayOfKeysAndValues(two.get(), one.get(), &dictOut),
                 AssertionPattern(file, "CFArrayGetCount(keys) == CFArrayGetCount(values)"));

    char *cStr = const_cast<char *>("not empty");
    EXPECT_DEATH(CFQStringCopyCString(s.get(), kCFStringEncodingUTF8, &cStr),
                 AssertionPattern(file, "*cStrPtr == NULL"));

    CFBundleRef bundle = reinterpret_cast<CFBundleRef>(const_cast<void *>(
        static_cast<const void *>(s.get())));
    EXPECT_DEATH(CFQBundleCreateFromFrameworkName(s.get(), &bundle),
                 AssertionPattern(file, "*bundlePtr == NULL"));

    // The shallow walk accepts only containers.
    std::vector<ShallowCall> calls;
    EXPECT_DEATH(CFQPropertyListShallowApplyFunction(s.get(), RecordShallow, &calls),
                 AssertionPattern(file, "false"));
    EXPECT_DEATH(CFQPropertyListDeepApplyFunction(s.get(), nullptr, nullptr),
                 AssertionPattern(file, "func != NULL"));

    // Merging into something that is not a dictionary is caught by the merge's applier.
    CFRef<CFDictionaryRef> src = Dict1(s.get(), s.get());
    EXPECT_DEATH(CFQDictionaryMerge(reinterpret_cast<CFMutableDictionaryRef>(
                                        const_cast<void *>(static_cast<const void *>(one.get()))),
                                    src.get()),
                 AssertionPattern(file, "CFGetTypeID(dst) == CFDictionaryGetTypeID()"));
}
