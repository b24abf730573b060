// tidemark: the alarm application. Parses its command line first (a usage error ends it with
// status 2 before anything is touched), then either runs one timer command or the application,
// with its windows when there is a display and --headless is not given.
#include "AlarmClock.h"
#include "AutostartEntry.h"
#include "CommandLine.h"
#include "HostApplication.h"
#include "PendingPowerEvents.h"
#include "PluginHost.h"
#include "QuitSignals.h"
#include "TimerCommands.h"
#include "TimerFile.h"

#include <Plinth/Plinth.h>

#include <QApplication>

#include <cstdlib>
#include <filesystem>
#include <iostream>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/lsan_interface.h>
#endif

namespace {

using namespace tidemark;

// The folder of the program's file (links resolved), wherever it was started from.
std::filesystem::path ProgramFolder() { return std::filesystem::path(RunningProgramPath()).parent_path(); }

void LoadPlugins(PluginHost &plugins, const LogSink &log) {
    const char *pluginPath = std::getenv("TIDEMARK_PLUGIN_PATH");
    const std::filesystem::path program = ProgramFolder();
    const size_t before = plugins.plugins().size();  // the host's own pane is there already
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
    if (plugins.plugins().size() == before) log(LogLevel::Notice, "no plug-ins loaded (looked in " + searched + ")");
}

// A display to open the windows on: an X or Wayland display, or a Qt platform named outright
// (offscreen, for instance).
bool HasDisplay() {
    for (const char *variable : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"}) {
        const char *value = std::getenv(variable);
        if (value != nullptr && value[0] != '\0') return true;
    }
    return false;
}

int RunApplicationLoop(int argc, char **argv, const RunApplication &options) {
    if (!QuitSignals::Block()) std::perror("tidemark: cannot block SIGTERM and SIGINT");
    if (options.verbose) PLLog::setInfoEnabled(true);
    const HostSetup setup{[](PluginHost &plugins) { LoadPlugins(plugins, PlinthLog()); }, RunningProgramPath()};
    // Without a display, or told not to use one, no window is made and no display is opened.
    std::unique_ptr<QCoreApplication> app;
    if (!options.headless && HasDisplay()) {
        app = std::make_unique<QApplication>(argc, argv);
        QGuiApplication::setDesktopFileName("org.tidemark.Tidemark");
    } else {
        app = std::make_unique<QCoreApplication>(argc, argv);
    }
    QCoreApplication::setApplicationName("tidemark");
    return RunHost(*app, options, setup);
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
