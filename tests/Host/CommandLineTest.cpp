// The command line: every kind of bad input is a usage error (status 2, nothing written), and the
// timer commands against a store that records what is written. The program itself, against the
// real file, is in TidemarkProcessTest.cpp.
#include "HostTestSupport.h"

namespace hosttest {
namespace {

using namespace tidemark;

TEST(CommandLine, BadInputIsAUsageErrorAndGoodInputIsRead) {
    const char *bad[] = {
        "--window", "--verbose extra", "alarm", "alarm add", "alarm add 24:00", "alarm add 7:60", "alarm add 7:5",
        "alarm add 0730", "alarm add -1:00", "alarm add 07:30x", "alarm add 007:30", "alarm add 07:30 --days",
        "alarm add 07:30 --days mon,,tue", "alarm add 07:30 --days monday", "alarm add 07:30 --days mon,mon",
        "alarm add 07:30 --days mon --days tue", "alarm add 07:30 --label", "alarm add 07:30 --label=",
        "alarm add 07:30 --color red", "alarm add 07:30 extra", "alarm list all", "alarm remove", "alarm remove x1",
        "alarm remove 1 2", "alarm on", "alarm off -3", "alarm on 99999999999", "alarm snooze 1", "timer",
        "timer add", "timer add 10", "timer add 0s", "timer add 1m1h", "timer add 1h1h", "timer add 1x",
        "timer add h", "timer add 8d", "timer add 168h1s", "timer add 99999999999s", "timer add 5m --days mon",
        "timer stop", "timer stop x1", "timer start 1 2", "timer pause 1", "alarm edit", "alarm edit 1",
        "alarm edit x 07:00", "alarm edit 1 25:00", "alarm edit 1 07:00 --days", "timer edit 1", "timer edit 1 0s",
        "timer edit 1 5m --days mon", "timer edit 5m", "next now", "snooze",
    };
    for (const char *line : bad) {
        const auto parsed = ParseCommandLine(Words(line));
        EXPECT_TRUE(std::holds_alternative<UsageError>(parsed)) << line;
    }
    // A label may hold spaces but no control characters; the shell hands it over as one word.
    EXPECT_TRUE(std::holds_alternative<UsageError>(ParseCommandLine({"alarm", "add", "07:30", "--label", "a\nb"})));
    EXPECT_TRUE(std::holds_alternative<UsageError>(ParseCommandLine({"alarm", "add", "07:30", "--label", std::string(201, 'x')})));

    const auto add = std::get<AddAlarm>(std::get<Command>(ParseCommandLine({"alarm", "add", "7:05", "--label", "Wake up", "--days=SUN,mon"})));
    EXPECT_EQ(std::tuple(add.hour, add.minute, add.days, add.label), std::tuple(7, 5, 0x41, "Wake up"));
    const struct {
        const char *text;
        long seconds;
    } durations[] = {{"90s", 90}, {"25m", 1500}, {"1h30m", 5400}, {"1h0m5s", 3605}, {"168h", 604800}};
    for (const auto &d : durations) EXPECT_EQ(ParseDuration(d.text), std::chrono::seconds(d.seconds)) << d.text;
    // What the window shows as a duration reads back as the same duration.
    for (const long seconds : {1L, 59L, 60L, 90L, 3600L, 3605L, 5400L, 604800L}) {
        EXPECT_EQ(ParseDuration(DurationText(std::chrono::seconds(seconds))), std::chrono::seconds(seconds)) << seconds;
    }
    EXPECT_EQ(DurationText(std::chrono::seconds(5400)), "1h30m");
    const auto edit = std::get<EditAlarm>(std::get<Command>(ParseCommandLine({"alarm", "edit", "3", "6:45", "--days", "fri"})));
    EXPECT_EQ(std::tuple(edit.id, edit.alarm.hour, edit.alarm.minute, edit.alarm.days, edit.alarm.label), std::tuple("3", 6, 45, 0x10, ""));
    const auto run = std::get<RunApplication>(std::get<Command>(ParseCommandLine({"--verbose", "--headless"})));
    EXPECT_TRUE(run.verbose && run.headless);
}

// Keeps the timers in memory and counts the writes.
class MemoryStore : public TimerStore {
public:
    bool update(const std::function<bool(std::vector<Timer> &)> &edit, std::string &) override {
        std::vector<Timer> copy = timers;
        if (edit(copy)) {
            timers = copy;
            ++writes;
        }
        return true;
    }
    std::vector<Timer> timers;
    int writes = 0;
};

TEST(TimerCommands, UnknownOrWrongIdsWriteNothing) {
    ZoneGuard zone("Europe/Berlin");
    MemoryStore store;
    std::ostringstream out, err;
    const Instant start = Utc("2025-03-29 12:00");
    Instant now = start;
    auto run = [&](const std::string &line) { return RunTimerCommand(std::get<Command>(ParseCommandLine(Words(line))), store, now, out, err); };
    ASSERT_EQ(run("alarm add 02:30 --days sun"), 0);
    ASSERT_EQ(run("timer add 25m"), 0);
    EXPECT_EQ(store.writes, 2);
    for (const char *line : {"alarm remove 3", "alarm on 3", "alarm off 2", "alarm edit 2 07:00", "alarm edit 3 07:00",
                             "timer edit 1 5m", "timer start 1", "timer stop 3"}) EXPECT_EQ(run(line), kUsageStatus) << line;
    EXPECT_EQ(run("alarm on 1"), 0);  // already on: nothing to write
    EXPECT_EQ(run("timer start 2"), 0);  // already counting down
    EXPECT_EQ(run("alarm edit 1 02:30 --days sun"), 0);  // the same alarm
    EXPECT_EQ(store.writes, 2);
    EXPECT_THAT(err.str(), HasSubstr("1 is an alarm, not a countdown timer"));

    // An edit keeps the ID and whether the timer runs; a countdown restarts only for a new duration.
    now = start + std::chrono::minutes(5);
    ASSERT_EQ(run("timer edit 2 25m --label Tea"), 0);
    EXPECT_EQ(store.timers[1].endsAt, start + std::chrono::minutes(25));
    ASSERT_EQ(run("timer edit 2 10m --label Tea"), 0);
    EXPECT_EQ(store.timers[1].endsAt, now + std::chrono::minutes(10));
    ASSERT_EQ(run("timer stop 2"), 0);
    EXPECT_FALSE(store.timers[1].endsAt);
    ASSERT_EQ(run("alarm off 1"), 0);
    ASSERT_EQ(run("alarm edit 1 07:15"), 0);
    EXPECT_EQ(std::tuple(store.timers[0].id, store.timers[0].hour, store.timers[0].days, store.timers[0].on), std::tuple("1", 7, 0, false));
    ASSERT_EQ(run("alarm on 1"), 0);
    ASSERT_EQ(run("alarm edit 1 02:30 --days sun"), 0);
    EXPECT_EQ(store.writes, 9);
    EXPECT_THAT(err.str(), HasSubstr("no alarm or timer with ID 3"));

    // The list shows the next ring in both local time and UTC: here the jump to summer time.
    out.str("");
    ASSERT_EQ(run("alarm list"), 0);
    EXPECT_THAT(out.str(), HasSubstr("2025-03-30 03:00 CEST"));
    EXPECT_THAT(out.str(), HasSubstr("2025-03-30 01:00 UTC"));
    out.str("");
    ASSERT_EQ(run("next"), 0);
    EXPECT_THAT(out.str(), HasSubstr("next alarm: 1 Alarm at 2025-03-30 03:00 CEST"));
    ASSERT_EQ(run("alarm remove 1"), 0);
    EXPECT_EQ(store.timers.size(), 1u);
}

}  // namespace
}  // namespace hosttest
