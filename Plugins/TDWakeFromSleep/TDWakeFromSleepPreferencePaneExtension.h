// The "Wake & Startup" preference pane: a lock for administrator rights, and the controls that
// switch waking for alarms on and off and try it out. Unlocking the lock hands the authorization
// to the shared controller, whose requests to the helper tool then carry it, and enables the
// switch; locking it disables the switch and hands over the locked authorization.
//
// The host talks to it through PLPreferencePaneProtocol, on the main thread. Its view comes from
// the nib TDWakeFromSleepPreferencePane (Resources/TDWakeFromSleepPreferencePane.ui), which
// connects the outlets view, togglePrivilegesButton and authorizationView, sends doIt: from its
// test button and binds the switch to wakeFromSleepController.toolIsPrivileged and the status line
// to statusText.
#pragma once

#include <AppKit/AppKitWidgets.h>
#include <Foundation/Foundation.h>
#include <Plinth/Plinth.h>
#include <SecurityInterface/SecurityInterface.h>

#include <QPointer>

#include <memory>

class TDWakeFromSleepController;

class TDWakeFromSleepPreferencePaneExtension : public NSObject,
                                               public PLPreferencePaneProtocol,
                                               public NSNibOwner,
                                               public SFAuthorizationViewDelegate {
public:
    NS_DECLARE_CLASS();

    TDWakeFromSleepPreferencePaneExtension() = default;
    // Deletes the view unless the host's window already took it along.
    ~TDWakeFromSleepPreferencePaneExtension() override;

    // ---- PLPreferencePaneProtocol ---------------------------------------------------------------
    wfs::CFRef<CFStringRef> preferencePaneIdentifier() override;
    wfs::CFRef<CFStringRef> preferencePaneTitle() override;
    wfs::CFRef<CFStringRef> preferencePaneLabel() override;
    wfs::CFRef<CFStringRef> preferencePaneTooltip() override;
    NSImage *preferencePaneImage() override;
    NSView *preferencePaneView() override;
    float preferencePaneOrderWeight() override;
    // Sets the lock's right and has it ask polkit whether it is open.
    void willDisplayPreferencePane() override;

    // ---- The nib --------------------------------------------------------------------------------
    const NSClass &nibOwnerClass() const override { return class_(); }
    std::vector<NSNibOutlet> nibOutlets() override;
    std::function<void(QObject *sender)> nibAction(const std::string &selector) override;
    NSNibBinding nibBinding(const std::string &keyPath) override;
    void awakeFromNib() override;

    // The content view, loaded from the nib on first use; null after a failed load, and the next
    // call tries again.
    NSView *view();
    SFAuthorizationView *authorizationView() { return authorizationView_; }
    // The shared controller, for the nib's binding; null only when it could not be made.
    TDWakeFromSleepController *wakeFromSleepController();
    // Has the helper tool schedule a wake 91 seconds from now, straight away: nothing is stored in
    // the defaults and the tool's privilege is not tested first.
    void doIt(QObject *sender);
    // The status line: whether the helper tool is privileged, and the next pending wake event in
    // local time.
    QString statusText();

    // ---- SFAuthorizationViewDelegate ------------------------------------------------------------
    void authorizationViewDidAuthorize(SFAuthorizationView *view) override;
    void authorizationViewDidDeauthorize(SFAuthorizationView *view) override;

private:
    void handOver(SFAuthorizationView *view);
    QString localized(const char *key) const;

    // Outlets. Guarded pointers: the host's window may destroy the view, and its widgets with it.
    QPointer<NSView> view_;
    QPointer<NSButton> togglePrivilegesButton_;
    QPointer<SFAuthorizationView> authorizationView_;
    // The last image answered, which the host may use until it asks again.
    std::unique_ptr<NSImage> image_;
};
