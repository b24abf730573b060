// Self-repair end to end, as root: a tool that nobody owns, run by a client that is nobody,
// relays through the set-user-ID test launcher, repairs itself and is then served directly; a path
// swapped after the repairer started is left alone. (What the launcher answers, and what the relay
// makes of it, are PrivilegedLaunchTest's and MoreSecurityToolMainTest's.)

#include "MoreSecurityTestSupport.h"

#include <algorithm>

#include <sys/mman.h>

using namespace wfs_test;

namespace {

std::string FileState(const std::string &path)
{
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return "none";
    return std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + ":" + std::to_string(st.st_mode);
}

// One request through MoreSecExecuteRequestInHelperTool from a client forked and dropped to
// nobody, with the launcher in `mode` and `swap` for its replacement. Answers lines: err, the
// command's user IDs, whether the authorization matched, and the tool's standard error.
std::map<std::string, std::string> RequestAsNobody(const std::string &folder, const std::string &mode,
                                                   const std::string &swap = "")
{
    const auto body = [&] {
        WFS_CHILD_EXPECT(MoreUNIXIgnoreSIGPIPE() == 0);
        // The tool inherits our standard error: catch it in memory.
        wfs::UniqueFd log(memfd_create("tool-stderr", MFD_CLOEXEC));
        WFS_CHILD_EXPECT(dup2(log.get(), STDERR_FILENO) == STDERR_FILENO);
        AuthorizationRef auth = nullptr;
        AuthorizationCreate(nullptr, nullptr, 0, &auth);
        wfs::CFRef<CFDictionaryRef> response;
        const auto tool = FileURL(folder + "/IOPMSchedulePowerEventTool");
        ChildReport("err=%d", MoreSecExecuteRequestInHelperTool(tool.get(), auth, Request("GetPrivileges").get(),
                                                                response.out()));
        if (response) {
            auto number = [&](const char *key) { return NumberValue(CFDictionaryGetValue(response.get(), Str(key).get())); };
            auto form = static_cast<CFDataRef>(CFDictionaryGetValue(response.get(), CFSTR("AuthForm")));
            ChildReport("ids=%lld/%lld/%lld", number("CommandRUID"), number("CommandEUID"), number("CommandSUID"));
            const std::string formSeen(reinterpret_cast<const char *>(CFDataGetBytePtr(form)), 32);
            ChildReport("authMatches=%d", formSeen == ExternalFormOf(auth));
        }
        std::string logged = (lseek(log.get(), 0, SEEK_SET), ReadAll(log.get()));
        std::replace(logged.begin(), logged.end(), '\n', '|');
        ChildReport("stderr=%s", logged.c_str());
        AuthorizationFree(auth, kAuthorizationFlagDefaults);
    };
    return RunInChild(body, ChildSetup()
                                .AsNobody()
                                .Env("WFS_PRIVILEGED_LAUNCHER", folder + "/launcher")
                                .Env("WFS_TEST_LAUNCHER_MODE", mode)
                                .Env("WFS_TEST_LAUNCHER_REPLACEMENT", swap))
        .Lines();
}

TEST(MoreSecToolMainEndToEnd, NobodysToolRepairsItselfOnlyWhereItStartedThenServesDirectly)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    // A folder owned by nobody, on a file system that honours set-user-ID bits, with a copy of the
    // test tool that nobody owns, and a copy of the test launcher installed set-user-ID root beside.
    TempDir dir{"wfs-repair", SetUserIDCapableBase()};
    const std::string folder = dir.path(), tool = folder + "/IOPMSchedulePowerEventTool";
    const std::string replacement = folder + "/replacement", kept = folder + "/kept";
    ASSERT_TRUE(chown(folder.c_str(), kNobodyID, kNobodyID) == 0 && chmod(folder.c_str(), 0755) == 0);
    ASSERT_TRUE(InstallCopy(MORE_SECURITY_TOOL_MAIN_TOOL, tool, kNobodyID, 0755));
    ASSERT_TRUE(InstallCopy(MORE_SECURITY_TEST_LAUNCHER, folder + "/launcher", 0, 04755));
    ASSERT_TRUE(InstallCopy(MORE_SECURITY_TOOL_MAIN_TOOL, replacement, kNobodyID, 0755));
    const std::string toolBefore = FileState(tool), replacementBefore = FileState(replacement);
    const std::string failed = std::to_string(kHelperToolFailedErr);

    // Something mounted over the path after the repairer started: the path names another file.
    if (CanMakeMountNamespace()) {
        EXPECT_EQ(RequestAsNobody(folder, "overmount", replacement)["err"], failed);
        EXPECT_EQ(FileState(tool), toolBefore);
        EXPECT_EQ(FileState(replacement), replacementBefore);
    }
    // The file renamed over after the start; the original is kept under another name to look at.
    ASSERT_EQ(link(tool.c_str(), kept.c_str()), 0);
    EXPECT_EQ(RequestAsNobody(folder, "rename", replacement)["err"], failed);
    EXPECT_EQ(FileState(kept), toolBefore);
    EXPECT_EQ(FileState(tool), replacementBefore);
    ASSERT_EQ(unlink(kept.c_str()), 0);

    // The repairer serves the request, root all through, started by the launcher; the tool is then
    // root's, its group kept, 04555.
    auto first = RequestAsNobody(folder, "grant");
    EXPECT_EQ(first["err"], "0");
    EXPECT_EQ(first["authMatches"], "1");
    EXPECT_EQ(first["ids"], "0/0/0");
    EXPECT_EQ(first["stderr"], "MoreSecurity: Calling AEWP|MoreSecurity: AEWP returned 0|");
    EXPECT_EQ(FileState(tool), "0:" + std::to_string(kNobodyID) + ":" + std::to_string(S_IFREG | 04555));

    // Now set-user-ID root: served at once with no launch, the command running as the invoking
    // user with root saved.
    auto second = RequestAsNobody(folder, "refuse");
    EXPECT_EQ(second["err"], "0");
    EXPECT_EQ(second["authMatches"], "1");
    EXPECT_EQ(second["ids"], std::to_string(kNobodyID) + "/" + std::to_string(kNobodyID) + "/0");
    EXPECT_EQ(second["stderr"], "");
}

}  // namespace
