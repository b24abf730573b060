// The shared bus fixture itself: each service it is asked for serves on its bus, the environment
// names its buses, and nothing of it outlives it, a service it was not asked for is not there.
#include <PrivateBuses.h>

#include <QDBusConnectionInterface>

namespace hosttest {
namespace {

using wfstest::PrivateBuses;

TEST(PrivateBuses, ServesWhatItIsAskedForAndLeavesNoProcessBehind) {
    const struct {
        const char *what;
        PrivateBuses::Services services;
        bool polkit, logind, userManager, notifications;
    } cases[] = {
        {"every service", {.polkit = true, .logind = true, .userManager = true, .notifications = true}, true, true, true, true},
        {"the buses alone", {}, false, false, false, false},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        {
            PrivateBuses buses(c.services);
            EXPECT_EQ(std::getenv("DBUS_SYSTEM_BUS_ADDRESS"), buses.systemAddress());
            EXPECT_EQ(std::getenv("DBUS_SESSION_BUS_ADDRESS"), buses.sessionAddress());
            QDBusConnection system = buses.connectSystem("probe-system"), session = buses.connectSession("probe-session");
            ASSERT_TRUE(system.isConnected() && session.isConnected());
            EXPECT_EQ(system.interface()->isServiceRegistered("org.freedesktop.PolicyKit1").value(), c.polkit);
            EXPECT_EQ(system.interface()->isServiceRegistered("org.freedesktop.login1").value(), c.logind);
            EXPECT_EQ(session.interface()->isServiceRegistered("org.freedesktop.systemd1").value(), c.userManager);
            EXPECT_EQ(session.interface()->isServiceRegistered("org.freedesktop.Notifications").value(), c.notifications);
            if (c.logind) EXPECT_TRUE(buses.listInhibitors().empty());
            if (c.polkit) EXPECT_TRUE(buses.polkitChecks().empty());
            EXPECT_FALSE(wfstest::NoChildLeft());
        }
        EXPECT_TRUE(wfstest::NoChildLeft());
    }
}

// A test process that dies without its destructors takes the fixture's daemons along.
TEST(PrivateBuses, ItsDaemonsDieWithTheTestProcess) {
    int fds[2] = {-1, -1};
    ASSERT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    wfs::UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    wfstest::Child test = wfstest::Child::Fork([&] {
        PrivateBuses buses({.sessionBus = false});
        const std::string address = buses.systemAddress() + "\n";
        (void) !::write(writeEnd.get(), address.data(), address.size());
        writeEnd.reset();  // the reader's end of stream
        ::pause();
        return 0;
    });
    writeEnd.reset();
    const std::string address = wfstest::ReadAll(readEnd.get());
    ASSERT_EQ(address.rfind("unix:path=", 0), 0u) << address;
    const QString bus = QString::fromStdString(address.substr(0, address.size() - 1));
    ::kill(test.pid(), SIGKILL);
    test.Wait();
    // The daemon is gone once nothing answers on its socket.
    EXPECT_TRUE(wfstest::WaitFor([&] {
        const bool answers = QDBusConnection::connectToBus(bus, "after").isConnected();
        QDBusConnection::disconnectFromBus("after");
        return !answers;
    }, 10s)) << address;
}

}  // namespace
}  // namespace hosttest
