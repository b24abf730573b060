// The package's maintainer scripts where systemd does not run, as in a container or a chroot: the
// install succeeds, makes the store's folder and enables the re-arm unit; a removal keeps the
// events; a purge deletes them and the unit's enablement. The scripts run in private mount
// namespaces where folders of the test stand in for the system's.
#include "PackageFiles.h"

#include <sys/mount.h>

namespace {

using packagetest::UnpackedPackage;
using wfstest::TempDir;

TEST(MaintainerScripts, InstallRemoveAndPurgeWithoutARunningSystemd) {
    WFS_REQUIRE_ROOT();
    UnpackedPackage unpacked;
    ASSERT_TRUE(unpacked.unpacked());
    TempDir control("tidemark-control"), system("tidemark-system");
    ASSERT_TRUE(wfstest::RunProgram({"/usr/bin/dpkg-deb", "--control", packagetest::PackageFile(), control / "DEBIAN"}).Exited(0));
    for (const char *folder : {"run", "var-lib", "etc-systemd"}) std::filesystem::create_directory(system / folder);
    // An empty /run has no /run/systemd/system: systemd is not running. The unit and the tmpfiles.d
    // entry are the package's own.
    const std::vector<std::pair<std::string, std::string>> binds = {
        {system / "run", "/run"},
        {system / "var-lib", "/var/lib"},
        {system / "etc-systemd", "/etc/systemd/system"},
        {unpacked / "lib/systemd/system", "/lib/systemd/system"},
        {unpacked / "usr/lib/tmpfiles.d", "/usr/lib/tmpfiles.d"},
    };
    // Without one of them the scripts would write to the real system's folder instead.
    for (const auto &[from, to] : binds) {
        if (!std::filesystem::is_directory(to)) GTEST_SKIP() << "no " << to << " on this machine to stand in for";
    }
    const auto script = [&](const std::string &name, const std::string &argument) {
        // deb-systemd-helper acts only when dpkg runs the script, which it tells by the first two.
        const wfstest::Outcome outcome = wfstest::RunProgram(
            {"/bin/sh", control / ("DEBIAN/" + name), argument},
            wfstest::ChildSetup()
                .Env("DPKG_MAINTSCRIPT_PACKAGE", "tidemark")
                .Env("DPKG_MAINTSCRIPT_NAME", name)
                .Before([binds] {
                    if (!wfstest::EnterPrivateMountNamespace()) return false;
                    for (const auto &[from, to] : binds) {
                        if (::mount(from.c_str(), to.c_str(), nullptr, MS_BIND, nullptr) != 0) return false;
                    }
                    return true;
                }));
        EXPECT_TRUE(outcome.Exited(0)) << name << " " << argument << ": " << outcome << outcome.out;
        return outcome.Exited(0);
    };
    const std::string store = system / "var-lib/wake-from-sleep";
    const std::string wants = system / "etc-systemd/multi-user.target.wants/wfs-pmset-rearm.service";
    // Where the helpers are missing (a minimal container) the scripts skip what they do.
    const bool tmpfiles = std::filesystem::exists("/usr/bin/systemd-tmpfiles");
    const bool helper = std::filesystem::exists("/usr/bin/deb-systemd-helper");

    ASSERT_TRUE(script("postinst", "configure"));
    if (tmpfiles) {
        EXPECT_EQ(wfstest::ModeOf(store), 0755u);
    } else {
        std::filesystem::create_directory(store);
    }
    if (helper) {
        std::error_code error;
        EXPECT_EQ(std::filesystem::read_symlink(wants, error), "/lib/systemd/system/wfs-pmset-rearm.service") << error.message();
    }
    wfstest::WriteFile(store + "/scheduled-power-events.plist", "the events");

    ASSERT_TRUE(script("postrm", "remove"));
    EXPECT_EQ(wfstest::ReadFile(store + "/scheduled-power-events.plist"), "the events");

    ASSERT_TRUE(script("postrm", "purge"));
    EXPECT_FALSE(std::filesystem::exists(store));
    EXPECT_FALSE(std::filesystem::is_symlink(wants));
    EXPECT_FALSE(std::filesystem::is_symlink(system / "etc-systemd/wfs-pmset-rearm.service"));  // no mask left
}

}  // namespace
