#include "PowerEventPlist.h"

#include <IOKit/pwr_mgt/IOPMKeys.h>
#include <Support/CFRef.h>

#include <cerrno>
#include <cstdint>

namespace wfs::iokit {

static CFDictionaryRef CreateEventDictionary(const PowerEvent &event) {
    CFRef<CFDateRef> date(CFDateCreate(kCFAllocatorDefault, event.time));
    CFRef<CFStringRef> scheduler(CFStringCreateWithBytes(
        kCFAllocatorDefault, reinterpret_cast<const UInt8 *>(event.scheduler.data()),
        static_cast<CFIndex>(event.scheduler.size()), kCFStringEncodingUTF8, false));
    CFRef<CFStringRef> type(CFStringCreateWithBytes(
        kCFAllocatorDefault, reinterpret_cast<const UInt8 *>(event.type.data()),
        static_cast<CFIndex>(event.type.size()), kCFStringEncodingUTF8, false));
    const SInt64 ownerValue = event.owner;
    CFRef<CFNumberRef> owner(CFNumberCreate(kCFAllocatorDefault, kCFNumberSInt64Type, &ownerValue));
    if (!date || !scheduler || !type || !owner) return nullptr;
    const void *keys[] = {CFSTR(kIOPMPowerEventTimeKey), CFSTR(kIOPMPowerEventAppNameKey),
                          CFSTR(kIOPMPowerEventTypeKey), CFSTR(kIOPMPowerEventOwnerUIDKey)};
    const void *values[] = {date.get(), scheduler.get(), type.get(), owner.get()};
    return CFDictionaryCreate(kCFAllocatorDefault, keys, values, 4, &kCFTypeDictionaryKeyCallBacks,
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
    event.owner = 0;
    CFTypeRef owner = nullptr;
    {
        CFRef<CFStringRef> key(CFStringCreateWithCString(kCFAllocatorDefault, kIOPMPowerEventOwnerUIDKey,
                                                         kCFStringEncodingUTF8));
        if (key) owner = CFDictionaryGetValue(dictionary, key.get());
    }
    if (owner != nullptr) {
        SInt64 value = -1;
        if (CFGetTypeID(owner) != CFNumberGetTypeID() ||
            !CFNumberGetValue(static_cast<CFNumberRef>(owner), kCFNumberSInt64Type, &value) || value < 0 ||
            value >= static_cast<SInt64>(static_cast<uid_t>(-1))) {
            return false;
        }
        event.owner = static_cast<uid_t>(value);
    }
    return IsValidScheduler(event.scheduler) && IsKnownEventType(event.type);
}

int DecodeEvents(std::string_view document, std::vector<PowerEvent> &events) {
    events.clear();
    // The bytes are only lent to the data object: the caller's buffer outlives it.
    CFRef<CFDataRef> data(CFDataCreateWithBytesNoCopy(
        kCFAllocatorDefault, reinterpret_cast<const UInt8 *>(document.data()),
        static_cast<CFIndex>(document.size()), kCFAllocatorNull));
    if (!data) return ENOMEM;
    CFRef<CFPropertyListRef> root(CFPropertyListCreateFromXMLData(
        kCFAllocatorDefault, data.get(), kCFPropertyListImmutable, nullptr));
    // The reader tells a document it refuses (EINVAL) from one it could not finish (ENOMEM).
    if (!root) return errno == ENOMEM ? ENOMEM : EINVAL;
    if (CFGetTypeID(root.get()) != CFArrayGetTypeID()) return EINVAL;
    auto array = static_cast<CFArrayRef>(root.get());
    CFIndex count = CFArrayGetCount(array);
    events.reserve(static_cast<size_t>(count));
    for (CFIndex i = 0; i < count; ++i) {
        PowerEvent event;
        if (!DecodeEvent(CFArrayGetValueAtIndex(array, i), event)) {
            events.clear();
            return EINVAL;
        }
        events.push_back(std::move(event));
    }
    NormalizeEvents(events);
    return 0;
}

}  // namespace wfs::iokit
