// A temporary store and a fake sysfs RTC tree for the IOKit tests, and small process helpers.
#pragma once

#include <IOKit/IOKit.h>
#include <Support/CFRef.h>

#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace wfs::iokit::test {

#define WFS_REQUIRE_ROOT()                                   \
    do {                                                     \
        if (::geteuid() != 0) GTEST_SKIP() << "needs root";  \
    } while (0)

// Writes to a wakealarm file the way the kernel treats the attribute: "0" (or any time not ahead)
// empties it, and a time over an alarm already set is refused with EBUSY. Records every write.
int KernelLikeWriter(const char *path, const char *text);
std::vector<std::string> &RecordedWrites();

struct ListedEvent {
    CFAbsoluteTime time;
    std::string scheduler;
    std::string type;
};

std::string ReadFile(const std::string &path);
void WriteFile(const std::string &path, const std::string &bytes);
bool Exists(const std::string &path);
std::vector<std::string> FolderEntries(const std::string &folder);

// A whole-second absolute time `seconds` from now.
CFAbsoluteTime SecondsFromNow(double seconds);
// What the RTC must hold for `time` when it keeps UTC.
std::string UnixSecondsText(CFAbsoluteTime time);

CFRef<CFDateRef> Date(CFAbsoluteTime time);
CFRef<CFStringRef> String(const std::string &utf8);

IOReturn Schedule(CFAbsoluteTime time, const std::string &scheduler, const std::string &type);
IOReturn Cancel(CFAbsoluteTime time, const std::string &scheduler, const std::string &type);
std::vector<ListedEvent> List();

// Runs `body` in a child that has dropped to nobody (65534); answers its exit status, or -1.
int RunAsNobody(int (*body)());

class PowerEventTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // <sysfs>/class/rtc/<name> with wakealarm, since_epoch (the system clock plus
    // `clockAheadSeconds`) and device/power/wakeup.
    void AddRtc(const std::string &name, const char *wakeup = "enabled", long long clockAheadSeconds = 0,
                bool withWakealarm = true);
    std::string Alarm(const std::string &name = "rtc0") const;
    std::string StoreBytes() const { return ReadFile(storePath_); }

    std::string root_;
    std::string storeFolder_;
    std::string storePath_;
    std::string sysfs_;

private:
    void *previousWriter_ = nullptr;
};

}  // namespace wfs::iokit::test
