// Finding the helper tool to run: a valid installed copy if there is one anywhere we look, or else
// a fresh copy of the bundle's template in the user's Application Support folder.
//
// "Valid" means ready for privileged work and made from the current template: owned by root,
// set-user-ID with no write bit for anyone, one link only, the template's size and modification
// time, and reached through folders that only root and the invoking user can change. A fresh copy
// is deliberately not valid; the tool's self-repair makes it so. Because the check compares
// against the template, a plug-in update (new template) invalidates the old copy, which is then
// replaced on the next call.

#include "MoreSecurityInternal.h"

#include "MoreAssert.h"
#include "MoreUNIX.h"

#include <Support/CFRef.h>
#include <Support/Eintr.h>
#include <Support/UniqueFd.h>

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace {

// A volume that does not keep ownership reports this group for every file; staff is the group we
// try to change it to, to tell such a volume from one where the file merely happens to carry 99.
enum {
    kPermissionsStaffGroupID = 20,
    kPermissionsUnknownGroupID = 99
};

// Where an installed tool is looked for, in order of preference; 0 ends the list.
const SInt16 kFolderDomains[] = {kUserDomain, kLocalDomain, kNetworkDomain, kSystemDomain, 0};

// Regular file, set-user-ID, read and execute for everyone, writable by no one. Any write bit
// would let someone other than root change what runs as root.
constexpr UInt16 kValidToolMode = 0104555;

// Names of the ownership test's temporary file come from the up-time counter; a clash means
// someone else's file (or an earlier crash) holds that name, and we simply try a later value.
constexpr int kMaxTemporaryNameAttempts = 999;

// The absolute path a URL names, NUL-terminated, in a PATH_MAX buffer; false when there is none
// or it does not fit.
bool GetURLPath(CFURLRef url, char (&path)[PATH_MAX])
{
    return CFURLGetFileSystemRepresentation(url, true, reinterpret_cast<UInt8 *>(path), sizeof(path));
}

OSErr ReadPermissions(const FSRef *ref, FSPermissionInfo *permInfo)
{
    FSCatalogInfo catInfo;
    OSErr err = FSGetCatalogInfo(ref, kFSCatInfoPermissions, &catInfo, NULL, NULL, NULL);
    if (err == noErr) memcpy(permInfo, catInfo.permissions, sizeof(*permInfo));
    return err;
}

OSErr WritePermissions(const FSRef *ref, const FSPermissionInfo *permInfo)
{
    FSCatalogInfo catInfo;
    memset(&catInfo, 0, sizeof(catInfo));
    memcpy(catInfo.permissions, permInfo, sizeof(*permInfo));
    return FSSetCatalogInfo(ref, kFSCatInfoPermissions, &catInfo);
}

// The ownership test's temporary file: deleted when this goes out of scope, whatever the test
// found. A failed deletion changes nothing about the answer, so its result is not looked at.
class TemporaryFile {
public:
    explicit TemporaryFile(const FSRef &ref) : ref_(ref) {}
    TemporaryFile(const TemporaryFile &) = delete;
    TemporaryFile &operator=(const TemporaryFile &) = delete;
    ~TemporaryFile() { (void) FSDeleteObject(&ref_); }

    const FSRef *ref() const { return &ref_; }

private:
    FSRef ref_;
};

// Creates an empty file with a fresh temporary name in `folder`; `*tmpRef` names it on success.
int CreateTemporaryFile(const FSRef *folder, FSRef *tmpRef)
{
    for (int attempt = 1;; attempt++) {
        const AbsoluteTime now = UpTime();
        wfs::CFRef<CFStringRef> tmpStrOwner(CFStringCreateWithFormat(
            kCFAllocatorDefault, NULL, CFSTR("MoreSecIsFolderIgnoringOwnership Temp %lx%lx"),
            static_cast<unsigned long>(now.hi), static_cast<unsigned long>(now.lo)));
        if (!tmpStrOwner) return coreFoundationUnknownErr;
        const CFStringRef tmpStr = tmpStrOwner.get();

        HFSUniStr255 tmpStrU;
        // CFStringGetLength is never negative, so comparing it with a size is safe.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
        MoreAssertQ(CFStringGetLength(tmpStr) <= (sizeof(tmpStrU.unicode) / sizeof(UniChar)));
#pragma GCC diagnostic pop
        tmpStrU.length = static_cast<UInt16>(CFStringGetLength(tmpStr));
        CFStringGetCharacters(tmpStr, CFRangeMake(0, tmpStrU.length), tmpStrU.unicode);

        OSErr err = FSCreateFileUnicode(folder, tmpStrU.length, tmpStrU.unicode, kFSCatInfoNone, NULL,
                                        tmpRef, NULL);
        if (err == dupFNErr && attempt < kMaxTemporaryNameAttempts) continue;
        return err;
    }
}

// The folder that holds the tool: writable by no one but its owner, since whoever can write to it
// can swap the tool. A folder we made inherits the user's umask and may have come out group-
// writable; it is the tool's own, so it is tightened. Then the whole way to it is checked: when
// someone else could change any folder on it, no tool installed there could ever be trusted, and
// the folder is as unsuitable as one on a volume that ignores set-user-ID bits.
int PrepareToolFolder(const char *toolPath)
{
    char folder[PATH_MAX];
    if (strlen(toolPath) >= sizeof(folder)) return coreFoundationUnknownErr;
    strcpy(folder, toolPath);
    char *slash = strrchr(folder, '/');
    if (slash == NULL || slash == folder) return kMoreSecUnsuitableFolderErr;
    *slash = '\0';

    wfs::UniqueFd own(wfs::RetryOnEintr(
        [&] { return open(folder, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC); }));
    struct stat st;
    if (own && fstat(own.get(), &st) == 0 && st.st_uid == geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) != 0 &&
        (st.st_mode & S_ISVTX) == 0) {
        if (fchmod(own.get(), st.st_mode & 07755) != 0) return errno;
    }

    int fd = -1;
    const int err = OpenPathSafely(folder, getuid(), &fd, &st);
    wfs::UniqueFd checked(fd);
    if (err == EPERM) return kMoreSecUnsuitableFolderErr;
    return err;
}

// Clears the tool's place for a fresh copy. Something already there is unlinked; a folder is
// removed with rmdir, which refuses one that still holds anything.
int ClearToolPlace(const char *toolPath)
{
    struct stat st;
    // lstat rather than stat: a dangling symbolic link is something at the place too, and leaving
    // it would make the copy create its file wherever the link points.
    if (wfs::RetryOnEintr([&] { return lstat(toolPath, &st); }) != 0) return 0;
    if (wfs::RetryOnEintr([&] { return unlink(toolPath); }) == 0) return 0;
    const int unlinkErr = errno;
    // POSIX has unlink refuse a folder with EPERM; Linux reports EISDIR.
    if (unlinkErr != EPERM && unlinkErr != EISDIR) return unlinkErr;
    if (wfs::RetryOnEintr([&] { return rmdir(toolPath); }) != 0) return errno;
    return 0;
}

// Steps 3 onwards of the locate-or-install: nothing valid was found, so put a fresh copy of the
// template at the tool's place in the user's folder.
int InstallHelperTool(CFURLRef templateTool, OSType folderType, CFStringRef subFolderName,
                      CFStringRef toolName, CFURLRef *tool)
{
    FSRef folderRef;
    int err = FSFindFolder(kUserDomain, folderType, kCreateFolder, &folderRef);
    if (err != noErr) return err;

    // Tested on the folder itself, not the sub-folder, so that an unsuitable volume is refused
    // before we create anything in it.
    Boolean ignoring = false;
    err = MoreSecIsFolderIgnoringOwnership(&folderRef, &ignoring);
    if (err != noErr) return err;
    if (ignoring) return kMoreSecUnsuitableFolderErr;
    err = MoreSecIsFolderIgnoringSetUID(&folderRef, &ignoring);
    if (err != noErr) return err;
    if (ignoring) return kMoreSecUnsuitableFolderErr;

    wfs::CFRef<CFURLRef> toolURL;
    err = CopyHelperToolURL(kUserDomain, folderType, subFolderName, toolName, true, toolURL.out());
    if (err != noErr) return err;

    char toolPath[PATH_MAX];
    if (!GetURLPath(toolURL.get(), toolPath)) return coreFoundationUnknownErr;
    err = PrepareToolFolder(toolPath);
    if (err != 0) return err;

    Boolean looksOK = false;
    err = CheckHelperTool(templateTool, toolURL.get(), &looksOK);
    if (err != noErr) return err;
    if (!looksOK) {
        char templatePath[PATH_MAX];
        if (!GetURLPath(templateTool, templatePath)) return coreFoundationUnknownErr;
        err = ClearToolPlace(toolPath);
        if (err != 0) return err;
        // The copy is owned by us and not set-user-ID, so it is not valid yet; the tool's
        // self-repair makes it so, and checking it again here would only say no.
        err = MoreUNIXCopyFile(templatePath, toolPath);
        if (err != 0) return err;
    }
    *tool = toolURL.release();
    return 0;
}

}  // namespace

extern "C" int CheckHelperTool(CFURLRef templateTool, CFURLRef tool, Boolean *looksOK)
{
    MoreAssertQ(templateTool != NULL);
    MoreAssertQ(tool != NULL);
    MoreAssertQ(looksOK != NULL);

    char templatePath[PATH_MAX];
    if (!GetURLPath(templateTool, templatePath)) return coreFoundationUnknownErr;
    struct stat templateStat;
    if (wfs::RetryOnEintr([&] { return stat(templatePath, &templateStat); }) != 0) return errno;

    char toolPath[PATH_MAX];
    if (!GetURLPath(tool, toolPath)) return coreFoundationUnknownErr;
    // A tool that cannot be examined, or that lies where someone other than root and the invoking
    // user could have put it or could swap it, is simply not a valid one. The look is taken on
    // descriptors opened along the real path, never on names that could change in between.
    int fd = -1;
    struct stat toolStat;
    const bool reachable = OpenPathSafely(toolPath, getuid(), &fd, &toolStat) == 0;
    wfs::UniqueFd checked(fd);

    // Only the seconds of the modification time are compared: that is what survives every copy
    // and every file system. The group and the contents are not looked at. A second link would be
    // a set-user-ID root copy that outlives this one when the plug-in replaces or removes it.
    *looksOK = reachable && toolStat.st_uid == 0 && static_cast<UInt16>(toolStat.st_mode) == kValidToolMode &&
               toolStat.st_nlink == 1 && toolStat.st_size == templateStat.st_size &&
               toolStat.st_mtim.tv_sec == templateStat.st_mtim.tv_sec;
    return 0;
}

extern "C" int CopyHelperToolURL(SInt16 domain, OSType folderType, CFStringRef subFolderName,
                                 CFStringRef toolName, Boolean createFolder, CFURLRef *tool)
{
    MoreAssertQ(toolName != NULL);
    MoreAssertQ(tool != NULL);
    MoreAssertQ(*tool == NULL);

    FSRef folderRef;
    int err = FSFindFolder(domain, folderType, createFolder, &folderRef);
    if (err == noErr && subFolderName != NULL) {
        HFSUniStr255 subFolderNameU;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wsign-compare"
        MoreAssertQ(CFStringGetLength(subFolderName) <= (sizeof(subFolderNameU.unicode) / sizeof(UniChar)));
#pragma GCC diagnostic pop
        subFolderNameU.length = static_cast<UInt16>(CFStringGetLength(subFolderName));
        CFStringGetCharacters(subFolderName, CFRangeMake(0, subFolderNameU.length), subFolderNameU.unicode);

        FSRef subFolderRef;
        err = FSMakeFSRefUnicode(&folderRef, subFolderNameU.length, subFolderNameU.unicode,
                                 kTextEncodingUnknown, &subFolderRef);
        if (err != noErr && createFolder) {
            err = FSCreateDirectoryUnicode(&folderRef, subFolderNameU.length, subFolderNameU.unicode,
                                           kFSCatInfoNone, NULL, &subFolderRef, NULL, NULL);
        }
        if (err == noErr) folderRef = subFolderRef;
    }
    if (err == noErr) {
        wfs::CFRef<CFURLRef> folderURL(CFURLCreateFromFSRef(kCFAllocatorDefault, &folderRef));
        if (folderURL) {
            *tool = CFURLCreateCopyAppendingPathComponent(kCFAllocatorDefault, folderURL.get(), toolName, false);
        }
        if (*tool == NULL) err = coreFoundationUnknownErr;
    }

    MoreAssertQ((err == noErr) == (*tool != NULL));
    return err;
}

extern "C" CFURLRef CreateURLToValidHelperToolInFolder(SInt16 domain, OSType folderType,
                                                       CFStringRef subFolderName, CFStringRef toolName,
                                                       CFURLRef templateTool)
{
    MoreAssertQ(toolName != NULL);
    MoreAssertQ(templateTool != NULL);

    // Every failure here (no folder, no sub-folder, no file, an unreadable template) just means
    // that this place holds no tool we can use.
    wfs::CFRef<CFURLRef> candidate;
    bool found = false;
    if (CopyHelperToolURL(domain, folderType, subFolderName, toolName, false, candidate.out()) == noErr) {
        Boolean looksOK = false;
        found = CheckHelperTool(templateTool, candidate.get(), &looksOK) == noErr && looksOK;
    }
    CFURLRef result = found ? candidate.release() : NULL;

    MoreAssertQ(found == (result != NULL));
    return result;
}

extern "C" int MoreSecCopyHelperToolURLAndCheck(CFURLRef templateTool, OSType folderType,
                                                CFStringRef subFolderName, CFStringRef toolName,
                                                CFURLRef *tool)
{
    MoreAssertQ(templateTool != NULL);
    MoreAssertQ(toolName != NULL);
    MoreAssertQ(tool != NULL);
    MoreAssertQ(*tool == NULL);

    // A valid copy in an earlier place wins; an invalid one anywhere hides nothing.
    CFURLRef found = NULL;
    for (const SInt16 *domain = kFolderDomains; *domain != 0 && found == NULL; domain++) {
        found = CreateURLToValidHelperToolInFolder(*domain, folderType, subFolderName, toolName, templateTool);
    }
    if (found == NULL) {
        found = CreateURLToValidHelperToolInFolder(kUserDomain, kTemporaryFolderType, subFolderName, toolName,
                                                   templateTool);
    }
    if (found != NULL) {
        *tool = found;
        return 0;
    }
    return InstallHelperTool(templateTool, folderType, subFolderName, toolName, tool);
}

extern "C" int MoreSecCopyHelperToolURLAndCheckBundled(CFBundleRef inBundle, CFStringRef templateToolName,
                                                       OSType folderType, CFStringRef subFolderName,
                                                       CFStringRef toolName, CFURLRef *tool)
{
    MoreAssertQ(inBundle != NULL);
    MoreAssertQ(templateToolName != NULL);
    MoreAssertQ(toolName != NULL);
    MoreAssertQ(tool != NULL);
    MoreAssertQ(*tool == NULL);

    wfs::CFRef<CFURLRef> templateTool(CFBundleCopyAuxiliaryExecutableURL(inBundle, templateToolName));
    if (!templateTool) return coreFoundationUnknownErr;
    return MoreSecCopyHelperToolURLAndCheck(templateTool.get(), folderType, subFolderName, toolName, tool);
}

extern "C" int MoreSecIsFolderIgnoringSetUID(const FSRef *folder, Boolean *ignoringSetUID)
{
    char path[PATH_MAX];
    int err = FSRefMakePath(folder, reinterpret_cast<UInt8 *>(path), sizeof(path));
    if (err != noErr) return err;

    // Linux reports the mount flags in statfs's f_flags (ST_* values, ST_NOSUID among them).
    struct statfs sfs;
    if (wfs::RetryOnEintr([&] { return statfs(path, &sfs); }) != 0) return errno;
    *ignoringSetUID = (sfs.f_flags & ST_NOSUID) != 0;
    return 0;
}

extern "C" int MoreSecIsFolderIgnoringOwnership(const FSRef *folder, Boolean *ignoringOwnership)
{
    MoreAssertQ(folder != NULL);
    MoreAssertQ(ignoringOwnership != NULL);

    FSRef tmpRef;
    int err = CreateTemporaryFile(folder, &tmpRef);
    if (err != noErr) return err;
    TemporaryFile tmpFile(tmpRef);

    FSPermissionInfo permInfo;
    err = ReadPermissions(tmpFile.ref(), &permInfo);
    if (err != noErr) return err;

    // A file that carries the unknown group may sit on a volume that keeps no ownership at all,
    // or may really belong to group 99. Only changing the group tells the two apart.
    Boolean ignoring = false;
    if (permInfo.groupID == kPermissionsUnknownGroupID) {
        permInfo.groupID = kPermissionsStaffGroupID;
        err = WritePermissions(tmpFile.ref(), &permInfo);
        if (err != noErr) return err;

        char path[PATH_MAX];
        err = FSRefMakePath(tmpFile.ref(), reinterpret_cast<UInt8 *>(path), sizeof(path));
        if (err != noErr) return err;
        // lchown: the name is in a folder others may write to, and what we mean to change is the
        // file we created, never what a link put in its place would point to.
        const uid_t owner = permInfo.userID;
        if (wfs::RetryOnEintr([&] { return lchown(path, owner, kPermissionsStaffGroupID); }) != 0) return errno;

        err = ReadPermissions(tmpFile.ref(), &permInfo);
        if (err != noErr) return err;
        // A group other than 20 or 99 read back comes from the file system, not from our caller:
        // it is answered as a volume that ignores ownership rather than stopping the process.
        ignoring = permInfo.groupID != kPermissionsStaffGroupID;
    }
    *ignoringOwnership = ignoring;
    return noErr;
}
