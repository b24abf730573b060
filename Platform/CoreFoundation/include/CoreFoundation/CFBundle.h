/* Bundles: a folder holding an executable, its Info.plist and its resources.
 *
 * The layout on Linux:
 *     <Name>.<ext>/Contents/Info.plist
 *     <Name>.<ext>/Contents/Linux/<executables>      the main executable and auxiliary ones
 *     <Name>.<ext>/Contents/Resources/<resources>
 * A folder without a "Contents" sub-folder is a flat bundle: Info.plist, executables and
 * resources all sit in the folder itself. The main bundle of a program that is not inside a
 * bundle is such a flat bundle: the folder that holds the executable.
 *
 * Each CFBundleCreate call makes a new bundle object, also for a folder that already has one; the
 * objects share nothing but the files (and, once loaded, the dynamic linker's single copy of the
 * executable). A loaded executable stays loaded until CFBundleUnloadExecutable or until the last
 * reference to its bundle object is released, so function pointers taken from a bundle are valid
 * only while the caller holds the bundle.
 */
#pragma once

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFString.h>
#include <CoreFoundation/CFURL.h>

CF_EXTERN_C_BEGIN

typedef struct __CFBundle *CFBundleRef;

CF_EXPORT const CFStringRef kCFBundleInfoDictionaryVersionKey; /* "CFBundleInfoDictionaryVersion" */
CF_EXPORT const CFStringRef kCFBundleExecutableKey;            /* "CFBundleExecutable" */
CF_EXPORT const CFStringRef kCFBundleIdentifierKey;            /* "CFBundleIdentifier" */
CF_EXPORT const CFStringRef kCFBundleVersionKey;               /* "CFBundleVersion" */
CF_EXPORT const CFStringRef kCFBundleNameKey;                  /* "CFBundleName" */

CF_EXPORT CFTypeID CFBundleGetTypeID(void);

/* The running program's bundle: X when the executable is X/Contents/Linux/<file>, otherwise the
   flat bundle of the executable's folder. Made once; never released. NULL only when the
   executable's path cannot be read. */
CF_EXPORT CFBundleRef CFBundleGetMainBundle(void);

/* A new bundle for the folder `bundleURL` names; NULL when that is not an existing folder. */
CF_EXPORT CFBundleRef CFBundleCreate(CFAllocatorRef allocator, CFURLRef bundleURL);

/* The bundle's folder (a folder URL). */
CF_EXPORT CFURLRef CFBundleCopyBundleURL(CFBundleRef bundle);

/* The Info.plist dictionary, read on first use and kept; an empty dictionary when the file is
   absent, unreadable or not a dictionary. Owned by the bundle. */
CF_EXPORT CFDictionaryRef CFBundleGetInfoDictionary(CFBundleRef bundle);
CF_EXPORT CFTypeRef CFBundleGetValueForInfoDictionaryKey(CFBundleRef bundle, CFStringRef key);
/* The CFBundleIdentifier string, or NULL when absent or not a string. */
CF_EXPORT CFStringRef CFBundleGetIdentifier(CFBundleRef bundle);

/* The URL of the executable named `executableName` among the bundle's executables, when such a
   file exists; NULL otherwise (also for an empty name or one containing "/"). */
CF_EXPORT CFURLRef CFBundleCopyAuxiliaryExecutableURL(CFBundleRef bundle, CFStringRef executableName);
/* The main executable, named by CFBundleExecutable; for the main bundle without that key, the
   running executable. NULL when there is no such file. */
CF_EXPORT CFURLRef CFBundleCopyExecutableURL(CFBundleRef bundle);
/* The resources folder (Contents/Resources, or the folder itself for a flat bundle). */
CF_EXPORT CFURLRef CFBundleCopyResourcesDirectoryURL(CFBundleRef bundle);
/* The resource "<resourceName>.<resourceType>" (just resourceName when the type is NULL or
   empty) in the resources folder or its sub-folder `subDirName`, looked for first there and then
   in its "Base.lproj" and "en.lproj" sub-folders. NULL when absent or when resourceName is NULL. */
CF_EXPORT CFURLRef CFBundleCopyResourceURL(CFBundleRef bundle, CFStringRef resourceName,
                                           CFStringRef resourceType, CFStringRef subDirName);

/* Loads the main executable with dlopen(RTLD_NOW | RTLD_LOCAL); true when it is loaded (also
   when it was already). The main bundle's executable is always loaded. */
CF_EXPORT Boolean CFBundleLoadExecutable(CFBundleRef bundle);
CF_EXPORT Boolean CFBundleIsExecutableLoaded(CFBundleRef bundle);
/* The address of the exported function `functionName`, loading the executable first if needed;
   NULL when it cannot be loaded or has no such symbol. */
CF_EXPORT void *CFBundleGetFunctionPointerForName(CFBundleRef bundle, CFStringRef functionName);
/* Unloads what CFBundleLoadExecutable loaded; no effect on the main bundle. */
CF_EXPORT void CFBundleUnloadExecutable(CFBundleRef bundle);

CF_EXTERN_C_END
