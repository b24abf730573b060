#include "IOKitConfig.h"

#include <stdlib.h>

namespace wfs::iokit {

static std::string Configured(const char *variable, const char *fallback) {
    const char *value = secure_getenv(variable);
    // An empty or relative override is a mistake; keep the default rather than act on the
    // working directory.
    if (value == nullptr || value[0] != '/') return fallback;
    return value;
}

std::string StorePath() { return Configured(kStorePathVariable, kDefaultStorePath); }

std::string SysfsRoot() { return Configured(kSysfsRootVariable, kDefaultSysfsRoot); }

}  // namespace wfs::iokit
