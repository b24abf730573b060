// A temporary store and a fake sysfs RTC tree for the IOKit tests; the generic helpers come from
// the shared TestSupport.h.
#pragma once

#include "RtcWakeAlarm.h"

#include <IOKit/IOKit.h>
#include <Support/CFRef.h>
#include <Support/Eintr.h>

#include <CFTestSupport.h>
#include <TestSupport.h>

#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

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

inline IOReturn Schedule(CFAbsoluteTime time, const std::string &scheduler, const std::string &type) {
    CFRef<CFDateRef> date(CFDateCreate(nullptr, time));
    return IOPMSchedulePowerEvent(date.get(), Str(scheduler).get(), Str(type).get());
}

inline IOReturn Cancel(CFAbsoluteTime time, const std::string &scheduler, const std::string &type) {
    CFRef<CFDateRef> date(CFDateCreate(nullptr, time));
    return IOPMCancelScheduledPowerEvent(date.get(), Str(scheduler).get(), Str(type).get());
}

inline IOReturn ScheduleFor(uid_t owner, CFAbsoluteTime time, const std::string &scheduler, const std::string &type) {
    CFRef<CFDateRef> date(CFDateCreate(nullptr, time));
    return IOPMSchedulePowerEventForUser(date.get(), Str(scheduler).get(), Str(type).get(), owner);
}

inline IOReturn CancelFor(uid_t requester, CFAbsoluteTime time, const std::string &scheduler, const std::string &type) {
    CFRef<CFDateRef> date(CFDateCreate(nullptr, time));
    return IOPMCancelScheduledPowerEventForUser(date.get(), Str(scheduler).get(), Str(type).get(), requester);
}

struct ListedEvent {
    CFAbsoluteTime time;
    std::string scheduler;
    std::string type;
    long long owner;
};

// IOPMCopyScheduledPowerEvents, checked for its shape.
inline std::vector<ListedEvent> List() {
    auto text = [](CFTypeRef value) {
        char buffer[1024] = "";
        EXPECT_TRUE(value != nullptr && CFGetTypeID(value) == CFStringGetTypeID() &&
                    CFStringGetCString(static_cast<CFStringRef>(value), buffer, sizeof buffer, kCFStringEncodingUTF8));
        return std::string(buffer);
    };
    std::vector<ListedEvent> listed;
    CFRef<CFArrayRef> events(IOPMCopyScheduledPowerEvents());
    if (!events) return listed;
    EXPECT_GT(CFArrayGetCount(events.get()), 0);  // the platform answers NULL, not an empty array
    for (CFIndex i = 0; i < CFArrayGetCount(events.get()); ++i) {
        auto event = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(events.get(), i));
        EXPECT_EQ(CFDictionaryGetCount(event), 4);
        CFTypeRef date = CFDictionaryGetValue(event, CFSTR("time"));
        EXPECT_EQ(CFGetTypeID(date), CFDateGetTypeID());
        long long owner = -1;
        auto ownerNumber = static_cast<CFNumberRef>(CFDictionaryGetValue(event, CFSTR("owneruid")));
        EXPECT_TRUE(ownerNumber != nullptr && CFNumberGetValue(ownerNumber, kCFNumberLongLongType, &owner));
        listed.push_back({CFDateGetAbsoluteTime(static_cast<CFDateRef>(date)),
                          text(CFDictionaryGetValue(event, CFSTR("scheduledby"))),
                          text(CFDictionaryGetValue(event, CFSTR("eventtype"))), owner});
    }
    return listed;
}

// A fresh store folder and sysfs tree under a temporary folder, named through the environment,
// and the kernel-like RTC writer installed.
class PowerEventTest : public ::testing::Test {
protected:
    void SetUp() override {
        // Listing is for everyone, so the tests that drop to nobody must be able to reach the store.
        ASSERT_EQ(::chmod(root_.c_str(), 0755), 0);
        storeFolder_ = root_ + "/wake-from-sleep";
        storePath_ = storeFolder_ + "/scheduled-power-events.plist";
        sysfs_ = root_ + "/sys";
        std::filesystem::create_directories(sysfs_ + "/class/rtc");
        env_.set("WFS_POWER_EVENT_STORE", storePath_);
        env_.set("WFS_SYSFS_ROOT", sysfs_);
        previousWriter_ = SetAttributeWriterForTesting(KernelLikeWriter);
        RecordedWrites().clear();
    }
    void TearDown() override {
        SetAttributeWriterForTesting(previousWriter_);
    }

    // <sysfs>/class/rtc/<name> with wakealarm, since_epoch (the system clock plus
    // `clockAheadSeconds`) and device/power/wakeup.
    void AddRtc(const std::string &name, const char *wakeup = "enabled", long long clockAheadSeconds = 0,
                bool withWakealarm = true) {
        std::string rtc = sysfs_ + "/class/rtc/" + name;
        std::filesystem::create_directories(rtc + "/device/power");
        WriteFile(rtc + "/device/power/wakeup", std::string(wakeup) + "\n");
        WriteFile(rtc + "/since_epoch", std::to_string(::time(nullptr) + clockAheadSeconds) + "\n");
        if (withWakealarm) WriteFile(rtc + "/wakealarm", "");
    }
    std::string Alarm(const std::string &name = "rtc0") const {
        std::string value = ReadFile(sysfs_ + "/class/rtc/" + name + "/wakealarm");
        while (!value.empty() && value.back() == '\n') value.pop_back();
        return value;
    }
    std::string StoreBytes() const { return ReadFile(storePath_); }

private:
    TempDir dir_{"iokit-test"};
    EnvGuard env_;

protected:
    const std::string root_ = dir_.path();
    std::string storeFolder_, storePath_, sysfs_;

private:
    AttributeWriter previousWriter_ = nullptr;
};

}  // namespace wfs::iokit::test
