// The one D-Bus fixture of the tests that need system services: a private system bus and a private
// session bus (each a real dbus-daemon with a configuration written into a temporary folder) and
// python3-dbusmock's services on them, each one an option: polkitd and logind on the system bus;
// the systemd user manager and a desktop notification service on the session bus. While it lives,
// DBUS_SYSTEM_BUS_ADDRESS and DBUS_SESSION_BUS_ADDRESS point at the private buses, for the code
// under test and for any child process it starts. Every wait is bounded. Its processes are
// children owned by the fixture (Process.h), killed and reaped when it ends, and killed by the
// kernel should the test process die first.
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

// One row of logind's ListInhibitors.
struct Inhibitor {
    std::string what, who, why, mode;
};

class PrivateBuses {
public:
    // What to start. Without a bus, its address names a socket nobody serves.
    struct Services {
        bool systemBus = true;
        bool sessionBus = true;
        bool polkit = false;         // polkitd on the system bus, granting nothing at first
        bool logind = false;         // logind on the system bus
        bool userManager = false;    // the systemd user manager on the session bus
        bool notifications = false;  // org.freedesktop.Notifications on the session bus
    };

    explicit PrivateBuses(const Services &services);
    ~PrivateBuses();
    PrivateBuses(const PrivateBuses &) = delete;
    PrivateBuses &operator=(const PrivateBuses &) = delete;

    const std::string &systemAddress() const { return systemAddress_; }
    const std::string &sessionAddress() const { return sessionAddress_; }
    // Fresh private connections for code under test, closed when the fixture ends.
    QDBusConnection connectSystem(const QString &name);
    QDBusConnection connectSession(const QString &name);

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

    // logind
    void startLogind();
    void stopLogind();
    void emitPrepareForSleep(bool start);
    void emitPrepareForShutdown(bool start);
    std::vector<Inhibitor> listInhibitors();
    // Waits until ListInhibitors shows exactly `count` locks.
    bool waitForInhibitors(size_t count);

    // The systemd user manager
    void emitUnitNew(const std::string &unit);
    void emitUnitRemoved(const std::string &unit);
    int subscribeCalls();

    // A new client on the session bus that owns `name`, as a starting application would; it
    // gives the name up and leaves when the fixture ends or on releaseSessionName.
    void claimSessionName(const std::string &name);
    void releaseSessionName(const std::string &name);

    // The notification service: the arguments of each Notify call, oldest first, and an action
    // chosen on a notification.
    std::vector<QVariantList> notifyCalls();
    void emitActionInvoked(uint id, const std::string &action);

private:
    QDBusMessage callMock(QDBusConnection &bus, const QString &service, const QString &path, const QString &interface,
                          const QString &method, const QVariantList &arguments);
    // The arguments of each call of `method` that a mock has served, oldest first.
    std::vector<QVariantList> methodCalls(QDBusConnection &bus, const QString &service, const QString &path,
                                          const QString &method);
    void emitSignal(QDBusConnection &bus, const QString &service, const QString &path, const QString &interface,
                    const QString &name, const QString &signature, const QVariantList &arguments);
    Child startMock(const std::vector<std::string> &arguments, QDBusConnection &bus, const QString &name);
    std::string startBus(const std::string &type, Child &daemon);

    TempDir folder_{"wfs-buses"};
    EnvGuard environment_;
    Child systemDaemon_, sessionDaemon_, polkit_, logind_, userManager_, notifications_;
    std::string systemAddress_, sessionAddress_;
    QDBusConnection system_{QString()}, session_{QString()};
    std::vector<QString> connectionNames_;
    std::vector<std::pair<std::string, QString>> claimedNames_;
};

}  // namespace wfstest
