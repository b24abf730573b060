// Where the IOKit stand-in keeps its state and finds the RTC. Not installed.
//
// The paths are compile-time defaults. Tests point them elsewhere through environment variables
// read with secure_getenv, which answers NULL in a set-user-ID or otherwise secure process, so a
// caller of a privileged helper tool cannot redirect them.
#pragma once

#include <string>

namespace wfs::iokit {

inline constexpr const char kDefaultStorePath[] =
    "/var/lib/wake-from-sleep/scheduled-power-events.plist";
inline constexpr const char kDefaultSysfsRoot[] = "/sys";
inline constexpr const char kStorePathVariable[] = "WFS_POWER_EVENT_STORE";
inline constexpr const char kSysfsRootVariable[] = "WFS_SYSFS_ROOT";

// Read at every call (not cached), so each call sees the configuration of the moment.
std::string StorePath();
std::string SysfsRoot();

}  // namespace wfs::iokit
