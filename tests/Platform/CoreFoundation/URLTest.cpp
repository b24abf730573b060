// File URLs and reading a file through its URL, on real files.
#include "URLTestSupport.h"

#include <CoreFoundation/CoreFoundation.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <grp.h>

using wfs::CFRef;
using namespace wfs::test;

namespace {

// Restores the working directory a test changed.
class CwdGuard {
public:
    CwdGuard() : saved_(std::filesystem::current_path()) {}
    ~CwdGuard() { std::filesystem::current_path(saved_); }

private:
    std::filesystem::path saved_;
};

std::optional<std::string> StringOf(CFURLRef url) { return Utf8(CFURLGetString(url)); }

}  // namespace

TEST(URL, PathRoundTripsAndTrailingSlashes) {
    CFRef<CFURLRef> file = PathURL("/a/b c/\xC3\xA9t\xC3\xA9", false);
    ASSERT_TRUE(file);
    EXPECT_EQ(CFGetTypeID(file.get()), CFURLGetTypeID());
    EXPECT_FALSE(CFURLHasDirectoryPath(file.get()));
    EXPECT_EQ(PathOf(file.get()), "/a/b c/\xC3\xA9t\xC3\xA9");
    CFRef<CFStringRef> path(CFURLCopyFileSystemPath(file.get(), kCFURLPOSIXPathStyle));
    EXPECT_EQ(Utf8(path.get()), "/a/b c/\xC3\xA9t\xC3\xA9");

    // Back through the string form: the same URL.
    CFRef<CFURLRef> again(CFURLCreateWithFileSystemPath(nullptr, path.get(), kCFURLPOSIXPathStyle, false));
    ASSERT_TRUE(again);
    EXPECT_TRUE(CFEqual(file.get(), again.get()));
    EXPECT_EQ(CFHash(file.get()), CFHash(again.get()));

    // A folder URL ends in "/"; its file-system path does not.
    CFRef<CFURLRef> folder = PathURL("/a/b", true);
    EXPECT_TRUE(CFURLHasDirectoryPath(folder.get()));
    EXPECT_EQ(PathOf(folder.get()), "/a/b");
    EXPECT_EQ(StringOf(folder.get()), "file:///a/b/");
    CFRef<CFURLRef> slashed = PathURL("/a/b//", true);
    EXPECT_TRUE(CFEqual(folder.get(), slashed.get()));
    EXPECT_EQ(CFHash(folder.get()), CFHash(slashed.get()));

    // isDirectory false drops trailing slashes; a file and a folder of one path differ.
    CFRef<CFURLRef> unslashed = PathURL("/a/b//", false);
    EXPECT_FALSE(CFURLHasDirectoryPath(unslashed.get()));
    EXPECT_EQ(StringOf(unslashed.get()), "file:///a/b");
    EXPECT_FALSE(CFEqual(folder.get(), unslashed.get()));

    // The root stays a folder either way.
    CFRef<CFURLRef> root = PathURL("/", false);
    EXPECT_TRUE(CFURLHasDirectoryPath(root.get()));
    EXPECT_EQ(PathOf(root.get()), "/");

    // No base: the absolute URL is the URL itself.
    EXPECT_EQ(CFURLGetBaseURL(file.get()), nullptr);
    CFRef<CFURLRef> absolute(CFURLCopyAbsoluteURL(file.get()));
    EXPECT_EQ(absolute.get(), file.get());
}

TEST(URL, RefusesWhatIsNotAPath) {
    EXPECT_FALSE(PathURL("", false));
    const UInt8 withNul[] = {'/', 'a', '\0', 'b'};
    EXPECT_EQ(CFURLCreateFromFileSystemRepresentation(nullptr, withNul, sizeof withNul, false), nullptr);
    EXPECT_EQ(CFURLCreateWithFileSystemPath(nullptr, CFSTR(""), kCFURLPOSIXPathStyle, false), nullptr);
    EXPECT_EQ(CFURLCreateWithFileSystemPath(nullptr, CFSTR("/a"), kCFURLHFSPathStyle, false), nullptr);
    CFRef<CFURLRef> url = PathURL("/a", false);
    EXPECT_EQ(CFURLCopyFileSystemPath(url.get(), kCFURLWindowsPathStyle), nullptr);
    EXPECT_EQ(CFURLCreateCopyAppendingPathComponent(nullptr, url.get(), CFSTR(""), false), nullptr);
}

TEST(URL, RelativePathIsMadeAbsoluteAtCreation) {
    TempDir dir;
    CFRef<CFURLRef> url;
    {
        CwdGuard guard;
        std::filesystem::current_path(dir.path());
        url.reset(CFURLCreateWithFileSystemPath(nullptr, CFSTR("sub/file"), kCFURLPOSIXPathStyle, false));
    }
    // Still the folder it was made in, though the working directory has changed back.
    std::string expected = std::filesystem::canonical(dir.path()).string() + "/sub/file";
    EXPECT_EQ(PathOf(url.get()), expected);
}

TEST(URL, FileSystemRepresentationHonoursTheBufferLimit) {
    std::string path = "/" + std::string(1022, 'p');  // 1023 bytes: with its NUL exactly 1024
    CFRef<CFURLRef> url = PathURL(path, false);
    std::vector<UInt8> buffer(1024, 0xEE);
    ASSERT_TRUE(CFURLGetFileSystemRepresentation(url.get(), true, buffer.data(), 1024));
    EXPECT_EQ(std::memcmp(buffer.data(), path.c_str(), 1024), 0);
    EXPECT_FALSE(CFURLGetFileSystemRepresentation(url.get(), true, buffer.data(), 1023));

    // A folder's trailing "/" does not count.
    CFRef<CFURLRef> folder = PathURL(path, true);
    EXPECT_TRUE(CFURLGetFileSystemRepresentation(folder.get(), true, buffer.data(), 1024));

    CFRef<CFURLRef> longer = PathURL(path + "q", false);
    EXPECT_FALSE(CFURLGetFileSystemRepresentation(longer.get(), true, buffer.data(), 1024));
    std::vector<UInt8> big(PATH_MAX);
    EXPECT_TRUE(CFURLGetFileSystemRepresentation(longer.get(), true, big.data(), PATH_MAX));
    EXPECT_FALSE(CFURLGetFileSystemRepresentation(longer.get(), true, big.data(), 0));
}

TEST(URL, AppendingAndDeletingComponents) {
    CFRef<CFURLRef> folder = PathURL("/base", true);
    CFRef<CFURLRef> tool(CFURLCreateCopyAppendingPathComponent(nullptr, folder.get(), CFSTR("Tool"), false));
    EXPECT_EQ(StringOf(tool.get()), "file:///base/Tool");
    EXPECT_FALSE(CFURLHasDirectoryPath(tool.get()));

    // Appending to a URL without a trailing "/" still adds a separator.
    CFRef<CFURLRef> file = PathURL("/base/file", false);
    CFRef<CFURLRef> sub(CFURLCreateCopyAppendingPathComponent(nullptr, file.get(), CFSTR("x y"), true));
    EXPECT_EQ(StringOf(sub.get()), "file:///base/file/x%20y/");
    EXPECT_EQ(PathOf(sub.get()), "/base/file/x y");

    CFRef<CFStringRef> last(CFURLCopyLastPathComponent(sub.get()));
    EXPECT_EQ(Utf8(last.get()), "x y");
    CFRef<CFStringRef> rootLast(CFURLCopyLastPathComponent(PathURL("/", true).get()));
    EXPECT_EQ(Utf8(rootLast.get()), "/");

    CFRef<CFURLRef> up(CFURLCreateCopyDeletingLastPathComponent(nullptr, sub.get()));
    EXPECT_EQ(StringOf(up.get()), "file:///base/file/");
    CFRef<CFURLRef> up2(CFURLCreateCopyDeletingLastPathComponent(nullptr, tool.get()));
    EXPECT_EQ(StringOf(up2.get()), "file:///base/");
    EXPECT_TRUE(CFURLHasDirectoryPath(up2.get()));
    CFRef<CFURLRef> top(CFURLCreateCopyDeletingLastPathComponent(nullptr, PathURL("/base", false).get()));
    EXPECT_EQ(StringOf(top.get()), "file:///");
    CFRef<CFURLRef> stillTop(CFURLCreateCopyDeletingLastPathComponent(nullptr, top.get()));
    EXPECT_EQ(StringOf(stillTop.get()), "file:///");
}

TEST(URL, StringEscapesWhatIsNotAPathCharacter) {
    CFRef<CFURLRef> url = PathURL("/a b/100%/q?#/\xC3\xA9/ok-._~:@!$&'()*+,;=", false);
    EXPECT_EQ(StringOf(url.get()), "file:///a%20b/100%25/q%3F%23/%C3%A9/ok-._~:@!$&'()*+,;=");
    // The string belongs to the URL: the same object on every call.
    EXPECT_EQ(CFURLGetString(url.get()), CFURLGetString(url.get()));
    CFRef<CFStringRef> description(CFCopyDescription(url.get()));
    ASSERT_TRUE(description);
    EXPECT_NE(Utf8(description.get())->find("file:///a%20b/"), std::string::npos);
}

TEST(URLAccess, ReadsAFileInFull) {
    TempDir dir;
    std::string bytes;
    for (int i = 0; i < 100000; ++i) bytes += static_cast<char>(i * 7);  // NULs included
    WriteFile(dir / "data", bytes);
    WriteFile(dir / "empty", "");

    CFRef<CFDataRef> data;
    CFDictionaryRef properties = reinterpret_cast<CFDictionaryRef>(uintptr_t{1});
    SInt32 code = 99;
    ASSERT_TRUE(CFURLCreateDataAndPropertiesFromResource(nullptr, PathURL(dir / "data", false).get(), data.out(),
                                                         &properties, nullptr, &code));
    EXPECT_EQ(code, 0);
    EXPECT_EQ(properties, nullptr);
    ASSERT_EQ(CFDataGetLength(data.get()), static_cast<CFIndex>(bytes.size()));
    EXPECT_EQ(std::memcmp(CFDataGetBytePtr(data.get()), bytes.data(), bytes.size()), 0);

    CFRef<CFDataRef> empty;
    ASSERT_TRUE(CFURLCreateDataAndPropertiesFromResource(nullptr, PathURL(dir / "empty", false).get(),
                                                         empty.out(), nullptr, nullptr, nullptr));
    ASSERT_TRUE(empty);
    EXPECT_EQ(CFDataGetLength(empty.get()), 0);

    // A file whose size stat does not tell.
    CFRef<CFDataRef> proc;
    ASSERT_TRUE(CFURLCreateDataAndPropertiesFromResource(nullptr, PathURL("/proc/self/stat", false).get(),
                                                         proc.out(), nullptr, nullptr, &code));
    EXPECT_GT(CFDataGetLength(proc.get()), 0);
}

TEST(URLAccess, ReportsWhyAFileCannotBeRead) {
    TempDir dir;
    WriteFile(dir / "file", "x");
    auto codeFor = [](CFURLRef url) {
        CFDataRef data = reinterpret_cast<CFDataRef>(uintptr_t{1});
        SInt32 code = 0;
        Boolean ok = CFURLCreateDataAndPropertiesFromResource(nullptr, url, &data, nullptr, nullptr, &code);
        EXPECT_FALSE(ok);
        EXPECT_EQ(data, nullptr);
        return code;
    };
    EXPECT_EQ(codeFor(PathURL(dir / "missing", false).get()), kCFURLResourceNotFoundError);
    EXPECT_EQ(codeFor(PathURL(dir / "file/below", false).get()), kCFURLResourceNotFoundError);
    EXPECT_EQ(codeFor(PathURL(dir.path(), true).get()), kCFURLImproperArgumentsError);
    EXPECT_EQ(codeFor(PathURL(dir.path(), false).get()), kCFURLImproperArgumentsError);
    EXPECT_EQ(codeFor(nullptr), kCFURLImproperArgumentsError);
}

TEST(URLAccess, UnreadableFileIsAnAccessViolation) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to become nobody";
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    WriteFile(dir / "secret", "x");
    ASSERT_EQ(::chmod((dir / "secret").c_str(), 0600), 0);
    CFRef<CFURLRef> url = PathURL(dir / "secret", false);
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
