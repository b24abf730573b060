// Locating, installing and checking the helper tool, on real folders. Every case runs in a fresh
// temporary tree with HOME, XDG_DATA_HOME, TMPDIR and WFS_FOLDER_ROOT pointing into it, so the
// user, local, system and temporary-items folders are all the test's own. Cases that need
// root-owned files skip without root; cases that change user IDs or mounts run in forked children.

#include "MoreCFQ.h"
#include "MoreSecurityInternal.h"
#include "MoreUNIX.h"

#include <Support/CFRef.h>
#include <Support/UniqueFd.h>

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <grp.h>
#include <limits.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/inotify.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr uid_t kNobody = 65534;
constexpr gid_t kUnknownGroup = 99;
constexpr OSType kAppSupport = kApplicationSupportFolderType;
constexpr time_t kTemplateSeconds = 1600000000;
constexpr long kTemplateNanoseconds = 250000000;
const char kTemplateBytes[] = "#!/bin/sh\n# stand-in template of the helper tool\nexit 0\n";

// ---- Files --------------------------------------------------------------------------------------

void WriteFile(const std::string &path, const std::string &bytes, mode_t mode)
{
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        ASSERT_TRUE(out.good()) << path;
        out << bytes;
    }
    ASSERT_EQ(chmod(path.c_str(), mode), 0) << path;
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void SetModificationTime(const std::string &path, time_t seconds, long nanoseconds)
{
    struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

struct stat StatOf(const std::string &path)
{
    struct stat st;
    memset(&st, 0, sizeof st);
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path << ": " << strerror(errno);
    return st;
}

// Everything a change to the tree would show: which entries exist and, for each, its inode, type
// and mode, owner, size and all three times.
using Entry = std::tuple<ino_t, mode_t, uid_t, off_t, time_t, long, time_t, long, time_t, long>;
std::map<std::string, Entry> Snapshot(const std::string &root)
{
    std::map<std::string, Entry> entries;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        struct stat st = StatOf(it->path());
        // Listing a folder (as this very walk does) may update its access time; leave that out.
        const bool folder = S_ISDIR(st.st_mode);
        entries[it->path()] = Entry(st.st_ino, st.st_mode, st.st_uid, st.st_size, folder ? 0 : st.st_atim.tv_sec,
                                    folder ? 0 : st.st_atim.tv_nsec, st.st_mtim.tv_sec, st.st_mtim.tv_nsec,
                                    st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
    }
    return entries;
}

size_t EntryCount(const std::string &folder)
{
    size_t n = 0;
    for (auto it = fs::directory_iterator(folder); it != fs::directory_iterator(); ++it) n++;
    return n;
}

std::string PathOf(CFURLRef url)
{
    char path[PATH_MAX];
    if (url == nullptr || !CFURLGetFileSystemRepresentation(url, true, reinterpret_cast<UInt8 *>(path), sizeof path)) {
        return "";
    }
    return path;
}

wfs::CFRef<CFURLRef> URLFor(const std::string &path, bool isDirectory = false)
{
    return wfs::CFRef<CFURLRef>(CFURLCreateFromFileSystemRepresentation(
        kCFAllocatorDefault, reinterpret_cast<const UInt8 *>(path.data()), static_cast<CFIndex>(path.size()),
        isDirectory));
}

wfs::CFRef<CFStringRef> StringFor(const std::string &text)
{
    return wfs::CFRef<CFStringRef>(CFStringCreateWithCString(kCFAllocatorDefault, text.c_str(), kCFStringEncodingUTF8));
}

FSRef RefFor(const std::string &path)
{
    FSRef ref;
    EXPECT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8 *>(path.c_str()), &ref, nullptr), noErr) << path;
    return ref;
}

// ---- Forked children ----------------------------------------------------------------------------

// What a child reports back through a pipe. `skip` holds a reason when the child could not set
// up what the case needs (a refused unshare or mount).
struct ChildOutcome {
    int err;
    int err2;
    int answer;
    int answer2;
    long entries;
    char skip[160];
};

template <typename Body>
ChildOutcome RunInChild(Body body)
{
    ChildOutcome outcome;
    memset(&outcome, 0, sizeof outcome);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << strerror(errno);
        return outcome;
    }
    wfs::UniqueFd readEnd(fds[0]);
    wfs::UniqueFd writeEnd(fds[1]);
    pid_t pid = fork();
    if (pid < 0) {
        ADD_FAILURE() << "fork: " << strerror(errno);
        return outcome;
    }
    if (pid == 0) {
        ChildOutcome mine;
        memset(&mine, 0, sizeof mine);
        body(mine);
        _exit(write(writeEnd.get(), &mine, sizeof mine) == sizeof mine ? 0 : 1);
    }
    writeEnd.reset();
    size_t got = 0;
    MoreUNIXRead(readEnd.get(), &outcome, sizeof outcome, &got);
    int status = 0;
    EXPECT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child status " << status;
    EXPECT_EQ(got, sizeof outcome);
    return outcome;
}

// ---- The temporary tree -------------------------------------------------------------------------

class SavedVariable {
public:
    explicit SavedVariable(const char *name) : name_(name)
    {
        if (const char *value = getenv(name)) value_ = value;
    }
    ~SavedVariable()
    {
        if (value_) setenv(name_, value_->c_str(), 1);
        else unsetenv(name_);
    }

private:
    const char *name_;
    std::optional<std::string> value_;
};

class HelperToolInstallTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(MoreUNIXIgnoreSIGPIPE(), 0);
        oldUmask_ = umask(022);
        std::string pattern = (fs::temp_directory_path() / "wfs-install-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        root_ = pattern;
        // Children that drop to nobody must be able to walk into the tree.
        ASSERT_EQ(chmod(root_.c_str(), 0755), 0);
        home_ = root_ + "/home";
        data_ = root_ + "/data";
        tmp_ = root_ + "/tmp";
        folderRoot_ = root_ + "/root";
        local_ = folderRoot_ + "/usr/local/share";
        system_ = folderRoot_ + "/usr/share";
        for (const std::string &dir : {home_, tmp_, folderRoot_, root_ + "/bundle"}) fs::create_directories(dir);
        setenv("HOME", home_.c_str(), 1);
        setenv("XDG_DATA_HOME", data_.c_str(), 1);
        setenv("TMPDIR", tmp_.c_str(), 1);
        setenv("WFS_FOLDER_ROOT", folderRoot_.c_str(), 1);

        templatePath_ = root_ + "/bundle/IOPMSchedulePowerEventToolTemplate";
        WriteFile(templatePath_, kTemplateBytes, 0755);
        SetModificationTime(templatePath_, kTemplateSeconds, kTemplateNanoseconds);
        templateURL_ = URLFor(templatePath_);
        ASSERT_TRUE(templateURL_);
    }

    void TearDown() override
    {
        std::error_code ignored;
        fs::remove_all(root_, ignored);
        umask(oldUmask_);
    }

    // The tool's place in a domain's Application Support folder, with the sub-folder "Host".
    std::string ToolIn(const std::string &folder) const { return folder + "/Host/IOPMSchedulePowerEventTool"; }

    // A copy of the template as self-repair leaves it: owner root, mode 04555, same size and time.
    void MakeValidTool(const std::string &path)
    {
        fs::create_directories(fs::path(path).parent_path());
        fs::remove(path);  // a new file, owned by us, whatever was there
        WriteFile(path, kTemplateBytes, 04555);
        SetModificationTime(path, kTemplateSeconds, kTemplateNanoseconds);
    }

    // Runs the locate-or-install and answers its error and the path of the URL ("" for none).
    std::pair<int, std::string> Locate(CFStringRef subFolder = CFSTR("Host"),
                                       CFStringRef toolName = CFSTR("IOPMSchedulePowerEventTool"))
    {
        CFURLRef tool = nullptr;
        int err = MoreSecCopyHelperToolURLAndCheck(templateURL_.get(), kAppSupport, subFolder, toolName, &tool);
        wfs::CFRef<CFURLRef> owned(tool);
        EXPECT_EQ(err == 0, tool != nullptr);
        if (tool != nullptr) {
            EXPECT_FALSE(CFURLHasDirectoryPath(tool));
        }
        return {err, PathOf(tool)};
    }

    // A fresh copy: the template's bytes, size and times to the microsecond, owned by us, the
    // template's permission bits without set-ID and sticky bits (less the umask).
    void ExpectFreshCopy(const std::string &path, mode_t templateMode)
    {
        struct stat st = StatOf(path);
        EXPECT_TRUE(S_ISREG(st.st_mode));
        EXPECT_EQ(st.st_uid, geteuid());
        EXPECT_EQ(st.st_mode & 07777, templateMode & 0777 & ~022);
        EXPECT_EQ(ReadFile(path), kTemplateBytes);
        EXPECT_EQ(st.st_mtim.tv_sec, kTemplateSeconds);
        EXPECT_EQ(st.st_mtim.tv_nsec / 1000, kTemplateNanoseconds / 1000);
    }

    SavedVariable savedHome_{"HOME"}, savedData_{"XDG_DATA_HOME"}, savedTmp_{"TMPDIR"},
        savedRoot_{"WFS_FOLDER_ROOT"};
    mode_t oldUmask_ = 022;
    std::string root_, home_, data_, tmp_, folderRoot_, local_, system_, templatePath_;
    wfs::CFRef<CFURLRef> templateURL_;
};

#define REQUIRE_ROOT()                                                  \
    do {                                                                \
        if (geteuid() != 0) GTEST_SKIP() << "needs root-owned files";   \
    } while (0)

// ---- Searching ----------------------------------------------------------------------------------

TEST_F(HelperToolInstallTest, ValidUserToolIsAnsweredWithoutTouchingAnything)
{
    REQUIRE_ROOT();
    MakeValidTool(ToolIn(data_));
    // Only the seconds of the modification time count.
    SetModificationTime(ToolIn(data_), kTemplateSeconds, kTemplateNanoseconds + 500000000);
    const auto before = Snapshot(root_);

    auto [err, path] = Locate();
    EXPECT_EQ(err, 0);
    EXPECT_EQ(path, ToolIn(data_));
    EXPECT_EQ(Snapshot(root_), before);  // no entry made, removed, replaced or changed
}

TEST_F(HelperToolInstallTest, EarlierValidPlacesWinAndInvalidOnesHideNothing)
{
    REQUIRE_ROOT();
    MakeValidTool(ToolIn(data_));
    ASSERT_EQ(chmod(ToolIn(data_).c_str(), 04755), 0);  // owner may write: not valid
    MakeValidTool(ToolIn(local_));
    MakeValidTool(ToolIn(system_));
    MakeValidTool(ToolIn(tmp_));

    auto before = Snapshot(root_);
    EXPECT_EQ(Locate(), std::make_pair(0, ToolIn(local_)));
    EXPECT_EQ(Snapshot(root_), before);

    fs::remove(ToolIn(local_));
    before = Snapshot(root_);
    EXPECT_EQ(Locate(), std::make_pair(0, ToolIn(system_)));
    EXPECT_EQ(Snapshot(root_), before);

    fs::remove(ToolIn(system_));
    before = Snapshot(root_);
    EXPECT_EQ(Locate(), std::make_pair(0, ToolIn(tmp_)));
    EXPECT_EQ(Snapshot(root_), before);

    // With nothing valid left anywhere, the user's invalid copy is replaced by a fresh one.
    fs::remove(ToolIn(tmp_));
    EXPECT_EQ(Locate(), std::make_pair(0, ToolIn(data_)));
    ExpectFreshCopy(ToolIn(data_), 0755);
}

// ---- Checking -----------------------------------------------------------------------------------

TEST_F(HelperToolInstallTest, CheckHelperToolAppliesTheValidityRule)
{
    REQUIRE_ROOT();
    const std::string tool = root_ + "/tool";
    auto toolURL = URLFor(tool);
    auto check = [&](Boolean *looksOK) { return CheckHelperTool(templateURL_.get(), toolURL.get(), looksOK); };

    Boolean looksOK = true;
    EXPECT_EQ(check(&looksOK), 0);  // no tool: no error, not valid
    EXPECT_FALSE(looksOK);

    MakeValidTool(tool);
    EXPECT_EQ(check(&looksOK), 0);
    EXPECT_TRUE(looksOK);

    // A symbolic link to a valid tool is followed.
    const std::string link = root_ + "/link";
    ASSERT_EQ(symlink(tool.c_str(), link.c_str()), 0);
    auto linkURL = URLFor(link);
    looksOK = false;
    EXPECT_EQ(CheckHelperTool(templateURL_.get(), linkURL.get(), &looksOK), 0);
    EXPECT_TRUE(looksOK);

    for (mode_t mode : {0100555, 0104554, 0104755, 0106555, 0105555, 0104575, 0104557, 0104455}) {
        MakeValidTool(tool);
        ASSERT_EQ(chmod(tool.c_str(), mode & 07777), 0);
        looksOK = true;
        EXPECT_EQ(check(&looksOK), 0);
        EXPECT_FALSE(looksOK) << std::oct << mode;
    }

    MakeValidTool(tool);
    ASSERT_EQ(chown(tool.c_str(), kNobody, 0), 0);
    ASSERT_EQ(chmod(tool.c_str(), 04555), 0);  // chown cleared the set-user-ID bit
    EXPECT_EQ(check(&looksOK), 0);
    EXPECT_FALSE(looksOK);  // owned by someone else

    MakeValidTool(tool);
    SetModificationTime(tool, kTemplateSeconds + 1, kTemplateNanoseconds);
    EXPECT_EQ(check(&looksOK), 0);
    EXPECT_FALSE(looksOK);
    SetModificationTime(tool, kTemplateSeconds - 1, kTemplateNanoseconds);
    EXPECT_EQ(check(&looksOK), 0);
    EXPECT_FALSE(looksOK);
    SetModificationTime(tool, kTemplateSeconds, 999999999);
    EXPECT_EQ(check(&looksOK), 0);
    EXPECT_TRUE(looksOK);

    MakeValidTool(tool);
    ASSERT_EQ(truncate(tool.c_str(), sizeof(kTemplateBytes)), 0);  // one byte longer
    SetModificationTime(tool, kTemplateSeconds, kTemplateNanoseconds);
    EXPECT_EQ(check(&looksOK), 0);
    EXPECT_FALSE(looksOK);

    // A directory with the right owner and times is not a regular file.
    fs::remove(tool);
    ASSERT_EQ(mkdir(tool.c_str(), 0555), 0);
    EXPECT_EQ(check(&looksOK), 0);
    EXPECT_FALSE(looksOK);

    // Only the file type differs: an empty template, and a set-user-ID FIFO of size 0 beside an
    // empty set-user-ID regular file, both with the template's time.
    WriteFile(templatePath_, "", 0755);
    SetModificationTime(templatePath_, kTemplateSeconds, kTemplateNanoseconds);
    fs::remove(tool);
    WriteFile(tool, "", 04555);
    SetModificationTime(tool, kTemplateSeconds, kTemplateNanoseconds);
    EXPECT_EQ(check(&looksOK), 0);
    EXPECT_TRUE(looksOK);
    fs::remove(tool);
    ASSERT_EQ(mkfifo(tool.c_str(), 0555), 0);
    ASSERT_EQ(chmod(tool.c_str(), 04555), 0);
    SetModificationTime(tool, kTemplateSeconds, kTemplateNanoseconds);
    EXPECT_EQ(check(&looksOK), 0);
    EXPECT_FALSE(looksOK);

    // A template that cannot be examined is an error, and the verdict is left alone.
    fs::remove(templatePath_);
    looksOK = 7;
    EXPECT_EQ(check(&looksOK), ENOENT);
    EXPECT_EQ(looksOK, 7);
}

// ---- Installing ---------------------------------------------------------------------------------

TEST_F(HelperToolInstallTest, AbsentToolIsInstalledAndAFreshCopyIsReplacedAgain)
{
    ASSERT_FALSE(fs::exists(data_));
    auto [err, path] = Locate();
    ASSERT_EQ(err, 0);
    EXPECT_EQ(path, ToolIn(data_));
    ExpectFreshCopy(path, 0755);
    // The ownership test's temporary file is gone; only the sub-folder was added.
    EXPECT_EQ(EntryCount(data_), 1u);
    EXPECT_EQ(EntryCount(data_ + "/Host"), 1u);

    // A fresh copy is not valid, so the next call copies the template over it again.
    WriteFile(path, "tampered with", 0700);
    auto again = Locate();
    EXPECT_EQ(again, std::make_pair(0, ToolIn(data_)));
    ExpectFreshCopy(path, 0755);
}

TEST_F(HelperToolInstallTest, StaleOrUnprivilegedToolIsReplacedByAFreshCopy)
{
    REQUIRE_ROOT();
    // Set-ID and sticky bits of the template never reach the copy.
    ASSERT_EQ(chmod(templatePath_.c_str(), 07755), 0);
    const std::string tool = ToolIn(data_);
    const std::vector<std::pair<const char *, std::function<void()>>> spoilers = {
        {"one second newer", [&] { SetModificationTime(tool, kTemplateSeconds + 1, kTemplateNanoseconds); }},
        {"owner may write", [&] { ASSERT_EQ(chmod(tool.c_str(), 04755), 0); }},
        {"owned by nobody",
         [&] {
             ASSERT_EQ(chown(tool.c_str(), kNobody, kNobody), 0);
             ASSERT_EQ(chmod(tool.c_str(), 04555), 0);
         }},
        {"another size",
         [&] {
             WriteFile(tool, std::string(kTemplateBytes) + "#", 04555);
             SetModificationTime(tool, kTemplateSeconds, kTemplateNanoseconds);
         }},
    };
    for (const auto &[what, spoil] : spoilers) {
        SCOPED_TRACE(what);
        MakeValidTool(tool);
        spoil();
        EXPECT_EQ(Locate(), std::make_pair(0, tool));
        ExpectFreshCopy(tool, 07755);
    }
}

TEST_F(HelperToolInstallTest, DirectoryAtTheToolsPlace)
{
    const std::string tool = ToolIn(data_);
    fs::create_directories(tool);
    EXPECT_EQ(Locate(), std::make_pair(0, tool));
    ExpectFreshCopy(tool, 0755);

    fs::remove(tool);
    fs::create_directories(tool + "/inside");
    EXPECT_EQ(Locate(), std::make_pair(static_cast<int>(ENOTEMPTY), std::string()));
    EXPECT_TRUE(fs::is_directory(tool + "/inside"));
}

TEST_F(HelperToolInstallTest, DanglingLinkAtTheToolsPlaceIsReplaced)
{
    const std::string tool = ToolIn(data_);
    const std::string target = root_ + "/elsewhere";
    fs::create_directories(fs::path(tool).parent_path());
    ASSERT_EQ(symlink(target.c_str(), tool.c_str()), 0);
    EXPECT_EQ(Locate(), std::make_pair(0, tool));
    ExpectFreshCopy(tool, 0755);
    EXPECT_FALSE(fs::exists(fs::symlink_status(target)));  // nothing written through the link
}

TEST_F(HelperToolInstallTest, NoSubFolderInstallsStraightIntoTheUserFolder)
{
    auto [err, path] = Locate(nullptr);
    ASSERT_EQ(err, 0);
    EXPECT_EQ(path, data_ + "/IOPMSchedulePowerEventTool");
    ExpectFreshCopy(path, 0755);
    EXPECT_EQ(EntryCount(data_), 1u);
}

TEST_F(HelperToolInstallTest, OverlongToolPathIsACoreFoundationError)
{
    auto longName = StringFor(std::string(PATH_MAX, 't'));
    auto [err, path] = Locate(CFSTR("Host"), longName.get());
    EXPECT_EQ(err, coreFoundationUnknownErr);
    EXPECT_EQ(path, "");
    // The folders stay once made; nothing else was created in them.
    EXPECT_EQ(EntryCount(data_ + "/Host"), 0u);
}

TEST_F(HelperToolInstallTest, MissingTemplate)
{
    // Through a bundle that lacks it: nothing at all is touched.
    const std::string bundle = root_ + "/Empty.plugin";
    fs::create_directories(bundle + "/Contents/Linux");
    auto bundleURL = URLFor(bundle, true);
    wfs::CFRef<CFBundleRef> plugin(CFBundleCreate(kCFAllocatorDefault, bundleURL.get()));
    ASSERT_TRUE(plugin);
    const auto before = Snapshot(root_);
    CFURLRef tool = nullptr;
    EXPECT_EQ(MoreSecCopyHelperToolURLAndCheckBundled(plugin.get(), CFSTR("IOPMSchedulePowerEventToolTemplate"),
                                                      kAppSupport, CFSTR("Host"), CFSTR("IOPMSchedulePowerEventTool"),
                                                      &tool),
              coreFoundationUnknownErr);
    EXPECT_EQ(tool, nullptr);
    EXPECT_EQ(Snapshot(root_), before);
    EXPECT_FALSE(fs::exists(data_));

    // Given as a URL to a file that is not there: the search finds nothing, and the install stops
    // at examining the template, after making the folders.
    templateURL_ = URLFor(root_ + "/no-such-template");
    EXPECT_EQ(Locate(), std::make_pair(static_cast<int>(ENOENT), std::string()));
    EXPECT_TRUE(fs::is_directory(data_ + "/Host"));
    EXPECT_EQ(EntryCount(data_ + "/Host"), 0u);
}

TEST_F(HelperToolInstallTest, TemplateIsFoundInsideTheBundle)
{
    const std::string bundle = root_ + "/X.plugin";
    fs::create_directories(bundle + "/Contents/Linux");
    const std::string templateInBundle = bundle + "/Contents/Linux/IOPMSchedulePowerEventToolTemplate";
    fs::copy_file(templatePath_, templateInBundle);
    SetModificationTime(templateInBundle, kTemplateSeconds, kTemplateNanoseconds);
    auto bundleURL = URLFor(bundle, true);
    wfs::CFRef<CFBundleRef> plugin(CFBundleCreate(kCFAllocatorDefault, bundleURL.get()));
    ASSERT_TRUE(plugin);

    CFURLRef tool = nullptr;
    ASSERT_EQ(MoreSecCopyHelperToolURLAndCheckBundled(plugin.get(), CFSTR("IOPMSchedulePowerEventToolTemplate"),
                                                      kAppSupport, CFSTR("Host"), CFSTR("IOPMSchedulePowerEventTool"),
                                                      &tool),
              0);
    wfs::CFRef<CFURLRef> owned(tool);
    EXPECT_EQ(PathOf(tool), ToolIn(data_));
    ExpectFreshCopy(ToolIn(data_), 0755);
}

// ---- The tool's place ---------------------------------------------------------------------------

TEST_F(HelperToolInstallTest, CopyHelperToolURLCreatesOnlyWhenAsked)
{
    CFURLRef tool = nullptr;
    EXPECT_EQ(CopyHelperToolURL(kUserDomain, kAppSupport, CFSTR("Host"), CFSTR("Tool"), false, &tool), fnfErr);
    EXPECT_EQ(tool, nullptr);
    EXPECT_FALSE(fs::exists(data_));

    fs::create_directories(data_);
    EXPECT_EQ(CopyHelperToolURL(kUserDomain, kAppSupport, CFSTR("Host"), CFSTR("Tool"), false, &tool), fnfErr);
    EXPECT_EQ(tool, nullptr);
    EXPECT_FALSE(fs::exists(data_ + "/Host"));

    EXPECT_EQ(CopyHelperToolURL(kNetworkDomain, kAppSupport, CFSTR("Host"), CFSTR("Tool"), true, &tool), fnfErr);
    EXPECT_EQ(tool, nullptr);

    // An empty sub-folder name cannot name a folder, even when creating.
    EXPECT_EQ(CopyHelperToolURL(kUserDomain, kAppSupport, CFSTR(""), CFSTR("Tool"), true, &tool), bdNamErr);
    EXPECT_EQ(tool, nullptr);

    fs::remove(data_);
    ASSERT_EQ(CopyHelperToolURL(kUserDomain, kAppSupport, CFSTR("Host"), CFSTR("Tool"), true, &tool), noErr);
    wfs::CFRef<CFURLRef> owned(tool);
    EXPECT_EQ(PathOf(tool), data_ + "/Host/Tool");
    EXPECT_FALSE(CFURLHasDirectoryPath(tool));
    EXPECT_TRUE(fs::is_directory(data_ + "/Host"));
    EXPECT_FALSE(fs::exists(data_ + "/Host/Tool"));  // the place, not the file

    // A name of 255 UTF-16 units is the longest a sub-folder may have.
    CFURLRef longest = nullptr;
    auto name255 = StringFor(std::string(255, 'n'));
    EXPECT_EQ(CopyHelperToolURL(kUserDomain, kAppSupport, name255.get(), CFSTR("Tool"), true, &longest), noErr);
    CFQRelease(longest);
    EXPECT_TRUE(fs::is_directory(data_ + "/" + std::string(255, 'n')));
}

TEST_F(HelperToolInstallTest, CreateURLToValidHelperToolInFolderAnswersOnlyValidTools)
{
    EXPECT_EQ(CreateURLToValidHelperToolInFolder(kUserDomain, kAppSupport, CFSTR("Host"),
                                                 CFSTR("IOPMSchedulePowerEventTool"), templateURL_.get()),
              nullptr);
    EXPECT_EQ(CreateURLToValidHelperToolInFolder(kNetworkDomain, kAppSupport, CFSTR("Host"),
                                                 CFSTR("IOPMSchedulePowerEventTool"), templateURL_.get()),
              nullptr);
    EXPECT_FALSE(fs::exists(data_));
    if (geteuid() != 0) return;
    MakeValidTool(ToolIn(system_));
    wfs::CFRef<CFURLRef> found(CreateURLToValidHelperToolInFolder(
        kSystemDomain, kAppSupport, CFSTR("Host"), CFSTR("IOPMSchedulePowerEventTool"), templateURL_.get()));
    EXPECT_EQ(PathOf(found.get()), ToolIn(system_));
}

TEST_F(HelperToolInstallTest, CallerErrorsAreAssertions)
{
    CFURLRef notEmpty = templateURL_.get();
    EXPECT_DEATH(MoreSecCopyHelperToolURLAndCheck(templateURL_.get(), kAppSupport, CFSTR("Host"), CFSTR("T"), &notEmpty),
                 "MoreSecurityInstall.cpp:[0-9]+: failed assertion `\\*tool == NULL'");
    EXPECT_DEATH(MoreSecCopyHelperToolURLAndCheck(templateURL_.get(), kAppSupport, CFSTR("Host"), nullptr, nullptr),
                 "failed assertion `toolName != NULL'");
    auto name256 = StringFor(std::string(256, 'n'));
    CFURLRef tool = nullptr;
    EXPECT_DEATH(CopyHelperToolURL(kUserDomain, kTemporaryFolderType, name256.get(), CFSTR("T"), false, &tool),
                 "failed assertion `CFStringGetLength\\(subFolderName\\) <= \\(sizeof\\(subFolderNameU.unicode\\) / "
                 "sizeof\\(UniChar\\)\\)'");
    EXPECT_DEATH(MoreSecIsFolderIgnoringOwnership(nullptr, nullptr), "failed assertion `folder != NULL'");
}

// ---- The volume tests ---------------------------------------------------------------------------

TEST_F(HelperToolInstallTest, SetUIDTestReadsTheMountFlags)
{
    FSRef folder = RefFor(root_);
    Boolean ignoring = true;
    EXPECT_EQ(MoreSecIsFolderIgnoringSetUID(&folder, &ignoring), 0);
    // The tree lives wherever the temporary folder is; it must not be a nosuid mount for the
    // answer to be false, which is the case on every machine this runs on.
    EXPECT_FALSE(ignoring);

    // A folder that has gone: statfs's errno, and no answer.
    const std::string gone = root_ + "/gone";
    fs::create_directories(gone);
    FSRef goneRef = RefFor(gone);
    fs::remove(gone);
    ignoring = 7;
    EXPECT_EQ(MoreSecIsFolderIgnoringSetUID(&goneRef, &ignoring), ENOENT);
    EXPECT_EQ(ignoring, 7);
}

TEST_F(HelperToolInstallTest, UserFolderOnANoSetUIDVolumeIsRefused)
{
    const std::string mountPoint = root_ + "/nosuid";
    fs::create_directories(mountPoint);
    CFURLRef templateTool = templateURL_.get();
    ChildOutcome outcome = RunInChild([&](ChildOutcome &out) {
        if (unshare(CLONE_NEWNS) != 0) {
            snprintf(out.skip, sizeof out.skip, "unshare: %s", strerror(errno));
            return;
        }
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount("tmpfs", mountPoint.c_str(), "tmpfs", MS_NOSUID, "mode=0755") != 0) {
            snprintf(out.skip, sizeof out.skip, "mount: %s", strerror(errno));
            return;
        }
        setenv("XDG_DATA_HOME", mountPoint.c_str(), 1);
        CFURLRef tool = nullptr;
        out.err = MoreSecCopyHelperToolURLAndCheck(templateTool, kAppSupport, CFSTR("Host"),
                                                   CFSTR("IOPMSchedulePowerEventTool"), &tool);
        out.answer = tool != nullptr;
        CFQRelease(tool);
        out.entries = static_cast<long>(EntryCount(mountPoint));

        FSRef folder;
        Boolean ignoring = false;
        out.err2 = FSPathMakeRef(reinterpret_cast<const UInt8 *>(mountPoint.c_str()), &folder, nullptr);
        if (out.err2 == noErr) out.err2 = MoreSecIsFolderIgnoringSetUID(&folder, &ignoring);
        out.answer2 = ignoring;
    });
    if (outcome.skip[0] != '\0') GTEST_SKIP() << outcome.skip;
    EXPECT_EQ(outcome.err, kMoreSecUnsuitableFolderErr);
    EXPECT_EQ(outcome.answer, 0);
    EXPECT_EQ(outcome.entries, 0);  // no sub-folder, no copy, no temporary file left
    EXPECT_EQ(outcome.err2, 0);
    EXPECT_EQ(outcome.answer2, 1);
}

// Reads the names of the files created and deleted in the watched folder so far.
void ReadCreatedAndDeleted(int fd, std::vector<std::string> &created, std::vector<std::string> &deleted)
{
    alignas(struct inotify_event) char buffer[16384];
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) return;
        for (char *p = buffer; p < buffer + n;) {
            auto *event = reinterpret_cast<struct inotify_event *>(p);
            if (event->len > 0) {
                if (event->mask & IN_CREATE) created.emplace_back(event->name);
                if (event->mask & IN_DELETE) deleted.emplace_back(event->name);
            }
            p += sizeof(struct inotify_event) + event->len;
        }
    }
}

TEST_F(HelperToolInstallTest, OwnershipTestOnAnOrdinaryFolderUsesAShortLivedTemporaryFile)
{
    const std::string folderPath = root_ + "/plain";
    fs::create_directories(folderPath);
    FSRef folder = RefFor(folderPath);
    wfs::UniqueFd watch(inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    ASSERT_TRUE(watch);
    ASSERT_GE(inotify_add_watch(watch.get(), folderPath.c_str(), IN_CREATE | IN_DELETE), 0);

    const UInt64 before = UnsignedWideToUInt64(UpTime());
    Boolean ignoring = true;
    EXPECT_EQ(MoreSecIsFolderIgnoringOwnership(&folder, &ignoring), 0);
    const UInt64 after = UnsignedWideToUInt64(UpTime());
    EXPECT_FALSE(ignoring);
    EXPECT_EQ(EntryCount(folderPath), 0u);

    std::vector<std::string> created, deleted;
    ReadCreatedAndDeleted(watch.get(), created, deleted);
    ASSERT_EQ(created.size(), 1u);
    EXPECT_EQ(deleted, created);
    // "MoreSecIsFolderIgnoringOwnership Temp " then the counter's high and low halves in hex.
    const std::string prefix = "MoreSecIsFolderIgnoringOwnership Temp ";
    const std::string &name = created[0];
    ASSERT_EQ(name.compare(0, prefix.size(), prefix), 0) << name;
    EXPECT_LE(name.size(), 54u);
    const std::string digits = name.substr(prefix.size());
    EXPECT_EQ(digits.find_first_not_of("0123456789abcdef"), std::string::npos) << name;
    if ((before >> 32) == (after >> 32)) {
        char hi[16];
        snprintf(hi, sizeof hi, "%lx", static_cast<unsigned long>(before >> 32));
        ASSERT_EQ(digits.compare(0, strlen(hi), hi), 0) << name;
        const std::string lo = digits.substr(strlen(hi));
        ASSERT_FALSE(lo.empty());
        EXPECT_TRUE(lo == "0" || lo[0] != '0') << name;  // no leading zeros
        const unsigned long loValue = std::stoul(lo, nullptr, 16);
        EXPECT_GE(loValue, before & 0xFFFFFFFFu);
        EXPECT_LE(loValue, after & 0xFFFFFFFFu);
    }

    // A folder that is not there: the create fails and there is nothing to delete.
    const std::string gone = root_ + "/gone";
    fs::create_directories(gone);
    FSRef goneRef = RefFor(gone);
    fs::remove(gone);
    ignoring = 7;
    EXPECT_EQ(MoreSecIsFolderIgnoringOwnership(&goneRef, &ignoring), fnfErr);
    EXPECT_EQ(ignoring, 7);
}

TEST_F(HelperToolInstallTest, OwnershipTestChangesTheUnknownGroupToTellVolumesApart)
{
    REQUIRE_ROOT();
    const std::string folderPath = root_ + "/shared";
    fs::create_directories(folderPath);
    ASSERT_EQ(chmod(folderPath.c_str(), 0777), 0);
    FSRef folder = RefFor(folderPath);

    // Root running with group 99: the file carries 99, the change to 20 works, so the volume
    // honours ownership.
    ChildOutcome asRoot = RunInChild([&](ChildOutcome &out) {
        if (setgid(kUnknownGroup) != 0) {
            out.err = -1;
            return;
        }
        Boolean ignoring = true;
        out.err = MoreSecIsFolderIgnoringOwnership(&folder, &ignoring);
        out.answer = ignoring;
        out.entries = static_cast<long>(EntryCount(folderPath));
    });
    EXPECT_EQ(asRoot.err, 0);
    EXPECT_EQ(asRoot.answer, 0);
    EXPECT_EQ(asRoot.entries, 0);

    // Nobody with group 99 may not give a file to group 20: the change fails, the failure is
    // answered with no verdict, and the temporary file still goes.
    ChildOutcome asNobody = RunInChild([&](ChildOutcome &out) {
        if (setgroups(0, nullptr) != 0 || setgid(kUnknownGroup) != 0 || setuid(kNobody) != 0) {
            out.err = -1;
            return;
        }
        Boolean ignoring = 7;
        out.err = MoreSecIsFolderIgnoringOwnership(&folder, &ignoring);
        out.answer = ignoring;
        out.entries = static_cast<long>(EntryCount(folderPath));

        // And in a folder nobody cannot write to, the create itself fails.
        FSRef rootOwned;
        out.err2 = FSPathMakeRef(reinterpret_cast<const UInt8 *>(root_.c_str()), &rootOwned, nullptr);
        if (out.err2 == noErr) out.err2 = MoreSecIsFolderIgnoringOwnership(&rootOwned, &ignoring);
    });
    EXPECT_EQ(asNobody.err, permErr);
    EXPECT_EQ(asNobody.answer, 7);
    EXPECT_EQ(asNobody.entries, 0);
    EXPECT_EQ(asNobody.err2, afpAccessDenied);
    EXPECT_EQ(EntryCount(folderPath), 0u);
}

}  // namespace
