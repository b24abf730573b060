// The fixture itself: its daemons serve, and nothing of them outlives it.
#include "PrivateBuses.h"

#include <QDBusConnectionInterface>

namespace hosttest {
namespace {

TEST(PrivateBuses, ServesBothBusesAndLeavesNoProcessBehind) {
    {
        PrivateBuses buses;
        EXPECT_EQ(std::getenv("DBUS_SYSTEM_BUS_ADDRESS"), buses.systemAddress());
        EXPECT_EQ(std::getenv("DBUS_SESSION_BUS_ADDRESS"), buses.sessionAddress());
        EXPECT_TRUE(buses.listInhibitors().empty());
        QDBusConnection session = buses.connectSession("probe");
        EXPECT_TRUE(session.interface()->isServiceRegistered("org.freedesktop.systemd1").value());
        EXPECT_FALSE(wfstest::NoChildLeft());
    }
    EXPECT_TRUE(wfstest::NoChildLeft());
}

}  // namespace
}  // namespace hosttest
