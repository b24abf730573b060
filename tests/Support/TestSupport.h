// Helpers every test binary shares: temporary folders, environment changes, files, socket pairs,
// installing a root-owned copy of a program and the pattern of an assertion report. Children and
// process facts come from Process.h.
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
    SocketPair() {
        int fds[2] = {-1, -1};
        EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0) << strerror(errno);
        ours.reset(fds[0]);
        theirs.reset(fds[1]);
    }
};

inline bool SameFile(int a, int b) {
    struct stat sa {}, sb {};
    return ::fstat(a, &sa) == 0 && ::fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

// Everything up to the end of the stream.
inline std::string ReadToEnd(int fd) {
    std::string text;
    char buffer[65536];
    ssize_t n;
    while ((n = wfs::RetryOnEintr([&] { return ::read(fd, buffer, sizeof(buffer)); })) > 0) {
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

// ---- Children the older way ----------------------------------------------------------------------
// Kept only for the suites still to move onto Process.h (FoldersTest, the IOKit tests, the
// MoreSecurity install, execute and tool-main tests, the helper tool's test): their waits have no
// deadline. Remove this section once they have moved.

// Forks a child that runs `body` (dropped to nobody first when asked; 120 when that fails) and
// leaves with its result by _exit, so that nothing of the test process (atexit handlers, leak
// checks of what it merely inherited) runs twice. The test process is single-threaded, so the
// child may use the libraries after fork.
inline pid_t StartChild(const std::function<int()> &body, bool asNobody = false) {
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (asNobody && !DropToNobody()) ::_exit(120);
        ::_exit(body());
    }
    EXPECT_GT(pid, 0) << "fork: " << strerror(errno);
    return pid;
}

// The child's exit status, or -1 when it did not exit normally or could not be waited for.
inline int WaitChild(pid_t pid) {
    int status = 0;
    if (pid <= 0) return -1;
    const pid_t rc = wfs::RetryOnEintr([&] { return ::waitpid(pid, &status, 0); });
    EXPECT_EQ(rc, pid) << "waitpid: " << strerror(errno);
    return rc == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline int RunChild(const std::function<int()> &body, bool asNobody = false) {
    return WaitChild(StartChild(body, asNobody));
}

// Runs `body` without privileges: as nobody when started as root, as it is otherwise.
inline int RunUnprivileged(const std::function<int()> &body) { return RunChild(body, ::geteuid() == 0); }

// Runs `body` on `fd` in a forked child; Join answers its exit status (-1 if it did not exit).
class ForkedPeer {
public:
    ForkedPeer(int fd, const std::function<int(int)> &body) : pid_(StartChild([&] { return body(fd); })) {}
    ForkedPeer(const ForkedPeer &) = delete;
    ForkedPeer &operator=(const ForkedPeer &) = delete;
    ~ForkedPeer() { (void)Join(); }
    int Join() { return pid_ > 0 ? WaitChild(std::exchange(pid_, -1)) : -1; }

private:
    pid_t pid_;
};

// Runs `body` in a forked child and answers the text it produced; the child must write it all and
// exit 0.
inline std::string RunChildForText(const std::function<std::string()> &body) {
    int fds[2] = {-1, -1};
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << strerror(errno);
        return "";
    }
    wfs::UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    const pid_t pid = StartChild([&] {
        const std::string answer = body();
        return ::write(writeEnd.get(), answer.data(), answer.size()) == static_cast<ssize_t>(answer.size()) ? 0 : 1;
    });
    writeEnd.reset();
    std::string text = ReadToEnd(readEnd.get());
    EXPECT_EQ(WaitChild(pid), 0);
    return text;
}

// Runs `body` in a forked child that fills in a `Report` (plain data, no pointers) and sends it
// back through a pipe; answers what arrived, value-initialised when nothing did.
template <typename Report>
Report RunChildReporting(const std::function<void(Report &)> &body) {
    Report report{};
    int fds[2] = {-1, -1};
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << strerror(errno);
        return report;
    }
    wfs::UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    const pid_t pid = StartChild([&] {
        Report mine{};
        body(mine);
        return ::write(writeEnd.get(), &mine, sizeof mine) == static_cast<ssize_t>(sizeof mine) ? 0 : 1;
    });
    writeEnd.reset();
    // One write of less than PIPE_BUF bytes arrives whole.
    const ssize_t got = wfs::RetryOnEintr([&] { return ::read(readEnd.get(), &report, sizeof report); });
    EXPECT_EQ(WaitChild(pid), 0);
    EXPECT_EQ(got, static_cast<ssize_t>(sizeof report));
    return report;
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

// Copies the program `from` to `to`, owned by `owner` (user and group) with `mode`, such as a
// set-user-ID root launcher the tests install for themselves. Needs root for any other owner.
inline bool InstallCopy(const std::string &from, const std::string &to, uid_t owner, mode_t mode) {
    std::error_code error;
    return std::filesystem::copy_file(from, to, error) && ::chown(to.c_str(), owner, owner) == 0 &&
           ::chmod(to.c_str(), mode) == 0;
}

// ---- Reports ----------------------------------------------------------------------------------

// The regular expression matching the assertion report for `expr` raised in `file`, both written
// as they appear in the source.
inline std::string AssertionPattern(const std::string &file, const std::string &expr) {
    auto escape = [](const std::string &text) {
        std::string out;
        for (char c : text) out += std::string(std::strchr("\\^$.|?*+()[]{}", c) != nullptr ? "\\" : "") + c;
        return out;
    };
    return escape(file) + ":[0-9]+: failed assertion `" + escape(expr) + "'";
}

}  // namespace wfstest

#define WFS_REQUIRE_ROOT()                                   \
    do {                                                     \
        if (::geteuid() != 0) GTEST_SKIP() << "needs root";  \
    } while (0)
