// tidemark: the alarm application. Parses its command line first (a usage error ends it with
// status 2 before anything is touched), then either runs one timer command or the application.
#include "AlarmClock.h"
#include "CommandLine.h"
#include "DesktopNotifier.h"
#include "QuitSignals.h"
#include "SystemEvents.h"

#include <QCoreApplication>
#include <QDBusConnection>

#include <cstdio>
#include <iostream>

namespace {

using namespace tidemark;

// The application: rings the timers and reports the system's events. The timers, their store
// and the notification center that the events go to are connected here once their libraries
// are in the build.
int RunApplicationLoop(int argc, char **argv, const RunApplication &options) {
    if (!QuitSignals::Block()) std::perror("tidemark: cannot block SIGTERM and SIGINT");
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName("tidemark");
    const LogSink log = StandardErrorLog(options.verbose);

    std::unique_ptr<AlarmClock> clock;
    DesktopNotifier notifier(QDBusConnection::sessionBus(), log,
                             [&](const std::string &id) { clock->snooze(id, kSnoozeDelay); });
    clock = std::make_unique<AlarmClock>([&](const Timer &timer, Instant due) { notifier.ring(timer, due); }, nullptr, log);

    const WorkspacePoster post = [&](WorkspaceEvent event) {
        log(LogLevel::Info, std::string("posting ") + WorkspaceEventName(event));
        if (event == WorkspaceEvent::DidWake) clock->systemResumed();
    };
    SystemEvents events(QDBusConnection::systemBus(), QDBusConnection::sessionBus(), post, log);
    QuitSignals quit([&](const char *signal) {
        log(LogLevel::Info, std::string(signal) + ": quitting");
        QCoreApplication::quit();
    });
    log(LogLevel::Info, options.headless ? "running without a window" : "running (no window yet)");
    return app.exec();
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
    if (const auto *run = std::get_if<RunApplication>(&command)) return RunApplicationLoop(argc, argv, *run);
    // The timers' store (timers.plist, kept like the user defaults) is not part of this build yet.
    std::cerr << "tidemark: this build cannot store timers yet\n";
    return 1;
}
