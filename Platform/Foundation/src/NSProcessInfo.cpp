// The running process's name and identifier.
#include <Foundation/NSProcessInfo.h>

#include "FoundationInternal.h"

#include <climits>
#include <cstring>
#include <errno.h>
#include <unistd.h>

NSProcessInfo &NSProcessInfo::processInfo() {
    static NSProcessInfo *const info = new NSProcessInfo;
    return *info;
}

wfs::CFRef<CFStringRef> NSProcessInfo::processName() const {
    // The kernel's record of the executable, not argv[0], which the starter chooses freely.
    char path[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    std::string name;
    if (n > 0) {
        name.assign(path, static_cast<size_t>(n));
        name = name.substr(name.rfind('/') + 1);
        // The kernel marks an executable that has been replaced on disk since it was started.
        constexpr const char kDeleted[] = " (deleted)";
        if (name.size() > sizeof kDeleted - 1 && name.ends_with(kDeleted)) name.resize(name.size() - (sizeof kDeleted - 1));
    } else {
        name = program_invocation_short_name;
    }
    return wfs::foundation::MakeString(name);
}

pid_t NSProcessInfo::processIdentifier() const { return ::getpid(); }
