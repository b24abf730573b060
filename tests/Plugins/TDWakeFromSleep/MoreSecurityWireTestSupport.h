// Small helpers shared by the wire-format and request tests: counting this process's descriptors,
// checking that no child is left, a forked peer on a socket, and building dictionaries.
#pragma once

#include "MoreCFQ.h"
#include "MoreSecurityInternal.h"
#include "MoreUNIX.h"

#include <Support/CFRef.h>
#include <Support/Eintr.h>
#include <Support/UniqueFd.h>

#include <gtest/gtest.h>

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace wfs_test {

// The number of descriptors open in this process (not counting the one used to list them).
inline int CountOpenDescriptors()
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

// True when this process has no child left, reaped or not.
inline bool NoChildLeft()
{
    errno = 0;
    return waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

inline bool DescriptorIsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    bool operator==(const FileId &other) const { return dev == other.dev && ino == other.ino; }
};

inline FileId IdOf(int fd)
{
    struct stat st {};
    EXPECT_EQ(fstat(fd, &st), 0) << "fd " << fd;
    return FileId{st.st_dev, st.st_ino};
}

// A connected pair of stream sockets, both ends owned here.
struct SocketPair {
    wfs::UniqueFd ours;
    wfs::UniqueFd theirs;
    SocketPair()
    {
        int fds[2] = {-1, -1};
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
        ours.reset(fds[0]);
        theirs.reset(fds[1]);
    }
};

// Runs `body` in a forked child on `fd`; the child's exit status is body's result. The child
// leaves by _exit so that nothing of the test process (atexit handlers, leak checks of objects the
// child merely inherited) runs twice.
class ForkedPeer {
public:
    ForkedPeer(int fd, const std::function<int(int)> &body)
    {
        pid_ = fork();
        if (pid_ == 0) _exit(body(fd));
    }
    ForkedPeer(const ForkedPeer &) = delete;
    ForkedPeer &operator=(const ForkedPeer &) = delete;
    ~ForkedPeer()
    {
        if (pid_ > 0) (void) Join();
    }
    // The child's exit status, or -1 if it did not exit normally.
    int Join()
    {
        int status = 0;
        const pid_t pid = std::exchange(pid_, -1);
        if (pid <= 0) return -1;
        if (wfs::RetryOnEintr([&] { return waitpid(pid, &status, 0); }) != pid) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

private:
    pid_t pid_ = -1;
};

// Writes a frame holding `xml` as it stands (length in native order, then the bytes).
inline int WriteRawFrame(int fd, const std::string &xml)
{
    const uint32_t n = static_cast<uint32_t>(xml.size());
    std::string frame(reinterpret_cast<const char *>(&n), sizeof(n));
    frame += xml;
    return MoreUNIXWrite(fd, frame.data(), frame.size(), nullptr);
}

inline std::string PlistXML(const std::string &body)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" + body +
           "\n</plist>\n";
}

inline wfs::CFRef<CFMutableDictionaryRef> MakeDictionary()
{
    return wfs::CFRef<CFMutableDictionaryRef>(CFDictionaryCreateMutable(
        kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
}

inline wfs::CFRef<CFMutableArrayRef> MakeArray()
{
    return wfs::CFRef<CFMutableArrayRef>(
        CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks));
}

inline void AppendInt(CFMutableArrayRef array, int value)
{
    wfs::CFRef<CFNumberRef> number(CFNumberCreate(kCFAllocatorDefault, kCFNumberIntType, &value));
    CFArrayAppendValue(array, number.get());
}

inline void SetInt64(CFMutableDictionaryRef dict, CFStringRef key, long long value)
{
    wfs::CFRef<CFNumberRef> number(
        CFNumberCreate(kCFAllocatorDefault, kCFNumberLongLongType, &value));
    CFDictionarySetValue(dict, key, number.get());
}

// The value under `key` as a long long, or `fallback` when it is absent or not a number.
inline long long GetInt64(CFDictionaryRef dict, CFStringRef key, long long fallback = -1)
{
    CFTypeRef value = CFDictionaryGetValue(dict, key);
    long long result = fallback;
    if (value == nullptr || CFGetTypeID(value) != CFNumberGetTypeID()) return fallback;
    if (!CFNumberGetValue(static_cast<CFNumberRef>(value), kCFNumberLongLongType, &result)) {
        return fallback;
    }
    return result;
}

inline std::string GetString(CFDictionaryRef dict, CFStringRef key)
{
    CFTypeRef value = CFDictionaryGetValue(dict, key);
    if (value == nullptr || CFGetTypeID(value) != CFStringGetTypeID()) return "<none>";
    char buffer[4096];
    if (!CFStringGetCString(static_cast<CFStringRef>(value), buffer, sizeof(buffer),
                            kCFStringEncodingUTF8)) {
        return "<unconvertible>";
    }
    return buffer;
}

// The descriptors listed under DescriptorArrayKey, or an empty vector.
inline std::vector<int> DescriptorsIn(CFDictionaryRef dict)
{
    std::vector<int> fds;
    CFTypeRef value = CFDictionaryGetValue(dict, DescriptorArrayKey);
    if (value == nullptr || CFGetTypeID(value) != CFArrayGetTypeID()) return fds;
    CFArrayRef array = static_cast<CFArrayRef>(value);
    for (CFIndex i = 0; i < CFArrayGetCount(array); i++) {
        int fd = -1;
        CFNumberGetValue(static_cast<CFNumberRef>(CFArrayGetValueAtIndex(array, i)),
                         kCFNumberIntType, &fd);
        fds.push_back(fd);
    }
    return fds;
}

}  // namespace wfs_test
