// The privileged launch with real processes: a root caller's direct start, an elevated caller's,
// what the launched program is given, and that the launch neither consumes the program's output
// nor leaves descriptors or children behind.
// The launched program is the probe, which describes how it was started.

#include <Security/Security.h>

#include <Support/Eintr.h>

#include <TestSupport.h>

#include <sys/socket.h>
#include <sys/wait.h>

namespace {

using namespace wfstest;
using Report = std::map<std::string, std::string>;

std::string Hex(const AuthorizationExternalForm &form) { return wfstest::Hex(std::string(form.bytes, 32)); }

// Sends "ping" to a probe the launch started, reads its report to the end, closes the channel and
// reaps the probe. Adds "cloexec" (of the caller's end) and "reaped" (exit 0) to the report.
std::string Finish(FILE *pipe)
{
    const int fd = fileno(pipe);
    std::string text = "cloexec=" + std::to_string((fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0) + "\n";
    (void) send(fd, "ping", 4, MSG_NOSIGNAL);
    (void) shutdown(fd, SHUT_WR);
    text += ReadAll(fd);
    fclose(pipe);
    Child probe = Child::Adopt(std::stoi("0" + ParseLines(text)["pid"]));
    return text + "reaped=" + std::to_string(probe.Wait().Exited(0)) + "\n";
}

class PrivilegedLaunch : public NothingLeftBehind {
protected:
    void SetUp() override
    {
        // As root the launch starts the program directly; anyone else goes through the launcher,
        // which then only has to run the program as it is.
        env_.set("WFS_PRIVILEGED_LAUNCHER", WFS_TEST_PRIVILEGED_LAUNCHER);
        env_.set("WFS_TEST_LAUNCHER_MODE", "asis");
        for (const char *name : {"WFS_AUTHORIZATION", "WFS_PROBE_MODE", "WFS_INVOKER_MARKER"}) env_.set(name, std::nullopt);
        ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &auth_), 0);
        ASSERT_EQ(AuthorizationMakeExternalForm(auth_, &form_), 0);
        NothingLeftBehind::SetUp();
    }
    void TearDown() override
    {
        if (auth_ != nullptr) AuthorizationFree(auth_, kAuthorizationFlagDefaults);
        NothingLeftBehind::TearDown();
    }

    OSStatus Launch(char *const *arguments, FILE **pipe)
    {
        return AuthorizationExecuteWithPrivileges(auth_, WFS_AUTHORIZATION_PROBE, kAuthorizationFlagDefaults,
                                                  arguments, pipe);
    }

    EnvGuard env_;
    AuthorizationRef auth_ = nullptr;
    AuthorizationExternalForm form_;
};

TEST_F(PrivilegedLaunch, DirectLaunchAsRootOrElevatedGivesTheProgramWhatItShouldAndNoMore)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    env_.set("WFS_INVOKER_MARKER", "kept for a root caller");
    env_.set("WFS_AUTHORIZATION", "an inherited value that must not reach the program");
    char one[] = "one", two[] = "two words";
    char *const arguments[] = {one, two, nullptr};
    FILE *pipe = nullptr;
    ASSERT_EQ(Launch(arguments, &pipe), errAuthorizationSuccess);
    ASSERT_NE(pipe, nullptr);
    Report report = ParseLines(Finish(pipe));
    EXPECT_EQ(report["reaped"], "1");
    EXPECT_EQ(report["cloexec"], "1");
    EXPECT_TRUE(report["euid"] == "0" && report["ruid"] == "0");
    EXPECT_TRUE(report["fd.0"] == report["fd.1"] && report["fd.0"].rfind("sock:", 0) == 0) << "one socket";
    EXPECT_EQ(report["argc"], "3");
    EXPECT_TRUE(report["argv1"] == "one" && report["argv2"] == "two words");
    EXPECT_EQ(report["auth"], Hex(form_));
    EXPECT_EQ(report["env.WFS_INVOKER_MARKER"], "kept for a root caller");
    EXPECT_EQ(report["input"], wfstest::Hex("ping"));

    // A set-user-ID root caller's environment and groups are its invoker's; the program it launches
    // runs with real root IDs, so nothing of them may reach it.
    report = RunInChild([&] {
        const gid_t groups[] = {kNobodyID};
        WFS_CHILD_EXPECT(setgroups(1, groups) == 0 && setresgid(kNobodyID, 0, 0) == 0 &&
                         setresuid(kNobodyID, 0, 0) == 0);
        setenv("WFS_INVOKER_MARKER", "from the invoker", 1);
        FILE *pipe = nullptr;
        WFS_CHILD_EXPECT_EQ(Launch(nullptr, &pipe), errAuthorizationSuccess);
        if (pipe != nullptr) ChildReport("%s", Finish(pipe).c_str());
    }).Lines();
    EXPECT_EQ(report["reaped"], "1");
    EXPECT_TRUE(report["euid"] == "0" && report["ruid"] == "0");
    EXPECT_EQ(report.count("env.WFS_INVOKER_MARKER"), 0u);
    EXPECT_EQ(report["groups"], "");
    EXPECT_EQ(report["auth"], Hex(form_));
}

// How the launch reads the program's first moments, whichever way it starts it.
TEST_F(PrivilegedLaunch, OutcomeComesFromFirstByteOrEndWithoutConsumingOutput)
{
    const struct {
        const char *mode;
        OSStatus status;
        int exitStatus;  // of the program the caller reaps, or -1 when the launch reaped it
    } cases[] = {
        {"write:127", errAuthorizationSuccess, 127},  // output first: the program ran
        {"exit:5", errAuthorizationSuccess, 5},       // silent end, any other status: ran
        {"exit:126", errAuthorizationCanceled, -1},   // silent 126/127: the launcher's answer
        {"exit:127", errAuthorizationDenied, -1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.mode);
        env_.set("WFS_PROBE_MODE", c.mode);
        FILE *pipe = nullptr;
        EXPECT_EQ(Launch(nullptr, &pipe), c.status);
        EXPECT_EQ(pipe != nullptr, c.exitStatus >= 0);
        if (pipe == nullptr) continue;
        EXPECT_EQ(ReadAll(fileno(pipe)), c.exitStatus == 127 ? "x" : "");
        fclose(pipe);
        // The program has closed its output, so it has ended: this wait is short.
        int status = 0;
        EXPECT_GT(wfs::RetryOnEintr([&] { return waitpid(-1, &status, 0); }), 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.exitStatus);
    }
}

TEST_F(PrivilegedLaunch, BadArgumentsAndMissingProgramLeaveNothing)
{
    FILE *pipe = nullptr;
    EXPECT_EQ(AuthorizationExecuteWithPrivileges(auth_, nullptr, 0, nullptr, &pipe), errAuthorizationInvalidPointer);
    EXPECT_EQ(Launch(nullptr, nullptr), errAuthorizationInvalidPointer);
    EXPECT_EQ(AuthorizationExecuteWithPrivileges(auth_, WFS_AUTHORIZATION_PROBE, kAuthorizationFlagExtendRights,
                                                 nullptr, &pipe),
              errAuthorizationInvalidFlags);
    EXPECT_EQ(AuthorizationExecuteWithPrivileges(nullptr, WFS_AUTHORIZATION_PROBE, 0, nullptr, &pipe),
              errAuthorizationInvalidRef);
    EXPECT_EQ(AuthorizationExecuteWithPrivileges(auth_, "relative/program", 0, nullptr, &pipe),
              errAuthorizationToolExecuteFailure);
    // As root the program itself cannot be executed; otherwise the launcher runs, cannot execute
    // it and ends with 127 as pkexec does.
    EXPECT_EQ(AuthorizationExecuteWithPrivileges(auth_, "/nonexistent/program", 0, nullptr, &pipe),
              geteuid() == 0 ? errAuthorizationToolExecuteFailure : errAuthorizationDenied);
    EXPECT_EQ(pipe, nullptr);
}

TEST_F(PrivilegedLaunch, PrivilegedReferenceOnlyInALaunchedRootProcess)
{
    AuthorizationRef ref = nullptr;
    EXPECT_EQ(AuthorizationCopyPrivilegedReference(nullptr, 0), errAuthorizationInvalidPointer);
    EXPECT_EQ(AuthorizationCopyPrivilegedReference(&ref, kAuthorizationFlagExtendRights), errAuthorizationInvalidFlags);
    // This process was not started by the launch.
    EXPECT_EQ(AuthorizationCopyPrivilegedReference(&ref, 0), errAuthorizationInvalidRef);
    EXPECT_EQ(ref, nullptr);
    if (geteuid() != 0) GTEST_SKIP() << "the rest needs root";

    // What the launch hands over, a malformed one, and pkexec's mark: a new authorization.
    const std::string hex = Hex(form_);
    const struct {
        const char *variable;
        std::string value;
        OSStatus status;
    } cases[] = {
        {"WFS_AUTHORIZATION", hex, errAuthorizationSuccess},
        {"WFS_AUTHORIZATION", hex.substr(2), errAuthorizationInvalidRef},
        {"WFS_AUTHORIZATION", std::string(64, 'g'), errAuthorizationInvalidRef},
        {"PKEXEC_UID", "1000", errAuthorizationSuccess},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.variable + ("=" + c.value));
        EnvGuard env;
        env.set(c.variable, c.value);
        AuthorizationRef copied = nullptr;
        ASSERT_EQ(AuthorizationCopyPrivilegedReference(&copied, 0), c.status);
        if (copied == nullptr) continue;
        AuthorizationExternalForm form;
        EXPECT_EQ(AuthorizationMakeExternalForm(copied, &form), 0);
        EXPECT_EQ(Hex(form) == hex, c.variable == std::string("WFS_AUTHORIZATION"));
        EXPECT_EQ(AuthorizationFree(copied, kAuthorizationFlagDefaults), 0);
    }

    // A set-user-ID root copy run by hand as nobody cannot be fed an authorization.
    TempDir folder("wfs-launch-test");
    ASSERT_EQ(chmod(folder.path().c_str(), 0755), 0);
    ASSERT_TRUE(InstallCopy(WFS_AUTHORIZATION_PROBE, folder / "program", 0, 04755));
    Report byHand = RunProgram({folder / "program"}, ChildSetup().AsNobody().ClearEnv().Env("WFS_AUTHORIZATION", hex).Env(
                                                      "ASAN_OPTIONS", "detect_leaks=0"))
                        .Lines();
    EXPECT_EQ(byHand["euid"], "0");
    EXPECT_EQ(byHand["ruid"], std::to_string(kNobodyID));
    EXPECT_EQ(byHand["auth"], "ERR " + std::to_string(errAuthorizationInvalidRef));
}

}  // namespace
