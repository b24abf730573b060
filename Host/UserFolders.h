// The user's folders as the XDG base directories name them.
#pragma once

#include <optional>
#include <string>

namespace tidemark {

// ${XDG_CONFIG_HOME:-$HOME/.config} and ${XDG_DATA_HOME:-$HOME/.local/share}; a variable that is not
// an absolute path is ignored, and $HOME falls back to the password database. Nothing without a home.
std::optional<std::string> UserConfigFolder();
std::optional<std::string> UserDataFolder();

}  // namespace tidemark
