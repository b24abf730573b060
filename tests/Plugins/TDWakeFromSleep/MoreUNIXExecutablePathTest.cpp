// Tests of MoreGetExecutablePath through both of its ways, including runs of
// this test program under other names (a relative name, a deleted file).

#include "MoreUNIX.h"
#include "MoreUNIXInternal.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

// Set in a re-executed copy of this program; names what the copy must check.
constexpr char kChildMarker[] = "MOREUNIX_EXECPATH_CHILD";

using PathWay = int (*)(char *, uint32_t *);

std::string RunningImage()
{
    char resolved[PATH_MAX];
    if (realpath("/proc/self/exe", resolved) == nullptr) return {};
    return resolved;
}

// The size protocol: 0 gives -1 and the needed size, one short gives -1 and
// copies nothing, the exact size gives 0 and the canonical path.
void ExpectSizeProtocol(PathWay way, const std::string &expected)
{
    ASSERT_FALSE(expected.empty());
    const uint32_t needed = static_cast<uint32_t>(expected.size() + 1);
    char scratch = 'q';
    uint32_t size = 0;
    EXPECT_EQ(way(&scratch, &size), -1);
    EXPECT_EQ(size, needed);
    EXPECT_EQ(scratch, 'q');

    std::string buffer(needed, '#');
    size = needed - 1;
    EXPECT_EQ(way(buffer.data(), &size), -1);
    EXPECT_EQ(size, needed);
    EXPECT_EQ(buffer, std::string(needed, '#'));

    size = needed;
    EXPECT_EQ(way(buffer.data(), &size), 0);
    EXPECT_EQ(size, needed);
    EXPECT_STREQ(buffer.c_str(), expected.c_str());
    EXPECT_EQ(buffer[needed - 1], '\0');

    std::string roomy(needed + 100, '#');
    size = static_cast<uint32_t>(roomy.size());
    EXPECT_EQ(way(roomy.data(), &size), 0);
    EXPECT_STREQ(roomy.c_str(), expected.c_str());
}

TEST(MoreGetExecutablePath, SizeProtocolThroughBothWays)
{
    const std::string image = RunningImage();
    {
        SCOPED_TRACE("public routine");
        ExpectSizeProtocol(MoreGetExecutablePath, image);
    }
    {
        SCOPED_TRACE("kernel record");
        ExpectSizeProtocol(MoreGetExecutablePathFromProc, image);
    }
    {
        SCOPED_TRACE("auxiliary vector");
        ExpectSizeProtocol(MoreGetExecutablePathFromAuxv, image);
    }
}

// A re-executed copy reports its findings through its exit status.
int ChildMain(const char *what)
{
    char path[PATH_MAX];
    uint32_t size = sizeof path;
    if (strcmp(what, "relative") == 0) {
        // Started as "./link" through a symbolic link: both ways resolve it.
        if (MoreGetExecutablePathFromAuxv(path, &size) != 0) return 10;
        if (RunningImage() != path) return 11;
        size = sizeof path;
        if (MoreGetExecutablePath(path, &size) != 0 || RunningImage() != path) return 12;
        // From elsewhere the relative name no longer resolves: realpath's
        // errno, and the size untouched.
        if (chdir("/") != 0) return 13;
        size = 7;
        if (MoreGetExecutablePathFromAuxv(path, &size) != ENOENT) return 14;
        if (size != 7) return 15;
        // The kernel's record does not depend on the name used.
        size = sizeof path;
        if (MoreGetExecutablePath(path, &size) != 0 || RunningImage() != path) return 16;
        return 0;
    }
    if (strcmp(what, "deleted") == 0) {
        // The file this process runs is unlinked by the parent: wait for it.
        struct stat running;
        do {
            if (stat("/proc/self/exe", &running) != 0) return 23;
            if (running.st_nlink != 0) usleep(1000);
        } while (running.st_nlink != 0);
        // No path names it any more.
        size = 7;
        if (MoreGetExecutablePathFromProc(path, &size) != ENOENT) return 20;
        if (MoreGetExecutablePath(path, &size) != ENOENT) return 21;
        if (size != 7) return 22;
        return 0;
    }
    if (strcmp(what, "named-deleted") == 0) {
        // A file that really is called "... (deleted)" is still found.
        if (MoreGetExecutablePath(path, &size) != 0) return 30;
        std::string found(path);
        if (found.size() < 10 || found.substr(found.size() - 10) != " (deleted)") return 31;
        struct stat a, b;
        if (stat(path, &a) != 0 || stat("/proc/self/exe", &b) != 0) return 32;
        if (a.st_ino != b.st_ino) return 33;
        return 0;
    }
    return 99;
}

class ExecutablePathChildren : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (const char *what = getenv(kChildMarker)) _exit(ChildMain(what));
        ASSERT_EQ(MoreUNIXIgnoreSIGPIPE(), 0);  // the copies below write
        const char *tmp = getenv("TMPDIR");
        dir_ = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/execpath.XXXXXX";
        ASSERT_NE(mkdtemp(dir_.data()), nullptr);
        self_ = RunningImage();
        ASSERT_FALSE(self_.empty());
    }
    void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }

    // Starts this program as `name` in `cwd`, running only the current test
    // with the marker set to `what`; answers its exit status.  `unlinkFirst`
    // is removed once the child runs, before it looks.
    int Run(const std::string &cwd, const std::string &name, const char *what,
            const std::string &unlinkFirst = {})
    {
        const ::testing::TestInfo *info = ::testing::UnitTest::GetInstance()->current_test_info();
        std::string filter = std::string("--gtest_filter=") + info->test_suite_name() + "." +
                             info->name();
        std::string marker = std::string(kChildMarker) + "=" + what;
        std::vector<char *> env;
        for (char **e = environ; *e != nullptr; ++e) env.push_back(*e);
        env.push_back(marker.data());
        env.push_back(nullptr);
        char *argv[] = {const_cast<char *>(name.c_str()), filter.data(), nullptr};

        pid_t pid = fork();
        if (pid < 0) return -2;
        if (pid == 0) {
            if (chdir(cwd.c_str()) != 0) _exit(98);
            execve(name.c_str(), argv, env.data());
            _exit(127);
        }
        if (!unlinkFirst.empty()) {
            // Wait until the child has executed the file, then remove it.
            std::string exe = "/proc/" + std::to_string(pid) + "/exe";
            char target[PATH_MAX];
            for (;;) {
                ssize_t n = readlink(exe.c_str(), target, sizeof target - 1);
                if (n > 0 && std::string(target, static_cast<size_t>(n)).find(dir_) == 0) break;
                if (n < 0 && errno == ENOENT) break;  // already gone
                usleep(1000);
            }
            unlink(unlinkFirst.c_str());
        }
        int status = 0;
        while (waitpid(pid, &status, 0) == -1 && errno == EINTR) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::string dir_, self_;
};

TEST_F(ExecutablePathChildren, AuxvFallbackResolvesARelativeName)
{
    ASSERT_EQ(symlink(self_.c_str(), (dir_ + "/link").c_str()), 0);
    EXPECT_EQ(Run(dir_, "./link", "relative"), 0);
}

TEST_F(ExecutablePathChildren, DeletedExecutableHasNoPath)
{
    const std::string copy = dir_ + "/tool";
    ASSERT_EQ(MoreUNIXCopyFile(self_.c_str(), copy.c_str()), 0);
    ASSERT_EQ(chmod(copy.c_str(), 0700), 0);
    EXPECT_EQ(Run(dir_, copy, "deleted", copy), 0);
}

TEST_F(ExecutablePathChildren, NameEndingInDeletedIsStillFound)
{
    const std::string copy = dir_ + "/tool (deleted)";
    ASSERT_EQ(MoreUNIXCopyFile(self_.c_str(), copy.c_str()), 0);
    ASSERT_EQ(chmod(copy.c_str(), 0700), 0);
    EXPECT_EQ(Run(dir_, copy, "named-deleted"), 0);
}

}  // namespace
