// The package that the PackageBuild fixture made from this build tree, and its files unpacked the
// way dpkg unpacks them.
#pragma once

#include <TestSupport.h>

#include <string>

namespace packagetest {

// The one tidemark_*.deb in the fixture's folder; empty (and a test failure) when there is none.
inline std::string PackageFile() {
    std::string found;
    for (const std::string &name : wfstest::FolderEntries(WFS_PACKAGE_DIR)) {
        if (!name.starts_with("tidemark_") || !name.ends_with(".deb")) continue;
        EXPECT_TRUE(found.empty()) << "more than one package in " << WFS_PACKAGE_DIR;
        found = std::string(WFS_PACKAGE_DIR) + "/" + name;
    }
    EXPECT_FALSE(found.empty()) << "no package in " << WFS_PACKAGE_DIR << " (the PackageBuild test makes it)";
    return found;
}

// The package's files under a fresh folder (dpkg-deb --extract), removed with it at the end.
class UnpackedPackage {
public:
    UnpackedPackage() {
        const std::string package = PackageFile();
        if (package.empty()) return;
        const wfstest::Outcome outcome = wfstest::RunProgram({"/usr/bin/dpkg-deb", "--extract", package, root_.path()});
        EXPECT_TRUE(outcome.Exited(0)) << outcome;
        unpacked_ = outcome.Exited(0);
    }
    bool unpacked() const { return unpacked_; }
    const std::string &root() const { return root_.path(); }
    // A path in the package, such as "usr/bin/tidemark", under the folder.
    std::string operator/(const std::string &path) const { return root_ / path; }

private:
    wfstest::TempDir root_{"tidemark-package"};
    bool unpacked_ = false;
};

}  // namespace packagetest
