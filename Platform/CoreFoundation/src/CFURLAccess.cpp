// Reading a file named by a URL into a data object.
#include "CFURLInternal.h"

#include <Support/Eintr.h>
#include <Support/UniqueFd.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

SInt32 URLErrorFromErrno(int error) {
    switch (error) {
    case ENOENT:
    case ENOTDIR:
    case ELOOP:
    case ENAMETOOLONG:
        return kCFURLResourceNotFoundError;
    case EACCES:
    case EPERM:
        return kCFURLResourceAccessViolationError;
    case EISDIR:
        return kCFURLImproperArgumentsError;
    default:
        return kCFURLUnknownError;
    }
}

// Reads `fd` to its end. st_size is only a first guess: files under /proc report 0 and a file may
// grow or shrink while we read.
bool ReadAll(int fd, off_t sizeHint, std::vector<UInt8> &bytes, int &error) {
    bytes.resize(sizeHint > 0 ? static_cast<size_t>(sizeHint) + 1 : 4096);
    size_t used = 0;
    for (;;) {
        if (used == bytes.size()) bytes.resize(bytes.size() * 2);
        ssize_t n = wfs::RetryOnEintr([&] { return ::read(fd, bytes.data() + used, bytes.size() - used); });
        if (n < 0) {
            error = errno;
            return false;
        }
        if (n == 0) break;
        used += static_cast<size_t>(n);
    }
    bytes.resize(used);
    return true;
}

}  // namespace

extern "C" Boolean CFURLCreateDataAndPropertiesFromResource(CFAllocatorRef alloc, CFURLRef url,
                                                            CFDataRef *resourceData,
                                                            CFDictionaryRef *properties,
                                                            CFArrayRef, SInt32 *errorCode) {
    SInt32 unusedCode;
    if (errorCode == nullptr) errorCode = &unusedCode;
    *errorCode = 0;
    if (resourceData != nullptr) *resourceData = nullptr;
    if (properties != nullptr) *properties = nullptr;

    if (url == nullptr) {
        *errorCode = kCFURLImproperArgumentsError;
        return false;
    }
    const __CFURL *u = CF_URL(url);
    if (resourceData == nullptr) return true;

    std::string path = u->fileSystemPath();
    wfs::UniqueFd fd(wfs::RetryOnEintr([&] { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC); }));
    if (!fd) {
        *errorCode = URLErrorFromErrno(errno);
        return false;
    }
    struct stat st;
    if (::fstat(fd.get(), &st) != 0) {
        *errorCode = URLErrorFromErrno(errno);
        return false;
    }
    if (S_ISDIR(st.st_mode)) {
        *errorCode = URLErrorFromErrno(EISDIR);
        return false;
    }
    std::vector<UInt8> bytes;
    int error = 0;
    if (!ReadAll(fd.get(), st.st_size, bytes, error)) {
        *errorCode = URLErrorFromErrno(error);
        return false;
    }
    CFDataRef data = CFDataCreate(alloc, bytes.data(), static_cast<CFIndex>(bytes.size()));
    if (data == nullptr) {
        *errorCode = kCFURLUnknownError;
        return false;
    }
    *resourceData = data;
    return true;
}
