// Locating, installing and checking the helper tool, on real folders. Every case runs in a fresh
// temporary tree with XDG_DATA_HOME, XDG_RUNTIME_DIR and WFS_FOLDER_ROOT pointing into it, so the user,
// local, system and temporary-items folders are all the test's own. Cases that need root-owned
// files skip without root; cases that change user IDs run in forked children.

#include "MoreSecurityTestSupport.h"

#include <grp.h>

namespace fs = std::filesystem;
using namespace wfs_test;

namespace {

constexpr time_t kSeconds = 1600000000;
constexpr long kNanoseconds = 250000000;
const std::string kBytes = "#!/bin/sh\n# stand-in template of the helper tool\nexit 0\n";

class HelperToolInstall : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(MoreUNIXIgnoreSIGPIPE(), 0);
        ASSERT_EQ(chmod(root_.c_str(), 0755), 0);  // children that drop to nobody walk in
        umask_ = umask(022);
        WriteFile(template_, kBytes, 0755);
        SetTimes(template_, kSeconds, kNanoseconds);
    }
    void TearDown() override { umask(umask_); }

    // A copy of the template as self-repair leaves it: owner root, mode 04555, same size and time.
    static void MakeValidTool(const std::string &path)
    {
        fs::remove_all(path);
        WriteFile(path, kBytes, 04555);
        SetTimes(path, kSeconds, kNanoseconds);
    }

    // The locate-or-install's error and the path of its URL ("" for none).
    std::pair<int, std::string> Locate(CFStringRef subFolder = CFSTR("Host"),
                                       CFStringRef toolName = CFSTR("IOPMSchedulePowerEventTool"))
    {
        wfs::CFRef<CFURLRef> tool;
        const int err = MoreSecCopyHelperToolURLAndCheck(templateURL_.get(), kApplicationSupportFolderType,
                                                         subFolder, toolName, tool.out());
        EXPECT_EQ(err == 0, bool(tool));
        EXPECT_FALSE(tool && CFURLHasDirectoryPath(tool.get()));
        return {err, PathOf(tool.get())};
    }

    // The template's bytes, size and times (to the microsecond), owned by us, and its permission
    // bits without set-ID and sticky bits, less the umask.
    static void ExpectFreshCopy(const std::string &path, mode_t templateMode = 0755)
    {
        struct stat st {};
        ASSERT_EQ(lstat(path.c_str(), &st), 0) << path;
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_uid, geteuid());
        EXPECT_EQ(st.st_mode & 07777, templateMode & 0755);
        EXPECT_EQ(ReadFile(path), kBytes);
        EXPECT_EQ(st.st_mtim.tv_sec, kSeconds);
        EXPECT_EQ(st.st_mtim.tv_nsec / 1000, kNanoseconds / 1000);
    }

    TempDir dir_;
    const std::string root_ = dir_.path(), data_ = root_ + "/data", tmp_ = root_ + "/tmp",
                      local_ = root_ + "/root/usr/local/share", system_ = root_ + "/root/usr/share",
                      template_ = root_ + "/bundle/IOPMSchedulePowerEventToolTemplate",
                      tool_ = data_ + "/Host/IOPMSchedulePowerEventTool";
    ScopedEnv env_[4] = {{"HOME", root_ + "/home"}, {"XDG_DATA_HOME", data_}, {"XDG_RUNTIME_DIR", tmp_},
                         {"WFS_FOLDER_ROOT", root_ + "/root"}};
    wfs::CFRef<CFURLRef> templateURL_ = FileURL(template_);
    mode_t umask_ = 022;
};

TEST_F(HelperToolInstall, ValidToolsAreAnsweredInSearchOrderWithoutTouchingAnything)
{
    WFS_REQUIRE_ROOT();
    // In the user's folder (only whole seconds of the time count), then through a symbolic link.
    MakeValidTool(tool_);
    SetTimes(tool_, kSeconds, kNanoseconds + 500000000);
    MakeValidTool(root_ + "/target");
    for (int round = 0; round < 2; round++) {
        const auto before = TreeSnapshot(root_);
        EXPECT_EQ(Locate(), std::make_pair(0, tool_));
        EXPECT_EQ(TreeSnapshot(root_), before);  // no entry made, removed, replaced or changed
        fs::remove(tool_);
        fs::create_symlink(root_ + "/target", tool_);
    }

    // An invalid copy in the user's folder hides none of the later places.
    ASSERT_EQ(chmod((root_ + "/target").c_str(), 04755), 0);
    for (const std::string &folder : {local_, system_, tmp_}) {
        MakeValidTool(folder + "/Host/IOPMSchedulePowerEventTool");
    }
    for (const std::string &folder : {local_, system_, tmp_}) {
        const auto before = TreeSnapshot(root_);
        EXPECT_EQ(Locate(), std::make_pair(0, folder + "/Host/IOPMSchedulePowerEventTool"));
        EXPECT_EQ(TreeSnapshot(root_), before);
        fs::remove(folder + "/Host/IOPMSchedulePowerEventTool");
    }
    // Nothing valid anywhere: the link is replaced by a fresh copy, its target left alone.
    EXPECT_EQ(Locate(), std::make_pair(0, tool_));
    ExpectFreshCopy(tool_);
    EXPECT_EQ(fs::status(root_ + "/target").permissions(), fs::perms(04755));
}

TEST_F(HelperToolInstall, InvalidToolsAreReplacedByAFreshCopy)
{
    WFS_REQUIRE_ROOT();
    ASSERT_EQ(chmod(template_.c_str(), 07755), 0);  // set-ID and sticky bits never reach the copy
    std::vector<std::pair<std::string, std::function<void()>>> spoilers = {
        {"a second newer", [&] { SetTimes(tool_, kSeconds + 1, kNanoseconds); }},
        {"a second older", [&] { SetTimes(tool_, kSeconds - 1, kNanoseconds); }},
        {"owned by nobody", [&] { ASSERT_EQ(chown(tool_.c_str(), 65534, 0) | chmod(tool_.c_str(), 04555), 0); }},
        {"a byte longer",
         [&] {
             ASSERT_EQ(truncate(tool_.c_str(), static_cast<off_t>(kBytes.size() + 1)), 0);
             SetTimes(tool_, kSeconds, 0);
         }},
    };
    for (mode_t mode : {0555, 04554, 04755, 06555, 05555, 04575, 04557, 04455}) {
        spoilers.emplace_back("mode " + std::to_string(mode), [&, mode] { ASSERT_EQ(chmod(tool_.c_str(), mode), 0); });
    }
    for (const auto &[what, spoil] : spoilers) {
        SCOPED_TRACE(what);
        MakeValidTool(tool_);
        spoil();
        EXPECT_EQ(Locate(), std::make_pair(0, tool_));
        ExpectFreshCopy(tool_, 07755);
    }

    // Only the file type differs: a set-user-ID FIFO beside an empty template is not a tool.
    WriteFile(template_, "", 0755);
    SetTimes(template_, kSeconds, kNanoseconds);
    auto toolURL = FileURL(tool_);
    for (bool fifo : {false, true}) {
        fs::remove(tool_);
        if (fifo) ASSERT_EQ(mkfifo(tool_.c_str(), 0555), 0);
        else WriteFile(tool_, "", 0555);
        ASSERT_EQ(chmod(tool_.c_str(), 04555), 0);
        SetTimes(tool_, kSeconds, kNanoseconds);
        Boolean looksOK = fifo;
        EXPECT_EQ(CheckHelperTool(templateURL_.get(), toolURL.get(), &looksOK), 0);
        EXPECT_EQ(looksOK, !fifo);
    }
    // A template that cannot be examined is an error, and the verdict is left alone.
    fs::remove(template_);
    Boolean looksOK = 7;
    EXPECT_EQ(CheckHelperTool(templateURL_.get(), toolURL.get(), &looksOK), ENOENT);
    EXPECT_EQ(looksOK, 7);
}

TEST_F(HelperToolInstall, ToolsAreValidOnlyWhereNoOneElseCouldChangeThem)
{
    WFS_REQUIRE_ROOT();
    constexpr uid_t kOther = 61000;
    const std::string host = data_ + "/Host";
    const struct {
        const char *what;
        std::function<int()> spoil;
        bool valid;
    } cases[] = {
        {"as made", [] { return 0; }, true},
        {"its folder group-writable", [&] { return chmod(host.c_str(), 0775); }, false},
        {"its folder writable by others", [&] { return chmod(host.c_str(), 0757); }, false},
        {"a folder above writable by others", [&] { return chmod(data_.c_str(), 0777); }, false},
        {"its folder another user's", [&] { return chown(host.c_str(), kOther, kOther); }, false},
        // Others may add to a sticky folder but not touch what is ours in it, as in /tmp.
        {"below a sticky shared folder", [&] { return chmod(data_.c_str(), 01777); }, true},
        {"below a sticky shared folder, in another user's",
         [&] { return chmod(data_.c_str(), 01777) | chown(host.c_str(), kOther, kOther); }, false},
        {"with a second name", [&] { return link(tool_.c_str(), (root_ + "/second").c_str()); }, false},
    };
    for (const auto &c : cases) {
        fs::remove(root_ + "/second");
        fs::create_directories(host);
        ASSERT_EQ(chmod(data_.c_str(), 0755) | chmod(host.c_str(), 0755) | chown(host.c_str(), 0, 0), 0);
        MakeValidTool(tool_);
        ASSERT_EQ(c.spoil(), 0) << c.what;
        Boolean looksOK = !c.valid;
        EXPECT_EQ(CheckHelperTool(templateURL_.get(), FileURL(tool_).get(), &looksOK), 0) << c.what;
        EXPECT_EQ(looksOK, c.valid) << c.what;
    }

    // Installing into a folder that others could change would give a tool that is never valid.
    ASSERT_EQ(chmod(data_.c_str(), 0777), 0);
    EXPECT_EQ(Locate(), std::make_pair(static_cast<int>(kMoreSecUnsuitableFolderErr), std::string()));
    // The tool's own folder is ours, and is tightened when the umask left it group-writable.
    ASSERT_EQ(chmod(data_.c_str(), 0755), 0);
    fs::remove_all(host);
    umask(002);
    EXPECT_EQ(Locate(), std::make_pair(0, tool_));
    EXPECT_EQ(ModeOf(host), 0755u);
}

// The attack this guards against: another user's repaired copy, valid in every other way, planted
// in a folder of theirs inside a shared one that the victim's temporary-items folder names.
TEST_F(HelperToolInstall, APlantedCopyInASharedFolderIsNeverUsedOrStarted)
{
    WFS_REQUIRE_ROOT();
    constexpr uid_t kAttacker = 61000;
    const std::string shared = root_ + "/shared", planted = shared + "/Host/IOPMSchedulePowerEventTool";
    fs::create_directories(shared + "/Host");
    ASSERT_EQ(chmod(shared.c_str(), 01777) | chown((shared + "/Host").c_str(), kAttacker, kAttacker), 0);
    MakeValidTool(planted);
    fs::create_directories(data_);
    ASSERT_EQ(chown(data_.c_str(), kNobodyID, kNobodyID), 0);
    const wfstest::Outcome victim = RunInChild(
        [&] {
            const auto [err, found] = Locate();
            WFS_CHILD_EXPECT_EQ(err, 0);
            ChildReport("found=%s", found.c_str());
            // Even named directly, the planted copy is not started.
            WFS_CHILD_EXPECT(MoreUNIXIgnoreSIGPIPE() == 0);
            wfs::CFRef<CFDictionaryRef> response;
            const auto request = Request("GetPrivileges");
            WFS_CHILD_EXPECT_EQ(ExecuteRequest(planted, OwnAuthorization().ref, request.get(), &response), EPERM);
            WFS_CHILD_EXPECT(!response);
        },
        ChildSetup().AsNobody().Env("XDG_RUNTIME_DIR", shared));
    EXPECT_EQ(victim.Lines()["found"], tool_);  // a fresh copy of the victim's own
    EXPECT_EQ(ReadFile(planted), kBytes);
}

TEST_F(HelperToolInstall, InstallsIntoTheUserFolderAndReplacesWhatIsInTheWay)
{
    // An empty folder goes with rmdir; a dangling link goes, and nothing is written through it.
    fs::create_directories(data_ + "/Host");
    for (bool folder : {true, false}) {
        fs::remove(tool_);
        if (folder) fs::create_directory(tool_);
        else fs::create_symlink(root_ + "/elsewhere", tool_);
        EXPECT_EQ(Locate(), std::make_pair(0, tool_));
        ExpectFreshCopy(tool_);
        EXPECT_FALSE(fs::exists(fs::symlink_status(root_ + "/elsewhere")));
    }
    // A folder that holds something stops the install with rmdir's errno.
    fs::remove(tool_);
    fs::create_directories(tool_ + "/inside");
    EXPECT_EQ(Locate(), std::make_pair(static_cast<int>(ENOTEMPTY), std::string()));
    EXPECT_TRUE(fs::is_directory(tool_ + "/inside"));

    // Without a sub-folder name, straight into the user's folder.
    EXPECT_EQ(Locate(nullptr), std::make_pair(0, data_ + "/IOPMSchedulePowerEventTool"));
    ExpectFreshCopy(data_ + "/IOPMSchedulePowerEventTool");
    EXPECT_EQ(EntryCount(data_), 2u);
}

TEST_F(HelperToolInstall, TheToolsPlace)
{
    wfs::CFRef<CFURLRef> tool;
    auto place = [&](CFStringRef subFolder, Boolean create) {
        tool.reset();
        return CopyHelperToolURL(kUserDomain, kApplicationSupportFolderType, subFolder, CFSTR("Tool"), create,
                                 tool.out());
    };
    EXPECT_EQ(place(CFSTR("Host"), false), fnfErr);
    fs::create_directories(data_);
    EXPECT_EQ(place(CFSTR("Host"), false), fnfErr);
    EXPECT_FALSE(tool);
    EXPECT_EQ(EntryCount(data_), 0u);  // nothing made without being asked

    EXPECT_EQ(place(CFSTR("Host"), true), noErr);
    EXPECT_EQ(PathOf(tool.get()), data_ + "/Host/Tool");
    EXPECT_FALSE(CFURLHasDirectoryPath(tool.get()));
    EXPECT_FALSE(fs::exists(data_ + "/Host/Tool"));  // the place, not the file
    EXPECT_EQ(place(Str(std::string(255, 'n')).get(), true), noErr);

    // A tool path longer than a path buffer holds is a Core Foundation error.
    EXPECT_EQ(Locate(CFSTR("Host"), Str(std::string(PATH_MAX, 't')).get()),
              std::make_pair(static_cast<int>(coreFoundationUnknownErr), std::string()));
    EXPECT_EQ(EntryCount(data_ + "/Host"), 0u);

    // A folder that has gone: statfs's errno, and no answer.
    fs::create_directories(root_ + "/gone");
    FSRef gone = RefOf(root_ + "/gone");
    fs::remove(root_ + "/gone");
    Boolean ignoring = 7;
    EXPECT_EQ(MoreSecIsFolderIgnoringSetUID(&gone, &ignoring), ENOENT);
    EXPECT_EQ(MoreSecIsFolderIgnoringOwnership(&gone, &ignoring), fnfErr);
    EXPECT_EQ(ignoring, 7);
}

TEST_F(HelperToolInstall, OwnershipTestChangesTheUnknownGroupToTellVolumesApart)
{
    WFS_REQUIRE_ROOT();
    const std::string shared = root_ + "/shared";
    fs::create_directories(shared);
    ASSERT_EQ(chmod(shared.c_str(), 0777), 0);
    FSRef folder = RefOf(shared), rootOwned = RefOf(root_);
    // Root running with group 99: its file carries 99, the change to 20 works, so ownership counts.
    // Nobody with group 99 may not give a file to group 20: the failure is answered with no
    // verdict; in a folder nobody cannot write to, the create itself fails. The file always goes.
    for (bool nobody : {false, true}) {
        RunInChild([&] {
            WFS_CHILD_EXPECT(setgroups(0, nullptr) == 0 && setgid(99) == 0 && (!nobody || setuid(65534) == 0));
            Boolean ignoring = 7;
            WFS_CHILD_EXPECT_EQ(MoreSecIsFolderIgnoringOwnership(&folder, &ignoring), nobody ? permErr : 0);
            WFS_CHILD_EXPECT_EQ(ignoring, nobody ? 7 : 0);
            WFS_CHILD_EXPECT_EQ(EntryCount(shared), 0);
            if (nobody) WFS_CHILD_EXPECT_EQ(MoreSecIsFolderIgnoringOwnership(&rootOwned, &ignoring), afpAccessDenied);
        });
    }
}

}  // namespace
