// File attributes from stat and the password database; removal of files and folders.
#include <Foundation/NSFileManager.h>

#include "FoundationInternal.h"

#include <Support/Eintr.h>

#include <filesystem>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

const CFStringRef NSFileOwnerAccountName = CFSTR("NSFileOwnerAccountName");
const CFStringRef NSFileOwnerAccountID = CFSTR("NSFileOwnerAccountID");
const CFStringRef NSFileGroupOwnerAccountID = CFSTR("NSFileGroupOwnerAccountID");
const CFStringRef NSFilePosixPermissions = CFSTR("NSFilePosixPermissions");
const CFStringRef NSFileSize = CFSTR("NSFileSize");
const CFStringRef NSFileModificationDate = CFSTR("NSFileModificationDate");
const CFStringRef NSFileType = CFSTR("NSFileType");
const CFStringRef NSFileTypeRegular = CFSTR("NSFileTypeRegular");
const CFStringRef NSFileTypeDirectory = CFSTR("NSFileTypeDirectory");
const CFStringRef NSFileTypeSymbolicLink = CFSTR("NSFileTypeSymbolicLink");
const CFStringRef NSFileTypeUnknown = CFSTR("NSFileTypeUnknown");

namespace {

using wfs::CFRef;

// The account name of `uid`, or nothing when the password database has no entry for it.
std::optional<std::string> AccountName(uid_t uid) {
    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 1024);
    for (;;) {
        struct passwd entry;
        struct passwd *found = nullptr;
        const int error = ::getpwuid_r(uid, &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || found == nullptr) return std::nullopt;
        return std::string(found->pw_name);
    }
}

void SetNumber(CFMutableDictionaryRef attributes, CFStringRef key, long long value) {
    CFRef<CFNumberRef> number(CFNumberCreate(nullptr, kCFNumberLongLongType, &value));
    if (number) CFDictionarySetValue(attributes, key, number.get());
}

CFStringRef TypeOf(mode_t mode) {
    if (S_ISREG(mode)) return NSFileTypeRegular;
    if (S_ISDIR(mode)) return NSFileTypeDirectory;
    if (S_ISLNK(mode)) return NSFileTypeSymbolicLink;
    return NSFileTypeUnknown;
}

}  // namespace

NSFileManager &NSFileManager::defaultManager() {
    static NSFileManager *const manager = new NSFileManager;
    return *manager;
}

CFRef<CFDictionaryRef> NSFileManager::fileAttributesAtPath(CFStringRef path, bool traverseLink) {
    FOUNDATION_ASSERT(path != nullptr);
    const std::optional<std::string> file = wfs::foundation::UTF8(path);
    if (!file || file->empty()) return CFRef<CFDictionaryRef>();
    struct stat st;
    const int rc = wfs::RetryOnEintr([&] { return traverseLink ? ::stat(file->c_str(), &st) : ::lstat(file->c_str(), &st); });
    if (rc != 0) return CFRef<CFDictionaryRef>();

    CFRef<CFMutableDictionaryRef> attributes(
        CFDictionaryCreateMutable(nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    if (!attributes) return CFRef<CFDictionaryRef>();
    if (std::optional<std::string> name = AccountName(st.st_uid)) {
        CFRef<CFStringRef> owner = wfs::foundation::MakeString(*name);
        if (owner) CFDictionarySetValue(attributes.get(), NSFileOwnerAccountName, owner.get());
    }
    SetNumber(attributes.get(), NSFileOwnerAccountID, st.st_uid);
    SetNumber(attributes.get(), NSFileGroupOwnerAccountID, st.st_gid);
    SetNumber(attributes.get(), NSFilePosixPermissions, st.st_mode & 07777);
    SetNumber(attributes.get(), NSFileSize, st.st_size);
    CFDictionarySetValue(attributes.get(), NSFileType, TypeOf(st.st_mode));
    CFRef<CFDateRef> modified(CFDateCreate(nullptr, static_cast<CFAbsoluteTime>(st.st_mtim.tv_sec) +
                                                        st.st_mtim.tv_nsec / 1e9 - kCFAbsoluteTimeIntervalSince1970));
    if (modified) CFDictionarySetValue(attributes.get(), NSFileModificationDate, modified.get());
    return CFRef<CFDictionaryRef>(attributes.release());
}

bool NSFileManager::removeFileAtPath(CFStringRef path, NSObject *) {
    FOUNDATION_ASSERT(path != nullptr);
    const std::optional<std::string> file = wfs::foundation::UTF8(path);
    if (!file || file->empty()) return false;
    // remove_all removes a link itself, never what it points to.
    std::error_code error;
    return std::filesystem::remove_all(*file, error) > 0 && !error;
}
