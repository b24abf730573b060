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
#include <memory>

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

// Reads the whole store. 0, or the errno of the failure (ENOENT: no store; EFBIG: too large;
// EINVAL: not a regular file).
int ReadStoreFile(const std::string &path, std::string &bytes) {
    bytes.clear();
    UniqueFd fd(RetryOnEintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK); }));
    if (!fd) return errno;
    struct stat st;
    if (::fstat(fd.get(), &st) == -1) return errno;
    if (!S_ISREG(st.st_mode)) return EINVAL;
    if (static_cast<unsigned long long>(st.st_size) > kMaxStoreBytes) return EFBIG;
    bytes.resize(static_cast<size_t>(st.st_size));
    size_t done = 0;
    for (;;) {
        if (done == bytes.size()) {
            // The file may have grown since fstat; look for more, within the limit.
            if (bytes.size() >= kMaxStoreBytes) {
                char probe;
                ssize_t n = RetryOnEintr([&] { return ::read(fd.get(), &probe, 1); });
                if (n == -1) return errno;
                if (n > 0) return EFBIG;
                break;
            }
            bytes.resize(std::min(kMaxStoreBytes, bytes.size() + 4096));
        }
        ssize_t n = RetryOnEintr([&] { return ::read(fd.get(), bytes.data() + done, bytes.size() - done); });
        if (n == -1) return errno;
        if (n == 0) break;
        done += static_cast<size_t>(n);
    }
    bytes.resize(done);
    return 0;
}

// Errors that say nothing about the store itself, only about this moment: never a reason to move
// the store aside.
bool IsTransient(int error) {
    return error == ENOMEM || error == EMFILE || error == ENFILE || error == EINTR || error == EAGAIN;
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

}  // namespace

IOReturn StoreLock::Acquire(const std::string &storePath, StoreLock &lock) {
    if (int error = PrepareFolder(Split(storePath).folder)) return IOReturnFromErrno(error);
    std::string lockPath = storePath + ".lock";
    UniqueFd fd(RetryOnEintr(
        [&] { return ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600); }));
    if (!fd) return IOReturnFromErrno(errno);
    if (RetryOnEintr([&] { return ::flock(fd.get(), LOCK_EX); }) == -1) return IOReturnFromErrno(errno);
    lock.fd_ = std::move(fd);
    return kIOReturnSuccess;
}

IOReturn LoadEventsLocked(const StoreLock &lock, const std::string &storePath,
                          std::vector<PowerEvent> &events, std::string *movedAside) {
    (void)lock;
    events.clear();
    std::string bytes;
    int error = ReadStoreFile(storePath, bytes);
    if (error == ENOENT) return kIOReturnSuccess;
    if (error != 0 && IsTransient(error)) return IOReturnFromErrno(error);
    if (error == 0 && DecodeEvents(bytes, events)) return kIOReturnSuccess;
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
    RemoveStaleTemporaries(parts.folder, parts.name + ".tmp-");
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

bool ReadEventsUnlocked(const std::string &storePath, std::vector<PowerEvent> &events) {
    events.clear();
    std::string bytes;
    if (ReadStoreFile(storePath, bytes) != 0) return false;
    return DecodeEvents(bytes, events);
}

}  // namespace wfs::iokit
