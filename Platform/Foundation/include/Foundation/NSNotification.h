// Notifications and the centers that deliver them.
#pragma once

#include <Foundation/NSObject.h>
#include <Support/CFRef.h>

#include <functional>
#include <memory>
#include <mutex>
#include <vector>

// A named event and the object it is about (its sender, or null).
class NSNotification {
public:
    NSNotification(CFStringRef name, const void *object);

    CFStringRef name() const noexcept { return name_.get(); }
    const void *object() const noexcept { return object_; }

private:
    wfs::CFRef<CFStringRef> name_;
    const void *object_;
};

// Delivers notifications to the observers registered for them: synchronously, on the thread that
// posts, in the order the observers were added. An observer removed while a notification is being
// delivered gets nothing more, not even the rest of that delivery; one added meanwhile gets the
// next notification, not this one. Observers are not retained: an observer removes itself before
// it goes away.
class NSNotificationCenter {
public:
    using Handler = std::function<void(const NSNotification &)>;

    // One registration, as observations() lists it.
    struct Observation {
        const void *observer;
        wfs::CFRef<CFStringRef> name;  // null: any name
        const void *object;            // null: any object
    };

    NSNotificationCenter();
    ~NSNotificationCenter();
    NSNotificationCenter(const NSNotificationCenter &) = delete;
    NSNotificationCenter &operator=(const NSNotificationCenter &) = delete;

    // The process's default center.
    static NSNotificationCenter &defaultCenter();

    // Calls `selector` on `observer` for each notification named `name` (null: any name) about
    // `object` (null: any object). Names are compared by value, objects by identity.
    template <typename Observer>
    void addObserver(Observer *observer, void (Observer::*selector)(const NSNotification &), CFStringRef name,
                     const void *object) {
        addObserverWithHandler(
            observer, [observer, selector](const NSNotification &notification) { (observer->*selector)(notification); },
            name, object);
    }
    void addObserverWithHandler(const void *observer, Handler handler, CFStringRef name, const void *object);

    // Every registration of `observer`; or those for `name` and `object` (null matching any).
    void removeObserver(const void *observer);
    void removeObserver(const void *observer, CFStringRef name, const void *object);

    void postNotification(const NSNotification &notification);
    void postNotificationName(CFStringRef name, const void *object);

    // The registrations in the order they were made.
    std::vector<Observation> observations() const;

private:
    struct Entry;
    mutable std::mutex mutex_;
    std::vector<std::shared_ptr<Entry>> entries_;
};
