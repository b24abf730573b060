// Deep copies of property lists with a chosen mutability.
#include "CFInternal.h"

#include <Support/CFRef.h>

#include <vector>

namespace {

CFTypeRef Copy(CFAllocatorRef allocator, CFTypeRef value, CFOptionFlags mutability, unsigned depth) {
    const CFTypeID type = CFGetTypeID(value);
    if (type == CFStringGetTypeID()) {
        if (mutability == kCFPropertyListMutableContainersAndLeaves)
            return CFStringCreateMutableCopy(allocator, 0, static_cast<CFStringRef>(value));
        return CFStringCreateCopy(allocator, static_cast<CFStringRef>(value));
    }
    if (type == CFDataGetTypeID()) {
        if (mutability == kCFPropertyListMutableContainersAndLeaves)
            return CFDataCreateMutableCopy(allocator, 0, static_cast<CFDataRef>(value));
        return CFDataCreateCopy(allocator, static_cast<CFDataRef>(value));
    }
    if (type == CFNumberGetTypeID() || type == CFBooleanGetTypeID() || type == CFDateGetTypeID()) {
        return CFRetain(value);  // immutable in every option
    }
    // The same bound as the reader and writer; it also ends a container that holds itself.
    if (depth >= kCFPropertyListMaxNestingDepth) return nullptr;

    if (type == CFArrayGetTypeID()) {
        CFArrayRef array = static_cast<CFArrayRef>(value);
        const CFIndex count = CFArrayGetCount(array);
        wfs::CFRef<CFMutableArrayRef> copy(CFArrayCreateMutable(allocator, 0, &kCFTypeArrayCallBacks));
        for (CFIndex i = 0; i < count; ++i) {
            wfs::CFRef<CFTypeRef> element(Copy(allocator, CFArrayGetValueAtIndex(array, i), mutability, depth + 1));
            if (!element) return nullptr;
            CFArrayAppendValue(copy.get(), element.get());
        }
        if (mutability != kCFPropertyListImmutable) return copy.release();
        return CFArrayCreateCopy(allocator, copy.get());
    }
    if (type == CFDictionaryGetTypeID()) {
        CFDictionaryRef dictionary = static_cast<CFDictionaryRef>(value);
        const CFIndex count = CFDictionaryGetCount(dictionary);
        std::vector<const void *> keys(static_cast<std::size_t>(count)), values(static_cast<std::size_t>(count));
        CFDictionaryGetKeysAndValues(dictionary, keys.data(), values.data());
        wfs::CFRef<CFMutableDictionaryRef> copy(CFDictionaryCreateMutable(
            allocator, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
        for (CFIndex i = 0; i < count; ++i) {
            if (CFGetTypeID(keys[i]) != CFStringGetTypeID()) return nullptr;
            // Keys stay immutable: a key that changed inside a dictionary would corrupt it.
            wfs::CFRef<CFStringRef> key(CFStringCreateCopy(allocator, static_cast<CFStringRef>(keys[i])));
            wfs::CFRef<CFTypeRef> element(Copy(allocator, values[i], mutability, depth + 1));
            if (!element) return nullptr;
            CFDictionarySetValue(copy.get(), key.get(), element.get());
        }
        if (mutability != kCFPropertyListImmutable) return copy.release();
        return CFDictionaryCreateCopy(allocator, copy.get());
    }
    return nullptr;
}

}  // namespace

CFPropertyListRef CFPropertyListCreateDeepCopy(CFAllocatorRef allocator, CFPropertyListRef propertyList,
                                               CFOptionFlags mutabilityOption) {
    CF_ASSERT(propertyList != NULL);
    CF_ASSERT(mutabilityOption <= kCFPropertyListMutableContainersAndLeaves);
    return Copy(allocator, propertyList, mutabilityOption, 0);
}
