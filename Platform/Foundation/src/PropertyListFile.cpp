// A property-list dictionary in a file shared by several processes: locked changes, atomic
// replacement, and a damaged file moved aside instead of overwritten.
#include <Foundation/PropertyListFile.h>

#include "FoundationInternal.h"

#include <Support/Eintr.h>
#include <Support/UniqueFd.h>

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <new>

namespace wfs::foundation {
namespace {

constexpr const char kLogFile[] = "Platform/Foundation/PropertyListFile";

// Far beyond any defaults or timers file; a larger one is refused (EFBIG) rather than read whole.
constexpr off_t kMaxFileBytes = 64 << 20;

struct SplitPath {
    std::string folder, name;
};

SplitPath Split(const std::string &path) {
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos) return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// mkdir -p, each missing folder private to the user.
int MakeFolders(const std::string &folder) {
    for (size_t slash = folder.find('/', 1);; slash = folder.find('/', slash + 1)) {
        const std::string prefix = folder.substr(0, slash);
        if (RetryOnEintr([&] { return ::mkdir(prefix.c_str(), 0700); }) != 0 && errno != EEXIST) return errno;
        if (slash == std::string::npos) return 0;
    }
}

// The whole file: 0, ENOENT when there is none, EINVAL for something that is not a regular file
// (a FIFO would block us; a folder has no bytes), EFBIG past the limit, or the errno of the failure.
int ReadBytes(const std::string &path, std::string &bytes) {
    bytes.clear();
    UniqueFd fd(RetryOnEintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); }));
    if (!fd) return errno;
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) return errno;
    if (!S_ISREG(st.st_mode)) return EINVAL;
    if (st.st_size > kMaxFileBytes) return EFBIG;
    char buffer[65536];
    for (;;) {
        const ssize_t n = RetryOnEintr([&] { return ::read(fd.get(), buffer, sizeof buffer); });
        if (n < 0) return errno;
        if (n == 0) return 0;
        if (bytes.size() + static_cast<size_t>(n) > static_cast<size_t>(kMaxFileBytes)) return EFBIG;
        bytes.append(buffer, static_cast<size_t>(n));
    }
}

enum class Parsed { Dictionary, Corrupt, NoMemory };

// Only a definite verdict on the bytes counts as damage: the reader says (errno) whether it refused
// the document or ran out of memory before it could tell, and the latter says nothing about the
// file.
Parsed Parse(const std::string &bytes, CFRef<CFDictionaryRef> &contents) {
    CFRef<CFDataRef> data(CFDataCreateWithBytesNoCopy(nullptr, reinterpret_cast<const UInt8 *>(bytes.data()),
                                                      static_cast<CFIndex>(bytes.size()), kCFAllocatorNull));
    if (!data) return Parsed::NoMemory;
    CFRef<CFPropertyListRef> plist(CFPropertyListCreateFromXMLData(nullptr, data.get(), kCFPropertyListImmutable, nullptr));
    if (!plist) return errno == ENOMEM ? Parsed::NoMemory : Parsed::Corrupt;
    if (CFGetTypeID(plist.get()) != CFDictionaryGetTypeID()) return Parsed::Corrupt;
    contents.reset(static_cast<CFDictionaryRef>(plist.release()));
    return Parsed::Dictionary;
}

CFRef<CFDictionaryRef> EmptyDictionary() {
    return CFRef<CFDictionaryRef>(CFDictionaryCreate(nullptr, nullptr, nullptr, 0, &kCFTypeDictionaryKeyCallBacks,
                                                     &kCFTypeDictionaryValueCallBacks));
}

std::string UTCStamp() {
    char stamp[32];
    const time_t now = ::time(nullptr);
    struct tm utc;
    if (::gmtime_r(&now, &utc) == nullptr || ::strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%SZ", &utc) == 0) {
        return std::to_string(static_cast<long long>(now));
    }
    return stamp;
}

// Renames the file to <path>.corrupt-<UTC time>, never over an earlier one: each damaged file is
// kept for whoever wants to look at it.
int MoveAside(const std::string &path, std::string &movedTo) {
    const std::string base = path + ".corrupt-" + UTCStamp();
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const std::string target = attempt == 0 ? base : base + "-" + std::to_string(attempt);
        if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) {
            movedTo = target;
            return 0;
        }
        if (errno == EEXIST) continue;
        if (errno != EINVAL && errno != ENOSYS) return errno;
        // A file system without RENAME_NOREPLACE: link refuses an existing name just the same.
        if (::link(path.c_str(), target.c_str()) != 0) {
            if (errno == EEXIST) continue;
            return errno;
        }
        if (::unlink(path.c_str()) != 0) return errno;
        movedTo = target;
        return 0;
    }
    return EEXIST;
}

// The exclusive lock on <path>.lock, held while this object lives. A separate file, because the
// file itself is replaced by every change and a lock on a replaced file guards nothing.
class FileLock {
public:
    int Acquire(const std::string &path) {
        const std::string lockPath = path + ".lock";
        fd_.reset(RetryOnEintr(
            [&] { return ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600); }));
        if (!fd_) return errno;
        if (RetryOnEintr([&] { return ::flock(fd_.get(), LOCK_EX); }) != 0) return errno;
        return 0;
    }

private:
    UniqueFd fd_;
};

// Reads the file while the lock is held, moving a damaged one aside.
int ReadLocked(const std::string &path, CFRef<CFDictionaryRef> &contents) {
    std::string bytes;
    const int error = ReadBytes(path, bytes);
    if (error == ENOENT) {
        contents = EmptyDictionary();
        return contents ? 0 : ENOMEM;
    }
    if (error != 0) return error;
    switch (Parse(bytes, contents)) {
    case Parsed::Dictionary: return 0;
    case Parsed::NoMemory: return ENOMEM;
    case Parsed::Corrupt: break;
    }
    std::string movedTo;
    if (const int moveError = MoveAside(path, movedTo)) return moveError;
    LogFormat(__LINE__, kLogFile, __func__, CFSTR("%s is not a readable property-list dictionary; moved it aside to %s"),
              path.c_str(), movedTo.c_str());
    contents = EmptyDictionary();
    return contents ? 0 : ENOMEM;
}

// A temporary file beside the target, removed unless it has been renamed into place.
class TemporaryFile {
public:
    TemporaryFile() = default;
    TemporaryFile(const TemporaryFile &) = delete;
    TemporaryFile &operator=(const TemporaryFile &) = delete;
    ~TemporaryFile() {
        if (!path_.empty()) {
            const int saved = errno;
            ::unlink(path_.c_str());
            errno = saved;
        }
    }
    // mkostemp: a fresh name, O_EXCL, mode 0600.
    int Create(const std::string &prefix) {
        std::string pattern = prefix + "XXXXXX";
        const int fd = RetryOnEintr([&] { return ::mkostemp(pattern.data(), O_CLOEXEC); });
        if (fd < 0) return errno;
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

// Temporaries left by a writer that died mid-write. Only called under the lock, when no other
// writer can be using one.
void RemoveStaleTemporaries(const SplitPath &parts) {
    const std::string prefix = parts.name + ".tmp-";
    UniqueFd folder(RetryOnEintr([&] { return ::open(parts.folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!folder) return;
    // fdopendir takes over a descriptor of its own, which closedir closes.
    UniqueFd scan(::fcntl(folder.get(), F_DUPFD_CLOEXEC, 0));
    if (!scan) return;
    std::unique_ptr<DIR, int (*)(DIR *)> dir(::fdopendir(scan.get()), ::closedir);
    if (!dir) return;
    scan.release();
    while (struct dirent *entry = ::readdir(dir.get())) {
        if (::strncmp(entry->d_name, prefix.c_str(), prefix.size()) == 0) ::unlinkat(folder.get(), entry->d_name, 0);
    }
}

int WriteAll(int fd, const char *bytes, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = RetryOnEintr([&] { return ::write(fd, bytes + done, size - done); });
        if (n < 0) return errno;
        done += static_cast<size_t>(n);
    }
    return 0;
}

int WriteAtomically(const std::string &path, CFDictionaryRef contents) {
    CFRef<CFDataRef> xml(CFPropertyListCreateXMLData(nullptr, contents));
    if (!xml) return EINVAL;  // a value the format cannot carry
    RemoveStaleTemporaries(Split(path));
    return ReplaceFileAtomically(path, CFDataGetBytePtr(xml.get()), static_cast<size_t>(CFDataGetLength(xml.get())));
}

// Running out of memory is an answer of these calls, not an exception through their callers.
template <typename Call>
int NoThrow(Call &&call) noexcept {
    try {
        return call();
    } catch (const std::bad_alloc &) {
        return ENOMEM;
    }
}

}  // namespace

int ReplaceFileAtomically(const std::string &path, const void *bytes, size_t size, mode_t mode) {
    TemporaryFile temporary;
    if (const int error = temporary.Create(path + ".tmp-")) return error;
    if (::fchmod(temporary.fd(), mode) != 0) return errno;
    if (const int error = WriteAll(temporary.fd(), static_cast<const char *>(bytes), size)) return error;
    if (RetryOnEintr([&] { return ::fsync(temporary.fd()); }) != 0) return errno;
    if (::rename(temporary.path().c_str(), path.c_str()) != 0) return errno;
    temporary.Committed();
    // Without this the rename itself may be lost in a crash, and the old file come back.
    UniqueFd folder(RetryOnEintr([&] { return ::open(Split(path).folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); }));
    if (!folder) return errno;
    if (RetryOnEintr([&] { return ::fsync(folder.get()); }) != 0) return errno;
    return 0;
}

PropertyListFile::PropertyListFile(std::string path) : path_(std::move(path)) {
    FOUNDATION_ASSERT(!path_.empty() && path_.front() == '/');
}

int PropertyListFile::Read(CFRef<CFDictionaryRef> &contents) const {
    return NoThrow([&] {
        // Writers replace the file in one rename, so without the lock we still read one whole
        // version of it. Only moving a damaged file aside needs the lock: by then the path may
        // name a good file that a writer has just put in place.
        std::string bytes;
        const int error = ReadBytes(path_, bytes);
        if (error == ENOENT) {
            contents = EmptyDictionary();
            return contents ? 0 : ENOMEM;
        }
        if (error != 0) return error;
        switch (Parse(bytes, contents)) {
        case Parsed::Dictionary: return 0;
        case Parsed::NoMemory: return ENOMEM;
        case Parsed::Corrupt: break;
        }
        FileLock lock;
        if (const int lockError = lock.Acquire(path_)) return lockError;
        return ReadLocked(path_, contents);
    });
}

int PropertyListFile::Update(const Change &change, CFRef<CFDictionaryRef> *after) const {
    return NoThrow([&] {
        if (const int error = MakeFolders(Split(path_).folder)) return error;
        FileLock lock;
        if (const int error = lock.Acquire(path_)) return error;
        CFRef<CFDictionaryRef> current;
        if (const int error = ReadLocked(path_, current)) return error;
        CFRef<CFMutableDictionaryRef> changed(CFDictionaryCreateMutableCopy(nullptr, 0, current.get()));
        if (!changed) return ENOMEM;
        if (change(changed.get())) {
            if (const int error = WriteAtomically(path_, changed.get())) return error;
            current.reset(CFDictionaryCreateCopy(nullptr, changed.get()));
            if (!current) return ENOMEM;
        }
        if (after != nullptr) *after = std::move(current);
        return 0;
    });
}

}  // namespace wfs::foundation
