#include "PrivateBuses.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QTimer>

#include <cctype>

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>

extern char **environ;

namespace hosttest {
namespace {

constexpr int kCallTimeoutMs = 5000;
const QString kMockInterface = "org.freedesktop.DBus.Mock";
const QString kLogind = "org.freedesktop.login1", kLogindPath = "/org/freedesktop/login1";
const QString kSystemd = "org.freedesktop.systemd1", kSystemdPath = "/org/freedesktop/systemd1";
const QString kNotifications = "org.freedesktop.Notifications", kNotificationsPath = "/org/freedesktop/Notifications";

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

// The environment of this process with DBUS_* as the fixture set them (read when a child starts).
std::vector<std::string> CurrentEnvironment() {
    std::vector<std::string> entries;
    for (char **entry = environ; *entry != nullptr; ++entry) entries.emplace_back(*entry);
    return entries;
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

QVariantList Variants(const QVariantList &values) {
    QVariantList wrapped;
    for (const QVariant &value : values) wrapped << QVariant::fromValue(QDBusVariant(value));
    return wrapped;
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

ChildProcess::ChildProcess(const std::vector<std::string> &argv, const std::vector<std::string> &environment, int stdoutFd) {
    // Everything the child needs is built before fork: after it, only async-signal-safe calls.
    std::vector<char *> args, env;
    for (const std::string &arg : argv) args.push_back(const_cast<char *>(arg.c_str()));
    for (const std::string &entry : environment) env.push_back(const_cast<char *>(entry.c_str()));
    args.push_back(nullptr);
    env.push_back(nullptr);
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ == 0) {
        // Dies with the test process, even when that one is killed before its destructors run.
        if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0 || ::getppid() != parent) ::_exit(127);
        if (stdoutFd >= 0 && ::dup2(stdoutFd, STDOUT_FILENO) < 0) ::_exit(127);
        ::execve(args[0], args.data(), env.data());
        ::_exit(127);
    }
    EXPECT_GT(pid_, 0) << "fork: " << strerror(errno);
}

ChildProcess &ChildProcess::operator=(ChildProcess &&other) noexcept {
    if (this != &other) {
        stop();
        pid_ = std::exchange(other.pid_, -1);
    }
    return *this;
}

void ChildProcess::stop() {
    if (pid_ <= 0) return;
    const pid_t pid = std::exchange(pid_, -1);
    ::kill(pid, SIGTERM);
    for (int waited = 0; waited < 200; ++waited) {  // two seconds for a clean exit
        if (wfs::RetryOnEintr([&] { return ::waitpid(pid, nullptr, WNOHANG); }) != 0) return;
        ::usleep(10000);
    }
    ::kill(pid, SIGKILL);
    wfs::RetryOnEintr([&] { return ::waitpid(pid, nullptr, 0); });
}

std::string PrivateBuses::startBus(const std::string &type, ChildProcess &daemon) {
    const std::string config = folder_ / (type + ".conf");
    wfstest::WriteFile(config, BusConfiguration(type, folder_ / (type + "-bus")));
    int fds[2] = {-1, -1};
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2: " << strerror(errno);
        return "";
    }
    wfs::UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
    daemon = ChildProcess({"/usr/bin/dbus-daemon", "--nofork", "--nosyslog", "--config-file=" + config, "--print-address"},
                          CurrentEnvironment(), writeEnd.get());
    writeEnd.reset();
    const std::string address = ReadLine(readEnd.get(), 10s);
    EXPECT_FALSE(address.empty()) << "dbus-daemon for the " << type << " bus printed no address";
    return address;
}

ChildProcess PrivateBuses::startMock(const std::vector<std::string> &arguments, QDBusConnection &bus, const QString &name) {
    // Each mock logs the calls it serves into the fixture's folder rather than onto the test's output.
    std::vector<std::string> argv = {"/usr/bin/python3", "-m", "dbusmock", "--logfile", folder_ / (name.toStdString() + ".log")};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    ChildProcess mock(argv, CurrentEnvironment());
    // The mock owns its name only once its template has loaded.
    EXPECT_TRUE(WaitUntil([&] { return bus.interface()->isServiceRegistered(name).value(); }))
        << "python3-dbusmock did not claim " << name.toStdString();
    return mock;
}

PrivateBuses::PrivateBuses(const Services &services) {
    sessionAddress_ = startBus("session", sessionDaemon_);
    if (services.systemBus) {
        systemAddress_ = startBus("system", systemDaemon_);
    } else {
        systemAddress_ = "unix:path=" + folder_ / "no-system-bus";
    }
    environment_.set("DBUS_SYSTEM_BUS_ADDRESS", systemAddress_);
    environment_.set("DBUS_SESSION_BUS_ADDRESS", sessionAddress_);
    system_ = connectSystem("fixture-system");
    session_ = connectSession("fixture-session");
    if (services.systemBus && services.logind) startLogind();
    if (services.userManager) {
        userManager_ = startMock({"--session", "--template", "systemd"}, session_, kSystemd);
        // The template has no Subscribe; a manager answers it before it sends UnitNew and UnitRemoved.
        callMock(session_, kSystemd, kSystemdPath, "AddMethod",
                 {"org.freedesktop.systemd1.Manager", "Subscribe", "", "", ""});
    }
    if (services.notifications) {
        notifications_ = startMock({"--template", "notification_daemon"}, session_, kNotifications);
    }
}

PrivateBuses::~PrivateBuses() {
    for (const QString &name : connectionNames_) QDBusConnection::disconnectFromBus(name);
    system_ = QDBusConnection(QString());
    session_ = QDBusConnection(QString());
    notifications_.stop();
    userManager_.stop();
    logind_.stop();
    sessionDaemon_.stop();
    systemDaemon_.stop();
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
                                    const QString &method, const QVariantList &arguments) {
    QDBusMessage call = QDBusMessage::createMethodCall(service, path, kMockInterface, method);
    call.setArguments(arguments);
    QDBusMessage reply = bus.call(call, QDBus::Block, kCallTimeoutMs);
    EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << method.toStdString() << ": " << reply.errorMessage().toStdString();
    return reply;
}

void PrivateBuses::emitSignal(QDBusConnection &bus, const QString &service, const QString &path, const QString &interface,
                        const QString &name, const QString &signature, const QVariantList &arguments) {
    callMock(bus, service, path, "EmitSignal", {interface, name, signature, QVariant::fromValue(Variants(arguments))});
}

void PrivateBuses::startLogind() {
    logind_ = startMock({"--system", "--template", "logind"}, system_, kLogind);
}

void PrivateBuses::stopLogind() {
    logind_.stop();
    EXPECT_TRUE(WaitUntil([&] { return !system_.interface()->isServiceRegistered(kLogind).value(); }));
}

void PrivateBuses::emitPrepareForSleep(bool start) {
    emitSignal(system_, kLogind, kLogindPath, "org.freedesktop.login1.Manager", "PrepareForSleep", "b", {start});
}

void PrivateBuses::emitPrepareForShutdown(bool start) {
    emitSignal(system_, kLogind, kLogindPath, "org.freedesktop.login1.Manager", "PrepareForShutdown", "b", {start});
}

std::vector<Inhibitor> PrivateBuses::listInhibitors() {
    QDBusMessage call = QDBusMessage::createMethodCall(kLogind, kLogindPath, "org.freedesktop.login1.Manager", "ListInhibitors");
    const QDBusMessage reply = system_.call(call, QDBus::Block, kCallTimeoutMs);
    std::vector<Inhibitor> rows;
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1) {
        ADD_FAILURE() << "ListInhibitors: " << reply.errorMessage().toStdString();
        return rows;
    }
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

// A unit's object path, its name with every byte but letters and digits written as _xx.
static QDBusObjectPath UnitPath(const std::string &unit) {
    QString path = kSystemdPath + "/unit/";
    for (unsigned char c : unit) path += std::isalnum(c) ? QString(QChar(c)) : QString::asprintf("_%02x", c);
    return QDBusObjectPath(path);
}

void PrivateBuses::emitUnitNew(const std::string &unit) {
    emitSignal(session_, kSystemd, kSystemdPath, "org.freedesktop.systemd1.Manager", "UnitNew", "so",
               {QString::fromStdString(unit), QVariant::fromValue(UnitPath(unit))});
}

void PrivateBuses::emitUnitRemoved(const std::string &unit) {
    emitSignal(session_, kSystemd, kSystemdPath, "org.freedesktop.systemd1.Manager", "UnitRemoved", "so",
               {QString::fromStdString(unit), QVariant::fromValue(UnitPath(unit))});
}

int PrivateBuses::subscribeCalls() {
    return static_cast<int>(methodCalls(session_, kSystemd, kSystemdPath, "Subscribe").size());
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

std::vector<QVariantList> PrivateBuses::notifyCalls() {
    return methodCalls(session_, kNotifications, kNotificationsPath, "Notify");
}

std::vector<QVariantList> PrivateBuses::methodCalls(QDBusConnection &bus, const QString &service, const QString &path,
                                                     const QString &method) {
    std::vector<QVariantList> rows;
    const QDBusMessage reply = callMock(bus, service, path, "GetMethodCalls", {method});
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

void PrivateBuses::emitActionInvoked(uint id, const std::string &action) {
    emitSignal(session_, kNotifications, kNotificationsPath, "org.freedesktop.Notifications", "ActionInvoked", "us",
         {id, QString::fromStdString(action)});
}

}  // namespace hosttest
