// Ringing for real: the timer descriptor fires, the notification reaches the session bus's
// notification service, its Snooze action comes back; and what happens on resume.
#include "HostTestSupport.h"

#include <AlarmClock.h>
#include <DesktopNotifier.h>

#include <QDBusArgument>

namespace hosttest {
namespace {

using tidemark::AlarmClock;
using tidemark::Instant;
using tidemark::Timer;

class Ringing : public ::testing::Test {
protected:
    void start(bool notifications) {
        buses.emplace(PrivateBuses::Services{.systemBus = false, .notifications = notifications});
        notifier = std::make_unique<tidemark::DesktopNotifier>(buses->connectSession("host-session"), log.sink(), [this](const std::string &id) {
            clock->snooze(id, tidemark::kSnoozeDelay);
        });
        clock = std::make_unique<AlarmClock>([this](const Timer &timer, Instant due) { notifier->ring(timer, due); },
                                             [this](const std::vector<Timer> &) { ++saves; }, log.sink());
    }

    std::optional<PrivateBuses> buses;
    Logged log;
    int saves = 0;
    std::unique_ptr<tidemark::DesktopNotifier> notifier;
    std::unique_ptr<AlarmClock> clock;
};

TEST_F(Ringing, CountdownRingsAsACriticalNotificationAndSnoozes) {
    start(true);
    const Instant now = AlarmClock::SystemNow();
    clock->setTimers({Countdown(now + std::chrono::seconds(1), "7", "Tea")});
    ASSERT_TRUE(WaitUntil([&] { return !buses->notifyCalls().empty(); }));
    const QVariantList notify = buses->notifyCalls().front();
    ASSERT_EQ(notify.size(), 8);
    EXPECT_EQ(notify[3].toString(), "Tea");  // summary
    EXPECT_EQ(qdbus_cast<QStringList>(notify[5]), (QStringList{"snooze", "Snooze", "stop", "Stop"}));
    const QVariantMap hints = qdbus_cast<QVariantMap>(notify[6]);
    EXPECT_EQ(hints.value("urgency").toInt(), 2);
    EXPECT_EQ(hints.value("sound-name").toString(), "alarm-clock-elapsed");
    EXPECT_EQ(saves, 1);

    // The mock numbers its notifications from 1. Another application's id is not ours.
    buses->emitActionInvoked(99, "snooze");
    buses->emitActionInvoked(1, "snooze");
    ASSERT_TRUE(WaitUntil([&] { return clock->timers()[0].snoozedUntil.has_value(); }));
    EXPECT_GE(*clock->timers()[0].snoozedUntil, now + tidemark::kSnoozeDelay);
    EXPECT_EQ(saves, 2);
    EXPECT_EQ(clock->nextRing(), clock->timers()[0].snoozedUntil);
    EXPECT_TRUE(log.warnings.empty());
}

TEST_F(Ringing, WithoutANotificationServiceTheRingIsLogged) {
    start(false);
    clock->setTimers({Countdown(AlarmClock::SystemNow(), "7")});
    ASSERT_TRUE(WaitUntil([&] { return !log.warnings.empty(); }));
    EXPECT_THAT(log.warnings.front(), HasSubstr("\"Alarm\" rang, but no notification"));
}

// On resume, an alarm that came due during the sleep rings if it is at most ten minutes late.
TEST(AlarmClockResume, RingsUpToTenMinutesLateAndLogsOlderOnesAsMissed) {
    ZoneGuard zone("UTC");
    struct Case {
        std::chrono::minutes slept;
        bool rings;
    };
    for (const Case c : {Case{std::chrono::minutes(5), true}, Case{std::chrono::minutes(12), false}}) {
        // The clock starts at the real time, so the timer descriptor never fires during the test.
        std::chrono::seconds offset{0};
        const Instant start = AlarmClock::SystemNow();
        Logged log;
        std::vector<std::string> rung;
        AlarmClock clock([&](const Timer &timer, Instant) { rung.push_back(timer.id); }, nullptr, log.sink(),
                         [&] { return AlarmClock::SystemNow() + offset; });
        const Instant ring = std::chrono::ceil<std::chrono::minutes>(start + std::chrono::seconds(1));
        const std::chrono::hh_mm_ss time(ring - std::chrono::floor<std::chrono::days>(ring));
        clock.setTimers({Alarm(time.hours().count(), time.minutes().count())});
        EXPECT_EQ(clock.nextRing(), ring);

        offset = std::chrono::duration_cast<std::chrono::seconds>(ring - start + c.slept);
        clock.systemResumed();
        EXPECT_EQ(rung.size(), c.rings ? 1u : 0u);
        EXPECT_EQ(log.warnings.size(), c.rings ? 0u : 1u);
        EXPECT_FALSE(clock.timers()[0].on);  // a one-time alarm is over either way
        EXPECT_EQ(clock.nextRing(), std::nullopt);
    }
}

}  // namespace
}  // namespace hosttest
