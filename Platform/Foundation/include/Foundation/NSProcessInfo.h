// What the running process knows about itself.
#pragma once

#include <Foundation/NSObject.h>
#include <Support/CFRef.h>

#include <sys/types.h>

class NSProcessInfo : public NSObject {
public:
    static NSProcessInfo &processInfo();

    // The file name of the running executable (not the name it was started by).
    wfs::CFRef<CFStringRef> processName() const;
    pid_t processIdentifier() const;
};
