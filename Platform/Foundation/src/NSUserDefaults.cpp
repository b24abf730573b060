// Defaults served from memory and merged into their shared file on synchronize.
#include <Foundation/NSUserDefaults.h>

#include <Foundation/NSBundle.h>
#include <Foundation/NSProcessInfo.h>

#include "FoundationInternal.h"

namespace {

using wfs::CFRef;

std::mutex gStandardMutex;
std::shared_ptr<NSUserDefaults> gStandard;

// A file name that stays inside its folder.
bool IsPlainName(const std::string &name) {
    return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
}

std::string StandardPath() {
    const std::string processName =
        wfs::foundation::UTF8(NSProcessInfo::processInfo().processName().get()).value_or("");
    std::string domain = wfs::foundation::UTF8(NSBundle::mainBundle()->bundleIdentifier().get()).value_or("");
    if (!IsPlainName(domain)) domain = processName;
    // Without any usable name or home, the defaults live in a file nobody else's process names.
    const std::string folder = wfs::foundation::UserConfigFolder().value_or("/nonexistent");
    return folder + "/" + (IsPlainName(processName) ? processName : "unnamed") + "/" +
           (IsPlainName(domain) ? domain : "unnamed") + ".plist";
}

}  // namespace

std::shared_ptr<NSUserDefaults> NSUserDefaults::standardUserDefaults() {
    std::lock_guard<std::mutex> lock(gStandardMutex);
    if (!gStandard) gStandard = std::make_shared<NSUserDefaults>(StandardPath());
    return gStandard;
}

void NSUserDefaults::resetStandardUserDefaults() {
    std::shared_ptr<NSUserDefaults> standard;
    {
        std::lock_guard<std::mutex> lock(gStandardMutex);
        standard = std::move(gStandard);
    }
    if (standard) standard->synchronize();
}

NSUserDefaults::NSUserDefaults(std::string path)
    : file_(std::move(path)),
      changes_(CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks)) {
    if (!changes_) throw std::bad_alloc();
}

NSUserDefaults::~NSUserDefaults() = default;

// The file is read on first use, not when the object is made; a failed read is tried again on the
// next access, and until then only this process's own changes are seen.
bool NSUserDefaults::loadLocked() {
    if (loaded_) return true;
    CFRef<CFDictionaryRef> stored;
    if (file_.Read(stored) != 0) return false;
    stored_ = std::move(stored);
    loaded_ = true;
    return true;
}

CFRef<CFPropertyListRef> NSUserDefaults::objectForKey(CFStringRef key) {
    FOUNDATION_ASSERT(key != nullptr);
    std::lock_guard<std::mutex> lock(mutex_);
    if (CFTypeRef changed = CFDictionaryGetValue(changes_.get(), key)) {
        return changed == kCFNull ? CFRef<CFPropertyListRef>() : CFRef<CFPropertyListRef>::Retain(changed);
    }
    if (!loadLocked()) return CFRef<CFPropertyListRef>();
    return CFRef<CFPropertyListRef>::Retain(CFDictionaryGetValue(stored_.get(), key));
}

void NSUserDefaults::setObject(CFPropertyListRef value, CFStringRef key) {
    FOUNDATION_ASSERT(key != nullptr && CFGetTypeID(key) == CFStringGetTypeID());
    if (value == nullptr) return removeObjectForKey(key);
    // Only what the file can hold; kept as an immutable copy, so that a caller changing its
    // mutable value afterwards does not change the default behind our back.
    FOUNDATION_ASSERT(CFPropertyListIsValid(value, kCFPropertyListXMLFormat_v1_0));
    CFRef<CFPropertyListRef> copy(CFPropertyListCreateDeepCopy(nullptr, value, kCFPropertyListImmutable));
    if (!copy) throw std::bad_alloc();
    std::lock_guard<std::mutex> lock(mutex_);
    CFDictionarySetValue(changes_.get(), key, copy.get());
}

void NSUserDefaults::removeObjectForKey(CFStringRef key) {
    FOUNDATION_ASSERT(key != nullptr && CFGetTypeID(key) == CFStringGetTypeID());
    std::lock_guard<std::mutex> lock(mutex_);
    CFDictionarySetValue(changes_.get(), key, kCFNull);
}

bool NSUserDefaults::synchronize() {
    std::lock_guard<std::mutex> lock(mutex_);
    CFRef<CFDictionaryRef> after;
    if (CFDictionaryGetCount(changes_.get()) == 0) {
        // Nothing of ours to write: only take in what others wrote.
        if (file_.Read(after) != 0) return false;
    } else {
        CFMutableDictionaryRef changes = changes_.get();
        const int error = file_.Update(
            [changes](CFMutableDictionaryRef contents) {
                struct Merge {
                    CFMutableDictionaryRef contents;
                    bool changed;
                } merge{contents, false};
                CFDictionaryApplyFunction(
                    changes,
                    [](const void *key, const void *value, void *context) {
                        auto *m = static_cast<Merge *>(context);
                        const void *current = CFDictionaryGetValue(m->contents, key);
                        if (value == kCFNull) {
                            if (current == nullptr) return;
                            CFDictionaryRemoveValue(m->contents, key);
                        } else {
                            if (current != nullptr && CFEqual(current, value)) return;
                            CFDictionarySetValue(m->contents, key, value);
                        }
                        m->changed = true;
                    },
                    &merge);
                return merge.changed;
            },
            &after);
        if (error != 0) return false;
        CFDictionaryRemoveAllValues(changes_.get());
    }
    stored_ = std::move(after);
    loaded_ = true;
    return true;
}
