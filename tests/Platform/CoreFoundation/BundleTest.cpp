// Bundles built on disk by the tests: Info.plist, executables, resources, code loading, and the
// test program's own main bundle.
#include "URLTestSupport.h"

#include <CoreFoundation/CoreFoundation.h>

#include <unistd.h>

using wfs::CFRef;
using namespace wfs::test;

namespace {

const char kInfoPlist[] = R"(<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0">
<dict>
    <key>CFBundleIdentifier</key>
    <string>org.example.wfs.testbundle</string>
    <key>CFBundleExecutable</key>
    <string>TestPlugin</string>
    <key>CFBundleName</key>
    <string>Test Bundle</string>
    <key>CFBundleVersion</key>
    <string>1.2</string>
</dict>
</plist>
)";

void CopyFile(const std::string &from, const std::string &to, std::filesystem::perms perms) {
    std::filesystem::create_directories(std::filesystem::path(to).parent_path());
    std::filesystem::copy_file(from, to, std::filesystem::copy_options::overwrite_existing);
    std::filesystem::permissions(to, perms);
}

// <dir>/Test.plugin with the shared library as its executable, an auxiliary executable and resources.
std::string MakePackagedBundle(const TempDir &dir) {
    std::string bundle = dir / "Test.plugin";
    WriteFile(bundle + "/Contents/Info.plist", kInfoPlist);
    CopyFile(WFS_BUNDLE_TEST_PLUGIN, bundle + "/Contents/Linux/TestPlugin", std::filesystem::perms(0755));
    WriteFile(bundle + "/Contents/Linux/HelperTemplate", "#!/bin/sh\nexit 0\n");
    WriteFile(bundle + "/Contents/Resources/Icon.png", "png");
    WriteFile(bundle + "/Contents/Resources/Text", "plain");
    WriteFile(bundle + "/Contents/Resources/Images/Other.tiff", "tiff");
    WriteFile(bundle + "/Contents/Resources/en.lproj/Localizable.strings", "strings");
    return bundle;
}

CFRef<CFBundleRef> BundleAt(const std::string &path) {
    return CFRef<CFBundleRef>(CFBundleCreate(nullptr, PathURL(path, true).get()));
}

std::optional<std::string> ResourcePath(CFBundleRef bundle, const char *name, const char *type,
                                        const char *subDir) {
    CFRef<CFStringRef> n = name ? Str(name) : CFRef<CFStringRef>();
    CFRef<CFStringRef> t = type ? Str(type) : CFRef<CFStringRef>();
    CFRef<CFStringRef> s = subDir ? Str(subDir) : CFRef<CFStringRef>();
    CFRef<CFURLRef> url(CFBundleCopyResourceURL(bundle, n.get(), t.get(), s.get()));
    return PathOf(url.get());
}

std::optional<std::string> AuxiliaryPath(CFBundleRef bundle, const char *name) {
    CFRef<CFURLRef> url(CFBundleCopyAuxiliaryExecutableURL(bundle, Str(name).get()));
    return PathOf(url.get());
}

}  // namespace

TEST(Bundle, CreateNeedsAnExistingFolder) {
    TempDir dir;
    WriteFile(dir / "file", "x");
    EXPECT_FALSE(BundleAt(dir / "missing"));
    EXPECT_FALSE(BundleAt(dir / "file"));
    CFRef<CFBundleRef> bundle = BundleAt(dir.path());
    ASSERT_TRUE(bundle);
    EXPECT_EQ(CFGetTypeID(bundle.get()), CFBundleGetTypeID());
    CFRef<CFURLRef> url(CFBundleCopyBundleURL(bundle.get()));
    EXPECT_TRUE(CFURLHasDirectoryPath(url.get()));
    EXPECT_EQ(PathOf(url.get()), dir.path());

    // Two bundle objects for one folder are distinct and independent.
    CFRef<CFBundleRef> other = BundleAt(dir.path());
    EXPECT_NE(other.get(), bundle.get());
}

TEST(Bundle, InfoDictionaryIsReadOnceAndAnswersKeys) {
    TempDir dir;
    std::string path = MakePackagedBundle(dir);
    CFRef<CFBundleRef> bundle = BundleAt(path);
    ASSERT_TRUE(bundle);

    CFDictionaryRef info = CFBundleGetInfoDictionary(bundle.get());
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(CFDictionaryGetCount(info), 4);
    EXPECT_EQ(Utf8(CFBundleGetIdentifier(bundle.get())), "org.example.wfs.testbundle");
    EXPECT_EQ(Utf8(static_cast<CFStringRef>(CFBundleGetValueForInfoDictionaryKey(bundle.get(), kCFBundleNameKey))),
              "Test Bundle");
    EXPECT_EQ(Utf8(static_cast<CFStringRef>(CFBundleGetValueForInfoDictionaryKey(bundle.get(), kCFBundleVersionKey))),
              "1.2");
    EXPECT_EQ(CFBundleGetValueForInfoDictionaryKey(bundle.get(), kCFBundleInfoDictionaryVersionKey), nullptr);

    // Cached: a changed file is not read again by the same bundle object, but a new one sees it.
    WriteFile(path + "/Contents/Info.plist", "garbage");
    EXPECT_EQ(CFBundleGetInfoDictionary(bundle.get()), info);
    CFRef<CFBundleRef> fresh = BundleAt(path);
    CFDictionaryRef broken = CFBundleGetInfoDictionary(fresh.get());
    ASSERT_NE(broken, nullptr);
    EXPECT_EQ(CFDictionaryGetCount(broken), 0);
    EXPECT_EQ(CFBundleGetIdentifier(fresh.get()), nullptr);
}

TEST(Bundle, InfoDictionaryIsEmptyWhenAbsentOrNotADictionary) {
    TempDir dir;
    std::filesystem::create_directories(dir / "None.plugin/Contents");
    CFRef<CFBundleRef> none = BundleAt(dir / "None.plugin");
    ASSERT_NE(CFBundleGetInfoDictionary(none.get()), nullptr);
    EXPECT_EQ(CFDictionaryGetCount(CFBundleGetInfoDictionary(none.get())), 0);
    EXPECT_EQ(CFBundleCopyExecutableURL(none.get()), nullptr);
    EXPECT_FALSE(CFBundleLoadExecutable(none.get()));

    WriteFile(dir / "Array.plugin/Contents/Info.plist",
              "<?xml version=\"1.0\"?><plist version=\"1.0\"><array><string>x</string></array></plist>");
    CFRef<CFBundleRef> array = BundleAt(dir / "Array.plugin");
    EXPECT_EQ(CFDictionaryGetCount(CFBundleGetInfoDictionary(array.get())), 0);

    // An identifier that is not a string is no identifier.
    WriteFile(dir / "Number.plugin/Contents/Info.plist",
              "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
              "<integer>7</integer></dict></plist>");
    CFRef<CFBundleRef> number = BundleAt(dir / "Number.plugin");
    EXPECT_NE(CFBundleGetValueForInfoDictionaryKey(number.get(), kCFBundleIdentifierKey), nullptr);
    EXPECT_EQ(CFBundleGetIdentifier(number.get()), nullptr);
}

TEST(Bundle, ExecutablesAndResourcesOfAPackagedBundle) {
    TempDir dir;
    std::string path = MakePackagedBundle(dir);
    CFRef<CFBundleRef> bundle = BundleAt(path);

    std::filesystem::create_directories(path + "/Contents/Linux/Folder");
    const std::string code = path + "/Contents/Linux/", resources = path + "/Contents/Resources/";
    const struct {
        const char *name;
        std::optional<std::string> path;
    } auxiliaries[] = {{"HelperTemplate", code + "HelperTemplate"}, {"Missing", std::nullopt},
                       {"../Info.plist", std::nullopt},           {"", std::nullopt},
                       {"Folder", std::nullopt}};
    for (const auto &c : auxiliaries) EXPECT_EQ(AuxiliaryPath(bundle.get(), c.name), c.path) << c.name;

    CFRef<CFURLRef> executable(CFBundleCopyExecutableURL(bundle.get()));
    EXPECT_EQ(PathOf(executable.get()), code + "TestPlugin");
    CFRef<CFURLRef> resourcesURL(CFBundleCopyResourcesDirectoryURL(bundle.get()));
    EXPECT_EQ(PathOf(resourcesURL.get()), path + "/Contents/Resources");
    const struct {
        const char *name, *type, *subDir;
        std::optional<std::string> path;
    } lookups[] = {
        {"Icon", "png", nullptr, resources + "Icon.png"},
        {"Icon", ".png", nullptr, resources + "Icon.png"},
        {"Text", nullptr, nullptr, resources + "Text"},
        {"Text", "", nullptr, resources + "Text"},
        {"Other", "tiff", "Images", resources + "Images/Other.tiff"},
        {"Other", "tiff", nullptr, std::nullopt},
        {"Localizable", "strings", nullptr, resources + "en.lproj/Localizable.strings"},
        {"Icon", "jpg", nullptr, std::nullopt},
        {nullptr, "png", nullptr, std::nullopt},
    };
    for (const auto &c : lookups) {
        EXPECT_EQ(ResourcePath(bundle.get(), c.name, c.type, c.subDir), c.path)
            << (c.name ? c.name : "(null)") << "." << (c.type ? c.type : "(null)");
    }
}

TEST(Bundle, FlatBundleKeepsEverythingInItsFolder) {
    TempDir dir;
    WriteFile(dir / "Info.plist", kInfoPlist);
    CopyFile(WFS_BUNDLE_TEST_PLUGIN, dir / "TestPlugin", std::filesystem::perms(0755));
    WriteFile(dir / "Picture.png", "png");
    CFRef<CFBundleRef> bundle = BundleAt(dir.path());
    EXPECT_EQ(Utf8(CFBundleGetIdentifier(bundle.get())), "org.example.wfs.testbundle");
    EXPECT_EQ(AuxiliaryPath(bundle.get(), "TestPlugin"), dir / "TestPlugin");
    EXPECT_EQ(ResourcePath(bundle.get(), "Picture", "png", nullptr), dir / "Picture.png");
    EXPECT_TRUE(CFBundleLoadExecutable(bundle.get()));
    CFBundleUnloadExecutable(bundle.get());
}

TEST(Bundle, LoadsFindsAndUnloadsItsCode) {
    TempDir dir;
    std::string path = MakePackagedBundle(dir);
    CFRef<CFBundleRef> bundle = BundleAt(path);

    EXPECT_FALSE(CFBundleIsExecutableLoaded(bundle.get()));
    ASSERT_TRUE(CFBundleLoadExecutable(bundle.get()));
    EXPECT_TRUE(CFBundleIsExecutableLoaded(bundle.get()));
    EXPECT_TRUE(CFBundleLoadExecutable(bundle.get()));  // already loaded

    using AnswerFunction = int (*)();
    auto answer = reinterpret_cast<AnswerFunction>(
        CFBundleGetFunctionPointerForName(bundle.get(), CFSTR("WFSBundleTestAnswer")));
    ASSERT_NE(answer, nullptr);
    EXPECT_EQ(answer(), 42);
    EXPECT_EQ(CFBundleGetFunctionPointerForName(bundle.get(), CFSTR("NoSuchFunction")), nullptr);

    CFBundleUnloadExecutable(bundle.get());
    EXPECT_FALSE(CFBundleIsExecutableLoaded(bundle.get()));

    // Asking for a function loads the code again.
    EXPECT_NE(CFBundleGetFunctionPointerForName(bundle.get(), CFSTR("WFSBundleTestAnswer")), nullptr);
    EXPECT_TRUE(CFBundleIsExecutableLoaded(bundle.get()));

    // A file that is not a library does not load. (A new bundle: the library above is still
    // mapped, and rewriting a mapped file would pull it from under the loader.)
    WriteFile(dir / "Broken.plugin/Contents/Info.plist", kInfoPlist);
    WriteFile(dir / "Broken.plugin/Contents/Linux/TestPlugin", "not a library");
    CFRef<CFBundleRef> broken = BundleAt(dir / "Broken.plugin");
    EXPECT_FALSE(CFBundleLoadExecutable(broken.get()));
    EXPECT_FALSE(CFBundleIsExecutableLoaded(broken.get()));
    EXPECT_EQ(CFBundleGetFunctionPointerForName(broken.get(), CFSTR("WFSBundleTestAnswer")), nullptr);
}

TEST(BundleMain, IsTheTestProgramsFolder) {
    CFBundleRef main = CFBundleGetMainBundle();
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(CFBundleGetMainBundle(), main);
    // Immortal: a stray release does not destroy it.
    CFRelease(CFRetain(main));
    CFRelease(main);
    EXPECT_EQ(CFBundleGetMainBundle(), main);

    std::string self = SelfPath();
    std::string folder = std::filesystem::path(self).parent_path().string();
    CFRef<CFURLRef> url(CFBundleCopyBundleURL(main));
    EXPECT_EQ(PathOf(url.get()), folder);
    CFRef<CFURLRef> executable(CFBundleCopyExecutableURL(main));
    EXPECT_EQ(PathOf(executable.get()), self);
    std::string name = std::filesystem::path(self).filename().string();
    EXPECT_EQ(AuxiliaryPath(main, name.c_str()), self);
    EXPECT_TRUE(CFBundleIsExecutableLoaded(main));
    EXPECT_TRUE(CFBundleLoadExecutable(main));
}

// A copy of this program placed at <bundle>/Contents/Linux/ finds <bundle> as its main bundle.
TEST(BundleMain, InsideAPackagedBundle) {
    if (IsTestChild()) {
        const std::string expected = std::getenv("WFS_MAIN_BUNDLE_EXPECTED");
        CFBundleRef main = CFBundleGetMainBundle();
        ASSERT_NE(main, nullptr);
        CFRef<CFURLRef> url(CFBundleCopyBundleURL(main));
        EXPECT_EQ(PathOf(url.get()), expected);
        EXPECT_EQ(Utf8(CFBundleGetIdentifier(main)), "org.example.wfs.testbundle");
        EXPECT_EQ(AuxiliaryPath(main, "HelperTemplate"), expected + "/Contents/Linux/HelperTemplate");
        EXPECT_EQ(ResourcePath(main, "Icon", "png", nullptr), expected + "/Contents/Resources/Icon.png");
        return;
    }
    TempDir dir;
    std::string bundle = MakePackagedBundle(dir);
    std::string program = bundle + "/Contents/Linux/CoreFoundationTests";
    CopyFile(SelfPath(), program, std::filesystem::perms(0755));
    RerunThisTest(ChildSetup().Env("WFS_MAIN_BUNDLE_EXPECTED", bundle), program);
}
