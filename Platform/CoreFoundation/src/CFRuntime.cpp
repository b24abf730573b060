// The runtime every object shares: allocators, the null object, retain counting, equality,
// hashing and descriptions.
#include "CFInternal.h"
#include "CFStringInternal.h"

#include <climits>
#include <cstdio>

// Allocators exist only as identities: every object of this library lives on the C++ heap, and
// an allocator argument matters only as a bytes deallocator (kCFAllocatorNull frees nothing).
struct __CFAllocator final : __CFObject {
    explicit __CFAllocator(const char *name) noexcept : __CFObject(kCFTypeIDAllocator), name_(name) {
        immortal_ = true;
    }
    std::string description() const override { return std::string("<CFAllocator ") + name_ + ">"; }
    const char *name_;
};

struct __CFNull final : __CFObject {
    __CFNull() noexcept : __CFObject(kCFTypeIDNull) { immortal_ = true; }
    std::string description() const override { return "<CFNull>"; }
};

namespace {
__CFAllocator gSystemDefaultAllocator("kCFAllocatorSystemDefault");
__CFAllocator gMallocAllocator("kCFAllocatorMalloc");
__CFAllocator gNullAllocator("kCFAllocatorNull");
__CFNull gNull;
}  // namespace

const CFAllocatorRef kCFAllocatorDefault = nullptr;
const CFAllocatorRef kCFAllocatorSystemDefault = &gSystemDefaultAllocator;
const CFAllocatorRef kCFAllocatorMalloc = &gMallocAllocator;
const CFAllocatorRef kCFAllocatorNull = &gNullAllocator;
const CFNullRef kCFNull = &gNull;

std::string __CFObject::description() const {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "<CFType %lu %p>", typeID_, static_cast<const void *>(this));
    return buffer;
}

CFTypeID CFAllocatorGetTypeID(void) { return kCFTypeIDAllocator; }
CFTypeID CFNullGetTypeID(void) { return kCFTypeIDNull; }

CFTypeRef CFRetain(CFTypeRef cf) {
    CF_ASSERT(cf != NULL);
    const __CFObject *object = cf::Object(cf);
    if (!object->immortal_) {
        // A new reference can only be made from an existing one, so no ordering is needed here.
        const_cast<__CFObject *>(object)->retainCount_.fetch_add(1, std::memory_order_relaxed);
    }
    return cf;
}

void CFRelease(CFTypeRef cf) {
    CF_ASSERT(cf != NULL);
    __CFObject *object = const_cast<__CFObject *>(cf::Object(cf));
    if (object->immortal_) return;
    // Release ordering publishes this thread's writes to the thread that destroys the object;
    // the acquire fence makes them visible there before the destructor runs.
    CFIndex previous = object->retainCount_.fetch_sub(1, std::memory_order_release);
    CF_ASSERT(previous > 0);
    if (previous == 1) {
        std::atomic_thread_fence(std::memory_order_acquire);
        delete object;
    }
}

CFIndex CFGetRetainCount(CFTypeRef cf) {
    CF_ASSERT(cf != NULL);
    const __CFObject *object = cf::Object(cf);
    if (object->immortal_) return LONG_MAX;
    return object->retainCount_.load(std::memory_order_relaxed);
}

CFTypeID CFGetTypeID(CFTypeRef cf) {
    CF_ASSERT(cf != NULL);
    return cf::Object(cf)->typeID_;
}

CFAllocatorRef CFGetAllocator(CFTypeRef cf) {
    CF_ASSERT(cf != NULL);
    return kCFAllocatorSystemDefault;
}

Boolean CFEqual(CFTypeRef cf1, CFTypeRef cf2) {
    CF_ASSERT(cf1 != NULL);
    CF_ASSERT(cf2 != NULL);
    if (cf1 == cf2) return true;
    const __CFObject *a = cf::Object(cf1);
    const __CFObject *b = cf::Object(cf2);
    if (a->typeID_ != b->typeID_) return false;
    return a->equal(*b);
}

CFHashCode CFHash(CFTypeRef cf) {
    CF_ASSERT(cf != NULL);
    return cf::Object(cf)->hash();
}

CFStringRef CFCopyDescription(CFTypeRef cf) {
    CF_ASSERT(cf != NULL);
    return cf::CreateStringWithUTF8(cf::Object(cf)->description());
}

CFStringRef CFCopyTypeIDDescription(CFTypeID typeID) {
    static const char *const names[] = {
        nullptr,  "CFAllocator", "CFNull", "CFString",     "CFNumber", "CFBoolean",
        "CFDate", "CFData",      "CFArray", "CFDictionary", "CFURL",    "CFBundle",
    };
    CF_ASSERT(typeID > 0 && typeID < sizeof names / sizeof names[0]);
    return cf::CreateStringWithUTF8(names[typeID]);
}

void CFShow(CFTypeRef obj) {
    std::string text = obj == nullptr ? "(null)" : cf::Object(obj)->description();
    std::fprintf(stderr, "%s\n", text.c_str());
}
