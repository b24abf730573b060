// MoreUNIX: exact reads and writes, descriptor passing, copies and SIGPIPE.

#include "MoreUNIX.h"

#include "MoreAssert.h"

#include <Support/Eintr.h>
#include <Support/UniqueFd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

namespace {

// The one byte of ordinary data that travels with every passed descriptor.
constexpr char kDummyData = 'D';

// The size of the buffer of one stream copy.
constexpr size_t kBufferSize = 65536;

// A control buffer with room for exactly one SCM_RIGHTS message of one int,
// aligned as the control-message macros expect.
union DescriptorControl {
    char bytes[CMSG_SPACE(sizeof(int))];
    struct cmsghdr align;
};

// The one-byte message with room for one descriptor, laid out alike for sending and receiving.
// It points into itself, so it stays where it was made.
struct DescriptorMessage {
    explicit DescriptorMessage(char byte) : data(byte)
    {
        std::memset(&control, 0, sizeof control);
        iov.iov_base = &data;
        iov.iov_len = sizeof data;
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control.bytes;
        msg.msg_controllen = sizeof control.bytes;
    }
    DescriptorMessage(const DescriptorMessage &) = delete;
    DescriptorMessage &operator=(const DescriptorMessage &) = delete;

    char data;
    struct iovec iov = {};
    struct msghdr msg = {};
    // Last: its alignment member ends in a flexible array.
    DescriptorControl control;
};

struct FreeDeleter {
    void operator()(void *block) const noexcept { std::free(block); }
};

// Takes ownership of every descriptor that arrived in msg's control data,
// whatever the kind or count of the messages, so that none can leak whatever
// the checks that follow decide.
std::vector<wfs::UniqueFd> AdoptReceivedDescriptors(struct msghdr *msg)
{
    std::vector<wfs::UniqueFd> received;
    for (struct cmsghdr *cmsg = CMSG_FIRSTHDR(msg); cmsg != nullptr;
         cmsg = CMSG_NXTHDR(msg, cmsg)) {
        if (cmsg->cmsg_level != SOL_SOCKET || cmsg->cmsg_type != SCM_RIGHTS) continue;
        if (cmsg->cmsg_len < CMSG_LEN(0)) continue;
        size_t count = (cmsg->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        const unsigned char *data = CMSG_DATA(cmsg);
        for (size_t i = 0; i < count; ++i) {
            int fd;
            std::memcpy(&fd, data + i * sizeof(int), sizeof fd);
            if (fd >= 0) received.emplace_back(fd);
        }
    }
    return received;
}

}  // namespace

extern "C" int MoreUNIXErrno(int result)
{
    if (result >= 0) return 0;
    int err = errno;
    MoreAssertQ(err != 0);
    return err;
}

extern "C" int MoreUNIXRead(int fd, void *buf, size_t bufSize, size_t *bytesRead)
{
    MoreAssertQ(fd >= 0);
    MoreAssertQ(buf != NULL);

    char *cursor = static_cast<char *>(buf);
    size_t remaining = bufSize;
    int err = 0;
    while (remaining != 0) {
        // Never more than the bytes still missing: whatever follows on the
        // stream (a descriptor message behind a frame) must stay unread.
        ssize_t got = wfs::RetryOnEintr([&] { return read(fd, cursor, remaining); });
        if (got > 0) {
            cursor += got;
            remaining -= static_cast<size_t>(got);
        } else if (got == 0) {
            err = EPIPE;
            break;
        } else {
            err = MoreUNIXErrno(-1);
            break;
        }
    }
    if (bytesRead != NULL) *bytesRead = bufSize - remaining;
    return err;
}

extern "C" int MoreUNIXWrite(int fd, const void *buf, size_t bufSize, size_t *bytesWritten)
{
    MoreAssertQ(fd >= 0);
    MoreAssertQ(buf != NULL);

    // A vanished peer must show up as EPIPE, not end the process.
    struct sigaction current;
    int sigErr = MoreUNIXErrno(sigaction(SIGPIPE, NULL, &current));
    MoreAssertQ(sigErr == 0);
    MoreAssertQ(current.sa_handler == SIG_IGN);

    const char *cursor = static_cast<const char *>(buf);
    size_t remaining = bufSize;
    int err = 0;
    while (remaining != 0) {
        ssize_t put = wfs::RetryOnEintr([&] { return write(fd, cursor, remaining); });
        if (put < 0) {
            err = MoreUNIXErrno(-1);
            break;
        }
        // write(2) answers 0 for a non-zero count only on descriptors this
        // module is never used with; looping on it would never end.
        MoreAssertQ(put != 0);
        cursor += put;
        remaining -= static_cast<size_t>(put);
    }
    if (bytesWritten != NULL) *bytesWritten = bufSize - remaining;
    return err;
}

extern "C" int MoreUNIXIgnoreSIGPIPE(void)
{
    struct sigaction action;
    int err = MoreUNIXErrno(sigaction(SIGPIPE, NULL, &action));
    if (err != 0) return err;
    action.sa_handler = SIG_IGN;
    return MoreUNIXErrno(sigaction(SIGPIPE, &action, NULL));
}

extern "C" int MoreUNIXWriteDescriptor(int fd, int fdToWrite)
{
    MoreAssertQ(fd >= 0);
    MoreAssertQ(fdToWrite >= 0);

    DescriptorMessage message(kDummyData);
    struct msghdr &msg = message.msg;
    struct cmsghdr *cmsg = CMSG_FIRSTHDR(&msg);
    cmsg->cmsg_level = SOL_SOCKET;
    cmsg->cmsg_type = SCM_RIGHTS;
    cmsg->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(cmsg), &fdToWrite, sizeof(int));

    ssize_t sent = wfs::RetryOnEintr([&] { return sendmsg(fd, &msg, 0); });
    if (sent < 0) return MoreUNIXErrno(-1);
    // A stream socket takes the one byte whole or not at all.
    MoreAssertQ(sent == 1);
    return 0;
}

extern "C" int MoreUNIXReadDescriptor(int fd, int *fdRead)
{
    MoreAssertQ(fd >= 0);
    MoreAssertQ(fdRead != NULL);
    MoreAssertQ(*fdRead == -1);

    DescriptorMessage message(0);
    struct msghdr &msg = message.msg;

    // MSG_CMSG_CLOEXEC marks the received descriptor close-on-exec as it is
    // installed.  Both sides of this system start child processes; without it
    // the descriptor would leak into any child started before the caller could
    // set the flag itself.  A caller that wants a child to have it dup2s it,
    // which clears the flag on the copy.
    constexpr int kReceiveFlags = MSG_CMSG_CLOEXEC;
    ssize_t got = wfs::RetryOnEintr([&] { return recvmsg(fd, &msg, kReceiveFlags); });
    if (got < 0) return MoreUNIXErrno(-1);

    // Own everything that arrived before judging the message: a message that
    // fails a check leaks nothing.
    std::vector<wfs::UniqueFd> received = AdoptReceivedDescriptors(&msg);
    if (got == 0) return EPIPE;

    // The kernel echoes the MSG_CMSG_CLOEXEC request in the returned flags;
    // anything else (MSG_TRUNC, MSG_CTRUNC) means data was cut off, and the
    // descriptors that did fit were adopted above and are closed on return.
    int returnedFlags = msg.msg_flags & ~kReceiveFlags;
    const struct cmsghdr *cmsg = CMSG_FIRSTHDR(&msg);
    if (message.data != kDummyData) return EINVAL;
    if (returnedFlags != 0) return EINVAL;
    if (msg.msg_control == nullptr) return EINVAL;
    if (msg.msg_controllen != sizeof message.control.bytes) return EINVAL;
    if (cmsg == nullptr || cmsg->cmsg_len != CMSG_LEN(sizeof(int))) return EINVAL;
    if (cmsg->cmsg_level != SOL_SOCKET) return EINVAL;
    if (cmsg->cmsg_type != SCM_RIGHTS) return EINVAL;
    int passed;
    std::memcpy(&passed, CMSG_DATA(cmsg), sizeof passed);
    if (passed < 0) return EINVAL;
    // With one control message of one int, the descriptor adopted is that one.
    MoreAssertQ(received.size() == 1 && received[0].get() == passed);

    *fdRead = received[0].release();
    return 0;
}

extern "C" int MoreUNIXCopyDescriptorToDescriptor(int source, int dest)
{
    MoreAssertQ(source >= 0);
    MoreAssertQ(dest >= 0);

    std::unique_ptr<char, FreeDeleter> buffer(static_cast<char *>(std::malloc(kBufferSize)));
    if (!buffer) return ENOMEM;

    for (;;) {
        size_t bytesRead = 0;
        int err = MoreUNIXRead(source, buffer.get(), kBufferSize, &bytesRead);
        if (err == 0) {
            err = MoreUNIXWrite(dest, buffer.get(), bytesRead, NULL);
            if (err != 0) return err;
        } else if (err == EPIPE) {
            // The end of the source: write what arrived before it.
            return MoreUNIXWrite(dest, buffer.get(), bytesRead, NULL);
        } else {
            return err;
        }
    }
}

extern "C" int MoreUNIXCopyFile(const char *source, const char *dest)
{
    MoreAssertQ(source != NULL);
    MoreAssertQ(dest != NULL);

    struct stat sourceInfo;
    int err = MoreUNIXErrno(stat(source, &sourceInfo));
    if (err != 0) return err;

    wfs::UniqueFd sourceFd(wfs::RetryOnEintr([&] { return open(source, O_RDONLY | O_CLOEXEC); }));
    if (!sourceFd) err = MoreUNIXErrno(-1);
    // The mode and times come from the file actually opened, in case the path
    // was pointed elsewhere between stat and open.
    if (err == 0) err = MoreUNIXErrno(fstat(sourceFd.get(), &sourceInfo));

    wfs::UniqueFd destFd;
    if (err == 0) {
        // Permission bits only: a copy never carries set-user-ID, set-group-ID
        // or sticky bits.  The umask applies; an existing file keeps its mode.
        mode_t mode = sourceInfo.st_mode & (S_IRWXU | S_IRWXG | S_IRWXO);
        destFd.reset(wfs::RetryOnEintr(
            [&] { return open(dest, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode); }));
        if (!destFd) err = MoreUNIXErrno(-1);
    }
    if (err == 0) err = MoreUNIXCopyDescriptorToDescriptor(sourceFd.get(), destFd.get());

    sourceFd.reset();
    if (destFd) {
        // Some file systems report a failed write-back only at close, so the
        // destination's close is checked.  EINTR is not a failure: on Linux
        // the descriptor is gone and the data handed over either way.
        int rc = close(destFd.release());
        if (rc != 0 && errno != EINTR && err == 0) err = MoreUNIXErrno(rc);
    }
    if (err != 0) return err;

    struct timeval times[2];
    times[0].tv_sec = sourceInfo.st_atim.tv_sec;
    times[0].tv_usec = sourceInfo.st_atim.tv_nsec / 1000;
    times[1].tv_sec = sourceInfo.st_mtim.tv_sec;
    times[1].tv_usec = sourceInfo.st_mtim.tv_nsec / 1000;
    return MoreUNIXErrno(utimes(dest, times));
}
