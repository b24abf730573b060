// Tests of MoreUNIX's exact I/O, descriptor passing and copies, against real sockets, files,
// signals and child processes.
#include "MoreUNIX.h"
#include <TestSupport.h>

#include <atomic>
#include <csignal>
#include <thread>
#include <vector>

#include <pthread.h>

using namespace wfstest;
using wfs::UniqueFd;

namespace {

std::string Pattern(size_t size) {
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

// Fills the socket's buffer, so that the next write blocks before it has sent anything (only such a
// write fails with EINTR). Answers the count written.
size_t FillSocket(int fd) {
    EXPECT_EQ(fcntl(fd, F_SETFL, O_NONBLOCK), 0);
    size_t filled = 0;
    for (ssize_t put; (put = write(fd, Pattern(4096).data(), 4096)) > 0;) filled += put;
    EXPECT_EQ(fcntl(fd, F_SETFL, 0), 0);
    return filled;
}

std::atomic<int> gInterrupts{0};
void CountInterrupt(int) { gInterrupts++; }

bool IsSleeping(pid_t tid) {
    std::string stat = ReadFile("/proc/self/task/" + std::to_string(tid) + "/stat");
    size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'S';
}

// Runs `call` on a thread and interrupts it three times, each time once it is blocked in the
// kernel, by a SIGUSR1 handler installed without SA_RESTART; then runs `unblock` and joins. Only the
// order of events matters, never time. A call wrongly ended by EINTR stops the interruptions; one
// that writes shuts its side down afterwards, so that `unblock` sees an early end instead of hanging.
void InterruptWhileBlocked(const std::function<void()> &call, const std::function<void()> &unblock) {
    struct sigaction action = {}, old = {};
    action.sa_handler = CountInterrupt;
    ASSERT_EQ(sigaction(SIGUSR1, &action, &old), 0);
    std::atomic<pid_t> tid{0};
    std::atomic<bool> done{false};
    std::thread subject([&] { tid = gettid(), call(), done = true; });
    for (int i = 0; i < 3; ++i) {
        while (!done && (tid == 0 || !IsSleeping(tid))) std::this_thread::yield();
        int before = gInterrupts;
        if (done || pthread_kill(subject.native_handle(), SIGUSR1) != 0) break;
        while (!done && gInterrupts == before) std::this_thread::yield();
    }
    unblock();
    subject.join();
    sigaction(SIGUSR1, &old, nullptr);
}

}  // namespace

TEST(MoreUNIXInterrupted, ReadWriteSendmsgRecvmsgGoOnAfterSignals) {
    ASSERT_EQ(MoreUNIXIgnoreSIGPIPE(), 0);
    const std::string sent = Pattern(1 << 20);  // more than a socket buffer
    UniqueFd devNull(open("/dev/null", O_RDONLY | O_CLOEXEC));
    enum { kRead, kRecvmsg, kWrite, kSendmsg };
    for (int call : {kRead, kRecvmsg, kWrite, kSendmsg}) {
        SCOPED_TRACE(call);
        SocketPair pair;
        const int a = pair.ours.get(), b = pair.theirs.get();
        const size_t filled = call >= kWrite ? FillSocket(a) : 0;  // so that the writers block
        std::string got(filled + (call == kRead ? 16 : call == kWrite ? sent.size() : 0), '\0');
        int result = -1, fd = -1;
        InterruptWhileBlocked(
            [&] {
                result = call == kRead      ? MoreUNIXRead(b, got.data(), 16, nullptr)
                         : call == kRecvmsg ? MoreUNIXReadDescriptor(b, &fd)
                         : call == kWrite   ? MoreUNIXWrite(a, sent.data(), sent.size(), nullptr)
                                            : MoreUNIXWriteDescriptor(a, devNull.get());
                shutdown(a, SHUT_WR);
            },
            [&] {
                EXPECT_TRUE(call == kRead      ? write(a, sent.data(), 16) == 16
                            : call == kRecvmsg ? MoreUNIXWriteDescriptor(a, devNull.get()) == 0
                                               : MoreUNIXRead(b, got.data(), got.size(), nullptr) == 0);
            });
        EXPECT_EQ(result, 0);
        EXPECT_TRUE(got.substr(filled) == (call == kRead ? sent.substr(0, 16) : call == kWrite ? sent : ""));
        EXPECT_EQ(call == kSendmsg ? MoreUNIXReadDescriptor(b, &fd) : 0, 0);
        UniqueFd owner(fd);
        EXPECT_EQ(fd >= 0, call == kRecvmsg || call == kSendmsg);
    }
}

// Whether ignoring SIGPIPE kept the action's mask and flags and the signal is then harmless.
static bool IgnoringKeepsMaskAndFlags() {
    struct sigaction action = {}, now = {};
    action.sa_handler = CountInterrupt;
    sigaddset(&action.sa_mask, SIGUSR2);
    action.sa_flags = SA_RESTART;
    return sigaction(SIGPIPE, &action, nullptr) == 0 && MoreUNIXIgnoreSIGPIPE() == 0 &&
           sigaction(SIGPIPE, nullptr, &now) == 0 && now.sa_handler == SIG_IGN &&
           sigismember(&now.sa_mask, SIGUSR2) && (now.sa_flags & SA_RESTART) != 0 && raise(SIGPIPE) == 0;
}

TEST(MoreUNIXSIGPIPE, IgnoringKeepsMaskAndFlagsAndWritingRequiresIt) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Signal dispositions are process-wide: both cases run in a child.
    RunInChild([] { WFS_CHILD_EXPECT(IgnoringKeepsMaskAndFlags()); });
    SocketPair pair;
    EXPECT_DEATH((signal(SIGPIPE, SIG_DFL), MoreUNIXWrite(pair.ours.get(), "x", 1, nullptr)), "failed assertion");
}

TEST(MoreUNIXDescriptor, ArrivesInAnotherProcessAsTheSameOpenFile) {
    ASSERT_EQ(MoreUNIXIgnoreSIGPIPE(), 0);
    TempDir dir;
    WriteFile(dir / "shared", "0123456789");
    SocketPair pair;
    constexpr int kSenderNumber = 200;
    Child child = Child::Fork([&] {
        int fd = open((dir / "shared").c_str(), O_RDONLY);
        char ack;
        if (fd < 0 || dup2(fd, kSenderNumber) != kSenderNumber || lseek(fd, 3, SEEK_SET) != 3 ||
            MoreUNIXWriteDescriptor(pair.ours.get(), kSenderNumber) != 0 ||
            MoreUNIXRead(pair.ours.get(), &ack, 1, nullptr) != 0) {
            return 10;
        }
        // Still open here, and the receiver's read moved the offset they share.
        return fcntl(kSenderNumber, F_GETFD) != -1 && lseek(kSenderNumber, 0, SEEK_CUR) == 7 ? 0 : 11;
    });
    int received = -1;
    ASSERT_EQ(MoreUNIXReadDescriptor(pair.theirs.get(), &received), 0);
    UniqueFd owner(received);
    EXPECT_NE(received, kSenderNumber);
    EXPECT_EQ(fcntl(received, F_GETFD), FD_CLOEXEC);
    char buf[4];
    ASSERT_EQ(MoreUNIXRead(received, buf, sizeof buf, nullptr), 0);
    EXPECT_EQ(std::string(buf, 4), "3456");
    ASSERT_EQ(MoreUNIXWrite(pair.theirs.get(), "k", 1, nullptr), 0);
    EXPECT_TRUE(child.Wait().Exited(0));

    // Sending to a peer that has gone: sendmsg's errno, and the descriptor stays the caller's.
    pair.theirs.reset();
    EXPECT_EQ(MoreUNIXWriteDescriptor(pair.ours.get(), owner.get()), EPIPE);
    EXPECT_NE(fcntl(owner.get(), F_GETFD), -1);
}

// Sends `bytes` with `count` descriptors of /dev/null in one SCM_RIGHTS message (no control data for
// 0), as a misbehaving peer may. The sender's own copies close on return.
static void SendRaw(int sock, std::string bytes, size_t count) {
    UniqueFd owners[3];
    alignas(struct cmsghdr) char control[CMSG_SPACE(3 * sizeof(int))] = {};
    struct iovec iov = {bytes.data(), bytes.size()};
    struct msghdr msg = {nullptr, 0, &iov, 1, count > 0 ? control : nullptr, count > 0 ? CMSG_SPACE(count * sizeof(int)) : 0, 0};
    if (count > 0) *CMSG_FIRSTHDR(&msg) = {CMSG_LEN(count * sizeof(int)), SOL_SOCKET, SCM_RIGHTS};
    for (size_t i = 0; i < count; ++i) {
        owners[i].reset(open("/dev/null", O_RDONLY | O_CLOEXEC));
        const int fd = owners[i].get();
        std::memcpy(CMSG_DATA(CMSG_FIRSTHDR(&msg)) + i * sizeof fd, &fd, sizeof fd);
    }
    ASSERT_EQ(sendmsg(sock, &msg, 0), static_cast<ssize_t>(bytes.size())) << strerror(errno);
}

TEST(MoreUNIXDescriptor, MalformedMessagesGiveTheErrorAndLeaveNothingOpen) {
    const struct {
        const char *name;
        const char *bytes;
        int descriptors;
        int error;
        int type = SOCK_STREAM;
    } cases[] = {{"byte other than D", "X", 1, EINVAL}, {"no control message", "D", 0, EINVAL},
                 {"two descriptors", "D", 2, EINVAL},   {"control data cut off", "D", 3, EINVAL},
                 // Only a record socket cuts data off; its one descriptor is whole, so nothing but
                 // the kernel's flag tells that the message was not.
                 {"data cut off", "DD", 1, EINVAL, SOCK_SEQPACKET}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SocketPair pair(c.type);
        SendRaw(pair.ours.get(), c.bytes, c.descriptors);
        pair.ours.reset();
        const int before = CountOpenDescriptors();
        int received = -1;
        EXPECT_EQ(MoreUNIXReadDescriptor(pair.theirs.get(), &received), c.error);
        EXPECT_EQ(received, -1);
        EXPECT_EQ(CountOpenDescriptors(), before);
    }
}

TEST(MoreUNIXCopy, FileDataModeTimesAndErrors) {
    ASSERT_EQ(MoreUNIXIgnoreSIGPIPE(), 0);
    TempDir dir;
    const std::string data = Pattern(65537), source = dir / "source";
    WriteFile(source, data, 04755);
    WriteFile(dir / "existing", std::string(100000, 'y'), 0640);
    ASSERT_EQ(symlink(source.c_str(), (dir / "link").c_str()), 0);
    const mode_t mask = umask(022);
    umask(mask);
    // A new file gets the permission bits less set-user-ID, through the umask; an existing longer
    // one (reached through a link to the source) is truncated and keeps its mode.
    const struct {
        std::string from, to;
        mode_t mode;
    } cases[] = {{source, dir / "created", 0755 & ~mask}, {dir / "link", dir / "existing", 0640}};
    for (const auto &c : cases) {
        const struct timespec times[2] = {{1000000000, 123456789}, {1200000000, 987654321}};
        ASSERT_EQ(utimensat(AT_FDCWD, source.c_str(), times, 0), 0);
        ASSERT_EQ(MoreUNIXCopyFile(c.from.c_str(), c.to.c_str()), 0);
        struct stat st;
        ASSERT_EQ(stat(c.to.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, c.mode) << c.to;
        EXPECT_TRUE(ReadFile(c.to) == data);
        EXPECT_TRUE(st.st_atim.tv_sec == 1000000000 && st.st_atim.tv_nsec == 123456000) << c.to;
        EXPECT_TRUE(st.st_mtim.tv_sec == 1200000000 && st.st_mtim.tv_nsec == 987654000) << c.to;
    }
    // Each failing step gives its errno, and no descriptor stays open.
    const int before = CountOpenDescriptors();
    EXPECT_EQ(MoreUNIXCopyFile((dir / "missing").c_str(), (dir / "dest").c_str()), ENOENT);
    EXPECT_NE(access((dir / "dest").c_str(), F_OK), 0);
    EXPECT_EQ(MoreUNIXCopyFile(source.c_str(), (dir / "no/such/dir").c_str()), ENOENT);
    EXPECT_EQ(MoreUNIXCopyFile(dir.path().c_str(), (dir / "dest").c_str()), EISDIR);
    EXPECT_EQ(CountOpenDescriptors(), before);

    // An endless source into a destination whose reader has gone.
    UniqueFd zero(open("/dev/zero", O_RDONLY | O_CLOEXEC));
    SocketPair gone;
    gone.theirs.reset();
    EXPECT_EQ(MoreUNIXCopyDescriptorToDescriptor(zero.get(), gone.ours.get()), EPIPE);
}
