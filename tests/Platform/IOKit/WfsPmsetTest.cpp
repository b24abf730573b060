// wfs-pmset: its dates, and the program itself run as a child process.
#include "IOKitTestSupport.h"

#include "IsoDate.h"
#include "ListingText.h"
#include "PowerEventStore.h"

#include <Support/Eintr.h>
#include <Support/UniqueFd.h>

#include <fcntl.h>
#include <sys/file.h>

extern char **environ;

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
                            "2026-02-29T00:00:00Z", "2026-04-31T00:00:00Z", "2026-12-06T24:00:00Z",
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

struct Outcome {
    int status = -1;
    std::string out, err;
};

std::string Drain(int fd) {
    std::string text;
    char buffer[4096];
    ssize_t n;
    while ((n = RetryOnEintr([&] { return ::read(fd, buffer, sizeof buffer); })) > 0) text.append(buffer, n);
    return text;
}

// Runs wfs-pmset with `arguments`, as nobody when asked, and collects what it printed.
Outcome RunPmset(std::vector<std::string> arguments, bool asNobody = false) {
    arguments.insert(arguments.begin(), WFS_PMSET_PATH);
    // Everything the child needs is built before the fork.
    std::vector<char *> argv;
    for (std::string &argument : arguments) argv.push_back(argument.data());
    argv.push_back(nullptr);
    int out[2], err[2];
    if (::pipe2(out, O_CLOEXEC) == -1) return {};
    UniqueFd outRead(out[0]), outWrite(out[1]);
    if (::pipe2(err, O_CLOEXEC) == -1) return {};
    UniqueFd errRead(err[0]), errWrite(err[1]);
    pid_t pid = StartChild(
        [&] {
            if (::dup2(outWrite.get(), 1) == -1 || ::dup2(errWrite.get(), 2) == -1) return 126;
            ::execve(argv[0], argv.data(), environ);
            return 127;
        },
        asNobody);
    outWrite.reset();
    errWrite.reset();
    Outcome outcome;
    outcome.out = Drain(outRead.get());
    outcome.err = Drain(errRead.get());
    outcome.status = WaitChild(pid);
    return outcome;
}

using PmsetTest = PowerEventTest;

TEST_F(PmsetTest, ListScheduleCancel) {
    WFS_REQUIRE_ROOT();
    AddRtc("rtc0");
    Outcome empty = RunPmset({"list"});
    EXPECT_EQ(empty.status, 0);
    EXPECT_EQ(empty.out, "");

    CFAbsoluteTime when = SecondsFromNow(7200);
    std::string date = FormatIsoDate(when);
    Outcome scheduled = RunPmset({"schedule", "wakepoweron", date, "org.example.cli"});
    EXPECT_EQ(scheduled.status, 0) << scheduled.err;
    EXPECT_EQ(Alarm(), UnixSecondsText(when));
    // Scheduled by another program with a fraction and a name that tries to forge a line.
    ASSERT_EQ(Schedule(when + 0.125, "evil\nline", kIOPMAutoSleep), kIOReturnSuccess);

    Outcome listed = RunPmset({"list"});
    EXPECT_EQ(listed.status, 0) << listed.err;
    EXPECT_EQ(listed.out, date + " wakepoweron root org.example.cli\n" + FormatIsoDate(when + 0.125) +
                              " sleep root evil\\x0aline\n");

    Outcome missing = RunPmset({"cancel", "wake", date, "org.example.cli"});
    EXPECT_EQ(missing.status, 5);
    EXPECT_NE(missing.err.find("no such scheduled event"), std::string::npos) << missing.err;
    // The listed date, with its fraction, names the event exactly.
    EXPECT_EQ(RunPmset({"cancel", "sleep", FormatIsoDate(when + 0.125), "evil\nline"}).status, 0);
    Outcome cancelled = RunPmset({"cancel", "wakepoweron", date, "org.example.cli"});
    EXPECT_EQ(cancelled.status, 0) << cancelled.err;
    EXPECT_EQ(Alarm(), "0");  // the real writer on a plain file keeps the disarming "0"
    EXPECT_EQ(RunPmset({"list"}).out, "");
}

TEST_F(PmsetTest, ErrorsHaveTheirOwnExitStatus) {
    WFS_REQUIRE_ROOT();
    CFAbsoluteTime when = SecondsFromNow(3600);
    std::string date = FormatIsoDate(when);
    Outcome usage = RunPmset({});
    EXPECT_EQ(usage.status, 2);
    EXPECT_NE(usage.err.find("usage:"), std::string::npos);
    EXPECT_EQ(RunPmset({"list", "extra"}).status, 2);
    EXPECT_EQ(RunPmset({"frobnicate"}).status, 2);
    Outcome help = RunPmset({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("exit status"), std::string::npos);

    Outcome badDate = RunPmset({"schedule", "wake", "tomorrow", "org.example.cli"});
    EXPECT_EQ(badDate.status, 2);
    EXPECT_NE(badDate.err.find("not an ISO 8601 date"), std::string::npos);
    Outcome badType = RunPmset({"schedule", "nap", date, "org.example.cli"});
    EXPECT_EQ(badType.status, 4);
    EXPECT_NE(badType.err.find("refused"), std::string::npos);
    EXPECT_EQ(RunPmset({"schedule", "wake", "2001-01-01T00:00:00Z", "org.example.cli"}).status, 4);
    EXPECT_EQ(RunPmset({"schedule", "wake", date, "\xff\xfe"}).status, 4);

    // No RTC here: stored, and said so.
    Outcome noDevice = RunPmset({"schedule", "wake", date, "org.example.cli"});
    EXPECT_EQ(noDevice.status, 6);
    EXPECT_NE(noDevice.err.find("stored"), std::string::npos);
    EXPECT_EQ(List().size(), 1u);
    EXPECT_EQ(RunPmset({"rearm"}).status, 6);

    Outcome intruder = RunPmset({"schedule", "wake", date, "org.example.nobody"}, /*asNobody=*/true);
    EXPECT_EQ(intruder.status, 3);
    EXPECT_NE(intruder.err.find("root"), std::string::npos);
    EXPECT_EQ(RunPmset({"rearm"}, true).status, 3);
    Outcome nobodyList = RunPmset({"list"}, true);
    EXPECT_EQ(nobodyList.status, 0) << nobodyList.err;
    EXPECT_EQ(nobodyList.out, date + " wake root org.example.cli\n");

    // The RTC shows up after boot: rearm arms the earliest waking event, not an earlier sleep.
    ASSERT_EQ(Schedule(SecondsFromNow(60), "org.example.alarm", kIOPMAutoSleep), kIOReturnNoDevice);
    AddRtc("rtc0");
    Outcome rearmed = RunPmset({"rearm"});
    EXPECT_EQ(rearmed.status, 0) << rearmed.err;
    EXPECT_EQ(Alarm(), UnixSecondsText(when));
}

TEST_F(PmsetTest, AStoreItCannotUseIsAnErrorNeverSilence) {
    WFS_REQUIRE_ROOT();
    // An event of a user with no account name is listed under its number.
    CFAbsoluteTime when = SecondsFromNow(3600);
    ASSERT_EQ(ScheduleFor(54321, when, "org.example.alarm", kIOPMAutoSleep), kIOReturnSuccess);
    EXPECT_EQ(RunPmset({"list"}).out, FormatIsoDate(when) + " sleep 54321 org.example.alarm\n");

    // Damaged or too large: listing says so, for anyone, and leaves the file alone.
    for (const std::string &store : {std::string("<plist><array>"), std::string(kMaxStoreBytes + 1, ' ')}) {
        WriteFile(storePath_, store);
        Outcome listed = RunPmset({"list"}, /*asNobody=*/true);
        EXPECT_EQ(listed.status, 1);
        EXPECT_EQ(listed.out, "");
        EXPECT_NE(listed.err.find("cannot be read"), std::string::npos) << listed.err;
        EXPECT_EQ(StoreBytes().size(), store.size());
    }

    // A change that another process holds the store for: refused after a bounded wait.
    UniqueFd lock(::open((storePath_ + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_EQ(::flock(lock.get(), LOCK_EX), 0);
    Outcome busy = RunPmset({"schedule", "sleep", FormatIsoDate(when), "org.example.cli"});
    EXPECT_EQ(busy.status, 1);
    EXPECT_NE(busy.err.find("held the event store for 3 seconds"), std::string::npos) << busy.err;
}

}  // namespace
}  // namespace wfs::iokit::test
