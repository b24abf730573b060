// Scheduling, cancelling and listing through the public calls, with the RTC they program.
#include "IOKitTestSupport.h"

#include "IsoDate.h"
#include "PowerEventPlist.h"
#include "PowerEventStore.h"

namespace wfs::iokit::test {
namespace {

using ScheduleTest = PowerEventTest;

TEST_F(ScheduleTest, ScheduleAndCancelKeepTheRtcOnTheEarliestWakingEvent) {
    WFS_REQUIRE_ROOT();
    AddRtc("rtc0");
    CFAbsoluteTime later = SecondsFromNow(7200);
    CFAbsoluteTime earlier = SecondsFromNow(1800) + 0.75;  // fraction: the RTC rounds down
    ASSERT_EQ(Schedule(later, "org.example.one", kIOPMAutoWakeOrPowerOn), kIOReturnSuccess);
    EXPECT_EQ(Alarm(), UnixSecondsText(later));
    // Disarmed first: the kernel refuses a new alarm over an armed one.
    EXPECT_EQ(RecordedWrites(), (std::vector<std::string>{"0", UnixSecondsText(later)}));

    EXPECT_EQ(ModeOf(storePath_), 0644u);
    EXPECT_EQ(ModeOf(storeFolder_), 0755u);
    // Only the store and its lock: no temporary file is left behind.
    EXPECT_EQ(FolderEntries(storeFolder_),
              (std::vector<std::string>{"scheduled-power-events.plist", "scheduled-power-events.plist.lock"}));

    ASSERT_EQ(Schedule(earlier, "org.example.two", kIOPMAutoPowerOn), kIOReturnSuccess);
    EXPECT_EQ(Alarm(), UnixSecondsText(earlier));
    // Sleep, shutdown and restart are stored but never arm the RTC, even when earlier.
    for (const char *type : {kIOPMAutoSleep, kIOPMAutoShutdown, kIOPMAutoRestart}) {
        EXPECT_EQ(Schedule(SecondsFromNow(60), "org.example.three", type), kIOReturnSuccess) << type;
    }
    EXPECT_EQ(Alarm(), UnixSecondsText(earlier));
    std::vector<ListedEvent> listed = List();
    ASSERT_EQ(listed.size(), 5u);
    EXPECT_EQ(listed[3].time, earlier);  // sorted by date, fraction kept exactly
    EXPECT_EQ(listed[3].scheduler, "org.example.two");
    EXPECT_EQ(listed[3].type, "poweron");
    EXPECT_EQ(listed[4].time, later);

    ASSERT_EQ(Cancel(earlier, "org.example.two", kIOPMAutoPowerOn), kIOReturnSuccess);
    EXPECT_EQ(Alarm(), UnixSecondsText(later));
    ASSERT_EQ(Cancel(later, "org.example.one", kIOPMAutoWakeOrPowerOn), kIOReturnSuccess);
    EXPECT_EQ(Alarm(), "");
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
    EXPECT_EQ(Cancel(when, "org.example.alarm", kIOPMAutoWake), kIOReturnSuccess);
    EXPECT_EQ(Cancel(when, "org.example.alarm", kIOPMAutoWake), kIOReturnNotFound);
    EXPECT_EQ(IOPMCopyScheduledPowerEvents(), nullptr);
}

TEST_F(ScheduleTest, RtcKeptInLocalTimeGetsTheZoneOffset) {
    WFS_REQUIRE_ROOT();
    AddRtc("rtc0", "enabled", -(5 * 3600 + 30 * 60) + 25);  // UTC-5:30, drifted
    CFAbsoluteTime when = SecondsFromNow(3600);
    ASSERT_EQ(Schedule(when, "org.example.alarm", kIOPMAutoWake), kIOReturnSuccess);
    EXPECT_EQ(Alarm(), UnixSecondsText(when - (5 * 3600 + 30 * 60)));
}

TEST_F(ScheduleTest, PastEventsAreDroppedAndRefused) {
    WFS_REQUIRE_ROOT();
    AddRtc("rtc0");
    EXPECT_EQ(Schedule(SecondsFromNow(-60), "org.example.alarm", kIOPMAutoWake), kIOReturnBadArgument);
    EXPECT_FALSE(std::filesystem::exists(storePath_));

    // A store written when the first of these was still ahead.
    CFAbsoluteTime past = SecondsFromNow(-3600), future = SecondsFromNow(7200);
    std::string document = "<plist version=\"1.0\"><array>";
    for (auto [t, who] : {std::pair{past, "org.example.old"}, std::pair{future, "org.example.new"}}) {
        document += std::string("<dict><key>eventtype</key><string>wake</string><key>scheduledby</key><string>") +
                    who + "</string><key>time</key><date>" + wfs::pmset::FormatIsoDate(t) + "</date></dict>";
    }
    ASSERT_EQ(::mkdir(storeFolder_.c_str(), 0755), 0);
    WriteFile(storePath_, document + "</array></plist>\n");
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

TEST_F(ScheduleTest, EachOwnerHasSixtyFourEventsAndTheStoreAThousandTwentyFour) {
    WFS_REQUIRE_ROOT();
    CFAbsoluteTime base = SecondsFromNow(3600) + 0.5;
    // Scheduler names are anyone's free text: fresh names do not buy a user more events.
    for (int i = 0; i < 64; ++i) {
        ASSERT_EQ(Schedule(base + i, "org.example.n" + std::to_string(i), kIOPMAutoSleep, 1000), kIOReturnSuccess) << i;
    }
    std::string full = StoreBytes();
    EXPECT_EQ(Schedule(base + 64, "org.example.fresh", kIOPMAutoSleep, 1000), kIOReturnNoSpace);
    // Scheduling one it already has is no new event, and stores nothing twice.
    EXPECT_EQ(Schedule(base + 10, "org.example.n10", kIOPMAutoSleep, 1000), kIOReturnSuccess);
    EXPECT_EQ(StoreBytes(), full);
    // Another user's share is their own, and the same event of two users is two events.
    EXPECT_EQ(Schedule(base, "org.example.n0", kIOPMAutoSleep, 1001), kIOReturnSuccess);
    ASSERT_EQ(Cancel(base, "org.example.n0", kIOPMAutoSleep, 1000), kIOReturnSuccess);
    EXPECT_EQ(Schedule(base + 64, "org.example.fresh", kIOPMAutoSleep, 1000), kIOReturnSuccess);

    // A store at its limit, with the longest names and the most escaping, still reads back: the
    // next event is refused rather than written into a store that could not be read again.
    std::vector<PowerEvent> events;
    for (uid_t owner = 0; owner < kMaxEvents / kMaxEventsPerOwner; ++owner) {
        for (size_t i = 0; i < kMaxEventsPerOwner; ++i) {
            events.push_back({base + static_cast<double>(i) + 0.123456789, std::string(kMaxSchedulerBytes, '&'), "sleep",
                              owner + 2000});
        }
    }
    std::string document;
    ASSERT_EQ(EncodeEvents(events, document), kIOReturnSuccess);
    EXPECT_LT(document.size(), kMaxStoreBytes / 2);
    WriteFile(storePath_, document);
    EXPECT_EQ(Schedule(base, "org.example.late", kIOPMAutoSleep, 3000), kIOReturnNoSpace);
    EXPECT_EQ(StoreBytes(), document);
    EXPECT_EQ(List().size(), kMaxEvents);
    ASSERT_EQ(Cancel(base + 0.123456789, std::string(kMaxSchedulerBytes, '&'), "sleep", 2000), kIOReturnSuccess);
    EXPECT_EQ(Schedule(base, "org.example.late", kIOPMAutoSleep, 3000), kIOReturnSuccess);
}

// (That another user cannot cancel an event is the hostile-user tests'.)
TEST_F(ScheduleTest, EachUserCancelsTheirOwnAndRootEveryOne) {
    WFS_REQUIRE_ROOT();
    AddRtc("rtc0");
    CFAbsoluteTime when = SecondsFromNow(1800);
    // The same event of two users.
    ASSERT_EQ(Schedule(when, "org.example.alarm", kIOPMAutoWake, 1000), kIOReturnSuccess);
    ASSERT_EQ(Schedule(when, "org.example.alarm", kIOPMAutoWake, 1001), kIOReturnSuccess);
    ASSERT_EQ(Cancel(when, "org.example.alarm", kIOPMAutoWake, 1001), kIOReturnSuccess);
    std::vector<ListedEvent> listed = List();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_EQ(listed[0].owner, 1000);
    ASSERT_EQ(Schedule(when, "org.example.alarm", kIOPMAutoWake, 1001), kIOReturnSuccess);
    EXPECT_EQ(Cancel(when, "org.example.alarm", kIOPMAutoWake, 0), kIOReturnSuccess);
    EXPECT_TRUE(List().empty());
    EXPECT_EQ(Alarm(), "");

    // The plain calls act for the process's real user.
    ASSERT_EQ(Schedule(when, "org.example.alarm", kIOPMAutoWake), kIOReturnSuccess);
    EXPECT_EQ(List().at(0).owner, static_cast<long long>(::getuid()));
}

TEST_F(ScheduleTest, MalformedArgumentsAreRefusedWithNothingChanged) {
    WFS_REQUIRE_ROOT();
    CFAbsoluteTime when = SecondsFromNow(3600);
    std::string euro = "\xe2\x82\xac", fits;  // three bytes in UTF-8, one character
    for (int i = 0; i < 85; ++i) fits += euro;
    for (const std::string &scheduler : {std::string(256, 'a'), std::string(), fits + euro}) {
        EXPECT_EQ(Schedule(when, scheduler, kIOPMAutoSleep), kIOReturnBadArgument) << scheduler.size();
    }
    for (const char *type : {"Wake", "", "hibernate", "wake "}) {
        EXPECT_EQ(Schedule(when, "org.example.alarm", type), kIOReturnBadArgument) << type;
        EXPECT_EQ(Cancel(when, "org.example.alarm", type), kIOReturnBadArgument) << type;
    }
    CFRef<CFDateRef> date(CFDateCreate(nullptr, when));
    CFRef<CFStringRef> who = Str("org.example.alarm");
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
    EXPECT_FALSE(std::filesystem::exists(storeFolder_));

    // The limits themselves are accepted: 255 bytes, 85 three-byte characters.
    EXPECT_EQ(Schedule(when, std::string(255, 'a'), kIOPMAutoSleep), kIOReturnSuccess);
    EXPECT_EQ(Schedule(when, fits, kIOPMAutoSleep), kIOReturnSuccess);
    std::vector<ListedEvent> listed = List();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_TRUE(listed[0].scheduler == fits || listed[1].scheduler == fits);
}

TEST_F(ScheduleTest, OnlyRootChangesEventsButAnyoneLists) {
    WFS_REQUIRE_ROOT();
    AddRtc("rtc0");
    CFAbsoluteTime when = SecondsFromNow(1800);
    ASSERT_EQ(Schedule(when, "org.example.alarm", kIOPMAutoWake), kIOReturnSuccess);
    std::string before = StoreBytes();
    std::vector<std::string> entries = FolderEntries(storeFolder_);

    RunInChild(
        [] {
            CFAbsoluteTime time = SecondsFromNow(3600);
            WFS_CHILD_EXPECT_EQ(Schedule(time, "org.example.intruder", kIOPMAutoWake), kIOReturnNotPrivileged);
            WFS_CHILD_EXPECT_EQ(Cancel(time, "org.example.intruder", kIOPMAutoWake), kIOReturnNotPrivileged);
            WFS_CHILD_EXPECT_EQ(IOPMRearmScheduledPowerEvents(), kIOReturnNotPrivileged);
            std::vector<ListedEvent> listed = List();  // listing needs no privilege
            WFS_CHILD_EXPECT(listed.size() == 1 && listed[0].scheduler == "org.example.alarm");
            if (!listed.empty()) {
                WFS_CHILD_EXPECT_EQ(Cancel(listed[0].time, "org.example.alarm", kIOPMAutoWake), kIOReturnNotPrivileged);
            }
        },
        ChildSetup().AsNobody());
    EXPECT_EQ(StoreBytes(), before);
    EXPECT_EQ(FolderEntries(storeFolder_), entries);
    EXPECT_EQ(Alarm(), UnixSecondsText(when));
}

// The RTC silently keeping another time (the kernel disables an alarm it thinks is past).
int IgnoringWriter(const char *path, const char *) {
    WriteFile(path, "");
    return 0;
}

TEST_F(ScheduleTest, RearmRestoresALostAlarmAndAnAlarmThatDoesNotReadBackIsAnError) {
    WFS_REQUIRE_ROOT();
    AddRtc("rtc0");
    CFAbsoluteTime when = SecondsFromNow(5400);
    ASSERT_EQ(Schedule(when, "org.example.alarm", kIOPMAutoWake), kIOReturnSuccess);
    WriteFile(sysfs_ + "/class/rtc/rtc0/wakealarm", "");  // a power cycle lost it
    EXPECT_EQ(IOPMRearmScheduledPowerEvents(), kIOReturnSuccess);
    EXPECT_EQ(Alarm(), UnixSecondsText(when));

    SetAttributeWriterForTesting(IgnoringWriter);
    EXPECT_EQ(Schedule(when + 60, "org.example.alarm", kIOPMAutoWake), kIOReturnError);
    EXPECT_EQ(List().size(), 2u);  // stored all the same
    SetAttributeWriterForTesting(KernelLikeWriter);

    ASSERT_EQ(Cancel(when, "org.example.alarm", kIOPMAutoWake), kIOReturnSuccess);
    ASSERT_EQ(Cancel(when + 60, "org.example.alarm", kIOPMAutoWake), kIOReturnSuccess);
    WriteFile(sysfs_ + "/class/rtc/rtc0/wakealarm", "12345\n");  // someone else's stale alarm
    EXPECT_EQ(IOPMRearmScheduledPowerEvents(), kIOReturnSuccess);
    EXPECT_EQ(Alarm(), "");
}

}  // namespace
}  // namespace wfs::iokit::test
