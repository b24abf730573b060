// Plinth against real processes and files: PLLog's lines on standard error and in the journal (a
// journal socket of our own, in a private mount namespace), the plug-in loader on bundles laid out
// for each case, and the bundle that a loaded class comes from, with its localized strings.

#include <Plinth/Plinth.h>

#include <CFTestSupport.h>
#include <gmock/gmock.h>
#include <TestSupport.h>

#include <clocale>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/un.h>

using namespace wfstest;

namespace {

// The text `body`, run in a child, answers.
std::string TextFromChild(const std::function<std::string()> &body) {
    const std::string report = RunInChild([&] { ChildReport("%s", body().c_str()); }).out;
    return report.substr(0, report.size() - 1);  // less the report's own line end
}

// One child logs at each level: its standard error is a memory file and, as root, the journal a
// socket of our own (in a private mount namespace), read back as "<priority> <message> (<place>)".
TEST(PLLog, OneLinePerCallOnStandardErrorAndInTheJournalWithLevelAndPlace) {
    const std::string out = TextFromChild([] {
        const int log = memfd_create("stderr", MFD_CLOEXEC);
        if (log < 0 || dup2(log, STDERR_FILENO) != STDERR_FILENO) return std::string("no memory file");
        wfs::UniqueFd journal;
        if (geteuid() == 0 && EnterPrivateMountNamespace() && mount("none", "/run", "tmpfs", 0, nullptr) == 0) {
            std::filesystem::create_directories("/run/systemd/journal");
            journal.reset(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
            sockaddr_un address{AF_UNIX, "/run/systemd/journal/socket"};
            const bool bound = bind(journal.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
            if (!bound) return std::string("no socket");
        }
        unsetenv("TIDEMARK_LOG");
        PLLog::info(CFSTR("not shown"), 11, "Plugins/X/Y", "-[Y z:]");
        PLLog::warn(CFSTR("wake soon"), 12, "Plugins/X/Y", "-[Y z:]");
        PLLog::error(CFSTR("CancelPowerEvent failed with error 5364"), 13, "Plugins/X/Y", "-[Y z:]");
        PLLog::assert_(false, CFSTR("date != nil"), 15, "Plugins/X/Y", "-[Y z:]");
        PLLog::setInfoEnabled(true);
        PLLog::info(CFSTR("now shown"), 16, "Plugins/X/Y", "+[Y w]");
        lseek(log, 0, SEEK_SET);
        std::string text = ReadAll(log) + (journal.get() < 0 ? "no journal:\n" : "journal:\n");
        char buffer[4096];
        for (ssize_t n; journal.get() >= 0 && (n = recv(journal.get(), buffer, sizeof buffer, MSG_DONTWAIT)) > 0;) {
            auto field = ParseLines(std::string(buffer, static_cast<size_t>(n)));
            text += field["PRIORITY"] + " " + field["MESSAGE"];
            text += " (" + field["CODE_FUNC"] + ", " + field["CODE_FILE"] + ":" + field["CODE_LINE"] + ")\n";
        }
        return text;
    });
    const std::string prefix = "tidemark\\[[0-9]+\\]: ";
    const size_t split = out.find("journal:\n");
    ASSERT_NE(split, std::string::npos) << out;
    EXPECT_THAT(out.substr(0, split),
                ::testing::MatchesRegex(prefix + "warn: wake soon \\(-\\[Y z:\\], Plugins/X/Y:12\\)\n" + prefix +
                                        "error: CancelPowerEvent failed with error 5364 \\(-\\[Y z:\\], Plugins/X/Y:13\\)\n" +
                                        prefix + "assert: assertion failed: date != nil \\(-\\[Y z:\\], Plugins/X/Y:15\\)\n" +
                                        prefix + "info: now shown \\(\\+\\[Y w\\], Plugins/X/Y:16\\)\n(no )?"));
    if (out.find("no journal:\n") == std::string::npos) {
        EXPECT_EQ(out.substr(split + 9), "4 wake soon (-[Y z:], Plugins/X/Y:12)\n"
                                         "3 CancelPowerEvent failed with error 5364 (-[Y z:], Plugins/X/Y:13)\n"
                                         "2 assertion failed: date != nil (-[Y z:], Plugins/X/Y:15)\n"
                                         "6 now shown (+[Y w], Plugins/X/Y:16)\n");
    }
    // The environment turns info on for a host that has not decided.
    const std::string info = TextFromChild([] {
        setenv("TIDEMARK_LOG", "info", 1);
        return std::string(PLLog::isInfoEnabled() ? "on" : "off");
    });
    EXPECT_EQ(info, "on");
}

class Loader : public ::testing::Test {
protected:
    void SetUp() override {
        PLLog::setCaptureForTesting([this](const PLLogRecord &record) { logged_.push_back(record.message); });
    }
    void TearDown() override { PLLog::setCaptureForTesting(nullptr); }

    // Lays out <name>.plugin with an Info.plist of `entries` (none at all when null) and the fixture's library.
    std::string Make(const std::string &name, const char *entries) {
        const std::string bundle = dir_ / (name + ".plugin");
        std::filesystem::create_directories(bundle + "/Contents/Linux");
        if (entries != nullptr) {
            WriteFile(bundle + "/Contents/Info.plist",
                      std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>") + entries + "</dict></plist>");
        }
        std::filesystem::copy_file(WFS_PLINTH_TEST_PLUGIN, bundle + "/Contents/Linux/libFixture.so");
        return bundle;
    }
    // Whether a line says both.
    bool Logged(const std::string &fragment, const std::string &other = "") const {
        return std::any_of(logged_.begin(), logged_.end(), [&](const std::string &m) {
            return m.find(fragment) != std::string::npos && m.find(other) != std::string::npos;
        });
    }

    TempDir dir_;
    std::vector<std::string> logged_;
};

constexpr char kLibrary[] = "<key>CFBundleExecutable</key><string>libFixture.so</string>";
constexpr char kClasses[] =
    "<key>PLExtensionClasses</key><array><string>FixtureLifecycleExtension</string><string>FixtureNeither</string>"
    "<string>Missing</string></array>";

TEST_F(Loader, LoadsTheListedClassesSkipsWhatCannotBeLoadedAndFindsTheClassesBundleAndItsStrings) {
    const std::string bundle = Make("Good", (std::string(kLibrary) + kClasses +
                                            "<key>CFBundleIdentifier</key><string>org.tidemark.test.fixture</string>").c_str());
    std::filesystem::create_directories(bundle + "/Contents/Resources/locale/de/LC_MESSAGES");
    std::filesystem::copy_file(WFS_PLINTH_TEST_CATALOGUE,
                               bundle + "/Contents/Resources/locale/de/LC_MESSAGES/org.tidemark.test.fixture.mo");
    const std::string otherLibrary = std::string("<key>CFBundleExecutable</key><string>libNone.so</string>") + kClasses;
    const struct {
        const char *name, *entries, *reason;
    } broken[] = {
        {"NoInfo", nullptr, "no Contents/Info.plist"},
        {"NoLibraryNamed", kClasses, "names no library"},
        {"NoClasses", kLibrary, "lists no extension classes"},
        {"LibraryNotThere", otherLibrary.c_str(), "no library Contents/Linux/libNone.so"},
    };
    for (const auto &b : broken) Make(b.name, b.entries);
    std::filesystem::create_directories(dir_ / "Other");

    std::vector<std::unique_ptr<PLPlugin>> plugins = PLPluginLoader::loadPluginsInFolder(dir_.path());
    ASSERT_EQ(plugins.size(), 1u);
    for (const auto &b : broken) EXPECT_TRUE(Logged(dir_ / b.name + ".plugin: ", b.reason)) << b.name;
    EXPECT_TRUE(Logged("FixtureNeither adopts neither"));
    EXPECT_TRUE(Logged("registers no extension class Missing"));
    EXPECT_EQ(logged_.size(), std::size(broken) + 2);
    // The library is in the process already; loading the bundle again finds what it registered.
    std::unique_ptr<PLPlugin> again = PLPluginLoader::loadBundle(bundle);
    ASSERT_TRUE(again);
    for (const PLPlugin *plugin : {plugins[0].get(), again.get()}) {
        ASSERT_EQ(plugin->extensions().size(), 1u);
        EXPECT_EQ(plugin->extensions()[0].className, "FixtureLifecycleExtension");
    }

    const NSClass *loaded = nullptr;
    int observer = 0;
    NSNotificationCenter::defaultCenter().addObserverWithHandler(
        &observer, [&](const NSNotification &n) { loaded = static_cast<const NSClass *>(n.object()); },
        CFSTR("FixtureDidFinishLaunching"), nullptr);
    plugins[0]->lifecycleExtensions().at(0)->applicationDidFinishLaunching();
    NSNotificationCenter::defaultCenter().removeObserver(&observer);
    ASSERT_NE(loaded, nullptr);
    NSBundle *fixture = NSBundle::bundleForClass(*loaded);
    EXPECT_TRUE(CFEqual(fixture->bundlePath().get(), Str(bundle).get()));

    EnvGuard env;
    env.set("LANGUAGE", "de");
    ASSERT_NE(setlocale(LC_MESSAGES, "C.UTF-8"), nullptr);
    const struct {
        const char *key, *value, *table, *expected;
    } strings[] = {
        {"Wake & Startup", "ignored", "Localizable", "Aufwachen & Starten"},
        {"Not translated", "Fallback", nullptr, "Fallback"},
        {"Wake & Startup", "No such table", "Other", "No such table"},
    };
    for (const auto &s : strings) {
        auto value = s.value ? Str(s.value) : wfs::CFRef<CFStringRef>();
        auto table = s.table ? Str(s.table) : wfs::CFRef<CFStringRef>();
        EXPECT_EQ(Utf8(fixture->localizedStringForKey(Str(s.key).get(), value.get(), table.get()).get()), s.expected);
    }
    setlocale(LC_MESSAGES, "C");
}

}  // namespace
