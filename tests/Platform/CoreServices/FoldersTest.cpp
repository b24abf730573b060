// Which folder each (domain, type) pair names, with the roots and the user's variables redirected.
#include "CoreServicesTestSupport.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace wfs::test;

namespace {

// FSFindFolder's answer as a path, or its error.
struct Found {
    OSErr err;
    std::string path;
};

Found Find(SInt16 domain, OSType type, bool create) {
    FSRef ref;
    std::memset(&ref, 0, sizeof ref);
    OSErr err = FSFindFolder(domain, type, create, &ref);
    return {err, err == noErr ? std::string(ref.path) : std::string()};
}

mode_t ModeOf(const std::string &path) {
    struct stat st;
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

}  // namespace

TEST(FSFindFolder, UserDomainFollowsTheUsersVariables) {
    TempFolder dir;
    EnvGuard env;
    UmaskGuard mask(022);
    env.set("HOME", dir / "home/");
    env.set("XDG_DATA_HOME", std::nullopt);
    env.set("TMPDIR", std::nullopt);

    // Absent and not to be created: an error, and nothing made.
    EXPECT_EQ(Find(kUserDomain, kApplicationSupportFolderType, false).err, fnfErr);
    EXPECT_FALSE(std::filesystem::exists(dir / "home"));

    // Created with every missing folder along the way, default permissions.
    Found asup = Find(kUserDomain, kApplicationSupportFolderType, true);
    ASSERT_EQ(asup.err, noErr);
    EXPECT_EQ(asup.path, dir / "home/.local/share");
    EXPECT_EQ(ModeOf(asup.path), 0755u);
    EXPECT_EQ(ModeOf(dir / "home"), 0755u);
    EXPECT_EQ(Find(kUserDomain, kApplicationSupportFolderType, false).path, asup.path);
    EXPECT_EQ(Find(kOnAppropriateDisk, kApplicationSupportFolderType, false).path, asup.path);

    EXPECT_EQ(Find(kUserDomain, kFrameworksFolderType, true).path, dir / "home/.local/lib");
    EXPECT_EQ(Find(kUserDomain, kDomainLibraryFolderType, false).path, dir / "home/.local");

    // XDG_DATA_HOME wins when absolute; a relative value is ignored.
    env.set("XDG_DATA_HOME", dir / "data");
    EXPECT_EQ(Find(kUserDomain, kApplicationSupportFolderType, false).err, fnfErr);
    EXPECT_EQ(Find(kUserDomain, kApplicationSupportFolderType, true).path, dir / "data");
    env.set("XDG_DATA_HOME", "relative/data");
    EXPECT_EQ(Find(kUserDomain, kApplicationSupportFolderType, false).path, asup.path);

    // Temporary items: TMPDIR, else /tmp.
    EXPECT_EQ(Find(kUserDomain, kTemporaryFolderType, false).path, "/tmp");
    env.set("TMPDIR", dir.path() + "/");
    EXPECT_EQ(Find(kUserDomain, kTemporaryFolderType, false).path, dir.path());
    EXPECT_EQ(Find(kOnSystemDisk, kTemporaryFolderType, false).path, dir.path());
    EXPECT_EQ(Find(kOnAppropriateDisk, kTemporaryFolderType, false).path, dir.path());
}

TEST(FSFindFolder, UserDomainWithoutHomeUsesThePasswordEntry) {
    EnvGuard env;
    env.set("HOME", std::nullopt);
    env.set("XDG_DATA_HOME", std::nullopt);
    struct passwd *entry = ::getpwuid(::getuid());
    ASSERT_NE(entry, nullptr);
    FSRef ref;
    OSErr err = FSFindFolder(kUserDomain, kDomainLibraryFolderType, false, &ref);
    if (err == noErr) {
        EXPECT_EQ(std::string(ref.path), std::string(entry->pw_dir) + "/.local");
    } else {
        EXPECT_EQ(err, fnfErr);  // the user has no ~/.local
    }
}

TEST(FSFindFolder, LocalAndSystemDomainsFollowTheRoot) {
    TempFolder dir;
    EnvGuard env;
    env.set("WFS_FOLDER_ROOT", dir / "root/");

    EXPECT_EQ(Find(kLocalDomain, kApplicationSupportFolderType, false).err, fnfErr);
    EXPECT_EQ(Find(kLocalDomain, kApplicationSupportFolderType, true).path, dir / "root/usr/local/share");
    EXPECT_EQ(Find(kLocalDomain, kFrameworksFolderType, true).path, dir / "root/usr/local/lib");
    EXPECT_EQ(Find(kOnAppropriateDisk, kFrameworksFolderType, false).path, dir / "root/usr/local/lib");
    EXPECT_EQ(Find(kOnSystemDisk, kApplicationSupportFolderType, false).path, dir / "root/usr/local/share");
    EXPECT_EQ(Find(kSystemDomain, kApplicationSupportFolderType, true).path, dir / "root/usr/share");
    EXPECT_EQ(Find(kSystemDomain, kFrameworksFolderType, true).path, dir / "root/usr/lib");
    EXPECT_EQ(Find(kSystemDomain, kDomainLibraryFolderType, false).path, dir / "root/usr");

    // Folders a domain does not have, and selectors that are no domain.
    EXPECT_EQ(Find(kNetworkDomain, kApplicationSupportFolderType, true).err, fnfErr);
    EXPECT_EQ(Find(kLocalDomain, kTemporaryFolderType, true).err, fnfErr);
    EXPECT_EQ(Find(kLocalDomain, 0x61626364 /* 'abcd' */, true).err, fnfErr);
    EXPECT_EQ(Find(-1, kApplicationSupportFolderType, false).err, nsvErr);
    EXPECT_EQ(Find(3, kApplicationSupportFolderType, false).err, nsvErr);

    // Something that is not a folder where the folder belongs.
    std::filesystem::remove(dir / "root/usr/lib");
    WriteFile(dir / "root/usr/lib", "file");
    EXPECT_EQ(Find(kSystemDomain, kFrameworksFolderType, false).err, dirNFErr);
    EXPECT_EQ(Find(kSystemDomain, kFrameworksFolderType, true).err, dirNFErr);
    EXPECT_EQ(Find(kSystemDomain, kFrameworksFolderType, true).err, dirNFErr);

    // A relative root is ignored: the real file system.
    env.set("WFS_FOLDER_ROOT", "relative");
    EXPECT_EQ(Find(kSystemDomain, kApplicationSupportFolderType, false).path, "/usr/share");
}

TEST(FSFindFolder, CreationFailureIsReported) {
    TempFolder dir;
    EnvGuard env;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    std::filesystem::create_directories(dir / "locked");
    ASSERT_EQ(::chmod((dir / "locked").c_str(), 0555), 0);
    env.set("XDG_DATA_HOME", dir / "locked/data");
    int status = RunUnprivileged([] {
        FSRef ref;
        return FSFindFolder(kUserDomain, kApplicationSupportFolderType, true, &ref) == afpAccessDenied ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
}
