// tidemark: the alarm application. Parses its command line first (a usage error ends it with
// status 2 before anything is touched), then either runs one timer command or the application.
#include "AlarmClock.h"
#include "ApplicationTimers.h"
#include "CommandLine.h"
#include "DesktopNotifier.h"
#include "PendingPowerEvents.h"
#include "PluginHost.h"
#include "QuitSignals.h"
#include "SystemEvents.h"
#include "TimerCommands.h"
#include "TimerFile.h"
#include "TimerSync.h"

#include <Plinth/Plinth.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QTimer>

#include <cstdlib>
#include <filesystem>
#include <iostream>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

using namespace tidemark;

// The main bundle is the program's folder, with the Info.plist that the build puts beside the
// program; without it the defaults and the wake-up requests would carry the wrong name.
void CheckMainBundle(const LogSink &log) {
    if (NSBundle::mainBundle()->bundleIdentifier()) return;
    log(LogLevel::Warn, "no Info.plist with a bundle identifier beside the program: the defaults and the wake-up "
                        "requests go under the process name instead");
}

// The folder of the program's file (links resolved), wherever it was started from.
std::filesystem::path ProgramFolder() {
    std::error_code error;
    return std::filesystem::read_symlink("/proc/self/exe", error).parent_path();
}

void LoadPlugins(PluginHost &plugins, const LogSink &log) {
    const char *pluginPath = std::getenv("TIDEMARK_PLUGIN_PATH");
    const std::filesystem::path program = ProgramFolder();
    // The program that the build made loads the build's own plug-in, so that a developer runs it
    // without installing anything; an installed program does not look into a build tree, and a
    // program in a build tree does not load an installed plug-in built from other sources.
    std::error_code error;
    if (pluginPath == nullptr && std::filesystem::equivalent(program, TIDEMARK_BUILD_PROGRAM_FOLDER, error)) {
        plugins.loadBundle(TIDEMARK_BUILD_PLUGIN);
    }
    std::string searched;
    // Installed, the program is <prefix>/lib/tidemark/tidemark and its plug-ins are beside it.
    for (const std::string &folder : PluginFolders(pluginPath, (program / "plugins").string())) {
        plugins.loadFolder(folder);
        searched += (searched.empty() ? "" : ", ") + folder;
    }
    if (plugins.plugins().empty()) log(LogLevel::Notice, "no plug-ins loaded (looked in " + searched + ")");
}

std::string RunningLine(const AlarmClock &clock, bool headless) {
    std::string line = headless ? "running without a window: " : "running (no window yet): ";
    line += std::to_string(clock.timers().size()) + " timers";
    if (const auto next = clock.nextRing()) {
        const time_t t = next->time_since_epoch().count();
        struct tm local {};
        localtime_r(&t, &local);
        char text[64];
        strftime(text, sizeof text, "%Y-%m-%d %H:%M %Z", &local);
        line += ", next ring " + std::string(text);
    }
    return line;
}

// The application: rings the timers, keeps them in step with their file, loads the plug-ins and
// reports the system's events to them through the workspace.
int RunHost(QCoreApplication &app, const RunApplication &options) {
    const LogSink log = PlinthLog();
    CheckMainBundle(log);
    const std::optional<std::string> timersPath = TimersPath();
    if (!timersPath) {
        log(LogLevel::Error, "no home folder to keep the timers in");
        return 1;
    }

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

    PluginHost plugins(log);
    LoadPlugins(plugins, log);
    plugins.applicationLaunching();

    const WorkspacePoster post = [&](WorkspaceEvent event) {
        log(LogLevel::Info, std::string("posting ") + WorkspaceEventName(event));
        PostToWorkspace(event);
        if (event == WorkspaceEvent::DidWake) clock->systemResumed();
    };
    SystemEvents events(QDBusConnection::systemBus(), QDBusConnection::sessionBus(), post, log);
    QuitSignals quit([&](const char *signal) {
        log(LogLevel::Info, std::string(signal) + ": quitting");
        QCoreApplication::quit();
    });

    plugins.applicationWillFinishLaunching();
    QTimer::singleShot(0, &app, [&] {
        plugins.applicationDidFinishLaunching();
        log(LogLevel::Notice, RunningLine(*clock, options.headless));
    });
    const int status = app.exec();
    plugins.applicationWillTerminate();
    return status;
}

int RunApplicationLoop(int argc, char **argv, const RunApplication &options) {
    if (!QuitSignals::Block()) std::perror("tidemark: cannot block SIGTERM and SIGINT");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("tidemark");
    if (options.verbose) PLLog::setInfoEnabled(true);
    return RunHost(app, options);
}

int RunTimerCommandLine(const Command &command) {
    const std::optional<std::string> path = TimersPath();
    if (!path) {
        std::cerr << "tidemark: no home folder to keep the timers in\n";
        return 1;
    }
    TimerFile store(*path);
    int status = RunTimerCommand(command, store, AlarmClock::SystemNow(), std::cout, std::cerr);
    if (status == 0 && std::holds_alternative<ShowNext>(command) && !PrintPendingPowerEvents(std::cout, std::cerr)) status = 1;
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    std::vector<std::string> arguments(argv + (argc > 0 ? 1 : 0), argv + argc);
    const auto parsed = ParseCommandLine(arguments);
    if (const auto *error = std::get_if<UsageError>(&parsed)) {
        std::cerr << "tidemark: " << error->message << "\n" << kUsage;
        return kUsageStatus;
    }
    const Command &command = std::get<Command>(parsed);
    if (std::holds_alternative<ShowUsage>(command)) {
        std::cout << kUsage;
        return 0;
    }
    if (const auto *run = std::get_if<RunApplication>(&command)) {
        const int status = RunApplicationLoop(argc, argv, *run);
#if defined(__SANITIZE_ADDRESS__)
        // Everything of ours is gone by now. The exit that follows tears down Qt's own globals, among
        // them its D-Bus thread, which can leave that thread's event data behind when a message
        // arrives as it ends; the leak check looks at the program before that.
        __lsan_do_leak_check();
#endif
        return status;
    }
    return RunTimerCommandLine(command);
}
