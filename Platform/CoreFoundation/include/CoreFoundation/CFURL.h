/* File URLs.
 *
 * This library knows one kind of URL: an absolute "file" URL. Its path is a byte string (UTF-8 by
 * convention) with "/" separators; a URL whose path ends in "/" names a folder. A relative path
 * given to a creation call is made absolute against the working directory at that moment, so a
 * URL never has a base and CFURLCopyAbsoluteURL answers the URL itself. Paths are kept as given:
 * "." and ".." are not resolved and symbolic links are not followed.
 */
#pragma once

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFString.h>

CF_EXTERN_C_BEGIN

typedef const struct __CFURL *CFURLRef;

typedef CFIndex CFURLPathStyle;
enum {
    kCFURLPOSIXPathStyle = 0,
    kCFURLHFSPathStyle = 1,   /* not supported: creation answers NULL */
    kCFURLWindowsPathStyle = 2 /* not supported: creation answers NULL */
};

CF_EXPORT CFTypeID CFURLGetTypeID(void);

/* A URL for `filePath` (POSIX style only). `isDirectory` decides whether the URL ends in "/":
   true adds one, false drops any trailing "/" (the root "/" always stays a folder). An empty
   path, or one that is not a valid string, gives NULL. */
CF_EXPORT CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef allocator, CFStringRef filePath,
                                                 CFURLPathStyle pathStyle, Boolean isDirectory);

/* The same from `bufLen` raw path bytes (no terminating NUL needed). A NUL among the bytes, or an
   empty path, gives NULL. */
CF_EXPORT CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef allocator,
                                                           const UInt8 *buffer, CFIndex bufLen,
                                                           Boolean isDirectory);

/* Copies the URL's path, NUL-terminated and without the trailing "/" of a folder (except for the
   root), into `buffer`. Answers false, with the buffer's contents unspecified, when the path and
   its NUL need more than `maxBufLen` bytes. `resolveAgainstBase` changes nothing: URLs of this
   library are absolute. */
CF_EXPORT Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean resolveAgainstBase,
                                                   UInt8 *buffer, CFIndex maxBufLen);

/* The path as a string (without the trailing "/" of a folder, except for the root); NULL for a
   path style other than POSIX or a path that is not valid UTF-8. */
CF_EXPORT CFStringRef CFURLCopyFileSystemPath(CFURLRef anURL, CFURLPathStyle pathStyle);

/* The URL string: "file://" followed by the path, with every byte outside the unreserved and
   path characters written as %XX. The string lives as long as the URL. */
CF_EXPORT CFStringRef CFURLGetString(CFURLRef anURL);

/* Always NULL: URLs of this library have no base. */
CF_EXPORT CFURLRef CFURLGetBaseURL(CFURLRef anURL);

/* The URL itself, retained. */
CF_EXPORT CFURLRef CFURLCopyAbsoluteURL(CFURLRef relativeURL);

CF_EXPORT Boolean CFURLHasDirectoryPath(CFURLRef anURL);

/* The last path component without any trailing "/"; "/" for the root. */
CF_EXPORT CFStringRef CFURLCopyLastPathComponent(CFURLRef url);

/* `url`'s path with "/" (if it lacks one) and `pathComponent` appended; a folder URL when
   `isDirectory`. The component is appended verbatim, so a "/" in it adds several levels. An
   empty component gives NULL. */
CF_EXPORT CFURLRef CFURLCreateCopyAppendingPathComponent(CFAllocatorRef allocator, CFURLRef url,
                                                         CFStringRef pathComponent,
                                                         Boolean isDirectory);

/* The folder URL that holds the last path component: "/a/b/c" and "/a/b/c/" both give "/a/b/".
   The root gives the root. */
CF_EXPORT CFURLRef CFURLCreateCopyDeletingLastPathComponent(CFAllocatorRef allocator, CFURLRef url);

CF_EXTERN_C_END
