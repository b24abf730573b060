// Core Foundation helper routines: the error convention, collections, property-list walks, merging,
// byte-string conversion, framework bundles and XML property-list files.
#include "MoreCFQ.h"

#include "MoreAssert.h"
#include "MoreCFQInternal.h"

#include <Support/CFRef.h>

#include <cstdlib>
#include <memory>

using wfs::CFQTempRefArray;
using wfs::CFRef;

// ---- Error convention and reference counting ----

extern "C" void CFQRelease(CFTypeRef cf)
{
    if (cf != NULL) CFRelease(cf);
}

extern "C" CFTypeRef CFQRetain(CFTypeRef cf)
{
    if (cf != NULL) CFRetain(cf);
    return cf;
}

extern "C" OSStatus CFQError(const void *cf)
{
    return (cf == NULL) ? coreFoundationUnknownErr : noErr;
}

extern "C" OSStatus CFQErrorBoolean(Boolean shouldBeTrue)
{
    return shouldBeTrue ? noErr : coreFoundationUnknownErr;
}

// ---- Collections ----

extern "C" OSStatus CFQArrayCreateMutable(CFMutableArrayRef *result)
{
    MoreAssertQ(result != NULL);
    MoreAssertQ(*result == NULL);

    *result = CFArrayCreateMutable(kCFAllocatorDefault, 0, &kCFTypeArrayCallBacks);
    OSStatus err = CFQError(*result);

    MoreAssertQ((err == noErr) == (*result != NULL));
    return err;
}

extern "C" OSStatus CFQDictionaryCreateMutable(CFMutableDictionaryRef *result)
{
    MoreAssertQ(result != NULL);
    MoreAssertQ(*result == NULL);

    *result = CFDictionaryCreateMutable(kCFAllocatorDefault, 0, &kCFTypeDictionaryKeyCallBacks,
                                        &kCFTypeDictionaryValueCallBacks);
    OSStatus err = CFQError(*result);

    MoreAssertQ((err == noErr) == (*result != NULL));
    return err;
}

// Keys and values come out of one enumeration each; the platform dictionary answers both in the
// same order, which is what lets callers pair the two arrays by index.
static OSStatus CreateArrayFromDictionary(CFDictionaryRef dict, bool wantKeys, CFArrayRef *result)
{
    CFIndex count = CFDictionaryGetCount(dict);
    CFQTempRefArray refs(count);
    if (!refs.allocated()) return memFullErr;

    if (wantKeys) {
        CFDictionaryGetKeysAndValues(dict, refs.get(), NULL);
    } else {
        CFDictionaryGetKeysAndValues(dict, NULL, refs.get());
    }
    *result = CFArrayCreate(kCFAllocatorDefault, refs.get(), count, &kCFTypeArrayCallBacks);
    return CFQError(*result);
}

extern "C" OSStatus CFQArrayCreateWithDictionaryKeys(CFDictionaryRef dict, CFArrayRef *result)
{
    MoreAssertQ(dict != NULL);
    MoreAssertQ(result != NULL);
    MoreAssertQ(*result == NULL);

    OSStatus err = CreateArrayFromDictionary(dict, true, result);

    MoreAssertQ((*result == NULL) || (CFDictionaryGetCount(dict) == CFArrayGetCount(*result)));
    MoreAssertQ((err == noErr) == (*result != NULL));
    return err;
}

extern "C" OSStatus CFQArrayCreateWithDictionaryValues(CFDictionaryRef dict, CFArrayRef *result)
{
    MoreAssertQ(dict != NULL);
    MoreAssertQ(result != NULL);
    MoreAssertQ(*result == NULL);

    OSStatus err = CreateArrayFromDictionary(dict, false, result);

    MoreAssertQ((*result == NULL) || (CFDictionaryGetCount(dict) == CFArrayGetCount(*result)));
    MoreAssertQ((err == noErr) == (*result != NULL));
    return err;
}

extern "C" OSStatus CFQDictionaryCreateWithArrayOfKeysAndValues(CFArrayRef keys, CFArrayRef values,
                                                                CFDictionaryRef *result)
{
    MoreAssertQ(keys != NULL);
    MoreAssertQ(values != NULL);
    MoreAssertQ(CFArrayGetCount(keys) == CFArrayGetCount(values));
    MoreAssertQ(result != NULL);
    MoreAssertQ(*result == NULL);

    CFIndex count = CFArrayGetCount(keys);
    // Both scratch arrays are allocated before either is checked; whichever did succeed is freed by
    // its owner on the way out.
    CFQTempRefArray keyRefs(count);
    CFQTempRefArray valueRefs(count);
    if (!keyRefs.allocated() || !valueRefs.allocated()) return memFullErr;

    CFArrayGetValues(keys, CFRangeMake(0, count), keyRefs.get());
    CFArrayGetValues(values, CFRangeMake(0, count), valueRefs.get());
    *result = CFDictionaryCreate(kCFAllocatorDefault, keyRefs.get(), valueRefs.get(), count,
                                 &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks);
    return CFQError(*result);
}

extern "C" OSStatus CFQDictionarySetNumber(CFMutableDictionaryRef dict, const void *key, long value)
{
    CFRef<CFNumberRef> number(CFNumberCreate(kCFAllocatorDefault, kCFNumberLongType, &value));
    if (!number) return coreFoundationUnknownErr;
    CFDictionarySetValue(dict, key, number.get());
    return noErr;
}

// ---- Property-list walks ----

extern "C" void CFQPropertyListDeepApplyFunction(CFPropertyListRef propList,
                                                 CFQPropertyListNodeFunction func, void *context)
{
    MoreAssertQ(propList != NULL);
    MoreAssertQ(func != NULL);

    func(propList, context);

    // Recursion is bounded by the nesting depth of the property list, which the caller built or
    // parsed; nothing here limits it.
    CFTypeID type = CFGetTypeID(propList);
    if (type == CFDictionaryGetTypeID()) {
        CFDictionaryRef dict = static_cast<CFDictionaryRef>(propList);
        CFIndex count = CFDictionaryGetCount(dict);
        CFQTempRefArray keys(count);
        if (!keys.allocated()) return;  // the walk has no error result; these children are skipped
        CFDictionaryGetKeysAndValues(dict, keys.get(), NULL);
        for (CFIndex i = 0; i < count; i++) {
            CFQPropertyListDeepApplyFunction(CFDictionaryGetValue(dict, keys.get()[i]), func,
                                             context);
        }
    } else if (type == CFArrayGetTypeID()) {
        CFArrayRef array = static_cast<CFArrayRef>(propList);
        CFIndex count = CFArrayGetCount(array);
        for (CFIndex i = 0; i < count; i++) {
            CFQPropertyListDeepApplyFunction(CFArrayGetValueAtIndex(array, i), func, context);
        }
    }
}

extern "C" Boolean CFQPropertyListIsLeaf(CFTypeRef node)
{
    CFTypeID type = CFGetTypeID(node);
    return !(type == CFDictionaryGetTypeID() || type == CFArrayGetTypeID());
}

extern "C" void CFQPropertyListShallowApplyFunction(CFPropertyListRef propList,
                                                    CFDictionaryApplierFunction func, void *context)
{
    MoreAssertQ(propList != NULL);
    MoreAssertQ(func != NULL);

    CFTypeID type = CFGetTypeID(propList);
    if (type == CFDictionaryGetTypeID()) {
        CFDictionaryRef dict = static_cast<CFDictionaryRef>(propList);
        CFIndex count = CFDictionaryGetCount(dict);
        CFQTempRefArray keys(count);
        if (!keys.allocated()) return;
        CFDictionaryGetKeysAndValues(dict, keys.get(), NULL);
        for (CFIndex i = 0; i < count; i++) {
            func(keys.get()[i], CFDictionaryGetValue(dict, keys.get()[i]), context);
        }
    } else if (type == CFArrayGetTypeID()) {
        CFArrayRef array = static_cast<CFArrayRef>(propList);
        CFIndex count = CFArrayGetCount(array);
        for (CFIndex i = 0; i < count; i++) {
            long index = i;
            CFRef<CFNumberRef> key(CFNumberCreate(kCFAllocatorDefault, kCFNumberLongType, &index));
            if (!key) continue;
            func(key.get(), CFArrayGetValueAtIndex(array, i), context);
        }
    } else {
        MoreAssertQ(false);
    }
}

static void MergeOne(const void *key, const void *value, void *context)
{
    MoreAssertQ(context != NULL);
    CFMutableDictionaryRef dst = static_cast<CFMutableDictionaryRef>(context);
    MoreAssertQ(CFGetTypeID(dst) == CFDictionaryGetTypeID());

    CFDictionarySetValue(dst, key, value);
}

extern "C" OSStatus CFQDictionaryMerge(CFMutableDictionaryRef dst, CFDictionaryRef src)
{
    MoreAssertQ(dst != NULL);
    MoreAssertQ(src != NULL);

    CFDictionaryApplyFunction(src, MergeOne, const_cast<void *>(static_cast<const void *>(dst)));
    return noErr;
}

// ---- Strings ----

namespace {

struct FreeDeleter {
    void operator()(char *p) const noexcept { std::free(p); }
};

// Written past the converted bytes before the conversion and checked afterwards, so that a
// conversion that wrote beyond the limit it was given is caught rather than silently corrupting.
constexpr UInt8 kGuardByte = 0xA5;

}  // namespace

extern "C" OSStatus CFQStringCopyCString(CFStringRef str, CFStringEncoding encoding, char **cStrPtr)
{
    MoreAssertQ(str != NULL);
    MoreAssertQ(cStrPtr != NULL);
    MoreAssertQ(*cStrPtr == NULL);

    OSStatus err = noErr;
    CFIndex length = CFStringGetLength(str);

    // Loss byte 0: an unrepresentable character is not replaced, the conversion stops there. No
    // external representation: the caller wants bare bytes, never a byte-order mark.
    CFIndex bytesNeeded = 0;
    (void)CFStringGetBytes(str, CFRangeMake(0, length), encoding, 0, false, NULL, 0, &bytesNeeded);

    std::unique_ptr<char, FreeDeleter> buffer(
        static_cast<char *>(std::malloc(static_cast<size_t>(bytesNeeded) + 1)));
    if (!buffer) {
        err = memFullErr;
    } else {
        UInt8 *bytes = reinterpret_cast<UInt8 *>(buffer.get());
        bytes[bytesNeeded] = kGuardByte;
        CFIndex bytesUsed = 0;
        CFIndex converted = CFStringGetBytes(str, CFRangeMake(0, length), encoding, 0, false, bytes,
                                             bytesNeeded, &bytesUsed);
        if (converted != length) {
            err = kCFQUnexpectedDataErr;
        } else {
            MoreAssertQ(bytes[bytesNeeded] == kGuardByte);
            bytes[bytesNeeded] = 0;
            *cStrPtr = buffer.release();
        }
    }

    MoreAssertQ((err == noErr) == (*cStrPtr != NULL));
    return err;
}

// ---- Framework bundles ----

extern "C" OSStatus CFQBundleCreateFromFrameworkName(CFStringRef frameworkName,
                                                     CFBundleRef *bundlePtr)
{
    MoreAssertQ(frameworkName != NULL);
    MoreAssertQ(bundlePtr != NULL);
    MoreAssertQ(*bundlePtr == NULL);

    *bundlePtr = NULL;

    // One lookup only: the frameworks folder of the appropriate disk, created when missing. A
    // Folder Manager error goes back to the caller as it is.
    FSRef frameworksFolder;
    OSStatus err = FSFindFolder(kOnAppropriateDisk, kFrameworksFolderType, kCreateFolder,
                                &frameworksFolder);

    CFRef<CFURLRef> folderURL;
    CFRef<CFURLRef> bundleURL;
    CFRef<CFBundleRef> bundle;
    if (err == noErr) {
        folderURL.reset(CFURLCreateFromFSRef(kCFAllocatorSystemDefault, &frameworksFolder));
        err = CFQError(folderURL.get());
    }
    if (err == noErr) {
        // The name is appended as it is: the caller includes the ".framework" extension.
        bundleURL.reset(CFURLCreateCopyAppendingPathComponent(
            kCFAllocatorSystemDefault, folderURL.get(), frameworkName, false));
        err = CFQError(bundleURL.get());
    }
    if (err == noErr) {
        bundle.reset(CFBundleCreate(kCFAllocatorSystemDefault, bundleURL.get()));
        err = CFQError(bundle.get());
    }
    if (err == noErr) {
        err = CFQErrorBoolean(CFBundleLoadExecutable(bundle.get()));
    }
    if (err == noErr) {
        *bundlePtr = bundle.release();
    }

    MoreAssertQ((err == noErr) == (*bundlePtr != NULL));
    return err;
}

// ---- XML property-list files ----

extern "C" OSStatus CFQPropertyListCreateFromXMLCFURL(CFURLRef xmlFile,
                                                      CFPropertyListMutabilityOptions options,
                                                      CFPropertyListRef *result)
{
    MoreAssertQ(xmlFile != NULL);
    MoreAssertQ(result != NULL);
    MoreAssertQ(*result == NULL);

    OSStatus err = noErr;
    CFDataRef data = NULL;
    SInt32 errorCode = 0;
    Boolean ok = CFURLCreateDataAndPropertiesFromResource(kCFAllocatorDefault, xmlFile, &data, NULL,
                                                          NULL, &errorCode);
    CFRef<CFDataRef> xmlData(data);

    // The access error code wins over the Boolean: a read that claims success but reports a code
    // is not trusted with a parse.
    if (errorCode != 0) {
        err = errorCode;
    } else if (!ok || !xmlData) {
        err = coreFoundationUnknownErr;
    } else {
        *result = CFPropertyListCreateFromXMLData(kCFAllocatorDefault, xmlData.get(), options, NULL);
        err = CFQError(*result);
    }

    MoreAssertQ((err == noErr) == (*result != NULL));
    return err;
}

extern "C" OSStatus CFQPropertyListCreateFromXMLFSRef(const FSRef *xmlFile,
                                                      CFPropertyListMutabilityOptions options,
                                                      CFPropertyListRef *result)
{
    MoreAssertQ(xmlFile != NULL);
    MoreAssertQ(result != NULL);
    MoreAssertQ(*result == NULL);

    CFRef<CFURLRef> url(CFURLCreateFromFSRef(kCFAllocatorDefault, xmlFile));
    OSStatus err = CFQError(url.get());
    if (err == noErr) {
        err = CFQPropertyListCreateFromXMLCFURL(url.get(), options, result);
    }

    MoreAssertQ((err == noErr) == (*result != NULL));
    return err;
}
