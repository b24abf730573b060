// Synchronous delivery of notifications to registered observers.
#include <Foundation/NSNotification.h>

#include "FoundationInternal.h"

#include <algorithm>
#include <atomic>

NSNotification::NSNotification(CFStringRef name, const void *object)
    : name_(wfs::CFRef<CFStringRef>::Retain(name)), object_(object) {
    FOUNDATION_ASSERT(name != nullptr);
}

struct NSNotificationCenter::Entry {
    const void *observer;
    wfs::CFRef<CFStringRef> name;
    const void *object;
    Handler handler;
    // Cleared on removal. A delivery in progress works on a copy of the list and checks this
    // before each call, so a removed observer is never called again.
    std::atomic<bool> active{true};

    bool matches(CFStringRef otherName, const void *otherObject) const {
        return (!name || CFEqual(name.get(), otherName)) && (object == nullptr || object == otherObject);
    }
};

NSNotificationCenter::NSNotificationCenter() = default;
NSNotificationCenter::~NSNotificationCenter() = default;

NSNotificationCenter &NSNotificationCenter::defaultCenter() {
    // Never destroyed: observers may still remove themselves while the process exits.
    static NSNotificationCenter *const center = new NSNotificationCenter;
    return *center;
}

void NSNotificationCenter::addObserverWithHandler(const void *observer, Handler handler, CFStringRef name,
                                                  const void *object) {
    FOUNDATION_ASSERT(observer != nullptr);
    FOUNDATION_ASSERT(handler != nullptr);
    auto entry = std::make_shared<Entry>();
    entry->observer = observer;
    entry->name = wfs::CFRef<CFStringRef>::Retain(name);
    entry->object = object;
    entry->handler = std::move(handler);
    std::lock_guard<std::mutex> lock(mutex_);
    entries_.push_back(std::move(entry));
}

void NSNotificationCenter::removeObserver(const void *observer) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase_if(entries_, [&](const std::shared_ptr<Entry> &entry) {
        if (entry->observer != observer) return false;
        entry->active = false;
        return true;
    });
}

void NSNotificationCenter::removeObserver(const void *observer, CFStringRef name, const void *object) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::erase_if(entries_, [&](const std::shared_ptr<Entry> &entry) {
        const bool sameName = name == nullptr || (entry->name && CFEqual(entry->name.get(), name));
        if (entry->observer != observer || !sameName || (object != nullptr && entry->object != object)) return false;
        entry->active = false;
        return true;
    });
}

void NSNotificationCenter::postNotification(const NSNotification &notification) {
    std::vector<std::shared_ptr<Entry>> receivers;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto &entry : entries_) {
            if (entry->matches(notification.name(), notification.object())) receivers.push_back(entry);
        }
    }
    // Called without the lock, so that a handler may add, remove and post.
    for (const auto &entry : receivers) {
        if (entry->active) entry->handler(notification);
    }
}

void NSNotificationCenter::postNotificationName(CFStringRef name, const void *object) {
    postNotification(NSNotification(name, object));
}

std::vector<NSNotificationCenter::Observation> NSNotificationCenter::observations() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Observation> list;
    for (const auto &entry : entries_) {
        list.push_back({entry->observer, wfs::CFRef<CFStringRef>::Retain(entry->name.get()), entry->object});
    }
    return list;
}
