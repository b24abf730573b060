#include "UserFolders.h"

#include <cstdlib>

#include <pwd.h>
#include <unistd.h>

namespace tidemark {
namespace {

std::optional<std::string> HomeFolder() {
    const char *home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return std::string(home);
    struct passwd entry {}, *found = nullptr;
    char buffer[4096];
    if (::getpwuid_r(::getuid(), &entry, buffer, sizeof buffer, &found) == 0 && found != nullptr && found->pw_dir[0] == '/') {
        return std::string(found->pw_dir);
    }
    return std::nullopt;
}

std::optional<std::string> XdgFolder(const char *variable, const char *underHome) {
    const char *set = std::getenv(variable);
    if (set != nullptr && set[0] == '/') return std::string(set);
    const std::optional<std::string> home = HomeFolder();
    if (!home) return std::nullopt;
    return *home + underHome;
}

}  // namespace

std::optional<std::string> UserConfigFolder() { return XdgFolder("XDG_CONFIG_HOME", "/.config"); }

std::optional<std::string> UserDataFolder() { return XdgFolder("XDG_DATA_HOME", "/.local/share"); }

}  // namespace tidemark
