#include "HostApplication.h"

#include "AlarmClock.h"
#include "ApplicationTimers.h"
#include "AutostartEntry.h"
#include "DesktopNotifier.h"
#include "GeneralPreferencePane.h"
#include "HostWindows.h"
#include "QuitSignals.h"
#include "SystemEvents.h"
#include "TimerFile.h"
#include "TimerSync.h"
#include "TimerText.h"

#include <Plinth/Plinth.h>

#include <QApplication>
#include <QDBusConnection>
#include <QSystemTrayIcon>
#include <QTimer>

namespace tidemark {
namespace {

// The main bundle is the program's folder, with the Info.plist that the build puts beside the
// program; without it the defaults and the wake-up requests would carry the wrong name.
void CheckMainBundle(const LogSink &log) {
    if (NSBundle::mainBundle()->bundleIdentifier()) return;
    log(LogLevel::Warn, "no Info.plist with a bundle identifier beside the program: the defaults and the wake-up "
                        "requests go under the process name instead");
}

std::string RunningLine(const AlarmClock &clock, const HostWindows *windows) {
    std::string line = windows == nullptr                  ? "running without a window: "
                       : windows->trayIcon() != nullptr    ? "running with its window and tray icon: "
                                                           : "running with its window (no tray; closing it minimizes it): ";
    line += std::to_string(clock.timers().size()) + " timers";
    if (const auto next = clock.nextRing()) line += ", next ring " + FormatInstant(*next, "%Y-%m-%d %H:%M %Z");
    return line;
}

std::optional<AutostartEntry> UserAutostartEntry(const std::string &program) {
    const std::optional<std::string> path = AutostartEntry::UserEntryPath();
    if (!path) return std::nullopt;
    return AutostartEntry(*path, program);
}

}  // namespace

int RunHost(QCoreApplication &app, const RunApplication &options, const HostSetup &setup) {
    const LogSink log = PlinthLog();
    CheckMainBundle(log);
    const std::optional<std::string> timersPath = TimersPath();
    if (!timersPath) {
        log(LogLevel::Error, "no home folder to keep the timers in");
        return 1;
    }
    const bool windowed = !options.headless && qobject_cast<QApplication *>(&app) != nullptr;

    // The clock, its file and the notifications refer to one another; each is made before anything
    // that can call it, and the clock is destroyed last.
    TimerFile file(*timersPath);
    std::unique_ptr<AlarmClock> clock;
    std::unique_ptr<TimerSync> sync;
    DesktopNotifier notifier(QDBusConnection::sessionBus(), log,
                             [&](const std::string &id) { clock->snooze(id, kSnoozeDelay); });
    clock = std::make_unique<AlarmClock>([&](const Timer &timer, Instant due) { notifier.ring(timer, due); },
                                         [&](const std::vector<Timer> &timers) { sync->save(timers); }, log);
    sync = std::make_unique<TimerSync>(file, *clock, log);
    sync->start();
    NSApp()->setTimersSource(TimersOf(*clock));
    struct ClearTimersSource {
        ~ClearTimersSource() { NSApp()->setTimersSource(nullptr); }
    } clearTimersSource;

    // Destroyed after the windows that show their panes, and before `app`.
    PluginHost plugins(log);
    if (windowed) plugins.adopt(GeneralPreferencePane::MakePlugin(UserAutostartEntry(setup.programPath)));
    if (setup.loadPlugins) setup.loadPlugins(plugins);
    plugins.applicationLaunching();

    const WorkspacePoster post = [&](WorkspaceEvent event) {
        log(LogLevel::Info, std::string("posting ") + WorkspaceEventName(event));
        PostToWorkspace(event);
        if (event == WorkspaceEvent::DidWake) clock->systemResumed();
    };
    SystemEvents events(QDBusConnection::systemBus(), QDBusConnection::sessionBus(), post, log);
    QuitSignals quit([&](const char *signal) {
        log(LogLevel::Info, std::string(signal) + ": quitting");
        // Not quit(), which a QApplication first puts to its windows, and the main window turns
        // a close down.
        QCoreApplication::exit(0);
    });

    plugins.applicationWillFinishLaunching();
    std::unique_ptr<HostWindows> windows;
    if (windowed) {
        QApplication::setWindowIcon(ApplicationIcon());
        windows = std::make_unique<HostWindows>(*clock, file, plugins.preferencePanes(), QSystemTrayIcon::isSystemTrayAvailable());
    }
    QTimer::singleShot(0, &app, [&] {
        plugins.applicationDidFinishLaunching();
        if (windows) windows->showMainWindow();
        log(LogLevel::Notice, RunningLine(*clock, windows.get()));
    });
    const int status = app.exec();
    plugins.applicationWillTerminate();
    windows.reset();
    return status;
}

}  // namespace tidemark
