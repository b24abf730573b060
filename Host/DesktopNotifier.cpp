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
    auto *watcher = new QDBusPendingCallWatcher(bus_.asyncCall(call), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, watcher, id, name] {
        watcher->deleteLater();
        const QDBusPendingReply<uint> reply = *watcher;
        if (reply.isError()) {
            log_(LogLevel::Warn, "\"" + name + "\" rang, but no notification could be shown (" +
                                     reply.error().message().toStdString() + ")");
            return;
        }
        shown_[reply.value()] = id;
    });
}

void DesktopNotifier::actionInvoked(const QDBusMessage &signal) {
    const auto parsed = IdOf(signal);
    if (!parsed || parsed->second.size() != 2) return;
    const auto shown = shown_.find(parsed->first);
    if (shown == shown_.end()) return;  // not one of ours: the service serves every application
    if (parsed->second.at(1).toString() == "snooze" && snooze_) snooze_(shown->second);
}

void DesktopNotifier::notificationClosed(const QDBusMessage &signal) {
    if (const auto parsed = IdOf(signal)) shown_.erase(parsed->first);
}

}  // namespace tidemark
