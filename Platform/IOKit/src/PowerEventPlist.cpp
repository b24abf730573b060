#include "PowerEventPlist.h"

#include <IOKit/pwr_mgt/IOPMKeys.h>
#include <Support/CFRef.h>

namespace wfs::iokit {

static CFDictionaryRef CreateEventDictionary(const PowerEvent &event) {
    CFRef<CFDateRef> date(CFDateCreate(kCFAllocatorDefault, event.time));
    CFRef<CFStringRef> scheduler(CFStringCreateWithBytes(
        kCFAllocatorDefault, reinterpret_cast<const UInt8 *>(event.scheduler.data()),
        static_cast<CFIndex>(event.scheduler.size()), kCFStringEncodingUTF8, false));
    CFRef<CFStringRef> type(CFStringCreateWithBytes(
        kCFAllocatorDefault, reinterpret_cast<const UInt8 *>(event.type.data()),
        static_cast<CFIndex>(event.type.size()), kCFStringEncodingUTF8, false));
    if (!date || !scheduler || !type) return nullptr;
    const void *keys[] = {CFSTR(kIOPMPowerEventTimeKey), CFSTR(kIOPMPowerEventAppNameKey),
                          CFSTR(kIOPMPowerEventTypeKey)};
    const void *values[] = {date.get(), scheduler.get(), type.get()};
    return CFDictionaryCreate(kCFAllocatorDefault, keys, values, 3, &kCFTypeDictionaryKeyCallBacks,
                              &kCFTypeDictionaryValueCallBacks);
}

CFArrayRef CreateEventArray(const std::vector<PowerEvent> &events) {
    CFRef<CFMutableArrayRef> array(CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks));
    if (!array) return nullptr;
    for (const PowerEvent &event : events) {
        CFRef<CFDictionaryRef> dictionary(CreateEventDictionary(event));
        if (!dictionary) return nullptr;
        CFArrayAppendValue(array.get(), dictionary.get());
    }
    return array.release();
}

IOReturn EncodeEvents(const std::vector<PowerEvent> &events, std::string &document) {
    CFRef<CFArrayRef> array(CreateEventArray(events));
    if (!array) return kIOReturnNoMemory;
    CFRef<CFDataRef> data(CFPropertyListCreateXMLData(kCFAllocatorDefault, array.get()));
    // Every value here is representable, so a failure can only be a date out of the writer's
    // range (years before 1 or after 9999), which scheduling does not let in.
    if (!data) return kIOReturnError;
    document.assign(reinterpret_cast<const char *>(CFDataGetBytePtr(data.get())),
                    static_cast<size_t>(CFDataGetLength(data.get())));
    return kIOReturnSuccess;
}

template <typename T>
static T GetTyped(CFDictionaryRef dictionary, const char *key, CFTypeID typeID) {
    CFRef<CFStringRef> keyString(CFStringCreateWithCString(kCFAllocatorDefault, key, kCFStringEncodingUTF8));
    if (!keyString) return nullptr;
    CFTypeRef value = CFDictionaryGetValue(dictionary, keyString.get());
    if (value == nullptr || CFGetTypeID(value) != typeID) return nullptr;
    return static_cast<T>(value);
}

static bool DecodeEvent(CFTypeRef element, PowerEvent &event) {
    if (CFGetTypeID(element) != CFDictionaryGetTypeID()) return false;
    auto dictionary = static_cast<CFDictionaryRef>(element);
    auto date = GetTyped<CFDateRef>(dictionary, kIOPMPowerEventTimeKey, CFDateGetTypeID());
    auto scheduler = GetTyped<CFStringRef>(dictionary, kIOPMPowerEventAppNameKey, CFStringGetTypeID());
    auto type = GetTyped<CFStringRef>(dictionary, kIOPMPowerEventTypeKey, CFStringGetTypeID());
    if (date == nullptr || scheduler == nullptr || type == nullptr) return false;
    event.time = CFDateGetAbsoluteTime(date);
    if (!CopyUTF8(scheduler, event.scheduler) || !CopyUTF8(type, event.type)) return false;
    return IsValidScheduler(event.scheduler) && IsKnownEventType(event.type);
}

bool DecodeEvents(const std::string &document, std::vector<PowerEvent> &events) {
    events.clear();
    // The bytes are only lent to the data object: the caller's string outlives it.
    CFRef<CFDataRef> data(CFDataCreateWithBytesNoCopy(
        kCFAllocatorDefault, reinterpret_cast<const UInt8 *>(document.data()),
        static_cast<CFIndex>(document.size()), kCFAllocatorNull));
    if (!data) return false;
    CFRef<CFPropertyListRef> root(CFPropertyListCreateFromXMLData(
        kCFAllocatorDefault, data.get(), kCFPropertyListImmutable, nullptr));
    if (!root || CFGetTypeID(root.get()) != CFArrayGetTypeID()) return false;
    auto array = static_cast<CFArrayRef>(root.get());
    CFIndex count = CFArrayGetCount(array);
    events.reserve(static_cast<size_t>(count));
    for (CFIndex i = 0; i < count; ++i) {
        PowerEvent event;
        if (!DecodeEvent(CFArrayGetValueAtIndex(array, i), event)) {
            events.clear();
            return false;
        }
        events.push_back(std::move(event));
    }
    NormalizeEvents(events);
    return true;
}

}  // namespace wfs::iokit
