// The privileged launch with real processes: a root caller's direct start, an elevated caller's,
// the launcher's answers for a caller running as nobody, what the launched program is given, and
// that the launch neither consumes the program's output nor leaves descriptors or children behind.

#include <Security/Security.h>

#include <Support/Eintr.h>
#include <Support/UniqueFd.h>

#include <gtest/gtest.h>

#include <TestSupport.h>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <map>
#include <string>

namespace {

using namespace wfstest;
using Report = std::map<std::string, std::string>;

std::string Hex(const AuthorizationExternalForm &form)
{
    std::string hex;
    char digits[3];
    for (char c : form.bytes) {
        snprintf(digits, sizeof(digits), "%02x", static_cast<unsigned char>(c));
        hex += digits;
    }
    return hex;
}

// Runs `body` in a forked child and answers the lines it produced.
Report InChild(const std::function<std::string()> &body) { return ParseLines(RunChildForText(body)); }

// The report of a program launched in "report" mode: its process ID comes first, then it reads
// "ping" to the end of its input and describes itself. Closes the channel and reaps the program.
std::string FinishReport(FILE *pipe)
{
    const int fd = fileno(pipe);
    int32_t pid = -1;
    if (wfs::RetryOnEintr([&] { return read(fd, &pid, sizeof(pid)); }) != sizeof(pid)) return "";
    std::string text = "cloexec=" + std::to_string((fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0) + "\n";
    if (write(fd, "ping", 4) != 4 || shutdown(fd, SHUT_WR) != 0) return "";
    text += ReadToEnd(fd);
    fclose(pipe);
    int status = -1;
    const bool reaped = wfs::RetryOnEintr([&] { return waitpid(pid, &status, 0); }) == pid;
    return text + "reaped=" + std::to_string(reaped && WIFEXITED(status) && WEXITSTATUS(status) == 0) + "\n";
}

// A copy of `source` owned by root with `mode`, in a fresh folder everyone can enter.
class InstalledCopy {
public:
    InstalledCopy(const char *source, mode_t mode) : path_(folder_ / "program")
    {
        ok_ = chmod(folder_.path().c_str(), 0755) == 0 && InstallCopy(source, path_, 0, mode);
    }
    bool ok() const { return ok_; }
    const std::string &path() const { return path_; }

private:
    TempDir folder_{"wfs-launch-test"};
    std::string path_;
    bool ok_ = false;
};

class PrivilegedLaunch : public ::testing::Test {
protected:
    void SetUp() override
    {
        unsetenv("WFS_AUTHORIZATION");
        unsetenv("WFS_LAUNCHED_MODE");
        // As root the launch starts the program directly; anyone else goes through the launcher,
        // which then only has to run the program as it is.
        setenv("WFS_PRIVILEGED_LAUNCHER", WFS_TEST_PRIVILEGED_LAUNCHER, 1);
        setenv("WFS_TEST_LAUNCHER_MODE", "asis", 1);
        ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &auth_), 0);
        ASSERT_EQ(AuthorizationMakeExternalForm(auth_, &form_), 0);
        descriptorsBefore_ = CountOpenDescriptors();
    }
    void TearDown() override
    {
        for (const char *name : {"WFS_PRIVILEGED_LAUNCHER", "WFS_TEST_LAUNCHER_MODE",
                                 "WFS_LAUNCHED_MODE", "WFS_INVOKER_MARKER"}) {
            unsetenv(name);
        }
        if (auth_ != nullptr) AuthorizationFree(auth_, kAuthorizationFlagDefaults);
        EXPECT_EQ(CountOpenDescriptors(), descriptorsBefore_);
        EXPECT_TRUE(NoChildLeft());
    }

    OSStatus Launch(char *const *arguments, FILE **pipe)
    {
        return AuthorizationExecuteWithPrivileges(auth_, WFS_LAUNCHED_PROGRAM,
                                                  kAuthorizationFlagDefaults, arguments, pipe);
    }

    AuthorizationRef auth_ = nullptr;
    AuthorizationExternalForm form_;
    int descriptorsBefore_ = 0;
};

TEST_F(PrivilegedLaunch, DirectLaunchAsRootGivesTheProgramSocketArgumentsAndAuthorization)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    setenv("WFS_INVOKER_MARKER", "kept for a root caller", 1);
    setenv("WFS_AUTHORIZATION", "an inherited value that must not reach the program", 1);
    char one[] = "one", two[] = "two words";
    char *const arguments[] = {one, two, nullptr};
    FILE *pipe = nullptr;
    ASSERT_EQ(Launch(arguments, &pipe), errAuthorizationSuccess);
    unsetenv("WFS_AUTHORIZATION");
    ASSERT_NE(pipe, nullptr);
    Report report = ParseLines(FinishReport(pipe));
    EXPECT_EQ(report["reaped"], "1");
    EXPECT_EQ(report["cloexec"], "1");
    EXPECT_EQ(report["euid"], "0");
    EXPECT_EQ(report["ruid"], "0");
    EXPECT_EQ(report["sock01"], "1");
    EXPECT_EQ(report["argc"], "3");
    EXPECT_EQ(report["arg1"], "one");
    EXPECT_EQ(report["arg2"], "two words");
    EXPECT_EQ(report["auth"], Hex(form_));
    EXPECT_EQ(report["marker"], "kept for a root caller");
    EXPECT_EQ(report["input"], "ping");
}

// A set-user-ID root caller's environment and groups are its invoker's; the program it launches
// runs with real root IDs, so nothing of them may reach it.
TEST_F(PrivilegedLaunch, ElevatedCallerGivesTheProgramNeitherItsEnvironmentNorItsGroups)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as a set-user-ID root process";
    Report report = InChild([&] {
        const gid_t groups[] = {kNobodyID};
        if (setgroups(1, groups) != 0 || setresgid(kNobodyID, 0, 0) != 0 ||
            setresuid(kNobodyID, 0, 0) != 0) {
            return std::string("cannot become set-user-ID-like");
        }
        setenv("WFS_INVOKER_MARKER", "from the invoker", 1);
        FILE *pipe = nullptr;
        if (Launch(nullptr, &pipe) != errAuthorizationSuccess) return std::string("launch failed");
        return FinishReport(pipe);
    });
    EXPECT_EQ(report["reaped"], "1");
    EXPECT_EQ(report["euid"], "0");
    EXPECT_EQ(report["ruid"], "0");
    EXPECT_EQ(report["marker"], "none");
    EXPECT_EQ(report["groups"], "0");
    EXPECT_EQ(report["auth"], Hex(form_));
}

TEST_F(PrivilegedLaunch, LauncherAnswersForACallerRunningAsNobody)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to install the launcher set-user-ID root";
    InstalledCopy launcher(WFS_TEST_PRIVILEGED_LAUNCHER, 04755);
    ASSERT_TRUE(launcher.ok());
    setenv("WFS_PRIVILEGED_LAUNCHER", launcher.path().c_str(), 1);

    // Each launch runs in a child dropped to nobody, which checks its own descriptors and children.
    auto launchAsNobody = [&](const char *mode) {
        setenv("WFS_TEST_LAUNCHER_MODE", mode, 1);
        return InChild([&] {
            if (!DropToNobody()) return std::string("cannot drop");
            const int before = CountOpenDescriptors();
            FILE *pipe = nullptr;
            const OSStatus status = Launch(nullptr, &pipe);
            std::string answer = "status=" + std::to_string(status) + "\n";
            if (status == errAuthorizationSuccess && pipe != nullptr) answer += FinishReport(pipe);
            return answer + "clean=" +
                   std::to_string(CountOpenDescriptors() == before && NoChildLeft() &&
                                  (status == errAuthorizationSuccess || pipe == nullptr)) + "\n";
        });
    };
    EXPECT_EQ(launchAsNobody("refuse")["status"], std::to_string(errAuthorizationDenied));
    EXPECT_EQ(launchAsNobody("dismiss")["status"], std::to_string(errAuthorizationCanceled));
    for (const char *mode : {"refuse", "dismiss"}) EXPECT_EQ(launchAsNobody(mode)["clean"], "1");

    Report granted = launchAsNobody("grant");
    EXPECT_EQ(granted["status"], "0");
    EXPECT_EQ(granted["euid"], "0");
    EXPECT_EQ(granted["ruid"], "0");
    EXPECT_EQ(granted["sock01"], "1");
    EXPECT_EQ(granted["argc"], "1");
    EXPECT_EQ(granted["auth"], Hex(form_));
    EXPECT_EQ(granted["reaped"], "1");
    EXPECT_EQ(granted["clean"], "1");

    setenv("WFS_PRIVILEGED_LAUNCHER", "/nonexistent/launcher", 1);
    Report missing = launchAsNobody("grant");
    EXPECT_EQ(missing["status"], std::to_string(errAuthorizationToolExecuteFailure));
    EXPECT_EQ(missing["clean"], "1");
}

// How the launch reads the program's first moments, whichever way it starts it.
TEST_F(PrivilegedLaunch, OutcomeComesFromFirstByteOrEndWithoutConsumingOutput)
{
    struct Case {
        const char *mode;
        OSStatus status;
        int exitStatus;  // of the program the caller reaps, or -1 when the launch reaped it
    } cases[] = {
        {"write:127", errAuthorizationSuccess, 127},  // output first: the program ran
        {"exit:5", errAuthorizationSuccess, 5},       // silent end, any other status: ran
        {"exit:126", errAuthorizationCanceled, -1},   // silent 126/127: the launcher's answer
        {"exit:127", errAuthorizationDenied, -1},
    };
    for (const Case &c : cases) {
        setenv("WFS_LAUNCHED_MODE", c.mode, 1);
        FILE *pipe = nullptr;
        EXPECT_EQ(Launch(nullptr, &pipe), c.status) << c.mode;
        if (c.exitStatus < 0) {
            EXPECT_EQ(pipe, nullptr) << c.mode;
            continue;
        }
        ASSERT_NE(pipe, nullptr) << c.mode;
        EXPECT_EQ(ReadToEnd(fileno(pipe)), c.exitStatus == 127 ? "x" : "") << c.mode;
        fclose(pipe);
        int status = 0;
        EXPECT_GT(wfs::RetryOnEintr([&] { return waitpid(-1, &status, 0); }), 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == c.exitStatus) << c.mode;
    }
}

TEST_F(PrivilegedLaunch, BadArgumentsAndMissingProgramLeaveNothing)
{
    FILE *pipe = nullptr;
    EXPECT_EQ(AuthorizationExecuteWithPrivileges(auth_, nullptr, 0, nullptr, &pipe),
              errAuthorizationInvalidPointer);
    EXPECT_EQ(Launch(nullptr, nullptr), errAuthorizationInvalidPointer);
    EXPECT_EQ(AuthorizationExecuteWithPrivileges(auth_, WFS_LAUNCHED_PROGRAM,
                                                 kAuthorizationFlagExtendRights, nullptr, &pipe),
              errAuthorizationInvalidFlags);
    EXPECT_EQ(AuthorizationExecuteWithPrivileges(nullptr, WFS_LAUNCHED_PROGRAM, 0, nullptr, &pipe),
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
    EXPECT_EQ(AuthorizationCopyPrivilegedReference(&ref, kAuthorizationFlagExtendRights),
              errAuthorizationInvalidFlags);
    // This process was not started by the launch.
    EXPECT_EQ(AuthorizationCopyPrivilegedReference(&ref, 0), errAuthorizationInvalidRef);
    EXPECT_EQ(ref, nullptr);
    if (geteuid() != 0) GTEST_SKIP() << "the rest needs root";

    const std::string hex = Hex(form_);
    auto copyWith = [&](const char *name, const std::string &value) {
        return InChild([&] {
            setenv(name, value.c_str(), 1);
            AuthorizationRef copied = nullptr;
            const OSStatus status = AuthorizationCopyPrivilegedReference(&copied, 0);
            AuthorizationExternalForm form;
            std::string answer = "status=" + std::to_string(status) + "\n";
            if (status == 0 && AuthorizationMakeExternalForm(copied, &form) == 0) {
                answer += "auth=" + Hex(form) + "\n";
                AuthorizationFree(copied, 0);
            }
            return answer;
        });
    };
    Report good = copyWith("WFS_AUTHORIZATION", hex);
    EXPECT_EQ(good["status"], "0");
    EXPECT_EQ(good["auth"], hex);
    for (const std::string &bad : {hex.substr(2), std::string(64, 'g')}) {
        EXPECT_EQ(copyWith("WFS_AUTHORIZATION", bad)["status"], std::to_string(errAuthorizationInvalidRef));
    }
    // After pkexec: a new authorization, not the caller's.
    Report pkexec = copyWith("PKEXEC_UID", "1000");
    EXPECT_EQ(pkexec["status"], "0");
    EXPECT_EQ(pkexec["auth"].size(), 64u);
    EXPECT_NE(pkexec["auth"], hex);

    // A set-user-ID root copy run by hand as nobody cannot be fed an authorization.
    InstalledCopy setuidProgram(WFS_LAUNCHED_PROGRAM, 04755);
    ASSERT_TRUE(setuidProgram.ok());
    const std::string variable = "WFS_AUTHORIZATION=" + hex;
    char *const byHandArgv[] = {const_cast<char *>(setuidProgram.path().c_str()), nullptr};
    char *const byHandEnvp[] = {const_cast<char *>(variable.c_str()),
                                const_cast<char *>("ASAN_OPTIONS=detect_leaks=0"), nullptr};
    Report byHand = InChild([&] {
        SocketPair pair;
        const pid_t pid = StartChild([&] {
            if (dup2(pair.theirs.get(), 0) == 0 && dup2(pair.theirs.get(), 1) == 1 && DropToNobody()) {
                execve(byHandArgv[0], byHandArgv, byHandEnvp);
            }
            return 1;
        });
        pair.theirs.reset();
        shutdown(pair.ours.get(), SHUT_WR);
        std::string text = ReadToEnd(pair.ours.get());
        (void) WaitChild(pid);
        return text.size() > 4 ? text.substr(4) : text;
    });
    EXPECT_EQ(byHand["euid"], "0");
    EXPECT_EQ(byHand["ruid"], std::to_string(kNobodyID));
    EXPECT_EQ(byHand["auth"], "ERR " + std::to_string(errAuthorizationInvalidRef));
}

}  // namespace
