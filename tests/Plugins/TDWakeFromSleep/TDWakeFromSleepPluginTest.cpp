// The built plug-in bundle, loaded as the host loads it: one controller however often the host
// says it has finished launching, observing the four workspace notifications; as root, a
// will-sleep has the plug-in's own copy of the helper tool schedule the earliest alarm.

#include "HostTestSupport.h"

#include <AppKit/AppKit.h>
#include <IOKit/IOKit.h>
#include <Plinth/Plinth.h>

#include <CFTestSupport.h>
#include <TestSupport.h>

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
    TempDir dir("wfs-plugin", SetUserIDCapableBase());
    EnvGuard env;
    for (const char *name : {"HOME", "XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_RUNTIME_DIR", "TMPDIR"}) env.set(name, dir.path());
    env.set("WFS_POWER_EVENT_STORE", dir / "store/events.plist");
    env.set("WFS_SYSFS_ROOT", dir / "sys");
    std::vector<PLLogRecord> logged;
    PLLog::setCaptureForTesting([&](const PLLogRecord &record) { logged.push_back(record); });

    std::unique_ptr<PLPlugin> plugin = PLPluginLoader::loadBundle(WFS_PLUGIN_BUNDLE);
    ASSERT_TRUE(plugin);
    ASSERT_EQ(plugin->lifecycleExtensions().size(), 1u);
    EXPECT_EQ(plugin->extensions().at(0).className, "TDWakeFromSleepLifeCycleExtension");
    // The pane's class is listed before its code exists.
    ASSERT_EQ(logged.size(), 1u);
    EXPECT_NE(logged[0].message.find("registers no extension class TDWakeFromSleepPreferencePaneExtension"),
              std::string::npos);

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
        std::filesystem::create_directories(dir / "sys/class/rtc/rtc0/device/power");
        WriteFile(dir / "sys/class/rtc/rtc0/device/power/wakeup", "enabled\n");
        WriteFile(dir / "sys/class/rtc/rtc0/wakealarm", "");
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
        EXPECT_EQ(ReadFile(dir / "sys/class/rtc/rtc0/wakealarm"), UnixSecondsText(when));
        // The copy installed from the plug-in's template, in the folder named after the host.
        EXPECT_TRUE(std::filesystem::exists(dir / "TDWakeFromSleepPluginTests/IOPMSchedulePowerEventTool"));
    }
    // Quitting leaves the scheduled event in place.
    lifecycle->applicationWillTerminate();
    EXPECT_EQ(center.observations().size(), 4u);
    PLLog::setCaptureForTesting(nullptr);
}

}  // namespace
