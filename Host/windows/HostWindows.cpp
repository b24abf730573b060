#include "HostWindows.h"

#include "MainWindow.h"
#include "PreferencesWindow.h"
#include "TimerText.h"

#include <QApplication>
#include <QMenu>
#include <QSystemTrayIcon>

namespace tidemark {

HostWindows::HostWindows(AlarmClock &clock, TimerStore &store, std::vector<PLPreferencePaneProtocol *> panes, bool withTray)
    : clock_(clock), panes_(std::move(panes)), openMain_("&Open Tidemark"), openPreferences_("&Preferences…"), quit_("&Quit") {
    // Only Quit ends the application; the windows come and go while it rings.
    QApplication::setQuitOnLastWindowClosed(false);
    openPreferences_.setObjectName("preferencesAction");
    openPreferences_.setShortcut(QKeySequence("Ctrl+,"));
    quit_.setObjectName("quitAction");
    quit_.setShortcut(QKeySequence::Quit);
    connect(&openMain_, &QAction::triggered, this, &HostWindows::showMainWindow);
    connect(&openPreferences_, &QAction::triggered, this, &HostWindows::showPreferences);
    // exit, not quit: quit asks the windows first, and the main window never agrees to close.
    connect(&quit_, &QAction::triggered, qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);

    main_ = std::make_unique<MainWindow>(clock, store, &openPreferences_, &quit_);
    main_->setHidesOnClose(withTray);
    // Ctrl+, and Ctrl+Q in the window, whatever has the focus.
    main_->addAction(&openPreferences_);
    main_->addAction(&quit_);
    if (withTray) {
        trayMenu_ = std::make_unique<QMenu>();
        trayMenu_->addAction(&openMain_);
        trayMenu_->addAction(&openPreferences_);
        trayMenu_->addSeparator();
        trayMenu_->addAction(&quit_);
        tray_ = std::make_unique<QSystemTrayIcon>(ApplicationIcon());
        tray_->setContextMenu(trayMenu_.get());
        connect(tray_.get(), &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) showMainWindow();
        });
        connect(&clock_, &AlarmClock::scheduleChanged, this, &HostWindows::updateTray);
        updateTray();
        tray_->show();
    }
}

// The windows go before the plug-ins whose panes they show: destroying the preferences window
// deletes the pane views it holds, and each pane's guarded pointer sees its view gone.
HostWindows::~HostWindows() {
    tray_.reset();
    trayMenu_.reset();
    preferences_.reset();
    main_.reset();
}

void HostWindows::showMainWindow() {
    main_->showNormal();
    main_->raise();
    main_->activateWindow();
}

void HostWindows::showPreferences() {
    if (!preferences_) {
        preferences_ = std::make_unique<PreferencesWindow>(panes_);
        preferences_->setWindowIcon(ApplicationIcon());
        // Ctrl+, and Quit also work while the preferences window has the focus.
        preferences_->addAction(&openPreferences_);
        preferences_->addAction(&quit_);
    }
    preferences_->present();
}

void HostWindows::updateTray() {
    if (tray_) tray_->setToolTip(NextAlarmText(clock_.timers(), AlarmClock::SystemNow()));
}

}  // namespace tidemark
