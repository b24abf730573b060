// The helper tool's main routine: the dispatcher and the command procedure's contract in process,
// and the command line and the relay's result rule with a real tool process.

#include "MoreSecurityToolMainTestSupport.h"

#include <gtest/gtest.h>

#include <signal.h>

using namespace wfs_test;

namespace {

// ---- The dispatcher, in process ---------------------------------------------------------------

int gCalls = 0;
std::string gAuthSeen;

class MoreSecToolMainInProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(MoreUNIXIgnoreSIGPIPE(), 0);
        ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &auth_), 0);
        gCalls = 0;
        gAuthSeen.clear();
        request_ = MakeDictionary();
        CFDictionarySetValue(request_.get(), CFSTR("CommandName"), CFSTR("GetPrivileges"));
        descriptorsBefore_ = CountOpenDescriptors();
    }
    void TearDown() override
    {
        if (auth_ != nullptr) {
            EXPECT_EQ(AuthorizationFree(auth_, kAuthorizationFlagDefaults), 0);
        }
        EXPECT_EQ(CountOpenDescriptors(), descriptorsBefore_);
    }

    // Sends the request frame and half-closes; the dispatcher reads `pair.theirs`.
    void SendRequest(SocketPair &pair)
    {
        const std::string frame = FrameOf(request_.get());
        ASSERT_EQ(MoreUNIXWrite(pair.ours.get(), frame.data(), frame.size(), nullptr), 0);
        ASSERT_EQ(shutdown(pair.ours.get(), SHUT_WR), 0);
    }

    AuthorizationRef auth_ = nullptr;
    wfs::CFRef<CFMutableDictionaryRef> request_;
    int descriptorsBefore_ = 0;
};

int FailWithoutResponse(AuthorizationRef, CFDictionaryRef, CFDictionaryRef *)
{
    gCalls++;
    return -60005;
}

TEST_F(MoreSecToolMainInProcess, FailingCommandWithoutResponseGivesExactlyTheErrorKey)
{
    SocketPair pair;
    SendRequest(pair);
    EXPECT_EQ(ReadAndDispatchCommand(pair.theirs.get(), pair.theirs.get(), auth_,
                                     FailWithoutResponse),
              0);
    EXPECT_EQ(gCalls, 1);
    pair.theirs.reset();
    wfs::CFRef<CFDictionaryRef> response;
    ASSERT_EQ(CopyDictionaryTranslatingDescriptors(pair.ours.get(), response.out()), 0);
    EXPECT_EQ(CFDictionaryGetCount(response.get()), 1);
    EXPECT_EQ(MoreSecGetErrorFromResponse(response.get()), -60005);
}

int AnswerWithOwnErrorKey(AuthorizationRef, CFDictionaryRef, CFDictionaryRef *response)
{
    gCalls++;
    auto answer = MakeDictionary();
    SetInt64(answer.get(), ErrorNumberKey, 42);
    CFDictionarySetValue(answer.get(), CFSTR("Kept"), CFSTR("yes"));
    *response = answer.release();
    return -1;
}

TEST_F(MoreSecToolMainInProcess, ResponseHoldingTheErrorKeyGoesOutUnchanged)
{
    SocketPair pair;
    SendRequest(pair);
    EXPECT_EQ(ReadAndDispatchCommand(pair.theirs.get(), pair.theirs.get(), auth_,
                                     AnswerWithOwnErrorKey),
              0);
    pair.theirs.reset();
    wfs::CFRef<CFDictionaryRef> response;
    ASSERT_EQ(CopyDictionaryTranslatingDescriptors(pair.ours.get(), response.out()), 0);
    EXPECT_EQ(CFDictionaryGetCount(response.get()), 2);
    EXPECT_EQ(MoreSecGetErrorFromResponse(response.get()), 42);
    EXPECT_EQ(GetString(response.get(), CFSTR("Kept")), "yes");
}

std::vector<int> gHandedOver;

int AnswerWithTwoDescriptors(AuthorizationRef, CFDictionaryRef, CFDictionaryRef *response)
{
    gCalls++;
    auto answer = MakeDictionary();
    auto fds = MakeArray();
    for (const char *path : {"/dev/null", "/proc/self/exe"}) {
        const int fd = open(path, O_RDONLY | O_CLOEXEC);
        gHandedOver.push_back(fd);
        AppendInt(fds.get(), fd);
    }
    CFDictionarySetValue(answer.get(), DescriptorArrayKey, fds.get());
    *response = answer.release();
    return 0;
}

TEST_F(MoreSecToolMainInProcess, DescriptorsReachThePeerInOrderAndAreClosedHere)
{
    gHandedOver.clear();
    SocketPair pair;
    SendRequest(pair);
    EXPECT_EQ(ReadAndDispatchCommand(pair.theirs.get(), pair.theirs.get(), auth_,
                                     AnswerWithTwoDescriptors),
              0);
    // Looked at before the peer receives anything, which could reuse the numbers.
    ASSERT_EQ(gHandedOver.size(), 2u);
    for (int fd : gHandedOver) EXPECT_FALSE(DescriptorIsOpen(fd)) << fd;
    pair.theirs.reset();

    wfs::CFRef<CFDictionaryRef> response;
    ASSERT_EQ(CopyDictionaryTranslatingDescriptors(pair.ours.get(), response.out()), 0);
    EXPECT_EQ(MoreSecGetErrorFromResponse(response.get()), 0);
    const std::vector<int> received = DescriptorsIn(response.get());
    ASSERT_EQ(received.size(), 2u);
    struct stat devNull {}, self {};
    ASSERT_EQ(stat("/dev/null", &devNull), 0);
    ASSERT_EQ(stat("/proc/self/exe", &self), 0);
    EXPECT_TRUE((IdOf(received[0]) == FileId{devNull.st_dev, devNull.st_ino}));
    EXPECT_TRUE((IdOf(received[1]) == FileId{self.st_dev, self.st_ino}));
    MoreSecCloseDescriptorArray(
        static_cast<CFArrayRef>(CFDictionaryGetValue(response.get(), DescriptorArrayKey)));
}

TEST_F(MoreSecToolMainInProcess, BadRequestOrVanishedPeerStopsTheDispatch)
{
    // A frame of length 0: the command is not called and nothing is written.
    {
        SocketPair pair;
        const uint32_t zero = 0;
        ASSERT_EQ(MoreUNIXWrite(pair.ours.get(), &zero, sizeof(zero), nullptr), 0);
        shutdown(pair.ours.get(), SHUT_WR);
        EXPECT_EQ(ReadAndDispatchCommand(pair.theirs.get(), pair.theirs.get(), auth_,
                                         FailWithoutResponse),
                  paramErr);
        EXPECT_EQ(gCalls, 0);
        pair.theirs.reset();
        char byte;
        EXPECT_EQ(read(pair.ours.get(), &byte, 1), 0);
    }
    // A peer gone before the response: EPIPE, and the descriptors are closed all the same.
    {
        gHandedOver.clear();
        SocketPair in;
        SendRequest(in);
        SocketPair out;
        out.ours.reset();
        EXPECT_EQ(ReadAndDispatchCommand(in.theirs.get(), out.theirs.get(), auth_,
                                         AnswerWithTwoDescriptors),
                  EPIPE);
        for (int fd : gHandedOver) EXPECT_FALSE(DescriptorIsOpen(fd)) << fd;
    }
}

int AnswerNotADictionary(AuthorizationRef, CFDictionaryRef, CFDictionaryRef *response)
{
    *response = reinterpret_cast<CFDictionaryRef>(CFStringCreateWithCString(
        nullptr, "not a dictionary", kCFStringEncodingUTF8));
    return 0;
}

int AnswerClosedDescriptor(AuthorizationRef, CFDictionaryRef, CFDictionaryRef *response)
{
    auto answer = MakeDictionary();
    auto fds = MakeArray();
    AppendInt(fds.get(), 1000);
    CFDictionarySetValue(answer.get(), DescriptorArrayKey, fds.get());
    *response = answer.release();
    return 0;
}

TEST_F(MoreSecToolMainInProcess, CommandBreakingTheResponseContractStopsTheTool)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    auto dispatch = [&](MoreSecCommandProcedure proc) {
        SocketPair pair;
        SendRequest(pair);
        (void) ReadAndDispatchCommand(pair.theirs.get(), pair.theirs.get(), auth_, proc);
    };
    EXPECT_DEATH(dispatch(AnswerNotADictionary),
                 "failed assertion `CFGetTypeID\\(response\\) == CFDictionaryGetTypeID\\(\\)'");
    EXPECT_DEATH(dispatch(AnswerClosedDescriptor),
                 "failed assertion `fcntl\\(thisDesc, F_GETFD\\) != -1'");
}

int RecordAuthorization(AuthorizationRef auth, CFDictionaryRef, CFDictionaryRef *)
{
    gCalls++;
    gAuthSeen = ExternalFormOf(auth);
    return 0;
}

TEST_F(MoreSecToolMainInProcess, ShortInputAndWrongCommandLinesReadAndWriteNothing)
{
    const char *argv1[] = {"tool", nullptr};
    {
        SocketPair pair;
        ASSERT_EQ(MoreUNIXWrite(pair.ours.get(), std::string(20, 'a').data(), 20, nullptr), 0);
        shutdown(pair.ours.get(), SHUT_WR);
        EXPECT_EQ(MoreSecHelperToolMain(pair.theirs.get(), pair.theirs.get(), nullptr,
                                        RecordAuthorization, 1, argv1),
                  EPIPE);
        EXPECT_EQ(gCalls, 0);
        pair.theirs.reset();
        char byte;
        EXPECT_EQ(read(pair.ours.get(), &byte, 1), 0);
    }
    // A wrong second argument or count: nothing read (the input is still there), nothing written.
    const char *wrongCase[] = {"tool", "--Self-Repair", nullptr};
    const char *tooMany[] = {"tool", "--self-repair", "x", nullptr};
    for (auto [argc, argv] : {std::pair<int, const char **>{2, wrongCase}, {3, tooMany}}) {
        SocketPair pair;
        ASSERT_EQ(MoreUNIXWrite(pair.ours.get(), "input", 5, nullptr), 0);
        shutdown(pair.ours.get(), SHUT_WR);
        AuthorizationRef passed = nullptr;
        ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, 0, &passed), 0);
        EXPECT_EQ(MoreSecHelperToolMain(pair.theirs.get(), pair.theirs.get(), passed,
                                        RecordAuthorization, argc, argv),
                  kHelperToolInternalErr);
        // Freed by the main routine on this path too.
        AuthorizationExternalForm form;
        EXPECT_EQ(AuthorizationMakeExternalForm(passed, &form), errAuthorizationInvalidRef);
        char left[8];
        EXPECT_EQ(read(pair.theirs.get(), left, sizeof(left)), 5);
        pair.theirs.reset();
        EXPECT_EQ(read(pair.ours.get(), left, 1), 0);
    }
    EXPECT_EQ(gCalls, 0);
}

TEST_F(MoreSecToolMainInProcess, RootFreesThePassedAuthorizationAndUsesTheInput)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    AuthorizationRef passed = nullptr;
    ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, 0, &passed), 0);
    const std::string inputForm = ExternalFormOf(auth_);
    ASSERT_NE(ExternalFormOf(passed), inputForm);

    SocketPair pair;
    const std::string input = inputForm + FrameOf(request_.get());
    ASSERT_EQ(MoreUNIXWrite(pair.ours.get(), input.data(), input.size(), nullptr), 0);
    shutdown(pair.ours.get(), SHUT_WR);
    const char *argv[] = {"tool", nullptr};
    EXPECT_EQ(MoreSecHelperToolMain(pair.theirs.get(), pair.theirs.get(), passed,
                                    RecordAuthorization, 1, argv),
              0);
    EXPECT_EQ(gCalls, 1);
    EXPECT_EQ(gAuthSeen, inputForm);
    AuthorizationExternalForm form;
    EXPECT_EQ(AuthorizationMakeExternalForm(passed, &form), errAuthorizationInvalidRef);
    pair.theirs.reset();
    wfs::CFRef<CFDictionaryRef> response;
    ASSERT_EQ(CopyDictionaryTranslatingDescriptors(pair.ours.get(), response.out()), 0);
    EXPECT_EQ(MoreSecGetErrorFromResponse(response.get()), 0);
}

TEST_F(MoreSecToolMainInProcess, SelfRepairAsRootWithoutAuthorizationTouchesNothing)
{
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof(self) - 1);
    ASSERT_GT(length, 0);
    self[length] = '\0';
    const FileState before = StateOf(self);

    SocketPair pair;
    shutdown(pair.ours.get(), SHUT_WR);
    ForkedPeer child(pair.theirs.get(), [](int fd) {
        const char *argv[] = {"tool", "--self-repair", nullptr};
        const int err = MoreSecHelperToolMain(fd, fd, nullptr, RecordAuthorization, 2, argv);
        return err == kHelperToolInternalErr && gCalls == 0 ? 0 : 1;
    });
    pair.theirs.reset();
    int32_t pid = -1;
    EXPECT_EQ(MoreUNIXRead(pair.ours.get(), &pid, sizeof(pid), nullptr), 0);
    char byte;
    EXPECT_EQ(read(pair.ours.get(), &byte, 1), 0);
    EXPECT_EQ(child.Join(), 0);
    EXPECT_GT(pid, 0);
    EXPECT_EQ(StateOf(self), before);
}

TEST_F(MoreSecToolMainInProcess, RepairRefusesAFileThatIsNotTheRunningExecutable)
{
    char folder[] = "/tmp/wfs-repair-test-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string other = std::string(folder) + "/other";
    const std::string link = std::string(folder) + "/link";
    {
        wfs::UniqueFd fd(open(other.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0755));
        ASSERT_TRUE(fd);
        if (geteuid() == 0) {
            ASSERT_EQ(fchown(fd.get(), kNobody, kNobody), 0);
        }
    }
    ASSERT_EQ(symlink("/proc/self/exe", link.c_str()), 0);
    const FileState before = StateOf(other);

    EXPECT_EQ(RepairRunningExecutable(other.c_str()), kRepairNotRunningExecutableErr);
    EXPECT_EQ(StateOf(other), before);
    EXPECT_EQ(RepairRunningExecutable(folder), kRepairNotRunningExecutableErr);
    EXPECT_EQ(RepairRunningExecutable(link.c_str()), ELOOP);
    EXPECT_EQ(RepairRunningExecutable((std::string(folder) + "/missing").c_str()), ENOENT);
    EXPECT_EQ(geteuid(), getuid());

    unlink(link.c_str());
    unlink(other.c_str());
    rmdir(folder);
}

// ---- The tool as a process: command line and relay --------------------------------------------

class MoreSecToolMainProcess : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(MoreUNIXIgnoreSIGPIPE(), 0);
        ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &auth_), 0);
        auto request = MakeDictionary();
        CFDictionarySetValue(request.get(), CFSTR("CommandName"), CFSTR("GetPrivileges"));
        input_ = ExternalFormOf(auth_) + FrameOf(request.get());
        before_ = StateOf(MORE_SECURITY_TOOL_MAIN_TOOL);
    }
    void TearDown() override
    {
        if (auth_ != nullptr) AuthorizationFree(auth_, kAuthorizationFlagDefaults);
        EXPECT_EQ(StateOf(MORE_SECURITY_TOOL_MAIN_TOOL), before_);
        EXPECT_TRUE(NoChildLeft());
    }

    // The relay through the launcher that runs the program as it is, with a repairer's behaviour.
    ToolRun Relay(const std::string &launcherMode, const std::string &fake,
                  const std::string &input)
    {
        std::vector<std::string> env{
            std::string("WFS_PRIVILEGED_LAUNCHER=") + MORE_SECURITY_TEST_LAUNCHER,
            "WFS_TEST_LAUNCHER_MODE=" + launcherMode};
        if (!fake.empty()) env.push_back("WFS_FAKE_REPAIRER=" + fake);
        return RunTool(MORE_SECURITY_TOOL_MAIN_TOOL, {}, input, env);
    }

    AuthorizationRef auth_ = nullptr;
    std::string input_;
    FileState before_;
};

TEST_F(MoreSecToolMainProcess, CommandLineAndInputMistakes)
{
    ToolRun shortInput = RunTool(MORE_SECURITY_TOOL_MAIN_TOOL, {}, std::string(20, 'a'));
    EXPECT_EQ(shortInput.exitStatus, MoreSecErrorToHelperToolResult(EPIPE));
    EXPECT_EQ(shortInput.out, "");
    EXPECT_EQ(shortInput.err, "");

    ToolRun wrongCase = RunTool(MORE_SECURITY_TOOL_MAIN_TOOL, {"--SELF-REPAIR"}, input_);
    EXPECT_EQ(wrongCase.exitStatus, kHelperToolResultInternalError);
    EXPECT_EQ(wrongCase.out, "");

    ToolRun tooMany = RunTool(MORE_SECURITY_TOOL_MAIN_TOOL, {"--self-repair", "x"}, input_);
    EXPECT_EQ(tooMany.exitStatus, kHelperToolResultInternalError);
    EXPECT_EQ(tooMany.out, "");

    // Self-repair without root: the process ID, then the refusal; the file stays as it is.
    auto request = MakeDictionary();
    ToolRun notRoot = RunTool(MORE_SECURITY_TOOL_MAIN_TOOL, {"--self-repair"}, FrameOf(request.get()));
    EXPECT_EQ(notRoot.exitStatus, kHelperToolResultInternalError);
    ASSERT_EQ(notRoot.out.size(), sizeof(int32_t));
    int32_t pid = -1;
    memcpy(&pid, notRoot.out.data(), sizeof(pid));
    EXPECT_EQ(pid, notRoot.pid);
    EXPECT_EQ(notRoot.err, "");
}

TEST_F(MoreSecToolMainProcess, RelayResultFollowsTheRepairersEnd)
{
    struct Case {
        const char *fake;
        int toolResult;
    } cases[] = {
        {"exit:3", kHelperToolResultCanceled},
        {"exit:9", kHelperToolResultFailed},
        {"exit:0", kHelperToolResultSuccess},
        {"signal", kHelperToolResultFailed},
    };
    for (const Case &c : cases) {
        ToolRun run = Relay("asis", c.fake, input_);
        EXPECT_EQ(run.exitStatus, c.toolResult) << c.fake;
        EXPECT_EQ(run.out, "") << c.fake;
        EXPECT_EQ(run.err, std::string(kExpectedRelayLines) + "0\n") << c.fake;
    }
    EXPECT_EQ(MoreSecHelperToolResultToError(kHelperToolResultCanceled), kHelperToolCanceledErr);

    // A repairer that leaves without reading while the relay still copies a request far larger
    // than a socket's buffer: the copy meets EPIPE, and the repairer's 0 makes the result 0.
    auto big = MakeDictionary();
    CFDictionarySetValue(big.get(), CFSTR("CommandName"), CFSTR("GetPrivileges"));
    const std::string filler(4 << 20, 'f');
    wfs::CFRef<CFStringRef> value(
        CFStringCreateWithCString(nullptr, filler.c_str(), kCFStringEncodingUTF8));
    CFDictionarySetValue(big.get(), CFSTR("Filler"), value.get());
    ToolRun closing = Relay("asis", "close-exit0", ExternalFormOf(auth_) + FrameOf(big.get()));
    EXPECT_EQ(closing.exitStatus, kHelperToolResultSuccess);
    EXPECT_EQ(closing.out, "");

    // A real repairer that is not root: it announces itself and refuses, and the relay says so.
    ToolRun unprivileged = Relay("asis", "", input_);
    EXPECT_EQ(unprivileged.exitStatus, kHelperToolResultInternalError);
    EXPECT_EQ(unprivileged.out, "");
}

TEST_F(MoreSecToolMainProcess, RefusedDismissedOrMissingLauncher)
{
    ToolRun refused = Relay("refuse", "", input_);
    EXPECT_EQ(refused.exitStatus, kHelperToolResultDenied);
    EXPECT_EQ(refused.err, std::string(kExpectedRelayLines) + "-60005\n");
    EXPECT_EQ(refused.out, "");

    ToolRun dismissed = Relay("dismiss", "", input_);
    EXPECT_EQ(dismissed.exitStatus, kHelperToolResultCanceled);
    EXPECT_EQ(dismissed.err, std::string(kExpectedRelayLines) + "-60006\n");

    ToolRun missing = RunTool(MORE_SECURITY_TOOL_MAIN_TOOL, {}, input_,
                              {"WFS_PRIVILEGED_LAUNCHER=/nonexistent/launcher"});
    EXPECT_EQ(missing.exitStatus, kHelperToolResultFailed);
    EXPECT_EQ(missing.err, std::string(kExpectedRelayLines) + "-60031\n");
}

}  // namespace
