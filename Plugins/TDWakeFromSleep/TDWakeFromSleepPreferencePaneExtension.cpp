#include "TDWakeFromSleepPreferencePaneExtension.h"

#include "TDWakeFromSleepController.h"

NS_DEFINE_CLASS(TDWakeFromSleepPreferencePaneExtension)
PL_REGISTER_EXTENSION_CLASS(TDWakeFromSleepPreferencePaneExtension);

namespace {

using wfs::CFRef;

constexpr char kLogFile[] = "Plugins/TDWakeFromSleep/TDWakeFromSleepPreferencePaneExtension";
// The pane's identifier, which also names its nib and its image.
#define kPaneIdentifier CFSTR("TDWakeFromSleepPreferencePane")
#define kTitleKey CFSTR("Wake & Startup")
#define kTooltipKey CFSTR("Open %@ Preference Pane")
// The right the lock asks for.
constexpr char kAdminRight[] = "system.privilege.admin";
constexpr CFTimeInterval kTestWakeDelay = 91.0;

// The translation of `key` from the pane's own bundle, default table, empty default: without a
// translation, the key itself.
CFRef<CFStringRef> Localized(CFStringRef key) {
    return NSBundle::bundleForClass(TDWakeFromSleepPreferencePaneExtension::class_())->localizedStringForKey(key, CFSTR(""), nullptr);
}

// `format` with its first "%@" replaced by `value`. The format is a translation from a file, so
// it is never given to a printf-style formatter: any other conversion in it stays as it is.
CFRef<CFStringRef> FillPlaceholder(CFStringRef format, CFStringRef value) {
    const CFRange at = CFStringFind(format, CFSTR("%@"), 0);
    CFRef<CFMutableStringRef> filled(CFStringCreateMutableCopy(nullptr, 0, format));
    if (!filled || at.location == kCFNotFound) return CFRef<CFStringRef>::Retain(format);
    CFStringReplace(filled.get(), at, value);
    return CFRef<CFStringRef>(filled.release());
}

}  // namespace

TDWakeFromSleepPreferencePaneExtension::~TDWakeFromSleepPreferencePaneExtension() {
    if (authorizationView_) authorizationView_->setDelegate(nullptr);
    delete view_.data();
}

CFRef<CFStringRef> TDWakeFromSleepPreferencePaneExtension::preferencePaneIdentifier() {
    return CFRef<CFStringRef>::Retain(kPaneIdentifier);
}

CFRef<CFStringRef> TDWakeFromSleepPreferencePaneExtension::preferencePaneTitle() { return Localized(kTitleKey); }

CFRef<CFStringRef> TDWakeFromSleepPreferencePaneExtension::preferencePaneLabel() { return Localized(kTitleKey); }

CFRef<CFStringRef> TDWakeFromSleepPreferencePaneExtension::preferencePaneTooltip() {
    return FillPlaceholder(Localized(kTooltipKey).get(), preferencePaneTitle().get());
}

NSImage *TDWakeFromSleepPreferencePaneExtension::preferencePaneImage() {
    image_ = NSImage::imageNamed(preferencePaneIdentifier().get(), class_());
    PLLog::assert_(image_ != nullptr, CFSTR("nil preference pane image"), __LINE__, kLogFile,
                   "-[TDWakeFromSleepPreferencePaneExtension preferencePaneImage]");
    return image_.get();
}

NSView *TDWakeFromSleepPreferencePaneExtension::preferencePaneView() { return view(); }

float TDWakeFromSleepPreferencePaneExtension::preferencePaneOrderWeight() { return 0.0f; }

void TDWakeFromSleepPreferencePaneExtension::willDisplayPreferencePane() {
    // Before the view is loaded there is no lock to ask: a message to a nil outlet does nothing.
    if (!authorizationView_) return;
    authorizationView_->setString(kAdminRight);
    authorizationView_->updateStatus(this);
}

NSView *TDWakeFromSleepPreferencePaneExtension::view() {
    constexpr char kMethod[] = "-[TDWakeFromSleepPreferencePaneExtension view]";
    if (view_) return view_;
    if (!NSBundle::loadNibNamed(kPaneIdentifier, this)) {
        PLLog::error(CFSTR("failed to load view"), __LINE__, kLogFile, kMethod);
    } else if (PLLog::isInfoEnabled()) {
        PLLog::info(CFSTR("loaded view"), __LINE__, kLogFile, kMethod);
    }
    PLLog::assert_(view_ != nullptr, CFSTR("view != nil assert failed"), __LINE__, kLogFile, kMethod);
    return view_;
}

std::vector<NSNibOutlet> TDWakeFromSleepPreferencePaneExtension::nibOutlets() {
    return {NSNibOutlet::Of("view", view_), NSNibOutlet::Of("togglePrivilegesButton", togglePrivilegesButton_),
            NSNibOutlet::Of("authorizationView", authorizationView_)};
}

std::function<void(QObject *)> TDWakeFromSleepPreferencePaneExtension::nibAction(const std::string &selector) {
    if (selector == "doIt:") return [this](QObject *sender) { doIt(sender); };
    return nullptr;
}

NSNibBinding TDWakeFromSleepPreferencePaneExtension::nibBinding(const std::string &keyPath) {
    if (keyPath == "wakeFromSleepController.toolIsPrivileged") {
        return {[this] {
                    TDWakeFromSleepController *controller = wakeFromSleepController();
                    return QVariant(controller != nullptr && controller->toolIsPrivileged());
                },
                [this](const QVariant &value) {
                    if (TDWakeFromSleepController *controller = wakeFromSleepController()) {
                        controller->setToolIsPrivileged(value.toBool());
                    }
                }};
    }
    if (keyPath == "statusText") return {[this] { return QVariant(statusText()); }, nullptr};
    return {};
}

void TDWakeFromSleepPreferencePaneExtension::awakeFromNib() { authorizationView_->setDelegate(this); }

TDWakeFromSleepController *TDWakeFromSleepPreferencePaneExtension::wakeFromSleepController() {
    return TDWakeFromSleepController::sharedInstance();
}

void TDWakeFromSleepPreferencePaneExtension::doIt(QObject *) {
    TDWakeFromSleepController *controller = wakeFromSleepController();
    CFRef<CFDateRef> date(CFDateCreate(nullptr, CFAbsoluteTimeGetCurrent() + kTestWakeDelay));
    if (controller != nullptr && date) controller->scheduleWakeFromSleepAtDate(date.get());
}

void TDWakeFromSleepPreferencePaneExtension::authorizationViewDidAuthorize(SFAuthorizationView *view) {
    if (togglePrivilegesButton_) togglePrivilegesButton_->setEnabled(true);
    handOver(view);
}

void TDWakeFromSleepPreferencePaneExtension::authorizationViewDidDeauthorize(SFAuthorizationView *view) {
    if (togglePrivilegesButton_) togglePrivilegesButton_->setEnabled(false);
    handOver(view);
}

void TDWakeFromSleepPreferencePaneExtension::handOver(SFAuthorizationView *view) {
    // Whatever state the lock is in, the controller takes over the view's authorization, when its
    // external form can be made; when it cannot, the controller keeps what it had.
    AuthorizationExternalForm form;
    if (view == nullptr || AuthorizationMakeExternalForm(view->authorization()->authorizationRef(), &form) != errAuthorizationSuccess) {
        return;
    }
    if (TDWakeFromSleepController *controller = wakeFromSleepController()) controller->setAuthorizationFromExternalForm(form);
}

QString TDWakeFromSleepPreferencePaneExtension::localized(const char *key) const {
    CFRef<CFStringRef> string(CFStringCreateWithCString(nullptr, key, kCFStringEncodingUTF8));
    return string ? QStringFromCFString(Localized(string.get()).get()) : QString::fromUtf8(key);
}
