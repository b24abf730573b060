// The built plug-in bundle, loaded as the host loads it: its two extensions, the pane answering
// from the bundle's resources; one controller however often the host says it has finished
// launching, observing the four workspace notifications.

#include <AppKit/AppKit.h>
#include <Plinth/Plinth.h>

#include <CFTestSupport.h>
#include <TestSupport.h>
#include <UserHome.h>

#include <clocale>

using namespace wfstest;
using wfs::CFRef;

namespace {

TEST(TDWakeFromSleepPlugin, TheHostGetsOneControllerObservingFourNotifications) {
    const UserHome home(SetUserIDCapableBase());
    std::vector<PLLogRecord> logged;
    PLLog::setCaptureForTesting([&](const PLLogRecord &record) { logged.push_back(record); });

    std::unique_ptr<PLPlugin> plugin = PLPluginLoader::loadBundle(WFS_PLUGIN_BUNDLE);
    ASSERT_TRUE(plugin);
    ASSERT_EQ(plugin->lifecycleExtensions().size(), 1u);
    ASSERT_EQ(plugin->preferencePaneExtensions().size(), 1u);
    EXPECT_TRUE(logged.empty());
    // The pane answers from the bundle's own resources: its translations and its image.
    PLPreferencePaneProtocol *pane = plugin->preferencePaneExtensions()[0];
    EXPECT_TRUE(CFEqual(pane->preferencePaneIdentifier().get(), CFSTR("TDWakeFromSleepPreferencePane")));
    {
        const ScopedEnv german("LANGUAGE", "de");
        ASSERT_NE(setlocale(LC_MESSAGES, "C.UTF-8"), nullptr);
        EXPECT_TRUE(CFEqual(pane->preferencePaneTitle().get(), CFSTR("Aufwachen & Starten")));
        setlocale(LC_MESSAGES, "C");
    }
    EXPECT_NE(pane->preferencePaneImage(), nullptr);

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

    // Quitting leaves the controller in place: the wake-up it scheduled outlives the host.
    lifecycle->applicationWillTerminate();
    EXPECT_EQ(center.observations().size(), 4u);
    PLLog::setCaptureForTesting(nullptr);
}

}  // namespace
