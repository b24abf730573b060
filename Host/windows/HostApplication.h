// The running application: rings the timers, keeps them in step with their file, loads the
// plug-ins and reports the system's events to them through the workspace; with a display (`app` a
// QApplication) also its windows and tray icon. main() and the tests run the same code.
#pragma once

#include "CommandLine.h"
#include "PluginHost.h"

#include <QCoreApplication>

#include <functional>
#include <string>

namespace tidemark {

struct HostSetup {
    // Loads the plug-ins into the host.
    std::function<void(PluginHost &plugins)> loadPlugins;
    // The program that "Start at login" starts: this one, by its absolute path.
    std::string programPath;
};

// Runs until Quit, SIGTERM or SIGINT, then sends applicationWillTerminate; answers the exit status.
// Everything it made, the plug-ins and their panes (which delete their views) included, is gone
// when it returns, before `app` is.
int RunHost(QCoreApplication &app, const RunApplication &options, const HostSetup &setup);

}  // namespace tidemark
