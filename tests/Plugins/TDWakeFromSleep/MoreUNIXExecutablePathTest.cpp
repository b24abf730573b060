// Tests of MoreGetExecutablePath through both of its ways, including a run of this test program
// under a relative name whose file is then deleted.
#include "MoreUNIX.h"
#include "MoreUNIXInternal.h"
#include <TestSupport.h>

#include <climits>
#include <vector>

extern char **environ;

using namespace wfstest;

namespace {

// Set in the re-executed copy of this program.
constexpr char kChildMarker[] = "MOREUNIX_EXECPATH_CHILD";

std::string RunningImage() {
    char resolved[PATH_MAX];
    return realpath("/proc/self/exe", resolved) != nullptr ? resolved : "";
}

// Sizes of 0 and one short give -1 and the needed size (counting the NUL) and copy nothing; the
// exact size gives 0 and the canonical path.
void ExpectSizeProtocol(int (*way)(char *, uint32_t *), const std::string &expected) {
    ASSERT_FALSE(expected.empty());
    const auto needed = static_cast<uint32_t>(expected.size() + 1);
    std::string buffer(needed, '#');
    for (uint32_t given : {0u, needed - 1, needed}) {
        uint32_t size = given;
        EXPECT_EQ(way(buffer.data(), &size), given == needed ? 0 : -1) << given;
        EXPECT_EQ(size, needed);
        EXPECT_EQ(buffer, given == needed ? expected + '\0' : std::string(needed, '#'));
    }
}

// The copy runs as "./link" to "tool (deleted)", a real name that looks like the kernel's mark of
// a deleted file. Answers 0 or the number of the first check that failed.
int ChildMain() {
    const std::string image = RunningImage();
    char path[PATH_MAX];
    uint32_t size = sizeof path, small = 7;
    if (MoreGetExecutablePathFromAuxv(path, &size) != 0 || image != path) return 10;
    if (MoreGetExecutablePath(path, &size) != 0 || image != path) return 11;
    // From elsewhere the relative name no longer resolves: realpath's errno, the size untouched;
    // the kernel's record does not depend on the name.
    if (chdir("/") != 0 || MoreGetExecutablePathFromAuxv(path, &small) != ENOENT || small != 7) return 12;
    if (MoreGetExecutablePath(path, &size) != 0 || image != path) return 13;
    // Once the file is deleted no path names it any more.
    if (unlink(image.c_str()) != 0 || MoreGetExecutablePathFromProc(path, &small) != ENOENT) return 14;
    return MoreGetExecutablePath(path, &small) == ENOENT && small == 7 ? 0 : 15;
}

}  // namespace

TEST(MoreGetExecutablePath, SizeProtocolThroughBothWays) {
    const std::string image = RunningImage();
    for (auto way : {MoreGetExecutablePath, MoreGetExecutablePathFromProc, MoreGetExecutablePathFromAuxv}) {
        ExpectSizeProtocol(way, image);
    }
}

TEST(MoreGetExecutablePath, RelativeNameAndDeletedFile) {
    if (getenv(kChildMarker) != nullptr) _exit(ChildMain());
    ASSERT_EQ(MoreUNIXIgnoreSIGPIPE(), 0);  // the copy writes
    TempDir dir;
    ASSERT_EQ(MoreUNIXCopyFile(RunningImage().c_str(), (dir / "tool (deleted)").c_str()), 0);
    ASSERT_EQ(chmod((dir / "tool (deleted)").c_str(), 0700), 0);
    ASSERT_EQ(symlink("tool (deleted)", (dir / "link").c_str()), 0);

    // Everything the child needs is built before the fork.
    std::string filter = "--gtest_filter=MoreGetExecutablePath.RelativeNameAndDeletedFile";
    std::string marker = std::string(kChildMarker) + "=1";
    std::vector<char *> env;
    for (char **e = environ; *e != nullptr; ++e) env.push_back(*e);
    env.push_back(marker.data());
    env.push_back(nullptr);
    char name[] = "./link";
    char *argv[] = {name, filter.data(), nullptr};
    EXPECT_EQ(RunChild([&] {
                  if (chdir(dir.path().c_str()) != 0) return 98;
                  execve(name, argv, env.data());
                  return 127;
              }),
              0);
}
