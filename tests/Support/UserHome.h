// One user's folders for a test of the host and its plug-in: HOME, the XDG folders (the runtime
// folder 0700, as logind makes it), the event store and a sysfs with one RTC that may wake the
// machine, all below a private temporary folder and in the environment of every program the test
// starts. What would steer the host elsewhere (its plug-in path, its log level, a translation) is
// unset.
#pragma once

#include "TestSupport.h"

#include <AlarmDates.h>
#include <IOKit/IOKit.h>
#include <Support/CFRef.h>

#include <filesystem>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <time.h>

namespace wfstest {

struct UserHome {
    TempDir dir{"tidemark-home"};
    EnvGuard env;

    UserHome() {
        for (const char *folder : {"home", "config", "data", "run", "sys/class/rtc/rtc0/device/power"}) {
            std::filesystem::create_directories(dir / folder);
        }
        ::chmod((dir / "run").c_str(), 0700);
        WriteFile(dir / "sys/class/rtc/rtc0/device/power/wakeup", "enabled\n");
        WriteFile(dir / "sys/class/rtc/rtc0/since_epoch", std::to_string(::time(nullptr)) + "\n");
        WriteFile(dir / "sys/class/rtc/rtc0/wakealarm", "");
        env.set("HOME", dir / "home");
        env.set("XDG_CONFIG_HOME", dir / "config");
        env.set("XDG_DATA_HOME", dir / "data");
        env.set("XDG_RUNTIME_DIR", dir / "run");
        env.set("WFS_POWER_EVENT_STORE", dir / "store/events.plist");
        env.set("WFS_SYSFS_ROOT", dir / "sys");
        for (const char *name : {"TIDEMARK_PLUGIN_PATH", "TIDEMARK_LOG", "LANGUAGE"}) env.set(name, std::nullopt);
    }

    std::string timers() const { return dir / "config/tidemark/timers.plist"; }
    std::string wakeAlarm() const { return dir / "sys/class/rtc/rtc0/wakealarm"; }
    // The wake-ups in this home's event store, in seconds since 1970.
    std::vector<double> scheduledWakes() const {
        std::vector<double> wakes;
        wfs::CFRef<CFArrayRef> events(IOPMCopyScheduledPowerEvents());
        for (CFIndex i = 0; events && i < CFArrayGetCount(events.get()); ++i) {
            auto event = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(events.get(), i));
            const auto date = static_cast<CFDateRef>(CFDictionaryGetValue(event, CFSTR(kIOPMPowerEventTimeKey)));
            wakes.push_back(CFDateGetAbsoluteTime(date) + kCFAbsoluteTimeIntervalSince1970);
        }
        return wakes;
    }
};

// An alarm two hours ahead: "HH:MM" in local time, as the program reads it, and when it rings.
struct AlarmAhead {
    std::string hhmm;
    time_t ring;
};
inline AlarmAhead AlarmTwoHoursAhead() {
    const time_t in2h = ::time(nullptr) + 7200;
    struct tm local {};
    localtime_r(&in2h, &local);
    char hhmm[8];
    std::snprintf(hhmm, sizeof hhmm, "%02d:%02d", local.tm_hour, local.tm_min);
    const auto now = std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now());
    return {hhmm, tidemark::NextAlarmDate(local.tm_hour, local.tm_min, 0, now).time_since_epoch().count()};
}

}  // namespace wfstest
