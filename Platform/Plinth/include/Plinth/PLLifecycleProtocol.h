// The host's lifecycle messages to a plug-in's lifecycle extension.
#pragma once

// Sent on the main thread, in this order over the life of the host: applicationLaunching,
// applicationWillFinishLaunching, applicationDidFinishLaunching, and applicationWillTerminate.
class PLLifecycleProtocol {
public:
    virtual ~PLLifecycleProtocol();
    virtual void applicationLaunching() = 0;
    virtual void applicationWillFinishLaunching() = 0;
    virtual void applicationDidFinishLaunching() = 0;
    virtual void applicationWillTerminate() = 0;
};
