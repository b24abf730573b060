/* The Folder Manager: the well-known folders of each domain.
 *
 *   domain            'asup' Application Support       'fram' Frameworks     'dlib' Library   'temp'
 *   kUserDomain       $XDG_DATA_HOME or ~/.local/share ~/.local/lib          ~/.local         $XDG_RUNTIME_DIR
 *   kLocalDomain      <root>/usr/local/share           <root>/usr/local/lib  <root>/usr/local  -
 *   kSystemDomain     <root>/usr/share                 <root>/usr/lib        <root>/usr        -
 *   kNetworkDomain    -                                -                     -                 -
 *
 * A "-" is a folder the domain does not have: fnfErr. <root> is empty, unless the environment
 * variable WFS_FOLDER_ROOT (read with secure_getenv, so a set-user-ID program ignores it) names an
 * absolute folder; tests use it to keep away from /usr. The user domain is the invoking user's:
 * it follows HOME, XDG_DATA_HOME and XDG_RUNTIME_DIR (values that are not absolute paths are
 * ignored, as the XDG rules say), and without HOME the home folder of the real user ID. The
 * temporary-items folder is the user's runtime folder, which only that user can write to, and
 * fnfErr without one: never $TMPDIR or /tmp, where any user could place a file that the user's
 * programs would then find and run.
 *
 * The volume selectors kOnAppropriateDisk and kOnSystemDisk pick a domain by folder type: the
 * per-user types ('asup', 'dlib', 'temp') for kOnAppropriateDisk and 'temp' for kOnSystemDisk
 * come from the user domain, everything else from the local domain. Any other negative value
 * outside the domains, or a volume reference number, gives nsvErr.
 */
#pragma once

#include <CoreServices/Files.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    kOnSystemDisk = -32768,
    kOnAppropriateDisk = -32767,
    kSystemDomain = -32766,
    kLocalDomain = -32765,
    kNetworkDomain = -32764,
    kUserDomain = -32763
};

enum {
    kDontCreateFolder = 0,
    kCreateFolder = 1
};

enum {
    kApplicationSupportFolderType = 0x61737570, /* 'asup' */
    kTemporaryFolderType = 0x74656d70,          /* 'temp' */
    kFrameworksFolderType = 0x6672616d,         /* 'fram' */
    kDomainLibraryFolderType = 0x646c6962       /* 'dlib' */
};

/* The reference of the folder of `folderType` in the domain `vRefNum`. With `createFolder` true,
   missing folders along the path are made (mode 0777 less the umask); with false a missing folder
   gives fnfErr. Something that is not a folder there gives dirNFErr. */
OSErr FSFindFolder(SInt16 vRefNum, OSType folderType, Boolean createFolder, FSRef *foundRef);

#ifdef __cplusplus
}
#endif
