// Helpers shared by the MoreSecurity tests (and the helper tool's): descriptors and children of
// this process, a forked peer on a socket, dictionaries and frames, dropping to nobody, and
// running a tool process on a socket pair. Builds on the plug-in tests' TestSupport.h.
#pragma once

#include "MoreCFQ.h"
#include "MoreSecurityInternal.h"
#include "MoreUNIX.h"
#include "TestSupport.h"

#include <Support/CFRef.h>
#include <Support/Eintr.h>
#include <Support/UniqueFd.h>

#include <gtest/gtest.h>

#include <grp.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

extern char **environ;

namespace wfs_test {

using moretest::CountOpenDescriptors;
inline constexpr uid_t kNobodyID = 65534;

// A connected pair of stream sockets, both ends owned here.
struct SocketPair {
    wfs::UniqueFd ours, theirs;
    SocketPair()
    {
        moretest::SocketPair pair;
        ours = std::move(pair.a);
        theirs = std::move(pair.b);
    }
};

// True when this process has no child left, reaped or not.
inline bool NoChildLeft()
{
    errno = 0;
    return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

inline bool DescriptorIsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

inline bool SameFile(int a, int b)
{
    struct stat sa {}, sb {};
    return fstat(a, &sa) == 0 && fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Runs `body` on `fd` in a forked child; Join answers its exit status (-1 if it did not exit).
class ForkedPeer {
public:
    ForkedPeer(int fd, const std::function<int(int)> &body)
        : pid_(moretest::StartChild([&] { return body(fd); })) {}
    ForkedPeer(const ForkedPeer &) = delete;
    ForkedPeer &operator=(const ForkedPeer &) = delete;
    ~ForkedPeer() { (void) Join(); }
    int Join() { return pid_ > 0 ? moretest::WaitChild(std::exchange(pid_, -1)) : -1; }

private:
    pid_t pid_;
};

inline bool DropToNobody()
{
    return setgroups(0, nullptr) == 0 && setresgid(kNobodyID, kNobodyID, kNobodyID) == 0 &&
           setresuid(kNobodyID, kNobodyID, kNobodyID) == 0;
}

// Everything up to the end of the stream.
inline std::string ReadToEnd(int fd)
{
    std::string text;
    char buffer[65536];
    ssize_t n;
    while ((n = wfs::RetryOnEintr([&] { return read(fd, buffer, sizeof(buffer)); })) > 0) {
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

inline wfs::CFRef<CFMutableDictionaryRef> MakeDictionary()
{
    return wfs::CFRef<CFMutableDictionaryRef>(CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
}

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

// "key=value" lines into a map.
inline std::map<std::string, std::string> ParseLines(const std::string &text)
{
    std::map<std::string, std::string> values;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = std::min(text.find('\n', start), text.size());
        const size_t equals = text.find('=', start);
        if (equals < end) values[text.substr(start, equals - start)] = text.substr(equals + 1, end - equals - 1);
    }
    return values;
}

// ---- A tool process with a socket on 0 and 1 --------------------------------------------------

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
    run.exitStatus = moretest::WaitChild(run.pid);
    return run;
}

}  // namespace wfs_test
