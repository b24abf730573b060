#include "PrivateBuses.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QTimer>

#include <cctype>

#include <signal.h>
#include <sys/prctl.h>

namespace wfstest {
namespace {

constexpr int kCallTimeoutMs = 5000;
const QString kMockInterface = QStringLiteral("org.freedesktop.DBus.Mock");
const QString kPolkit = QStringLiteral("org.freedesktop.PolicyKit1");
const QString kPolkitPath = QStringLiteral("/org/freedesktop/PolicyKit1/Authority");
const QString kPolkitInterface = QStringLiteral("org.freedesktop.PolicyKit1.Authority");
const QString kLogind = QStringLiteral("org.freedesktop.login1"), kLogindPath = QStringLiteral("/org/freedesktop/login1");
const QString kLogindManager = QStringLiteral("org.freedesktop.login1.Manager");
const QString kSystemd = QStringLiteral("org.freedesktop.systemd1"), kSystemdPath = QStringLiteral("/org/freedesktop/systemd1");
const QString kSystemdManager = QStringLiteral("org.freedesktop.systemd1.Manager");
const QString kNotifications = QStringLiteral("org.freedesktop.Notifications");
const QString kNotificationsPath = QStringLiteral("/org/freedesktop/Notifications");

// The template's own CheckAuthorization keeps no record of its calls; this one, added in its
// place, is logged by the mock like every added method, and answers the same way.
const QString kCheckAnswering = QStringLiteral(
    "ret = (args[1] in self.allowed or self.allow_unknown, False, dbus.Dictionary({}, signature='ss'))");

// A bus that lets every local peer own any name and talk to anyone: the tests run as root and,
// in places, as nobody.
std::string BusConfiguration(const std::string &type, const std::string &socket) {
    return "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
           " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig>\n  <type>" + type + "</type>\n  <listen>unix:path=" + socket + "</listen>\n"
           "  <auth>EXTERNAL</auth>\n"
           "  <policy context=\"default\">\n"
           "    <allow user=\"*\"/>\n    <allow own=\"*\"/>\n"
           "    <allow send_destination=\"*\" eavesdrop=\"true\"/>\n    <allow eavesdrop=\"true\"/>\n"
           "  </policy>\n</busconfig>\n";
}

// How the fixture's daemons start: they die with the test process, even one killed before its
// destructors run. The parent's ID is taken before the fork, so that a parent already gone by
// the time the signal is asked for is noticed.
ChildSetup DiesWithTheTest(ChildSetup setup = {}) {
    const pid_t parent = ::getpid();
    return setup.Before([parent] { return ::prctl(PR_SET_PDEATHSIG, SIGKILL) == 0 && ::getppid() == parent; });
}

// A D-Bus variant as the plain value it holds.
QVariant Unwrapped(const QVariant &value) {
    return value.canConvert<QDBusVariant>() ? value.value<QDBusVariant>().variant() : value;
}

QVariantList Variants(const QVariantList &values) {
    QVariantList wrapped;
    for (const QVariant &value : values) wrapped << QVariant::fromValue(QDBusVariant(value));
    return wrapped;
}

// A unit's name and object path, the name with every byte but letters and digits written as _xx.
QVariantList Unit(const std::string &unit) {
    QString path = kSystemdPath + "/unit/";
    for (unsigned char c : unit) path += std::isalnum(c) ? QString(QChar(c)) : QString::asprintf("_%02x", c);
    return {QString::fromStdString(unit), QVariant::fromValue(QDBusObjectPath(path))};
}

// Stops a mock and waits until its name is gone from the bus.
void Stop(Child &mock, QDBusConnection &bus, const QString &name) {
    mock = Child();
    EXPECT_TRUE(WaitUntil([&] { return !bus.interface()->isServiceRegistered(name).value(); })) << name.toStdString();
}

}  // namespace

bool WaitUntil(const std::function<bool()> &done, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    // The ticking timer bounds each wait for events, so the deadline is checked at least this often.
    QTimer tick;
    tick.start(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline) return done();
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
    }
    return true;
}

std::string PrivateBuses::startBus(const std::string &type, Child &daemon) {
    const std::string config = folder_ / (type + ".conf");
    WriteFile(config, BusConfiguration(type, folder_ / (type + "-bus")));
    int fds[2] = {-1, -1};
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << strerror(errno);
        return "";
    }
    wfs::UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    daemon = Child::Exec({"/usr/bin/dbus-daemon", "--nofork", "--nosyslog", "--config-file=" + config, "--print-address"},
                         DiesWithTheTest(ChildSetup().Fd(STDOUT_FILENO, writeEnd.get())));
    writeEnd.reset();
    std::string output;
    const bool printed = ReadUntil(readEnd.get(), "\n", output, 10s);
    EXPECT_TRUE(printed) << "dbus-daemon for the " << type << " bus printed no address";
    return printed ? output.substr(0, output.find('\n')) : "";
}

Child PrivateBuses::startMock(const std::vector<std::string> &arguments, QDBusConnection &bus, const QString &name) {
    // Each mock logs the calls it serves into the fixture's folder rather than onto the test's output.
    std::vector<std::string> argv = {"/usr/bin/python3", "-m", "dbusmock", "--logfile", folder_ / (name.toStdString() + ".log")};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    Child mock = Child::Exec(argv, DiesWithTheTest());
    // The mock owns its name only once its template has loaded.
    EXPECT_TRUE(WaitUntil([&] { return bus.interface()->isServiceRegistered(name).value(); }))
        << "python3-dbusmock did not claim " << name.toStdString();
    return mock;
}

PrivateBuses::PrivateBuses(const Services &services) {
    // The folder is reached by the daemons and mocks that a test started as nobody runs.
    EXPECT_EQ(::chmod(folder_.path().c_str(), 0755), 0);
    systemAddress_ = services.systemBus ? startBus("system", systemDaemon_) : "unix:path=" + folder_ / "no-system-bus";
    sessionAddress_ = services.sessionBus ? startBus("session", sessionDaemon_) : "unix:path=" + folder_ / "no-session-bus";
    environment_.set("DBUS_SYSTEM_BUS_ADDRESS", systemAddress_);
    environment_.set("DBUS_SESSION_BUS_ADDRESS", sessionAddress_);
    system_ = connectSystem(QStringLiteral("fixture-system"));
    session_ = connectSession(QStringLiteral("fixture-session"));
    if (services.systemBus && services.polkit) startPolkit();
    if (services.systemBus && services.logind) startLogind();
    if (services.sessionBus && services.userManager) {
        userManager_ = startMock({"--session", "--template", "systemd"}, session_, kSystemd);
        // The template has no Subscribe; a manager answers it before it sends UnitNew and UnitRemoved.
        callMock(session_, kSystemd, kSystemdPath, kMockInterface, QStringLiteral("AddMethod"),
                 {kSystemdManager, QStringLiteral("Subscribe"), QString(), QString(), QString()});
    }
    if (services.sessionBus && services.notifications) {
        notifications_ = startMock({"--template", "notification_daemon"}, session_, kNotifications);
    }
}

// The members then end in the reverse of their declaration: the connections, the services, and
// last the buses they are on.
PrivateBuses::~PrivateBuses() {
    for (const QString &name : connectionNames_) QDBusConnection::disconnectFromBus(name);
}

QDBusConnection PrivateBuses::connectSystem(const QString &name) {
    connectionNames_.push_back(name);
    return QDBusConnection::connectToBus(QString::fromStdString(systemAddress_), name);
}

QDBusConnection PrivateBuses::connectSession(const QString &name) {
    connectionNames_.push_back(name);
    return QDBusConnection::connectToBus(QString::fromStdString(sessionAddress_), name);
}

QDBusMessage PrivateBuses::callMock(QDBusConnection &bus, const QString &service, const QString &path,
                                    const QString &interface, const QString &method, const QVariantList &arguments) {
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
    call.setArguments(arguments);
    QDBusMessage reply = bus.call(call, QDBus::Block, kCallTimeoutMs);
    EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << method.toStdString() << ": " << reply.errorMessage().toStdString();
    return reply;
}

std::vector<QVariantList> PrivateBuses::methodCalls(QDBusConnection &bus, const QString &service, const QString &path,
                                                     const QString &method) {
    std::vector<QVariantList> rows;
    const QDBusMessage reply = callMock(bus, service, path, kMockInterface, QStringLiteral("GetMethodCalls"), {method});
    if (reply.arguments().size() != 1) return rows;
    const QDBusArgument calls = reply.arguments().at(0).value<QDBusArgument>();  // a(tav)
    calls.beginArray();
    while (!calls.atEnd()) {
        qulonglong when = 0;
        QVariantList arguments;
        calls.beginStructure();
        calls >> when >> arguments;
        calls.endStructure();
        rows.push_back(arguments);
    }
    calls.endArray();
    return rows;
}

void PrivateBuses::emitSignal(QDBusConnection &bus, const QString &service, const QString &path, const QString &interface,
                              const QString &name, const QString &signature, const QVariantList &arguments) {
    callMock(bus, service, path, kMockInterface, QStringLiteral("EmitSignal"),
             {interface, name, signature, QVariant::fromValue(Variants(arguments))});
}

// ---- polkitd ----

void PrivateBuses::startPolkit() {
    polkit_ = startMock({"--system", "--template", "polkitd"}, system_, kPolkit);
    setPolkitError("", "");
}

void PrivateBuses::stopPolkit() { Stop(polkit_, system_, kPolkit); }

void PrivateBuses::setPolkitAllowed(const std::vector<std::string> &actions) {
    QStringList list;
    for (const std::string &action : actions) list << QString::fromStdString(action);
    callMock(system_, kPolkit, kPolkitPath, kMockInterface, QStringLiteral("SetAllowed"), {list});
}

void PrivateBuses::setPolkitError(const std::string &name, const std::string &message) {
    const QString code = name.empty() ? kCheckAnswering
                                      : QString::fromStdString("raise dbus.exceptions.DBusException('" + message + "', name='" + name + "')");
    callMock(system_, kPolkit, kPolkitPath, kMockInterface, QStringLiteral("AddMethod"),
             {kPolkitInterface, QStringLiteral("CheckAuthorization"), QStringLiteral("(sa{sv})sa{ss}us"),
              QStringLiteral("(bba{ss})"), code});
}

std::vector<std::pair<std::string, uint>> PrivateBuses::polkitChecks() {
    std::vector<std::pair<std::string, uint>> checks;
    for (const QVariantList &arguments : methodCalls(system_, kPolkit, kPolkitPath, QStringLiteral("CheckAuthorization"))) {
        if (arguments.size() != 5) {
            ADD_FAILURE() << "CheckAuthorization with " << arguments.size() << " arguments";
            continue;
        }
        checks.emplace_back(Unwrapped(arguments[1]).toString().toStdString(), Unwrapped(arguments[3]).toUInt());
    }
    return checks;
}

// ---- logind ----

void PrivateBuses::startLogind() { logind_ = startMock({"--system", "--template", "logind"}, system_, kLogind); }

void PrivateBuses::stopLogind() { Stop(logind_, system_, kLogind); }

void PrivateBuses::emitPrepareForSleep(bool start) {
    emitSignal(system_, kLogind, kLogindPath, kLogindManager, QStringLiteral("PrepareForSleep"), QStringLiteral("b"), {start});
}

void PrivateBuses::emitPrepareForShutdown(bool start) {
    emitSignal(system_, kLogind, kLogindPath, kLogindManager, QStringLiteral("PrepareForShutdown"), QStringLiteral("b"), {start});
}

std::vector<Inhibitor> PrivateBuses::listInhibitors() {
    const QDBusMessage reply = callMock(system_, kLogind, kLogindPath, kLogindManager, QStringLiteral("ListInhibitors"), {});
    std::vector<Inhibitor> rows;
    if (reply.arguments().size() != 1) return rows;
    const QDBusArgument list = reply.arguments().at(0).value<QDBusArgument>();
    list.beginArray();
    while (!list.atEnd()) {
        QString what, who, why, mode;
        uint uid = 0, pid = 0;
        list.beginStructure();
        list >> what >> who >> why >> mode >> uid >> pid;
        list.endStructure();
        rows.push_back({what.toStdString(), who.toStdString(), why.toStdString(), mode.toStdString()});
    }
    list.endArray();
    return rows;
}

bool PrivateBuses::waitForInhibitors(size_t count) {
    return WaitUntil([&] { return listInhibitors().size() == count; });
}

// ---- The systemd user manager ----

void PrivateBuses::emitUnitNew(const std::string &unit) {
    emitSignal(session_, kSystemd, kSystemdPath, kSystemdManager, QStringLiteral("UnitNew"), QStringLiteral("so"), Unit(unit));
}

void PrivateBuses::emitUnitRemoved(const std::string &unit) {
    emitSignal(session_, kSystemd, kSystemdPath, kSystemdManager, QStringLiteral("UnitRemoved"), QStringLiteral("so"), Unit(unit));
}

int PrivateBuses::subscribeCalls() {
    return static_cast<int>(methodCalls(session_, kSystemd, kSystemdPath, QStringLiteral("Subscribe")).size());
}

void PrivateBuses::claimSessionName(const std::string &name) {
    const QString connection = "claim-" + QString::fromStdString(name);
    QDBusConnection client = connectSession(connection);
    EXPECT_TRUE(client.registerService(QString::fromStdString(name))) << name;
    claimedNames_.emplace_back(name, connection);
}

void PrivateBuses::releaseSessionName(const std::string &name) {
    for (auto it = claimedNames_.begin(); it != claimedNames_.end(); ++it) {
        if (it->first != name) continue;
        QDBusConnection::disconnectFromBus(it->second);
        claimedNames_.erase(it);
        return;
    }
}

// ---- The notification service ----

std::vector<QVariantList> PrivateBuses::notifyCalls() {
    return methodCalls(session_, kNotifications, kNotificationsPath, QStringLiteral("Notify"));
}

void PrivateBuses::emitActionInvoked(uint id, const std::string &action) {
    emitSignal(session_, kNotifications, kNotificationsPath, kNotifications, QStringLiteral("ActionInvoked"), QStringLiteral("us"),
               {id, QString::fromStdString(action)});
}

}  // namespace wfstest
