// A temporary store and a sysfs RTC tree for the tests of the IOKit stand-in and of the programs
// that use it (wfs-pmset, the helper tool).
#pragma once

#include "RtcWakeAlarm.h"

#include <IOKit/IOKit.h>

#include <CFTestSupport.h>
#include <TestSupport.h>

#include <filesystem>
#include <string>
#include <vector>

namespace wfs::iokit::test {

using namespace wfstest;

inline std::vector<std::string> &RecordedWrites() {
    static std::vector<std::string> writes;
    return writes;
}

// Writes to a wakealarm file the way the kernel treats the attribute: "0" (or any time not ahead)
// empties it, and a time over an alarm already set is refused with EBUSY. Records every write.
inline int KernelLikeWriter(const char *path, const char *text) {
    RecordedWrites().push_back(text);
    if (!std::filesystem::exists(path)) return ENOENT;
    if (std::atoll(text) <= 0) {
        WriteFile(path, "");
        return 0;
    }
    if (!ReadFile(path).empty()) return EBUSY;
    WriteFile(path, std::string(text) + "\n");
    return 0;
}

// The public calls; with an owner, their forms on behalf of that user (the requester, to cancel).
inline IOReturn Schedule(CFAbsoluteTime time, const std::string &scheduler, const std::string &type,
                         long long owner = -1) {
    CFRef<CFDateRef> date(CFDateCreate(nullptr, time));
    return owner < 0 ? IOPMSchedulePowerEvent(date.get(), Str(scheduler).get(), Str(type).get())
                     : IOPMSchedulePowerEventForUser(date.get(), Str(scheduler).get(), Str(type).get(), owner);
}

inline IOReturn Cancel(CFAbsoluteTime time, const std::string &scheduler, const std::string &type,
                       long long requester = -1) {
    CFRef<CFDateRef> date(CFDateCreate(nullptr, time));
    return requester < 0
               ? IOPMCancelScheduledPowerEvent(date.get(), Str(scheduler).get(), Str(type).get())
               : IOPMCancelScheduledPowerEventForUser(date.get(), Str(scheduler).get(), Str(type).get(), requester);
}

struct ListedEvent {
    CFAbsoluteTime time;
    std::string scheduler, type;
    long long owner;
};

// IOPMCopyScheduledPowerEvents, checked for its shape.
inline std::vector<ListedEvent> List() {
    std::vector<ListedEvent> listed;
    CFRef<CFArrayRef> events(IOPMCopyScheduledPowerEvents());
    if (!events) return listed;
    EXPECT_GT(CFArrayGetCount(events.get()), 0);  // the platform answers NULL, not an empty array
    for (CFIndex i = 0; i < CFArrayGetCount(events.get()); ++i) {
        auto event = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(events.get(), i));
        EXPECT_EQ(CFDictionaryGetCount(event), 4);
        auto date = static_cast<CFDateRef>(CFDictionaryGetValue(event, CFSTR(kIOPMPowerEventTimeKey)));
        EXPECT_EQ(CFGetTypeID(date), CFDateGetTypeID());
        listed.push_back({CFDateGetAbsoluteTime(date), Utf8(CFDictionaryGetValue(event, CFSTR(kIOPMPowerEventAppNameKey))),
                          Utf8(CFDictionaryGetValue(event, CFSTR(kIOPMPowerEventTypeKey))),
                          NumberValue(CFDictionaryGetValue(event, CFSTR(kIOPMPowerEventOwnerUIDKey)))});
    }
    return listed;
}

// The first line of a file, as the RTC's attributes hold one value.
inline std::string FirstLine(const std::string &path) {
    const std::string value = ReadFile(path);
    return value.substr(0, value.find('\n'));
}

// A fresh store folder and sysfs tree under a temporary folder, named through the environment,
// and the kernel-like RTC writer installed.
class PowerEventTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Listing is for everyone, so the tests that drop to nobody must be able to reach the store.
        ASSERT_EQ(::chmod(root_.c_str(), 0755), 0);
        std::filesystem::create_directories(sysfs_ + "/class/rtc");
        env_.set("WFS_POWER_EVENT_STORE", storePath_);
        env_.set("WFS_SYSFS_ROOT", sysfs_);
        previousWriter_ = SetAttributeWriterForTesting(KernelLikeWriter);
        RecordedWrites().clear();
    }
    void TearDown() override { SetAttributeWriterForTesting(previousWriter_); }

    // <sysfs>/class/rtc/<name> with wakealarm, since_epoch (the system clock plus
    // `clockAheadSeconds`) and device/power/wakeup.
    void AddRtc(const std::string &name, const char *wakeup = "enabled", long long clockAheadSeconds = 0,
                bool withWakealarm = true) {
        std::string rtc = sysfs_ + "/class/rtc/" + name;
        WriteFile(rtc + "/device/power/wakeup", std::string(wakeup) + "\n");
        WriteFile(rtc + "/since_epoch", std::to_string(::time(nullptr) + clockAheadSeconds) + "\n");
        if (withWakealarm) WriteFile(rtc + "/wakealarm", "");
    }
    std::string Alarm(const std::string &name = "rtc0") const {
        return FirstLine(sysfs_ + "/class/rtc/" + name + "/wakealarm");
    }
    std::string StoreBytes() const { return ReadFile(storePath_); }

private:
    TempDir dir_{"iokit-test"};
    EnvGuard env_;
    AttributeWriter previousWriter_ = nullptr;

protected:
    const std::string root_ = dir_.path(), storeFolder_ = root_ + "/wake-from-sleep",
                      storePath_ = storeFolder_ + "/scheduled-power-events.plist", sysfs_ = root_ + "/sys";
};

}  // namespace wfs::iokit::test
