// The plug-in's lifecycle extension: once the host has finished launching, the controller exists.
#pragma once

#include <Foundation/Foundation.h>
#include <Plinth/Plinth.h>

class TDWakeFromSleepLifeCycleExtension : public NSObject, public PLLifecycleProtocol {
public:
    void applicationLaunching() override;
    void applicationWillFinishLaunching() override;
    void applicationDidFinishLaunching() override;
    // Nothing goes out at the end: a stored date and its scheduled event stay as they are.
    void applicationWillTerminate() override;
};
