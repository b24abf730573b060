// Self-repair end to end, as root: a tool that nobody owns, run by a client that is nobody,
// relays through the set-user-ID test launcher, repairs itself and is then served directly; the
// launcher's refusals and a killed repairer reach the client; a swapped path is left alone.

#include "MoreSecurityWireTestSupport.h"

#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/statvfs.h>

using namespace wfs_test;

namespace {

// A folder owned by nobody, on a file system that honours set-user-ID bits, with a copy of the
// test tool that nobody owns, and a copy of the test launcher installed set-user-ID root beside.
struct RepairScene {
    static std::string SetUserIDCapableBase()
    {
        struct statvfs fs {};
        return statvfs("/tmp", &fs) != 0 || (fs.f_flag & ST_NOSUID) != 0 ? MORE_SECURITY_TEST_SCRATCH_DIR : "/tmp";
    }

    TempDir dir{"wfs-repair", SetUserIDCapableBase()};
    std::string folder = dir.path(), tool = folder + "/IOPMSchedulePowerEventTool", launcher = folder + "/launcher";
    bool ok = chown(folder.c_str(), kNobodyID, kNobodyID) == 0 && chmod(folder.c_str(), 0755) == 0 &&
              InstallCopy(MORE_SECURITY_TOOL_MAIN_TOOL, tool, kNobodyID, 0755) &&
              InstallCopy(MORE_SECURITY_TEST_LAUNCHER, launcher, 0, 04755);

    std::string state(const std::string &path) const
    {
        struct stat st {};
        return lstat(path.c_str(), &st) != 0 ? "none" : std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + ":" + std::to_string(st.st_mode);
    }
};

// One request through MoreSecExecuteRequestInHelperTool from a client forked and dropped to
// nobody. Answers lines: err, the command's user IDs, whether the authorization matched, the
// tool's standard error and whether the client has a child left.
std::map<std::string, std::string> RequestAsNobody(const RepairScene &scene, const std::vector<std::string> &env)
{
    std::vector<std::string> entries{"WFS_PRIVILEGED_LAUNCHER=" + scene.launcher};
    entries.insert(entries.end(), env.begin(), env.end());
    return ParseLines(RunChildForText([&] {
        if (!DropToNobody() || MoreUNIXIgnoreSIGPIPE() != 0) return std::string("cannot drop");
        for (std::string &entry : entries) putenv(entry.data());
        // The tool inherits our standard error: catch it in memory.
        const int log = memfd_create("tool-stderr", MFD_CLOEXEC);
        const int savedErr = dup(STDERR_FILENO);
        dup2(log, STDERR_FILENO);
        AuthorizationRef auth = nullptr;
        AuthorizationCreate(nullptr, nullptr, 0, &auth);
        auto request = MakeDictionary();
        CFDictionarySetValue(request.get(), CFSTR("Payload"), CFSTR("hello"));
        wfs::CFRef<CFURLRef> url(CFURLCreateFromFileSystemRepresentation(
            nullptr, reinterpret_cast<const UInt8 *>(scene.tool.c_str()), scene.tool.size(), false));
        wfs::CFRef<CFDictionaryRef> response;
        const int err = MoreSecExecuteRequestInHelperTool(url.get(), auth, request.get(), response.out());
        dup2(savedErr, STDERR_FILENO);
        std::string answer = "err=" + std::to_string(err) + "\n";
        if (response) {
            CFTypeRef form = CFDictionaryGetValue(response.get(), CFSTR("AuthForm"));
            answer += "payload=" + GetString(response.get(), CFSTR("Payload")) + "\nids=" +
                      std::to_string(GetInt64(response.get(), CFSTR("CommandRUID"))) + "/" +
                      std::to_string(GetInt64(response.get(), CFSTR("CommandEUID"))) + "/" +
                      std::to_string(GetInt64(response.get(), CFSTR("CommandSUID"))) + "\nauthMatches=" +
                      std::to_string(form != nullptr && CFGetTypeID(form) == CFDataGetTypeID() &&
                                     std::string(reinterpret_cast<const char *>(CFDataGetBytePtr(
                                                     static_cast<CFDataRef>(form))), 32) == ExternalFormOf(auth)) + "\n";
        }
        lseek(log, 0, SEEK_SET);
        std::string logged = ReadToEnd(log);
        for (size_t at; (at = logged.find('\n')) != std::string::npos;) logged.replace(at, 1, "|");
        answer += "stderr=" + logged + "\nnoChild=" + std::to_string(NoChildLeft()) + "\n";
        return answer;
    }));
}

TEST(MoreSecToolMainEndToEnd, NobodysToolRepairsItselfThenServesDirectly)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    RepairScene scene;
    ASSERT_TRUE(scene.ok);

    // The launcher's refusals and a killed repairer reach the client and leave the file alone.
    const std::string unrepaired = scene.state(scene.tool);
    EXPECT_EQ(RequestAsNobody(scene, {"WFS_TEST_LAUNCHER_MODE=refuse"})["err"], std::to_string(kHelperToolDeniedErr));
    EXPECT_EQ(RequestAsNobody(scene, {"WFS_TEST_LAUNCHER_MODE=dismiss"})["err"], std::to_string(kHelperToolCanceledErr));
    auto killed = RequestAsNobody(scene, {"WFS_TEST_LAUNCHER_MODE=grant", "WFS_FAKE_REPAIRER=signal"});
    EXPECT_EQ(killed["err"], std::to_string(kHelperToolFailedErr));
    EXPECT_EQ(killed["noChild"], "1");
    EXPECT_EQ(scene.state(scene.tool), unrepaired);

    // The repairer serves the first request, root all through, started by the launcher.
    auto first = RequestAsNobody(scene, {"WFS_TEST_LAUNCHER_MODE=grant"});
    EXPECT_EQ(first["err"], "0");
    EXPECT_EQ(first["payload"], "hello");
    EXPECT_EQ(first["authMatches"], "1");
    EXPECT_EQ(first["ids"], "0/0/0");
    EXPECT_EQ(first["stderr"], "MoreSecurity: Calling AEWP|MoreSecurity: AEWP returned 0|");
    EXPECT_EQ(first["noChild"], "1");
    // Owned by root, group kept, 04555.
    EXPECT_EQ(scene.state(scene.tool), "0:" + std::to_string(kNobodyID) + ":" + std::to_string(S_IFREG | 04555));

    // Now set-user-ID root: served at once with no launch, the command running as the invoking
    // user with root saved.
    auto second = RequestAsNobody(scene, {"WFS_TEST_LAUNCHER_MODE=refuse"});
    EXPECT_EQ(second["err"], "0");
    EXPECT_EQ(second["payload"], "hello");
    EXPECT_EQ(second["authMatches"], "1");
    EXPECT_EQ(second["ids"], std::to_string(kNobodyID) + "/" + std::to_string(kNobodyID) + "/0");
    EXPECT_EQ(second["stderr"], "");
}

// Whether this machine lets root make a private mount namespace (a container may not).
bool CanMakeMountNamespace()
{
    return wfstest::RunChild([] {
               return unshare(CLONE_NEWNS) == 0 && mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 ? 0 : 1;
           }) == 0;
}

TEST(MoreSecToolMainEndToEnd, APathSwappedBeforeTheRepairLeavesBothFilesAlone)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    RepairScene scene;
    ASSERT_TRUE(scene.ok);
    const std::string replacement = scene.folder + "/replacement", kept = scene.folder + "/kept";
    ASSERT_TRUE(InstallCopy(MORE_SECURITY_TOOL_MAIN_TOOL, replacement, kNobodyID, 0755));
    const std::string toolBefore = scene.state(scene.tool), replacementBefore = scene.state(replacement);
    const std::string swap = "WFS_TEST_LAUNCHER_REPLACEMENT=" + replacement;

    // Something mounted over the path after the repairer started: the path names another file.
    if (CanMakeMountNamespace()) {
        EXPECT_EQ(RequestAsNobody(scene, {"WFS_TEST_LAUNCHER_MODE=overmount", swap})["err"],
                  std::to_string(kHelperToolFailedErr));
        EXPECT_EQ(scene.state(scene.tool), toolBefore);
        EXPECT_EQ(scene.state(replacement), replacementBefore);
    }
    // The file renamed over after the start; the original is kept under another name to look at.
    ASSERT_EQ(link(scene.tool.c_str(), kept.c_str()), 0);
    EXPECT_EQ(RequestAsNobody(scene, {"WFS_TEST_LAUNCHER_MODE=rename", swap})["err"],
              std::to_string(kHelperToolFailedErr));
    EXPECT_EQ(scene.state(kept), toolBefore);
    EXPECT_EQ(scene.state(scene.tool), replacementBefore);
}

}  // namespace
