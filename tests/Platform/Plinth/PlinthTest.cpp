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

struct ProgramClass {
    NS_DECLARE_CLASS();
};
NS_DEFINE_CLASS(ProgramClass)

// The text `body`, run in a child, answers.
std::string TextFromChild(const std::function<std::string()> &body) {
    const std::string report = RunInChild([&] { ChildReport("%s", body().c_str()); }).out;
    return report.substr(0, report.size() - 1);  // less the report's own line end
}

// What `body`, run in a child, writes to standard error.
std::string StandardErrorOf(const std::function<void()> &body) {
    return TextFromChild([&] {
        const int log = memfd_create("stderr", MFD_CLOEXEC);
        if (log < 0 || dup2(log, STDERR_FILENO) != STDERR_FILENO) return std::string("no memory file");
        body();
        lseek(log, 0, SEEK_SET);
        return ReadAll(log);
    });
}

TEST(PLLog, OneLineOnStandardErrorPerCallWithLevelAndPlace) {
    const std::string out = StandardErrorOf([] {
        unsetenv("TIDEMARK_LOG");
        PLLog::info(CFSTR("not shown"), 11, "Plugins/X/Y", "-[Y z:]");
        PLLog::warn(CFSTR("wake soon"), 12, "Plugins/X/Y", "-[Y z:]");
        PLLog::error(CFSTR("CancelPowerEvent failed with error 5364"), 13, "Plugins/X/Y", "-[Y z:]");
        PLLog::assert_(true, CFSTR("holds"), 14, "Plugins/X/Y", "-[Y z:]");
        PLLog::assert_(false, CFSTR("date != nil"), 15, "Plugins/X/Y", "-[Y z:]");
        PLLog::setInfoEnabled(true);
        PLLog::info(CFSTR("now shown"), 16, "Plugins/X/Y", "+[Y w]");
    });
    const std::string prefix = "tidemark\\[[0-9]+\\]: ";
    EXPECT_THAT(out, ::testing::MatchesRegex(prefix + "warn: wake soon \\(-\\[Y z:\\], Plugins/X/Y:12\\)\n" + prefix +
                                             "error: CancelPowerEvent failed with error 5364 \\(-\\[Y z:\\], Plugins/X/Y:13\\)\n" +
                                             prefix + "assert: assertion failed: date != nil \\(-\\[Y z:\\], Plugins/X/Y:15\\)\n" +
                                             prefix + "info: now shown \\(\\+\\[Y w\\], Plugins/X/Y:16\\)\n"));
    // The environment turns info on for a host that has not decided.
    EXPECT_NE(StandardErrorOf([] {
                  setenv("TIDEMARK_LOG", "info", 1);
                  if (PLLog::isInfoEnabled()) PLLog::info(CFSTR("on"), 1, "F", "M");
              }).find("info: on (M, F:1)"),
              std::string::npos);
}

TEST(PLLog, EachLineIsAJournalEntryWithItsPriorityAndPlace) {
    WFS_REQUIRE_ROOT();
    const struct {
        std::function<void()> log;
        const char *priority;
    } levels[] = {
        {[] { PLLog::warn(CFSTR("wake soon"), 12, "Plugins/X/Y", "-[Y z:]"); }, "4"},
        {[] { PLLog::error(CFSTR("wake soon"), 12, "Plugins/X/Y", "-[Y z:]"); }, "3"},
        {[] { PLLog::assert_(false, CFSTR("wake soon"), 12, "Plugins/X/Y", "-[Y z:]"); }, "2"},
        {[] { PLLog::setInfoEnabled(true); PLLog::info(CFSTR("wake soon"), 12, "Plugins/X/Y", "-[Y z:]"); }, "6"},
    };
    for (const auto &level : levels) {
        const std::string entry = TextFromChild([&] {
            if (!EnterPrivateMountNamespace() || mount("none", "/run", "tmpfs", 0, nullptr) != 0) return std::string("no namespace");
            std::filesystem::create_directories("/run/systemd/journal");
            wfs::UniqueFd journal(socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
            sockaddr_un address{};
            address.sun_family = AF_UNIX;
            std::strcpy(address.sun_path, "/run/systemd/journal/socket");
            if (bind(journal.get(), reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) return std::string("no socket");
            level.log();
            char buffer[4096];
            const ssize_t n = recv(journal.get(), buffer, sizeof buffer, MSG_DONTWAIT);
            return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string("nothing");
        });
        if (entry == "no namespace") GTEST_SKIP() << "no private mount namespace here";
        auto fields = ParseLines(entry);
        EXPECT_EQ(fields["PRIORITY"], level.priority);
        EXPECT_NE(fields["MESSAGE"].find("wake soon"), std::string::npos);
        EXPECT_EQ(fields["CODE_FILE"], "Plugins/X/Y");
        EXPECT_EQ(fields["CODE_LINE"], "12");
        EXPECT_EQ(fields["CODE_FUNC"], "-[Y z:]");
    }
}

class Loader : public ::testing::Test {
protected:
    void SetUp() override {
        PLLog::setCaptureForTesting([this](const PLLogRecord &record) { logged_.push_back(record.message); });
    }
    void TearDown() override { PLLog::setCaptureForTesting(nullptr); }

    // Lays out <name>.plugin with an Info.plist of `entries` (none at all when null) and a library:
    // the fixture's, or a file of these bytes.
    std::string Make(const std::string &name, const char *entries, const char *libraryBytes = nullptr) {
        const std::string bundle = dir_ / (name + ".plugin");
        std::filesystem::create_directories(bundle + "/Contents/Linux");
        if (entries != nullptr) {
            WriteFile(bundle + "/Contents/Info.plist",
                      std::string("<?xml version=\"1.0\"?><plist version=\"1.0\"><dict>") + entries + "</dict></plist>");
        }
        if (libraryBytes != nullptr) WriteFile(bundle + "/Contents/Linux/libFixture.so", libraryBytes);
        else std::filesystem::copy_file(WFS_PLINTH_TEST_PLUGIN, bundle + "/Contents/Linux/libFixture.so");
        return bundle;
    }
    bool Logged(const std::string &fragment) const {
        return std::any_of(logged_.begin(), logged_.end(), [&](const std::string &m) { return m.find(fragment) != std::string::npos; });
    }

    TempDir dir_;
    std::vector<std::string> logged_;
};

constexpr char kLibrary[] = "<key>CFBundleExecutable</key><string>libFixture.so</string>";
constexpr char kClasses[] =
    "<key>PLExtensionClasses</key><array><string>FixtureLifecycleExtension</string><string>FixtureNeither</string>"
    "<string>Missing</string></array>";

TEST_F(Loader, BundlesThatCannotBeLoadedAreSkippedWithTheReason) {
    const std::string withClasses = std::string(kLibrary) + kClasses;
    const std::string otherLibrary = std::string("<key>CFBundleExecutable</key><string>libNone.so</string>") + kClasses;
    const struct {
        const char *what, *entries, *libraryBytes, *reason;
    } cases[] = {
        {"no Info.plist", nullptr, nullptr, "no Contents/Info.plist"},
        {"no library named", kClasses, nullptr, "names no library"},
        {"no classes listed", kLibrary, nullptr, "lists no extension classes"},
        {"a library that is not there", otherLibrary.c_str(), nullptr, "no library Contents/Linux/libNone.so"},
        {"a library that does not load", withClasses.c_str(), "not an ELF file", "its library does not load"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        logged_.clear();
        const std::string bundle = Make(c.what, c.entries, c.libraryBytes);
        EXPECT_FALSE(PLPluginLoader::loadBundle(bundle));
        ASSERT_EQ(logged_.size(), 1u);
        EXPECT_NE(logged_[0].find(bundle + ": "), std::string::npos) << logged_[0];
        EXPECT_NE(logged_[0].find(c.reason), std::string::npos) << logged_[0];
    }
}

TEST_F(Loader, TheListedClassesAreCreatedAndKnowTheirBundleAndItsStrings) {
    const std::string bundle = Make("Good", (std::string(kLibrary) + kClasses +
                                            "<key>CFBundleIdentifier</key><string>org.tidemark.test.fixture</string>").c_str());
    std::filesystem::create_directories(bundle + "/Contents/Resources/locale/de/LC_MESSAGES");
    std::filesystem::copy_file(WFS_PLINTH_TEST_CATALOGUE,
                               bundle + "/Contents/Resources/locale/de/LC_MESSAGES/org.tidemark.test.fixture.mo");
    Make("Broken", nullptr);
    std::filesystem::create_directories(dir_ / "Other");

    std::vector<std::unique_ptr<PLPlugin>> plugins = PLPluginLoader::loadPluginsInFolder(dir_.path());
    ASSERT_EQ(plugins.size(), 1u);
    EXPECT_TRUE(Logged("FixtureNeither adopts neither"));
    EXPECT_TRUE(Logged("registers no extension class Missing"));
    EXPECT_TRUE(Logged("Broken.plugin: no Contents/Info.plist"));
    // The library is in the process already; loading the bundle again finds what it registered.
    std::unique_ptr<PLPlugin> again = PLPluginLoader::loadBundle(bundle);
    ASSERT_TRUE(again);
    for (const PLPlugin *plugin : {plugins[0].get(), again.get()}) {
        ASSERT_EQ(plugin->extensions().size(), 1u);
        EXPECT_EQ(plugin->extensions()[0].className, "FixtureLifecycleExtension");
        EXPECT_EQ(plugin->preferencePaneExtensions().size(), 0u);
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
    EXPECT_EQ(NSBundle::bundleForClass(ProgramClass::class_()), NSBundle::mainBundle());

    EnvGuard env;
    env.set("LANGUAGE", "de");
    ASSERT_NE(setlocale(LC_MESSAGES, "C.UTF-8"), nullptr);
    const struct {
        const char *key, *value, *table, *expected;
    } strings[] = {
        {"Wake & Startup", nullptr, nullptr, "Aufwachen & Starten"},
        {"Wake & Startup", "ignored", "Localizable", "Aufwachen & Starten"},
        {"Not translated", "Fallback", nullptr, "Fallback"},
        {"Not translated", "", nullptr, "Not translated"},
        {"Wake & Startup", "No such table", "Other", "No such table"},
    };
    for (const auto &s : strings) {
        auto value = s.value ? Str(s.value) : wfs::CFRef<CFStringRef>();
        auto table = s.table ? Str(s.table) : wfs::CFRef<CFStringRef>();
        EXPECT_TRUE(CFEqual(fixture->localizedStringForKey(Str(s.key).get(), value.get(), table.get()).get(), Str(s.expected).get()))
            << s.expected;
    }
    setlocale(LC_MESSAGES, "C");
}

}  // namespace
