// Tests of MoreUNIX's exact I/O, descriptor passing and copies, against real
// sockets, pipes, files and child processes.

#include "MoreUNIX.h"

#include <Support/UniqueFd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using wfs::UniqueFd;

struct SocketPair {
    UniqueFd a, b;
};

SocketPair MakeSocketPair()
{
    int fds[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0) << strerror(errno);
    return {UniqueFd(fds[0]), UniqueFd(fds[1])};
}

// Descriptors open in this process, not counting the one used to list them.
int CountOpenDescriptors()
{
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (struct dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
    return count - 1;
}

std::vector<char> Pattern(size_t size)
{
    std::vector<char> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

// Waits for a child and answers its exit status, or -1 if it did not exit normally.
int WaitForExit(pid_t pid)
{
    int status = 0;
    pid_t rc;
    do {
        rc = waitpid(pid, &status, 0);
    } while (rc == -1 && errno == EINTR);
    if (rc != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

// A temporary directory removed with its contents at the end of the test.
class TempDir {
public:
    TempDir()
    {
        const char *tmp = getenv("TMPDIR");
        path_ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/moreunix.XXXXXX";
        if (mkdtemp(path_.data()) == nullptr) ADD_FAILURE() << "mkdtemp: " << strerror(errno);
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string File(const char *name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

void WriteFile(const std::string &path, const std::string &contents, mode_t mode)
{
    UniqueFd fd(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    ASSERT_TRUE(fd) << path << ": " << strerror(errno);
    ASSERT_EQ(write(fd.get(), contents.data(), contents.size()),
              static_cast<ssize_t>(contents.size()));
    ASSERT_EQ(fchmod(fd.get(), mode), 0);
}

std::string ReadFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// --- Signals that interrupt system calls -------------------------------------

std::atomic<int> gInterrupts{0};

void CountInterrupt(int) { gInterrupts.fetch_add(1); }

// Installs a SIGUSR1 handler without SA_RESTART, so that a blocked read,
// write, sendmsg or recvmsg fails with EINTR; restores the old action.
class InterruptingHandler {
public:
    InterruptingHandler()
    {
        struct sigaction action = {};
        action.sa_handler = CountInterrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        EXPECT_EQ(sigaction(SIGUSR1, &action, &old_), 0);
    }
    ~InterruptingHandler() { sigaction(SIGUSR1, &old_, nullptr); }

private:
    struct sigaction old_ = {};
};

// True while the thread is asleep in the kernel, i.e. blocked in a system call.
bool ThreadIsSleeping(pid_t tid)
{
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'S';
}

// A thread under test: its id once running, and whether its call has returned.
struct Subject {
    std::atomic<pid_t> tid{0};
    std::atomic<bool> done{false};
};

// Waits until the subject blocks, interrupts it with SIGUSR1 and waits until
// the handler has run.  No time limit: only the order of events matters.  A
// subject whose call has already returned (wrongly ended by a signal, say) is
// left alone so that the test fails on its result instead of hanging.
void InterruptWhenBlocked(pthread_t thread, const Subject &subject)
{
    while (subject.tid.load() == 0) std::this_thread::yield();
    while (!subject.done.load() && !ThreadIsSleeping(subject.tid.load()))
        std::this_thread::yield();
    if (subject.done.load()) return;
    int before = gInterrupts.load();
    ASSERT_EQ(pthread_kill(thread, SIGUSR1), 0);
    while (!subject.done.load() && gInterrupts.load() == before) std::this_thread::yield();
}

TEST(MoreUNIXInterrupted, ReadGoesOnAfterSignals)
{
    InterruptingHandler handler;
    SocketPair pair = MakeSocketPair();
    const std::vector<char> sent = Pattern(16);
    std::vector<char> received(sent.size());
    Subject subject;
    int result = -1;
    size_t count = 0;
    std::thread reader([&] {
        subject.tid = gettid();
        result = MoreUNIXRead(pair.b.get(), received.data(), received.size(), &count);
        subject.done = true;
    });
    // One byte at a time, each after the reader was interrupted while waiting.
    for (char byte : sent) {
        InterruptWhenBlocked(reader.native_handle(), subject);
        ASSERT_EQ(write(pair.a.get(), &byte, 1), 1);
    }
    reader.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(count, sent.size());
    EXPECT_EQ(received, sent);
}

// Fills the socket's buffer so that the next write on it blocks before it
// has sent anything (only such a write fails with EINTR; one that has sent
// some bytes returns their count).  Answers the count written.
size_t FillSocket(int fd)
{
    EXPECT_EQ(fcntl(fd, F_SETFL, O_NONBLOCK), 0);
    std::vector<char> filler(4096, 'f');
    size_t filled = 0;
    for (;;) {
        ssize_t put = write(fd, filler.data(), filler.size());
        if (put < 0) break;
        filled += static_cast<size_t>(put);
    }
    EXPECT_EQ(errno, EAGAIN);
    EXPECT_EQ(fcntl(fd, F_SETFL, 0), 0);
    return filled;
}

TEST(MoreUNIXInterrupted, WriteGoesOnAfterSignals)
{
    ASSERT_EQ(MoreUNIXIgnoreSIGPIPE(), 0);
    InterruptingHandler handler;
    SocketPair pair = MakeSocketPair();
    const size_t filled = FillSocket(pair.a.get());
    const std::vector<char> sent = Pattern(1 << 20);  // more than a socket buffer
    Subject subject;
    std::atomic<size_t> count{0};
    int result = -1;
    std::thread writer([&] {
        subject.tid = gettid();
        size_t written = 0;
        result = MoreUNIXWrite(pair.a.get(), sent.data(), sent.size(), &written);
        count = written;
        subject.done = true;
    });
    for (int i = 0; i < 5; ++i) InterruptWhenBlocked(writer.native_handle(), subject);

    std::vector<char> received;
    std::vector<char> chunk(64 * 1024);
    // Everything, or what the writer claims to have written if it gave up.
    while (received.size() < filled + (subject.done.load() ? count.load() : sent.size())) {
        InterruptWhenBlocked(writer.native_handle(), subject);
        ssize_t got = read(pair.b.get(), chunk.data(), chunk.size());
        ASSERT_GT(got, 0) << strerror(errno);
        received.insert(received.end(), chunk.begin(), chunk.begin() + got);
    }
    writer.join();
    EXPECT_EQ(result, 0);
    EXPECT_EQ(count.load(), sent.size());
    ASSERT_EQ(received.size(), filled + sent.size());
    EXPECT_TRUE(std::equal(sent.begin(), sent.end(), received.begin() + filled));
}

TEST(MoreUNIXInterrupted, DescriptorPassingGoesOnAfterSignals)
{
    InterruptingHandler handler;
    SocketPair pair = MakeSocketPair();
    UniqueFd devNull(open("/dev/null", O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(devNull);

    // recvmsg: the receiver waits on an empty socket and is interrupted.
    Subject receiving;
    int readResult = -1;
    int received = -1;
    std::thread receiver([&] {
        receiving.tid = gettid();
        readResult = MoreUNIXReadDescriptor(pair.b.get(), &received);
        receiving.done = true;
    });
    for (int i = 0; i < 5; ++i) InterruptWhenBlocked(receiver.native_handle(), receiving);
    ASSERT_EQ(MoreUNIXWriteDescriptor(pair.a.get(), devNull.get()), 0);
    receiver.join();
    EXPECT_EQ(readResult, 0);
    UniqueFd receivedFd(received);
    ASSERT_GE(received, 0);

    // sendmsg: the sender waits on a full socket and is interrupted.
    const size_t filled = FillSocket(pair.a.get());
    Subject sending;
    int writeResult = -1;
    std::thread sender([&] {
        sending.tid = gettid();
        writeResult = MoreUNIXWriteDescriptor(pair.a.get(), devNull.get());
        sending.done = true;
    });
    for (int i = 0; i < 5; ++i) InterruptWhenBlocked(sender.native_handle(), sending);
    std::vector<char> drained(filled);
    ASSERT_EQ(MoreUNIXRead(pair.b.get(), drained.data(), drained.size(), nullptr), 0);
    sender.join();
    ASSERT_EQ(writeResult, 0);  // else no descriptor will come
    int second = -1;
    EXPECT_EQ(MoreUNIXReadDescriptor(pair.b.get(), &second), 0);
    UniqueFd secondFd(second);
    EXPECT_TRUE(secondFd);
}

// --- Exact reads and writes ------------------------------------------------

TEST(MoreUNIXRead, ReadsExactlyWhatWasAskedFor)
{
    SocketPair pair = MakeSocketPair();
    ASSERT_EQ(write(pair.a.get(), "0123456789", 10), 10);

    // A count of 0 reads nothing and stores 0.
    char buf[16] = {};
    size_t count = 99;
    EXPECT_EQ(MoreUNIXRead(pair.b.get(), buf, 0, &count), 0);
    EXPECT_EQ(count, 0u);

    // Never reads ahead: the bytes behind the request stay on the stream.
    EXPECT_EQ(MoreUNIXRead(pair.b.get(), buf, 4, &count), 0);
    EXPECT_EQ(count, 4u);
    EXPECT_EQ(std::string(buf, 4), "0123");
    EXPECT_EQ(MoreUNIXRead(pair.b.get(), buf, 6, nullptr), 0);
    EXPECT_EQ(std::string(buf, 6), "456789");

    // A descriptor that cannot be read gives read's errno and a count of 0.
    int pipeFds[2];
    ASSERT_EQ(pipe2(pipeFds, O_CLOEXEC), 0);
    UniqueFd readEnd(pipeFds[0]), writeEnd(pipeFds[1]);
    count = 99;
    EXPECT_EQ(MoreUNIXRead(writeEnd.get(), buf, 4, &count), EBADF);
    EXPECT_EQ(count, 0u);
}

TEST(MoreUNIXRead, PeerThatEndsEarlyGivesEPIPEAndTheCount)
{
    SocketPair pair = MakeSocketPair();
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        pair.b.reset();
        _exit(write(pair.a.get(), "abc", 3) == 3 ? 0 : 1);
    }
    pair.a.reset();
    char buf[4] = {};
    size_t count = 0;
    EXPECT_EQ(MoreUNIXRead(pair.b.get(), buf, sizeof buf, &count), EPIPE);
    EXPECT_EQ(count, 3u);
    EXPECT_EQ(std::string(buf, 3), "abc");
    EXPECT_EQ(WaitForExit(child), 0);
}

TEST(MoreUNIXWrite, ClosedPeerGivesEPIPE)
{
    ASSERT_EQ(MoreUNIXIgnoreSIGPIPE(), 0);
    SocketPair pair = MakeSocketPair();
    pair.b.reset();
    size_t count = 99;
    EXPECT_EQ(MoreUNIXWrite(pair.a.get(), "hello", 5, &count), EPIPE);
    EXPECT_EQ(count, 0u);

    // A peer that vanishes in the middle: what went out is counted.
    SocketPair second = MakeSocketPair();
    const std::vector<char> sent = Pattern(4 << 20);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        second.a.reset();
        char buf[1000];
        _exit(read(second.b.get(), buf, sizeof buf) > 0 ? 0 : 1);
    }
    second.b.reset();
    EXPECT_EQ(MoreUNIXWrite(second.a.get(), sent.data(), sent.size(), &count), EPIPE);
    EXPECT_GT(count, 0u);
    EXPECT_LT(count, sent.size());
    EXPECT_EQ(WaitForExit(child), 0);
}

TEST(MoreUNIXWriteDeathTest, StopsWhenSIGPIPEIsNotIgnored)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    SocketPair pair = MakeSocketPair();
    EXPECT_DEATH(
        {
            signal(SIGPIPE, SIG_DFL);
            MoreUNIXWrite(pair.a.get(), "x", 1, nullptr);
        },
        "MoreUNIX\\.cpp:[0-9]+: failed assertion `current\\.sa_handler == SIG_IGN'");
    EXPECT_DEATH(MoreUNIXRead(-1, nullptr, 1, nullptr), "failed assertion `fd >= 0'");
    EXPECT_DEATH(
        {
            int notEmpty = 0;
            MoreUNIXReadDescriptor(pair.a.get(), &notEmpty);
        },
        "failed assertion `\\*fdRead == -1'");
}

TEST(MoreUNIXIgnoreSIGPIPE, KeepsMaskAndFlags)
{
    // Signal dispositions are process-wide: change them in a child only.
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        struct sigaction action = {};
        action.sa_handler = CountInterrupt;
        sigemptyset(&action.sa_mask);
        sigaddset(&action.sa_mask, SIGUSR2);
        action.sa_flags = SA_RESTART;
        if (sigaction(SIGPIPE, &action, nullptr) != 0) _exit(10);
        if (MoreUNIXIgnoreSIGPIPE() != 0) _exit(11);
        struct sigaction now = {};
        if (sigaction(SIGPIPE, nullptr, &now) != 0) _exit(12);
        if (now.sa_handler != SIG_IGN) _exit(13);
        if (!sigismember(&now.sa_mask, SIGUSR2)) _exit(14);
        if ((now.sa_flags & SA_RESTART) == 0) _exit(15);
        if (raise(SIGPIPE) != 0) _exit(16);  // ignored: the child lives on
        _exit(0);
    }
    EXPECT_EQ(WaitForExit(child), 0);
}

// --- Descriptor passing ----------------------------------------------------

TEST(MoreUNIXDescriptor, ArrivesInAnotherProcessAsTheSameOpenFile)
{
    TempDir dir;
    const std::string path = dir.File("shared");
    WriteFile(path, "0123456789", 0600);
    SocketPair pair = MakeSocketPair();
    constexpr int kSenderNumber = 200;

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        pair.b.reset();
        int fd = open(path.c_str(), O_RDONLY);
        if (fd < 0 || dup2(fd, kSenderNumber) != kSenderNumber) _exit(10);
        close(fd);
        if (lseek(kSenderNumber, 3, SEEK_SET) != 3) _exit(11);
        if (MoreUNIXWriteDescriptor(pair.a.get(), kSenderNumber) != 0) _exit(12);
        char ack;
        if (MoreUNIXRead(pair.a.get(), &ack, 1, nullptr) != 0) _exit(13);
        // Still open here, and the receiver's read moved the shared offset.
        if (fcntl(kSenderNumber, F_GETFD) == -1) _exit(14);
        if (lseek(kSenderNumber, 0, SEEK_CUR) != 7) _exit(15);
        _exit(0);
    }
    pair.a.reset();
    ASSERT_EQ(MoreUNIXIgnoreSIGPIPE(), 0);
    int received = -1;
    ASSERT_EQ(MoreUNIXReadDescriptor(pair.b.get(), &received), 0);
    UniqueFd receivedFd(received);
    ASSERT_GE(received, 0);
    EXPECT_NE(received, kSenderNumber);
    EXPECT_EQ(fcntl(received, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);

    struct stat viaDescriptor, viaPath;
    ASSERT_EQ(fstat(received, &viaDescriptor), 0);
    ASSERT_EQ(stat(path.c_str(), &viaPath), 0);
    EXPECT_EQ(viaDescriptor.st_dev, viaPath.st_dev);
    EXPECT_EQ(viaDescriptor.st_ino, viaPath.st_ino);
    EXPECT_EQ(lseek(received, 0, SEEK_CUR), 3);
    char buf[4];
    ASSERT_EQ(MoreUNIXRead(received, buf, sizeof buf, nullptr), 0);
    EXPECT_EQ(std::string(buf, 4), "3456");
    ASSERT_EQ(MoreUNIXWrite(pair.b.get(), "k", 1, nullptr), 0);
    EXPECT_EQ(WaitForExit(child), 0);
}

// What a misbehaving peer sends in place of a descriptor message.
enum class BadMessage {
    kWrongByte,
    kNoControl,
    kClosedPeer,
    kTwoDescriptors,
    kTwoRightsMessages,
    kThreeDescriptors,
};

// Runs in the child: sends one malformed message with raw sendmsg.
int SendBadMessage(int sock, BadMessage kind)
{
    if (kind == BadMessage::kClosedPeer) return 0;
    int devNull[3];
    for (int &fd : devNull) {
        fd = open("/dev/null", O_RDONLY);
        if (fd < 0) return 1;
    }
    char byte = kind == BadMessage::kWrongByte ? 'X' : 'D';
    struct iovec iov = {&byte, 1};
    alignas(struct cmsghdr) char control[2 * CMSG_SPACE(3 * sizeof(int))] = {};
    struct msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    size_t perMessage = 1, messages = 1;
    switch (kind) {
    case BadMessage::kNoControl: messages = 0; break;
    case BadMessage::kTwoDescriptors: perMessage = 2; break;
    case BadMessage::kTwoRightsMessages: messages = 2; break;
    case BadMessage::kThreeDescriptors: perMessage = 3; break;
    default: break;
    }
    msg.msg_controllen = messages * CMSG_SPACE(perMessage * sizeof(int));
    if (messages == 0) msg.msg_control = nullptr;
    struct cmsghdr *cmsg = messages == 0 ? nullptr : CMSG_FIRSTHDR(&msg);
    for (size_t m = 0; m < messages; ++m, cmsg = CMSG_NXTHDR(&msg, cmsg)) {
        cmsg->cmsg_level = SOL_SOCKET;
        cmsg->cmsg_type = SCM_RIGHTS;
        cmsg->cmsg_len = CMSG_LEN(perMessage * sizeof(int));
        std::memcpy(CMSG_DATA(cmsg), devNull + m, perMessage * sizeof(int));
    }
    return sendmsg(sock, &msg, 0) == 1 ? 0 : 2;
}

TEST(MoreUNIXDescriptor, MalformedMessagesLeaveNothingOpen)
{
    const struct {
        BadMessage kind;
        int error;
        const char *name;
    } cases[] = {
        {BadMessage::kWrongByte, EINVAL, "byte other than D"},
        {BadMessage::kNoControl, EINVAL, "no control message"},
        {BadMessage::kClosedPeer, EPIPE, "closed peer"},
        {BadMessage::kTwoDescriptors, EINVAL, "two descriptors"},
        {BadMessage::kTwoRightsMessages, EINVAL, "two SCM_RIGHTS messages"},
        {BadMessage::kThreeDescriptors, EINVAL, "truncated control data"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        SocketPair pair = MakeSocketPair();
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            pair.b.reset();
            _exit(SendBadMessage(pair.a.get(), c.kind));
        }
        pair.a.reset();
        ASSERT_EQ(WaitForExit(child), 0);

        int before = CountOpenDescriptors();
        int received = -1;
        EXPECT_EQ(MoreUNIXReadDescriptor(pair.b.get(), &received), c.error);
        EXPECT_EQ(received, -1);
        EXPECT_EQ(CountOpenDescriptors(), before);
    }
}

TEST(MoreUNIXDescriptor, SendingOnABrokenSocketFails)
{
    ASSERT_EQ(MoreUNIXIgnoreSIGPIPE(), 0);
    SocketPair pair = MakeSocketPair();
    pair.b.reset();
    UniqueFd devNull(open("/dev/null", O_RDONLY | O_CLOEXEC));
    EXPECT_EQ(MoreUNIXWriteDescriptor(pair.a.get(), devNull.get()), EPIPE);
    EXPECT_NE(fcntl(devNull.get(), F_GETFD), -1);  // still the caller's

    // Not a socket at all.
    UniqueFd file(open("/dev/null", O_WRONLY | O_CLOEXEC));
    EXPECT_EQ(MoreUNIXWriteDescriptor(file.get(), devNull.get()), ENOTSOCK);
    int received = -1;
    EXPECT_EQ(MoreUNIXReadDescriptor(file.get(), &received), ENOTSOCK);
    EXPECT_EQ(received, -1);
}

// --- Copies -------------------------------------------------------------------

TEST(MoreUNIXCopyDescriptorToDescriptor, CopiesExactlyUpToTheEnd)
{
    ASSERT_EQ(MoreUNIXIgnoreSIGPIPE(), 0);
    TempDir dir;
    for (size_t size : {size_t{0}, size_t{65536}, size_t{65537}, size_t{3 * 65536 + 11}}) {
        SCOPED_TRACE(size);
        const std::vector<char> sent = Pattern(size);
        SocketPair pair = MakeSocketPair();
        pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            pair.b.reset();
            // Small uneven pieces, so the copy sees short reads.
            size_t offset = 0;
            while (offset < sent.size()) {
                size_t piece = std::min<size_t>(1000 + offset % 777, sent.size() - offset);
                if (MoreUNIXWrite(pair.a.get(), sent.data() + offset, piece, nullptr) != 0)
                    _exit(1);
                offset += piece;
            }
            _exit(0);
        }
        pair.a.reset();
        const std::string path = dir.File("copy");
        UniqueFd dest(open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        ASSERT_TRUE(dest);
        EXPECT_EQ(MoreUNIXCopyDescriptorToDescriptor(pair.b.get(), dest.get()), 0);
        EXPECT_EQ(WaitForExit(child), 0);
        std::string copied = ReadFile(path);
        EXPECT_EQ(copied.size(), size);
        EXPECT_TRUE(std::equal(copied.begin(), copied.end(), sent.begin(), sent.end()));
    }
}

TEST(MoreUNIXCopyDescriptorToDescriptor, ReportsReadAndWriteFailures)
{
    ASSERT_EQ(MoreUNIXIgnoreSIGPIPE(), 0);
    UniqueFd source(open("/dev/zero", O_RDONLY | O_CLOEXEC));
    UniqueFd sink(open("/dev/null", O_WRONLY | O_CLOEXEC));
    ASSERT_TRUE(source && sink);
    // A source that cannot be read.
    EXPECT_EQ(MoreUNIXCopyDescriptorToDescriptor(sink.get(), sink.get()), EBADF);
    // A destination whose reader has gone: the endless source stops on EPIPE.
    SocketPair pair = MakeSocketPair();
    pair.b.reset();
    EXPECT_EQ(MoreUNIXCopyDescriptorToDescriptor(source.get(), pair.a.get()), EPIPE);
}

TEST(MoreUNIXCopyFile, CopiesDataAndTimesButNotSetIDBits)
{
    ASSERT_EQ(MoreUNIXIgnoreSIGPIPE(), 0);
    TempDir dir;
    const std::string source = dir.File("source");
    const std::string data(65537, 'x');
    WriteFile(source, data, 04755);
    const struct timespec times[2] = {{1000000000, 123456789}, {1200000000, 987654321}};
    ASSERT_EQ(utimensat(AT_FDCWD, source.c_str(), times, 0), 0);
    mode_t mask = umask(022);
    umask(mask);

    // A new destination: permission bits without set-user-ID, through the umask.
    const std::string created = dir.File("created");
    ASSERT_EQ(MoreUNIXCopyFile(source.c_str(), created.c_str()), 0);
    struct stat st;
    ASSERT_EQ(stat(created.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755 & ~mask);
    EXPECT_EQ(ReadFile(created), data);
    EXPECT_EQ(st.st_atim.tv_sec, 1000000000);
    EXPECT_EQ(st.st_atim.tv_nsec, 123456000);
    EXPECT_EQ(st.st_mtim.tv_sec, 1200000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 987654000);

    // An existing, longer destination is truncated and keeps its own mode.
    const std::string existing = dir.File("existing");
    WriteFile(existing, std::string(100000, 'y'), 0640);
    const std::string link = dir.File("link");
    ASSERT_EQ(symlink(source.c_str(), link.c_str()), 0);
    ASSERT_EQ(MoreUNIXCopyFile(link.c_str(), existing.c_str()), 0);  // link followed
    ASSERT_EQ(stat(existing.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(ReadFile(existing), data);
    EXPECT_EQ(st.st_mtim.tv_sec, 1200000000);
    EXPECT_EQ(st.st_mtim.tv_nsec, 987654000);
}

TEST(MoreUNIXCopyFile, ReportsTheFailingStep)
{
    ASSERT_EQ(MoreUNIXIgnoreSIGPIPE(), 0);
    TempDir dir;
    const std::string dest = dir.File("dest");
    int before = CountOpenDescriptors();

    EXPECT_EQ(MoreUNIXCopyFile(dir.File("missing").c_str(), dest.c_str()), ENOENT);
    EXPECT_NE(access(dest.c_str(), F_OK), 0);  // nothing created

    const std::string source = dir.File("source");
    WriteFile(source, "abc", 0644);
    EXPECT_EQ(MoreUNIXCopyFile(source.c_str(), dir.File("no/such/dir").c_str()), ENOENT);

    // A directory opens but cannot be read.
    EXPECT_EQ(MoreUNIXCopyFile(dir.File("").c_str(), dest.c_str()), EISDIR);

    EXPECT_EQ(CountOpenDescriptors(), before);
}

}  // namespace
