// Running one request in a real tool process (MoreSecurityWireTool) and reading what it answers
// and how it ends. Every case checks that the client is left with exactly the descriptors it had
// and no child.

#include "MoreSecurityWireTestSupport.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

using namespace wfs_test;

namespace {

wfs::CFRef<CFURLRef> URLForPath(const std::string &path)
{
    return wfs::CFRef<CFURLRef>(CFURLCreateFromFileSystemRepresentation(
        nullptr, reinterpret_cast<const UInt8 *>(path.data()), static_cast<CFIndex>(path.size()),
        false));
}

// Non-close-on-exec descriptors above 2 in this process: what any child inherits besides 0-2.
long long InheritableDescriptorsAboveStandard()
{
    long long count = 0;
    for (int fd = 3; fd < 1024; fd++) {
        const int flags = fcntl(fd, F_GETFD);
        if (flags >= 0 && (flags & FD_CLOEXEC) == 0) count++;
    }
    return count;
}

class MoreSecExecute : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(MoreUNIXIgnoreSIGPIPE(), 0);
        ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &auth_), 0);
        tool_ = URLForPath(MORE_SECURITY_WIRE_TOOL);
        request_ = MakeDictionary();
        CFDictionarySetValue(request_.get(), CFSTR("CommandName"), CFSTR("GetPrivileges"));
        CFDictionarySetValue(request_.get(), CFSTR("Payload"), CFSTR("hello tool"));
        descriptorsBefore_ = CountOpenDescriptors();
    }

    void TearDown() override
    {
        unsetenv("WFS_WIRE_TOOL_MODE");
        unsetenv("WFS_WIRE_TOOL_FILE");
        unsetenv("WFS_WIRE_TOOL_MARKER");
        if (auth_ != nullptr) AuthorizationFree(auth_, kAuthorizationFlagDefaults);
    }

    // Runs the request against the tool in `mode`; the error and the response.
    std::pair<int, wfs::CFRef<CFDictionaryRef>> Run(const char *mode, CFURLRef tool = nullptr)
    {
        setenv("WFS_WIRE_TOOL_MODE", mode, 1);
        wfs::CFRef<CFDictionaryRef> response;
        const int err = MoreSecExecuteRequestInHelperTool(tool != nullptr ? tool : tool_.get(),
                                                          auth_, request_.get(), response.out());
        return {err, std::move(response)};
    }

    // The client is back where it started, apart from descriptors a response handed over.
    void ExpectNothingLeft(int handedOver = 0)
    {
        EXPECT_EQ(CountOpenDescriptors(), descriptorsBefore_ + handedOver);
        EXPECT_TRUE(NoChildLeft());
    }

    AuthorizationRef auth_ = nullptr;
    wfs::CFRef<CFURLRef> tool_;
    wfs::CFRef<CFMutableDictionaryRef> request_;
    int descriptorsBefore_ = 0;
};

}  // namespace

TEST_F(MoreSecExecute, CompleteResponseAndStatusZeroIsSuccess)
{
    auto [err, response] = Run("answer");
    ASSERT_EQ(err, 0);
    ASSERT_TRUE(response);
    EXPECT_EQ(GetString(response.get(), CFSTR("Echo")), "hello tool");
    EXPECT_EQ(MoreSecGetErrorFromResponse(response.get()), 0);
    EXPECT_EQ(CFDictionaryGetValue(response.get(), DescriptorArrayKey), nullptr);
    ExpectNothingLeft();
}

TEST_F(MoreSecExecute, DescriptorsOfASuccessfulResponseBelongToTheCaller)
{
    char path[] = "/tmp/MoreSecExecuteXXXXXX";
    wfs::UniqueFd file(mkostemp(path, O_CLOEXEC));
    ASSERT_TRUE(file);
    setenv("WFS_WIRE_TOOL_FILE", path, 1);
    const FileId id = IdOf(file.get());
    file.reset();

    auto [err, response] = Run("fds-answer");
    unlink(path);
    ASSERT_EQ(err, 0);
    const std::vector<int> fds = DescriptorsIn(response.get());
    ASSERT_EQ(fds.size(), 2u);
    for (int fd : fds) EXPECT_TRUE(IdOf(fd) == id);
    ExpectNothingLeft(2);
    MoreSecCloseDescriptorArray(
        static_cast<CFArrayRef>(CFDictionaryGetValue(response.get(), DescriptorArrayKey)));
    ExpectNothingLeft();
}

TEST_F(MoreSecExecute, ExitStatusDecidesWhenTheToolEndsWithoutAnswering)
{
    {
        auto [err, response] = Run("deny");
        EXPECT_EQ(err, kHelperToolDeniedErr);
        EXPECT_FALSE(response);
        ExpectNothingLeft();
    }
    {
        auto [err, response] = Run("exit9");
        EXPECT_EQ(err, kHelperToolFailedErr);
        EXPECT_FALSE(response);
        ExpectNothingLeft();
    }
    {
        auto [err, response] = Run("killed");
        EXPECT_EQ(err, kHelperToolFailedErr);
        EXPECT_FALSE(response);
        ExpectNothingLeft();
    }
}

TEST_F(MoreSecExecute, FailureStatusDiscardsACompleteResponseAndClosesItsDescriptors)
{
    auto [err, response] = Run("fds-then-fail");
    EXPECT_EQ(err, kHelperToolFailedErr);
    EXPECT_FALSE(response);
    ExpectNothingLeft();
}

TEST_F(MoreSecExecute, StatusZeroAfterAnIncompleteResponseIsNotSuccess)
{
    auto [err, response] = Run("partial");
    EXPECT_EQ(err, EPIPE);
    EXPECT_FALSE(response);
    ExpectNothingLeft();
}

TEST_F(MoreSecExecute, ToolThatCannotBeExecuted)
{
    {
        auto missing = URLForPath("/nonexistent/MoreSecExecute/tool");
        auto [err, response] = Run("answer", missing.get());
        EXPECT_EQ(err, kHelperToolFailedErr);
        EXPECT_FALSE(response);
        ExpectNothingLeft();
    }
    {
        // A file that is not executable: exec fails with EACCES, even for root.
        char path[] = "/tmp/MoreSecExecuteXXXXXX";
        wfs::UniqueFd file(mkostemp(path, O_CLOEXEC));
        ASSERT_TRUE(file);
        ASSERT_EQ(fchmod(file.get(), 0644), 0);
        file.reset();
        auto notExecutable = URLForPath(path);
        auto [err, response] = Run("answer", notExecutable.get());
        unlink(path);
        EXPECT_EQ(err, kHelperToolFailedErr);
        EXPECT_FALSE(response);
        ExpectNothingLeft();
    }
    {
        // A path that does not fit the path buffer: refused before anything is made.
        auto tooLong = URLForPath("/" + std::string(PATH_MAX + 10, 'x'));
        auto [err, response] = Run("answer", tooLong.get());
        EXPECT_EQ(err, coreFoundationUnknownErr);
        EXPECT_FALSE(response);
        ExpectNothingLeft();
    }
}

TEST_F(MoreSecExecute, ToolIsStartedWithItsPathTheSocketAndTheCallersStderrAndEnvironment)
{
    setenv("WFS_WIRE_TOOL_MARKER", "marker-4711", 1);
    auto [err, response] = Run("inspect");
    ASSERT_EQ(err, 0);
    ASSERT_TRUE(response);
    CFDictionaryRef r = response.get();

    EXPECT_EQ(GetInt64(r, CFSTR("Argc")), 1);
    EXPECT_EQ(GetString(r, CFSTR("Argv0")), MORE_SECURITY_WIRE_TOOL);
    // 0 and 1 are one socket, whose other end this process made.
    EXPECT_EQ(GetInt64(r, CFSTR("Fd0IsSocket")), 1);
    EXPECT_EQ(GetInt64(r, CFSTR("Fd0Ino")), GetInt64(r, CFSTR("Fd1Ino"), -2));
    EXPECT_EQ(GetInt64(r, CFSTR("PeerPid")), getpid());
    // Standard error is the caller's own.
    const FileId ourStderr = IdOf(STDERR_FILENO);
    EXPECT_EQ(GetInt64(r, CFSTR("Fd2Dev")), static_cast<long long>(ourStderr.dev));
    EXPECT_EQ(GetInt64(r, CFSTR("Fd2Ino")), static_cast<long long>(ourStderr.ino));
    EXPECT_EQ(GetString(r, CFSTR("Marker")), "marker-4711");
    // Neither end of the socket pair leaks into the tool beyond 0 and 1.
    EXPECT_EQ(GetInt64(r, CFSTR("ExtraFds")), InheritableDescriptorsAboveStandard());

    // The 32 bytes that arrived are the authorization's external form.
    AuthorizationExternalForm expected;
    ASSERT_EQ(AuthorizationMakeExternalForm(auth_, &expected), 0);
    CFTypeRef form = CFDictionaryGetValue(r, CFSTR("ExternalForm"));
    ASSERT_NE(form, nullptr);
    ASSERT_EQ(CFDataGetLength(static_cast<CFDataRef>(form)), 32);
    EXPECT_EQ(memcmp(CFDataGetBytePtr(static_cast<CFDataRef>(form)), &expected, 32), 0);
    ExpectNothingLeft();
}

TEST_F(MoreSecExecute, WorksWithStandardInputClosed)
{
    // With descriptor 0 free, the socket pair lands on it; the tool must still get a proper
    // socket on 0 and 1 and the caller's descriptor 0 must be free again afterwards.
    // (Under a runner that starts us with descriptor 0 closed there is nothing to save.)
    wfs::UniqueFd savedStdin(fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3));
    if (savedStdin) {
        ASSERT_EQ(close(STDIN_FILENO), 0);
    }
    const int before = CountOpenDescriptors();

    auto [err, response] = Run("inspect");
    EXPECT_EQ(err, 0);
    if (response) {
        EXPECT_EQ(GetInt64(response.get(), CFSTR("Fd0IsSocket")), 1);
        EXPECT_EQ(GetInt64(response.get(), CFSTR("Fd0Ino")),
                  GetInt64(response.get(), CFSTR("Fd1Ino"), -2));
    }
    EXPECT_EQ(CountOpenDescriptors(), before);
    EXPECT_FALSE(DescriptorIsOpen(STDIN_FILENO));
    if (savedStdin) {
        ASSERT_EQ(dup2(savedStdin.get(), STDIN_FILENO), STDIN_FILENO);
    }
    EXPECT_TRUE(NoChildLeft());
}

TEST(MoreSecWaitForDebugger, OnlyECHILDWaitsOnceMore)
{
    // Standard error goes to a file for the duration, so the one message can be read back.
    char path[] = "/tmp/MoreSecStderrXXXXXX";
    wfs::UniqueFd capture(mkostemp(path, O_CLOEXEC));
    ASSERT_TRUE(capture);
    unlink(path);
    fflush(stderr);
    wfs::UniqueFd savedStderr(fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 3));
    ASSERT_EQ(dup2(capture.get(), STDERR_FILENO), STDERR_FILENO);

    const pid_t child = fork();
    if (child == 0) _exit(7);
    int status = 0;
    int err = 0;
    CheckWaitForDebuggerInterference(&err, child, &status);  // 0: left alone, nothing waited
    const int afterNoError = err;
    err = EINTR;
    CheckWaitForDebuggerInterference(&err, child, &status);  // any other error: left alone
    const int afterOtherError = err;
    err = ECHILD;
    CheckWaitForDebuggerInterference(&err, child, &status);  // waits and reaps the child
    const int afterECHILD = err;
    const int statusAfterECHILD = status;
    err = ECHILD;
    CheckWaitForDebuggerInterference(&err, child, &status);  // nothing left to wait for
    const int afterSecondECHILD = err;

    fflush(stderr);
    ASSERT_EQ(dup2(savedStderr.get(), STDERR_FILENO), STDERR_FILENO);

    EXPECT_EQ(afterNoError, 0);
    EXPECT_EQ(afterOtherError, EINTR);
    EXPECT_EQ(afterECHILD, 0);
    EXPECT_TRUE(WIFEXITED(statusAfterECHILD) && WEXITSTATUS(statusAfterECHILD) == 7);
    EXPECT_EQ(afterSecondECHILD, ECHILD);
    EXPECT_TRUE(NoChildLeft());

    std::string written(256, '\0');
    const ssize_t n = pread(capture.get(), written.data(), written.size(), 0);
    ASSERT_GE(n, 0);
    written.resize(static_cast<size_t>(n));
    const std::string line = "MoreSecurity: You need to have a breakpoint set here.\n";
    EXPECT_EQ(line.size(), 54u);
    EXPECT_EQ(written, line + line);
}

TEST(MoreSecExecuteDeathTest, CallerErrorsStopWithAnAssertionReport)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    AuthorizationRef auth = nullptr;
    ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &auth), 0);
    auto tool = URLForPath(MORE_SECURITY_WIRE_TOOL);
    auto request = MakeDictionary();
    CFDictionaryRef response = nullptr;
    EXPECT_DEATH(MoreSecExecuteRequestInHelperTool(nullptr, auth, request.get(), &response),
                 "failed assertion `helperTool != NULL'");
    EXPECT_DEATH(MoreSecExecuteRequestInHelperTool(tool.get(), auth, request.get(), nullptr),
                 "failed assertion `response != NULL'");
    EXPECT_DEATH(
        {
            signal(SIGPIPE, SIG_DFL);
            MoreSecExecuteRequestInHelperTool(tool.get(), auth, request.get(), &response);
        },
        "failed assertion `SIGPIPEIsIgnored\\(\\)'");
    AuthorizationFree(auth, kAuthorizationFlagDefaults);
}
