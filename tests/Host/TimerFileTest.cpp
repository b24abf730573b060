// timers.plist: what is read and what is kept from a file anyone can edit, a damaged file, and the
// running host's side (reloading what another process changed, writing back only what ringing
// changed).
#include "HostTestSupport.h"

#include <TimerSync.h>

#include <Plinth/PLLog.h>

namespace hosttest {
namespace {

using namespace tidemark;

std::string Plist(const std::string &timers) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n<dict><key>other</key><string>kept</string>"
           "<key>timers</key><array>" + timers + "</array></dict></plist>\n";
}

// An alarm's entry with its hour as written, and any keys after.
std::string AlarmEntry(const std::string &id, const std::string &hour, const std::string &more = "") {
    return "<dict><key>id</key><string>" + id + "</string><key>mode</key><integer>1</integer><key>hour</key>" + hour +
           "<key>minute</key><integer>30</integer><key>on</key><true/>" + more + "</dict>";
}

// Captures PLLog's lines for one test: a damaged file is reported through it.
struct CapturedLog {
    CapturedLog() { PLLog::setCaptureForTesting([this](const PLLogRecord &record) { lines.push_back(record.message); }); }
    ~CapturedLog() { PLLog::setCaptureForTesting(nullptr); }
    std::vector<std::string> lines;
};

TEST(TimerFile, ReadsOnlyWellFormedTimersKeepsTheRestAndMovesADamagedFileAside) {
    const struct {
        std::string entry;
        bool readable;
    } cases[] = {
        {AlarmEntry("1", "<integer>7</integer>", "<key>label</key><string>Wake up</string><key>days</key><array><string>mon</string>"
                    "<string>SUN</string></array><key>snoozedUntil</key><date>2025-03-30T01:00:00Z</date>"), true},
        {"<dict><key>id</key><string>2</string><key>mode</key><integer>0</integer><key>duration</key><integer>90</integer>"
         "<key>endsAt</key><date>2025-03-30T01:01:30Z</date></dict>", true},
        {AlarmEntry("3", "<integer>24</integer>"), false},
        {AlarmEntry("4", "<real>7.5</real>"), false},
        {AlarmEntry("5", "<integer>7</integer>", "<key>days</key><array><string>mon</string><string>mon</string></array>"), false},
        {AlarmEntry("6", "<integer>7</integer>", "<key>days</key><array><string>funday</string></array>"), false},
        {"<dict><key>id</key><string>7</string><key>mode</key><integer>2</integer></dict>", false},
        {"<dict><key>id</key><string></string><key>mode</key><integer>0</integer><key>duration</key><integer>9</integer></dict>", false},
        {"<dict><key>id</key><string>8</string><key>mode</key><integer>0</integer><key>duration</key><integer>0</integer></dict>", false},
        {"<dict><key>id</key><string>9</string><key>mode</key><integer>0</integer><key>duration</key><integer>9</integer>"
         "<key>endsAt</key><string>soon</string></dict>", false},
        {"<string>a timer from a later version</string>", false},
    };
    std::string entries;
    size_t readable = 0;
    for (const auto &c : cases) {
        entries += c.entry;
        readable += c.readable;
    }
    wfstest::TempDir dir("tidemark-timers");
    TimerFile file(dir / "tidemark/timers.plist");
    wfstest::WriteFile(file.path(), Plist(entries));

    StoredTimers stored;
    std::string error;
    ASSERT_TRUE(file.load(stored, error)) << error;
    ASSERT_EQ(stored.timers.size(), readable);
    EXPECT_EQ(stored.unreadable.size(), std::size(cases) - readable);
    const Timer &alarm = stored.timers[0];
    EXPECT_EQ(std::tie(alarm.label, alarm.days, alarm.snoozedUntil), std::tuple("Wake up", 0x41, Utc("2025-03-30 01:00")));
    EXPECT_EQ(stored.timers[1].endsAt, Utc("2025-03-30 01:01:30"));

    // A change writes the timers back and every entry it could not read exactly as it was, with the
    // file's other keys.
    ASSERT_TRUE(file.update([](std::vector<Timer> &timers) { return timers[0].on = false, true; }, error)) << error;
    StoredTimers after;
    ASSERT_TRUE(file.load(after, error)) << error;
    EXPECT_FALSE(after.timers[0].on);
    after.timers[0].on = true;
    EXPECT_EQ(after.timers, stored.timers);
    ASSERT_EQ(after.unreadable.size(), stored.unreadable.size());
    for (size_t i = 0; i < after.unreadable.size(); ++i) EXPECT_TRUE(CFEqual(after.unreadable[i].get(), stored.unreadable[i].get()));
    EXPECT_THAT(wfstest::ReadFile(file.path()), HasSubstr("<key>other</key>"));

    // A damaged file is moved aside and reads as empty.
    {
        CapturedLog log;
        const std::string damaged = Plist(AlarmEntry("1", "<integer>7</integer>")).substr(0, 120);
        wfstest::WriteFile(file.path(), damaged);
        StoredTimers none;
        ASSERT_TRUE(file.load(none, error)) << error;
        EXPECT_TRUE(none.timers.empty());
        EXPECT_THAT(log.lines, testing::Contains(HasSubstr("moved it aside")));
        const std::vector<std::string> entries = wfstest::FolderEntries(dir / "tidemark");
        const auto aside = std::find_if(entries.begin(), entries.end(), [](const std::string &name) { return name.starts_with("timers.plist.corrupt-"); });
        ASSERT_NE(aside, entries.end()) << testing::PrintToString(entries);
        EXPECT_EQ(wfstest::ReadFile(dir / ("tidemark/" + *aside)), damaged);
    }
    // A timers entry that is not a list is never replaced.
    const std::string foreign = "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>timers</key><string>x</string></dict></plist>";
    wfstest::WriteFile(file.path(), foreign);
    EXPECT_FALSE(file.load(stored, error));
    EXPECT_FALSE(file.update([](std::vector<Timer> &) { return true; }, error));
    EXPECT_THAT(error, HasSubstr("not a list"));
    EXPECT_EQ(wfstest::ReadFile(file.path()), foreign);
}

TEST(TimerSync, ReloadsWhatAnotherProcessWroteAndMergesWhatRingingChanged) {
    wfstest::TempDir dir("tidemark-timers");
    const std::string path = dir / "config/tidemark/timers.plist";
    TimerFile mine(path), theirs(path);
    Logged logged;
    const LogSink log = logged.sink();
    AlarmClock clock(nullptr, nullptr, log);
    TimerSync sync(mine, clock, log);
    sync.start();  // makes the folder to watch
    EXPECT_TRUE(clock.timers().empty());

    const Instant later = AlarmClock::SystemNow() + std::chrono::hours(1);
    std::string error;
    auto write = [&](const std::function<void(std::vector<Timer> &)> &edit) {
        ASSERT_TRUE(theirs.update([&](std::vector<Timer> &timers) { return edit(timers), true; }, error)) << error;
    };
    write([&](std::vector<Timer> &timers) { timers = {Countdown(later, "1"), Countdown(later, "2")}; });
    ASSERT_TRUE(WaitUntil([&] { return clock.timers().size() == 2; }));

    // Countdown 1 ends in the host while another process removes countdown 2 and adds 3; the host
    // has not seen that yet when it writes back.
    write([&](std::vector<Timer> &timers) { timers = {Countdown(later, "1"), Countdown(later, "3")}; });
    std::vector<Timer> rung = clock.timers();
    rung[0].endsAt.reset();
    sync.save(rung);
    StoredTimers stored;
    ASSERT_TRUE(theirs.load(stored, error)) << error;
    ASSERT_EQ(stored.timers.size(), 2u);
    EXPECT_FALSE(stored.timers[0].endsAt.has_value());
    EXPECT_EQ(stored.timers[1].id, "3");
    ASSERT_TRUE(WaitUntil([&] { return clock.timers() == stored.timers; }));

    // A damaged file, written in place, counts as empty.
    wfstest::WriteFile(path, "garbage");
    EXPECT_TRUE(WaitUntil([&] { return clock.timers().empty(); }));
    EXPECT_TRUE(logged.warnings.empty()) << testing::PrintToString(logged.warnings);
}

}  // namespace
}  // namespace hosttest
