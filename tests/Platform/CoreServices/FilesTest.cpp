// FSRef operations on real files: names, creation, deletion, catalog information, paths, URLs.
#include "CoreServicesTestSupport.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

using namespace wfs::test;

namespace {

OSErr MakeChild(const FSRef &parent, const std::vector<UniChar> &name, FSRef *out) {
    return FSMakeFSRefUnicode(&parent, name.size(), name.data(), kTextEncodingUnknown, out);
}

OSErr CreateFile(const FSRef &parent, const std::vector<UniChar> &name, FSRef *out = nullptr) {
    return FSCreateFileUnicode(&parent, name.size(), name.data(), kFSCatInfoNone, nullptr, out, nullptr);
}

OSErr CreateFolder(const FSRef &parent, const std::vector<UniChar> &name, FSRef *out = nullptr,
                   UInt32 *dirID = nullptr) {
    return FSCreateDirectoryUnicode(&parent, name.size(), name.data(), kFSCatInfoNone, nullptr, out, nullptr, dirID);
}

FSPermissionInfo PermissionsOf(const FSRef &ref) {
    FSCatalogInfo info{};
    EXPECT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoPermissions, &info, nullptr, nullptr, nullptr), noErr);
    FSPermissionInfo perm;
    std::memcpy(&perm, info.permissions, sizeof perm);
    return perm;
}

}  // namespace

TEST(FSRefFiles, CreateLookUpAndRefuseDuplicates) {
    TempFolder dir;
    UmaskGuard mask(027);
    Boolean isDirectory = false;
    FSRef folder;
    ASSERT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8 *>(dir.path().c_str()), &folder, &isDirectory), noErr);
    EXPECT_TRUE(isDirectory);

    FSRef child;
    EXPECT_EQ(MakeChild(folder, U16("tool"), &child), fnfErr);

    FSRef created;
    ASSERT_EQ(CreateFile(folder, U16("tool"), &created), noErr);
    EXPECT_EQ(std::string(created.path), dir / "tool");
    struct stat st;
    ASSERT_EQ(::stat((dir / "tool").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(st.st_size, 0);
    EXPECT_EQ(CreateFile(folder, U16("tool")), dupFNErr);
    EXPECT_EQ(CreateFolder(folder, U16("tool")), dupFNErr);

    ASSERT_EQ(MakeChild(folder, U16("tool"), &child), noErr);
    EXPECT_EQ(std::string(child.path), dir / "tool");

    // A dangling symbolic link is still a name that exists.
    ASSERT_EQ(::symlink("nowhere", (dir / "link").c_str()), 0);
    EXPECT_EQ(CreateFile(folder, U16("link")), dupFNErr);
    EXPECT_EQ(MakeChild(folder, U16("link"), &child), noErr);

    UInt32 dirID = 0;
    FSRef sub;
    ASSERT_EQ(CreateFolder(folder, U16("sub"), &sub, &dirID), noErr);
    ASSERT_EQ(::stat((dir / "sub").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0750u);
    EXPECT_EQ(dirID, static_cast<UInt32>(st.st_ino));
    EXPECT_EQ(CreateFolder(folder, U16("sub")), dupFNErr);

    // Below a file there is nothing.
    FSRef file = RefOf(dir / "tool");
    EXPECT_EQ(MakeChild(file, U16("x"), &child), dirNFErr);
    EXPECT_EQ(CreateFile(file, U16("x")), dirNFErr);

    // Unsupported requests.
    EXPECT_EQ(FSCreateFileUnicode(&folder, 1, U16("y").data(), kFSCatInfoPermissions, nullptr, nullptr, nullptr),
              paramErr);
    FSSpec *spec = reinterpret_cast<FSSpec *>(&child);
    EXPECT_EQ(FSCreateFileUnicode(&folder, 1, U16("y").data(), kFSCatInfoNone, nullptr, nullptr, spec), paramErr);
    EXPECT_FALSE(std::filesystem::exists(dir / "y"));
}

TEST(FSRefFiles, NamesThatCannotNameAChild) {
    TempFolder dir;
    FSRef folder = RefOf(dir.path());
    FSRef out;
    for (const std::string &bad : {std::string("a/b"), std::string("/"), std::string("."), std::string(".."),
                                   std::string("a\0b", 3), std::string(256, 'n')}) {
        EXPECT_EQ(MakeChild(folder, U16(bad), &out), bdNamErr) << bad.size();
        EXPECT_EQ(CreateFile(folder, U16(bad)), bdNamErr);
        EXPECT_EQ(CreateFolder(folder, U16(bad)), bdNamErr);
    }
    EXPECT_EQ(FSMakeFSRefUnicode(&folder, 0, nullptr, kTextEncodingUnknown, &out), bdNamErr);
    std::vector<UniChar> unpaired = {'a', 0xD800, 'b'};
    EXPECT_EQ(CreateFile(folder, unpaired), bdNamErr);
    std::vector<UniChar> lowAlone = {0xDC00};
    EXPECT_EQ(CreateFile(folder, lowAlone), bdNamErr);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

    // 255 units is allowed; non-ASCII names are stored as UTF-8.
    EXPECT_EQ(CreateFile(folder, U16(std::string(255, 'n'))), noErr);
    std::vector<UniChar> accented = {0x00E9, 't', 0x00E9, 0xD83D, 0xDE00};  // "été" and U+1F600
    EXPECT_EQ(CreateFile(folder, accented), noErr);
    EXPECT_TRUE(std::filesystem::exists(dir / "\xC3\xA9t\xC3\xA9\xF0\x9F\x98\x80"));

    // Its name reads back as the same UTF-16 units.
    HFSUniStr255 name{};
    FSRef parent;
    FSRef made = RefOf(dir / "\xC3\xA9t\xC3\xA9\xF0\x9F\x98\x80");
    ASSERT_EQ(FSGetCatalogInfo(&made, kFSCatInfoNone, nullptr, &name, nullptr, &parent), noErr);
    ASSERT_EQ(name.length, accented.size());
    EXPECT_TRUE(std::equal(accented.begin(), accented.end(), name.unicode));
    EXPECT_EQ(std::string(parent.path), dir.path());
}

TEST(FSRefFiles, DeleteFilesAndEmptyFoldersOnly) {
    TempFolder dir;
    FSRef folder = RefOf(dir.path());
    FSRef file, sub, inner;
    ASSERT_EQ(CreateFile(folder, U16("file"), &file), noErr);
    ASSERT_EQ(CreateFolder(folder, U16("sub"), &sub), noErr);
    ASSERT_EQ(CreateFile(sub, U16("inner"), &inner), noErr);

    EXPECT_EQ(FSDeleteObject(&sub), fBsyErr);
    EXPECT_TRUE(std::filesystem::exists(dir / "sub/inner"));
    EXPECT_EQ(FSDeleteObject(&inner), noErr);
    EXPECT_EQ(FSDeleteObject(&sub), noErr);
    EXPECT_EQ(FSDeleteObject(&file), noErr);
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
    EXPECT_EQ(FSDeleteObject(&file), fnfErr);

    // A link is removed, not what it points to.
    ASSERT_EQ(::mkdir((dir / "target").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("target", (dir / "link").c_str()), 0);
    FSRef link = RefOf(dir / "link");
    EXPECT_EQ(FSDeleteObject(&link), noErr);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "target"));
}

TEST(FSRefFiles, CatalogInfoReadsAndWritesPermissions) {
    TempFolder dir;
    FSRef folder = RefOf(dir.path());
    FSRef file;
    ASSERT_EQ(CreateFile(folder, U16("file"), &file), noErr);
    WriteFile(dir / "file", "12345");

    struct stat st;
    ASSERT_EQ(::stat(file.path, &st), 0);
    FSCatalogInfo info{};
    ASSERT_EQ(FSGetCatalogInfo(&file, kFSCatInfoPermissions | kFSCatInfoNodeFlags | kFSCatInfoDataSizes |
                                          kFSCatInfoNodeID,
                               &info, nullptr, nullptr, nullptr),
              noErr);
    FSPermissionInfo perm;
    std::memcpy(&perm, info.permissions, sizeof perm);
    EXPECT_EQ(perm.userID, st.st_uid);
    EXPECT_EQ(perm.groupID, st.st_gid);
    EXPECT_EQ(perm.mode, static_cast<UInt16>(st.st_mode));
    EXPECT_EQ(info.nodeFlags & kFSNodeIsDirectoryMask, 0);
    EXPECT_EQ(info.dataLogicalSize, 5u);
    EXPECT_EQ(info.nodeID, static_cast<UInt32>(st.st_ino));
    FSCatalogInfo folderInfo{};
    ASSERT_EQ(FSGetCatalogInfo(&folder, kFSCatInfoNodeFlags, &folderInfo, nullptr, nullptr, nullptr), noErr);
    EXPECT_NE(folderInfo.nodeFlags & kFSNodeIsDirectoryMask, 0);

    // Writing the mode back changes the permission bits.
    perm.mode = S_IFREG | 0604;
    std::memcpy(info.permissions, &perm, sizeof perm);
    ASSERT_EQ(FSSetCatalogInfo(&file, kFSCatInfoPermissions, &info), noErr);
    EXPECT_EQ(PermissionsOf(file).mode, S_IFREG | 0604);

    // What is not supported is refused, not ignored.
    EXPECT_EQ(FSGetCatalogInfo(&file, 0x00000020 /* create date */, &info, nullptr, nullptr, nullptr), paramErr);
    EXPECT_EQ(FSGetCatalogInfo(&file, kFSCatInfoPermissions, nullptr, nullptr, nullptr, nullptr), paramErr);
    EXPECT_EQ(FSSetCatalogInfo(&file, kFSCatInfoNodeFlags, &info), paramErr);

    // A reference whose object has gone.
    ASSERT_EQ(::unlink(file.path), 0);
    EXPECT_EQ(FSGetCatalogInfo(&file, kFSCatInfoPermissions, &info, nullptr, nullptr, nullptr), fnfErr);
}

TEST(FSRefFiles, CatalogInfoChangesOwnerAndGroupAsRoot) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a file away";
    TempFolder dir;
    FSRef folder = RefOf(dir.path());
    FSRef file;
    ASSERT_EQ(CreateFile(folder, U16("file"), &file), noErr);
    FSCatalogInfo info{};
    ASSERT_EQ(FSGetCatalogInfo(&file, kFSCatInfoPermissions, &info, nullptr, nullptr, nullptr), noErr);
    FSPermissionInfo perm;
    std::memcpy(&perm, info.permissions, sizeof perm);
    perm.groupID = 20;
    perm.userID = 65534;
    perm.mode = S_IFREG | 04555;
    std::memcpy(info.permissions, &perm, sizeof perm);
    ASSERT_EQ(FSSetCatalogInfo(&file, kFSCatInfoPermissions, &info), noErr);
    FSPermissionInfo back = PermissionsOf(file);
    EXPECT_EQ(back.groupID, 20u);
    EXPECT_EQ(back.userID, 65534u);
    // The set-user-ID bit survives the change of owner.
    EXPECT_EQ(back.mode, S_IFREG | 04555);

    // Nobody may not take the file back.
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    perm.userID = 0;
    std::memcpy(info.permissions, &perm, sizeof perm);
    int status = RunUnprivileged([&] { return FSSetCatalogInfo(&file, kFSCatInfoPermissions, &info) == permErr ? 0 : 1; });
    EXPECT_EQ(status, 0);
    EXPECT_EQ(PermissionsOf(file).userID, 65534u);
}

TEST(FSRefPaths, PathMakeRefAndMakePath) {
    TempFolder dir;
    WriteFile(dir / "file", "");
    FSRef ref;
    Boolean isDirectory = true;
    ASSERT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8 *>((dir / "file").c_str()), &ref, &isDirectory), noErr);
    EXPECT_FALSE(isDirectory);

    // Trailing slashes go; the root stays.
    std::string slashed = dir.path() + "//";
    ASSERT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8 *>(slashed.c_str()), &ref, nullptr), noErr);
    EXPECT_EQ(std::string(ref.path), dir.path());
    ASSERT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8 *>("/"), &ref, &isDirectory), noErr);
    EXPECT_EQ(std::string(ref.path), "/");
    EXPECT_TRUE(isDirectory);

    // A relative path is taken against the working directory.
    auto saved = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    OSStatus relative = FSPathMakeRef(reinterpret_cast<const UInt8 *>("file"), &ref, nullptr);
    std::filesystem::current_path(saved);
    ASSERT_EQ(relative, noErr);
    EXPECT_EQ(std::string(ref.path), dir / "file");

    EXPECT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8 *>((dir / "missing").c_str()), &ref, nullptr), fnfErr);
    EXPECT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8 *>((dir / "file/x").c_str()), &ref, nullptr), dirNFErr);
    std::string tooLong = "/" + std::string(PATH_MAX, 'x');
    EXPECT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8 *>(tooLong.c_str()), &ref, nullptr), bdNamErr);

    // FSRefMakePath: the path and its NUL must fit.
    FSRef file = RefOf(dir / "file");
    std::string expected = dir / "file";
    std::vector<UInt8> buffer(expected.size() + 1, 0xEE);
    ASSERT_EQ(FSRefMakePath(&file, buffer.data(), static_cast<UInt32>(buffer.size())), noErr);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer.data())), expected);
    EXPECT_EQ(FSRefMakePath(&file, buffer.data(), static_cast<UInt32>(expected.size())), buffersTooSmall);
    EXPECT_EQ(FSRefMakePath(&file, buffer.data(), 0), buffersTooSmall);
}

TEST(FSRefPaths, NestingUpToTheLimit) {
    // Children of a deep folder stop at PATH_MAX; the error is a bad name, nothing is created.
    TempFolder dir;
    FSRef deep = RefOf(dir.path());
    std::string name(200, 'd');
    OSErr err = noErr;
    int levels = 0;
    while ((err = CreateFolder(deep, U16(name), &deep)) == noErr) ++levels;
    EXPECT_EQ(err, bdNamErr);
    EXPECT_GT(levels, 10);
    EXPECT_GE(std::strlen(deep.path) + 1 + name.size(), static_cast<size_t>(PATH_MAX));
}

TEST(FSRefPaths, URLsFromReferences) {
    TempFolder dir;
    WriteFile(dir / "file", "");
    FSRef folder = RefOf(dir.path());
    FSRef file = RefOf(dir / "file");

    wfs::CFRef<CFURLRef> folderURL(CFURLCreateFromFSRef(nullptr, &folder));
    ASSERT_TRUE(folderURL);
    EXPECT_TRUE(CFURLHasDirectoryPath(folderURL.get()));
    wfs::CFRef<CFURLRef> fileURL(CFURLCreateFromFSRef(nullptr, &file));
    ASSERT_TRUE(fileURL);
    EXPECT_FALSE(CFURLHasDirectoryPath(fileURL.get()));
    UInt8 path[PATH_MAX];
    ASSERT_TRUE(CFURLGetFileSystemRepresentation(fileURL.get(), true, path, sizeof path));
    EXPECT_EQ(std::string(reinterpret_cast<char *>(path)), dir / "file");

    FSRef back;
    ASSERT_TRUE(CFURLGetFSRef(fileURL.get(), &back));
    EXPECT_EQ(std::string(back.path), std::string(file.path));

    ASSERT_EQ(::unlink(file.path), 0);
    EXPECT_EQ(CFURLCreateFromFSRef(nullptr, &file), nullptr);
    EXPECT_FALSE(CFURLGetFSRef(fileURL.get(), &back));
}

TEST(UpTime, RisesAndSplitsIntoHalves) {
    UInt64 first = UnsignedWideToUInt64(UpTime());
    EXPECT_GT(first, 0u);
    UInt64 later = first;
    for (int i = 0; i < 1000000 && later == first; ++i) later = UnsignedWideToUInt64(UpTime());
    EXPECT_GT(later, first);
    EXPECT_EQ(UnsignedWideToUInt64(AbsoluteToNanoseconds(UInt64ToUnsignedWide(later))), later);

    UnsignedWide wide = UInt64ToUnsignedWide(0x0123456789ABCDEFull);
    EXPECT_EQ(wide.hi, 0x01234567u);
    EXPECT_EQ(wide.lo, 0x89ABCDEFu);
    EXPECT_EQ(UnsignedWideToUInt64(wide), 0x0123456789ABCDEFull);
}

TEST(OSErrFromErrno, MapsTheFileSystemErrors) {
    EXPECT_EQ(WFSOSErrFromErrno(0), noErr);
    EXPECT_EQ(WFSOSErrFromErrno(ENOENT), fnfErr);
    EXPECT_EQ(WFSOSErrFromErrno(EEXIST), dupFNErr);
    EXPECT_EQ(WFSOSErrFromErrno(ENOTEMPTY), fBsyErr);
    EXPECT_EQ(WFSOSErrFromErrno(EACCES), afpAccessDenied);
    EXPECT_EQ(WFSOSErrFromErrno(EPERM), permErr);
    EXPECT_EQ(WFSOSErrFromErrno(EROFS), wrPermErr);
    EXPECT_EQ(WFSOSErrFromErrno(ENOTDIR), dirNFErr);
    EXPECT_EQ(WFSOSErrFromErrno(ENAMETOOLONG), bdNamErr);
    EXPECT_EQ(WFSOSErrFromErrno(ENOMEM), memFullErr);
    EXPECT_EQ(WFSOSErrFromErrno(EINVAL), paramErr);
    EXPECT_EQ(WFSOSErrFromErrno(EIO), ioErr);
    EXPECT_EQ(WFSOSErrFromErrno(12345), ioErr);
}
