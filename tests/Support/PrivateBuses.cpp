#include "PrivateBuses.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusVariant>
#include <QTimer>

#include <poll.h>

namespace wfstest {
namespace {

constexpr int kCallTimeoutMs = 5000;
const QString kMockInterface = QStringLiteral("org.freedesktop.DBus.Mock");
const QString kPolkit = QStringLiteral("org.freedesktop.PolicyKit1");
const QString kPolkitPath = QStringLiteral("/org/freedesktop/PolicyKit1/Authority");
const QString kPolkitInterface = QStringLiteral("org.freedesktop.PolicyKit1.Authority");

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

// Reads one line from `fd` within `limit`; empty when none came.
std::string ReadLine(int fd, std::chrono::milliseconds limit) {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (line.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return "";
        struct pollfd ready = {fd, POLLIN, 0};
        const int rc = wfs::RetryOnEintr([&] { return ::poll(&ready, 1, static_cast<int>(left.count())); });
        if (rc <= 0) return "";
        char buffer[256];
        const ssize_t n = wfs::RetryOnEintr([&] { return ::read(fd, buffer, sizeof buffer); });
        if (n <= 0) return "";
        line.append(buffer, static_cast<size_t>(n));
    }
    return line.substr(0, line.find('\n'));
}

// A D-Bus variant as the plain value it holds.
QVariant Unwrapped(const QVariant &value) {
    return value.canConvert<QDBusVariant>() ? value.value<QDBusVariant>().variant() : value;
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
                         ChildSetup().Fd(STDOUT_FILENO, writeEnd.get()));
    writeEnd.reset();
    const std::string address = ReadLine(readEnd.get(), 10s);
    EXPECT_FALSE(address.empty()) << "dbus-daemon for the " << type << " bus printed no address";
    return address;
}

Child PrivateBuses::startMock(const std::vector<std::string> &arguments, QDBusConnection &bus, const QString &name) {
    // Each mock logs the calls it serves into the fixture's folder rather than onto the test's output.
    std::vector<std::string> argv = {"/usr/bin/python3", "-m", "dbusmock", "--logfile", folder_ / (name.toStdString() + ".log")};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    Child mock = Child::Exec(argv);
    // The mock owns its name only once its template has loaded.
    EXPECT_TRUE(WaitUntil([&] { return bus.interface()->isServiceRegistered(name).value(); }))
        << "python3-dbusmock did not claim " << name.toStdString();
    return mock;
}

PrivateBuses::PrivateBuses(const Services &services) {
    // The folder is reached by the daemons and mocks that a test started as nobody runs.
    EXPECT_EQ(::chmod(folder_.path().c_str(), 0755), 0);
    systemAddress_ = services.systemBus ? startBus("system", systemDaemon_) : "unix:path=" + folder_ / "no-system-bus";
    environment_.set("DBUS_SYSTEM_BUS_ADDRESS", systemAddress_);
    system_ = connectSystem(QStringLiteral("fixture-system"));
    if (services.systemBus && services.polkit) startPolkit();
}

PrivateBuses::~PrivateBuses() {
    for (const QString &name : connectionNames_) QDBusConnection::disconnectFromBus(name);
    system_ = QDBusConnection(QString());
    polkit_ = Child();
    systemDaemon_ = Child();
}

QDBusConnection PrivateBuses::connectSystem(const QString &name) {
    connectionNames_.push_back(name);
    return QDBusConnection::connectToBus(QString::fromStdString(systemAddress_), name);
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

void PrivateBuses::startPolkit() {
    polkit_ = startMock({"--system", "--template", "polkitd"}, system_, kPolkit);
    setPolkitError("", "");
}

void PrivateBuses::stopPolkit() {
    polkit_ = Child();
    EXPECT_TRUE(WaitUntil([&] { return !system_.interface()->isServiceRegistered(kPolkit).value(); }));
}

void PrivateBuses::setPolkitAllowed(const std::vector<std::string> &actions) {
    QStringList list;
    for (const std::string &action : actions) list << QString::fromStdString(action);
    callMock(system_, kPolkit, kPolkitPath, kMockInterface, QStringLiteral("SetAllowed"), {list});
}

void PrivateBuses::setPolkitError(const std::string &name, const std::string &message) {
    const QString code = name.empty() ? kCheckAnswering
                                      : QStringLiteral("raise dbus.exceptions.DBusException(%1, name=%2)")
                                            .arg(QString::fromStdString("'" + message + "'"), QString::fromStdString("'" + name + "'"));
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

}  // namespace wfstest
