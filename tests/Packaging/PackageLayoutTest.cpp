// The package as dpkg sees it: its file list against the layout it must have, its control data,
// the library search paths of its programs, and its desktop entry and AppStream data as the
// distribution's validators see them.
#include "PackageFiles.h"

#include <set>
#include <sstream>

namespace {

using packagetest::PackageFile;
using packagetest::UnpackedPackage;

constexpr const char *kPlugin = "./usr/lib/tidemark/plugins/TDWakeFromSleep.plugin/Contents/";

// Every file and link of the package with its type and mode as dpkg-deb lists them. Nothing is
// set-user-ID: the plug-in makes each user's copy of the helper tool privileged at run time.
std::map<std::string, std::string> Layout() {
    const std::string plugin = kPlugin;
    const std::string program = "-rwxr-xr-x", data = "-rw-r--r--";
    return {
        {"./usr/bin/tidemark", "lrwxrwxrwx -> ../lib/tidemark/tidemark"},
        {"./usr/bin/wfs-pmset", program},
        {"./usr/lib/tidemark/tidemark", program},
        {"./usr/lib/tidemark/Info.plist", data},
        {"./usr/lib/tidemark/libCoreFoundation.so", data},
        {"./usr/lib/tidemark/libFoundation.so", data},
        {"./usr/lib/tidemark/libAppKit.so", data},
        {"./usr/lib/tidemark/libPlinth.so", data},
        {plugin + "Info.plist", data},
        {plugin + "Linux/libTDWakeFromSleep.so", data},
        {plugin + "Linux/IOPMSchedulePowerEventToolTemplate", program},
        {plugin + "Resources/TDWakeFromSleepPreferencePane.ui", data},
        {plugin + "Resources/TDWakeFromSleepPreferencePane.svg", data},
        {plugin + "Resources/locale/de/LC_MESSAGES/org.tidemark.wakefromsleep.mo", data},
        {"./usr/share/polkit-1/actions/org.tidemark.wakefromsleep.policy", data},
        {"./lib/systemd/system/wfs-pmset-rearm.service", data},
        {"./usr/lib/tmpfiles.d/wake-from-sleep.conf", data},
        {"./usr/share/applications/org.tidemark.Tidemark.desktop", data},
        {"./usr/share/icons/hicolor/scalable/apps/org.tidemark.Tidemark.svg", data},
        {"./usr/share/metainfo/org.tidemark.Tidemark.metainfo.xml", data},
        {"./usr/share/man/man1/tidemark.1.gz", data},
        {"./usr/share/man/man8/wfs-pmset.8.gz", data},
        {"./usr/share/doc/tidemark/copyright", data},
        {"./usr/share/doc/tidemark/changelog.gz", data},
    };
}

TEST(Package, FileListIsTheLayoutAndControlNamesTheComputedAndThePolkitDependencies) {
    const std::string package = PackageFile();
    ASSERT_FALSE(package.empty());
    const wfstest::Outcome listing = wfstest::RunProgram({"/usr/bin/dpkg-deb", "--contents", package});
    ASSERT_TRUE(listing.Exited(0)) << listing;
    // Lines such as "-rwxr-xr-x root/root 1234 2026-12-06 18:00 ./usr/bin/wfs-pmset", a link
    // followed by " -> target".
    std::map<std::string, std::string> files;
    std::istringstream lines(listing.out);
    for (std::string line; std::getline(lines, line);) {
        std::istringstream fields(line);
        std::string mode, owner, size, day, time, path, arrow, target;
        fields >> mode >> owner >> size >> day >> time >> path >> arrow >> target;
        EXPECT_EQ(owner, "root/root") << line;
        if (mode.front() == 'd') {
            EXPECT_EQ(mode, "drwxr-xr-x") << line;
            continue;
        }
        files[path] = arrow.empty() ? mode : mode + " -> " + target;
    }
    EXPECT_EQ(files, Layout());

    const wfstest::Outcome fields =
        wfstest::RunProgram({"/usr/bin/dpkg-deb", "--show", "--showformat=${Package} ${Version}\n${Depends}", package});
    ASSERT_TRUE(fields.Exited(0)) << fields;
    const size_t newline = fields.out.find('\n');
    EXPECT_EQ(fields.out.substr(0, newline), "tidemark 1.0");
    // The dependencies are computed (dpkg-shlibdeps) for the libraries that the programs and the
    // plug-in load; pkexec, polkitd and Qt's SVG plug-ins (loaded at run time) are named.
    const std::string dependencies = fields.out.substr(newline + 1);
    std::set<std::string> depends;
    std::istringstream list(dependencies);
    for (std::string entry; std::getline(list, entry, ',');) {
        entry.erase(0, entry.find_first_not_of(" \n"));
        depends.insert(entry.substr(0, entry.find(' ')));
    }
    for (const char *name : {"pkexec", "polkitd", "libqt6svg6", "libc6", "libstdc++6", "libexpat1", "libsystemd0",
                             "libqt6core6", "libqt6dbus6", "libqt6widgets6"}) {
        EXPECT_TRUE(depends.count(name)) << name << " is not in Depends: " << dependencies;
    }
}

// The RUNPATH entries of an ELF file, from readelf's dynamic section.
std::vector<std::string> RunPaths(const std::string &file) {
    const wfstest::Outcome dynamic = wfstest::RunProgram({"/usr/bin/readelf", "--dynamic", file});
    EXPECT_TRUE(dynamic.Exited(0)) << dynamic;
    std::vector<std::string> paths;
    std::istringstream lines(dynamic.out);
    for (std::string line; std::getline(lines, line);) {
        const bool runpath = line.find("(RUNPATH)") != std::string::npos, rpath = line.find("(RPATH)") != std::string::npos;
        if (!runpath && !rpath) continue;
        const size_t open = line.find('['), close = line.rfind(']');
        paths.push_back(line.substr(open + 1, close - open - 1) + (rpath ? " (RPATH)" : ""));
    }
    return paths;
}

// The program and its libraries find one another wherever the tree is unpacked, and nothing looks
// into the build tree; the helper tool, set-user-ID once installed, and wfs-pmset search nowhere.
// The unit runs the installed program (its tmpfiles.d entry: MaintainerScriptsTest); the desktop entry
// and AppStream data validate.
TEST(Package, UnpackedFilesFindTheirLibrariesRunTheInstalledProgramAndValidate) {
    UnpackedPackage unpacked;
    ASSERT_TRUE(unpacked.unpacked());
    const std::string plugin = std::string(kPlugin).substr(2);
    const std::pair<std::string, std::vector<std::string>> cases[] = {
        {"usr/lib/tidemark/tidemark", {"$ORIGIN"}},
        {"usr/lib/tidemark/libCoreFoundation.so", {"$ORIGIN"}},
        {"usr/lib/tidemark/libFoundation.so", {"$ORIGIN"}},
        {"usr/lib/tidemark/libAppKit.so", {"$ORIGIN"}},
        {"usr/lib/tidemark/libPlinth.so", {"$ORIGIN"}},
        {plugin + "Linux/libTDWakeFromSleep.so", {"$ORIGIN/../../../.."}},
        {plugin + "Linux/IOPMSchedulePowerEventToolTemplate", {}},
        {"usr/bin/wfs-pmset", {}},
    };
    for (const auto &[file, expected] : cases) EXPECT_EQ(RunPaths(unpacked / file), expected) << file;

    const std::string unit = wfstest::ReadFile(unpacked / "lib/systemd/system/wfs-pmset-rearm.service");
    EXPECT_NE(unit.find("\nExecStart=/usr/bin/wfs-pmset rearm\n"), std::string::npos) << unit;
    EXPECT_NE(unit.find("\nCapabilityBoundingSet=\n"), std::string::npos) << unit;

    const wfstest::Outcome desktop =
        wfstest::RunProgram({"/usr/bin/desktop-file-validate", unpacked / "usr/share/applications/org.tidemark.Tidemark.desktop"});
    EXPECT_TRUE(desktop.Exited(0)) << desktop;
    EXPECT_EQ(desktop.out, "");  // not even a hint
    // Strict: warnings fail too. The tree check also finds the desktop entry and the icon that the
    // metadata names.
    const wfstest::Outcome metainfo = wfstest::RunProgram(
        {"/usr/bin/appstreamcli", "validate", "--no-net", "--strict", unpacked / "usr/share/metainfo/org.tidemark.Tidemark.metainfo.xml"});
    EXPECT_TRUE(metainfo.Exited(0)) << metainfo.out << metainfo;
    const wfstest::Outcome tree = wfstest::RunProgram({"/usr/bin/appstreamcli", "validate-tree", "--no-net", unpacked.root()});
    EXPECT_TRUE(tree.Exited(0)) << tree.out << tree;
}

}  // namespace
