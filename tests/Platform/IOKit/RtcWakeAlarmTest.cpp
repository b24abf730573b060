// The RTC wake alarm on its own: the clock offset rule and the writes that program it.
#include "IOKitTestSupport.h"

#include <cerrno>
#include <climits>

namespace wfs::iokit::test {
namespace {

// since_epoch is read from a file: values no clock holds give no offset, and no overflow.
TEST(RtcClockOffset, DriftIsIgnoredAndZonesRoundToQuarterHours) {
    const long long cases[][3] = {  // RTC, system, offset
        {1000, 1000, 0},          {1000 + 600, 1000, 0},      {1000 - 600, 1000, 0},     {1000 + 601, 1000, 900},
        {1000 + 1349, 1000, 900}, {1000 + 1350, 1000, 1800},  {3600 + 29, 0, 3600},      {-3600 + 31, 0, -3600},
        {20700 - 100, 0, 20700} /* UTC+5:45 */, {-12 * 3600, 0, -12 * 3600}, {LLONG_MIN, 0, 0}, {LLONG_MAX, -1, 0},
        {LLONG_MIN + 1, 1000, 0},
    };
    for (const auto &c : cases) EXPECT_EQ(RtcClockOffset(c[0], c[1]), c[2]) << c[0] << " " << c[1];
}

using RtcTest = PowerEventTest;

// Someone else arms the RTC between our disarm and our write, once.
int gRaceLeft = 0;
int RacingWriter(const char *path, const char *text) {
    if (std::atoll(text) > 0 && gRaceLeft > 0) {
        --gRaceLeft;
        KernelLikeWriter(path, "99");  // the intruder's alarm...
        RecordedWrites().pop_back();
    }
    return KernelLikeWriter(path, text);
}

TEST_F(RtcTest, ArmingSurvivesARace) {
    AddRtc("rtc0");
    CFAbsoluteTime when = SecondsFromNow(3600);
    gRaceLeft = 1;
    ASSERT_EQ(ProgramWakeAlarm(sysfs_, when, RacingWriter), kIOReturnSuccess);
    EXPECT_EQ(Alarm(), UnixSecondsText(when));
    const std::string alarm = UnixSecondsText(when);
    EXPECT_EQ(RecordedWrites(), (std::vector<std::string>{"0", alarm, "0", alarm}));

    // A second race in a row is not fought: the error comes back.
    gRaceLeft = 2;
    EXPECT_EQ(ProgramWakeAlarm(sysfs_, when + 10, RacingWriter), kIOReturnError);
}

int FailingWriter(const char *, const char *) { return EACCES; }

TEST_F(RtcTest, DisarmingAndFailures) {
    AddRtc("rtc0");
    WriteFile(sysfs_ + "/class/rtc/rtc0/wakealarm", "4242\n");
    EXPECT_EQ(ProgramWakeAlarm(sysfs_, std::nullopt, KernelLikeWriter), kIOReturnSuccess);
    EXPECT_EQ(Alarm(), "");
    // The real writer on a plain file leaves the "0" it wrote, which also reads as disarmed.
    EXPECT_EQ(ProgramWakeAlarm(sysfs_, std::nullopt, WriteAttribute), kIOReturnSuccess);
    EXPECT_EQ(Alarm(), "0");

    EXPECT_EQ(ProgramWakeAlarm(sysfs_, SecondsFromNow(60), FailingWriter), kIOReturnNotPermitted);
    // An RTC that keeps a time other than the one written would wake the machine at that time.
    AttributeWriter shifting = [](const char *path, const char *text) {
        return KernelLikeWriter(path, std::atoll(text) > 0 ? std::to_string(std::atoll(text) + 60).c_str() : text);
    };
    EXPECT_EQ(ProgramWakeAlarm(sysfs_, SecondsFromNow(60), shifting), kIOReturnError);
    // An RTC whose clock cannot be read is taken to keep UTC.
    ASSERT_EQ(::unlink((sysfs_ + "/class/rtc/rtc0/since_epoch").c_str()), 0);
    CFAbsoluteTime when = SecondsFromNow(120) + 0.999;
    EXPECT_EQ(ProgramWakeAlarm(sysfs_, when, WriteAttribute), kIOReturnSuccess);
    EXPECT_EQ(Alarm(), UnixSecondsText(when));
}

TEST_F(RtcTest, FindsTheFirstWakeCapableRtcInNaturalOrder) {
    EXPECT_EQ(FindWakeRtc(sysfs_), "");
    EXPECT_EQ(FindWakeRtc(root_ + "/nonexistent"), "");
    AddRtc("rtc11");
    AddRtc("rtc3", "disabled");
    AddRtc("rtc9");
    AddRtc("rtc1", "enabled", 0, false);
    EXPECT_EQ(FindWakeRtc(sysfs_), sysfs_ + "/class/rtc/rtc9");
}

}  // namespace
}  // namespace wfs::iokit::test
