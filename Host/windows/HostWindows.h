// The host's windows and tray icon, made when Tidemark runs with a display: the main window, the
// preferences window (made when first opened), and a tray icon where the desktop has a tray. The
// application's Preferences and Quit commands live here, shared by the window's menu and the
// tray's. Nothing here ends the application but Quit: closing a window never does.
#pragma once

#include "AlarmClock.h"
#include "TimerStore.h"

#include <Plinth/Plinth.h>

#include <QAction>
#include <QObject>

#include <memory>
#include <vector>

class QMenu;
class QSystemTrayIcon;

namespace tidemark {

class MainWindow;
class PreferencesWindow;

class HostWindows : public QObject {
    Q_OBJECT
public:
    // `panes` are the plug-ins' and the host's own, valid for the life of this object; `withTray`
    // says whether to put an icon in the desktop's tray (QSystemTrayIcon::isSystemTrayAvailable()).
    HostWindows(AlarmClock &clock, TimerStore &store, std::vector<PLPreferencePaneProtocol *> panes, bool withTray);
    ~HostWindows() override;

    MainWindow *mainWindow() const { return main_.get(); }
    // Null until first opened.
    PreferencesWindow *preferencesWindow() const { return preferences_.get(); }
    QSystemTrayIcon *trayIcon() const { return tray_.get(); }
    QAction *quitAction() { return &quit_; }
    QAction *preferencesAction() { return &openPreferences_; }

public slots:
    void showMainWindow();
    void showPreferences();

private slots:
    void updateTray();

private:
    AlarmClock &clock_;
    std::vector<PLPreferencePaneProtocol *> panes_;
    QAction openMain_, openPreferences_, quit_;
    std::unique_ptr<MainWindow> main_;
    std::unique_ptr<PreferencesWindow> preferences_;
    std::unique_ptr<QMenu> trayMenu_;
    std::unique_ptr<QSystemTrayIcon> tray_;
};

}  // namespace tidemark
