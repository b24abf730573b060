// The file manager: attributes of a file, and removing one.
#pragma once

#include <Foundation/NSObject.h>
#include <Support/CFRef.h>

// Keys of a file's attributes dictionary.
extern const CFStringRef NSFileOwnerAccountName;     // string: the owner's account name, when it has one
extern const CFStringRef NSFileOwnerAccountID;       // number: the owner's user ID
extern const CFStringRef NSFileGroupOwnerAccountID;  // number: the group ID
extern const CFStringRef NSFilePosixPermissions;     // number: the mode's permission bits (07777)
extern const CFStringRef NSFileSize;                 // number: the size in bytes
extern const CFStringRef NSFileModificationDate;     // date
extern const CFStringRef NSFileType;                 // one of the type strings below
extern const CFStringRef NSFileTypeRegular;
extern const CFStringRef NSFileTypeDirectory;
extern const CFStringRef NSFileTypeSymbolicLink;
extern const CFStringRef NSFileTypeUnknown;

class NSFileManager : public NSObject {
public:
    static NSFileManager &defaultManager();

    // The attributes of the file at `path`, of what a final symbolic link points to when
    // `traverseLink` is true; null when there is no such file or it cannot be examined.
    wfs::CFRef<CFDictionaryRef> fileAttributesAtPath(CFStringRef path, bool traverseLink);
    // Removes the file, link or folder (with everything in it) at `path`; a link is removed, not
    // followed. `handler` is not called: on a failure the removal stops and answers false.
    bool removeFileAtPath(CFStringRef path, NSObject *handler);
};
