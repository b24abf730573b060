// Scheduling, cancelling and listing through the public calls, with the RTC they program.
#include "IOKitTestSupport.h"

#include "IsoDate.h"
#include "RtcWakeAlarm.h"

#include <sys/stat.h>
#include <cmath>
#include <unistd.h>

namespace wfs::iokit::test {
namespace {

using ScheduleTest = PowerEventTest;

TEST_F(ScheduleTest, ScheduleStoresEventAndArmsRtc) {
    WFS_REQUIRE_ROOT();
    AddRtc("rtc0");
    CFAbsoluteTime when = SecondsFromNow(3600);
    ASSERT_EQ(Schedule(when, "org.example.alarm", kIOPMAutoWakeOrPowerOn), kIOReturnSuccess);

    std::vector<ListedEvent> listed = List();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].time, when);
    EXPECT_EQ(listed[0].scheduler, "org.example.alarm");
    EXPECT_EQ(listed[0].type, "wakepoweron");
    EXPECT_EQ(Alarm(), UnixSecondsText(when));
    // Disarmed first: the kernel refuses a new alarm over an armed one.
    ASSERT_EQ(RecordedWrites().size(), 2u);
    EXPECT_EQ(RecordedWrites()[0], "0");

    struct stat st;
    ASSERT_EQ(::stat(storePath_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    EXPECT_EQ(st.st_uid, 0u);
    EXPECT_EQ(st.st_gid, 0u);
    ASSERT_EQ(::stat(storeFolder_.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0755u);
    // Only the store and its lock: no temporary file is left behind.
    EXPECT_EQ(FolderEntries(storeFolder_),
              (std::vector<std::string>{"scheduled-power-events.plist", "scheduled-power-events.plist.lock"}));
}

TEST_F(ScheduleTest, EarlierEventMovesRtcAndCancellingMovesItBack) {
    WFS_REQUIRE_ROOT();
    AddRtc("rtc0");
    CFAbsoluteTime later = SecondsFromNow(7200);
    CFAbsoluteTime earlier = SecondsFromNow(1800) + 0.75;  // fraction: the RTC rounds down
    ASSERT_EQ(Schedule(later, "org.example.one", kIOPMAutoWake), kIOReturnSuccess);
    EXPECT_EQ(Alarm(), UnixSecondsText(later));
    ASSERT_EQ(Schedule(earlier, "org.example.two", kIOPMAutoPowerOn), kIOReturnSuccess);
    EXPECT_EQ(Alarm(), UnixSecondsText(earlier));

    std::vector<ListedEvent> listed = List();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_EQ(listed[0].time, earlier);  // sorted by date, fraction kept exactly
    EXPECT_EQ(listed[1].time, later);

    ASSERT_EQ(Cancel(earlier, "org.example.two", kIOPMAutoPowerOn), kIOReturnSuccess);
    EXPECT_EQ(Alarm(), UnixSecondsText(later));
    ASSERT_EQ(Cancel(later, "org.example.one", kIOPMAutoWake), kIOReturnSuccess);
    EXPECT_EQ(Alarm(), "");
    EXPECT_EQ(IOPMCopyScheduledPowerEvents(), nullptr);
}

TEST_F(ScheduleTest, CancellingAnUnknownEventIsNotFoundAndChangesNothing) {
    WFS_REQUIRE_ROOT();
    AddRtc("rtc0");
    CFAbsoluteTime when = SecondsFromNow(600) + 0.123456789;
    ASSERT_EQ(Schedule(when, "org.example.alarm", kIOPMAutoWake), kIOReturnSuccess);
    std::string before = StoreBytes();
    size_t writes = RecordedWrites().size();

    EXPECT_EQ(Cancel(when, "org.example.other", kIOPMAutoWake), kIOReturnNotFound);
    EXPECT_EQ(Cancel(when, "org.example.alarm", kIOPMAutoPowerOn), kIOReturnNotFound);
    // Dates must match exactly, not to the second.
    EXPECT_EQ(Cancel(when + 1e-6, "org.example.alarm", kIOPMAutoWake), kIOReturnNotFound);
    EXPECT_EQ(Cancel(std::floor(when), "org.example.alarm", kIOPMAutoWake), kIOReturnNotFound);
    EXPECT_EQ(StoreBytes(), before);
    EXPECT_EQ(RecordedWrites().size(), writes);
    EXPECT_EQ(Alarm(), UnixSecondsText(when));

    EXPECT_EQ(Cancel(when, "org.example.alarm", kIOPMAutoWake), kIOReturnSuccess);
    EXPECT_EQ(Cancel(when, "org.example.alarm", kIOPMAutoWake), kIOReturnNotFound);
}

TEST_F(ScheduleTest, NonWakingEventsNeverArmTheRtc) {
    WFS_REQUIRE_ROOT();
    AddRtc("rtc0");
    for (const char *type : {kIOPMAutoSleep, kIOPMAutoShutdown, kIOPMAutoRestart}) {
        EXPECT_EQ(Schedule(SecondsFromNow(300), "org.example.alarm", type), kIOReturnSuccess) << type;
        EXPECT_EQ(Alarm(), "") << type;
    }
    EXPECT_EQ(List().size(), 3u);
    CFAbsoluteTime wake = SecondsFromNow(900);
    ASSERT_EQ(Schedule(wake, "org.example.alarm", kIOPMAutoWake), kIOReturnSuccess);
    // An earlier sleep leaves the wake alarm where it is.
    ASSERT_EQ(Schedule(SecondsFromNow(60), "org.example.other", kIOPMAutoSleep), kIOReturnSuccess);
    EXPECT_EQ(Alarm(), UnixSecondsText(wake));
}

TEST_F(ScheduleTest, WithoutRtcTheEventIsStoredAndTheAnswerIsNoDevice) {
    WFS_REQUIRE_ROOT();
    CFAbsoluteTime when = SecondsFromNow(3600);
    EXPECT_EQ(Schedule(when, "org.example.alarm", kIOPMAutoWakeOrPowerOn), kIOReturnNoDevice);
    ASSERT_EQ(List().size(), 1u);
    EXPECT_EQ(List()[0].time, when);
    // A waking event is still pending, so the RTC is still missed.
    EXPECT_EQ(Schedule(when, "org.example.alarm", kIOPMAutoSleep), kIOReturnNoDevice);
    // With nothing left to wake for, nothing is missing.
    EXPECT_EQ(Cancel(when, "org.example.alarm", kIOPMAutoWakeOrPowerOn), kIOReturnSuccess);
    EXPECT_EQ(Schedule(when + 1, "org.example.alarm", kIOPMAutoShutdown), kIOReturnSuccess);
    EXPECT_TRUE(RecordedWrites().empty());
}

TEST_F(ScheduleTest, RtcsThatCannotWakeAreSkipped) {
    WFS_REQUIRE_ROOT();
    AddRtc("rtc0", "disabled");
    AddRtc("rtc1", "enabled", 0, /*withWakealarm=*/false);
    CFAbsoluteTime when = SecondsFromNow(3600);
    EXPECT_EQ(Schedule(when, "org.example.alarm", kIOPMAutoWake), kIOReturnNoDevice);
    EXPECT_EQ(Alarm("rtc0"), "");

    // Natural order: rtc2 comes before rtc10.
    AddRtc("rtc10");
    AddRtc("rtc2");
    EXPECT_EQ(Schedule(when + 60, "org.example.alarm", kIOPMAutoWake), kIOReturnSuccess);
    EXPECT_EQ(Alarm("rtc2"), UnixSecondsText(when));
    EXPECT_EQ(Alarm("rtc10"), "");
    EXPECT_EQ(Alarm("rtc0"), "");
}

TEST_F(ScheduleTest, RtcKeptInLocalTimeGetsTheZoneOffset) {
    WFS_REQUIRE_ROOT();
    // Two hours ahead plus a little drift: the offset is the whole two hours.
    AddRtc("rtc0", "enabled", 2 * 3600 + 40);
    CFAbsoluteTime when = SecondsFromNow(3600);
    ASSERT_EQ(Schedule(when, "org.example.alarm", kIOPMAutoWake), kIOReturnSuccess);
    EXPECT_EQ(Alarm(), UnixSecondsText(when + 2 * 3600));
}

TEST_F(ScheduleTest, RtcBehindUtcAndRtcWithOnlyDrift) {
    WFS_REQUIRE_ROOT();
    AddRtc("rtc0", "enabled", -(5 * 3600 + 30 * 60) + 25);  // UTC-5:30, drifted
    AddRtc("rtc1", "enabled", 5 * 60);                       // UTC, five minutes off
    CFAbsoluteTime when = SecondsFromNow(3600);
    ASSERT_EQ(Schedule(when, "org.example.alarm", kIOPMAutoWake), kIOReturnSuccess);
    EXPECT_EQ(Alarm("rtc0"), UnixSecondsText(when - (5 * 3600 + 30 * 60)));

    std::string rtc0 = sysfs_ + "/class/rtc/rtc0";
    WriteFile(rtc0 + "/device/power/wakeup", "disabled\n");
    ASSERT_EQ(Schedule(when + 10, "org.example.alarm", kIOPMAutoWake), kIOReturnSuccess);
    EXPECT_EQ(Alarm("rtc1"), UnixSecondsText(when));
}

TEST_F(ScheduleTest, PastEventsAreDroppedAndRefused) {
    WFS_REQUIRE_ROOT();
    AddRtc("rtc0");
    EXPECT_EQ(Schedule(SecondsFromNow(-60), "org.example.alarm", kIOPMAutoWake), kIOReturnBadArgument);
    EXPECT_FALSE(Exists(storePath_));

    // A store written when these were still ahead.
    CFAbsoluteTime past = SecondsFromNow(-3600);
    CFAbsoluteTime future = SecondsFromNow(7200);
    ASSERT_EQ(::mkdir(storeFolder_.c_str(), 0755), 0);
    auto entry = [](CFAbsoluteTime t, const char *who, const char *type) {
        return std::string("<dict><key>eventtype</key><string>") + type + "</string><key>scheduledby</key><string>" +
               who + "</string><key>time</key><date>" + wfs::pmset::FormatIsoDate(t) + "</date></dict>";
    };
    WriteFile(storePath_, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><array>" +
                              entry(past, "org.example.old", "wake") + entry(future, "org.example.new", "wake") +
                              "</array></plist>\n");
    std::vector<ListedEvent> listed = List();
    ASSERT_EQ(listed.size(), 1u);  // listing never shows what is past
    EXPECT_EQ(listed[0].scheduler, "org.example.new");
    EXPECT_NE(StoreBytes().find("org.example.old"), std::string::npos);  // and changes nothing

    ASSERT_EQ(Schedule(SecondsFromNow(9000), "org.example.third", kIOPMAutoSleep), kIOReturnSuccess);
    EXPECT_EQ(StoreBytes().find("org.example.old"), std::string::npos);
    EXPECT_EQ(List().size(), 2u);
    EXPECT_EQ(Alarm(), UnixSecondsText(future));
    EXPECT_EQ(Cancel(past, "org.example.old", kIOPMAutoWake), kIOReturnNotFound);
}

TEST_F(ScheduleTest, SchedulingTwiceStoresOnce) {
    WFS_REQUIRE_ROOT();
    CFAbsoluteTime when = SecondsFromNow(3600) + 0.5;
    ASSERT_EQ(Schedule(when, "org.example.alarm", kIOPMAutoSleep), kIOReturnSuccess);
    std::string once = StoreBytes();
    ASSERT_EQ(Schedule(when, "org.example.alarm", kIOPMAutoSleep), kIOReturnSuccess);
    EXPECT_EQ(StoreBytes(), once);
    EXPECT_EQ(List().size(), 1u);
    // Same date, different scheduler or type: distinct events.
    ASSERT_EQ(Schedule(when, "org.example.other", kIOPMAutoSleep), kIOReturnSuccess);
    ASSERT_EQ(Schedule(when, "org.example.alarm", kIOPMAutoShutdown), kIOReturnSuccess);
    EXPECT_EQ(List().size(), 3u);
}

TEST_F(ScheduleTest, AtMostSixtyFourPendingEventsPerScheduler) {
    WFS_REQUIRE_ROOT();
    CFAbsoluteTime base = SecondsFromNow(3600);
    for (int i = 0; i < 64; ++i) {
        ASSERT_EQ(Schedule(base + i, "org.example.busy", kIOPMAutoSleep), kIOReturnSuccess) << i;
    }
    std::string full = StoreBytes();
    EXPECT_EQ(Schedule(base + 64, "org.example.busy", kIOPMAutoSleep), kIOReturnBadArgument);
    EXPECT_EQ(StoreBytes(), full);
    // Scheduling one it already has is no new event; another scheduler has its own allowance.
    EXPECT_EQ(Schedule(base + 10, "org.example.busy", kIOPMAutoSleep), kIOReturnSuccess);
    EXPECT_EQ(Schedule(base + 64, "org.example.calm", kIOPMAutoSleep), kIOReturnSuccess);
    // Cancelling one frees a place.
    ASSERT_EQ(Cancel(base, "org.example.busy", kIOPMAutoSleep), kIOReturnSuccess);
    EXPECT_EQ(Schedule(base + 64, "org.example.busy", kIOPMAutoSleep), kIOReturnSuccess);
    EXPECT_EQ(List().size(), 65u);
}

TEST_F(ScheduleTest, SchedulerIdentifiersAreOneTo255Bytes) {
    WFS_REQUIRE_ROOT();
    CFAbsoluteTime when = SecondsFromNow(3600);
    EXPECT_EQ(Schedule(when, std::string(255, 'a'), kIOPMAutoSleep), kIOReturnSuccess);
    EXPECT_EQ(Schedule(when, std::string(256, 'a'), kIOPMAutoSleep), kIOReturnBadArgument);
    EXPECT_EQ(Schedule(when, "", kIOPMAutoSleep), kIOReturnBadArgument);
    std::string euro = "\xe2\x82\xac";  // three bytes in UTF-8, one character
    std::string fits, tooLong;
    for (int i = 0; i < 85; ++i) fits += euro;
    tooLong = fits + euro;
    EXPECT_EQ(Schedule(when, fits, kIOPMAutoSleep), kIOReturnSuccess);
    EXPECT_EQ(Schedule(when, tooLong, kIOPMAutoSleep), kIOReturnBadArgument);
    std::vector<ListedEvent> listed = List();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_TRUE(listed[0].scheduler == fits || listed[1].scheduler == fits);
}

TEST_F(ScheduleTest, MalformedArgumentsAreRefusedWithNothingChanged) {
    WFS_REQUIRE_ROOT();
    CFAbsoluteTime when = SecondsFromNow(3600);
    for (const char *type : {"Wake", "", "hibernate", "wake "}) {
        EXPECT_EQ(Schedule(when, "org.example.alarm", type), kIOReturnBadArgument) << type;
        EXPECT_EQ(Cancel(when, "org.example.alarm", type), kIOReturnBadArgument) << type;
    }
    CFRef<CFDateRef> date = Date(when);
    CFRef<CFStringRef> who = String("org.example.alarm");
    CFStringRef wake = CFSTR(kIOPMAutoWake);
    EXPECT_EQ(IOPMSchedulePowerEvent(nullptr, who.get(), wake), kIOReturnBadArgument);
    EXPECT_EQ(IOPMSchedulePowerEvent(date.get(), nullptr, wake), kIOReturnBadArgument);
    EXPECT_EQ(IOPMSchedulePowerEvent(date.get(), who.get(), nullptr), kIOReturnBadArgument);
    EXPECT_EQ(IOPMCancelScheduledPowerEvent(nullptr, who.get(), wake), kIOReturnBadArgument);
    // Objects of the wrong type where a date or a string belongs.
    EXPECT_EQ(IOPMSchedulePowerEvent(reinterpret_cast<CFDateRef>(who.get()), who.get(), wake), kIOReturnBadArgument);
    EXPECT_EQ(IOPMSchedulePowerEvent(date.get(), reinterpret_cast<CFStringRef>(date.get()), wake), kIOReturnBadArgument);
    // Beyond what the store's date format can hold.
    EXPECT_EQ(Schedule(1e12, "org.example.alarm", kIOPMAutoWake), kIOReturnBadArgument);
    EXPECT_EQ(Schedule(std::nan(""), "org.example.alarm", kIOPMAutoWake), kIOReturnBadArgument);
    EXPECT_FALSE(Exists(storeFolder_));
}

int ScheduleAsNobody() {
    CFAbsoluteTime when = SecondsFromNow(3600);
    if (Schedule(when, "org.example.intruder", kIOPMAutoWake) != kIOReturnNotPrivileged) return 1;
    if (Cancel(when, "org.example.intruder", kIOPMAutoWake) != kIOReturnNotPrivileged) return 2;
    if (IOPMRearmScheduledPowerEvents() != kIOReturnNotPrivileged) return 3;
    // Listing needs no privilege.
    std::vector<ListedEvent> listed = List();
    if (listed.size() != 1 || listed[0].scheduler != "org.example.alarm") return 4;
    if (Cancel(listed[0].time, "org.example.alarm", kIOPMAutoWake) != kIOReturnNotPrivileged) return 5;
    return 0;
}

TEST_F(ScheduleTest, OnlyRootChangesEventsButAnyoneLists) {
    WFS_REQUIRE_ROOT();
    AddRtc("rtc0");
    CFAbsoluteTime when = SecondsFromNow(1800);
    ASSERT_EQ(Schedule(when, "org.example.alarm", kIOPMAutoWake), kIOReturnSuccess);
    std::string before = StoreBytes();
    std::vector<std::string> entries = FolderEntries(storeFolder_);
    RecordedWrites().clear();

    EXPECT_EQ(RunAsNobody(ScheduleAsNobody), 0);
    EXPECT_EQ(StoreBytes(), before);
    EXPECT_EQ(FolderEntries(storeFolder_), entries);
    EXPECT_EQ(Alarm(), UnixSecondsText(when));
}

TEST_F(ScheduleTest, RearmRestoresALostAlarm) {
    WFS_REQUIRE_ROOT();
    AddRtc("rtc0");
    CFAbsoluteTime when = SecondsFromNow(5400);
    ASSERT_EQ(Schedule(when, "org.example.alarm", kIOPMAutoWake), kIOReturnSuccess);
    WriteFile(sysfs_ + "/class/rtc/rtc0/wakealarm", "");  // a power cycle lost it
    EXPECT_EQ(IOPMRearmScheduledPowerEvents(), kIOReturnSuccess);
    EXPECT_EQ(Alarm(), UnixSecondsText(when));
    ASSERT_EQ(Cancel(when, "org.example.alarm", kIOPMAutoWake), kIOReturnSuccess);
    WriteFile(sysfs_ + "/class/rtc/rtc0/wakealarm", "12345\n");  // someone else's stale alarm
    EXPECT_EQ(IOPMRearmScheduledPowerEvents(), kIOReturnSuccess);
    EXPECT_EQ(Alarm(), "");
}

// The RTC silently keeping another time (the kernel disables an alarm it thinks is past).
int IgnoringWriter(const char *path, const char *) {
    WriteFile(path, "");
    return 0;
}

TEST_F(ScheduleTest, AnAlarmThatDoesNotReadBackIsAnErrorButTheEventStays) {
    WFS_REQUIRE_ROOT();
    AddRtc("rtc0");
    SetAttributeWriterForTesting(IgnoringWriter);
    CFAbsoluteTime when = SecondsFromNow(600);
    EXPECT_EQ(Schedule(when, "org.example.alarm", kIOPMAutoWake), kIOReturnError);
    ASSERT_EQ(List().size(), 1u);
}

}  // namespace
}  // namespace wfs::iokit::test
