#include <Plinth/PLApplication.h>

std::shared_ptr<const PLTimerCollection> NSApplication::valueForKey(CFStringRef key) const {
    if (key == nullptr || !CFEqual(key, CFSTR("timers"))) return nullptr;
    TimersSource source;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        source = timersSource_;
    }
    // Called without the lock: the host's source may take its time, and may itself ask us.
    return source ? source() : nullptr;
}

void NSApplication::setTimersSource(TimersSource source) {
    std::lock_guard<std::mutex> lock(mutex_);
    timersSource_ = std::move(source);
}

NSApplication *NSApp() {
    static NSApplication *const application = new NSApplication;
    return application;
}
