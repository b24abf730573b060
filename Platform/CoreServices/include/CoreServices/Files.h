/* The File Manager: references to files and folders, and their catalog information.
 *
 * An FSRef holds the absolute path of a file or folder, NUL-terminated, without a trailing "/"
 * (the root is "/"). It is a plain fixed-size struct (PATH_MAX bytes) so that it can live on the
 * stack and be copied by assignment. A reference names the object at its path: it was there when
 * the reference was made, and the catalog calls act on that object itself, never following a
 * symbolic link at the end of the path. Names are UTF-16 (at most 255 units); on disk they are
 * UTF-8.
 *
 * Null reference arguments are caller errors (assertion reports); failures of the file system
 * are result codes through WFSOSErrFromErrno. Every call retries on EINTR.
 */
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <CoreServices/MacErrors.h>

#include <limits.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct FSRef {
    char path[PATH_MAX];
} FSRef;
typedef FSRef *FSRefPtr;

/* Old-style file specifications are not supported: every FSSpec out-parameter must be NULL
   (anything else gives paramErr). */
typedef struct FSSpec FSSpec;
typedef FSSpec *FSSpecPtr;

typedef UInt32 TextEncoding;
enum { kTextEncodingUnknown = 0xFFFF };

typedef struct HFSUniStr255 {
    UInt16 length;
    UniChar unicode[255];
} HFSUniStr255;

typedef UInt32 FSCatalogInfoBitmap;
enum {
    kFSCatInfoNone = 0x00000000,
    kFSCatInfoNodeFlags = 0x00000002,
    kFSCatInfoNodeID = 0x00000010,
    kFSCatInfoPermissions = 0x00000400,
    kFSCatInfoDataSizes = 0x00004000
};

enum { kFSNodeIsDirectoryMask = 0x0010 };

/* What kFSCatInfoPermissions reads and writes, kept in FSCatalogInfo.permissions (16 bytes):
   the owner and group IDs and the mode bits (file type and permission bits, as st_mode).
   userAccess and the reserved fields are read as 0 and ignored when written. */
typedef struct FSPermissionInfo {
    UInt32 userID;
    UInt32 groupID;
    UInt8 reserved1;
    UInt8 userAccess;
    UInt16 mode;
    UInt32 reserved2;
} FSPermissionInfo;

/* Only the fields of the supported selectors:
     kFSCatInfoNodeFlags   nodeFlags (kFSNodeIsDirectoryMask for a folder)
     kFSCatInfoNodeID      nodeID (the inode number, low 32 bits)
     kFSCatInfoPermissions permissions, an FSPermissionInfo
     kFSCatInfoDataSizes   dataLogicalSize (st_size), dataPhysicalSize (allocated bytes) */
typedef struct FSCatalogInfo {
    UInt16 nodeFlags;
    UInt32 nodeID;
    UInt32 permissions[4];
    UInt64 dataLogicalSize;
    UInt64 dataPhysicalSize;
} FSCatalogInfo;

/* The reference of an existing path (relative paths against the working directory). Trailing
   "/" are dropped. `isDirectory` (may be NULL) tells whether it is a folder, following a symbolic
   link. Errors: fnfErr, dirNFErr, bdNamErr (too long), afpAccessDenied ... */
OSStatus FSPathMakeRef(const UInt8 *path, FSRef *ref, Boolean *isDirectory);

/* Copies the reference's path, NUL-terminated, into `path`; buffersTooSmall when the path and its
   NUL need more than `maxPathSize` bytes. */
OSStatus FSRefMakePath(const FSRef *ref, UInt8 *path, UInt32 maxPathSize);

/* The reference of the existing child `name` of the folder `parentRef`. A name that is empty,
   longer than 255 units, ".", "..", holds "/" or NUL, or is not valid UTF-16 gives bdNamErr; a
   missing child gives fnfErr. The encoding hint is ignored. */
OSErr FSMakeFSRefUnicode(const FSRef *parentRef, UniCharCount nameLength, const UniChar *name,
                         TextEncoding textEncodingHint, FSRef *newRef);

/* Creates the folder `name` in `parentRef` with the default permissions (0777 less the umask).
   Only kFSCatInfoNone is supported for `whichInfo` (anything else gives paramErr). An existing
   name gives dupFNErr. `newRef` and `newDirID` (the inode number, low 32 bits) may be NULL;
   `newSpec` must be NULL. */
OSErr FSCreateDirectoryUnicode(const FSRef *parentRef, UniCharCount nameLength, const UniChar *name,
                               FSCatalogInfoBitmap whichInfo, const FSCatalogInfo *catalogInfo,
                               FSRef *newRef, FSSpecPtr newSpec, UInt32 *newDirID);

/* Creates the empty file `name` in `parentRef`, mode 0666 less the umask. As above for the rest. */
OSErr FSCreateFileUnicode(const FSRef *parentRef, UniCharCount nameLength, const UniChar *name,
                          FSCatalogInfoBitmap whichInfo, const FSCatalogInfo *catalogInfo,
                          FSRef *newRef, FSSpecPtr newSpec);

/* Removes a file (unlink) or an empty folder (rmdir); a folder that is not empty gives fBsyErr. */
OSErr FSDeleteObject(const FSRef *ref);

/* Reads the selected catalog fields (a selector outside the supported ones gives paramErr;
   `catalogInfo` may be NULL only with kFSCatInfoNone). `outName` (may be NULL) gets the last path
   component in UTF-16, `parentRef` (may be NULL) the enclosing folder (the root is its own
   parent); `fsSpec` must be NULL. */
OSErr FSGetCatalogInfo(const FSRef *ref, FSCatalogInfoBitmap whichInfo, FSCatalogInfo *catalogInfo,
                       HFSUniStr255 *outName, FSSpecPtr fsSpec, FSRef *parentRef);

/* Writes catalog fields; only kFSCatInfoPermissions can be written: the owner and group (lchown)
   and then the permission bits of the mode (chmod; not for a symbolic link, whose bits Linux does
   not keep). Changing the owner needs root, and a group the caller is not in needs root too. */
OSErr FSSetCatalogInfo(const FSRef *ref, FSCatalogInfoBitmap whichInfo, const FSCatalogInfo *catalogInfo);

/* A URL for the reference: a folder URL when it names a folder (following a symbolic link);
   NULL when nothing is at the path any more. */
CFURLRef CFURLCreateFromFSRef(CFAllocatorRef allocator, const FSRef *fsRef);

/* The reference of what `url` names; false when nothing is there or the path is too long. */
Boolean CFURLGetFSRef(CFURLRef url, FSRef *fsRef);

#ifdef __cplusplus
}
#endif
