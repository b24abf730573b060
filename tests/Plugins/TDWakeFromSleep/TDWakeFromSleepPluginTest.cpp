// The built plug-in bundle, loaded as the host loads it: its two extensions, the pane answering
// from the bundle's resources; one controller however often the host says it has finished
// launching, observing the four workspace notifications; as root, a will-sleep has the plug-in's
// own copy of the helper tool schedule the earliest alarm.

#include <AppKit/AppKit.h>
#include <IOKit/IOKit.h>
#include <Plinth/Plinth.h>

#include <CFTestSupport.h>
#include <TestSupport.h>
#include <UserHome.h>

#include <clocale>

using namespace wfstest;
using wfs::CFRef;

namespace {

struct Alarm : PLTimer {
    explicit Alarm(CFAbsoluteTime when) : when_(when) {}
    bool running() const override { return true; }
    long mode() const override { return 1; }
    CFRef<CFDateRef> alarmDate() const override { return CFRef<CFDateRef>(CFDateCreate(nullptr, when_)); }
    CFAbsoluteTime when_;
};

TEST(TDWakeFromSleepPlugin, TheHostGetsOneControllerObservingFourNotifications) {
    const UserHome home(SetUserIDCapableBase());
    std::vector<PLLogRecord> logged;
    PLLog::setCaptureForTesting([&](const PLLogRecord &record) { logged.push_back(record); });

    std::unique_ptr<PLPlugin> plugin = PLPluginLoader::loadBundle(WFS_PLUGIN_BUNDLE);
    ASSERT_TRUE(plugin);
    ASSERT_EQ(plugin->lifecycleExtensions().size(), 1u);
    EXPECT_EQ(plugin->extensions().at(0).className, "TDWakeFromSleepLifeCycleExtension");
    EXPECT_TRUE(logged.empty());
    // The pane answers from the bundle's own resources: its translations and its image.
    ASSERT_EQ(plugin->preferencePaneExtensions().size(), 1u);
    EXPECT_EQ(plugin->extensions().at(1).className, "TDWakeFromSleepPreferencePaneExtension");
    PLPreferencePaneProtocol *pane = plugin->preferencePaneExtensions()[0];
    EXPECT_TRUE(CFEqual(pane->preferencePaneIdentifier().get(), CFSTR("TDWakeFromSleepPreferencePane")));
    {
        EnvGuard german;
        german.set("LANGUAGE", "de");
        ASSERT_NE(setlocale(LC_MESSAGES, "C.UTF-8"), nullptr);
        EXPECT_TRUE(CFEqual(pane->preferencePaneTitle().get(), CFSTR("Aufwachen & Starten")));
        setlocale(LC_MESSAGES, "C");
    }
    EXPECT_NE(pane->preferencePaneImage(), nullptr);
    EXPECT_TRUE(logged.empty());

    PLLifecycleProtocol *lifecycle = plugin->lifecycleExtensions()[0];
    NSNotificationCenter &center = NSWorkspace::sharedWorkspace().notificationCenter();
    lifecycle->applicationLaunching();
    lifecycle->applicationWillFinishLaunching();
    EXPECT_TRUE(center.observations().empty());
    lifecycle->applicationDidFinishLaunching();
    lifecycle->applicationDidFinishLaunching();
    const auto observations = center.observations();
    ASSERT_EQ(observations.size(), 4u);
    for (const auto &observation : observations) EXPECT_EQ(observation.observer, observations[0].observer);
    EXPECT_TRUE(CFEqual(observations[3].name.get(), NSWorkspaceWillSleepNotification));

    if (geteuid() == 0) {
        const CFAbsoluteTime when = SecondsFromNow(3600);
        NSApp()->setTimersSource([&] {
            return std::make_shared<const PLTimerCollection>(PLTimerCollection{std::make_shared<Alarm>(when)});
        });
        center.postNotificationName(NSWorkspaceWillSleepNotification, nullptr);
        NSApp()->setTimersSource(nullptr);
        CFRef<CFArrayRef> events(IOPMCopyScheduledPowerEvents());
        ASSERT_TRUE(events);
        ASSERT_EQ(CFArrayGetCount(events.get()), 1);
        auto event = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(events.get(), 0));
        EXPECT_TRUE(CFEqual(CFDictionaryGetValue(event, CFSTR(kIOPMPowerEventAppNameKey)), CFSTR("org.tidemark.Tidemark")));
        EXPECT_EQ(ReadFile(home.wakeAlarm()), UnixSecondsText(when));
        // The copy installed from the plug-in's template, in the folder named after the host.
        EXPECT_TRUE(std::filesystem::exists(home.dir / "data/TDWakeFromSleepPluginTests/IOPMSchedulePowerEventTool"));
    }
    // Quitting leaves the scheduled event in place.
    lifecycle->applicationWillTerminate();
    EXPECT_EQ(center.observations().size(), 4u);
    PLLog::setCaptureForTesting(nullptr);
}

}  // namespace
