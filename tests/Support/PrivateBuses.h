// The D-Bus fixture of the tests that need system services: a private system bus (a real
// dbus-daemon with a configuration written into a temporary folder) and python3-dbusmock's polkitd
// on it. While it lives, DBUS_SYSTEM_BUS_ADDRESS points at the private bus, for the code under test
// and for any child process it starts. Every wait is bounded. Its processes are children owned by
// the fixture (Process.h): killed and reaped when it ends, or at their deadline.
#pragma once

#include "Process.h"
#include "TestSupport.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QVariantList>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace wfstest {

using namespace std::chrono_literals;

// Runs the event loop until `done` answers true or `limit` has passed; answers `done()`.
bool WaitUntil(const std::function<bool()> &done, std::chrono::milliseconds limit = 10s);

class PrivateBuses {
public:
    struct Services {
        bool systemBus = true;  // without it, DBUS_SYSTEM_BUS_ADDRESS names a socket nobody serves
        bool polkit = true;     // polkitd on the system bus, granting nothing at first
    };

    PrivateBuses() : PrivateBuses(Services{}) {}
    explicit PrivateBuses(const Services &services);
    ~PrivateBuses();
    PrivateBuses(const PrivateBuses &) = delete;
    PrivateBuses &operator=(const PrivateBuses &) = delete;

    const std::string &systemAddress() const { return systemAddress_; }
    // A fresh private connection for code under test, closed when the fixture ends.
    QDBusConnection connectSystem(const QString &name);

    // polkitd
    void startPolkit();
    void stopPolkit();
    // The actions it grants, with or without interaction; all others it denies.
    void setPolkitAllowed(const std::vector<std::string> &actions);
    // From now on every CheckAuthorization fails with this D-Bus error, as polkitd's does for an
    // action it does not know; an empty name answers again.
    void setPolkitError(const std::string &name, const std::string &message);
    // The action and the flags of each CheckAuthorization it served, oldest first.
    std::vector<std::pair<std::string, uint>> polkitChecks();

private:
    QDBusMessage callMock(QDBusConnection &bus, const QString &service, const QString &path, const QString &interface,
                          const QString &method, const QVariantList &arguments);
    // The arguments of each call of `method` that a mock has served, oldest first.
    std::vector<QVariantList> methodCalls(QDBusConnection &bus, const QString &service, const QString &path,
                                          const QString &method);
    Child startMock(const std::vector<std::string> &arguments, QDBusConnection &bus, const QString &name);
    std::string startBus(const std::string &type, Child &daemon);

    TempDir folder_{"wfs-buses"};
    EnvGuard environment_;
    Child systemDaemon_, polkit_;
    std::string systemAddress_;
    QDBusConnection system_{QString()};
    std::vector<QString> connectionNames_;
};

}  // namespace wfstest
