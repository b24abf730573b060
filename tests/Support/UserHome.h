// One user's folders for a test of the host and its plug-in: HOME, the XDG folders (the runtime
// folder 0700, as logind makes it, and TMPDIR in it), the event store and a sysfs with one RTC that
// may wake the machine, all below a private temporary folder and in the environment of every
// program the test starts. What would steer the host elsewhere (its plug-in path, its log level,
// a translation) is unset.
#pragma once

#include "TestSupport.h"

#include <IOKit/IOKit.h>
#include <Support/CFRef.h>

#include <filesystem>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>
#include <time.h>

namespace wfstest {

struct UserHome {
    TempDir dir;
    EnvGuard env;

    explicit UserHome(const std::string &base = "") : dir("tidemark-home", base) {
        ::chmod(dir.path().c_str(), 0755);  // a test's child that drops to nobody goes through it
        for (const char *folder : {"home", "config", "data", "run", "sys/class/rtc/rtc0/device/power"}) {
            std::filesystem::create_directories(dir / folder);
        }
        ::chmod((dir / "run").c_str(), 0700);
        WriteFile(dir / "sys/class/rtc/rtc0/device/power/wakeup", "enabled\n");
        WriteFile(dir / "sys/class/rtc/rtc0/since_epoch", std::to_string(::time(nullptr)) + "\n");
        WriteFile(dir / "sys/class/rtc/rtc0/wakealarm", "");
        PointAt(env, dir.path());
        for (const char *name : {"TIDEMARK_PLUGIN_PATH", "TIDEMARK_LOG", "LANGUAGE"}) env.set(name, std::nullopt);
    }
    // Points the environment at the folders below `root`: this home's, or one a parent test made.
    static void PointAt(EnvGuard &env, const std::string &root) {
        for (auto [name, folder] : {std::pair{"HOME", "home"}, {"XDG_CONFIG_HOME", "config"}, {"XDG_DATA_HOME", "data"},
                                    {"XDG_RUNTIME_DIR", "run"}, {"TMPDIR", "run"}, {"WFS_SYSFS_ROOT", "sys"}}) {
            env.set(name, root + "/" + folder);
        }
        env.set("WFS_POWER_EVENT_STORE", root + "/store/events.plist");
    }
    // Everything in the home but `keep` (a set-user-ID launcher of root's, say) becomes nobody's,
    // for a test's child that drops to nobody.
    bool giveToNobody(const std::string &keep) const {
        for (const auto &entry : std::filesystem::recursive_directory_iterator(dir.path())) {
            if (entry.path() != keep && ::lchown(entry.path().c_str(), kNobodyID, kNobodyID) != 0) return false;
        }
        return true;
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

}  // namespace wfstest
