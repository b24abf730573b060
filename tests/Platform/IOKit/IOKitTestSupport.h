// A temporary store and a fake sysfs RTC tree for the IOKit tests, and small process helpers.
#pragma once

#include "RtcWakeAlarm.h"

#include <IOKit/IOKit.h>
#include <Support/CFRef.h>
#include <Support/Eintr.h>

#include <gtest/gtest.h>

#include <dirent.h>
#include <grp.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

namespace wfs::iokit::test {

#define WFS_REQUIRE_ROOT()                                   \
    do {                                                     \
        if (::geteuid() != 0) GTEST_SKIP() << "needs root";  \
    } while (0)

inline std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream buffer;
    buffer << in.rdbuf();
    return buffer.str();
}

inline void WriteFile(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

inline std::vector<std::string> FolderEntries(const std::string &folder) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto &entry : std::filesystem::directory_iterator(folder, ignored)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

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

// A whole-second absolute time `seconds` from now, and what a UTC RTC must hold for a time.
inline CFAbsoluteTime SecondsFromNow(double seconds) { return std::floor(CFAbsoluteTimeGetCurrent()) + seconds; }
inline std::string UnixSecondsText(CFAbsoluteTime time) {
    return std::to_string(static_cast<long long>(std::floor(time + kCFAbsoluteTimeIntervalSince1970)));
}

inline CFRef<CFStringRef> String(const std::string &utf8) {
    return CFRef<CFStringRef>(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8 *>(utf8.data()),
                                                      static_cast<CFIndex>(utf8.size()), kCFStringEncodingUTF8, false));
}

inline IOReturn Schedule(CFAbsoluteTime time, const std::string &scheduler, const std::string &type) {
    CFRef<CFDateRef> date(CFDateCreate(nullptr, time));
    return IOPMSchedulePowerEvent(date.get(), String(scheduler).get(), String(type).get());
}

inline IOReturn Cancel(CFAbsoluteTime time, const std::string &scheduler, const std::string &type) {
    CFRef<CFDateRef> date(CFDateCreate(nullptr, time));
    return IOPMCancelScheduledPowerEvent(date.get(), String(scheduler).get(), String(type).get());
}

struct ListedEvent {
    CFAbsoluteTime time;
    std::string scheduler;
    std::string type;
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
        EXPECT_EQ(CFDictionaryGetCount(event), 3);
        CFTypeRef date = CFDictionaryGetValue(event, CFSTR("time"));
        EXPECT_EQ(CFGetTypeID(date), CFDateGetTypeID());
        listed.push_back({CFDateGetAbsoluteTime(static_cast<CFDateRef>(date)),
                          text(CFDictionaryGetValue(event, CFSTR("scheduledby"))),
                          text(CFDictionaryGetValue(event, CFSTR("eventtype")))});
    }
    return listed;
}

// Forks a child that runs `body` (dropped to nobody, 65534, when asked) and leaves with its
// answer. The test process is single-threaded, so the child may use the library after fork.
inline pid_t Spawn(const std::function<int()> &body, bool asNobody = false) {
    pid_t pid = ::fork();
    if (pid != 0) return pid;
    if (asNobody && (::setgroups(0, nullptr) == -1 || ::setgid(65534) == -1 || ::setuid(65534) == -1)) ::_exit(120);
    ::_exit(body());
}

// The exit status of a child, or -1 when it did not exit normally.
inline int WaitExit(pid_t pid) {
    int status = 0;
    if (pid <= 0 || RetryOnEintr([&] { return ::waitpid(pid, &status, 0); }) != pid) return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A fresh store folder and sysfs tree under a temporary folder, named through the environment,
// and the kernel-like RTC writer installed.
class PowerEventTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/iokit-test-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        // Listing is for everyone, so the tests that drop to nobody must be able to reach the store.
        ASSERT_EQ(::chmod(root_.c_str(), 0755), 0);
        storeFolder_ = root_ + "/wake-from-sleep";
        storePath_ = storeFolder_ + "/scheduled-power-events.plist";
        sysfs_ = root_ + "/sys";
        std::filesystem::create_directories(sysfs_ + "/class/rtc");
        ::setenv("WFS_POWER_EVENT_STORE", storePath_.c_str(), 1);
        ::setenv("WFS_SYSFS_ROOT", sysfs_.c_str(), 1);
        previousWriter_ = SetAttributeWriterForTesting(KernelLikeWriter);
        RecordedWrites().clear();
    }
    void TearDown() override {
        SetAttributeWriterForTesting(previousWriter_);
        ::unsetenv("WFS_POWER_EVENT_STORE");
        ::unsetenv("WFS_SYSFS_ROOT");
        std::error_code ignored;
        if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
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

    std::string root_, storeFolder_, storePath_, sysfs_;

private:
    AttributeWriter previousWriter_ = nullptr;
};

}  // namespace wfs::iokit::test
