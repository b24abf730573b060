// Tests of MoreGetExecutablePath through both of its ways, including a run of this test program
// under a relative name whose file is then deleted.
#include "MoreUNIX.h"
#include "MoreUNIXInternal.h"
#include <TestSupport.h>

#include <climits>

using namespace wfstest;

namespace {

std::string RunningImage() {
    char resolved[PATH_MAX];
    return realpath("/proc/self/exe", resolved) != nullptr ? resolved : "";
}

}  // namespace

// Sizes of 0 and one short give -1 and the needed size (counting the NUL) and copy nothing; the
// exact size gives 0 and the canonical path.
TEST(MoreGetExecutablePath, SizeProtocolThroughBothWays) {
    const std::string image = RunningImage();
    ASSERT_FALSE(image.empty());
    const auto needed = static_cast<uint32_t>(image.size() + 1);
    for (auto way : {MoreGetExecutablePath, MoreGetExecutablePathFromProc, MoreGetExecutablePathFromAuxv}) {
        std::string buffer(needed, '#');
        for (uint32_t given : {0u, needed - 1, needed}) {
            uint32_t size = given;
            EXPECT_EQ(way(buffer.data(), &size), given == needed ? 0 : -1) << given;
            EXPECT_EQ(size, needed);
            EXPECT_EQ(buffer, given == needed ? image + '\0' : std::string(needed, '#'));
        }
    }
}

// A copy of this program runs as "./link" to "tool (deleted)", a real name that looks like the
// kernel's mark of a deleted file.
TEST(MoreGetExecutablePath, RelativeNameAndDeletedFile) {
    if (IsTestChild()) {
        const std::string image = RunningImage();
        char path[PATH_MAX];
        uint32_t size = sizeof path, small = 7;
        ASSERT_EQ(MoreGetExecutablePathFromAuxv(path, &size), 0);
        EXPECT_EQ(path, image);
        ASSERT_EQ(MoreGetExecutablePath(path, &size), 0);
        EXPECT_EQ(path, image);
        // From elsewhere the relative name no longer resolves: realpath's errno, the size untouched;
        // the kernel's record does not depend on the name.
        ASSERT_EQ(chdir("/"), 0);
        EXPECT_EQ(MoreGetExecutablePathFromAuxv(path, &small), ENOENT);
        EXPECT_EQ(small, 7u);
        ASSERT_EQ(MoreGetExecutablePath(path, &size), 0);
        EXPECT_EQ(path, image);
        // Once the file is deleted no path names it any more, not even another file at the name
        // the kernel then shows.
        ASSERT_EQ(unlink(image.c_str()), 0);
        WriteFile(image + " (deleted)", "another file");
        EXPECT_EQ(MoreGetExecutablePathFromProc(path, &small), ENOENT);
        EXPECT_EQ(MoreGetExecutablePath(path, &small), ENOENT);
        EXPECT_EQ(small, 7u);
        return;
    }
    ASSERT_EQ(MoreUNIXIgnoreSIGPIPE(), 0);  // the copy writes
    TempDir dir;
    ASSERT_EQ(MoreUNIXCopyFile(RunningImage().c_str(), (dir / "tool (deleted)").c_str()), 0);
    ASSERT_EQ(chmod((dir / "tool (deleted)").c_str(), 0700), 0);
    ASSERT_EQ(symlink("tool (deleted)", (dir / "link").c_str()), 0);
    RerunThisTest(ChildSetup().Cwd(dir.path()), "./link");
}
