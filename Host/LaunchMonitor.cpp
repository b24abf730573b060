#include "LaunchMonitor.h"

#include <QDBusServiceWatcher>
#include <QFile>

#include <unistd.h>

namespace tidemark {
namespace {

const QString kManagerName = "org.freedesktop.systemd1";
const QString kManagerPath = "/org/freedesktop/systemd1";
const QString kManager = "org.freedesktop.systemd1.Manager";

}  // namespace

LaunchMonitor::LaunchMonitor(QDBusConnection sessionBus, WorkspacePoster post, LogSink log, QObject *parent)
    : QObject(parent), bus_(std::move(sessionBus)), post_(std::move(post)), log_(std::move(log)) {
    if (!bus_.isConnected()) {
        source_ = Source::None;
        log_(LogLevel::Warn, "no session bus (" + bus_.lastError().message().toStdString() +
                                 "): application launches will not be reported");
        return;
    }
    bus_.connect(kManagerName, kManagerPath, kManager, "UnitNew", this, SLOT(unitNew(QDBusMessage)));
    bus_.connect(kManagerName, kManagerPath, kManager, "UnitRemoved", this, SLOT(unitRemoved(QDBusMessage)));
    bus_.connect("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "NameOwnerChanged", this,
                 SLOT(nameOwnerChanged(QString, QString, QString)));
    // A user manager that restarts forgets its subscribers; one that appears late takes over.
    auto *watcher = new QDBusServiceWatcher(kManagerName, bus_, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, &LaunchMonitor::managerOwnerChanged);
    subscribe();
}

bool LaunchMonitor::IsApplicationUnit(const QString &unit) {
    for (const QString &suffix : {QStringLiteral(".scope"), QStringLiteral(".service")}) {
        if (unit.endsWith(suffix)) return unit.startsWith("app-") && unit.size() > 4 + suffix.size();
    }
    return false;
}

QString LaunchMonitor::UnitOfCgroup(const QString &cgroupText) {
    // The unified hierarchy's line, "0::/user.slice/.../app.slice/app-foo-1234.scope".
    for (const QString &line : cgroupText.split('\n')) {
        if (!line.startsWith("0::")) continue;
        const QString leaf = line.mid(line.lastIndexOf('/') + 1);
        return leaf.endsWith(".scope") || leaf.endsWith(".service") ? leaf : QString();
    }
    return {};
}

bool LaunchMonitor::isOwnUnit(const QString &unit) const {
    // A launcher may start the host first and move it into its new scope afterwards, so the
    // announcement of the host's own unit can come after the host subscribed. Such scopes carry
    // the process ID in their name; otherwise the unit is the one the host runs in by now.
    if (unit.endsWith("-" + QString::number(::getpid()) + ".scope")) return true;
    QFile cgroup("/proc/self/cgroup");
    if (!cgroup.open(QIODevice::ReadOnly)) return false;
    return UnitOfCgroup(QString::fromUtf8(cgroup.readAll())) == unit;
}

void LaunchMonitor::subscribe() {
    QDBusMessage call = QDBusMessage::createMethodCall(kManagerName, kManagerPath, kManager, "Subscribe");
    if (!bus_.callWithCallback(call, this, SLOT(subscribed(QDBusMessage)), SLOT(subscribeFailed(QDBusError, QDBusMessage)))) {
        subscribeFailed(bus_.lastError(), call);
    }
}

void LaunchMonitor::subscribed(const QDBusMessage &) {
    if (source_ != Source::Units) log_(LogLevel::Info, "application launches come from the systemd user manager");
    source_ = Source::Units;
}

void LaunchMonitor::subscribeFailed(const QDBusError &error, const QDBusMessage &) {
    if (source_ != Source::BusNames) {
        log_(LogLevel::Info, "no systemd user manager (" + error.message().toStdString() +
                                 "): application launches are seen as new names on the session bus");
    }
    source_ = Source::BusNames;
    liveUnits_.clear();
}

void LaunchMonitor::managerOwnerChanged(const QString &, const QString &, const QString &newOwner) {
    if (newOwner.isEmpty()) {
        subscribeFailed(QDBusError(QDBusError::ServiceUnknown, "the user manager left the session bus"), {});
    } else {
        subscribe();
    }
}

QString LaunchMonitor::UnitOf(const QDBusMessage &signal) {
    const QVariantList arguments = signal.arguments();
    return !arguments.isEmpty() && arguments.front().userType() == QMetaType::QString ? arguments.front().toString() : QString();
}

void LaunchMonitor::unitNew(const QDBusMessage &signal) {
    const QString unit = UnitOf(signal);
    if (source_ != Source::Units || !IsApplicationUnit(unit) || liveUnits_.contains(unit)) return;
    liveUnits_.insert(unit);
    if (isOwnUnit(unit)) return;
    log_(LogLevel::Info, "application launched: " + unit.toStdString());
    post_(WorkspaceEvent::DidLaunchApplication);
}

void LaunchMonitor::unitRemoved(const QDBusMessage &signal) { liveUnits_.remove(UnitOf(signal)); }

void LaunchMonitor::nameOwnerChanged(const QString &name, const QString &oldOwner, const QString &newOwner) {
    if (name.startsWith(':')) {
        if (newOwner.isEmpty()) launchedClients_.remove(name);  // that client has left the bus
        return;
    }
    if (source_ != Source::BusNames || !oldOwner.isEmpty() || newOwner.isEmpty()) return;
    // Neither the host's own names nor the user manager (which has its own watcher) are launches,
    // and a client that takes several names is one launch.
    if (newOwner == bus_.baseService() || name == kManagerName || launchedClients_.contains(newOwner)) return;
    launchedClients_.insert(newOwner);
    log_(LogLevel::Info, "application launched: " + name.toStdString());
    post_(WorkspaceEvent::DidLaunchApplication);
}

}  // namespace tidemark
