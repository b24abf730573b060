// The one D-Bus fixture of the host tests: a private system bus and a private session bus (each a
// real dbus-daemon with a configuration written into a temporary folder) and python3-dbusmock as
// the services on them: logind on the system bus, the systemd user manager and, when asked, a
// desktop notification service on the session bus. While it lives, DBUS_SYSTEM_BUS_ADDRESS and
// DBUS_SESSION_BUS_ADDRESS point at the private buses, for the code under test and for any child
// process it starts. Every wait is bounded. Its destructor stops and reaps every process it
// started, and each one is also killed by the kernel should the test process die first.
#pragma once

#include <TestSupport.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QString>
#include <QVariantList>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace hosttest {

using namespace std::chrono_literals;

// Runs the event loop until `done` answers true or `limit` has passed; answers `done()`.
bool WaitUntil(const std::function<bool()> &done, std::chrono::milliseconds limit = 10s);

// A child process owned by one object: stopped (SIGTERM, then SIGKILL) and reaped at the end.
class ChildProcess {
public:
    ChildProcess() = default;
    // Starts `argv` with `environment`; when `stdoutFd` is given it becomes the child's output.
    ChildProcess(const std::vector<std::string> &argv, const std::vector<std::string> &environment, int stdoutFd = -1);
    ChildProcess(ChildProcess &&other) noexcept : pid_(std::exchange(other.pid_, -1)) {}
    ChildProcess &operator=(ChildProcess &&other) noexcept;
    ~ChildProcess() { stop(); }
    pid_t pid() const { return pid_; }
    void stop();

private:
    pid_t pid_ = -1;
};

// One row of logind's ListInhibitors.
struct Inhibitor {
    std::string what, who, why, mode;
};

class PrivateBuses {
public:
    struct Services {
        bool systemBus = true;      // without it, DBUS_SYSTEM_BUS_ADDRESS names a socket nobody serves
        bool logind = true;
        bool userManager = true;    // the systemd user manager on the session bus
        bool notifications = false; // org.freedesktop.Notifications on the session bus
    };

    PrivateBuses() : PrivateBuses(Services{}) {}
    explicit PrivateBuses(const Services &services);
    ~PrivateBuses();
    PrivateBuses(const PrivateBuses &) = delete;
    PrivateBuses &operator=(const PrivateBuses &) = delete;

    const std::string &systemAddress() const { return systemAddress_; }
    const std::string &sessionAddress() const { return sessionAddress_; }
    // Fresh private connections for code under test, closed when the fixture ends.
    QDBusConnection connectSystem(const QString &name);
    QDBusConnection connectSession(const QString &name);

    // logind
    void emitPrepareForSleep(bool start);
    void emitPrepareForShutdown(bool start);
    std::vector<Inhibitor> listInhibitors();
    // Waits until ListInhibitors shows exactly `count` locks.
    bool waitForInhibitors(size_t count);
    void stopLogind();
    void startLogind();

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
    // The arguments of each call of `method` that a mock has served, oldest first.
    std::vector<QVariantList> methodCalls(QDBusConnection &bus, const QString &service, const QString &path, const QString &method);
    QDBusMessage callMock(QDBusConnection &bus, const QString &service, const QString &path, const QString &method,
                          const QVariantList &arguments);
    void emitSignal(QDBusConnection &bus, const QString &service, const QString &path, const QString &interface,
              const QString &name, const QString &signature, const QVariantList &arguments);
    ChildProcess startMock(const std::vector<std::string> &arguments, QDBusConnection &bus, const QString &name);
    std::string startBus(const std::string &type, ChildProcess &daemon);

    wfstest::TempDir folder_{"tidemark-buses"};
    wfstest::EnvGuard environment_;
    ChildProcess systemDaemon_, sessionDaemon_, logind_, userManager_, notifications_;
    std::string systemAddress_, sessionAddress_;
    QDBusConnection system_{QString()}, session_{QString()};
    std::vector<QString> connectionNames_;
    std::vector<std::pair<std::string, QString>> claimedNames_;
};

}  // namespace hosttest
