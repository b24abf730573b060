// Running one request in a real tool process (MoreSecurityWireTool) and reading what it answers
// and how it ends. Every case checks that the client is left with exactly the descriptors it had
// (apart from those a response hands over) and no child.

#include "MoreSecurityWireTestSupport.h"

#include <limits.h>
#include <stdio.h>

using namespace wfs_test;

namespace {

wfs::CFRef<CFURLRef> URLForPath(const std::string &path)
{
    return wfs::CFRef<CFURLRef>(CFURLCreateFromFileSystemRepresentation(
        nullptr, reinterpret_cast<const UInt8 *>(path.data()), static_cast<CFIndex>(path.size()), false));
}

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
        ASSERT_TRUE(wfstest::InstallCopy(MORE_SECURITY_WIRE_TOOL, dir_ / "shared/tool", getuid(), 0755));
    }

    // Runs the request against `tool` in `mode`; checks what is left behind, and answers the error.
    int Run(const char *mode, wfs::CFRef<CFDictionaryRef> *response, size_t handedOver = 0,
            const std::string &tool = MORE_SECURITY_WIRE_TOOL)
    {
        wfstest::ScopedEnv modeVariable("WFS_WIRE_TOOL_MODE", mode);
        const int before = CountOpenDescriptors();
        const int err = MoreSecExecuteRequestInHelperTool(URLForPath(tool).get(), auth_,
                                                          request_.get(), response->out());
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
        {"exit:2", kHelperToolDeniedErr, MORE_SECURITY_WIRE_TOOL},  // read the request, no answer
        {"fds:4", kHelperToolFailedErr, MORE_SECURITY_WIRE_TOOL},   // complete answer, then 4
        {"killed", kHelperToolFailedErr, MORE_SECURITY_WIRE_TOOL},
        {"exit:9", kHelperToolFailedErr, MORE_SECURITY_WIRE_TOOL},
        {"partial", EPIPE, MORE_SECURITY_WIRE_TOOL},  // 0 after a broken answer is no success
        {"answer", ENOENT, "/nonexistent/MoreSecExecute/tool"},  // nothing to check, nothing started
        {"answer", EPERM, dir_ / "shared/tool"},                   // others could swap it: not started
        {"answer", kHelperToolFailedErr, dir_ / "not-executable"},
        {"answer", coreFoundationUnknownErr, "/" + std::string(PATH_MAX + 10, 'x')},
    };
    for (const auto &c : cases) {
        wfs::CFRef<CFDictionaryRef> response;
        EXPECT_EQ(Run(c.mode, &response, 0, c.tool), c.err) << c.mode << " " << c.tool.substr(0, 40);
    }

    wfs::CFRef<CFDictionaryRef> response;
    ASSERT_EQ(Run("answer", &response), 0);
    EXPECT_EQ(GetString(response.get(), CFSTR("Echo")), "hello tool");
    EXPECT_EQ(DescriptorArrayOf(response.get()), nullptr);

    // The descriptors of a successful response belong to the caller.
    response.reset();
    ASSERT_EQ(Run("fds:0", &response, 2), 0);
    wfs::UniqueFd file(open((dir_ / "file").c_str(), O_RDONLY | O_CLOEXEC));
    for (int fd : DescriptorsIn(response.get())) EXPECT_TRUE(SameFile(fd, file.get()));
    EXPECT_EQ(DescriptorsIn(response.get()).size(), 2u);
    MoreSecCloseDescriptorArray(DescriptorArrayOf(response.get()));
}

TEST_F(MoreSecExecute, ToolGetsItsPathTheSocketAndTheCallersStderrAndEnvironment)
{
    wfstest::ScopedEnv marker("WFS_WIRE_TOOL_MARKER", "marker-4711");
    // Twice: the second time with descriptor 0 free, so that the socket pair lands on it.
    wfs::UniqueFd savedStdin(fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3));
    for (bool stdinClosed : {false, true}) {
        if (stdinClosed && savedStdin) {
            ASSERT_EQ(close(STDIN_FILENO), 0);
        }
        wfs::CFRef<CFDictionaryRef> response;
        ASSERT_EQ(Run("inspect", &response), 0);
        CFDictionaryRef r = response.get();
        EXPECT_EQ(GetInt64(r, CFSTR("Argc")), 1);
        EXPECT_EQ(GetString(r, CFSTR("Argv0")), MORE_SECURITY_WIRE_TOOL);
        EXPECT_EQ(GetInt64(r, CFSTR("Socket01")), 1);
        EXPECT_EQ(GetInt64(r, CFSTR("PeerPid")), getpid());
        struct stat ourStderr {};
        ASSERT_EQ(fstat(STDERR_FILENO, &ourStderr), 0);
        EXPECT_EQ(GetInt64(r, CFSTR("Fd2Dev")), static_cast<long long>(ourStderr.st_dev));
        EXPECT_EQ(GetInt64(r, CFSTR("Fd2Ino")), static_cast<long long>(ourStderr.st_ino));
        EXPECT_EQ(GetString(r, CFSTR("Marker")), "marker-4711");
        // Neither end of the socket pair leaks into the tool beyond 0 and 1.
        long long inheritable = 0;
        for (int fd = 3; fd < 1024; fd++) inheritable += fcntl(fd, F_GETFD) == 0;
        EXPECT_EQ(GetInt64(r, CFSTR("ExtraFds")), inheritable);
        CFDataRef form = static_cast<CFDataRef>(CFDictionaryGetValue(r, CFSTR("ExternalForm")));
        ASSERT_NE(form, nullptr);
        EXPECT_EQ(std::string(reinterpret_cast<const char *>(CFDataGetBytePtr(form)), CFDataGetLength(form)),
                  ExternalFormOf(auth_));
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
    int status = 0, results[4];
    const int given[4] = {0, EINTR, ECHILD, ECHILD};  // left alone, left alone, waits, nothing left
    for (int i = 0; i < 4; i++) {
        results[i] = given[i];
        CheckWaitForDebuggerInterference(&results[i], child, &status);
        if (i == 2) {
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7);
        }
    }
    fflush(stderr);
    ASSERT_EQ(dup2(savedStderr.get(), STDERR_FILENO), STDERR_FILENO);
    EXPECT_EQ(results[0], 0);
    EXPECT_EQ(results[1], EINTR);
    EXPECT_EQ(results[2], 0);
    EXPECT_EQ(results[3], ECHILD);
    EXPECT_TRUE(NoChildLeft());
    const std::string line = "MoreSecurity: You need to have a breakpoint set here.\n";
    EXPECT_EQ(line.size(), 54u);
    EXPECT_EQ(wfstest::ReadFile(dir / "stderr"), line + line);
}

TEST(MoreSecExecuteDeathTest, ACallerThatDoesNotIgnoreSIGPIPEIsStopped)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    AuthorizationRef auth = nullptr;
    ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &auth), 0);
    EXPECT_DEATH(
        {
            signal(SIGPIPE, SIG_DFL);
            CFDictionaryRef response = nullptr;
            MoreSecExecuteRequestInHelperTool(URLForPath(MORE_SECURITY_WIRE_TOOL).get(), auth,
                                              MakeDictionary().get(), &response);
        },
        wfstest::AssertionPattern("MoreSecurityExecute.cpp", "SIGPIPEIsIgnored()"));
    AuthorizationFree(auth, kAuthorizationFlagDefaults);
}

}  // namespace
