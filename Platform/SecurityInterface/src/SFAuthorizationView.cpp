// The authorization view: its lock, its states, and the authorization it holds.
#include <SecurityInterface/SFAuthorizationView.h>

#include "LockIcon.h"
#include "PolkitCheck.h"

#include <AppKit/NSNibLoading.h>
#include <AppKit/NSStringQt.h>
#include <Foundation/FoundationLog.h>

#include <QDBusConnection>
#include <QGridLayout>
#include <QLabel>
#include <QToolButton>

#include <stdlib.h>
#include <unistd.h>

NS_DEFINE_CLASS(SFAuthorizationView)
NS_REGISTER_NIB_WIDGET_CLASS(SFAuthorizationView);

namespace {

using wfs::securityinterface::PolkitAnswer;

constexpr char kLogFile[] = "Platform/SecurityInterface/SFAuthorizationView";
constexpr char kLockedText[] = "Click the lock to make changes.";
constexpr char kUnlockedText[] = "Click the lock to prevent further changes.";
constexpr char kUnreachableText[] = "The lock cannot be opened: polkit, which grants administrator rights, cannot be reached.";
constexpr char kRefusedText[] = "The lock cannot be opened: polkit answered “%@”.";
constexpr char kNoAuthorizationText[] = "The lock cannot be opened: no authorization could be made.";

// The view's own connection to the system bus. Made again when it is found broken, so that a bus
// that was not there at first, or was restarted, is used once it is back. The address is read here
// each time, as the bus library would read it only once for the life of the process.
const QString kConnectionName = QStringLiteral("wfs-authorization-view");
constexpr char kDefaultSystemBus[] = "unix:path=/var/run/dbus/system_bus_socket";

QDBusConnection SystemBus() {
    QDBusConnection bus(kConnectionName);
    if (bus.isConnected()) return bus;
    QDBusConnection::disconnectFromBus(kConnectionName);
    const char *address = ::getenv("DBUS_SYSTEM_BUS_ADDRESS");
    return QDBusConnection::connectToBus(QString::fromUtf8(address != nullptr && *address != '\0' ? address : kDefaultSystemBus),
                                         kConnectionName);
}

// Distinct for every question this process asks.
QString NewCancellationId() {
    static quint64 counter = 0;
    return QStringLiteral("wfs-authorization-view-%1-%2").arg(::getpid()).arg(++counter);
}

void Log(const QString &text, const char *method) {
    wfs::CFRef<CFStringRef> message = CFStringFromQString(text);
    wfs::foundation::Log(wfs::foundation::LogLevel::Error, message ? message.get() : CFSTR("the lock cannot be opened"),
                         __LINE__, kLogFile, method);
}

}  // namespace

SFAuthorizationViewDelegate::~SFAuthorizationViewDelegate() = default;
void SFAuthorizationViewDelegate::authorizationViewDidAuthorize(SFAuthorizationView *) {}
void SFAuthorizationViewDelegate::authorizationViewDidDeauthorize(SFAuthorizationView *) {}

SFAuthorizationView::SFAuthorizationView(QWidget *parent)
    : QWidget(parent), lock_(new QToolButton(this)), text_(new QLabel(this)), reason_(new QLabel(this)) {
    lock_->setObjectName(QStringLiteral("lockButton"));
    lock_->setIconSize(QSize(32, 32));
    lock_->setAutoRaise(true);
    text_->setObjectName(QStringLiteral("lockText"));
    reason_->setObjectName(QStringLiteral("lockFailureReason"));
    reason_->setWordWrap(true);
    reason_->setStyleSheet(QStringLiteral("color: #a01010;"));
    reason_->hide();
    auto *layout = new QGridLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(lock_, 0, 0, 2, 1, Qt::AlignTop);
    layout->addWidget(text_, 0, 1, Qt::AlignVCenter);
    layout->addWidget(reason_, 1, 1);
    layout->setColumnStretch(1, 1);
    connect(lock_, &QToolButton::clicked, this, [this] {
        if (state_ == SFAuthorizationViewUnlockedState) deauthorize(nullptr);
        else authorize(nullptr);
    });
    // Without rights until polkit says otherwise. A failure leaves the reference null, and the
    // delegate then has nothing to hand on.
    (void)AuthorizationCreate(nullptr, kAuthorizationEmptyEnvironment, kAuthorizationFlagDefaults, &authorization_.ref_);
    setState(SFAuthorizationViewLockedState);
}

SFAuthorizationView::~SFAuthorizationView() {
    if (!cancellationId_.isEmpty()) wfs::securityinterface::CancelCheckAuthorization(QDBusConnection(kConnectionName), cancellationId_);
    if (authorization_.ref_ != nullptr) (void)AuthorizationFree(authorization_.ref_, kAuthorizationFlagDefaults);
}

void SFAuthorizationView::setString(AuthorizationString authorizationString) {
    right_ = authorizationString != nullptr ? authorizationString : "";
}

void SFAuthorizationView::updateStatus(NSObject *) {
    // A click's question is out: its answer decides.
    if (state_ != SFAuthorizationViewInProgressState) ask(false);
}

bool SFAuthorizationView::authorize(NSObject *) {
    if (state_ != SFAuthorizationViewLockedState) return false;
    lockedByPerson_ = false;
    showReason(QString(), QString(), nullptr);
    setState(SFAuthorizationViewInProgressState);
    ask(true);
    return true;
}

bool SFAuthorizationView::deauthorize(NSObject *) {
    if (state_ != SFAuthorizationViewUnlockedState) return false;
    // polkit would still say yes for a while (auth_admin_keep): neither an answer already on its
    // way nor a later status question opens what the person has just closed; their click does.
    lockedByPerson_ = true;
    ++question_;
    showReason(QString(), QString(), nullptr);
    revoke();
    setState(SFAuthorizationViewLockedState);
    if (delegate_ != nullptr) delegate_->authorizationViewDidDeauthorize(this);
    return true;
}

QString SFAuthorizationView::failureReason() const { return reason_->text(); }

void SFAuthorizationView::ask(bool interactive) {
    // Each question makes the answers to earlier ones stale.
    const quint64 question = ++question_;
    if (interactive) cancellationId_ = NewCancellationId();
    wfs::securityinterface::CheckAuthorization(
        SystemBus(), this, QStringLiteral(WFS_UNLOCK_ACTION), interactive, interactive ? cancellationId_ : QString(),
        [this, question, interactive](const PolkitAnswer &answer) {
            if (question == question_) answered(interactive, answer);
        });
}

void SFAuthorizationView::answered(bool interactive, const PolkitAnswer &answer) {
    if (interactive) cancellationId_.clear();
    const char *method = interactive ? "-[SFAuthorizationView authorize:]" : "-[SFAuthorizationView updateStatus:]";
    const bool failed = answer.kind == PolkitAnswer::Unreachable || answer.kind == PolkitAnswer::Refused;
    if (failed) {
        showReason(answer.kind == PolkitAnswer::Unreachable ? localized(kUnreachableText)
                                                            : NSStringByFillingPlaceholder(localized(kRefusedText), answer.detail),
                   answer.detail, method);
    } else {
        showReason(QString(), QString(), method);
    }
    if (answer.kind == PolkitAnswer::Authorized) {
        if (state_ == SFAuthorizationViewUnlockedState || (!interactive && lockedByPerson_)) return;
        if (!grant(method)) return setState(SFAuthorizationViewLockedState);
        setState(SFAuthorizationViewUnlockedState);
        if (delegate_ != nullptr) delegate_->authorizationViewDidAuthorize(this);
        return;
    }
    // Not authorized, or it cannot be told: the lock closes.
    if (state_ == SFAuthorizationViewUnlockedState) {
        revoke();
        setState(SFAuthorizationViewLockedState);
        if (delegate_ != nullptr) delegate_->authorizationViewDidDeauthorize(this);
    } else {
        setState(SFAuthorizationViewLockedState);
    }
}

bool SFAuthorizationView::grant(const char *method) {
    AuthorizationItem item = {right_.c_str(), 0, nullptr, 0};
    AuthorizationRights rights = {1, &item};
    AuthorizationRef granted = nullptr;
    const OSStatus status = AuthorizationCreate(right_.empty() ? nullptr : &rights, kAuthorizationEmptyEnvironment,
                                                kAuthorizationFlagExtendRights | kAuthorizationFlagPreAuthorize, &granted);
    if (status != errAuthorizationSuccess) {
        showReason(localized(kNoAuthorizationText), QStringLiteral("AuthorizationCreate: %1").arg(status), method);
        return false;
    }
    // The authorization held until now had no rights; whoever else holds it keeps it as it is.
    if (authorization_.ref_ != nullptr) (void)AuthorizationFree(authorization_.ref_, kAuthorizationFlagDefaults);
    authorization_.ref_ = granted;
    return true;
}

void SFAuthorizationView::revoke() {
    // The same authorization goes on, without its rights: a second reference to it is made first,
    // then the one that held the rights is freed destroying them, for every holder of the
    // authorization (the controller that was handed it, too).
    AuthorizationRef same = nullptr;
    AuthorizationExternalForm form;
    if (authorization_.ref_ != nullptr && AuthorizationMakeExternalForm(authorization_.ref_, &form) == errAuthorizationSuccess) {
        (void)AuthorizationCreateFromExternalForm(&form, &same);
    }
    if (authorization_.ref_ != nullptr) (void)AuthorizationFree(authorization_.ref_, kAuthorizationFlagDestroyRights);
    authorization_.ref_ = same;
    if (same == nullptr) (void)AuthorizationCreate(nullptr, kAuthorizationEmptyEnvironment, kAuthorizationFlagDefaults, &authorization_.ref_);
}

void SFAuthorizationView::setState(SFAuthorizationViewState state) {
    state_ = state;
    const bool open = state == SFAuthorizationViewUnlockedState;
    lock_->setIcon(wfs::securityinterface::LockIcon(open));
    lock_->setEnabled(state != SFAuthorizationViewInProgressState);
    text_->setText(localized(open ? kUnlockedText : kLockedText));
}

void SFAuthorizationView::showReason(const QString &reason, const QString &detail, const char *method) {
    reason_->setText(reason);
    reason_->setVisible(!reason.isEmpty());
    if (!reason.isEmpty()) Log(reason + QStringLiteral(" (") + detail + QStringLiteral(")"), method);
}

QString SFAuthorizationView::localized(const char *key) const {
    wfs::CFRef<CFStringRef> string(CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8));
    if (!string) return QString::fromUtf8(key);
    return QStringFromCFString(NSBundle::bundleForClass(class_())->localizedStringForKey(string.get(), nullptr, nullptr).get());
}
