// Helpers shared by the File Manager and Folder Manager sources. Not installed.
#pragma once

#include <CoreServices/CoreServices.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

namespace cs {

[[noreturn]] inline void AssertionFailed(const char *file, unsigned line, const char *expr) {
    std::fprintf(stderr, "%s:%u: failed assertion `%s'\n", file, line, expr);
    std::abort();
}

// A path that fits an FSRef with its NUL.
inline bool FitsRef(std::string_view path) { return path.size() < sizeof(FSRef::path); }

// Stores `path` (which must fit) in `ref`.
void SetRef(FSRef *ref, std::string_view path);

// `parent` + "/" + `name`, without doubling the root's "/".
std::string JoinPath(std::string_view parent, std::string_view name);

// The UTF-8 form of a file name given in UTF-16 units; nothing when the name cannot name a child
// of a folder: empty, longer than 255 units, ".", "..", holding "/" or NUL, or an unpaired
// surrogate.
std::optional<std::string> FileNameFromUnicode(const UniChar *name, UniCharCount length);

}  // namespace cs

#define CS_ASSERT(expr) ((expr) ? (void)0 : ::cs::AssertionFailed(__FILE__, __LINE__, #expr))
