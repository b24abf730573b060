// Helpers shared by the plug-in module tests: temporary folders, environment changes, socket pairs,
// counting open descriptors, forked children and the pattern of an assertion report.
#pragma once

#include <Support/Eintr.h>
#include <Support/UniqueFd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <string>
#include <tuple>

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

namespace moretest {

// A fresh folder under the temporary folder, removed with everything in it at the end.
class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "moretest.XXXXXX").string();
        if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
        EXPECT_FALSE(path_.empty()) << "mkdtemp: " << strerror(errno);
    }
    ~TempDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir &) = delete;
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Sets an environment variable for the life of the object and puts the old value back.
class ScopedEnv {
public:
    ScopedEnv(const char *name, const std::string &value) : name_(name) {
        if (const char *old = getenv(name)) old_ = old;
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnv() { old_ ? (void)setenv(name_, old_->c_str(), 1) : (void)unsetenv(name_); }

private:
    const char *name_;
    std::optional<std::string> old_;
};

// A connected pair of stream sockets, close-on-exec, both ends owned here.
struct SocketPair {
    wfs::UniqueFd a, b;
    SocketPair() {
        int fds[2] = {-1, -1};
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0) << strerror(errno);
        a.reset(fds[0]);
        b.reset(fds[1]);
    }
};

// The descriptors open in this process, not counting the one used to list them.
inline int CountOpenDescriptors() {
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (struct dirent *entry = readdir(dir)) count += entry->d_name[0] != '.';
    closedir(dir);
    return count - 1;
}

// Forks a child that runs `body` and leaves with its result by _exit, so that nothing of the test
// process (atexit handlers, leak checks of what it merely inherited) runs twice.
inline pid_t StartChild(const std::function<int()> &body) {
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    EXPECT_GT(pid, 0) << strerror(errno);
    return pid;
}

// The child's exit status, or -1 when it did not exit normally.
inline int WaitChild(pid_t pid) {
    int status = 0;
    pid_t rc;
    while ((rc = waitpid(pid, &status, 0)) == -1 && errno == EINTR) {
    }
    return rc == pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline int RunChild(const std::function<int()> &body) { return WaitChild(StartChild(body)); }

inline void WriteFile(const std::string &path, const std::string &contents, mode_t mode = 0644) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
    EXPECT_EQ(chmod(path.c_str(), mode), 0) << path;
}

inline std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

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

// Runs `body` in a forked child that fills in a `Report` (plain data, no pointers) and sends it
// back through a pipe; answers what arrived, value-initialised when nothing did.
template <typename Report>
Report RunChildReporting(const std::function<void(Report &)> &body) {
    Report report{};
    int fds[2] = {-1, -1};
    if (pipe2(fds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << strerror(errno);
        return report;
    }
    wfs::UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    const pid_t pid = StartChild([&] {
        Report mine{};
        body(mine);
        return write(writeEnd.get(), &mine, sizeof mine) == static_cast<ssize_t>(sizeof mine) ? 0 : 1;
    });
    writeEnd.reset();
    // One write of less than PIPE_BUF bytes arrives whole.
    const ssize_t got = wfs::RetryOnEintr([&] { return read(readEnd.get(), &report, sizeof report); });
    EXPECT_EQ(WaitChild(pid), 0);
    EXPECT_EQ(got, static_cast<ssize_t>(sizeof report));
    return report;
}

// Sets both the access and the modification time of `path` (not following a final link).
inline void SetTimes(const std::string &path, time_t seconds, long nanoseconds) {
    const struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    EXPECT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
}

inline size_t EntryCount(const std::string &folder) {
    std::error_code ignored;
    std::filesystem::directory_iterator entries(folder, ignored);
    return static_cast<size_t>(std::distance(begin(entries), end(entries)));
}

// Every entry under `root` with what a change to it would show: inode, type and mode, owner, size
// and times. The access time of a folder or link is left out: listing the folder or following the
// link, as this walk and any lookup do, may change it.
using TreeEntry = std::tuple<ino_t, mode_t, uid_t, off_t, time_t, long, time_t, long, time_t, long>;
inline std::map<std::string, TreeEntry> TreeSnapshot(const std::string &root) {
    std::map<std::string, TreeEntry> entries;
    for (const auto &entry : std::filesystem::recursive_directory_iterator(root)) {
        struct stat st {};
        EXPECT_EQ(lstat(entry.path().c_str(), &st), 0) << entry.path();
        const bool read = S_ISDIR(st.st_mode) || S_ISLNK(st.st_mode);
        entries[entry.path()] = TreeEntry(st.st_ino, st.st_mode, st.st_uid, st.st_size,
                                          read ? 0 : st.st_atim.tv_sec, read ? 0 : st.st_atim.tv_nsec,
                                          st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ctim.tv_sec, st.st_ctim.tv_nsec);
    }
    return entries;
}

}  // namespace moretest
