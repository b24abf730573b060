// The host's plug-ins: each <Name>.plugin found is loaded once with PLPluginLoader, kept for the life
// of the host (what a plug-in registers elsewhere points into its code and objects), and sent the
// four lifecycle messages. Preference panes are kept for the window to show.
#pragma once

#include "HostLog.h"

#include <Plinth/Plinth.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace tidemark {

// The folders plug-ins are looked for in: those of `pluginPath` (TIDEMARK_PLUGIN_PATH, colon
// separated, empty entries skipped) when it is given; else `installed` (the program's own plugins
// folder, <prefix>/lib/tidemark/plugins) and the user's ${XDG_DATA_HOME:-~/.local/share}/tidemark/plugins.
std::vector<std::string> PluginFolders(const char *pluginPath, const std::string &installed);

class PluginHost {
public:
    explicit PluginHost(LogSink log) : log_(std::move(log)) {}
    PluginHost(const PluginHost &) = delete;
    PluginHost &operator=(const PluginHost &) = delete;

    // Every <Name>.plugin in `folder`, in name order. A bundle whose name is already loaded is
    // skipped: two copies of one plug-in would both act on every event. A bundle that does not load
    // is logged by the loader and skipped.
    void loadFolder(const std::string &folder);
    void loadBundle(const std::string &bundle);
    // A plug-in the host makes itself (its own preference pane), kept and sent the lifecycle
    // messages like a loaded one.
    void adopt(std::unique_ptr<PLPlugin> plugin);

    void applicationLaunching();
    void applicationWillFinishLaunching();
    void applicationDidFinishLaunching();
    void applicationWillTerminate();

    const std::vector<std::unique_ptr<PLPlugin>> &plugins() const { return plugins_; }
    const std::vector<PLPreferencePaneProtocol *> &preferencePanes() const { return panes_; }

private:
    void send(void (PLLifecycleProtocol::*message)(), const char *name);

    LogSink log_;
    std::vector<std::unique_ptr<PLPlugin>> plugins_;
    std::set<std::string> names_;
    std::vector<PLPreferencePaneProtocol *> panes_;  // into plugins_' extensions
};

}  // namespace tidemark
