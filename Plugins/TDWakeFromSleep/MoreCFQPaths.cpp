// Reading, setting and removing values addressed by a path of keys into nested dictionaries.
#include "MoreCFQ.h"

#include "MoreAssert.h"
#include "MoreCFQInternal.h"

#include <Support/CFRef.h>

using wfs::CFQTempRefArray;
using wfs::CFRef;

static bool IsDictionary(const void *value)
{
    return value != NULL && CFGetTypeID(value) == CFDictionaryGetTypeID();
}

extern "C" OSStatus CFQDictionaryGetValueAtPath(CFDictionaryRef dict, const void *path[],
                                                CFIndex pathElementCount, const void **result)
{
    MoreAssertQ(dict != NULL);
    MoreAssertQ(path != NULL);
    MoreAssertQ(pathElementCount > 0);
    MoreAssertQ(result != NULL);

    CFDictionaryRef current = dict;
    CFIndex last = pathElementCount - 1;
    for (CFIndex i = 0;; i++) {
        const void *value = NULL;
        if (!CFDictionaryGetValueIfPresent(current, path[i], &value)) return kCFQPathKeyAbsentErr;
        if (i == last) {
            *result = value;
            return noErr;
        }
        if (!IsDictionary(value)) return kCFQUnexpectedDataErr;
        current = static_cast<CFDictionaryRef>(value);
    }
}

// Finds the dictionary that holds the last key of the path, ready to be changed. Each intermediate
// dictionary is replaced in its parent by a mutable copy, even one that is mutable already: the
// caller may have been handed immutable dictionaries (from a parsed property list, say), and an
// object that others may still hold must not change under them. They keep the old object; the
// copy shares its values. Missing levels are not created, and levels replaced before a failure
// further down stay replaced.
static OSStatus CFQMutableDictionaryGetParentForPath(CFMutableDictionaryRef dict,
                                                     const void *path[], CFIndex pathElementCount,
                                                     CFMutableDictionaryRef *result)
{
    MoreAssertQ(dict != NULL);
    MoreAssertQ(path != NULL);
    MoreAssertQ(pathElementCount > 0);
    MoreAssertQ(result != NULL);
    MoreAssertQ(*result == NULL);

    OSStatus err = noErr;
    CFMutableDictionaryRef current = dict;
    for (CFIndex i = 0; i < pathElementCount - 1; i++) {
        const void *child = NULL;
        if (!CFDictionaryGetValueIfPresent(current, path[i], &child)) {
            err = kCFQPathKeyAbsentErr;
            break;
        }
        if (!IsDictionary(child)) {
            err = kCFQUnexpectedDataErr;
            break;
        }
        CFRef<CFMutableDictionaryRef> mutableChild(CFDictionaryCreateMutableCopy(
            kCFAllocatorDefault, 0, static_cast<CFDictionaryRef>(child)));
        if (!mutableChild) {
            err = coreFoundationUnknownErr;
            break;
        }
        CFDictionarySetValue(current, path[i], mutableChild.get());
        // The parent now holds the copy; our own reference goes at the end of this iteration.
        MoreAssertQ(CFGetRetainCount(mutableChild.get()) >= 2);
        current = mutableChild.get();
    }
    if (err == noErr) *result = current;

    MoreAssertQ((err == noErr) == (*result != NULL));
    return err;
}

extern "C" OSStatus CFQDictionarySetValueAtPath(CFMutableDictionaryRef dict, const void *path[],
                                                CFIndex pathElementCount, const void *value)
{
    MoreAssertQ(dict != NULL);
    MoreAssertQ(path != NULL);
    MoreAssertQ(pathElementCount > 0);

    CFMutableDictionaryRef parent = NULL;
    OSStatus err = CFQMutableDictionaryGetParentForPath(dict, path, pathElementCount, &parent);
    if (err == noErr) CFDictionarySetValue(parent, path[pathElementCount - 1], value);
    return err;
}

extern "C" OSStatus CFQDictionaryRemoveValueAtPath(CFMutableDictionaryRef dict, const void *path[],
                                                   CFIndex pathElementCount)
{
    MoreAssertQ(dict != NULL);
    MoreAssertQ(path != NULL);
    MoreAssertQ(pathElementCount > 0);

    CFMutableDictionaryRef parent = NULL;
    OSStatus err = CFQMutableDictionaryGetParentForPath(dict, path, pathElementCount, &parent);
    if (err == noErr) {
        const void *lastKey = path[pathElementCount - 1];
        if (!CFDictionaryContainsKey(parent, lastKey)) {
            err = kCFQPathKeyAbsentErr;
        } else {
            CFDictionaryRemoveValue(parent, lastKey);
        }
    }
    return err;
}

// Copies the keys of a path array into a plain scratch array, in index order; `keys` owns it.
static OSStatus PathArrayHelper(CFArrayRef path, CFQTempRefArray &keys)
{
    MoreAssertQ(CFArrayGetCount(path) > 0);
    if (!keys.allocate(CFArrayGetCount(path))) return memFullErr;
    CFArrayGetValues(path, CFRangeMake(0, CFArrayGetCount(path)), keys.get());
    return noErr;
}

extern "C" OSStatus CFQDictionaryGetValueAtPathArray(CFDictionaryRef dict, CFArrayRef path,
                                                     const void **result)
{
    MoreAssertQ(dict != NULL);
    MoreAssertQ(path != NULL);
    MoreAssertQ(CFArrayGetCount(path) > 0);
    MoreAssertQ(result != NULL);

    CFQTempRefArray keys;
    OSStatus err = PathArrayHelper(path, keys);
    if (err == noErr) {
        err = CFQDictionaryGetValueAtPath(dict, keys.get(), CFArrayGetCount(path), result);
    }
    return err;
}

extern "C" OSStatus CFQDictionarySetValueAtPathArray(CFMutableDictionaryRef dict, CFArrayRef path,
                                                     const void *value)
{
    MoreAssertQ(dict != NULL);
    MoreAssertQ(path != NULL);
    MoreAssertQ(CFArrayGetCount(path) > 0);

    CFQTempRefArray keys;
    OSStatus err = PathArrayHelper(path, keys);
    if (err == noErr) {
        err = CFQDictionarySetValueAtPath(dict, keys.get(), CFArrayGetCount(path), value);
    }
    return err;
}

extern "C" OSStatus CFQDictionaryRemoveValueAtPathArray(CFMutableDictionaryRef dict, CFArrayRef path)
{
    MoreAssertQ(dict != NULL);
    MoreAssertQ(path != NULL);
    MoreAssertQ(CFArrayGetCount(path) > 0);

    CFQTempRefArray keys;
    OSStatus err = PathArrayHelper(path, keys);
    if (err == noErr) {
        err = CFQDictionaryRemoveValueAtPath(dict, keys.get(), CFArrayGetCount(path));
    }
    return err;
}
