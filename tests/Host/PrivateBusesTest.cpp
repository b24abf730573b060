// The shared bus fixture itself: each service it is asked for serves on its bus, the environment
// names its buses, and nothing of it outlives it, a service it was not asked for is not there.
#include <PrivateBuses.h>

#include <QDBusConnectionInterface>

namespace hosttest {
namespace {

using wfstest::PrivateBuses;

TEST(PrivateBuses, ServesWhatItIsAskedForAndLeavesNoProcessBehind) {
    for (const PrivateBuses::Services c : {PrivateBuses::Services{.polkit = true, .logind = true, .userManager = true, .notifications = true},
                                           PrivateBuses::Services{}}) {
        SCOPED_TRACE(c.polkit ? "every service" : "the buses alone");
        {
            PrivateBuses buses(c);
            EXPECT_EQ(std::getenv("DBUS_SYSTEM_BUS_ADDRESS"), buses.systemAddress());
            EXPECT_EQ(std::getenv("DBUS_SESSION_BUS_ADDRESS"), buses.sessionAddress());
            QDBusConnection system = buses.connectSystem("probe-system"), session = buses.connectSession("probe-session");
            ASSERT_TRUE(system.isConnected() && session.isConnected());
            EXPECT_EQ(system.interface()->isServiceRegistered("org.freedesktop.PolicyKit1").value(), c.polkit);
            EXPECT_EQ(system.interface()->isServiceRegistered("org.freedesktop.login1").value(), c.logind);
            EXPECT_EQ(session.interface()->isServiceRegistered("org.freedesktop.systemd1").value(), c.userManager);
            EXPECT_EQ(session.interface()->isServiceRegistered("org.freedesktop.Notifications").value(), c.notifications);
            EXPECT_TRUE(!c.logind || buses.listInhibitors().empty());
            EXPECT_TRUE(!c.polkit || buses.polkitChecks().empty());
            EXPECT_FALSE(wfstest::NoChildLeft());
        }
        EXPECT_TRUE(wfstest::NoChildLeft());
    }
}

// A test process that dies without its destructors takes the fixture's daemons along. The test
// process here is this test again, started afresh (a fork would inherit Qt's D-Bus thread
// without the thread): it reports its system bus on descriptor 3 and waits to be killed.
TEST(PrivateBuses, ItsDaemonsDieWithTheTestProcess) {
    if (wfstest::IsTestChild()) {
        // Not handed on to the daemon, or the parent would never see the end of the report.
        ASSERT_EQ(::fcntl(3, F_SETFD, FD_CLOEXEC), 0);
        PrivateBuses buses({.sessionBus = false});
        const std::string address = buses.systemAddress() + "\n";
        ASSERT_EQ(::write(3, address.data(), address.size()), static_cast<ssize_t>(address.size()));
        ::close(3);
        ::pause();
        return;
    }
    int fds[2] = {-1, -1};
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    wfs::UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
    wfstest::Child child = wfstest::Child::Exec(
        {wfstest::SelfPath(), std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name()},
        wfstest::ChildSetup().Env("WFS_TEST_CHILD", "1").Fd(3, writeEnd.get()));
    writeEnd.reset();
    const std::string address = wfstest::ReadAll(readEnd.get());
    ASSERT_EQ(address.rfind("unix:path=", 0), 0u) << address;
    const QString bus = QString::fromStdString(address.substr(0, address.size() - 1));
    // Only the test process: the daemon is in a process group of its own.
    ::kill(child.pid(), SIGKILL);
    child.Wait();
    // The daemon is gone once nothing answers on its socket.
    EXPECT_TRUE(wfstest::WaitFor([&] {
        const bool answers = QDBusConnection::connectToBus(bus, "after").isConnected();
        QDBusConnection::disconnectFromBus("after");
        return !answers;
    }, std::chrono::seconds(10))) << address;
}

}  // namespace
}  // namespace hosttest
