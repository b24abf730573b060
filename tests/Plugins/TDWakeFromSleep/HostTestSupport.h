// What the controller's and the plug-in's tests share: where their temporary homes go.
#pragma once

#include <string>
#include <sys/statvfs.h>

namespace wfstest {

// /tmp, unless it is mounted without set-user-ID, which the helper tool's folder must honour
// (the tool is then refused as unsuitable); the build folder then.
inline std::string SetUserIDCapableBase() {
    struct statvfs fs {};
    return statvfs("/tmp", &fs) != 0 || (fs.f_flag & ST_NOSUID) != 0 ? WFS_TEST_SCRATCH_DIR : "/tmp";
}

}  // namespace wfstest
