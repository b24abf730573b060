// Core Foundation helper routines of the plug-in.
//
// Every routine that can fail returns an OSStatus (0 is success). A routine whose name contains
// Create or Copy hands back a new object through its last argument, which must point to NULL on
// entry; the caller owns the result and releases it (CFQRelease accepts NULL). On failure the
// out-parameter is left NULL and nothing leaks. A routine whose name contains Get hands back a value
// it does not retain. Caller errors (NULL pointers, non-empty out-parameters) stop the process with
// an assertion report.
#ifndef MORE_CFQ_H
#define MORE_CFQ_H

#include <CoreFoundation/CoreFoundation.h>
#include <CoreServices/CoreServices.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    // A key along a dictionary path is absent (for a removal: the final key is absent).
    kCFQPathKeyAbsentErr = 5400,
    // A value along a dictionary path is not a dictionary, or a string did not convert completely.
    kCFQUnexpectedDataErr = 5401
};

// ---- Error convention and reference counting ----

// Releases cf unless it is NULL.
void CFQRelease(CFTypeRef cf);

// Retains cf unless it is NULL; answers cf.
CFTypeRef CFQRetain(CFTypeRef cf);

// coreFoundationUnknownErr when the result of a Core Foundation creation call is NULL, else noErr.
OSStatus CFQError(const void *cf);

// coreFoundationUnknownErr when a Core Foundation call answered false, else noErr.
OSStatus CFQErrorBoolean(Boolean shouldBeTrue);

// ---- Collections ----

// An empty mutable array that retains what is appended (kCFTypeArrayCallBacks).
OSStatus CFQArrayCreateMutable(CFMutableArrayRef *result);

// An empty mutable dictionary with the standard CF key and value callbacks.
OSStatus CFQDictionaryCreateMutable(CFMutableDictionaryRef *result);

// An immutable array of the dictionary's keys (or values), in the dictionary's enumeration order;
// the two routines answer keys and values in matching order.
OSStatus CFQArrayCreateWithDictionaryKeys(CFDictionaryRef dict, CFArrayRef *result);
OSStatus CFQArrayCreateWithDictionaryValues(CFDictionaryRef dict, CFArrayRef *result);

// An immutable dictionary pairing keys[i] with values[i]; both arrays have the same count.
OSStatus CFQDictionaryCreateWithArrayOfKeysAndValues(CFArrayRef keys, CFArrayRef values,
                                                     CFDictionaryRef *result);

// Sets dict[key] to a new kCFNumberLongType number holding value.
OSStatus CFQDictionarySetNumber(CFMutableDictionaryRef dict, const void *key, long value);

// ---- Property-list walks ----

typedef void (*CFQPropertyListNodeFunction)(CFTypeRef node, void *context);

// Calls func on propList and then, depth first, on every value below it (dictionary values in the
// order of the dictionary's keys, array elements by index). Keys are not visited.
void CFQPropertyListDeepApplyFunction(CFPropertyListRef propList, CFQPropertyListNodeFunction func,
                                      void *context);

// False for a dictionary or an array, true for anything else.
Boolean CFQPropertyListIsLeaf(CFTypeRef node);

// Calls func(key, value, context) for each direct child of a dictionary or array; an array's keys
// are kCFNumberLongType numbers holding the index.
void CFQPropertyListShallowApplyFunction(CFPropertyListRef propList,
                                         CFDictionaryApplierFunction func, void *context);

// Copies every entry of src into dst, replacing entries with the same key (one level deep).
OSStatus CFQDictionaryMerge(CFMutableDictionaryRef dst, CFDictionaryRef src);

// ---- Strings, bundles, property-list files ----

// A malloc'ed NUL-terminated byte string holding str in encoding (release it with free).
// kCFQUnexpectedDataErr if a character cannot be represented in the encoding.
OSStatus CFQStringCopyCString(CFStringRef str, CFStringEncoding encoding, char **cStrPtr);

// The framework bundle named frameworkName (with its extension, e.g. "Foo.framework") in the
// Frameworks folder, with its executable loaded.
OSStatus CFQBundleCreateFromFrameworkName(CFStringRef frameworkName, CFBundleRef *bundlePtr);

// The property list held in the XML file, with the mutability that options asks for.
OSStatus CFQPropertyListCreateFromXMLFSRef(const FSRef *xmlFile,
                                           CFPropertyListMutabilityOptions options,
                                           CFPropertyListRef *result);
OSStatus CFQPropertyListCreateFromXMLCFURL(CFURLRef xmlFile,
                                           CFPropertyListMutabilityOptions options,
                                           CFPropertyListRef *result);

// ---- Dictionary path access ----
//
// A path is a sequence of keys (any CF objects): path[0] is looked up in dict, path[i + 1] in the
// dictionary found under path[i], and the last key names the entry read, set or removed. Set and
// remove replace every intermediate dictionary along the path with a fresh mutable copy in its
// parent (whoever held the old one keeps it unchanged); missing intermediates are never created.

// The value at the path, not retained. *result is left as it was on failure.
OSStatus CFQDictionaryGetValueAtPath(CFDictionaryRef dict, const void *path[],
                                     CFIndex pathElementCount, const void **result);
OSStatus CFQDictionaryGetValueAtPathArray(CFDictionaryRef dict, CFArrayRef path,
                                          const void **result);

OSStatus CFQDictionarySetValueAtPath(CFMutableDictionaryRef dict, const void *path[],
                                     CFIndex pathElementCount, const void *value);
OSStatus CFQDictionarySetValueAtPathArray(CFMutableDictionaryRef dict, CFArrayRef path,
                                          const void *value);

OSStatus CFQDictionaryRemoveValueAtPath(CFMutableDictionaryRef dict, const void *path[],
                                        CFIndex pathElementCount);
OSStatus CFQDictionaryRemoveValueAtPathArray(CFMutableDictionaryRef dict, CFArrayRef path);

#ifdef __cplusplus
}
#endif

#endif
