// Shows a ringing timer as a desktop notification (org.freedesktop.Notifications on the session
// bus): critical, with the alarm sound, and the actions Snooze and Stop. Without a notification
// service the ring is logged and nothing else happens.
#pragma once

#include "HostLog.h"
#include "Timer.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>

#include <functional>
#include <map>
#include <vector>

namespace tidemark {

inline constexpr std::chrono::minutes kSnoozeDelay{9};

class DesktopNotifier : public QObject {
    Q_OBJECT
public:
    // `snooze` is called with a timer's id when its notification's Snooze action is chosen.
    DesktopNotifier(QDBusConnection sessionBus, LogSink log, std::function<void(const std::string &id)> snooze,
                    QObject *parent = nullptr);

    void ring(const Timer &timer, Instant due);

private slots:
    void actionInvoked(const QDBusMessage &signal);
    void notificationClosed(const QDBusMessage &signal);

private:
    // The reply to a Notify call: `notification` is now on screen for `timer`.
    void idArrived(uint notification, const std::string &timer);

    QDBusConnection bus_;
    LogSink log_;
    std::function<void(const std::string &)> snooze_;
    // The notifications on screen, by the service's id, with the timer each is for.
    std::map<uint, std::string> shown_;
    // Notify calls whose reply has not been handled yet. Qt can hand us a notification's signals
    // before the reply that tells us its id, so while a reply is due, the signals for ids we do not
    // know wait in early_ (in their order: the action, or an empty string for a close) for it.
    int awaitingIds_ = 0;
    std::vector<std::pair<uint, QString>> early_;
};

}  // namespace tidemark
