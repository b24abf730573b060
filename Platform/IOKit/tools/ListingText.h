// Text that wfs-pmset prints from the store: scheduler names and account names are other users'
// free text, and root reads the listing on a terminal.
#pragma once

#include <string>
#include <string_view>

namespace wfs::pmset {

// `text` with every byte sequence a terminal could act on made visible: bytes that are not UTF-8,
// and the ASCII controls (C0 and DEL), become \xNN; every other code point that is not printable
// (C1 controls, format characters such as the bidirectional overrides and zero-width marks, line
// and paragraph separators, private-use characters and noncharacters) becomes \uXXXX or
// \UXXXXXXXX. A backslash becomes \x5c, so that an escape in the output always comes from us.
std::string EscapedForTerminal(std::string_view text);

}  // namespace wfs::pmset
