#include "LogindMonitor.h"

#include <QDBusServiceWatcher>
#include <QDBusUnixFileDescriptor>

#include <fcntl.h>

namespace tidemark {
namespace {

const QString kLogind = "org.freedesktop.login1";
const QString kLogindPath = "/org/freedesktop/login1";
const QString kManager = "org.freedesktop.login1.Manager";

}  // namespace

LogindMonitor::LogindMonitor(QDBusConnection systemBus, WorkspacePoster post, LogSink log, QObject *parent)
    : QObject(parent), bus_(std::move(systemBus)), post_(std::move(post)), log_(std::move(log)) {
    if (!bus_.isConnected()) {
        log_(LogLevel::Warn, "no system bus (" + bus_.lastError().message().toStdString() +
                                 "): sleep, wake and power-off will not be reported");
        return;
    }
    bus_.connect(kLogind, kLogindPath, kManager, "PrepareForSleep", this, SLOT(prepareForSleep(bool)));
    bus_.connect(kLogind, kLogindPath, kManager, "PrepareForShutdown", this, SLOT(prepareForShutdown(bool)));
    auto *watcher = new QDBusServiceWatcher(kLogind, bus_, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this, &LogindMonitor::logindOwnerChanged);
    takeLock();
}

void LogindMonitor::prepareForSleep(bool start) {
    if (start) {
        goDown(WorkspaceEvent::WillSleep, "going to sleep");
    } else {
        goingDown_ = false;
        post_(WorkspaceEvent::DidWake);
        takeLock();
    }
}

void LogindMonitor::prepareForShutdown(bool start) {
    if (start) {
        goDown(WorkspaceEvent::WillPowerOff, "powering off");
    } else {
        // A cancelled power-off: nothing to undo but the lock.
        goingDown_ = false;
        takeLock();
    }
}

void LogindMonitor::goDown(WorkspaceEvent event, const char *what) {
    goingDown_ = true;
    ++generation_;
    // Delivered synchronously: the plug-ins have done their work when the post returns, and only
    // then does the released lock let logind go on.
    post_(event);
    lock_.reset();
    log_(LogLevel::Info, std::string(what) + ": inhibitor lock released");
}

void LogindMonitor::logindOwnerChanged(const QString &, const QString &, const QString &newOwner) {
    // A lock taken from a logind that has gone means nothing to its successor.
    ++generation_;
    lock_.reset();
    goingDown_ = false;
    if (newOwner.isEmpty()) {
        log_(LogLevel::Warn, "logind left the system bus: sleep, wake and power-off will not be reported");
        return;
    }
    log_(LogLevel::Info, "logind started on the system bus");
    takeLock();
}

void LogindMonitor::takeLock() {
    if (lock_ || goingDown_) return;
    if (inFlight_) return;  // its answer, or a fresh call once it is stale, settles the lock
    QDBusMessage call = QDBusMessage::createMethodCall(kLogind, kLogindPath, kManager, "Inhibit");
    call << QString("sleep:shutdown") << QString("Tidemark") << QString("Scheduling the wake-up for the next alarm")
         << QString("delay");
    inFlight_ = bus_.callWithCallback(call, this, SLOT(inhibitReplied(QDBusMessage)),
                                      SLOT(inhibitFailed(QDBusError, QDBusMessage)));
    callGeneration_ = generation_;
}

void LogindMonitor::inhibitReplied(const QDBusMessage &reply) {
    inFlight_ = false;
    wfs::UniqueFd lock;
    {
        // Our own close-on-exec duplicate of the lock; every Qt copy (this scope's and the
        // delivered message's) is gone once this slot returns, which leaves `lock_` the only one.
        const QVariantList arguments = reply.arguments();
        if (arguments.size() == 1 && arguments.front().userType() == qMetaTypeId<QDBusUnixFileDescriptor>()) {
            const auto held = arguments.front().value<QDBusUnixFileDescriptor>();
            if (held.isValid()) lock.reset(::fcntl(held.fileDescriptor(), F_DUPFD_CLOEXEC, 3));
        }
    }
    if (callGeneration_ != generation_) {
        takeLock();  // asked before a sleep began or of a logind that has gone: drop it, ask anew
        return;
    }
    if (!lock) {
        log_(LogLevel::Warn, "logind answered Inhibit without a usable descriptor (signature \"" +
                                 reply.signature().toStdString() + "\"): sleep and power-off will not wait for the host");
        return;
    }
    lock_ = std::move(lock);
    warned_ = false;
    // The first lock is news to whoever started the host; the ones after each resume are not.
    log_(announced_ ? LogLevel::Info : LogLevel::Notice,
         "logind is there: holding a delay inhibitor lock, so sleep and power-off wait for the wake-up to be scheduled");
    announced_ = true;
}

void LogindMonitor::inhibitFailed(const QDBusError &error, const QDBusMessage &) {
    inFlight_ = false;
    if (callGeneration_ != generation_) {
        takeLock();
        return;
    }
    if (warned_) return;
    warned_ = true;
    log_(LogLevel::Warn, "logind is not available (" + error.message().toStdString() +
                             "): sleep, wake and power-off will not be reported");
}

}  // namespace tidemark
