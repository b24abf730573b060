#include "PluginHost.h"

#include "UserFolders.h"

#include <algorithm>
#include <exception>
#include <filesystem>

namespace tidemark {

std::vector<std::string> PluginFolders(const char *pluginPath, const std::string &installed) {
    std::vector<std::string> folders;
    if (pluginPath != nullptr) {
        const std::string_view path(pluginPath);
        for (size_t start = 0; start <= path.size();) {
            const size_t colon = std::min(path.find(':', start), path.size());
            if (colon > start) folders.emplace_back(path.substr(start, colon - start));
            start = colon + 1;
        }
        return folders;
    }
    folders.push_back(installed);
    if (const std::optional<std::string> data = UserDataFolder()) folders.push_back(*data + "/tidemark/plugins");
    return folders;
}

void PluginHost::loadFolder(const std::string &folder) {
    std::vector<std::string> bundles;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(folder, error)) {
        if (entry.path().extension() == ".plugin" && entry.is_directory(error)) bundles.push_back(entry.path().string());
    }
    std::sort(bundles.begin(), bundles.end());
    for (const std::string &bundle : bundles) loadBundle(bundle);
}

void PluginHost::loadBundle(const std::string &bundle) {
    const std::string name = std::filesystem::path(bundle).filename().string();
    if (names_.count(name)) {
        log_(LogLevel::Info, bundle + ": " + name + " is loaded already; this copy is skipped");
        return;
    }
    std::unique_ptr<PLPlugin> plugin = PLPluginLoader::loadBundle(bundle);
    if (!plugin) return;  // the loader said why
    names_.insert(name);
    std::string classes;
    for (const PLExtension &extension : plugin->extensions()) classes += (classes.empty() ? "" : ", ") + extension.className;
    log_(LogLevel::Notice, "loaded plug-in " + bundle + " (" + (classes.empty() ? "no extensions" : classes) + ")");
    adopt(std::move(plugin));
}

void PluginHost::adopt(std::unique_ptr<PLPlugin> plugin) {
    for (PLPreferencePaneProtocol *pane : plugin->preferencePaneExtensions()) panes_.push_back(pane);
    plugins_.push_back(std::move(plugin));
}

void PluginHost::send(void (PLLifecycleProtocol::*message)(), const char *name) {
    for (const auto &plugin : plugins_) {
        for (PLLifecycleProtocol *extension : plugin->lifecycleExtensions()) {
            // A plug-in's failure is its own: the host and the other plug-ins go on.
            try {
                (extension->*message)();
            } catch (const std::exception &failure) {
                log_(LogLevel::Error, plugin->bundlePath() + ": " + name + " failed: " + failure.what());
            } catch (...) {
                log_(LogLevel::Error, plugin->bundlePath() + ": " + name + " failed");
            }
        }
    }
}

void PluginHost::applicationLaunching() { send(&PLLifecycleProtocol::applicationLaunching, "applicationLaunching"); }

void PluginHost::applicationWillFinishLaunching() {
    send(&PLLifecycleProtocol::applicationWillFinishLaunching, "applicationWillFinishLaunching");
}

void PluginHost::applicationDidFinishLaunching() {
    send(&PLLifecycleProtocol::applicationDidFinishLaunching, "applicationDidFinishLaunching");
}

void PluginHost::applicationWillTerminate() {
    send(&PLLifecycleProtocol::applicationWillTerminate, "applicationWillTerminate");
}

}  // namespace tidemark
