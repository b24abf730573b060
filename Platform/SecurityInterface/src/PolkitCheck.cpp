#include "PolkitCheck.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QMap>
#include <QTimer>

namespace wfs::securityinterface {
namespace {

const QString kService = QStringLiteral("org.freedesktop.PolicyKit1");
const QString kPath = QStringLiteral("/org/freedesktop/PolicyKit1/Authority");
const QString kInterface = QStringLiteral("org.freedesktop.PolicyKit1.Authority");

constexpr uint kAllowUserInteraction = 0x1;
// A person may take a while to type a password; an agent that never answers must not keep the lock
// busy for ever, though.
constexpr int kInteractiveTimeoutMs = 10 * 60 * 1000;

// The subject polkit decides for: this process, as the bus knows it. The bus vouches for the name,
// where a process ID could be reused by the time polkit looks.
QDBusArgument Subject(const QString &busName) {
    QDBusArgument subject;
    subject.beginStructure();
    subject << QStringLiteral("system-bus-name");
    subject.beginMap(QMetaType::fromType<QString>(), QMetaType::fromType<QDBusVariant>());
    subject.beginMapEntry();
    subject << QStringLiteral("name") << QDBusVariant(busName);
    subject.endMapEntry();
    subject.endMap();
    subject.endStructure();
    return subject;
}

QDBusArgument NoDetails() {
    QDBusArgument details;
    details.beginMap(QMetaType::fromType<QString>(), QMetaType::fromType<QString>());
    details.endMap();
    return details;
}

bool IsUnreachable(QDBusError::ErrorType type) {
    switch (type) {
    case QDBusError::ServiceUnknown:
    case QDBusError::NoReply:
    case QDBusError::NoServer:
    case QDBusError::Timeout:
    case QDBusError::TimedOut:
    case QDBusError::Disconnected:
    case QDBusError::NoNetwork:
    case QDBusError::BadAddress:
        return true;
    default:
        return false;
    }
}

PolkitAnswer Read(const QDBusMessage &reply) {
    if (reply.type() == QDBusMessage::ErrorMessage) {
        const QDBusError error(reply);
        return {IsUnreachable(error.type()) ? PolkitAnswer::Unreachable : PolkitAnswer::Refused,
                error.name() + QStringLiteral(": ") + error.message()};
    }
    // (bba{ss}): is authorized, is a challenge, details.
    if (reply.type() != QDBusMessage::ReplyMessage || reply.signature() != QStringLiteral("(bba{ss})")) {
        return {PolkitAnswer::Refused, QStringLiteral("an answer of signature \"%1\"").arg(reply.signature())};
    }
    const QDBusArgument result = reply.arguments().at(0).value<QDBusArgument>();
    bool authorized = false, challenge = false;
    QMap<QString, QString> details;
    result.beginStructure();
    result >> authorized >> challenge >> details;
    result.endStructure();
    return {authorized ? PolkitAnswer::Authorized : PolkitAnswer::NotAuthorized, QString()};
}

}  // namespace

void CheckAuthorization(QDBusConnection bus, QObject *context, const QString &action, bool interactive,
                        const QString &cancellationId, std::function<void(const PolkitAnswer &)> done) {
    if (!bus.isConnected()) {
        const QString detail = bus.lastError().isValid() ? bus.lastError().name() + QStringLiteral(": ") + bus.lastError().message()
                                                         : QStringLiteral("no connection to the system bus");
        QTimer::singleShot(0, context, [done = std::move(done), detail] { done({PolkitAnswer::Unreachable, detail}); });
        return;
    }
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("CheckAuthorization"));
    call << QVariant::fromValue(Subject(bus.baseService())) << action << QVariant::fromValue(NoDetails())
         << uint(interactive ? kAllowUserInteraction : 0) << cancellationId;
    auto *watcher = new QDBusPendingCallWatcher(bus.asyncCall(call, interactive ? kInteractiveTimeoutMs : -1), context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, context, [watcher, done = std::move(done)] {
        watcher->deleteLater();
        done(Read(watcher->reply()));
    });
}

void CancelCheckAuthorization(QDBusConnection bus, const QString &cancellationId) {
    if (!bus.isConnected()) return;
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, QStringLiteral("CancelCheckAuthorization"));
    call << cancellationId;
    (void)bus.send(call);
}

}  // namespace wfs::securityinterface
