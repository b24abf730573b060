// Sleep, wake, power-off and application launches against real buses: logind's and the systemd
// user manager's mocks send the signals, and logind's ListInhibitors shows the lock as logind sees it.
#include "HostTestSupport.h"

#include <SystemEvents.h>

namespace hosttest {
namespace {

using tidemark::LaunchMonitor;
using tidemark::LogindMonitor;
using tidemark::WorkspaceEvent;

class SystemEventsTest : public ::testing::Test {
protected:
    void useBuses(PrivateBuses::Services services) { buses.emplace(services); }
    tidemark::WorkspacePoster poster() {
        return [this](WorkspaceEvent event) {
            posted.push_back(event);
            lockHeldWhilePosting.push_back(logind && logind->lockDescriptor() >= 0);
        };
    }
    void startLogind() { logind = std::make_unique<LogindMonitor>(buses->connectSystem("host-system"), poster(), log.sink()); }
    void startLaunches() {
        launches = std::make_unique<LaunchMonitor>(buses->connectSession("host-session"), poster(), log.sink());
        ASSERT_TRUE(WaitUntil([&] { return launches->source() != LaunchMonitor::Source::Undecided; }));
    }
    bool waitForPosts(size_t count) {
        return WaitUntil([&] { return posted.size() >= count; }) && posted.size() == count;
    }

    std::optional<PrivateBuses> buses;
    std::vector<WorkspaceEvent> posted;
    std::vector<bool> lockHeldWhilePosting;
    Logged log;
    std::unique_ptr<LogindMonitor> logind;
    std::unique_ptr<LaunchMonitor> launches;
};

// logind comes after the host: one warning, then one close-on-exec delay lock, released only once
// the observers have run and taken again afterwards, and taken anew from a restarted logind.
TEST_F(SystemEventsTest, LocksOnceLogindArrivesPostsBeforeReleasingAndRelocks) {
    useBuses({});
    startLogind();
    ASSERT_TRUE(WaitUntil([&] { return !log.warnings.empty(); }));
    EXPECT_THAT(log.warnings.front(), HasSubstr("logind is not available"));
    buses->startLogind();
    ASSERT_TRUE(buses->waitForInhibitors(1));
    const wfstest::Inhibitor lock = buses->listInhibitors().front();
    EXPECT_EQ(std::tie(lock.what, lock.who, lock.why, lock.mode),
              std::tuple("sleep:shutdown", "Tidemark", "Scheduling the wake-up for the next alarm", "delay"));
    ASSERT_TRUE(WaitUntil([&] { return logind->lockDescriptor() >= 0; }));
    EXPECT_TRUE(::fcntl(logind->lockDescriptor(), F_GETFD) & FD_CLOEXEC);
    // Any duplicate left in Qt's messages would keep the lock after the host let it go.
    EXPECT_TRUE(WaitUntil([&] {
        const auto same = [&](const std::string &fd) { return wfstest::SameFile(std::stoi(fd), logind->lockDescriptor()); };
        return std::ranges::count_if(wfstest::FolderEntries("/proc/self/fd"), same) == 1;
    }));

    const struct {
        const char *what;
        bool sleep, start;
        std::optional<WorkspaceEvent> posted;
        size_t locksAfter;
    } steps[] = {
        {"sleep begins", true, true, WorkspaceEvent::WillSleep, 0},
        {"resume", true, false, WorkspaceEvent::DidWake, 1},
        {"power-off begins", false, true, WorkspaceEvent::WillPowerOff, 0},
        {"power-off cancelled", false, false, std::nullopt, 1},
        {"sleep again", true, true, WorkspaceEvent::WillSleep, 0},
        {"resume again", true, false, WorkspaceEvent::DidWake, 1},
    };
    for (const auto &step : steps) {
        SCOPED_TRACE(step.what);
        const size_t before = posted.size();
        step.sleep ? buses->emitPrepareForSleep(step.start) : buses->emitPrepareForShutdown(step.start);
        EXPECT_TRUE(buses->waitForInhibitors(step.locksAfter));
        ASSERT_TRUE(waitForPosts(before + (step.posted ? 1 : 0)));
        if (step.posted) {
            EXPECT_EQ(posted.back(), *step.posted);
            // The observers run while logind still waits for the host.
            EXPECT_EQ(lockHeldWhilePosting.back(), step.start);
        }
    }
    EXPECT_EQ(log.warnings.size(), 1u);

    buses->stopLogind();  // the lock goes with logind and comes back with it
    EXPECT_TRUE(WaitUntil([&] { return logind->lockDescriptor() < 0; }));
    buses->startLogind();
    EXPECT_TRUE(buses->waitForInhibitors(1));
    EXPECT_TRUE(WaitUntil([&] { return logind->lockDescriptor() >= 0; }));
    EXPECT_EQ(posted.size(), std::size(steps) - 1);
}

// Without a system bus the host warns once and the session side works all the same.
TEST_F(SystemEventsTest, ReportsApplicationUnitsOncePerLaunchWithoutASystemBus) {
    useBuses({.systemBus = false, .userManager = true});
    startLogind();
    ASSERT_EQ(log.warnings.size(), 1u);
    EXPECT_THAT(log.warnings.front(), HasSubstr("no system bus"));
    EXPECT_LT(logind->lockDescriptor(), 0);
    startLaunches();
    ASSERT_EQ(launches->source(), LaunchMonitor::Source::Units);
    EXPECT_EQ(buses->subscribeCalls(), 1);
    const std::string own = "app-gnome-org.tidemark.Tidemark-" + std::to_string(::getpid()) + ".scope";
    const std::pair<std::string, bool> units[] = {  // {unit, whether it is a launch}
        {"app-gnome-org.example.Editor-4242.scope", true},
        {"app-gnome-org.example.Editor-4242.scope", false},  // announced again: the same launch
        {"app-flatpak-org.example.Player-99.service", true},
        {own, false},                                         // the host's own start
        {"session-2.scope", false},
        {"app.slice", false},
        {"app-.scope", false},
        {"dbus.service", false},
        {"app-org.example.Tool@1.service", true},
    };
    size_t expected = 0;
    for (const auto &[unit, launch] : units) {
        SCOPED_TRACE(unit);
        buses->emitUnitNew(unit);
        // A launch that must not count is followed by one that must: signals arrive in order, so
        // when the second has been posted, the first would have been too.
        if (!launch) buses->emitUnitNew("app-barrier-" + std::to_string(expected) + ".scope");
        expected += 1;
        ASSERT_TRUE(waitForPosts(expected)) << posted.size() << " posts";
    }
    // Once its unit is gone, the same name is a new launch.
    buses->emitUnitRemoved("app-gnome-org.example.Editor-4242.scope");
    buses->emitUnitNew("app-gnome-org.example.Editor-4242.scope");
    EXPECT_TRUE(waitForPosts(expected + 1));
    for (WorkspaceEvent event : posted) EXPECT_EQ(event, WorkspaceEvent::DidLaunchApplication);
    EXPECT_EQ(log.warnings.size(), 1u);
}

TEST_F(SystemEventsTest, WithoutUserManagerReportsNewWellKnownNamesOfOtherClients) {
    useBuses({});
    startLaunches();
    ASSERT_EQ(launches->source(), LaunchMonitor::Source::BusNames);
    // The host's own name is not a launch; the next client's is, and counts once.
    QDBusConnection own = QDBusConnection(QStringLiteral("host-session"));
    ASSERT_TRUE(own.registerService("org.tidemark.Tidemark"));
    buses->claimSessionName("org.example.Editor");
    ASSERT_TRUE(waitForPosts(1));
    buses->releaseSessionName("org.example.Editor");
    buses->claimSessionName("org.example.Editor");
    EXPECT_TRUE(waitForPosts(2));
}

}  // namespace
}  // namespace hosttest
