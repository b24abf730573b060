// Self-repair end to end, as root: a tool that nobody owns, run by a client that is nobody,
// relays through the set-user-ID test launcher, repairs itself and is then served directly; the
// launcher's refusals and a killed repairer reach the client; a swapped path is left alone.

#include "MoreSecurityToolMainTestSupport.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/statvfs.h>

using namespace wfs_test;

namespace {

// ---- Self-repair end to end, as root ----------------------------------------------------------

// A folder on a file system that honours set-user-ID bits, owned by nobody, with a copy of the
// test tool in it that nobody owns, and a copy of the test launcher installed set-user-ID root in
// a folder of root's. Everything is removed by the destructor.
class RepairScene {
public:
    RepairScene()
    {
        std::string base = "/tmp";
        struct statvfs fs {};
        if (statvfs(base.c_str(), &fs) != 0 || (fs.f_flag & ST_NOSUID) != 0) {
            base = MORE_SECURITY_TEST_SCRATCH_DIR;
        }
        toolFolder_ = MakeFolder(base + "/wfs-repair-XXXXXX", kNobody);
        launcherFolder_ = MakeFolder(base + "/wfs-launcher-XXXXXX", 0);
        tool = toolFolder_ + "/IOPMSchedulePowerEventTool";
        launcher = launcherFolder_ + "/launcher";
        ok = !toolFolder_.empty() && !launcherFolder_.empty() &&
             Copy(MORE_SECURITY_TOOL_MAIN_TOOL, tool, kNobody, 0755) &&
             Copy(MORE_SECURITY_TEST_LAUNCHER, launcher, 0, 04755);
    }
    ~RepairScene()
    {
        for (const std::string &folder : {toolFolder_, launcherFolder_}) {
            if (folder.empty()) continue;
            DIR *dir = opendir(folder.c_str());
            while (dir != nullptr) {
                struct dirent *entry = readdir(dir);
                if (entry == nullptr) break;
                if (entry->d_name[0] != '.') unlink((folder + "/" + entry->d_name).c_str());
            }
            if (dir != nullptr) closedir(dir);
            rmdir(folder.c_str());
        }
    }

    static bool Copy(const std::string &from, const std::string &to, uid_t owner, mode_t mode)
    {
        wfs::UniqueFd in(open(from.c_str(), O_RDONLY | O_CLOEXEC));
        wfs::UniqueFd out(open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0700));
        if (!in || !out) return false;
        char buffer[65536];
        for (;;) {
            const ssize_t n = read(in.get(), buffer, sizeof(buffer));
            if (n < 0) return false;
            if (n == 0) break;
            if (write(out.get(), buffer, static_cast<size_t>(n)) != n) return false;
        }
        return fchown(out.get(), owner, owner) == 0 && fchmod(out.get(), mode) == 0;
    }

    std::string toolFolder() const { return toolFolder_; }

    std::string tool;
    std::string launcher;
    bool ok = false;

private:
    static std::string MakeFolder(std::string pattern, uid_t owner)
    {
        if (mkdtemp(pattern.data()) == nullptr) return "";
        if (chown(pattern.c_str(), owner, owner) != 0 || chmod(pattern.c_str(), 0755) != 0) return "";
        return pattern;
    }

    std::string toolFolder_;
    std::string launcherFolder_;
};

// One request through MoreSecExecuteRequestInHelperTool from a client forked and dropped to
// nobody. Answers lines: err, the command's user IDs, and the tool's standard error.
std::map<std::string, std::string> RequestAsNobody(const std::string &tool,
                                                   const std::vector<std::string> &env)
{
    int fds[2] = {-1, -1};
    EXPECT_EQ(pipe2(fds, O_CLOEXEC), 0);
    wfs::UniqueFd readEnd(fds[0]);
    wfs::UniqueFd writeEnd(fds[1]);
    const pid_t pid = fork();
    if (pid == 0) {
        std::string answer;
        if (!DropToNobody() || MoreUNIXIgnoreSIGPIPE() != 0) _exit(1);
        for (const std::string &entry : env) putenv(const_cast<char *>(entry.c_str()));
        // The tool inherits our standard error: catch it in memory.
        const int log = memfd_create("tool-stderr", MFD_CLOEXEC);
        const int savedErr = dup(STDERR_FILENO);
        dup2(log, STDERR_FILENO);

        AuthorizationRef auth = nullptr;
        AuthorizationCreate(nullptr, nullptr, 0, &auth);
        auto request = MakeDictionary();
        CFDictionarySetValue(request.get(), CFSTR("CommandName"), CFSTR("GetPrivileges"));
        CFDictionarySetValue(request.get(), CFSTR("Payload"), CFSTR("hello"));
        wfs::CFRef<CFURLRef> url(CFURLCreateFromFileSystemRepresentation(
            nullptr, reinterpret_cast<const UInt8 *>(tool.c_str()),
            static_cast<CFIndex>(tool.size()), false));
        wfs::CFRef<CFDictionaryRef> response;
        const int err = MoreSecExecuteRequestInHelperTool(url.get(), auth, request.get(),
                                                          response.out());
        dup2(savedErr, STDERR_FILENO);
        answer += "err=" + std::to_string(err) + "\n";
        if (response) {
            answer += "payload=" + GetString(response.get(), CFSTR("Payload")) + "\n";
            answer += "euid=" + std::to_string(GetInt64(response.get(), CFSTR("CommandEUID"))) + "\n";
            answer += "ruid=" + std::to_string(GetInt64(response.get(), CFSTR("CommandRUID"))) + "\n";
            answer += "suid=" + std::to_string(GetInt64(response.get(), CFSTR("CommandSUID"))) + "\n";
            CFTypeRef form = CFDictionaryGetValue(response.get(), CFSTR("AuthForm"));
            answer += "authMatches=" +
                      std::to_string(form != nullptr && CFGetTypeID(form) == CFDataGetTypeID() &&
                                     std::string(reinterpret_cast<const char *>(
                                                     CFDataGetBytePtr(static_cast<CFDataRef>(form))),
                                                 32) == ExternalFormOf(auth)) +
                      "\n";
        }
        std::string logged(4096, '\0');
        const ssize_t n = pread(log, logged.data(), logged.size(), 0);
        logged.resize(n > 0 ? static_cast<size_t>(n) : 0);
        answer += "stderr=" + Escape(logged) + "\n";
        answer += "noChild=" + std::to_string(NoChildLeft()) + "\n";
        ssize_t ignored = write(writeEnd.get(), answer.data(), answer.size());
        (void) ignored;
        _exit(0);
    }
    writeEnd.reset();
    std::string text;
    char buffer[4096];
    for (;;) {
        const ssize_t n = wfs::RetryOnEintr([&] { return read(readEnd.get(), buffer, sizeof(buffer)); });
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    int status = 0;
    EXPECT_EQ(wfs::RetryOnEintr([&] { return waitpid(pid, &status, 0); }), pid);
    return ParseLines(text);
}

const std::string kRelayedStderr =
    "MoreSecurity: Calling AEWP\\nMoreSecurity: AEWP returned 0\\n";

TEST(MoreSecToolMainEndToEnd, NobodysToolRepairsItselfThenServesDirectly)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    RepairScene scene;
    ASSERT_TRUE(scene.ok);
    const std::string launcherEnv = "WFS_PRIVILEGED_LAUNCHER=" + scene.launcher;

    auto first = RequestAsNobody(scene.tool, {launcherEnv, "WFS_TEST_LAUNCHER_MODE=grant"});
    EXPECT_EQ(first["err"], "0");
    EXPECT_EQ(first["payload"], "hello");
    EXPECT_EQ(first["authMatches"], "1");
    // The repairer served this one: root all through, started by the launcher.
    EXPECT_EQ(first["ruid"], "0");
    EXPECT_EQ(first["stderr"], kRelayedStderr);
    EXPECT_EQ(first["noChild"], "1");
    const FileState repaired = StateOf(scene.tool);
    EXPECT_EQ(repaired.uid, 0u);
    EXPECT_EQ(repaired.gid, kNobody);
    EXPECT_EQ(repaired.mode & 07777, 04555u);
    EXPECT_TRUE(S_ISREG(repaired.mode));

    // Now set-user-ID root: served at once, with no launch, the command running as the invoking
    // user with root saved.
    auto second = RequestAsNobody(scene.tool, {launcherEnv, "WFS_TEST_LAUNCHER_MODE=refuse"});
    EXPECT_EQ(second["err"], "0");
    EXPECT_EQ(second["payload"], "hello");
    EXPECT_EQ(second["authMatches"], "1");
    EXPECT_EQ(second["ruid"], std::to_string(kNobody));
    EXPECT_EQ(second["euid"], std::to_string(kNobody));
    EXPECT_EQ(second["suid"], "0");
    EXPECT_EQ(second["stderr"], "");
    EXPECT_EQ(StateOf(scene.tool), repaired);
}

TEST(MoreSecToolMainEndToEnd, RefusalDismissalAndAKilledRepairerReachTheClient)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    RepairScene scene;
    ASSERT_TRUE(scene.ok);
    const FileState before = StateOf(scene.tool);
    const std::string launcherEnv = "WFS_PRIVILEGED_LAUNCHER=" + scene.launcher;

    EXPECT_EQ(RequestAsNobody(scene.tool, {launcherEnv, "WFS_TEST_LAUNCHER_MODE=refuse"})["err"],
              std::to_string(kHelperToolDeniedErr));
    EXPECT_EQ(RequestAsNobody(scene.tool, {launcherEnv, "WFS_TEST_LAUNCHER_MODE=dismiss"})["err"],
              std::to_string(kHelperToolCanceledErr));
    auto killed = RequestAsNobody(
        scene.tool, {launcherEnv, "WFS_TEST_LAUNCHER_MODE=grant", "WFS_FAKE_REPAIRER=signal"});
    EXPECT_EQ(killed["err"], std::to_string(kHelperToolFailedErr));
    EXPECT_EQ(killed["noChild"], "1");
    EXPECT_EQ(StateOf(scene.tool), before);
}

// Whether this machine lets root make a private mount namespace (a container may not).
bool CanMakeMountNamespace()
{
    const pid_t pid = fork();
    if (pid == 0) {
        _exit(unshare(CLONE_NEWNS) == 0 &&
                      mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
                  ? 0
                  : 1);
    }
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

TEST(MoreSecToolMainEndToEnd, SwappedPathLeavesBothFilesAlone)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    RepairScene scene;
    ASSERT_TRUE(scene.ok);
    const std::string launcherEnv = "WFS_PRIVILEGED_LAUNCHER=" + scene.launcher;
    const std::string replacement = scene.toolFolder() + "/replacement";
    ASSERT_TRUE(RepairScene::Copy(MORE_SECURITY_TOOL_MAIN_TOOL, replacement, kNobody, 0755));
    const FileState toolBefore = StateOf(scene.tool);
    const FileState replacementBefore = StateOf(replacement);

    // Something mounted over the path after the repairer started: the path now names another
    // file than the one running, although the running one was not deleted.
    if (CanMakeMountNamespace()) {
        auto overmounted = RequestAsNobody(
            scene.tool, {launcherEnv, "WFS_TEST_LAUNCHER_MODE=overmount",
                         "WFS_TEST_LAUNCHER_REPLACEMENT=" + replacement});
        EXPECT_EQ(overmounted["err"], std::to_string(kHelperToolFailedErr));
        EXPECT_EQ(StateOf(scene.tool), toolBefore);
        EXPECT_EQ(StateOf(replacement), replacementBefore);
    }

    // The file renamed over after the start; the original is kept under another name to look at.
    const std::string kept = scene.toolFolder() + "/kept";
    ASSERT_EQ(link(scene.tool.c_str(), kept.c_str()), 0);
    auto renamed = RequestAsNobody(scene.tool, {launcherEnv, "WFS_TEST_LAUNCHER_MODE=rename",
                                                "WFS_TEST_LAUNCHER_REPLACEMENT=" + replacement});
    EXPECT_EQ(renamed["err"], std::to_string(kHelperToolFailedErr));
    EXPECT_EQ(StateOf(kept), toolBefore);
    EXPECT_EQ(StateOf(scene.tool), replacementBefore);
}

}  // namespace
