// Helpers for the MoreSecurity tests (and the helper tool's): dictionaries and frames, and running
// a tool process on a socket pair. Builds on the shared TestSupport.h.
#pragma once

#include "MoreCFQ.h"
#include "MoreSecurityInternal.h"
#include "MoreUNIX.h"
#include <CFTestSupport.h>
#include <TestSupport.h>

#include <Support/CFRef.h>
#include <Support/Eintr.h>
#include <Support/UniqueFd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

extern char **environ;

namespace wfs_test {

// The helpers every test shares come along with these.
using namespace wfstest;

// An array of int numbers.
inline wfs::CFRef<CFMutableArrayRef> MakeIntArray(std::initializer_list<int> values)
{
    wfs::CFRef<CFMutableArrayRef> array(CFArrayCreateMutable(nullptr, 0, &kCFTypeArrayCallBacks));
    for (int value : values) {
        wfs::CFRef<CFNumberRef> number(CFNumberCreate(nullptr, kCFNumberIntType, &value));
        CFArrayAppendValue(array.get(), number.get());
    }
    return array;
}

inline long long GetInt64(CFDictionaryRef dict, CFStringRef key)
{
    CFTypeRef value = CFDictionaryGetValue(dict, key);
    long long result = -1;
    if (value == nullptr || CFGetTypeID(value) != CFNumberGetTypeID() ||
        !CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberLongLongType, &result)) {
        return -1;
    }
    return result;
}

inline std::string GetString(CFDictionaryRef dict, CFStringRef key)
{
    CFTypeRef value = CFDictionaryGetValue(dict, key);
    char buffer[4096];
    if (value == nullptr || CFGetTypeID(value) != CFStringGetTypeID() ||
        !CFStringGetCString(static_cast<CFStringRef>(value), buffer, sizeof(buffer),
                            kCFStringEncodingUTF8)) {
        return "<none>";
    }
    return buffer;
}

inline CFArrayRef DescriptorArrayOf(CFDictionaryRef dict)
{
    return static_cast<CFArrayRef>(CFDictionaryGetValue(dict, DescriptorArrayKey));
}

// The descriptors listed under DescriptorArrayKey.
inline std::vector<int> DescriptorsIn(CFDictionaryRef dict)
{
    std::vector<int> fds;
    CFArrayRef array = DescriptorArrayOf(dict);
    for (CFIndex i = 0; array != nullptr && i < CFArrayGetCount(array); i++) {
        int fd = -1;
        CFNumberGetValue(static_cast<CFNumberRef>(CFArrayGetValueAtIndex(array, i)), kCFNumberIntType, &fd);
        fds.push_back(fd);
    }
    return fds;
}

// A frame holding `xml` as it stands: length in native order, then the bytes.
inline std::string RawFrame(const std::string &xml)
{
    const uint32_t n = static_cast<uint32_t>(xml.size());
    return std::string(reinterpret_cast<const char *>(&n), sizeof(n)) + xml;
}

inline std::string FrameOf(CFDictionaryRef dict)
{
    wfs::CFRef<CFDataRef> xml(CFPropertyListCreateXMLData(nullptr, dict));
    return RawFrame(std::string(reinterpret_cast<const char *>(CFDataGetBytePtr(xml.get())),
                                static_cast<size_t>(CFDataGetLength(xml.get()))));
}

inline std::string ExternalFormOf(AuthorizationRef auth)
{
    AuthorizationExternalForm form;
    EXPECT_EQ(AuthorizationMakeExternalForm(auth, &form), 0);
    return std::string(form.bytes, sizeof(form.bytes));
}

// Writes `bytes` to `fd` and shuts down its sending direction.
inline void Send(int fd, const std::string &bytes)
{
    EXPECT_EQ(MoreUNIXWrite(fd, bytes.data(), bytes.size(), nullptr), 0);
    EXPECT_EQ(shutdown(fd, SHUT_WR), 0);
}

// A test with SIGPIPE ignored (a peer that goes away must show as EPIPE, not end the test) and an
// authorization of its own, freed at the end.
class AuthorizedTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(MoreUNIXIgnoreSIGPIPE(), 0);
        ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &auth_), 0);
    }
    void TearDown() override
    {
        if (auth_ != nullptr) {
            EXPECT_EQ(AuthorizationFree(std::exchange(auth_, nullptr), kAuthorizationFlagDefaults), 0);
        }
    }

    AuthorizationRef auth_ = nullptr;
};

// ---- A tool process with a socket on 0 and 1 --------------------------------------------------
// Kept for the tool-main tests until they move onto Process.h (RunProgram with the socket placed
// on 0 and 1); its waits have no deadline. Remove it then.

struct ToolRun {
    pid_t pid = -1;
    int exitStatus = -1;  // -1 when it did not exit normally
    std::string out, err;
};

// Runs `path` with `args` (argv[0] is the path), the socket pair on 0 and 1 and a pipe on 2, and
// `env` added to our environment; as root it runs as nobody. A forked writer sends `input` and
// half-closes while we collect the output; then standard error is read and the tool reaped.
inline ToolRun RunTool(const std::string &path, const std::vector<std::string> &args,
                       const std::string &input, const std::vector<std::string> &env = {})
{
    // Everything the child needs is built before the fork.
    std::vector<std::string> strings{path};
    strings.insert(strings.end(), args.begin(), args.end());
    std::vector<char *> argv, envp;
    for (std::string &arg : strings) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings(env);
    for (char **entry = environ; *entry != nullptr; entry++) envStrings.push_back(*entry);
    for (std::string &entry : envStrings) envp.push_back(entry.data());
    envp.push_back(nullptr);
    const bool drop = geteuid() == 0;

    ToolRun run;
    SocketPair socket;
    int errPipe[2] = {-1, -1};
    EXPECT_EQ(pipe2(errPipe, O_CLOEXEC), 0);
    wfs::UniqueFd errRead(errPipe[0]), errWrite(errPipe[1]);
    run.pid = fork();
    if (run.pid == 0) {
        if (dup2(socket.theirs.get(), 0) == 0 && dup2(socket.theirs.get(), 1) == 1 &&
            dup2(errWrite.get(), 2) == 2 && (!drop || DropToNobody())) {
            execve(argv[0], argv.data(), envp.data());
        }
        _exit(120);
    }
    socket.theirs.reset();
    errWrite.reset();
    {
        ForkedPeer writer(socket.ours.get(), [&](int fd) {
            (void) MoreUNIXIgnoreSIGPIPE();
            (void) MoreUNIXWrite(fd, input.data(), input.size(), nullptr);
            return shutdown(fd, SHUT_WR) == 0 ? 0 : 1;
        });
        run.out = ReadToEnd(socket.ours.get());
    }
    run.err = ReadToEnd(errRead.get());
    run.exitStatus = WaitChild(run.pid);
    return run;
}

}  // namespace wfs_test
