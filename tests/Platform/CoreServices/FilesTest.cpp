// FSRef operations on real files: names, creation, deletion, catalog information, paths, URLs.
#include <CFTestSupport.h>
#include <TestSupport.h>

#include <cstring>

using namespace wfstest;

namespace {

std::vector<UniChar> U16(const std::string &ascii) { return std::vector<UniChar>(ascii.begin(), ascii.end()); }

OSErr MakeChild(const FSRef &parent, const std::vector<UniChar> &name, FSRef *out) {
    return FSMakeFSRefUnicode(&parent, name.size(), name.data(), kTextEncodingUnknown, out);
}

OSErr CreateFile(const FSRef &parent, const std::vector<UniChar> &name, FSRef *out = nullptr) {
    return FSCreateFileUnicode(&parent, name.size(), name.data(), kFSCatInfoNone, nullptr, out, nullptr);
}

OSErr CreateFolder(const FSRef &parent, const std::vector<UniChar> &name, FSRef *out = nullptr, UInt32 *id = nullptr) {
    return FSCreateDirectoryUnicode(&parent, name.size(), name.data(), kFSCatInfoNone, nullptr, out, nullptr, id);
}

FSPermissionInfo PermissionsOf(const FSRef &ref) {
    FSCatalogInfo info{};
    EXPECT_EQ(FSGetCatalogInfo(&ref, kFSCatInfoPermissions, &info, nullptr, nullptr, nullptr), noErr);
    FSPermissionInfo perm;
    std::memcpy(&perm, info.permissions, sizeof perm);
    return perm;
}

OSErr SetPermissions(const FSRef &ref, const FSPermissionInfo &perm) {
    FSCatalogInfo info{};
    std::memcpy(info.permissions, &perm, sizeof perm);
    return FSSetCatalogInfo(&ref, kFSCatInfoPermissions, &info);
}

}  // namespace

TEST(FSRefFiles, CreateLookUpRefuseDuplicatesAndDelete) {
    TempDir dir;
    UmaskGuard mask(027);
    FSRef folder = RefOf(dir.path()), child, made;
    EXPECT_EQ(MakeChild(folder, U16("tool"), &child), fnfErr);
    ASSERT_EQ(CreateFile(folder, U16("tool"), &made), noErr);
    EXPECT_EQ(std::string(made.path), dir / "tool");
    EXPECT_EQ(ModeOf(dir / "tool"), 0640u);
    EXPECT_EQ(std::filesystem::file_size(dir / "tool"), 0u);
    ASSERT_EQ(MakeChild(folder, U16("tool"), &child), noErr);
    EXPECT_EQ(std::string(child.path), dir / "tool");

    // An existing name, a dangling symbolic link too, is refused: dupFNErr.
    ASSERT_EQ(::symlink("nowhere", (dir / "link").c_str()), 0);
    EXPECT_EQ(MakeChild(folder, U16("link"), &child), noErr);
    for (const char *name : {"tool", "link"}) {
        EXPECT_EQ(CreateFile(folder, U16(name)), dupFNErr) << name;
        EXPECT_EQ(CreateFolder(folder, U16(name)), dupFNErr) << name;
    }

    UInt32 dirID = 0;
    ASSERT_EQ(CreateFolder(folder, U16("sub"), &made, &dirID), noErr);
    EXPECT_EQ(ModeOf(dir / "sub"), 0750u);
    struct stat st;
    ASSERT_EQ(::stat(made.path, &st), 0);
    EXPECT_EQ(dirID, static_cast<UInt32>(st.st_ino));

    // Below a file there is nothing; unsupported requests are refused and create nothing.
    FSRef file = RefOf(dir / "tool");
    EXPECT_EQ(MakeChild(file, U16("x"), &child), dirNFErr);
    EXPECT_EQ(CreateFile(file, U16("x")), dirNFErr);
    EXPECT_EQ(FSCreateFileUnicode(&folder, 1, U16("y").data(), kFSCatInfoPermissions, nullptr, nullptr, nullptr),
              paramErr);
    auto *spec = reinterpret_cast<FSSpec *>(&child);
    EXPECT_EQ(FSCreateFileUnicode(&folder, 1, U16("y").data(), kFSCatInfoNone, nullptr, nullptr, spec), paramErr);
    EXPECT_FALSE(std::filesystem::exists(dir / "y"));

    // Deleting: files, links (not what they point to) and empty folders only.
    FSRef inner;
    ASSERT_EQ(CreateFile(made, U16("inner"), &inner), noErr);
    EXPECT_EQ(FSDeleteObject(&made), fBsyErr);
    EXPECT_EQ(FSDeleteObject(&inner), noErr);
    EXPECT_EQ(FSDeleteObject(&made), noErr);
    EXPECT_EQ(FSDeleteObject(&made), fnfErr);
    ASSERT_EQ(::mkdir((dir / "target").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("target", (dir / "folder-link").c_str()), 0);
    FSRef link = RefOf(dir / "folder-link");
    EXPECT_EQ(FSDeleteObject(&link), noErr);
    EXPECT_TRUE(std::filesystem::is_directory(dir / "target"));
    EXPECT_FALSE(std::filesystem::exists(dir / "folder-link"));
}

TEST(FSRefFiles, NamesThatCannotNameAChild) {
    TempDir dir;
    FSRef folder = RefOf(dir.path()), out;
    std::vector<std::vector<UniChar>> bad = {U16("a/b"), U16("."), U16(".."), U16(std::string("a\0b", 3)),
                                             U16(std::string(256, 'n')), {}, {'a', 0xD800, 'b'}, {0xDC00}};
    for (const auto &name : bad) {
        EXPECT_EQ(MakeChild(folder, name, &out), bdNamErr) << name.size();
        EXPECT_EQ(CreateFile(folder, name), bdNamErr) << name.size();
        EXPECT_EQ(CreateFolder(folder, name), bdNamErr) << name.size();
    }
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));

    // 255 units is allowed; other names are stored as UTF-8 and read back as the same units.
    EXPECT_EQ(CreateFile(folder, U16(std::string(255, 'n'))), noErr);
    std::vector<UniChar> accented = {0x00E9, 't', 0x00E9, 0xD83D, 0xDE00};  // "été" and U+1F600
    ASSERT_EQ(CreateFile(folder, accented, &out), noErr);
    EXPECT_EQ(std::string(out.path), dir / "\xC3\xA9t\xC3\xA9\xF0\x9F\x98\x80");
    HFSUniStr255 name{};
    FSRef parent;
    ASSERT_EQ(FSGetCatalogInfo(&out, kFSCatInfoNone, nullptr, &name, nullptr, &parent), noErr);
    EXPECT_EQ(std::vector<UniChar>(name.unicode, name.unicode + name.length), accented);
    EXPECT_EQ(std::string(parent.path), dir.path());
}

TEST(FSRefFiles, CatalogInfoReadsAndWritesPermissions) {
    TempDir dir;
    WriteFile(dir / "file", "12345");
    FSRef file = RefOf(dir / "file"), folder = RefOf(dir.path());
    struct stat st;
    ASSERT_EQ(::stat(file.path, &st), 0);
    FSCatalogInfo info{};
    const FSCatalogInfoBitmap all = kFSCatInfoPermissions | kFSCatInfoNodeFlags | kFSCatInfoDataSizes | kFSCatInfoNodeID;
    ASSERT_EQ(FSGetCatalogInfo(&file, all, &info, nullptr, nullptr, nullptr), noErr);
    FSPermissionInfo perm = PermissionsOf(file);
    EXPECT_TRUE(perm.userID == st.st_uid && perm.groupID == st.st_gid && perm.mode == UInt16(st.st_mode));
    EXPECT_EQ(info.nodeFlags & kFSNodeIsDirectoryMask, 0);
    EXPECT_EQ(info.dataLogicalSize, 5u);
    EXPECT_EQ(info.nodeID, static_cast<UInt32>(st.st_ino));
    ASSERT_EQ(FSGetCatalogInfo(&folder, kFSCatInfoNodeFlags, &info, nullptr, nullptr, nullptr), noErr);
    EXPECT_NE(info.nodeFlags & kFSNodeIsDirectoryMask, 0);

    // Writing the mode back changes the permission bits; what is not supported is refused.
    perm.mode = S_IFREG | 0604;
    ASSERT_EQ(SetPermissions(file, perm), noErr);
    EXPECT_EQ(PermissionsOf(file).mode, S_IFREG | 0604);
    EXPECT_EQ(FSGetCatalogInfo(&file, 0x00000020 /* create date */, &info, nullptr, nullptr, nullptr), paramErr);
    EXPECT_EQ(FSGetCatalogInfo(&file, kFSCatInfoPermissions, nullptr, nullptr, nullptr, nullptr), paramErr);
    EXPECT_EQ(FSSetCatalogInfo(&file, kFSCatInfoNodeFlags, &info), paramErr);
    ASSERT_EQ(::unlink(file.path), 0);
    EXPECT_EQ(FSGetCatalogInfo(&file, kFSCatInfoPermissions, &info, nullptr, nullptr, nullptr), fnfErr);
}

TEST(FSRefFiles, CatalogInfoChangesOwnerAndGroupAsRoot) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root to give a file away";
    TempDir dir;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    WriteFile(dir / "file", "");
    FSRef file = RefOf(dir / "file");
    FSPermissionInfo perm = PermissionsOf(file);
    perm.groupID = 20;
    perm.userID = 65534;
    perm.mode = S_IFREG | 04555;
    ASSERT_EQ(SetPermissions(file, perm), noErr);
    FSPermissionInfo back = PermissionsOf(file);
    // The set-user-ID bit survives the change of owner.
    EXPECT_TRUE(back.groupID == 20 && back.userID == 65534 && back.mode == (S_IFREG | 04555));

    // Nobody may not give it back to root.
    perm.userID = 0;
    RunInChild([&] { WFS_CHILD_EXPECT_EQ(SetPermissions(file, perm), permErr); }, ChildSetup().AsNobody());
    EXPECT_EQ(PermissionsOf(file).userID, 65534u);
}

TEST(FSRefPaths, PathMakeRefMakePathAndURLs) {
    TempDir dir;
    WriteFile(dir / "file", "");
    auto make = [](const std::string &path, FSRef *ref, Boolean *isDirectory = nullptr) {
        return FSPathMakeRef(reinterpret_cast<const UInt8 *>(path.c_str()), ref, isDirectory);
    };
    FSRef ref;
    Boolean isDirectory = true;
    ASSERT_EQ(make(dir / "file", &ref, &isDirectory), noErr);
    EXPECT_FALSE(isDirectory);
    // Trailing slashes go, the root stays; a relative path is taken against the working folder.
    ASSERT_EQ(make(dir.path() + "//", &ref), noErr);
    EXPECT_EQ(std::string(ref.path), dir.path());
    ASSERT_EQ(make("/", &ref, &isDirectory), noErr);
    EXPECT_TRUE(std::string(ref.path) == "/" && isDirectory);
    auto saved = std::filesystem::current_path();
    std::filesystem::current_path(dir.path());
    OSStatus relative = make("file", &ref);
    std::filesystem::current_path(saved);
    ASSERT_EQ(relative, noErr);
    EXPECT_EQ(std::string(ref.path), dir / "file");
    EXPECT_EQ(make(dir / "missing", &ref), fnfErr);
    EXPECT_EQ(make(dir / "file/x", &ref), dirNFErr);
    EXPECT_EQ(make("/" + std::string(PATH_MAX, 'x'), &ref), bdNamErr);

    // FSRefMakePath: the path and its NUL must fit.
    FSRef file = RefOf(dir / "file");
    std::vector<UInt8> buffer(std::strlen(file.path) + 1, 0xEE);
    ASSERT_EQ(FSRefMakePath(&file, buffer.data(), UInt32(buffer.size())), noErr);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(buffer.data())), dir / "file");
    EXPECT_EQ(FSRefMakePath(&file, buffer.data(), UInt32(buffer.size() - 1)), buffersTooSmall);

    // URLs: a folder URL for a folder; back to the same reference; nothing once the file is gone.
    FSRef folder = RefOf(dir.path()), back;
    wfs::CFRef<CFURLRef> folderURL(CFURLCreateFromFSRef(nullptr, &folder)), fileURL(CFURLCreateFromFSRef(nullptr, &file));
    ASSERT_TRUE(folderURL && fileURL);
    EXPECT_TRUE(CFURLHasDirectoryPath(folderURL.get()));
    EXPECT_FALSE(CFURLHasDirectoryPath(fileURL.get()));
    ASSERT_TRUE(CFURLGetFSRef(fileURL.get(), &back));
    EXPECT_EQ(std::string(back.path), std::string(file.path));
    ASSERT_EQ(::unlink(file.path), 0);
    EXPECT_EQ(CFURLCreateFromFSRef(nullptr, &file), nullptr);
    EXPECT_FALSE(CFURLGetFSRef(fileURL.get(), &back));
}

TEST(FSRefPaths, NestingStopsAtThePathLimit) {
    TempDir dir;
    FSRef deep = RefOf(dir.path());
    std::string name(200, 'd');
    OSErr err = noErr;
    int levels = 0;
    while ((err = CreateFolder(deep, U16(name), &deep)) == noErr) ++levels;
    EXPECT_EQ(err, bdNamErr);
    EXPECT_GT(levels, 10);
    EXPECT_GE(std::strlen(deep.path) + 1 + name.size(), static_cast<size_t>(PATH_MAX));
}

TEST(UpTime, RisesAndSplitsIntoHalves) {
    UInt64 first = UnsignedWideToUInt64(UpTime()), later = first;
    for (int i = 0; i < 1000000 && later == first; ++i) later = UnsignedWideToUInt64(UpTime());
    EXPECT_GT(later, first);
    UnsignedWide wide = UInt64ToUnsignedWide(0x0123456789ABCDEFull);
    EXPECT_TRUE(wide.hi == 0x01234567u && wide.lo == 0x89ABCDEFu);
    EXPECT_EQ(UnsignedWideToUInt64(AbsoluteToNanoseconds(wide)), 0x0123456789ABCDEFull);
}
