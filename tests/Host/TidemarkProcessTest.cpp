// The tidemark program as a user runs it, a separate process: its command line against the real
// timers file, and the application with the real plug-in, the real helper tool (as root) and the
// fixture's logind, user manager and notification service.
#include "HostTestSupport.h"

#include <AlarmAhead.h>

namespace hosttest {
namespace {

using namespace std::chrono_literals;

wfstest::Outcome Tidemark(const std::string &line) {
    std::vector<std::string> argv = Words(line);
    argv.insert(argv.begin(), TIDEMARK_PATH);
    return wfstest::RunProgram(argv);
}

TEST(TidemarkApplication, SleepPowerOffWakeAndLaunchesScheduleAndCancelTheWakeUp) {
    WFS_REQUIRE_ROOT();
    PrivateBuses buses({.logind = true, .userManager = true});
    Home home;
    const wfstest::AlarmAhead alarm = wfstest::AlarmTwoHoursAhead();
    ASSERT_TRUE(Tidemark("alarm add " + alarm.hhmm).Exited(0));
    const std::vector<double> wake = {static_cast<double>(alarm.ring)};

    wfstest::RunningProgram host({TIDEMARK_PATH});
    ASSERT_TRUE(host.WaitFor("tidemark: running")) << host.text();
    ASSERT_TRUE(buses.waitForInhibitors(1)) << host.text();
    const struct Step {
        const char *what;
        std::function<void()> send;
        size_t locks;
        bool scheduled;
    } steps[] = {
        {"sleep begins", [&] { buses.emitPrepareForSleep(true); }, 0, true},
        {"resume", [&] { buses.emitPrepareForSleep(false); }, 1, false},
        {"power-off begins", [&] { buses.emitPrepareForShutdown(true); }, 0, true},
        {"power-off cancelled", [&] { buses.emitPrepareForShutdown(false); }, 1, true},
        {"an application starts", [&] { buses.emitUnitNew("app-gnome-org.example.Editor-4242.scope"); }, 1, false},
    };
    for (const Step &step : steps) {
        SCOPED_TRACE(step.what);
        step.send();
        // The lock goes only once the will-sleep observers have returned.
        ASSERT_TRUE(buses.waitForInhibitors(step.locks)) << host.text();
        // A launch is seen, and its cancel done, without a sign on the bus.
        const std::vector<double> expected = step.scheduled ? wake : std::vector<double>{};
        ASSERT_TRUE(WaitUntil([&] { return home.scheduledWakes() == expected; })) << host.text();
        if (std::string(step.what) == "power-off cancelled") {
            const wfstest::Outcome next = Tidemark("next");
            EXPECT_TRUE(next.Exited(0)) << next;
            EXPECT_THAT(next.out, HasSubstr("next alarm: 1 Alarm at"));
            EXPECT_THAT(next.out, HasSubstr("wakepoweron by org.tidemark.Tidemark for root"));
        }
    }
    const std::string output = host.Stop();
    EXPECT_THAT(output, HasSubstr("tidemark: logind is there"));
    // The tool the plug-in installed for the host, named after its process.
    EXPECT_TRUE(std::filesystem::exists(home.dir / "data/tidemark/IOPMSchedulePowerEventTool"));
}

TEST(TidemarkApplication, RefusesBadInputAndWithoutASystemBusWarnsSkipsABrokenPlugInAndStillRings) {
    PrivateBuses buses({.systemBus = false, .notifications = true});
    Home home;
    const std::string plugins = home.dir / "plugins";
    wfstest::WriteFile(plugins + "/Broken.plugin/Contents/Info.plist",
                       "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleExecutable</key><string>libBroken.so</string>"
                       "<key>PLExtensionClasses</key><array><string>Broken</string></array></dict></plist>");
    wfstest::WriteFile(plugins + "/Broken.plugin/Contents/Linux/libBroken.so", "not a library");
    std::filesystem::create_directory_symlink(WFS_PLUGIN_BUNDLE, plugins + "/TDWakeFromSleep.plugin");
    home.env.set("TIDEMARK_PLUGIN_PATH", "/nonexistent::" + plugins);
    ASSERT_TRUE(Tidemark("timer add 2s --label Tea").Exited(0));

    wfstest::RunningProgram host({TIDEMARK_PATH});
    ASSERT_TRUE(WaitUntil([&] { return !buses.notifyCalls().empty(); }, 20s)) << host.text();
    // The countdown has stopped, in the file too.
    ASSERT_TRUE(WaitUntil([&] { return wfstest::ReadFile(home.timers()).find("endsAt") == std::string::npos; })) << host.text();
    const std::string output = host.Stop();
    EXPECT_THAT(output, HasSubstr("no system bus"));
    EXPECT_THAT(output, HasSubstr("Broken.plugin: its library does not load"));
    EXPECT_THAT(output, HasSubstr("loaded plug-in " + plugins +
                                  "/TDWakeFromSleep.plugin (TDWakeFromSleepLifeCycleExtension, TDWakeFromSleepPreferencePaneExtension)"));

    // Afterwards, bad input ends the program with status 2 and leaves the file as it was.
    const std::string before = wfstest::ReadFile(home.timers());
    const ino_t was = Inode(home.timers());
    const struct {
        const char *line, *complaint;
    } cases[] = {
        {"alarm add 25:00", "bad time \"25:00\""},          // refused by the parser
        {"alarm remove 9", "no alarm or timer with ID 9"},  // refused by the command
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.line);
        const wfstest::Outcome outcome = Tidemark(c.line);
        EXPECT_TRUE(outcome.Exited(2)) << outcome;
        EXPECT_EQ(outcome.out, "");
        EXPECT_THAT(outcome.err, StartsWith(std::string("tidemark: ") + c.complaint));
        EXPECT_EQ(Inode(home.timers()), was);  // not even rewritten with the same bytes
        EXPECT_EQ(wfstest::ReadFile(home.timers()), before);
    }
}

}  // namespace
}  // namespace hosttest
