// Temporary folders, environment changes, UTF-16 names and unprivileged children for the
// CoreServices tests.
#pragma once

#include <CoreServices/CoreServices.h>
#include <Support/CFRef.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace wfs::test {

// A fresh folder (its canonical path) under the temporary folder, removed at the end.
class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "wfs-cs-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = std::filesystem::canonical(pattern).string();
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

// Sets or unsets environment variables for one test and puts the old values back at the end.
class EnvGuard {
public:
    ~EnvGuard() {
        for (auto &[name, value] : saved_) value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
    }
    void set(const std::string &name, const std::optional<std::string> &value) {
        const char *old = std::getenv(name.c_str());
        if (!saved_.count(name)) saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
        value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
    }

private:
    std::map<std::string, std::optional<std::string>> saved_;
};

// Sets the umask for one test.
class UmaskGuard {
public:
    explicit UmaskGuard(mode_t mask) : saved_(::umask(mask)) {}
    ~UmaskGuard() { ::umask(saved_); }

private:
    mode_t saved_;
};

inline std::vector<UniChar> U16(const std::string &ascii) { return std::vector<UniChar>(ascii.begin(), ascii.end()); }

inline FSRef RefOf(const std::string &path) {
    FSRef ref;
    EXPECT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8 *>(path.c_str()), &ref, nullptr), noErr) << path;
    return ref;
}

inline void WriteFile(const std::string &path, const std::string &contents) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << contents;
}

inline mode_t ModeOf(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0) << path;
    return st.st_mode & 07777;
}

// Runs `body` in a forked child without privileges (as nobody, 65534, when started as root) and
// answers its exit status, or -1 when it did not exit normally. The child leaves with _exit so that
// nothing of the parent's test state runs twice.
inline int RunUnprivileged(const std::function<int()> &body) {
    pid_t child = ::fork();
    if (child < 0) return -1;
    if (child == 0) {
        if (::geteuid() == 0 && (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
            ::_exit(120);
        }
        ::_exit(body());
    }
    int status = 0;
    pid_t rc;
    while ((rc = ::waitpid(child, &status, 0)) == -1 && errno == EINTR) {
    }
    return rc == child && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace wfs::test
