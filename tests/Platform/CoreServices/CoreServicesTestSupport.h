// UTF-16 names and file references for the CoreServices tests; the generic helpers (temporary
// folders, environment, umask, files, unprivileged children) come from the shared TestSupport.h.
#pragma once

#include <CoreServices/CoreServices.h>
#include <Support/CFRef.h>

#include <TestSupport.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace wfs::test {

using namespace wfstest;

inline std::vector<UniChar> U16(const std::string &ascii) { return std::vector<UniChar>(ascii.begin(), ascii.end()); }

inline FSRef RefOf(const std::string &path) {
    FSRef ref;
    EXPECT_EQ(FSPathMakeRef(reinterpret_cast<const UInt8 *>(path.c_str()), &ref, nullptr), noErr) << path;
    return ref;
}

}  // namespace wfs::test
