// Sleep, wake and power-off as logind announces them on the system bus. While the host runs it
// holds a "delay" inhibitor lock, so logind waits for the host to finish its will-sleep or
// will-power-off work (or for logind's own time limit) before it suspends or powers off.
#pragma once

#include "HostLog.h"
#include "WorkspaceEvents.h"

#include <Support/UniqueFd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>

namespace tidemark {

class LogindMonitor : public QObject {
    Q_OBJECT
public:
    // Starts at once: takes the first lock and listens. Without a system bus or logind it says so
    // in one warning line and reports nothing, which leaves the rest of the host working.
    LogindMonitor(QDBusConnection systemBus, WorkspacePoster post, LogSink log, QObject *parent = nullptr);

    // The descriptor of the lock held now, or -1.
    int lockDescriptor() const { return lock_.get(); }

private slots:
    void prepareForSleep(bool start);
    void prepareForShutdown(bool start);
    void logindOwnerChanged(const QString &name, const QString &oldOwner, const QString &newOwner);
    void inhibitReplied(const QDBusMessage &reply);
    void inhibitFailed(const QDBusError &error, const QDBusMessage &call);

private:
    void takeLock();
    // A sleep or power-off begins: the plug-ins are told, then the lock goes.
    void goDown(WorkspaceEvent event, const char *what);

    QDBusConnection bus_;
    WorkspacePoster post_;
    LogSink log_;
    // The one owner of the lock: logind keeps the lock while any copy of this descriptor is open.
    wfs::UniqueFd lock_;
    // Between a sleep's or power-off's start and its end, no lock may be held: logind would wait
    // for it until its own time limit.
    bool goingDown_ = false;
    // At most one Inhibit call is in flight. Its answer is kept only if nothing happened since it
    // was asked (a sleep or power-off began, logind changed hands): each of those moves the
    // generation on.
    bool inFlight_ = false;
    quint64 generation_ = 0, callGeneration_ = 0;
    bool warned_ = false, announced_ = false;
};

}  // namespace tidemark
