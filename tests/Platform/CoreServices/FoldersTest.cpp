// Which folder each (domain, type) pair names, with the roots and the user's variables redirected.
#include <CoreServices/CoreServices.h>

#include <TestSupport.h>

#include <cstring>
#include <pwd.h>

using namespace wfstest;

namespace {

// FSFindFolder's answer: the path, or the error as "error <n>".
std::string Find(SInt16 domain, OSType type, bool create) {
    FSRef ref;
    std::memset(&ref, 0, sizeof ref);
    OSErr err = FSFindFolder(domain, type, create, &ref);
    return err == noErr ? std::string(ref.path) : "error " + std::to_string(err);
}

std::string Error(OSErr err) { return "error " + std::to_string(err); }

}  // namespace

TEST(FSFindFolder, UserDomainFollowsTheUsersVariables) {
    TempDir dir;
    EnvGuard env;
    UmaskGuard mask(022);
    env.set("HOME", dir / "home/");
    env.set("XDG_DATA_HOME", std::nullopt);
    env.set("XDG_RUNTIME_DIR", std::nullopt);
    env.set("TMPDIR", dir.path());

    // Absent and not to be created: an error, and nothing made; else made all the way down.
    EXPECT_EQ(Find(kUserDomain, kApplicationSupportFolderType, false), Error(fnfErr));
    EXPECT_FALSE(std::filesystem::exists(dir / "home"));
    EXPECT_EQ(Find(kUserDomain, kApplicationSupportFolderType, true), dir / "home/.local/share");
    EXPECT_EQ(ModeOf(dir / "home/.local/share"), 0755u);
    EXPECT_EQ(ModeOf(dir / "home"), 0755u);
    EXPECT_EQ(Find(kOnAppropriateDisk, kApplicationSupportFolderType, false), dir / "home/.local/share");
    EXPECT_EQ(Find(kUserDomain, kFrameworksFolderType, true), dir / "home/.local/lib");
    EXPECT_EQ(Find(kUserDomain, kDomainLibraryFolderType, false), dir / "home/.local");

    // A relative XDG_DATA_HOME is ignored. (That an absolute one wins is the install tests'.)
    env.set("XDG_DATA_HOME", "relative/data");
    EXPECT_EQ(Find(kUserDomain, kApplicationSupportFolderType, false), dir / "home/.local/share");

    // Temporary items: the user's runtime folder, for both volume selectors; without one there
    // is none. Never TMPDIR or /tmp, which other users can write to.
    EXPECT_EQ(Find(kUserDomain, kTemporaryFolderType, true), Error(fnfErr));
    env.set("XDG_RUNTIME_DIR", "relative/run");
    EXPECT_EQ(Find(kUserDomain, kTemporaryFolderType, true), Error(fnfErr));
    env.set("XDG_RUNTIME_DIR", dir / "run/");
    for (SInt16 selector : {kUserDomain, kOnSystemDisk, kOnAppropriateDisk}) {
        EXPECT_EQ(Find(selector, kTemporaryFolderType, true), dir / "run");
    }

    // Without HOME, the home folder of the real user's password entry.
    env.set("HOME", std::nullopt);
    struct passwd *entry = ::getpwuid(::getuid());
    ASSERT_NE(entry, nullptr);
    std::string found = Find(kUserDomain, kDomainLibraryFolderType, false);
    EXPECT_TRUE(found == std::string(entry->pw_dir) + "/.local" || found == Error(fnfErr)) << found;
}

TEST(FSFindFolder, LocalAndSystemDomainsFollowTheRoot) {
    TempDir dir;
    EnvGuard env;
    env.set("WFS_FOLDER_ROOT", dir / "root/");
    const std::string root = dir / "root";
    EXPECT_EQ(Find(kLocalDomain, kApplicationSupportFolderType, false), Error(fnfErr));
    const struct {
        SInt16 selector;
        OSType type;
        std::string expected;
    } cases[] = {
        {kLocalDomain, kApplicationSupportFolderType, root + "/usr/local/share"},
        {kLocalDomain, kFrameworksFolderType, root + "/usr/local/lib"},
        {kOnSystemDisk, kApplicationSupportFolderType, root + "/usr/local/share"},
        {kSystemDomain, kApplicationSupportFolderType, root + "/usr/share"},
        {kSystemDomain, kFrameworksFolderType, root + "/usr/lib"},
        {kSystemDomain, kDomainLibraryFolderType, root + "/usr"},
        // Folders a domain does not have, and selectors that are no domain.
        {kNetworkDomain, kApplicationSupportFolderType, Error(fnfErr)},
        {kLocalDomain, kTemporaryFolderType, Error(fnfErr)},
        {kLocalDomain, 0x61626364 /* 'abcd' */, Error(fnfErr)},
        {-1, kApplicationSupportFolderType, Error(nsvErr)},
        {3, kApplicationSupportFolderType, Error(nsvErr)},
    };
    for (const auto &c : cases) EXPECT_EQ(Find(c.selector, c.type, true), c.expected) << c.selector;

    // Something that is not a folder where the folder belongs.
    std::filesystem::remove(root + "/usr/lib");
    WriteFile(root + "/usr/lib", "file");
    EXPECT_EQ(Find(kSystemDomain, kFrameworksFolderType, true), Error(dirNFErr));

    // A relative root is ignored: the real file system.
    env.set("WFS_FOLDER_ROOT", "relative");
    EXPECT_EQ(Find(kSystemDomain, kApplicationSupportFolderType, false), "/usr/share");
}

TEST(FSFindFolder, CreationFailureIsReported) {
    TempDir dir;
    EnvGuard env;
    ASSERT_EQ(::chmod(dir.path().c_str(), 0755), 0);
    std::filesystem::create_directories(dir / "locked");
    ASSERT_EQ(::chmod((dir / "locked").c_str(), 0555), 0);
    env.set("XDG_DATA_HOME", dir / "locked/data");
    RunInChild([] { WFS_CHILD_EXPECT(Find(kUserDomain, kApplicationSupportFolderType, true) == Error(afpAccessDenied)); },
               ChildSetup().AsNobody(::geteuid() == 0));
}
