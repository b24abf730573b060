// wfs-pmset: its dates, and the program itself run as a child process.
#include "IOKitTestSupport.h"

#include "IsoDate.h"
#include "ListingText.h"
#include "PowerEventStore.h"

#include <fcntl.h>
#include <sys/file.h>

namespace wfs::iokit::test {
namespace {

using wfs::pmset::FormatIsoDate;
using wfs::pmset::ParseIsoDate;

TEST(IsoDate, ParsesUtcOffsetsAndFractions) {
    CFAbsoluteTime t = -1;
    ASSERT_TRUE(ParseIsoDate("2001-01-01T00:00:00Z", t));
    EXPECT_EQ(t, 0.0);
    ASSERT_TRUE(ParseIsoDate("2026-12-06T08:15:30Z", t));
    EXPECT_EQ(t + kCFAbsoluteTimeIntervalSince1970, 1796544930.0);
    CFAbsoluteTime zoned = 0;
    ASSERT_TRUE(ParseIsoDate("2026-12-06T10:15:30+02:00", zoned));
    EXPECT_EQ(zoned, t);
    ASSERT_TRUE(ParseIsoDate("2026-12-06T02:45:30-0530", zoned));
    EXPECT_EQ(zoned, t);
    ASSERT_TRUE(ParseIsoDate("2026-12-06T08:15:30.25Z", zoned));
    EXPECT_EQ(zoned, t + 0.25);
    ASSERT_TRUE(ParseIsoDate("2000-02-29T23:59:59Z", t));
    ASSERT_TRUE(ParseIsoDate("1970-01-01T00:00:00Z", t));
    EXPECT_EQ(t, -kCFAbsoluteTimeIntervalSince1970);

    for (const char *bad : {"", "2026-12-06", "2026-12-06T08:15:30", "2026-13-01T00:00:00Z",
                            "2026-02-29T00:00:00Z", "2100-02-29T00:00:00Z", "2026-04-31T00:00:00Z", "2026-12-06T24:00:00Z",
                            "2026-12-06T08:60:00Z", "2026-12-06T08:15:60Z", "2026-12-06T08:15:30Zjunk",
                            "2026-12-06T08:15:30.Z", "2026-12-06T08:15:30.5e3Z", "0000-01-01T00:00:00Z",
                            "2026-12-06 08:15:30Z", "2026-12-06T08:15:30+2:00", "+2026-12-06T08:15:30Z",
                            "2026-12-06T08:15:30+24:00"}) {
        EXPECT_FALSE(ParseIsoDate(bad, t)) << bad;
    }
}

TEST(IsoDate, FormattedDatesParseBackExactly) {
    EXPECT_EQ(FormatIsoDate(0), "2001-01-01T00:00:00Z");
    EXPECT_EQ(FormatIsoDate(0.5), "2001-01-01T00:00:00.5Z");
    EXPECT_EQ(FormatIsoDate(-0.25), "2000-12-31T23:59:59.75Z");
    for (CFAbsoluteTime t : {0.1, 1.0 / 3, 818237730.123456789, -978307200.0 + 1e-6, 818237730.999999999,
                             std::nextafter(818237730.0, 1e12), 1e-9}) {
        std::string text = FormatIsoDate(t);
        CFAbsoluteTime back = 0;
        ASSERT_TRUE(ParseIsoDate(text.c_str(), back)) << text;
        EXPECT_EQ(back, t) << text;
    }
}

TEST(ListingText, EverythingATerminalWouldActOnIsShownEscaped) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"org.example.alarm", "org.example.alarm"},
        {"\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x94", "\xc3\xa9t\xc3\xa9 \xe2\x82\xac \xf0\x9f\x94\x94"},  // printable
        {"a\nb\tc\x1b[2J\x7f", "a\\x0ab\\x09c\\x1b[2J\\x7f"},                         // C0 and DEL
        {"\\x0a", "\\x5cx0a"},                                                       // no forged escapes
        {"\xc2\x85\xc2\x9b" "31m", "\\u0085\\u009b31m"},                              // C1: NEL, CSI
        {"abc\xe2\x80\xaegpj.exe", "abc\\u202egpj.exe"},                             // right-to-left override
        {"\xe2\x81\xa6x\xe2\x81\xa9\xe2\x80\x8b\xef\xbb\xbf\xe2\x80\xa8", "\\u2066x\\u2069\\u200b\\ufeff\\u2028"},
        {"\xf3\xa0\x80\x81\xef\xbf\xbe\xee\x80\x80", "\\U000e0001\\ufffe\\ue000"},   // tag, nonchar, private use
        {"\xff\xc0\x80\xed\xa0\x80\xe2\x82", "\\xff\\xc0\\x80\\xed\\xa0\\x80\\xe2\\x82"},  // not UTF-8
    };
    for (const auto &c : cases) EXPECT_EQ(wfs::pmset::EscapedForTerminal(c.in), c.out) << c.in;
}

// wfs-pmset run to its end with `arguments`, as nobody when asked.
Outcome Pmset(std::vector<std::string> arguments, bool asNobody = false) {
    arguments.insert(arguments.begin(), WFS_PMSET_PATH);
    return RunProgram(arguments, ChildSetup().AsNobody(asNobody));
}

using PmsetTest = PowerEventTest;

TEST_F(PmsetTest, EachCommandAndItsExitStatus) {
    WFS_REQUIRE_ROOT();
    const Outcome none = Pmset({"list"});
    EXPECT_TRUE(none.Exited(0) && none.out.empty()) << none;
    CFAbsoluteTime when = SecondsFromNow(3600);
    const std::string date = FormatIsoDate(when);
    // In order: each case runs on the store the ones before it left.
    const struct {
        std::vector<std::string> arguments;
        bool asNobody;
        int status;
        const char *says;  // on standard error
    } cases[] = {
        {{}, false, 2, "usage:"},
        {{"list", "extra"}, false, 2, "usage:"},
        {{"frobnicate"}, false, 2, "usage:"},
        {{"schedule", "wake", "tomorrow", "org.example.cli"}, false, 2, "not an ISO 8601 date"},
        {{"schedule", "nap", date, "org.example.cli"}, false, 4, "refused"},
        {{"schedule", "wake", "2001-01-01T00:00:00Z", "org.example.cli"}, false, 4, "refused"},
        {{"schedule", "wake", date, "\xff\xfe"}, false, 4, "UTF-8"},
        {{"schedule", "wake", date, "org.example.cli"}, false, 6, "stored"},  // no RTC here
        {{"rearm"}, false, 6, "stored"},
        {{"cancel", "wake", date, "org.example.other"}, false, 5, "no such scheduled event"},
        {{"schedule", "wake", date, "org.example.nobody"}, true, 3, "root"},
        {{"rearm"}, true, 3, "root"},
    };
    for (const auto &c : cases) {
        const Outcome outcome = Pmset(c.arguments, c.asNobody);
        EXPECT_TRUE(outcome.Exited(c.status)) << c.arguments.size() << ": " << outcome;
        EXPECT_NE(outcome.err.find(c.says), std::string::npos) << outcome.err;
    }
    Outcome help = Pmset({"--help"});
    EXPECT_TRUE(help.Exited(0));
    EXPECT_NE(help.out.find("exit status"), std::string::npos);
    Outcome nobodyList = Pmset({"list"}, true);
    EXPECT_TRUE(nobodyList.Exited(0)) << nobodyList;
    EXPECT_EQ(nobodyList.out, date + " wake root org.example.cli\n");

    // The RTC shows up after boot: rearm arms the earliest waking event, not an earlier sleep.
    const CFAbsoluteTime sleep = SecondsFromNow(60);
    ASSERT_EQ(Schedule(sleep, "org.example.alarm", kIOPMAutoSleep), kIOReturnNoDevice);
    AddRtc("rtc0");
    Outcome rearmed = Pmset({"rearm"});
    EXPECT_TRUE(rearmed.Exited(0)) << rearmed;
    EXPECT_EQ(Alarm(), UnixSecondsText(when));

    const std::string earlier = FormatIsoDate(when - 600);
    Outcome scheduled = Pmset({"schedule", "wakepoweron", earlier, "org.example.cli"});
    EXPECT_TRUE(scheduled.Exited(0)) << scheduled;
    EXPECT_EQ(Alarm(), UnixSecondsText(when - 600));
    // Scheduled by another program with a fraction and a name that tries to forge a line.
    ASSERT_EQ(Schedule(when + 0.125, "evil\nline", kIOPMAutoSleep), kIOReturnSuccess);
    Outcome listed = Pmset({"list"});
    EXPECT_TRUE(listed.Exited(0)) << listed;
    EXPECT_EQ(listed.out, FormatIsoDate(sleep) + " sleep root org.example.alarm\n" + earlier +
                              " wakepoweron root org.example.cli\n" + date + " wake root org.example.cli\n" +
                              FormatIsoDate(when + 0.125) + " sleep root evil\\x0aline\n");
    // The listed date, with its fraction, names the event exactly.
    EXPECT_TRUE(Pmset({"cancel", "sleep", FormatIsoDate(when + 0.125), "evil\nline"}).Exited(0));
    Outcome cancelled = Pmset({"cancel", "wakepoweron", earlier, "org.example.cli"});
    EXPECT_TRUE(cancelled.Exited(0)) << cancelled;
    EXPECT_EQ(Alarm(), UnixSecondsText(when));
}

TEST_F(PmsetTest, AStoreItCannotUseIsAnErrorNeverSilence) {
    WFS_REQUIRE_ROOT();
    // An event of a user with no account name is listed under its number.
    CFAbsoluteTime when = SecondsFromNow(3600);
    ASSERT_EQ(Schedule(when, "org.example.alarm", kIOPMAutoSleep, 54321), kIOReturnSuccess);
    EXPECT_EQ(Pmset({"list"}).out, FormatIsoDate(when) + " sleep 54321 org.example.alarm\n");

    // Damaged or too large: listing says so, for anyone, and leaves the file alone.
    for (const std::string &store : {std::string("<plist><array>"), std::string(kMaxStoreBytes + 1, ' ')}) {
        WriteFile(storePath_, store);
        Outcome listed = Pmset({"list"}, /*asNobody=*/true);
        EXPECT_TRUE(listed.Exited(1)) << listed;
        EXPECT_EQ(listed.out, "");
        EXPECT_NE(listed.err.find("cannot be read"), std::string::npos) << listed.err;
        EXPECT_EQ(StoreBytes().size(), store.size());
    }

    // A change that another process holds the store for: refused after a bounded wait.
    UniqueFd lock(::open((storePath_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_EQ(::flock(lock.get(), LOCK_EX), 0);
    Outcome busy = Pmset({"schedule", "sleep", FormatIsoDate(when), "org.example.cli"});
    EXPECT_TRUE(busy.Exited(1)) << busy;
    EXPECT_NE(busy.err.find("held the event store for 3 seconds"), std::string::npos) << busy.err;
}

}  // namespace
}  // namespace wfs::iokit::test
