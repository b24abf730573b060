// The whole host with its windows, run by the same RunHost as tidemark's main: closing the main
// window leaves the application running and ringing, and only Quit ends it, after
// applicationWillTerminate and with everything of its own gone. And the screenshots the README
// shows: the main window, and the preferences window with the real plug-in's pane, its lock
// answered by python3-dbusmock's polkitd, locked, unlocked and in German.
#include "../HostTestSupport.h"

#include <AutostartEntry.h>
#include <GeneralPreferencePane.h>
#include <HostApplication.h>
#include <HostWindows.h>
#include <MainWindow.h>
#include <PreferencesWindow.h>
#include <TimerSync.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QLabel>
#include <QListWidget>
#include <QStackedWidget>
#include <QTimer>
#include <QTreeWidget>

#include <clocale>

namespace hosttest {
namespace {

using namespace tidemark;

// A plug-in's lifecycle extension that notes each message, and its own end.
struct RecordingLifecycle : NSObject, PLLifecycleProtocol {
    explicit RecordingLifecycle(std::vector<std::string> &record) : record(record) {}
    ~RecordingLifecycle() override { record.push_back(QApplication::instance() ? "destroyed" : "destroyed after the application"); }
    void applicationLaunching() override { record.push_back("applicationLaunching"); }
    void applicationWillFinishLaunching() override { record.push_back("applicationWillFinishLaunching"); }
    void applicationDidFinishLaunching() override { record.push_back("applicationDidFinishLaunching"); }
    void applicationWillTerminate() override { record.push_back("applicationWillTerminate"); }
    std::vector<std::string> &record;
};

std::unique_ptr<PLPlugin> RecordingPlugin(std::vector<std::string> &record) {
    auto *extension = new RecordingLifecycle(record);
    std::vector<PLExtension> extensions(1);
    extensions[0] = {"RecordingLifecycle", std::unique_ptr<NSObject>(extension), extension};
    return std::make_unique<PLPlugin>("recording", std::move(extensions));
}

template <typename T>
T *Named(const QList<T *> &objects, const char *name) {
    for (T *object : objects) if (object->objectName() == name) return object;
    return nullptr;
}

TEST(Tidemark, ClosingTheMainWindowKeepsItRingingAndQuitEndsIt) {
    PrivateBuses buses({.systemBus = false, .notifications = true});
    Home home;
    TimerFile file(home.timers());
    ASSERT_EQ(RunTimerWords({"timer", "add", "3s", "--label", "Tea"}, file, AlarmClock::SystemNow()).status, 0);
    std::vector<std::string> lifecycle;
    const HostSetup setup{[&](PluginHost &plugins) { plugins.adopt(RecordingPlugin(lifecycle)); }, "/usr/bin/tidemark"};

    // Driven from inside the application's own event loop, as a person would: the window is
    // closed as soon as it shows, and Quit is chosen once the timer has rung.
    bool closedButThere = false, rangWhileClosed = false;
    QTimer driver;
    QObject::connect(&driver, &QTimer::timeout, [&] {
        QWidget *main = Named(QApplication::topLevelWidgets(), "mainWindow");
        if (main == nullptr) return;
        if (!closedButThere && main->isVisible() && !main->isMinimized()) {
            main->close();
            closedButThere = main->isMinimized();  // no tray offscreen: minimized, not gone
        } else if (closedButThere && !rangWhileClosed && !buses.notifyCalls().empty()) {
            rangWhileClosed = main->isMinimized();
            if (QAction *quit = Named(main->actions(), "quitAction")) quit->trigger();
        }
    });
    driver.start(50);
    QTimer::singleShot(30000, &driver, [] { QCoreApplication::exit(99); });  // goes with the driver

    const int status = RunHost(*QCoreApplication::instance(), RunApplication{}, setup);
    EXPECT_EQ(status, 0) << "99: Quit never ended it";
    EXPECT_TRUE(closedButThere);
    EXPECT_TRUE(rangWhileClosed);
    EXPECT_EQ(lifecycle, (std::vector<std::string>{"applicationLaunching", "applicationWillFinishLaunching", "applicationDidFinishLaunching",
                                                   "applicationWillTerminate", "destroyed"}));
    EXPECT_EQ(Named(QApplication::topLevelWidgets(), "mainWindow"), nullptr);
}

void Screenshot(QWidget *window, const std::string &name) {
    QApplication::processEvents();
    QDir().mkpath(WFS_SCREENSHOT_DIR);
    EXPECT_TRUE(window->grab().save(QString::fromStdString(std::string(WFS_SCREENSHOT_DIR "/") + name))) << name;
}

TEST(Screenshots, TheMainWindowAndThePreferencesWindowWithThePluginsPane) {
    PrivateBuses buses({.polkit = true});
    Home home;
    ZoneGuard zone("Europe/Berlin");
    TimerFile file(home.timers());
    for (const std::vector<std::string> &words : std::vector<std::vector<std::string>>{
             {"alarm", "add", "06:45", "--days", "mon,tue,wed,thu,fri", "--label", "Work"},
             {"alarm", "add", "09:30", "--days", "sat,sun", "--label", "Weekend"},
             {"alarm", "add", "05:10", "--label", "Flight to Lisbon"},
             {"alarm", "add", "22:00", "--days", "sun", "--label", "Put the bins out"},
             {"alarm", "off", "4"},
             {"timer", "add", "25m", "--label", "Tea"}}) {
        ASSERT_EQ(RunTimerWords(words, file, AlarmClock::SystemNow()).status, 0);
    }
    AlarmClock clock(nullptr, nullptr, Quiet);
    TimerSync sync(file, clock, Quiet);
    sync.start();
    ASSERT_EQ(clock.timers().size(), 5u);

    PluginHost plugins(Quiet);
    plugins.adopt(GeneralPreferencePane::MakePlugin(AutostartEntry(*AutostartEntry::UserEntryPath(), "/usr/lib/tidemark/tidemark")));
    plugins.loadBundle(WFS_PLUGIN_BUNDLE);
    ASSERT_EQ(plugins.preferencePanes().size(), 2u);
    HostWindows windows(clock, file, plugins.preferencePanes(), false);
    windows.showMainWindow();
    windows.mainWindow()->list()->topLevelItem(0)->setSelected(true);
    Screenshot(windows.mainWindow(), "tidemark-main.png");

    windows.showPreferences();
    PreferencesWindow *preferences = windows.preferencesWindow();
    ASSERT_NE(preferences, nullptr);
    auto pane = [&] { return preferences->pages()->currentWidget(); };
    auto lockSays = [&](const char *text) {
        return WaitUntil([&] {
            auto *line = pane()->findChild<QLabel *>("lockText");
            auto *button = pane()->findChild<QAbstractButton *>("lockButton");
            return line && button && button->isEnabled() && line->text() == text;
        });
    };
    Screenshot(preferences, "preferences-general.png");
    preferences->sidebar()->setCurrentRow(1);
    ASSERT_TRUE(lockSays("Click the lock to make changes."));
    Screenshot(preferences, "preferences-locked.png");
    buses.setPolkitAllowed({"org.tidemark.wakefromsleep.unlock"});
    pane()->findChild<QAbstractButton *>("lockButton")->click();
    ASSERT_TRUE(lockSays("Click the lock to prevent further changes."));
    if (::geteuid() == 0) {
        // Root's tool is privileged at once: a test wake shows as the next wake.
        pane()->findChild<QAbstractButton *>("testWakeButton")->click();
        EXPECT_THAT(pane()->findChild<QLabel *>("statusLine")->text().toStdString(), HasSubstr("Next wake: "));
    }
    Screenshot(preferences, "preferences-unlocked.png");

    // In German: the pane's view made anew, and a window that reads the sidebar anew.
    home.env.set("LANGUAGE", "de");
    ASSERT_NE(setlocale(LC_MESSAGES, "C.UTF-8"), nullptr);
    delete pane();
    PreferencesWindow german(plugins.preferencePanes());
    german.sidebar()->setCurrentRow(1);
    german.present();
    preferences = &german;
    ASSERT_TRUE(lockSays("Klicken Sie auf das Schloss, um weitere Änderungen zu verhindern."));
    Screenshot(&german, "preferences-de.png");
    setlocale(LC_MESSAGES, "C");
}

}  // namespace
}  // namespace hosttest
