// Application launches in the user's session. Desktops start each application in a unit of its own
// named app-*.scope or app-*.service, which the systemd user manager announces with UnitNew once a
// client has subscribed. Without a user manager, a launch shows as a new client taking a
// well-known name on the session bus.
#pragma once

#include "HostLog.h"
#include "WorkspaceEvents.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QSet>
#include <QString>

namespace tidemark {

class LaunchMonitor : public QObject {
    Q_OBJECT
public:
    LaunchMonitor(QDBusConnection sessionBus, WorkspacePoster post, LogSink log, QObject *parent = nullptr);

    enum class Source { Undecided, Units, BusNames, None };
    // Where launches are seen from now; Undecided until the user manager has answered Subscribe.
    Source source() const { return source_; }

    // Whether `unit` names an application's unit, app-*.scope or app-*.service.
    static bool IsApplicationUnit(const QString &unit);
    // The unit this process runs in, from a /proc/<pid>/cgroup text; empty when there is none.
    static QString UnitOfCgroup(const QString &cgroupText);

private slots:
    void unitNew(const QDBusMessage &signal);
    void unitRemoved(const QDBusMessage &signal);
    void nameOwnerChanged(const QString &name, const QString &oldOwner, const QString &newOwner);
    void managerOwnerChanged(const QString &name, const QString &oldOwner, const QString &newOwner);
    void subscribed(const QDBusMessage &reply);
    void subscribeFailed(const QDBusError &error, const QDBusMessage &call);

private:
    void subscribe();
    bool isOwnUnit(const QString &unit) const;
    // The unit a UnitNew or UnitRemoved names; empty when its first argument is not a string.
    static QString UnitOf(const QDBusMessage &signal);

    QDBusConnection bus_;
    WorkspacePoster post_;
    LogSink log_;
    Source source_ = Source::Undecided;
    // Units and clients already reported, so that each launch is posted once however often it
    // is announced; each entry goes when its unit or client goes.
    QSet<QString> liveUnits_, launchedClients_;
};

}  // namespace tidemark
