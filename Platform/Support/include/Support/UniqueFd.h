// A move-only owner of one file descriptor.
#pragma once

#include <cassert>
#include <cerrno>
#include <unistd.h>

namespace wfs {

class UniqueFd {
public:
    UniqueFd() noexcept = default;
    explicit UniqueFd(int fd) noexcept : fd_(fd) {}
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.release()) {}
    UniqueFd &operator=(UniqueFd &&other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd() { reset(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }

    // Hands the descriptor out; this object no longer closes it.
    int release() noexcept {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }

    // Closes the held descriptor (if any) and takes `fd`. close() is not retried on EINTR: the
    // descriptor is released by the kernel either way. EBADF means we closed something we did not
    // own, which is a bug. errno is preserved so that clean-up never hides the error being reported.
    void reset(int fd = -1) noexcept {
        if (fd_ >= 0) {
            int saved = errno;
            int rc = ::close(fd_);
            assert(!(rc == -1 && errno == EBADF));
            (void)rc;
            errno = saved;
        }
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

}  // namespace wfs
