// File URLs and reading a file through its URL, on real files.
#include <CFTestSupport.h>
#include <TestSupport.h>

using wfs::CFRef;
using namespace wfstest;

namespace {

std::string StringOf(CFURLRef url) { return Utf8(CFURLGetString(url)); }

}  // namespace

// Made from a path, a URL gives back its string, its path and whether it is a folder; through its
// string form, the same URL (equal, with the same hash).
TEST(URL, PathsStringsAndTrailingSlashes) {
    const struct {
        std::string path;
        bool isDirectory;
        std::string string, back;  // back: its file-system path
        bool hasDirectoryPath;
    } cases[] = {
        {"/a/b c/\xC3\xA9t\xC3\xA9", false, "file:///a/b%20c/%C3%A9t%C3%A9", "/a/b c/\xC3\xA9t\xC3\xA9", false},
        {"/a/b", true, "file:///a/b/", "/a/b", true},  // a folder URL ends in "/", its path does not
        {"/a/b//", true, "file:///a/b/", "/a/b", true},
        {"/a/b//", false, "file:///a/b", "/a/b", false},  // trailing slashes go
        {"/", false, "file:///", "/", true},              // the root stays a folder either way
        {"/a b/100%/q?#/\xC3\xA9/ok-._~:@!$&'()*+,;=", false,
         "file:///a%20b/100%25/q%3F%23/%C3%A9/ok-._~:@!$&'()*+,;=", "/a b/100%/q?#/\xC3\xA9/ok-._~:@!$&'()*+,;=", false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.path);
        CFRef<CFURLRef> url = FileURL(c.path, c.isDirectory);
        ASSERT_TRUE(url);
        EXPECT_EQ(CFGetTypeID(url.get()), CFURLGetTypeID());
        EXPECT_EQ(StringOf(url.get()), c.string);
        EXPECT_EQ(PathOf(url.get()), c.back);
        EXPECT_EQ(CFURLHasDirectoryPath(url.get()), c.hasDirectoryPath);
        CFRef<CFStringRef> path(CFURLCopyFileSystemPath(url.get(), kCFURLPOSIXPathStyle));
        EXPECT_EQ(Utf8(path.get()), c.back);
        CFRef<CFURLRef> again(
            CFURLCreateWithFileSystemPath(nullptr, path.get(), kCFURLPOSIXPathStyle, c.hasDirectoryPath));
        EXPECT_TRUE(CFEqual(url.get(), again.get()));
        EXPECT_EQ(CFHash(url.get()), CFHash(again.get()));
        // No base: the absolute URL is the URL itself.
        EXPECT_EQ(CFURLGetBaseURL(url.get()), nullptr);
        EXPECT_EQ(CFRef<CFURLRef>(CFURLCopyAbsoluteURL(url.get())).get(), url.get());
        EXPECT_NE(Utf8(CFRef<CFStringRef>(CFCopyDescription(url.get())).get()).find(c.string), std::string::npos);
    }
    // A file and a folder of one path differ.
    EXPECT_FALSE(CFEqual(FileURL("/a/b", true).get(), FileURL("/a/b", false).get()));
}

TEST(URL, RefusesWhatIsNotAPath) {
    EXPECT_FALSE(FileURL("", false));
    EXPECT_FALSE(FileURL(std::string("/a\0b", 4), false));
    EXPECT_EQ(CFURLCreateWithFileSystemPath(nullptr, CFSTR(""), kCFURLPOSIXPathStyle, false), nullptr);
    EXPECT_EQ(CFURLCreateWithFileSystemPath(nullptr, CFSTR("/a"), kCFURLHFSPathStyle, false), nullptr);
    CFRef<CFURLRef> url = FileURL("/a", false);
    EXPECT_EQ(CFURLCopyFileSystemPath(url.get(), kCFURLWindowsPathStyle), nullptr);
    EXPECT_EQ(CFURLCreateCopyAppendingPathComponent(nullptr, url.get(), CFSTR(""), false), nullptr);
}

TEST(URL, RelativePathIsMadeAbsoluteAtCreation) {
    TempDir dir;
    const auto saved = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    CFRef<CFURLRef> url(CFURLCreateWithFileSystemPath(nullptr, CFSTR("sub/file"), kCFURLPOSIXPathStyle, false));
    std::filesystem::current_path(saved);
    // Still the folder it was made in, though the working directory has changed back.
    EXPECT_EQ(PathOf(url.get()), dir / "sub/file");
}

TEST(URL, FileSystemRepresentationHonoursTheBufferLimit) {
    std::string path = "/" + std::string(1022, 'p');  // 1023 bytes: with its NUL exactly 1024
    std::vector<UInt8> buffer(PATH_MAX, 0xEE);
    const struct {
        std::string path;
        bool isDirectory;
        CFIndex size;
        bool fits;
    } cases[] = {
        {path, false, 1024, true}, {path, false, 1023, false},
        {path, true, 1024, true},  // a folder's trailing "/" does not count
        {path + "q", false, 1024, false}, {path + "q", false, PATH_MAX, true}, {path + "q", false, 0, false},
    };
    for (const auto &c : cases) {
        CFRef<CFURLRef> url = FileURL(c.path, c.isDirectory);
        EXPECT_EQ(CFURLGetFileSystemRepresentation(url.get(), true, buffer.data(), c.size), c.fits)
            << c.path.size() << " in " << c.size;
    }
    ASSERT_TRUE(CFURLGetFileSystemRepresentation(FileURL(path, false).get(), true, buffer.data(), 1024));
    EXPECT_EQ(std::memcmp(buffer.data(), path.c_str(), 1024), 0);
}

TEST(URL, AppendingAndDeletingComponents) {
    enum { kAppendFile, kAppendFolder, kDeleteLast };
    const struct {
        std::string from;
        bool isDirectory;
        int change;
        std::string to;
        bool hasDirectoryPath;
    } cases[] = {
        {"/base", true, kAppendFile, "file:///base/Tool", false},
        {"/base/file", false, kAppendFolder, "file:///base/file/x%20y/", true},  // a separator added
        {"/base/Tool", false, kDeleteLast, "file:///base/", true},
        {"/base/file/x y", true, kDeleteLast, "file:///base/file/", true},
        {"/base", false, kDeleteLast, "file:///", true},
        {"/", true, kDeleteLast, "file:///", true},
    };
    for (const auto &c : cases) {
        CFRef<CFURLRef> from = FileURL(c.from, c.isDirectory);
        CFStringRef name = c.change == kAppendFile ? CFSTR("Tool") : CFSTR("x y");
        const bool folder = c.change == kAppendFolder;
        CFRef<CFURLRef> to(c.change == kDeleteLast
                               ? CFURLCreateCopyDeletingLastPathComponent(nullptr, from.get())
                               : CFURLCreateCopyAppendingPathComponent(nullptr, from.get(), name, folder));
        EXPECT_EQ(StringOf(to.get()), c.to) << c.from;
        EXPECT_EQ(CFURLHasDirectoryPath(to.get()), c.hasDirectoryPath) << c.from;
    }
    CFRef<CFStringRef> last(CFURLCopyLastPathComponent(FileURL("/base/file/x y", true).get()));
    EXPECT_EQ(Utf8(last.get()), "x y");
    last.reset(CFURLCopyLastPathComponent(FileURL("/", true).get()));
    EXPECT_EQ(Utf8(last.get()), "/");
}

// A file is read in full, an empty one too; a file that cannot be read says why.
TEST(URLAccess, ReadsAFileOrSaysWhyNot) {
    TempDir dir;
    WriteFile(dir / "empty", "");
    CFRef<CFDataRef> data;
    CFDictionaryRef properties = reinterpret_cast<CFDictionaryRef>(uintptr_t{1});
    SInt32 code = 99;
    ASSERT_TRUE(CFURLCreateDataAndPropertiesFromResource(nullptr, FileURL(dir / "empty").get(), data.out(),
                                                         &properties, nullptr, &code));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(properties, nullptr);
    ASSERT_TRUE(data);
    EXPECT_EQ(CFDataGetLength(data.get()), 0);
    // A file whose size stat does not tell.
    data.reset();
    ASSERT_TRUE(CFURLCreateDataAndPropertiesFromResource(nullptr, FileURL("/proc/self/stat").get(), data.out(),
                                                         nullptr, nullptr, &code));
    EXPECT_GT(CFDataGetLength(data.get()), 0);

    auto codeFor = [](CFURLRef url) {
        CFDataRef none = reinterpret_cast<CFDataRef>(uintptr_t{1});
        SInt32 code = 0;
        EXPECT_FALSE(CFURLCreateDataAndPropertiesFromResource(nullptr, url, &none, nullptr, nullptr, &code));
        EXPECT_EQ(none, nullptr);
        return code;
    };
    EXPECT_EQ(codeFor(FileURL(dir / "missing").get()), kCFURLResourceNotFoundError);
    EXPECT_EQ(codeFor(FileURL(dir / "empty/below").get()), kCFURLResourceNotFoundError);
    EXPECT_EQ(codeFor(FileURL(dir.path(), true).get()), kCFURLImproperArgumentsError);
    EXPECT_EQ(codeFor(FileURL(dir.path(), false).get()), kCFURLImproperArgumentsError);
    EXPECT_EQ(codeFor(nullptr), kCFURLImproperArgumentsError);
}

TEST(URLAccess, UnreadableFileIsAnAccessViolation) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to become nobody";
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    WriteFile(dir / "secret", "x");
    ASSERT_EQ(::chmod((dir / "secret").c_str(), 0600), 0);
    CFRef<CFURLRef> url = FileURL(dir / "secret", false);
    // The temporary folder itself must be reachable by nobody for the error to be about the file.
    RunInChild(
        [&] {
            CFDataRef data = nullptr;
            SInt32 code = 0;
            WFS_CHILD_EXPECT(!CFURLCreateDataAndPropertiesFromResource(nullptr, url.get(), &data, nullptr, nullptr, &code));
            WFS_CHILD_EXPECT_EQ(code, kCFURLResourceAccessViolationError);
        },
        ChildSetup().AsNobody());
}
