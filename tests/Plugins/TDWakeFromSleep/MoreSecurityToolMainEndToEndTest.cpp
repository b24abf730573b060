// Self-repair end to end, as root: a tool that nobody owns, run by a client that is nobody,
// relays through the set-user-ID test launcher, repairs itself and is then served directly; a path
// swapped after the repairer started is left alone. (What the launcher answers, and what the relay
// makes of it, are PrivilegedLaunchTest's and MoreSecurityToolMainTest's.)

#include "MoreSecurityTestSupport.h"

#include <sys/mman.h>

using namespace wfs_test;

namespace {

// A folder owned by nobody, on a file system that honours set-user-ID bits, with a copy of the
// test tool that nobody owns, and a copy of the test launcher installed set-user-ID root beside.
struct RepairScene {
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
// nobody, with the launcher in `mode` and `swap` for its replacement. Answers lines: err, the
// command's user IDs, whether the authorization matched, and the tool's standard error.
std::map<std::string, std::string> RequestAsNobody(const RepairScene &scene, const std::string &mode,
                                                   const std::string &swap = "")
{
    return RunInChild(
               [&] {
                   WFS_CHILD_EXPECT(MoreUNIXIgnoreSIGPIPE() == 0);
                   // The tool inherits our standard error: catch it in memory.
                   wfs::UniqueFd log(memfd_create("tool-stderr", MFD_CLOEXEC));
                   WFS_CHILD_EXPECT(dup2(log.get(), STDERR_FILENO) == STDERR_FILENO);
                   AuthorizationRef auth = nullptr;
                   AuthorizationCreate(nullptr, nullptr, 0, &auth);
                   auto request = Request("GetPrivileges");
                   CFDictionarySetValue(request.get(), CFSTR("Payload"), CFSTR("hello"));
                   wfs::CFRef<CFDictionaryRef> response;
                   ChildReport("err=%d", MoreSecExecuteRequestInHelperTool(FileURL(scene.tool).get(), auth,
                                                                          request.get(), response.out()));
                   if (response) {
                       auto number = [&](const char *key) {
                           return NumberValue(CFDictionaryGetValue(response.get(), Str(key).get()));
                       };
                       auto form = static_cast<CFDataRef>(CFDictionaryGetValue(response.get(), CFSTR("AuthForm")));
                       ChildReport("payload=%s", Utf8(CFDictionaryGetValue(response.get(), CFSTR("Payload"))).c_str());
                       ChildReport("ids=%lld/%lld/%lld", number("CommandRUID"), number("CommandEUID"), number("CommandSUID"));
                       ChildReport("authMatches=%d", form != nullptr && std::string(reinterpret_cast<const char *>(
                                                         CFDataGetBytePtr(form)), 32) == ExternalFormOf(auth));
                   }
                   std::string logged = (lseek(log.get(), 0, SEEK_SET), ReadAll(log.get()));
                   for (size_t at; (at = logged.find('\n')) != std::string::npos;) logged.replace(at, 1, "|");
                   ChildReport("stderr=%s", logged.c_str());
                   AuthorizationFree(auth, kAuthorizationFlagDefaults);
               },
               ChildSetup()
                   .AsNobody()
                   .Env("WFS_PRIVILEGED_LAUNCHER", scene.launcher)
                   .Env("WFS_TEST_LAUNCHER_MODE", mode)
                   .Env("WFS_TEST_LAUNCHER_REPLACEMENT", swap))
        .Lines();
}

TEST(MoreSecToolMainEndToEnd, NobodysToolRepairsItselfThenServesDirectly)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    RepairScene scene;
    ASSERT_TRUE(scene.ok);

    // The repairer serves the first request, root all through, started by the launcher.
    auto first = RequestAsNobody(scene, "grant");
    EXPECT_EQ(first["err"], "0");
    EXPECT_EQ(first["payload"], "hello");
    EXPECT_EQ(first["authMatches"], "1");
    EXPECT_EQ(first["ids"], "0/0/0");
    EXPECT_EQ(first["stderr"], "MoreSecurity: Calling AEWP|MoreSecurity: AEWP returned 0|");
    // Owned by root, group kept, 04555.
    EXPECT_EQ(scene.state(scene.tool), "0:" + std::to_string(kNobodyID) + ":" + std::to_string(S_IFREG | 04555));

    // Now set-user-ID root: served at once with no launch, the command running as the invoking
    // user with root saved.
    auto second = RequestAsNobody(scene, "refuse");
    EXPECT_EQ(second["err"], "0");
    EXPECT_EQ(second["payload"], "hello");
    EXPECT_EQ(second["authMatches"], "1");
    EXPECT_EQ(second["ids"], std::to_string(kNobodyID) + "/" + std::to_string(kNobodyID) + "/0");
    EXPECT_EQ(second["stderr"], "");
}

TEST(MoreSecToolMainEndToEnd, APathSwappedBeforeTheRepairLeavesBothFilesAlone)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    RepairScene scene;
    ASSERT_TRUE(scene.ok);
    const std::string replacement = scene.folder + "/replacement", kept = scene.folder + "/kept";
    ASSERT_TRUE(InstallCopy(MORE_SECURITY_TOOL_MAIN_TOOL, replacement, kNobodyID, 0755));
    const std::string toolBefore = scene.state(scene.tool), replacementBefore = scene.state(replacement);

    // Something mounted over the path after the repairer started: the path names another file.
    if (CanMakeMountNamespace()) {
        EXPECT_EQ(RequestAsNobody(scene, "overmount", replacement)["err"],
                  std::to_string(kHelperToolFailedErr));
        EXPECT_EQ(scene.state(scene.tool), toolBefore);
        EXPECT_EQ(scene.state(replacement), replacementBefore);
    }
    // The file renamed over after the start; the original is kept under another name to look at.
    ASSERT_EQ(link(scene.tool.c_str(), kept.c_str()), 0);
    EXPECT_EQ(RequestAsNobody(scene, "rename", replacement)["err"],
              std::to_string(kHelperToolFailedErr));
    EXPECT_EQ(scene.state(kept), toolBefore);
    EXPECT_EQ(scene.state(scene.tool), replacementBefore);
}

}  // namespace
