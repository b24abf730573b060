// Bundles built on disk by the tests: Info.plist, executables, resources, code loading, and the
// test program's own main bundle.
#include <CFTestSupport.h>
#include <TestSupport.h>

using wfs::CFRef;
using namespace wfstest;

namespace {

const char kInfoPlist[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>\n"
    "<key>CFBundleIdentifier</key><string>org.example.wfs.testbundle</string>\n"
    "<key>CFBundleExecutable</key><string>TestPlugin</string>\n"
    "<key>CFBundleName</key><string>Test Bundle</string>\n"
    "<key>CFBundleVersion</key><string>1.2</string>\n"
    "</dict></plist>\n";

// <dir>/Test.plugin with the shared library as its executable, an auxiliary executable and resources.
std::string MakePackagedBundle(const TempDir &dir) {
    std::string bundle = dir / "Test.plugin";
    WriteFile(bundle + "/Contents/Info.plist", kInfoPlist);
    WriteFile(bundle + "/Contents/Linux/TestPlugin", ReadFile(WFS_BUNDLE_TEST_PLUGIN), 0755);
    WriteFile(bundle + "/Contents/Linux/HelperTemplate", "#!/bin/sh\nexit 0\n");
    for (const char *resource : {"Icon.png", "Text", "Images/Other.tiff", "en.lproj/Localizable.strings"})
        WriteFile(bundle + "/Contents/Resources/" + resource, "x");
    return bundle;
}

CFRef<CFBundleRef> BundleAt(const std::string &path) {
    return CFRef<CFBundleRef>(CFBundleCreate(nullptr, FileURL(path, true).get()));
}

std::string ResourcePath(CFBundleRef bundle, const char *name, const char *type, const char *subDir) {
    const auto optional = [](const char *text) { return text ? Str(text) : CFRef<CFStringRef>(); };
    return PathOf(CFRef<CFURLRef>(CFBundleCopyResourceURL(bundle, optional(name).get(), optional(type).get(),
                                                          optional(subDir).get())).get());
}

std::string AuxiliaryPath(CFBundleRef bundle, const char *name) {
    return PathOf(CFRef<CFURLRef>(CFBundleCopyAuxiliaryExecutableURL(bundle, Str(name).get())).get());
}

std::string InfoString(CFBundleRef bundle, CFStringRef key) {
    return Utf8(CFBundleGetValueForInfoDictionaryKey(bundle, key));
}

}  // namespace

TEST(Bundle, FolderAndInfoDictionary) {
    TempDir dir;
    WriteFile(dir / "file", "x");
    EXPECT_FALSE(BundleAt(dir / "missing"));
    EXPECT_FALSE(BundleAt(dir / "file"));
    std::string path = MakePackagedBundle(dir);
    CFRef<CFBundleRef> bundle = BundleAt(path);
    ASSERT_TRUE(bundle);
    EXPECT_EQ(CFGetTypeID(bundle.get()), CFBundleGetTypeID());
    CFRef<CFURLRef> url(CFBundleCopyBundleURL(bundle.get()));
    EXPECT_TRUE(CFURLHasDirectoryPath(url.get()));
    EXPECT_EQ(PathOf(url.get()), path);

    CFDictionaryRef info = CFBundleGetInfoDictionary(bundle.get());
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(CFDictionaryGetCount(info), 4);
    EXPECT_EQ(Utf8(CFBundleGetIdentifier(bundle.get())), "org.example.wfs.testbundle");
    EXPECT_EQ(InfoString(bundle.get(), kCFBundleNameKey), "Test Bundle");
    EXPECT_EQ(InfoString(bundle.get(), kCFBundleVersionKey), "1.2");
    EXPECT_EQ(CFBundleGetValueForInfoDictionaryKey(bundle.get(), kCFBundleInfoDictionaryVersionKey), nullptr);

    // Cached: a changed file is not read again by the same bundle object, but a new one (a
    // distinct object for the same folder) sees it.
    WriteFile(path + "/Contents/Info.plist", "garbage");
    EXPECT_EQ(CFBundleGetInfoDictionary(bundle.get()), info);
    CFRef<CFBundleRef> fresh = BundleAt(path);
    ASSERT_NE(CFBundleGetInfoDictionary(fresh.get()), nullptr);
    EXPECT_EQ(CFDictionaryGetCount(CFBundleGetInfoDictionary(fresh.get())), 0);
    EXPECT_EQ(CFBundleGetIdentifier(fresh.get()), nullptr);

    // No Info.plist, one that is not a dictionary, an identifier that is not a string.
    std::filesystem::create_directories(dir / "None.plugin/Contents");
    CFRef<CFBundleRef> none = BundleAt(dir / "None.plugin");
    EXPECT_EQ(CFDictionaryGetCount(CFBundleGetInfoDictionary(none.get())), 0);
    EXPECT_EQ(CFBundleCopyExecutableURL(none.get()), nullptr);
    EXPECT_FALSE(CFBundleLoadExecutable(none.get()));
    const std::string plist = "<?xml version=\"1.0\"?><plist version=\"1.0\">";
    WriteFile(dir / "Array.plugin/Contents/Info.plist", plist + "<array><string>x</string></array></plist>");
    EXPECT_EQ(CFDictionaryGetCount(CFBundleGetInfoDictionary(BundleAt(dir / "Array.plugin").get())), 0);
    WriteFile(dir / "Number.plugin/Contents/Info.plist",
              plist + "<dict><key>CFBundleIdentifier</key><integer>7</integer></dict></plist>");
    CFRef<CFBundleRef> number = BundleAt(dir / "Number.plugin");
    EXPECT_NE(CFBundleGetValueForInfoDictionaryKey(number.get(), kCFBundleIdentifierKey), nullptr);
    EXPECT_EQ(CFBundleGetIdentifier(number.get()), nullptr);
}

TEST(Bundle, ExecutablesResourcesAndCode) {
    TempDir dir;
    std::string path = MakePackagedBundle(dir);
    CFRef<CFBundleRef> bundle = BundleAt(path);
    std::filesystem::create_directories(path + "/Contents/Linux/Folder");
    const std::string code = path + "/Contents/Linux/", resources = path + "/Contents/Resources/";
    for (const char *missing : {"Missing", "../Info.plist", "", "Folder"})
        EXPECT_EQ(AuxiliaryPath(bundle.get(), missing), "") << missing;
    EXPECT_EQ(AuxiliaryPath(bundle.get(), "HelperTemplate"), code + "HelperTemplate");
    EXPECT_EQ(PathOf(CFRef<CFURLRef>(CFBundleCopyExecutableURL(bundle.get())).get()), code + "TestPlugin");
    CFRef<CFURLRef> resourcesURL(CFBundleCopyResourcesDirectoryURL(bundle.get()));
    EXPECT_EQ(PathOf(resourcesURL.get()), path + "/Contents/Resources");
    const struct {
        const char *name, *type, *subDir;
        std::string path;
    } lookups[] = {
        {"Icon", "png", nullptr, resources + "Icon.png"},
        {"Icon", ".png", nullptr, resources + "Icon.png"},
        {"Text", nullptr, nullptr, resources + "Text"},
        {"Text", "", nullptr, resources + "Text"},
        {"Other", "tiff", "Images", resources + "Images/Other.tiff"},
        {"Other", "tiff", nullptr, ""},
        {"Localizable", "strings", nullptr, resources + "en.lproj/Localizable.strings"},
        {"Icon", "jpg", nullptr, ""},
        {nullptr, "png", nullptr, ""},
    };
    for (const auto &c : lookups) {
        EXPECT_EQ(ResourcePath(bundle.get(), c.name, c.type, c.subDir), c.path)
            << (c.name ? c.name : "(null)") << "." << (c.type ? c.type : "(null)");
    }

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

    // A flat bundle keeps everything in its folder.
    const std::string flat = dir / "Flat";
    WriteFile(flat + "/Info.plist", kInfoPlist);
    WriteFile(flat + "/TestPlugin", ReadFile(WFS_BUNDLE_TEST_PLUGIN), 0755);
    WriteFile(flat + "/Picture.png", "png");
    CFRef<CFBundleRef> flatBundle = BundleAt(flat);
    EXPECT_EQ(Utf8(CFBundleGetIdentifier(flatBundle.get())), "org.example.wfs.testbundle");
    EXPECT_EQ(AuxiliaryPath(flatBundle.get(), "TestPlugin"), flat + "/TestPlugin");
    EXPECT_EQ(ResourcePath(flatBundle.get(), "Picture", "png", nullptr), flat + "/Picture.png");
    EXPECT_TRUE(CFBundleLoadExecutable(flatBundle.get()));
    CFBundleUnloadExecutable(flatBundle.get());
}

TEST(BundleMain, IsTheTestProgramsFolder) {
    CFBundleRef main = CFBundleGetMainBundle();
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(CFBundleGetMainBundle(), main);
    // Immortal: a stray release does not destroy it.
    CFRelease(CFRetain(main));
    CFRelease(main);
    EXPECT_EQ(CFBundleGetMainBundle(), main);

    const std::filesystem::path self = SelfPath();
    EXPECT_EQ(PathOf(CFRef<CFURLRef>(CFBundleCopyBundleURL(main)).get()), self.parent_path().string());
    EXPECT_EQ(PathOf(CFRef<CFURLRef>(CFBundleCopyExecutableURL(main)).get()), self.string());
    EXPECT_EQ(AuxiliaryPath(main, self.filename().c_str()), self.string());
    EXPECT_TRUE(CFBundleIsExecutableLoaded(main));
    EXPECT_TRUE(CFBundleLoadExecutable(main));
}
