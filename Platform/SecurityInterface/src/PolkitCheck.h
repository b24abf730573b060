// Asking polkit whether this process is authorized for an action.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <functional>

namespace wfs::securityinterface {

struct PolkitAnswer {
    enum Kind {
        Authorized,
        NotAuthorized,  // polkit said no (a person dismissed the agent, or no one asked them)
        Unreachable,    // no system bus, or no polkit on it
        Refused,        // polkit answered with an error, such as an action it does not know
    } kind;
    QString detail;  // for the failures: the D-Bus error's name and message
};

// Sends CheckAuthorization for `action`, with this connection's bus name as the subject, and
// interaction allowed when `interactive` (the desktop's agent may then ask for a password, so the
// question can take minutes). `done` runs with the answer from the event loop, never within this
// call, and not at all once `context` is gone. `cancellationId` names the question for
// CancelCheckAuthorization.
void CheckAuthorization(QDBusConnection bus, QObject *context, const QString &action, bool interactive,
                        const QString &cancellationId, std::function<void(const PolkitAnswer &)> done);

// Withdraws the question named `cancellationId`, without waiting for an answer.
void CancelCheckAuthorization(QDBusConnection bus, const QString &cancellationId);

}  // namespace wfs::securityinterface
