#include "PowerEventStore.h"

#include "PowerEventPlist.h"

#include <Support/Eintr.h>

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <memory>
#include <string_view>
#include <thread>

namespace wfs::iokit {

IOReturn IOReturnFromErrno(int error) {
    switch (error) {
        case 0: return kIOReturnSuccess;
        case ENOMEM: return kIOReturnNoMemory;
        case EMFILE:
        case ENFILE: return kIOReturnNoResources;
        case ENOSPC:
        case EDQUOT: return kIOReturnNoSpace;
        case EACCES:
        case EPERM: return kIOReturnNotPermitted;
        case EIO: return kIOReturnIOError;
        default: return kIOReturnError;
    }
}

namespace {

struct SplitPath {
    std::string folder;
    std::string name;
};

SplitPath Split(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// Creates the folder if needed and refuses one that someone other than its owner can write to (the
// store decides when the machine wakes; nobody but root may swap files in it).
int PrepareFolder(const std::string &folder) {
    if (::mkdir(folder.c_str(), 0755) == 0) {
        // The umask we inherited may have taken bits away; the store must be listable by everyone.
        if (::chmod(folder.c_str(), 0755) == -1) return errno;
    } else if (errno != EEXIST) {
        return errno;
    }
    struct stat st;
    if (::stat(folder.c_str(), &st) == -1) return errno;
    if (!S_ISDIR(st.st_mode)) return ENOTDIR;
    if (st.st_uid != ::geteuid() || (st.st_mode & (S_IWGRP | S_IWOTH)) != 0) return EPERM;
    return 0;
}

// A buffer from malloc: running short of memory while reading the store is an answer (ENOMEM)
// rather than an exception, so that it is never mistaken for something about the store.
class ByteBuffer {
public:
    int Reserve(size_t capacity) {
        if (capacity <= capacity_) return 0;
        void *grown = std::realloc(data_.get(), capacity);
        if (grown == nullptr) return ENOMEM;
        (void)data_.release();
        data_.reset(static_cast<char *>(grown));
        capacity_ = capacity;
        return 0;
    }
    char *data() const { return data_.get(); }
    size_t capacity() const { return capacity_; }
    size_t size = 0;
    std::string_view view() const { return {data_.get(), size}; }

private:
    std::unique_ptr<char, void (*)(void *)> data_{nullptr, std::free};
    size_t capacity_ = 0;
};

// Reads the whole store. 0, or the errno of the failure (ENOENT: no store; EFBIG: too large;
// EINVAL: not a regular file; ELOOP: a symbolic link).
int ReadStoreFile(const std::string &path, ByteBuffer &bytes) {
    bytes.size = 0;
    UniqueFd fd(RetryOnEintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK); }));
    if (!fd) return errno;
    struct stat st;
    if (::fstat(fd.get(), &st) == -1) return errno;
    if (!S_ISREG(st.st_mode)) return EINVAL;
    if (static_cast<unsigned long long>(st.st_size) > kMaxStoreBytes) return EFBIG;
    if (int error = bytes.Reserve(static_cast<size_t>(st.st_size) + 1)) return error;
    for (;;) {
        if (bytes.size == bytes.capacity()) {
            // The file may have grown since fstat; look for more, within the limit.
            if (bytes.size > kMaxStoreBytes) return EFBIG;
            if (int error = bytes.Reserve(std::min(kMaxStoreBytes + 1, bytes.size + 4096))) return error;
        }
        ssize_t n = RetryOnEintr(
            [&] { return ::read(fd.get(), bytes.data() + bytes.size, bytes.capacity() - bytes.size); });
        if (n == -1) return errno;
        if (n == 0) break;
        bytes.size += static_cast<size_t>(n);
    }
    return bytes.size > kMaxStoreBytes ? EFBIG : 0;
}

// The failures that are facts about the file at the store's path: its bytes are not a store
// (EINVAL from the decoder, or a file that is not a regular one), it is larger than any store we
// write (EFBIG), or it is a symbolic link (ELOOP). Only these move it aside; anything else (out of
// memory or descriptors, a read error) is about this moment, and the store must survive it.
bool IsNotAStore(int error) { return error == EINVAL || error == EFBIG || error == ELOOP; }

// Reads and decodes the store: 0, or the errno of the first failure (see IsNotAStore).
int ReadAndDecode(const std::string &path, std::vector<PowerEvent> &events) {
    events.clear();
    ByteBuffer bytes;
    if (int error = ReadStoreFile(path, bytes)) return error;
    return DecodeEvents(bytes.view(), events);
}

int MoveAside(const std::string &path, std::string &movedTo) {
    char stamp[32];
    time_t now = ::time(nullptr);
    struct tm utc;
    if (::gmtime_r(&now, &utc) == nullptr || ::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc) == 0) {
        ::snprintf(stamp, sizeof stamp, "%lld", static_cast<long long>(now));
    }
    std::string base = path + ".corrupt-" + stamp;
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::string target = attempt == 0 ? base : base + "-" + std::to_string(attempt);
        // Never replace an earlier damaged store: each one is kept for whoever investigates.
        if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
            movedTo = target;
            return 0;
        }
        if (errno == EEXIST) continue;
        if (errno != EINVAL && errno != ENOSYS) return errno;
        // A file system without RENAME_NOREPLACE: link refuses an existing name just the same.
        if (::link(path.c_str(), target.c_str()) == -1) {
            if (errno == EEXIST) continue;
            return errno;
        }
        if (::unlink(path.c_str()) == -1) return errno;
        movedTo = target;
        return 0;
    }
    return EEXIST;
}

int WriteAll(int fd, const std::string &bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = RetryOnEintr([&] { return ::write(fd, bytes.data() + done, bytes.size() - done); });
        if (n == -1) return errno;
        done += static_cast<size_t>(n);
    }
    return 0;
}

void RemoveStaleTemporaries(const std::string &folder, const std::string &prefix) {
    UniqueFd dirFd(RetryOnEintr([&] { return ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!dirFd) return;
    // The directory stream takes a descriptor of its own, which closedir closes.
    UniqueFd scanFd(::fcntl(dirFd.get(), F_DUPFD_CLOEXEC, 0));
    if (!scanFd) return;
    std::unique_ptr<DIR, int (*)(DIR *)> dir(::fdopendir(scanFd.get()), ::closedir);
    if (!dir) return;
    scanFd.release();
    while (struct dirent *entry = ::readdir(dir.get())) {
        if (::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) {
            ::unlinkat(dirFd.get(), entry->d_name, 0);
        }
    }
}

// A temporary file that is removed unless it has been renamed into place.
class TemporaryFile {
public:
    TemporaryFile() = default;
    TemporaryFile(const TemporaryFile &) = delete;
    TemporaryFile &operator=(const TemporaryFile &) = delete;
    ~TemporaryFile() {
        if (!path_.empty()) {
            int saved = errno;
            ::unlink(path_.c_str());
            errno = saved;
        }
    }
    // O_EXCL with a unique name, mode 0600 until it is complete.
    int Create(const std::string &prefix) {
        std::string pattern = prefix + "XXXXXX";
        int fd = RetryOnEintr([&] { return ::mkostemp(pattern.data(), O_CLOEXEC); });
        if (fd == -1) return errno;
        fd_.reset(fd);
        path_ = pattern;
        return 0;
    }
    int fd() const { return fd_.get(); }
    const std::string &path() const { return path_; }
    void Committed() { path_.clear(); }

private:
    UniqueFd fd_;
    std::string path_;
};

std::string TemporaryPrefix(const std::string &storePath) { return storePath + ".tmp-"; }

// Takes the exclusive lock on `fd`, polling until the deadline: flock has no timed form, and a
// signal-based timeout would reach into the caller's signal handling. Contention is rare and
// brief, so a short poll costs nothing in practice.
int LockWithin(int fd, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    auto pause = std::chrono::milliseconds(1);
    for (;;) {
        if (RetryOnEintr([&] { return ::flock(fd, LOCK_EX | LOCK_NB); }) == 0) return 0;
        if (errno != EWOULDBLOCK) return errno;
        if (std::chrono::steady_clock::now() >= deadline) return EWOULDBLOCK;
        std::this_thread::sleep_for(pause);
        pause = std::min(pause * 2, std::chrono::milliseconds(25));
    }
}

}  // namespace

IOReturn StoreLock::Acquire(const std::string &storePath, StoreLock &lock) {
    SplitPath parts = Split(storePath);
    if (int error = PrepareFolder(parts.folder)) return IOReturnFromErrno(error);
    std::string lockPath = storePath + ".lock";
    UniqueFd fd(RetryOnEintr(
        [&] { return ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600); }));
    if (!fd) return IOReturnFromErrno(errno);
    if (int error = LockWithin(fd.get(), std::chrono::milliseconds(kLockTimeoutMilliseconds))) {
        return error == EWOULDBLOCK ? kIOReturnBusy : IOReturnFromErrno(error);
    }
    lock.fd_ = std::move(fd);
    RemoveStaleTemporaries(parts.folder, parts.name + ".tmp-");
    return kIOReturnSuccess;
}

IOReturn LoadEventsLocked(const StoreLock &lock, const std::string &storePath,
                          std::vector<PowerEvent> &events, std::string *movedAside) {
    if (!lock.held()) return kIOReturnError;
    int error = ReadAndDecode(storePath, events);
    if (error == 0 || error == ENOENT) return kIOReturnSuccess;
    events.clear();
    if (!IsNotAStore(error)) return IOReturnFromErrno(error);
    std::string target;
    if (int moveError = MoveAside(storePath, target)) return IOReturnFromErrno(moveError);
    ::syslog(LOG_WARNING, "scheduled power events: unusable store moved aside to %s", target.c_str());
    if (movedAside != nullptr) *movedAside = target;
    events.clear();
    return kIOReturnSuccess;
}

IOReturn SaveEventsLocked(const StoreLock &lock, const std::string &storePath,
                          const std::vector<PowerEvent> &events) {
    if (!lock.held()) return kIOReturnError;
    std::string document;
    if (IOReturn result = EncodeEvents(events, document)) return result;

    SplitPath parts = Split(storePath);
    TemporaryFile temporary;
    if (int error = temporary.Create(TemporaryPrefix(storePath))) return IOReturnFromErrno(error);
    // Root may be running with the invoking user's group; the store belongs to root alone, and is
    // readable by everyone so that listing needs no privilege.
    if (::fchown(temporary.fd(), 0, 0) == -1) return IOReturnFromErrno(errno);
    if (::fchmod(temporary.fd(), 0644) == -1) return IOReturnFromErrno(errno);
    if (int error = WriteAll(temporary.fd(), document)) return IOReturnFromErrno(error);
    if (RetryOnEintr([&] { return ::fsync(temporary.fd()); }) == -1) return IOReturnFromErrno(errno);
    if (::rename(temporary.path().c_str(), storePath.c_str()) == -1) return IOReturnFromErrno(errno);
    temporary.Committed();
    // Without this the rename itself may be lost in a crash, and the old store come back.
    UniqueFd folder(RetryOnEintr([&] { return ::open(parts.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!folder) return IOReturnFromErrno(errno);
    if (RetryOnEintr([&] { return ::fsync(folder.get()); }) == -1) return IOReturnFromErrno(errno);
    return kIOReturnSuccess;
}

int ReadEventsUnlocked(const std::string &storePath, std::vector<PowerEvent> &events) {
    return ReadAndDecode(storePath, events);
}

}  // namespace wfs::iokit
