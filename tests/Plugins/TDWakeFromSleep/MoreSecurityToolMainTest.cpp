// The helper tool's main routine: the dispatcher and the command procedure's contract in process,
// the command line and the relay's result rule with a real tool process, and self-repair end to end.

#include "MoreSecurityToolMainInternal.h"
#include "MoreSecurityTestSupport.h"

#include <algorithm>

#include <sys/mman.h>

using namespace wfs_test;

namespace {

int gCalls = 0;
std::string gAuthSeen;
std::vector<int> gHandedOver;

// Owner, group and mode of what is at `path` (not followed), or "none".
std::string FileState(const std::string &path)
{
    struct stat st {};
    if (lstat(path.c_str(), &st) != 0) return "none";
    return std::to_string(st.st_uid) + ":" + std::to_string(st.st_gid) + ":" + std::to_string(st.st_mode);
}

int FailWithoutResponse(AuthorizationRef, CFDictionaryRef, CFDictionaryRef *)
{
    gCalls++;
    return -60005;
}

int AnswerWithTwoDescriptors(AuthorizationRef, CFDictionaryRef, CFDictionaryRef *response)
{
    gHandedOver = {open("/dev/null", O_RDONLY | O_CLOEXEC), open("/proc/self/exe", O_RDONLY | O_CLOEXEC)};
    *response = Dict({DescriptorArrayKey}, {IntArray({gHandedOver[0], gHandedOver[1]}).get()}).release();
    return 0;
}

int RecordAuthorization(AuthorizationRef auth, CFDictionaryRef, CFDictionaryRef *)
{
    gCalls++;
    gAuthSeen = ExternalFormOf(auth);
    return 0;
}

// A command that needs root, as the helper tool's do.
int RaiseToRoot(AuthorizationRef, CFDictionaryRef, CFDictionaryRef *)
{
    gCalls++;
    return MoreSecSetPrivilegedEUID();
}

// Leaves no descriptor and no child behind.
class MoreSecToolMainInProcess : public AuthorizedOn<NothingLeftBehind> {
protected:
    void SetUp() override
    {
        AuthorizedOn::SetUp();
        gCalls = 0;
        gHandedOver.clear();
    }

    struct Served {
        int err = 0;
        std::string out, unread;
    };

    // Serves `input` with the main routine (argv given) or the dispatcher: the result, what was
    // written back, and what was left unread.
    Served Serve(const std::string &input, MoreSecCommandProcedure proc, AuthorizationRef passed = nullptr,
                 std::vector<const char *> argv = {})
    {
        SocketPair pair;
        Send(pair.ours.get(), input);
        const int argc = static_cast<int>(argv.size());
        argv.push_back(nullptr);
        const int fd = pair.theirs.get();
        Served served;
        served.err = argc == 0 ? ReadAndDispatchCommand(fd, fd, auth_, proc)
                               : MoreSecHelperToolMain(fd, fd, passed, proc, argc, argv.data());
        served.unread = ReadAll(fd);
        pair.theirs.reset();
        served.out = ReadAll(pair.ours.get());
        return served;
    }

    // Dispatches the request to `proc` and reads the response as a client does; the descriptors
    // handed over are looked at before that, as receiving them could reuse the numbers.
    wfs::CFRef<CFDictionaryRef> Dispatch(MoreSecCommandProcedure proc)
    {
        wfs::CFRef<CFDictionaryRef> response;
        EXPECT_EQ(DispatchInput(FrameOf(request_.get()), auth_, proc, &response, [] {
            for (int fd : gHandedOver) EXPECT_FALSE(DescriptorIsOpen(fd)) << "closed in the tool";
        }), 0);
        return response;
    }

    wfs::CFRef<CFMutableDictionaryRef> request_ = Request("GetPrivileges");
};

TEST_F(MoreSecToolMainInProcess, ResponsesGoOutWithTheErrorKeyAndTheirDescriptors)
{
    auto failed = Dispatch(FailWithoutResponse);
    EXPECT_EQ(gCalls, 1);
    EXPECT_EQ(CFDictionaryGetCount(failed.get()), 1);
    EXPECT_EQ(MoreSecGetErrorFromResponse(failed.get()), -60005);

    auto own = Dispatch([](AuthorizationRef, CFDictionaryRef, CFDictionaryRef *response) {
        *response = Dict({ErrorNumberKey, CFSTR("Kept")}, {Num(42).get(), CFSTR("yes")}).release();
        return -1;
    });
    EXPECT_EQ(CFDictionaryGetCount(own.get()), 2);
    EXPECT_EQ(MoreSecGetErrorFromResponse(own.get()), 42);
    EXPECT_EQ(Utf8(CFDictionaryGetValue(own.get(), CFSTR("Kept"))), "yes");

    auto withFds = Dispatch(AnswerWithTwoDescriptors);
    EXPECT_EQ(MoreSecGetErrorFromResponse(withFds.get()), 0);
    const std::vector<int> received = DescriptorsIn(withFds.get());
    ASSERT_EQ(received.size(), 2u);
    wfs::UniqueFd devNull(open("/dev/null", O_RDONLY | O_CLOEXEC));
    wfs::UniqueFd self(open("/proc/self/exe", O_RDONLY | O_CLOEXEC));
    EXPECT_TRUE(SameFile(received[0], devNull.get()) && SameFile(received[1], self.get()));
    MoreSecCloseDescriptorArray(DescriptorArrayOf(withFds.get()));
}

TEST_F(MoreSecToolMainInProcess, BadInputStopsBeforeTheCommandAndVanishedPeerStillClosesDescriptors)
{
    const uint32_t zero = 0;
    EXPECT_EQ(Serve(std::string(reinterpret_cast<const char *>(&zero), 4), FailWithoutResponse).err, paramErr);
    const Served shortForm = Serve(std::string(20, 'a'), RecordAuthorization, nullptr, {"tool"});
    EXPECT_EQ(shortForm.err, EPIPE);
    EXPECT_EQ(shortForm.out, "");
    // A wrong second argument or count: nothing read, nothing written, the passed reference freed.
    using Argv = std::vector<const char *>;
    for (const Argv &argv : {Argv{"tool", "--Self-Repair"}, Argv{"tool", "--self-repair", "x"}}) {
        AuthorizationRef passed = nullptr;
        ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, 0, &passed), 0);
        const Served wrong = Serve("input", RecordAuthorization, passed, argv);
        EXPECT_EQ(wrong.err, kHelperToolInternalErr);
        EXPECT_EQ(wrong.out, "");
        EXPECT_EQ(wrong.unread, "input");
        AuthorizationExternalForm form;
        EXPECT_EQ(AuthorizationMakeExternalForm(passed, &form), errAuthorizationInvalidRef);
    }
    EXPECT_EQ(gCalls, 0);

    // A client gone before the response: EPIPE, and the descriptors are closed all the same.
    SocketPair in, gone;
    Send(in.ours.get(), FrameOf(request_.get()));
    gone.ours.reset();
    const int err = ReadAndDispatchCommand(in.theirs.get(), gone.theirs.get(), auth_, AnswerWithTwoDescriptors);
    EXPECT_EQ(err, EPIPE);
    for (int fd : gHandedOver) EXPECT_FALSE(DescriptorIsOpen(fd)) << fd;
}

TEST_F(MoreSecToolMainInProcess, AsRootServesWithTheInputsAuthorizationOrRefusesASelfRepairWithoutOne)
{
    WFS_REQUIRE_ROOT();
    AuthorizationRef passed = nullptr;
    ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, 0, &passed), 0);
    EXPECT_EQ(Serve(ToolInput(auth_, request_.get()), RecordAuthorization, passed, {"tool"}).err, 0);
    EXPECT_EQ(gAuthSeen, ExternalFormOf(auth_));
    AuthorizationExternalForm form;
    EXPECT_EQ(AuthorizationMakeExternalForm(passed, &form), errAuthorizationInvalidRef);

    // Root but no authorization from a privileged launch: the process ID, then the refusal.
    const std::string self = std::filesystem::read_symlink("/proc/self/exe"), selfBefore = FileState(self);
    const Served refused = Serve("", RecordAuthorization, nullptr, {"tool", "--self-repair"});
    EXPECT_EQ(refused.err, kHelperToolInternalErr);
    const int32_t pid = getpid();
    EXPECT_EQ(refused.out, std::string(reinterpret_cast<const char *>(&pid), 4));
    EXPECT_EQ(FileState(self), selfBefore);
    EXPECT_EQ(gCalls, 1);

    // Set-user-ID root, run by nobody: a command that raised the effective user to root leaves
    // the dispatcher as nobody again.
    RunInChild([&] {
        WFS_CHILD_EXPECT(setresuid(kNobodyID, kNobodyID, 0) == 0);
        WFS_CHILD_EXPECT_EQ(DispatchInput(FrameOf(request_.get()), auth_, RaiseToRoot, nullptr), 0);
        WFS_CHILD_EXPECT_EQ(gCalls, 2);
        WFS_CHILD_EXPECT_EQ(geteuid(), kNobodyID);
    });
}

TEST_F(MoreSecToolMainInProcess, RepairRefusesAFileThatIsNotTheRunningExecutable)
{
    wfstest::TempDir dir;
    wfstest::WriteFile(dir / "other", "x", 0755);
    ASSERT_EQ(symlink("/proc/self/exe", (dir / "link").c_str()), 0);
    // A second name for a file would keep a set-user-ID root copy alive after this one goes.
    wfstest::WriteFile(dir / "linked", "x", 0755);
    ASSERT_EQ(link((dir / "linked").c_str(), (dir / "second name").c_str()), 0);
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0755), 0);
    const std::string otherBefore = FileState(dir / "other"), linkedBefore = FileState(dir / "linked");
    // A FIFO at the path must not hold the repair (and root) in open(): a bounded wait.
    wfstest::Child fifo = wfstest::Child::Fork([&] {
        return RepairRunningExecutable((dir / "fifo").c_str()) == kRepairNotRunningExecutableErr ? 0 : 1;
    });
    EXPECT_TRUE(fifo.Wait(std::chrono::seconds(10)).Exited(0));
    EXPECT_EQ(RepairRunningExecutable((dir / "other").c_str()), kRepairNotRunningExecutableErr);
    EXPECT_EQ(RepairRunningExecutable((dir / "linked").c_str()), kRepairLinkedElsewhereErr);
    EXPECT_EQ(RepairRunningExecutable(dir.path().c_str()), kRepairNotRunningExecutableErr);
    EXPECT_EQ(RepairRunningExecutable((dir / "link").c_str()), ELOOP);
    EXPECT_EQ(RepairRunningExecutable((dir / "missing").c_str()), ENOENT);
    EXPECT_EQ(FileState(dir / "other"), otherBefore);
    EXPECT_EQ(FileState(dir / "linked"), linkedBefore);
    EXPECT_EQ(geteuid(), getuid());
}

// ---- The tool as a process: the relay ----------------------------------------------------------

const std::string kRelayLines = "MoreSecurity: Calling AEWP\nMoreSecurity: AEWP returned ";

// The tool run with `input`, not root (as nobody when we are root): it relays through the test
// launcher in `launcherMode` to a repairer that behaves as `fake` says.
Outcome RunRelay(const std::string &input, const std::string &launcherMode, const std::string &fake,
                 const std::string &launcher = MORE_SECURITY_TEST_LAUNCHER)
{
    const auto setup = ChildSetup()
                           .AsNobody(geteuid() == 0)
                           .Env("WFS_PRIVILEGED_LAUNCHER", launcher)
                           .Env("WFS_TEST_LAUNCHER_MODE", launcherMode)
                           .Env("WFS_FAKE_REPAIRER", fake.empty() ? std::nullopt : std::optional(fake));
    return RunProgram({MORE_SECURITY_TOOL_MAIN_TOOL}, setup, input);
}

class MoreSecToolMainProcess : public AuthorizedOn<NothingLeftBehind> {};

TEST_F(MoreSecToolMainProcess, RelayResultFollowsTheLauncherAndTheRepairersEnd)
{
    const std::string toolBefore = FileState(MORE_SECURITY_TOOL_MAIN_TOOL);
    const std::string input = ToolInput(auth_, Request("GetPrivileges").get());
    const struct {
        const char *launcherMode, *fake;
        int toolResult;
        const char *status;
        const char *launcher = MORE_SECURITY_TEST_LAUNCHER;
    } cases[] = {
        {"asis", "exit:3", kHelperToolResultCanceled, "0"},
        {"asis", "exit:9", kHelperToolResultFailed, "0"},
        {"asis", "exit:0", kHelperToolResultSuccess, "0"},
        {"asis", "signal", kHelperToolResultFailed, "0"},
        {"asis", "", kHelperToolResultInternalError, "0"},  // a real repairer that is not root
        {"refuse", "", kHelperToolResultDenied, "-60005"},
        {"asis", "", kHelperToolResultFailed, "-60031", "/nonexistent/launcher"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.launcher) + " " + c.launcherMode + " " + c.fake);
        const Outcome run = RunRelay(input, c.launcherMode, c.fake, c.launcher);
        EXPECT_TRUE(run.Exited(c.toolResult)) << run;
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, kRelayLines + c.status + "\n");
    }
    EXPECT_EQ(FileState(MORE_SECURITY_TOOL_MAIN_TOOL), toolBefore);

    // A repairer that leaves without reading while the relay still copies a request far larger
    // than a socket's buffer: the copy meets EPIPE, and the repairer's 0 makes the result 0.
    auto large = Request("GetPrivileges");
    CFDictionarySetValue(large.get(), CFSTR("Filler"), Str(std::string(4 << 20, 'f')).get());
    const Outcome closing = RunRelay(ToolInput(auth_, large.get()), "asis", "close-exit0");
    EXPECT_TRUE(closing.Exited(kHelperToolResultSuccess)) << closing;
    EXPECT_EQ(closing.out, "");
}

// ---- Self-repair end to end, as root ------------------------------------------------------------
// A tool that nobody owns, run by a client that is nobody, relays through the set-user-ID test
// launcher, repairs itself and is then served directly; a path swapped after the repairer started
// is left alone.

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
        OwnAuthorization auth;
        wfs::CFRef<CFDictionaryRef> response;
        const std::string tool = folder + "/IOPMSchedulePowerEventTool";
        ChildReport("err=%d", ExecuteRequest(tool, auth.ref, Request("GetPrivileges").get(), &response));
        if (response) {
            auto number = [&](const char *key) {
                return NumberValue(CFDictionaryGetValue(response.get(), Str(key).get()));
            };
            auto form = static_cast<CFDataRef>(CFDictionaryGetValue(response.get(), CFSTR("AuthForm")));
            ChildReport("ids=%lld/%lld/%lld", number("CommandRUID"), number("CommandEUID"),
                        number("CommandSUID"));
            std::string formSeen;
            if (form != nullptr) formSeen.assign(reinterpret_cast<const char *>(CFDataGetBytePtr(form)), 32);
            ChildReport("authMatches=%d", formSeen == ExternalFormOf(auth.ref));
        }
        std::string logged = (lseek(log.get(), 0, SEEK_SET), ReadAll(log.get()));
        std::replace(logged.begin(), logged.end(), '\n', '|');
        ChildReport("stderr=%s", logged.c_str());
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
    WFS_REQUIRE_ROOT();
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
