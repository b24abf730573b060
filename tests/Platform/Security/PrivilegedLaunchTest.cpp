// The privileged launch with real processes: a root caller's direct start, the launcher's answers
// for a caller running as nobody, what the launched program is given, and that the launch neither
// consumes the program's output nor leaves descriptors or children behind.

#include <Security/Security.h>

#include <Support/Eintr.h>
#include <Support/UniqueFd.h>

#include <gtest/gtest.h>

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

constexpr uid_t kNobody = 65534;

int CountOpenDescriptors()
{
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (struct dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.') count++;
    }
    closedir(dir);
    return count - 1;
}

bool NoChildLeft()
{
    errno = 0;
    return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

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

bool DropToNobody()
{
    return setgroups(0, nullptr) == 0 && setresgid(kNobody, kNobody, kNobody) == 0 &&
           setresuid(kNobody, kNobody, kNobody) == 0;
}

// Reads everything up to the end of the stream.
std::string ReadToEnd(int fd)
{
    std::string text;
    char buffer[512];
    for (;;) {
        const ssize_t n = wfs::RetryOnEintr([&] { return read(fd, buffer, sizeof(buffer)); });
        if (n <= 0) break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

std::map<std::string, std::string> ParseLines(const std::string &text)
{
    std::map<std::string, std::string> values;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        const size_t equals = line.find('=');
        if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
        start = end + 1;
    }
    return values;
}

// Runs `body` in a forked child and answers what it wrote to the pipe it was given.
std::string InChild(const std::function<std::string()> &body)
{
    int fds[2] = {-1, -1};
    if (pipe2(fds, O_CLOEXEC) != 0) return "pipe failed";
    wfs::UniqueFd readEnd(fds[0]);
    wfs::UniqueFd writeEnd(fds[1]);
    const pid_t pid = fork();
    if (pid == 0) {
        const std::string answer = body();
        ssize_t ignored = write(writeEnd.get(), answer.data(), answer.size());
        (void) ignored;
        _exit(0);
    }
    writeEnd.reset();
    std::string answer = ReadToEnd(readEnd.get());
    int status = 0;
    (void) wfs::RetryOnEintr([&] { return waitpid(pid, &status, 0); });
    return answer;
}

// A copy of `source` in a fresh folder that everyone can enter, owned by root with `mode`;
// removed again by the destructor.
class InstalledCopy {
public:
    InstalledCopy(const char *source, mode_t mode)
    {
        char folder[] = "/tmp/wfs-launch-test-XXXXXX";
        if (mkdtemp(folder) == nullptr) return;
        folder_ = folder;
        chmod(folder, 0755);
        path_ = folder_ + "/program";
        wfs::UniqueFd in(open(source, O_RDONLY | O_CLOEXEC));
        wfs::UniqueFd out(open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0700));
        if (!in || !out) return;
        char buffer[65536];
        for (;;) {
            const ssize_t n = read(in.get(), buffer, sizeof(buffer));
            if (n <= 0) break;
            if (write(out.get(), buffer, static_cast<size_t>(n)) != n) return;
        }
        ok_ = fchown(out.get(), 0, 0) == 0 && fchmod(out.get(), mode) == 0;
    }
    ~InstalledCopy()
    {
        if (!path_.empty()) unlink(path_.c_str());
        if (!folder_.empty()) rmdir(folder_.c_str());
    }
    bool ok() const { return ok_; }
    const std::string &path() const { return path_; }

private:
    std::string folder_;
    std::string path_;
    bool ok_ = false;
};

class PrivilegedLaunch : public ::testing::Test {
protected:
    void SetUp() override
    {
        unsetenv("WFS_AUTHORIZATION");
        unsetenv("WFS_LAUNCHED_MODE");
        unsetenv("WFS_TEST_LAUNCHER_MODE");
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
        unsetenv("WFS_PRIVILEGED_LAUNCHER");
        unsetenv("WFS_TEST_LAUNCHER_MODE");
        unsetenv("WFS_LAUNCHED_MODE");
        if (auth_ != nullptr) AuthorizationFree(auth_, kAuthorizationFlagDefaults);
        EXPECT_EQ(CountOpenDescriptors(), descriptorsBefore_);
        EXPECT_TRUE(NoChildLeft());
    }

    AuthorizationRef auth_ = nullptr;
    AuthorizationExternalForm form_;
    int descriptorsBefore_ = 0;
};

TEST_F(PrivilegedLaunch, DirectLaunchAsRootGivesTheProgramSocketArgumentsAndAuthorization)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    setenv("WFS_LAUNCHED_MODE", "report", 1);
    setenv("WFS_AUTHORIZATION", "an inherited value that must not reach the program", 1);
    char one[] = "one";
    char two[] = "two words";
    char *const arguments[] = {one, two, nullptr};
    FILE *pipe = nullptr;
    ASSERT_EQ(AuthorizationExecuteWithPrivileges(auth_, WFS_LAUNCHED_PROGRAM,
                                                 kAuthorizationFlagDefaults, arguments, &pipe),
              errAuthorizationSuccess);
    unsetenv("WFS_AUTHORIZATION");
    ASSERT_NE(pipe, nullptr);
    const int fd = fileno(pipe);

    // The program's first bytes are still there for us: its process ID, which is our child's.
    int32_t pid = -1;
    ASSERT_EQ(wfs::RetryOnEintr([&] { return read(fd, &pid, sizeof(pid)); }),
              static_cast<ssize_t>(sizeof(pid)));
    // The caller's end of the socket is close-on-exec and a two-way socket.
    EXPECT_TRUE(fcntl(fd, F_GETFD) & FD_CLOEXEC);
    ASSERT_EQ(write(fd, "ping", 4), 4);
    ASSERT_EQ(shutdown(fd, SHUT_WR), 0);
    const auto report = ParseLines(ReadToEnd(fd));
    EXPECT_EQ(fclose(pipe), 0);

    int status = 0;
    ASSERT_EQ(wfs::RetryOnEintr([&] { return waitpid(pid, &status, 0); }), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(report.at("euid"), "0");
    EXPECT_EQ(report.at("ruid"), "0");
    EXPECT_EQ(report.at("sock01"), "1");
    EXPECT_EQ(report.at("argc"), "3");
    EXPECT_EQ(report.at("arg1"), "one");
    EXPECT_EQ(report.at("arg2"), "two words");
    EXPECT_EQ(report.at("auth"), Hex(form_));
    EXPECT_EQ(report.at("input"), "ping");
}

TEST_F(PrivilegedLaunch, LauncherAnswersForACallerRunningAsNobody)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root to install the launcher set-user-ID root";
    InstalledCopy launcher(WFS_TEST_PRIVILEGED_LAUNCHER, 04755);
    ASSERT_TRUE(launcher.ok());
    setenv("WFS_PRIVILEGED_LAUNCHER", launcher.path().c_str(), 1);
    setenv("WFS_LAUNCHED_MODE", "report", 1);

    // Each launch runs in a child dropped to nobody, which checks its own descriptors and
    // children and reports "status fdsKept noChild" and, when the program ran, its report.
    auto launchAsNobody = [&](const char *mode) {
        setenv("WFS_TEST_LAUNCHER_MODE", mode, 1);
        return InChild([&] {
            if (!DropToNobody()) return std::string("cannot drop");
            const int before = CountOpenDescriptors();
            FILE *pipe = nullptr;
            const OSStatus status = AuthorizationExecuteWithPrivileges(
                auth_, WFS_LAUNCHED_PROGRAM, kAuthorizationFlagDefaults, nullptr, &pipe);
            std::string answer = "status=" + std::to_string(status) + "\n";
            if (status == errAuthorizationSuccess && pipe != nullptr) {
                int32_t pid = -1;
                if (read(fileno(pipe), &pid, sizeof(pid)) != sizeof(pid)) return answer + "no pid";
                shutdown(fileno(pipe), SHUT_WR);
                answer += ReadToEnd(fileno(pipe));
                fclose(pipe);
                int programStatus = -1;
                answer += "reaped=" +
                          std::to_string(waitpid(pid, &programStatus, 0) == pid &&
                                         WIFEXITED(programStatus)) + "\n";
            }
            answer += "fdsKept=" + std::to_string(CountOpenDescriptors() == before) + "\n";
            answer += "noChild=" + std::to_string(NoChildLeft()) + "\n";
            answer += "pipeUntouched=" +
                      std::to_string(status == errAuthorizationSuccess || pipe == nullptr) + "\n";
            return answer;
        });
    };

    auto refused = ParseLines(launchAsNobody("refuse"));
    EXPECT_EQ(refused["status"], std::to_string(errAuthorizationDenied));
    auto dismissed = ParseLines(launchAsNobody("dismiss"));
    EXPECT_EQ(dismissed["status"], std::to_string(errAuthorizationCanceled));
    for (auto *answer : {&refused, &dismissed}) {
        EXPECT_EQ((*answer)["fdsKept"], "1");
        EXPECT_EQ((*answer)["noChild"], "1");
        EXPECT_EQ((*answer)["pipeUntouched"], "1");
    }

    auto granted = ParseLines(launchAsNobody("grant"));
    EXPECT_EQ(granted["status"], "0");
    EXPECT_EQ(granted["euid"], "0");
    EXPECT_EQ(granted["ruid"], "0");
    EXPECT_EQ(granted["sock01"], "1");
    EXPECT_EQ(granted["argc"], "1");
    EXPECT_EQ(granted["auth"], Hex(form_));
    EXPECT_EQ(granted["reaped"], "1");
    EXPECT_EQ(granted["fdsKept"], "1");
    EXPECT_EQ(granted["noChild"], "1");

    setenv("WFS_PRIVILEGED_LAUNCHER", "/nonexistent/launcher", 1);
    auto missing = ParseLines(launchAsNobody("grant"));
    EXPECT_EQ(missing["status"], std::to_string(errAuthorizationToolExecuteFailure));
    EXPECT_EQ(missing["fdsKept"], "1");
    EXPECT_EQ(missing["noChild"], "1");
}

// How the launch reads the program's first moments, whichever way it starts it (directly as
// root, otherwise through the launcher running it as it is).
TEST_F(PrivilegedLaunch, OutcomeComesFromFirstByteOrEndWithoutConsumingOutput)
{
    auto launch = [&](const char *mode, FILE **pipe) {
        setenv("WFS_LAUNCHED_MODE", mode, 1);
        return AuthorizationExecuteWithPrivileges(auth_, WFS_LAUNCHED_PROGRAM,
                                                  kAuthorizationFlagDefaults, nullptr, pipe);
    };

    // Output first, then an end with the launcher's refusal status: the program ran.
    FILE *pipe = nullptr;
    ASSERT_EQ(launch("write:127", &pipe), errAuthorizationSuccess);
    char byte = 0;
    EXPECT_EQ(read(fileno(pipe), &byte, 1), 1);
    EXPECT_EQ(byte, 'x');
    fclose(pipe);
    int status = 0;
    EXPECT_GT(wfs::RetryOnEintr([&] { return waitpid(-1, &status, 0); }), 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 127);

    // A silent end with any other status: the program ran and is left for us to reap.
    pipe = nullptr;
    ASSERT_EQ(launch("exit:5", &pipe), errAuthorizationSuccess);
    ASSERT_NE(pipe, nullptr);
    fclose(pipe);
    status = 0;
    EXPECT_GT(wfs::RetryOnEintr([&] { return waitpid(-1, &status, 0); }), 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 5);

    // A silent end with 126 or 127 reads as the launcher's answer; the child is reaped.
    pipe = nullptr;
    EXPECT_EQ(launch("exit:126", &pipe), errAuthorizationCanceled);
    EXPECT_EQ(pipe, nullptr);
    EXPECT_EQ(launch("exit:127", &pipe), errAuthorizationDenied);
    EXPECT_EQ(pipe, nullptr);
    EXPECT_TRUE(NoChildLeft());
}

TEST_F(PrivilegedLaunch, BadArgumentsAndMissingProgramLeaveNothing)
{
    FILE *pipe = nullptr;
    EXPECT_EQ(AuthorizationExecuteWithPrivileges(auth_, nullptr, 0, nullptr, &pipe),
              errAuthorizationInvalidPointer);
    EXPECT_EQ(AuthorizationExecuteWithPrivileges(auth_, WFS_LAUNCHED_PROGRAM, 0, nullptr, nullptr),
              errAuthorizationInvalidPointer);
    EXPECT_EQ(AuthorizationExecuteWithPrivileges(auth_, WFS_LAUNCHED_PROGRAM,
                                                 kAuthorizationFlagExtendRights, nullptr, &pipe),
              errAuthorizationInvalidFlags);
    EXPECT_EQ(AuthorizationExecuteWithPrivileges(nullptr, WFS_LAUNCHED_PROGRAM, 0, nullptr, &pipe),
              errAuthorizationInvalidRef);
    EXPECT_EQ(AuthorizationExecuteWithPrivileges(auth_, "relative/program", 0, nullptr, &pipe),
              errAuthorizationToolExecuteFailure);
    // As root the program itself cannot be executed; otherwise the launcher runs, cannot execute
    // it and ends with 127 as pkexec does.
    const OSStatus missing =
        AuthorizationExecuteWithPrivileges(auth_, "/nonexistent/program", 0, nullptr, &pipe);
    EXPECT_EQ(missing, geteuid() == 0 ? errAuthorizationToolExecuteFailure : errAuthorizationDenied);
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
    auto good = ParseLines(copyWith("WFS_AUTHORIZATION", hex));
    EXPECT_EQ(good["status"], "0");
    EXPECT_EQ(good["auth"], hex);
    EXPECT_EQ(ParseLines(copyWith("WFS_AUTHORIZATION", hex.substr(2)))["status"],
              std::to_string(errAuthorizationInvalidRef));
    EXPECT_EQ(ParseLines(copyWith("WFS_AUTHORIZATION", std::string(64, 'g')))["status"],
              std::to_string(errAuthorizationInvalidRef));
    // After pkexec: a new authorization, not the caller's.
    auto pkexec = ParseLines(copyWith("PKEXEC_UID", "1000"));
    EXPECT_EQ(pkexec["status"], "0");
    EXPECT_EQ(pkexec["auth"].size(), 64u);
    EXPECT_NE(pkexec["auth"], hex);

    // A set-user-ID root copy run by hand as nobody cannot be fed an authorization.
    InstalledCopy setuidProgram(WFS_LAUNCHED_PROGRAM, 04755);
    ASSERT_TRUE(setuidProgram.ok());
    // Everything the grandchild execs with is prepared before it is forked.
    const std::string variable = "WFS_AUTHORIZATION=" + hex;
    char *const byHandArgv[] = {const_cast<char *>(setuidProgram.path().c_str()), nullptr};
    char *const byHandEnvp[] = {const_cast<char *>(variable.c_str()),
                                const_cast<char *>("WFS_LAUNCHED_MODE=report"),
                                const_cast<char *>("ASAN_OPTIONS=detect_leaks=0"), nullptr};
    auto byHand = ParseLines(InChild([&] {
        int pair[2] = {-1, -1};
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return std::string();
        const pid_t pid = fork();
        if (pid == 0) {
            dup2(pair[1], 0);
            dup2(pair[1], 1);
            if (!DropToNobody()) _exit(1);
            execve(byHandArgv[0], byHandArgv, byHandEnvp);
            _exit(1);
        }
        close(pair[1]);
        shutdown(pair[0], SHUT_WR);
        std::string text = ReadToEnd(pair[0]);
        close(pair[0]);
        waitpid(pid, nullptr, 0);
        return text.size() > 4 ? text.substr(4) : text;
    }));
    EXPECT_EQ(byHand["euid"], "0");
    EXPECT_EQ(byHand["ruid"], std::to_string(kNobody));
    EXPECT_EQ(byHand["auth"], "ERR " + std::to_string(errAuthorizationInvalidRef));
}

}  // namespace
