// The File Manager: FSRef operations on paths, catalog information from stat, lchown and chmod.
#include "FileSupport.h"

#include <Support/Eintr.h>
#include <Support/UniqueFd.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

static_assert(sizeof(FSPermissionInfo) == sizeof(FSCatalogInfo::permissions),
              "the permissions record must fill the catalog's permissions field");

namespace cs {

void SetRef(FSRef *ref, std::string_view path) {
    CS_ASSERT(FitsRef(path));
    std::memcpy(ref->path, path.data(), path.size());
    ref->path[path.size()] = '\0';
}

std::string JoinPath(std::string_view parent, std::string_view name) {
    std::string path(parent);
    if (path.empty() || path.back() != '/') path += '/';
    path.append(name);
    return path;
}

std::optional<std::string> FileNameFromUnicode(const UniChar *name, UniCharCount length) {
    if (length == 0 || length > 255) return std::nullopt;
    std::string out;
    for (UniCharCount i = 0; i < length; ++i) {
        UInt32 c = name[i];
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 == length || name[i + 1] < 0xDC00 || name[i + 1] > 0xDFFF) return std::nullopt;
            c = 0x10000 + ((c - 0xD800) << 10) + (name[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return std::nullopt;
        }
        if (c == 0 || c == '/') return std::nullopt;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    if (out == "." || out == ".." || out.size() > NAME_MAX) return std::nullopt;
    return out;
}

}  // namespace cs

namespace {

// The path of the child `name` of `parent`, or the result code that refuses it.
OSErr ChildPath(const FSRef *parent, UniCharCount nameLength, const UniChar *name, std::string &path) {
    std::optional<std::string> file = cs::FileNameFromUnicode(name, nameLength);
    if (!file) return bdNamErr;
    path = cs::JoinPath(parent->path, *file);
    if (!cs::FitsRef(path)) return bdNamErr;
    return noErr;
}

OSErr LastErr() { return WFSOSErrFromErrno(errno); }

// UTF-8 bytes to UTF-16 units; false when they are not valid UTF-8 or need more than `capacity`.
bool UnicodeFromUTF8(std::string_view in, UniChar *out, size_t capacity, UInt16 &length) {
    size_t n = 0;
    for (size_t i = 0; i < in.size();) {
        auto byte = static_cast<unsigned char>(in[i]);
        UInt32 c;
        size_t extra;
        if (byte < 0x80) { c = byte; extra = 0; }
        else if ((byte & 0xE0) == 0xC0) { c = byte & 0x1F; extra = 1; }
        else if ((byte & 0xF0) == 0xE0) { c = byte & 0x0F; extra = 2; }
        else if ((byte & 0xF8) == 0xF0) { c = byte & 0x07; extra = 3; }
        else return false;
        if (i + extra >= in.size()) return false;
        for (size_t k = 1; k <= extra; ++k) {
            auto next = static_cast<unsigned char>(in[i + k]);
            if ((next & 0xC0) != 0x80) return false;
            c = (c << 6) | (next & 0x3F);
        }
        static const UInt32 kMinimum[] = {0, 0x80, 0x800, 0x10000};
        if (c < kMinimum[extra] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
        i += extra + 1;
        if (c >= 0x10000) {
            if (n + 2 > capacity) return false;
            c -= 0x10000;
            out[n++] = static_cast<UniChar>(0xD800 + (c >> 10));
            out[n++] = static_cast<UniChar>(0xDC00 + (c & 0x3FF));
        } else {
            if (n + 1 > capacity) return false;
            out[n++] = static_cast<UniChar>(c);
        }
    }
    length = static_cast<UInt16>(n);
    return true;
}

std::string ParentPath(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return "/";
    return path.substr(0, slash);
}

}  // namespace

extern "C" {

OSStatus FSPathMakeRef(const UInt8 *path, FSRef *ref, Boolean *isDirectory) {
    CS_ASSERT(path != NULL);
    CS_ASSERT(ref != NULL);
    std::string absolute(reinterpret_cast<const char *>(path));
    if (absolute.empty()) return fnfErr;
    if (absolute.front() != '/') {
        char *cwd = ::getcwd(nullptr, 0);
        if (cwd == nullptr) return LastErr();
        absolute = cs::JoinPath(cwd, absolute);
        std::free(cwd);
    }
    while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
    if (!cs::FitsRef(absolute)) return bdNamErr;
    struct stat st;
    if (::lstat(absolute.c_str(), &st) != 0) return LastErr();
    if (isDirectory != nullptr) {
        // A link to a folder is used as a folder by everyone who walks the path.
        bool directory = S_ISDIR(st.st_mode);
        if (S_ISLNK(st.st_mode)) {
            struct stat target;
            directory = ::stat(absolute.c_str(), &target) == 0 && S_ISDIR(target.st_mode);
        }
        *isDirectory = directory;
    }
    cs::SetRef(ref, absolute);
    return noErr;
}

OSStatus FSRefMakePath(const FSRef *ref, UInt8 *path, UInt32 maxPathSize) {
    CS_ASSERT(ref != NULL);
    CS_ASSERT(path != NULL);
    size_t length = ::strnlen(ref->path, sizeof ref->path);
    if (length + 1 > maxPathSize) return buffersTooSmall;
    std::memcpy(path, ref->path, length + 1);
    return noErr;
}

OSErr FSMakeFSRefUnicode(const FSRef *parentRef, UniCharCount nameLength, const UniChar *name,
                         TextEncoding, FSRef *newRef) {
    CS_ASSERT(parentRef != NULL);
    CS_ASSERT(name != NULL || nameLength == 0);
    CS_ASSERT(newRef != NULL);
    std::string path;
    if (OSErr err = ChildPath(parentRef, nameLength, name, path); err != noErr) return err;
    struct stat st;
    if (::lstat(path.c_str(), &st) != 0) return LastErr();
    cs::SetRef(newRef, path);
    return noErr;
}

OSErr FSCreateDirectoryUnicode(const FSRef *parentRef, UniCharCount nameLength, const UniChar *name,
                               FSCatalogInfoBitmap whichInfo, const FSCatalogInfo *, FSRef *newRef,
                               FSSpecPtr newSpec, UInt32 *newDirID) {
    CS_ASSERT(parentRef != NULL);
    CS_ASSERT(name != NULL || nameLength == 0);
    if (whichInfo != kFSCatInfoNone || newSpec != nullptr) return paramErr;
    std::string path;
    if (OSErr err = ChildPath(parentRef, nameLength, name, path); err != noErr) return err;
    // mkdir is not interrupted by signals on Linux file systems, but a FUSE or network file system
    // may still report EINTR.
    if (wfs::RetryOnEintr([&] { return ::mkdir(path.c_str(), 0777); }) != 0) return LastErr();
    if (newDirID != nullptr) {
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0) return LastErr();
        *newDirID = static_cast<UInt32>(st.st_ino);
    }
    if (newRef != nullptr) cs::SetRef(newRef, path);
    return noErr;
}

OSErr FSCreateFileUnicode(const FSRef *parentRef, UniCharCount nameLength, const UniChar *name,
                          FSCatalogInfoBitmap whichInfo, const FSCatalogInfo *, FSRef *newRef,
                          FSSpecPtr newSpec) {
    CS_ASSERT(parentRef != NULL);
    CS_ASSERT(name != NULL || nameLength == 0);
    if (whichInfo != kFSCatInfoNone || newSpec != nullptr) return paramErr;
    std::string path;
    if (OSErr err = ChildPath(parentRef, nameLength, name, path); err != noErr) return err;
    // O_EXCL with O_CREAT refuses any existing name, a symbolic link included.
    wfs::UniqueFd fd(wfs::RetryOnEintr(
        [&] { return ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0666); }));
    if (!fd) return LastErr();
    if (newRef != nullptr) cs::SetRef(newRef, path);
    return noErr;
}

OSErr FSDeleteObject(const FSRef *ref) {
    CS_ASSERT(ref != NULL);
    struct stat st;
    if (::lstat(ref->path, &st) != 0) return LastErr();
    if (S_ISDIR(st.st_mode)) {
        if (wfs::RetryOnEintr([&] { return ::rmdir(ref->path); }) != 0) {
            // Some file systems report a folder that is not empty as EEXIST.
            return errno == EEXIST ? static_cast<OSErr>(fBsyErr) : LastErr();
        }
        return noErr;
    }
    if (wfs::RetryOnEintr([&] { return ::unlink(ref->path); }) != 0) return LastErr();
    return noErr;
}

OSErr FSGetCatalogInfo(const FSRef *ref, FSCatalogInfoBitmap whichInfo, FSCatalogInfo *catalogInfo,
                       HFSUniStr255 *outName, FSSpecPtr fsSpec, FSRef *parentRef) {
    CS_ASSERT(ref != NULL);
    constexpr FSCatalogInfoBitmap kSupported =
        kFSCatInfoNodeFlags | kFSCatInfoNodeID | kFSCatInfoPermissions | kFSCatInfoDataSizes;
    if ((whichInfo & ~kSupported) != 0 || fsSpec != nullptr) return paramErr;
    if (whichInfo != kFSCatInfoNone && catalogInfo == nullptr) return paramErr;

    struct stat st;
    if (::lstat(ref->path, &st) != 0) return LastErr();
    std::string path = ref->path;

    HFSUniStr255 name{};
    if (outName != nullptr) {
        std::string last = path == "/" ? "/" : path.substr(path.rfind('/') + 1);
        if (!UnicodeFromUTF8(last, name.unicode, 255, name.length)) return bdNamErr;
    }
    if (catalogInfo != nullptr && whichInfo != kFSCatInfoNone) {
        if (whichInfo & kFSCatInfoNodeFlags) {
            catalogInfo->nodeFlags = S_ISDIR(st.st_mode) ? kFSNodeIsDirectoryMask : 0;
        }
        if (whichInfo & kFSCatInfoNodeID) catalogInfo->nodeID = static_cast<UInt32>(st.st_ino);
        if (whichInfo & kFSCatInfoPermissions) {
            FSPermissionInfo perm{};
            perm.userID = st.st_uid;
            perm.groupID = st.st_gid;
            perm.mode = static_cast<UInt16>(st.st_mode);
            std::memcpy(catalogInfo->permissions, &perm, sizeof perm);
        }
        if (whichInfo & kFSCatInfoDataSizes) {
            catalogInfo->dataLogicalSize = static_cast<UInt64>(st.st_size);
            catalogInfo->dataPhysicalSize = static_cast<UInt64>(st.st_blocks) * 512;
        }
    }
    if (outName != nullptr) *outName = name;
    if (parentRef != nullptr) cs::SetRef(parentRef, ParentPath(path));
    return noErr;
}

OSErr FSSetCatalogInfo(const FSRef *ref, FSCatalogInfoBitmap whichInfo, const FSCatalogInfo *catalogInfo) {
    CS_ASSERT(ref != NULL);
    if (whichInfo == kFSCatInfoNone) return noErr;
    if (whichInfo != kFSCatInfoPermissions || catalogInfo == nullptr) return paramErr;
    FSPermissionInfo perm;
    std::memcpy(&perm, catalogInfo->permissions, sizeof perm);

    struct stat st;
    if (::lstat(ref->path, &st) != 0) return LastErr();
    if (perm.userID != st.st_uid || perm.groupID != st.st_gid) {
        if (wfs::RetryOnEintr([&] { return ::lchown(ref->path, perm.userID, perm.groupID); }) != 0) {
            return LastErr();
        }
    }
    // After chown, because a change of owner clears the set-user-ID and set-group-ID bits.
    if (!S_ISLNK(st.st_mode)) {
        if (wfs::RetryOnEintr([&] { return ::chmod(ref->path, perm.mode & 07777); }) != 0) return LastErr();
    }
    return noErr;
}

CFURLRef CFURLCreateFromFSRef(CFAllocatorRef allocator, const FSRef *fsRef) {
    CS_ASSERT(fsRef != NULL);
    struct stat st;
    if (::stat(fsRef->path, &st) != 0 && ::lstat(fsRef->path, &st) != 0) return nullptr;
    size_t length = ::strnlen(fsRef->path, sizeof fsRef->path);
    return CFURLCreateFromFileSystemRepresentation(allocator, reinterpret_cast<const UInt8 *>(fsRef->path),
                                                   static_cast<CFIndex>(length), S_ISDIR(st.st_mode));
}

Boolean CFURLGetFSRef(CFURLRef url, FSRef *fsRef) {
    CS_ASSERT(url != NULL);
    CS_ASSERT(fsRef != NULL);
    UInt8 path[sizeof fsRef->path];
    if (!CFURLGetFileSystemRepresentation(url, true, path, sizeof path)) return false;
    return FSPathMakeRef(path, fsRef, nullptr) == noErr;
}

}  // extern "C"
