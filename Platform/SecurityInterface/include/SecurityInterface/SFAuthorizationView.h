// The authorization view: a lock and a line of text. A person clicks the closed lock to unlock
// administrator rights, and the open lock to give them up again.
//
// On this system polkit decides. Clicking the closed lock asks polkit (CheckAuthorization, with
// interaction allowed, so that the desktop's agent asks for a password) whether this process may
// have the action org.tidemark.wakefromsleep.unlock (packaging/, auth_admin_keep). The question is
// asynchronous: the window stays alive meanwhile, and the lock is busy. When polkit says yes, the
// view holds a new authorization with the right it was set to (setString) and tells its delegate.
// Clicking the open lock frees the rights that authorization holds (it stays the same
// authorization, now without rights) and tells the delegate. When polkit cannot be reached, or
// does not know the action, the lock stays closed and the reason shows under it and is logged.
//
// The view's texts come from the translations of the bundle its code was loaded from.
#pragma once

#include <Foundation/Foundation.h>
#include <Security/Security.h>

#include <QString>
#include <QWidget>

#include <string>

class QLabel;
class QToolButton;
namespace wfs::securityinterface {
struct PolkitAnswer;
}

// What the view hands out: the authorization it holds. Owned by the view.
class SFAuthorization : public NSObject {
public:
    AuthorizationRef authorizationRef() const noexcept { return ref_; }

private:
    friend class SFAuthorizationView;
    AuthorizationRef ref_ = nullptr;
};

class SFAuthorizationView;

// The delegate's two messages; each does nothing unless overridden.
class SFAuthorizationViewDelegate {
public:
    virtual ~SFAuthorizationViewDelegate();
    virtual void authorizationViewDidAuthorize(SFAuthorizationView *view);
    virtual void authorizationViewDidDeauthorize(SFAuthorizationView *view);
};

enum SFAuthorizationViewState {
    SFAuthorizationViewLockedState,
    SFAuthorizationViewInProgressState,  // waiting for polkit's answer to a click
    SFAuthorizationViewUnlockedState,
};

class SFAuthorizationView : public QWidget {
    Q_OBJECT

public:
    NS_DECLARE_CLASS();

    explicit SFAuthorizationView(QWidget *parent = nullptr);
    // Withdraws a question still out to polkit, so that no agent keeps asking for a password, and
    // frees the authorization it holds (its rights stay, for whoever else holds it).
    ~SFAuthorizationView() override;

    // The right the unlocked view's authorization holds ("system.privilege.admin").
    void setString(AuthorizationString authorizationString);
    // Not owned; null for none.
    void setDelegate(SFAuthorizationViewDelegate *delegate) { delegate_ = delegate; }
    SFAuthorizationViewDelegate *delegate() const { return delegate_; }
    // Never null, valid as long as the view; its reference is null only when none could be made.
    SFAuthorization *authorization() { return &authorization_; }
    SFAuthorizationViewState authorizationState() const { return state_; }

    // Asks polkit, without interaction, whether this process is authorized now (a person who
    // unlocked a short while ago still is): the lock opens or closes to match when the answer
    // comes, telling the delegate of a change. Nothing happens while a click's question is out,
    // and a lock that the person closed is not opened by it.
    void updateStatus(NSObject *sender);
    // What clicking the closed lock does; false when it is not closed.
    bool authorize(NSObject *sender);
    // What clicking the open lock does; false when it is not open.
    bool deauthorize(NSObject *sender);

    // The reason shown under the lock; empty when none is.
    QString failureReason() const;

private:
    void ask(bool interactive);
    void answered(bool interactive, const wfs::securityinterface::PolkitAnswer &answer);
    bool grant(const char *method);
    void revoke();
    void setState(SFAuthorizationViewState state);
    // Shows `reason` under the lock (none when empty) and logs it with `detail` for `method`.
    void showReason(const QString &reason, const QString &detail, const char *method);
    QString localized(const char *key) const;

    std::string right_;
    SFAuthorizationViewDelegate *delegate_ = nullptr;
    SFAuthorization authorization_;
    SFAuthorizationViewState state_ = SFAuthorizationViewLockedState;
    quint64 question_ = 0;     // the latest question to polkit; older answers are stale
    bool lockedByPerson_ = false;  // closed by a click, so only a click opens it again
    QString cancellationId_;   // of the interactive question while it is out
    QToolButton *lock_;
    QLabel *text_;
    QLabel *reason_;
};
