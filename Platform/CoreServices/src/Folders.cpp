// The Folder Manager: which folder a (domain, folder type) pair names, made on request.
#include "FileSupport.h"

#include <Support/Eintr.h>

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#ifndef WFS_FOLDER_ROOT_DEFAULT
#define WFS_FOLDER_ROOT_DEFAULT ""
#endif

namespace {

bool IsAbsolute(const char *value) { return value != nullptr && value[0] == '/'; }

std::string WithoutTrailingSlashes(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

// Where the local and system domains are rooted: "" for the real file system. A set-user-ID
// program must not let its caller move these folders, hence secure_getenv.
std::string FolderRoot() {
    const char *value = ::secure_getenv("WFS_FOLDER_ROOT");
    std::string root = IsAbsolute(value) ? value : WFS_FOLDER_ROOT_DEFAULT;
    while (!root.empty() && root.back() == '/') root.pop_back();
    return root;
}

// The user domain belongs to the invoking user, so it follows that user's environment even in a
// set-user-ID program: plain getenv is right here, and the real user ID picks the fallback home.
std::optional<std::string> HomeFolder() {
    const char *home = std::getenv("HOME");
    if (IsAbsolute(home)) return WithoutTrailingSlashes(home);
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
    struct passwd entry;
    struct passwd *found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || found == nullptr ||
        !IsAbsolute(found->pw_dir)) {
        return std::nullopt;
    }
    return WithoutTrailingSlashes(found->pw_dir);
}

std::optional<std::string> UserFolder(OSType folderType) {
    if (folderType == kTemporaryFolderType) {
        // The user's own runtime folder, which only that user can write to. Never $TMPDIR or /tmp:
        // programs are looked for in this folder and run, and in a folder that every user can
        // write to, anyone could put one there. Without a runtime folder there is none.
        const char *runtime = std::getenv("XDG_RUNTIME_DIR");
        if (!IsAbsolute(runtime)) return std::nullopt;
        return WithoutTrailingSlashes(runtime);
    }
    if (folderType == kApplicationSupportFolderType) {
        const char *data = std::getenv("XDG_DATA_HOME");
        if (IsAbsolute(data)) return WithoutTrailingSlashes(data);
    }
    std::optional<std::string> home = HomeFolder();
    if (!home) return std::nullopt;
    switch (folderType) {
    case kApplicationSupportFolderType: return cs::JoinPath(*home, ".local/share");
    case kFrameworksFolderType: return cs::JoinPath(*home, ".local/lib");
    case kDomainLibraryFolderType: return cs::JoinPath(*home, ".local");
    default: return std::nullopt;
    }
}

std::optional<std::string> RootedFolder(OSType folderType, const char *prefix) {
    std::string base = FolderRoot() + prefix;
    switch (folderType) {
    case kApplicationSupportFolderType: return base + "/share";
    case kFrameworksFolderType: return base + "/lib";
    case kDomainLibraryFolderType: return base;
    default: return std::nullopt;
    }
}

// The two volume selectors stand for a domain chosen by the kind of folder: what belongs to one
// user comes from the user domain, shared folders from the local domain.
SInt16 DomainFor(SInt16 vRefNum, OSType folderType) {
    if (vRefNum == kOnAppropriateDisk) {
        bool perUser = folderType == kApplicationSupportFolderType || folderType == kTemporaryFolderType ||
                       folderType == kDomainLibraryFolderType;
        return perUser ? kUserDomain : kLocalDomain;
    }
    if (vRefNum == kOnSystemDisk) return folderType == kTemporaryFolderType ? kUserDomain : kLocalDomain;
    return vRefNum;
}

// mkdir -p: makes each missing folder along `path` with the default permissions.
OSErr MakeFolders(const std::string &path) {
    for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
        std::string prefix = path.substr(0, slash);
        if (wfs::RetryOnEintr([&] { return ::mkdir(prefix.c_str(), 0777); }) != 0 && errno != EEXIST) {
            return WFSOSErrFromErrno(errno);
        }
        if (slash == std::string::npos) return noErr;
    }
}

}  // namespace

extern "C" OSErr FSFindFolder(SInt16 vRefNum, OSType folderType, Boolean createFolder, FSRef *foundRef) {
    CS_ASSERT(foundRef != NULL);
    std::optional<std::string> path;
    switch (DomainFor(vRefNum, folderType)) {
    case kUserDomain: path = UserFolder(folderType); break;
    case kLocalDomain: path = RootedFolder(folderType, "/usr/local"); break;
    case kSystemDomain: path = RootedFolder(folderType, "/usr"); break;
    case kNetworkDomain: return fnfErr;
    default: return nsvErr;
    }
    if (!path || path->empty()) return fnfErr;
    if (!cs::FitsRef(*path)) return bdNamErr;
    if (createFolder) {
        if (OSErr err = MakeFolders(*path); err != noErr) return err;
    }
    struct stat st;
    if (::stat(path->c_str(), &st) != 0) return WFSOSErrFromErrno(errno);
    if (!S_ISDIR(st.st_mode)) return dirNFErr;
    cs::SetRef(foundRef, *path);
    return noErr;
}
