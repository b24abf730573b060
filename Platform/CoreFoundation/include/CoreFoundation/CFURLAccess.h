/* Reading a resource named by a file URL. */
#pragma once

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFArray.h>
#include <CoreFoundation/CFData.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFURL.h>

CF_EXTERN_C_BEGIN

typedef CFIndex CFURLError;
enum {
    kCFURLUnknownError = -10,
    kCFURLUnknownSchemeError = -11,
    kCFURLResourceNotFoundError = -12,
    kCFURLResourceAccessViolationError = -13,
    kCFURLRemoteHostUnavailableError = -14,
    kCFURLImproperArgumentsError = -15,
    kCFURLUnknownPropertyKeyError = -16,
    kCFURLPropertyKeyUnavailableError = -17,
    kCFURLTimeoutError = -18
};

/* Reads the whole file that `url` names into a new data object in `*resourceData` (when
   `resourceData` is not NULL). No resource properties are supported: `*properties`, when asked
   for, is set to NULL. Answers true on success with `*errorCode` 0, or false with `*errorCode`
   one of:
     kCFURLResourceNotFoundError (-12)        no such file, or a path component is not a folder
     kCFURLResourceAccessViolationError (-13) permission denied
     kCFURLImproperArgumentsError (-15)       no URL, or the URL names a folder, which has no bytes
     kCFURLUnknownError (-10)                 any other failure of the file system
   and `*resourceData` left NULL. `errorCode` may be NULL. */
CF_EXPORT Boolean CFURLCreateDataAndPropertiesFromResource(CFAllocatorRef alloc, CFURLRef url,
                                                           CFDataRef *resourceData,
                                                           CFDictionaryRef *properties,
                                                           CFArrayRef desiredProperties,
                                                           SInt32 *errorCode);

CF_EXTERN_C_END
