// The host's application object as plug-ins see it: key-value access to the host's timers.
#pragma once

#include <Foundation/Foundation.h>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// One of the host's timers. Mode 1 is an alarm; the host's other modes are of no concern to
// plug-ins. Answers stay the same for as long as a plug-in works with the collection it got (the
// host hands out snapshots).
class PLTimer : public NSObject {
public:
    virtual bool running() const = 0;
    virtual long mode() const = 0;
    // When the alarm goes off; null when the timer has none.
    virtual wfs::CFRef<CFDateRef> alarmDate() const = 0;
};

using PLTimerCollection = std::vector<std::shared_ptr<const PLTimer>>;

class NSApplication : public NSObject {
public:
    using TimersSource = std::function<std::shared_ptr<const PLTimerCollection>()>;

    // Key-value access: "timers" answers the host's timers (null when the host supplies none);
    // any other key answers null.
    std::shared_ptr<const PLTimerCollection> valueForKey(CFStringRef key) const;

    // The host's side: where "timers" comes from.
    void setTimersSource(TimersSource source);

private:
    mutable std::mutex mutex_;
    TimersSource timersSource_;
};

// The process's application object; never destroyed.
NSApplication *NSApp();
