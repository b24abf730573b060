#include "DesktopNotifier.h"

#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>

namespace tidemark {
namespace {

const QString kService = "org.freedesktop.Notifications";
const QString kPath = "/org/freedesktop/Notifications";
const QString kInterface = "org.freedesktop.Notifications";
constexpr unsigned char kCriticalUrgency = 2;

QString Body(const Timer &timer, Instant due) {
    if (timer.mode == TimerMode::Countdown && !timer.snoozedUntil) return "Time is up";
    const time_t t = due.time_since_epoch().count();
    struct tm local {};
    localtime_r(&t, &local);
    return QString::asprintf("%02d:%02d", local.tm_hour, local.tm_min);
}

// The signal's arguments, when they are (uint32, ...) as the notification signals carry.
std::optional<std::pair<uint, QVariantList>> IdOf(const QDBusMessage &signal) {
    const QVariantList arguments = signal.arguments();
    if (arguments.isEmpty() || arguments.front().userType() != QMetaType::UInt) return std::nullopt;
    return std::make_pair(arguments.front().toUInt(), arguments);
}

}  // namespace

DesktopNotifier::DesktopNotifier(QDBusConnection sessionBus, LogSink log, std::function<void(const std::string &)> snooze,
                                 QObject *parent)
    : QObject(parent), bus_(std::move(sessionBus)), log_(std::move(log)), snooze_(std::move(snooze)) {
    bus_.connect(kService, kPath, kInterface, "ActionInvoked", this, SLOT(actionInvoked(QDBusMessage)));
    bus_.connect(kService, kPath, kInterface, "NotificationClosed", this, SLOT(notificationClosed(QDBusMessage)));
}

void DesktopNotifier::ring(const Timer &timer, Instant due) {
    const QString summary = timer.label.empty() ? QString("Alarm") : QString::fromStdString(timer.label);
    // Without a connection Qt answers no call at all, not even with an error.
    if (!bus_.isConnected()) {
        log_(LogLevel::Warn, std::string("\"").append(summary.toStdString()) + "\" rang, but no notification could be shown (no session bus)");
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "Notify");
    const QVariantMap hints = {{"urgency", QVariant::fromValue(kCriticalUrgency)},
                               {"sound-name", QString("alarm-clock-elapsed")},
                               {"category", QString("alarm")}};
    call << QString("Tidemark") << 0u << QString("alarm-clock") << summary << Body(timer, due)
         << QStringList{"snooze", "Snooze", "stop", "Stop"} << hints << 0;  // 0: stays until dismissed
    const std::string id = timer.id, name = summary.toStdString();
    ++awaitingIds_;
    auto *watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, id, name] {
        watcher->deleteLater();
        const QDBusPendingReply<uint> reply = *watcher;
        if (reply.isError()) {
            log_(LogLevel::Warn, "\"" + name + "\" rang, but no notification could be shown (" +
                                     reply.error().message().toStdString() + ")");
        } else {
            idArrived(reply.value(), id);
        }
        // With no reply left to come, the signals still waiting were for other applications.
        if (--awaitingIds_ == 0) early_.clear();
    });
}

void DesktopNotifier::idArrived(uint notification, const std::string &timer) {
    shown_[notification] = timer;
    // Qt delivers a reply that came before its watcher existed one event later than the signals
    // that followed it on the bus: a Snooze chosen while the program was busy would otherwise be
    // taken for another application's and lost.
    std::vector<QString> actions;
    std::erase_if(early_, [&](const std::pair<uint, QString> &signal) {
        if (signal.first != notification) return false;
        actions.push_back(signal.second);
        return true;
    });
    for (const QString &action : actions) {
        if (action.isEmpty()) {
            shown_.erase(notification);
            return;
        }
        if (action == "snooze" && snooze_) snooze_(timer);
    }
}

void DesktopNotifier::actionInvoked(const QDBusMessage &signal) {
    const auto parsed = IdOf(signal);
    if (!parsed || parsed->second.size() != 2) return;
    const QString action = parsed->second.at(1).toString();
    const auto found = shown_.find(parsed->first);
    if (found == shown_.end()) {
        // Not one of ours (the service serves every application), or one whose id is still coming.
        if (awaitingIds_ > 0 && !action.isEmpty()) early_.emplace_back(parsed->first, action);
        return;
    }
    if (action == "snooze" && snooze_) snooze_(found->second);
}

void DesktopNotifier::notificationClosed(const QDBusMessage &signal) {
    const auto parsed = IdOf(signal);
    if (!parsed) return;
    if (shown_.erase(parsed->first) == 0 && awaitingIds_ > 0) early_.emplace_back(parsed->first, QString());
}

}  // namespace tidemark
