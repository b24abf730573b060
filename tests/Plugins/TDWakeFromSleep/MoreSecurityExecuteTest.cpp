// Running one request in a real tool process (MoreSecurityToolMainTool) and reading what it answers
// and how it ends. Every case checks that the client is left with exactly the descriptors it had
// (apart from those a response hands over) and no child.

#include "MoreSecurityTestSupport.h"

#include <limits.h>
#include <stdio.h>
#include <sys/mman.h>

using namespace wfs_test;

namespace {

class MoreSecExecute : public AuthorizedTest {
protected:
    void SetUp() override
    {
        AuthorizedTest::SetUp();
        if (HasFatalFailure()) return;
        CFDictionarySetValue(request_.get(), CFSTR("Payload"), CFSTR("hello tool"));
        wfstest::WriteFile(dir_ / "file", "x");
        wfstest::WriteFile(dir_ / "not-executable", "#!/bin/sh\n", 0644);
        // The real tool in a folder anyone may write to: it would run if it were started.
        std::filesystem::create_directories(dir_ / "shared");
        ASSERT_EQ(chmod((dir_ / "shared").c_str(), 0777), 0);
        ASSERT_TRUE(wfstest::InstallCopy(MORE_SECURITY_TOOL_MAIN_TOOL, dir_ / "shared/tool", getuid(), 0755));
    }

    // Runs the request against `tool` in `mode`; checks that nothing is left behind but the
    // descriptors the response lists, and answers the error.
    int Run(const char *mode, wfs::CFRef<CFDictionaryRef> *response,
            const std::string &tool = MORE_SECURITY_TOOL_MAIN_TOOL)
    {
        wfstest::ScopedEnv modeVariable("WFS_WIRE_TOOL_MODE", mode);
        const int before = CountOpenDescriptors();
        const int err = ExecuteRequest(tool, auth_, request_.get(), response);
        const size_t handedOver = *response ? DescriptorsIn(response->get()).size() : 0;
        EXPECT_EQ(CountOpenDescriptors(), before + static_cast<int>(handedOver)) << mode;
        EXPECT_TRUE(NoChildLeft()) << mode;
        EXPECT_EQ((err == 0), static_cast<bool>(*response)) << mode;
        return err;
    }

    wfstest::TempDir dir_;
    wfstest::ScopedEnv file_{"WFS_WIRE_TOOL_FILE", dir_ / "file"};
    wfs::CFRef<CFMutableDictionaryRef> request_ = MakeDictionary();
};

TEST_F(MoreSecExecute, ExitStatusAndResponseGiveTheResult)
{
    const struct {
        const char *mode;
        int err;
        std::string tool;
    } cases[] = {
        {"exit:2", kHelperToolDeniedErr, MORE_SECURITY_TOOL_MAIN_TOOL},  // read the request, no answer
        {"fds:4", kHelperToolFailedErr, MORE_SECURITY_TOOL_MAIN_TOOL},   // complete answer, then 4
        {"killed", kHelperToolFailedErr, MORE_SECURITY_TOOL_MAIN_TOOL},
        {"exit:9", kHelperToolFailedErr, MORE_SECURITY_TOOL_MAIN_TOOL},
        {"partial", EPIPE, MORE_SECURITY_TOOL_MAIN_TOOL},  // 0 after a broken answer is no success
        {"answer", ENOENT, "/nonexistent/MoreSecExecute/tool"},  // nothing to check, nothing started
        {"answer", EPERM, dir_ / "shared/tool"},                   // others could swap it: not started
        {"answer", kHelperToolFailedErr, dir_ / "not-executable"},
        {"answer", coreFoundationUnknownErr, "/" + std::string(PATH_MAX + 10, 'x')},
    };
    for (const auto &c : cases) {
        wfs::CFRef<CFDictionaryRef> response;
        EXPECT_EQ(Run(c.mode, &response, c.tool), c.err) << c.mode << " " << c.tool.substr(0, 40);
    }

    wfs::CFRef<CFDictionaryRef> response;
    ASSERT_EQ(Run("answer", &response), 0);
    EXPECT_EQ(Utf8(CFDictionaryGetValue(response.get(), CFSTR("Echo"))), "hello tool");
    EXPECT_EQ(DescriptorArrayOf(response.get()), nullptr);

    // The descriptors of a successful response belong to the caller.
    response.reset();
    ASSERT_EQ(Run("fds:0", &response), 0);
    wfs::UniqueFd file(open((dir_ / "file").c_str(), O_RDONLY | O_CLOEXEC));
    for (int fd : DescriptorsIn(response.get())) EXPECT_TRUE(SameFile(fd, file.get()));
    EXPECT_EQ(DescriptorsIn(response.get()).size(), 2u);
    MoreSecCloseDescriptorArray(DescriptorArrayOf(response.get()));
}

// The probe as the tool: it writes how it was started to standard error, which it shares with us
// (so that its report arrives at all shows the shared standard error and the environment passed on).
TEST_F(MoreSecExecute, ToolGetsItsPathTheSocketAndTheCallersStderrAndEnvironment)
{
    wfstest::ScopedEnv mode("WFS_PROBE_MODE", "stderr");
    const std::string input = ToolInput(auth_, request_.get());
    // Twice: the second time with descriptor 0 free, so that the socket pair lands on it.
    wfs::UniqueFd savedStdin(fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3));
    for (bool stdinClosed : {false, true}) {
        wfs::UniqueFd log(memfd_create("probe", MFD_CLOEXEC));
        wfs::UniqueFd savedStderr(fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3));
        ASSERT_EQ(dup2(log.get(), STDERR_FILENO), STDERR_FILENO);
        if (stdinClosed && savedStdin) {
            ASSERT_EQ(close(STDIN_FILENO), 0);
        }
        std::string inheritable = "0,1,2";  // what the tool must have: these, and no end of the socket
        for (int fd = 3; fd < 1024; fd++) {
            inheritable += fcntl(fd, F_GETFD) == 0 ? "," + std::to_string(fd) : "";
        }
        wfs::CFRef<CFDictionaryRef> response;
        const int err = ExecuteRequest(WFS_PROBE, auth_, request_.get(), &response);
        ASSERT_EQ(dup2(savedStderr.get(), STDERR_FILENO), STDERR_FILENO);
        EXPECT_EQ(err, EPIPE);  // it answered nothing
        EXPECT_TRUE(NoChildLeft());
        ASSERT_EQ(lseek(log.get(), 0, SEEK_SET), 0);
        auto probe = ParseLines(ReadAll(log.get()));
        EXPECT_EQ(probe["argc"], "1");
        EXPECT_EQ(probe["argv0"], WFS_PROBE);
        EXPECT_TRUE(probe["fd.0"] == probe["fd.1"] && probe["fd.0"].rfind("sock:", 0) == 0) << probe["fd.0"];
        EXPECT_EQ(probe["fds"], inheritable);
        EXPECT_EQ(probe["input"], Hex(input));
    }
    EXPECT_FALSE(DescriptorIsOpen(STDIN_FILENO));
    if (savedStdin) {
        ASSERT_EQ(dup2(savedStdin.get(), STDIN_FILENO), STDIN_FILENO);
    }
}

TEST(MoreSecWaitForDebugger, OnlyECHILDWaitsOnceMore)
{
    // Standard error goes to a file for the duration, so the one message can be read back.
    wfstest::TempDir dir;
    wfs::UniqueFd capture(open((dir / "stderr").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    fflush(stderr);
    wfs::UniqueFd savedStderr(fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3));
    ASSERT_EQ(dup2(capture.get(), STDERR_FILENO), STDERR_FILENO);
    const pid_t child = fork();
    if (child == 0) _exit(7);
    // Left alone, left alone, waits (and reaps the child), nothing left to wait for.
    const int given[4] = {0, EINTR, ECHILD, ECHILD}, expected[4] = {0, EINTR, 0, ECHILD};
    int results[4], status = 0;
    for (int i = 0; i < 4; i++) {
        results[i] = given[i];
        CheckWaitForDebuggerInterference(&results[i], child, &status);
    }
    fflush(stderr);
    ASSERT_EQ(dup2(savedStderr.get(), STDERR_FILENO), STDERR_FILENO);
    EXPECT_TRUE(std::equal(results, results + 4, expected));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7);
    EXPECT_TRUE(NoChildLeft());
    const std::string line = "MoreSecurity: You need to have a breakpoint set here.\n";
    EXPECT_EQ(wfstest::ReadFile(dir / "stderr"), line + line);
}

}  // namespace
