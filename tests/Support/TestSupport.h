// Helpers every test binary shares: temporary folders, environment changes, files, socket pairs and
// installing a root-owned copy of a program. Children and process facts come from Process.h.
#pragma once

#include "Process.h"

#include <Support/Eintr.h>
#include <Support/UniqueFd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace wfstest {

// A fresh folder (its canonical path) under `base`, the temporary folder by default, removed with
// everything in it at the end. A folder that cannot be made ends the test: nothing after it would
// mean anything.
class TempDir {
public:
    explicit TempDir(const std::string &prefix = "wfstest", const std::string &base = "") {
        const std::filesystem::path parent = base.empty() ? std::filesystem::temp_directory_path() : std::filesystem::path(base);
        std::string pattern = (parent / (prefix + ".XXXXXX")).string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp: " + std::string(strerror(errno)));
        path_ = std::filesystem::canonical(pattern).string();
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Sets or unsets environment variables for one test and puts the old values back at the end.
class EnvGuard {
public:
    EnvGuard() = default;
    EnvGuard(const EnvGuard &) = delete;
    EnvGuard &operator=(const EnvGuard &) = delete;
    ~EnvGuard() {
        for (auto &[name, value] : saved_) value ? (void)::setenv(name.c_str(), value->c_str(), 1) : (void)::unsetenv(name.c_str());
    }
    void set(const std::string &name, const std::optional<std::string> &value) {
        if (!saved_.count(name)) {
            const char *old = std::getenv(name.c_str());
            saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        }
        value ? (void)::setenv(name.c_str(), value->c_str(), 1) : (void)::unsetenv(name.c_str());
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

// One variable set (or unset) for the life of the object.
class ScopedEnv : private EnvGuard {
public:
    ScopedEnv(const std::string &name, const std::optional<std::string> &value) { set(name, value); }
};

// Sets the umask for one test.
class UmaskGuard {
public:
    explicit UmaskGuard(mode_t mask) : saved_(::umask(mask)) {}
    ~UmaskGuard() { ::umask(saved_); }

private:
    mode_t saved_;
};

// A connected pair of stream sockets, close-on-exec, both ends owned here.
struct SocketPair {
    wfs::UniqueFd ours, theirs;
    explicit SocketPair(int type = SOCK_STREAM) {
        int fds[2] = {-1, -1};
        EXPECT_EQ(::socketpair(AF_UNIX, type | SOCK_CLOEXEC, 0, fds), 0) << strerror(errno);
        ours.reset(fds[0]);
        theirs.reset(fds[1]);
    }
};

// The bytes in lower-case hexadecimal, as the probe shows its input.
inline std::string Hex(const std::string &bytes) {
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (unsigned char c : bytes) hex += std::string{digits[c >> 4], digits[c & 15]};
    return hex;
}

inline bool SameFile(int a, int b) {
    struct stat sa {}, sb {};
    return ::fstat(a, &sa) == 0 && ::fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// ---- Files ----------------------------------------------------------------------------------------

// Writes `contents` to `path`, making its folders first; with `mode`, sets that mode afterwards.
inline void WriteFile(const std::string &path, const std::string &contents, std::optional<mode_t> mode = std::nullopt) {
    std::error_code ignored;
    std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << contents;
        EXPECT_TRUE(out.good()) << "cannot write " << path;
    }
    if (mode) {
        EXPECT_EQ(::chmod(path.c_str(), *mode), 0) << path;
    }
}

inline std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline mode_t ModeOf(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// Sets both the access and the modification time of `path` (not following a final link).
inline void SetTimes(const std::string &path, time_t seconds, long nanoseconds) {
    const struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    EXPECT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

// The names in `folder`, sorted.
inline std::vector<std::string> FolderEntries(const std::string &folder) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto &entry : std::filesystem::directory_iterator(folder, ignored)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

inline size_t EntryCount(const std::string &folder) { return FolderEntries(folder).size(); }

// Every entry under `root` with what a change to it would show: inode, type and mode, owner, size
// and times. The access time of a folder or link is left out: listing the folder or following the
// link, as this walk and any lookup do, may change it.
using TreeEntry = std::tuple<ino_t, mode_t, uid_t, off_t, time_t, long, time_t, long, time_t, long>;
inline std::map<std::string, TreeEntry> TreeSnapshot(const std::string &root) {
    std::map<std::string, TreeEntry> entries;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(root)) {
        struct stat st {};
        EXPECT_EQ(::lstat(entry.path().c_str(), &st), 0) << entry.path();
        const bool read = S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode);
        entries[entry.path()] = TreeEntry(st.st_ino, st.st_mode, st.st_uid, st.st_size,
                                          read ? 0 : st.st_atim.tv_sec, read ? 0 : st.st_atim.tv_nsec,
                                          st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
    }
    return entries;
}

// A folder for temporary trees on a file system that honours set-user-ID bits: /tmp, unless it is
// mounted without them (a set-user-ID tool there would be refused as unsuitable).
inline std::string SetUserIDCapableBase() {
    struct statvfs fs {};
    return ::statvfs("/tmp", &fs) != 0 || (fs.f_flag & ST_NOSUID) != 0 ? WFS_TEST_SCRATCH_DIR : "/tmp";
}

// Copies the program `from` to `to`, owned by `owner` (user and group) with `mode`, such as a
// set-user-ID root launcher the tests install for themselves. Needs root for any other owner.
inline bool InstallCopy(const std::string &from, const std::string &to, uid_t owner, mode_t mode) {
    std::error_code error;
    return std::filesystem::copy_file(from, to, error) && ::chown(to.c_str(), owner, owner) == 0 &&
           ::chmod(to.c_str(), mode) == 0;
}

}  // namespace wfstest

#define WFS_REQUIRE_ROOT()                                   \
    do {                                                     \
        if (::geteuid() != 0) GTEST_SKIP() << "needs root";  \
    } while (0)
