// Bundles: a folder with an Info.plist, executables and resources, and the code loaded from it.
#include "CFURLInternal.h"

#include <Support/CFRef.h>

#include <climits>
#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool IsFolder(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool Exists(const std::string &path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

// A URL for an existing file or folder (a folder URL for a folder); NULL when nothing is there.
CFURLRef CreateURLIfExists(const std::string &path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return nullptr;
    return cf::CreateFileURL(path, S_ISDIR(st.st_mode));
}

// A file name that stays inside the folder it is looked up in.
bool IsPlainName(const std::string &name) {
    return !name.empty() && name.find('/') == std::string::npos && name != "." && name != "..";
}

}  // namespace

struct __CFBundle final : __CFObject {
    // `folder` is the bundle folder's path without a trailing "/".
    __CFBundle(std::string folder, bool flat, bool isMain, std::string mainExecutable)
        : __CFObject(kCFTypeIDBundle),
          folder_(std::move(folder)),
          flat_(flat),
          isMain_(isMain),
          mainExecutable_(std::move(mainExecutable)) {}

    ~__CFBundle() override {
        if (handle_ != nullptr && !isMain_) ::dlclose(handle_);
    }

    std::string description() const override { return "<CFBundle " + folder_ + ">"; }

    std::string contentsPath() const { return flat_ ? folder_ : folder_ + "/Contents"; }
    std::string executablesPath() const { return flat_ ? folder_ : folder_ + "/Contents/Linux"; }
    std::string resourcesPath() const { return flat_ ? folder_ : folder_ + "/Contents/Resources"; }

    CFDictionaryRef infoDictionary() {
        std::call_once(infoOnce_, [this] { info_ = ReadInfoDictionary(contentsPath() + "/Info.plist"); });
        return info_.get();
    }

    // The path of the main executable, or "" when there is none.
    std::string executablePath() {
        CFTypeRef name = CFDictionaryGetValue(infoDictionary(), kCFBundleExecutableKey);
        if (name != nullptr && CFGetTypeID(name) == CFStringGetTypeID()) {
            std::optional<std::string> file = cf::StringToUTF8(static_cast<CFStringRef>(name));
            if (file && IsPlainName(*file)) {
                std::string path = executablesPath() + "/" + *file;
                if (Exists(path)) return path;
            }
            return "";
        }
        return isMain_ ? mainExecutable_ : "";
    }

    bool load() {
        std::lock_guard<std::mutex> lock(loadMutex_);
        if (handle_ != nullptr) return true;
        if (isMain_) {
            // The program itself: already loaded; the handle searches it and its libraries.
            handle_ = ::dlopen(nullptr, RTLD_NOW);
            return handle_ != nullptr;
        }
        std::string path = executablePath();
        if (path.empty()) return false;
        handle_ = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        return handle_ != nullptr;
    }

    bool isLoaded() {
        if (isMain_) return true;
        std::lock_guard<std::mutex> lock(loadMutex_);
        return handle_ != nullptr;
    }

    void *symbol(const std::string &name) {
        if (!load()) return nullptr;
        std::lock_guard<std::mutex> lock(loadMutex_);
        return handle_ != nullptr ? ::dlsym(handle_, name.c_str()) : nullptr;
    }

    void unload() {
        if (isMain_) return;
        std::lock_guard<std::mutex> lock(loadMutex_);
        if (handle_ != nullptr) ::dlclose(handle_);
        handle_ = nullptr;
    }

    const std::string folder_;
    const bool flat_;
    const bool isMain_;
    const std::string mainExecutable_;  // the running executable, for the main bundle only

private:
    static wfs::CFRef<CFDictionaryRef> ReadInfoDictionary(const std::string &path) {
        wfs::CFRef<CFURLRef> url(cf::CreateFileURL(path, false));
        wfs::CFRef<CFDataRef> data;
        SInt32 code = 0;
        if (url && CFURLCreateDataAndPropertiesFromResource(kCFAllocatorDefault, url.get(), data.out(),
                                                            nullptr, nullptr, &code)) {
            wfs::CFRef<CFPropertyListRef> plist(CFPropertyListCreateFromXMLData(
                kCFAllocatorDefault, data.get(), kCFPropertyListImmutable, nullptr));
            if (plist && CFGetTypeID(plist.get()) == CFDictionaryGetTypeID()) {
                return wfs::CFRef<CFDictionaryRef>(static_cast<CFDictionaryRef>(plist.release()));
            }
        }
        return wfs::CFRef<CFDictionaryRef>(CFDictionaryCreate(kCFAllocatorDefault, nullptr, nullptr, 0,
                                                              &kCFTypeDictionaryKeyCallBacks,
                                                              &kCFTypeDictionaryValueCallBacks));
    }

    std::once_flag infoOnce_;
    wfs::CFRef<CFDictionaryRef> info_;
    std::mutex loadMutex_;
    void *handle_ = nullptr;
};

namespace {

__CFBundle *Bundle(CFBundleRef bundle, const char *file, unsigned line) {
    if (bundle == nullptr || cf::Object(bundle)->typeID_ != kCFTypeIDBundle) {
        cf::AssertionFailed(file, line, "CFGetTypeID(bundle) == CFBundleGetTypeID()");
    }
    return static_cast<__CFBundle *>(static_cast<__CFObject *>(bundle));
}
#define CF_BUNDLE(bundle) Bundle((bundle), __FILE__, __LINE__)

std::string ParentOf(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return "/";
    return path.substr(0, slash);
}

std::string LastComponentOf(const std::string &path) { return path.substr(path.rfind('/') + 1); }

__CFBundle *CreateMainBundle() {
    char buffer[PATH_MAX];
    ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer);
    if (n <= 0 || static_cast<size_t>(n) >= sizeof buffer) return nullptr;
    std::string executable(buffer, static_cast<size_t>(n));
    std::string folder = ParentOf(executable);
    bool flat = true;
    if (LastComponentOf(folder) == "Linux" && LastComponentOf(ParentOf(folder)) == "Contents") {
        folder = ParentOf(ParentOf(folder));
        flat = false;
    }
    auto *bundle = new __CFBundle(folder, flat, true, executable);
    bundle->immortal_ = true;
    return bundle;
}

}  // namespace

extern "C" {

const CFStringRef kCFBundleInfoDictionaryVersionKey = CFSTR("CFBundleInfoDictionaryVersion");
const CFStringRef kCFBundleExecutableKey = CFSTR("CFBundleExecutable");
const CFStringRef kCFBundleIdentifierKey = CFSTR("CFBundleIdentifier");
const CFStringRef kCFBundleVersionKey = CFSTR("CFBundleVersion");
const CFStringRef kCFBundleNameKey = CFSTR("CFBundleName");

CFTypeID CFBundleGetTypeID(void) { return kCFTypeIDBundle; }

CFBundleRef CFBundleGetMainBundle(void) {
    static __CFBundle *const mainBundle = CreateMainBundle();
    return mainBundle;
}

CFBundleRef CFBundleCreate(CFAllocatorRef, CFURLRef bundleURL) {
    std::string folder = CF_URL(bundleURL)->fileSystemPath();
    if (!IsFolder(folder)) return nullptr;
    bool flat = !IsFolder(folder + "/Contents");
    return new __CFBundle(std::move(folder), flat, false, "");
}

CFURLRef CFBundleCopyBundleURL(CFBundleRef bundle) {
    return cf::CreateFileURL(CF_BUNDLE(bundle)->folder_, true);
}

CFDictionaryRef CFBundleGetInfoDictionary(CFBundleRef bundle) {
    return CF_BUNDLE(bundle)->infoDictionary();
}

CFTypeRef CFBundleGetValueForInfoDictionaryKey(CFBundleRef bundle, CFStringRef key) {
    CFDictionaryRef info = CF_BUNDLE(bundle)->infoDictionary();
    CF_ASSERT(key != NULL);
    return info != nullptr ? CFDictionaryGetValue(info, key) : nullptr;
}

CFStringRef CFBundleGetIdentifier(CFBundleRef bundle) {
    CFTypeRef value = CFBundleGetValueForInfoDictionaryKey(bundle, kCFBundleIdentifierKey);
    if (value == nullptr || CFGetTypeID(value) != CFStringGetTypeID()) return nullptr;
    return static_cast<CFStringRef>(value);
}

CFURLRef CFBundleCopyAuxiliaryExecutableURL(CFBundleRef bundle, CFStringRef executableName) {
    __CFBundle *b = CF_BUNDLE(bundle);
    CF_ASSERT(executableName != NULL);
    std::optional<std::string> name = cf::StringToUTF8(executableName);
    if (!name || !IsPlainName(*name)) return nullptr;
    std::string path = b->executablesPath() + "/" + *name;
    struct stat st;
    if (::stat(path.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return nullptr;
    return cf::CreateFileURL(path, false);
}

CFURLRef CFBundleCopyExecutableURL(CFBundleRef bundle) {
    std::string path = CF_BUNDLE(bundle)->executablePath();
    return path.empty() ? nullptr : cf::CreateFileURL(path, false);
}

CFURLRef CFBundleCopyResourcesDirectoryURL(CFBundleRef bundle) {
    return cf::CreateFileURL(CF_BUNDLE(bundle)->resourcesPath(), true);
}

CFURLRef CFBundleCopyResourceURL(CFBundleRef bundle, CFStringRef resourceName, CFStringRef resourceType,
                                 CFStringRef subDirName) {
    __CFBundle *b = CF_BUNDLE(bundle);
    if (resourceName == nullptr) return nullptr;
    std::optional<std::string> file = cf::StringToUTF8(resourceName);
    if (!file || file->empty()) return nullptr;
    if (resourceType != nullptr) {
        std::optional<std::string> type = cf::StringToUTF8(resourceType);
        if (!type) return nullptr;
        if (!type->empty()) {
            if (type->front() != '.') *file += '.';
            *file += *type;
        }
    }
    std::string folder = b->resourcesPath();
    if (subDirName != nullptr) {
        std::optional<std::string> sub = cf::StringToUTF8(subDirName);
        if (!sub) return nullptr;
        if (!sub->empty()) folder += "/" + *sub;
    }
    for (const char *localization : {"", "/Base.lproj", "/en.lproj"}) {
        if (CFURLRef url = CreateURLIfExists(folder + localization + "/" + *file)) return url;
    }
    return nullptr;
}

Boolean CFBundleLoadExecutable(CFBundleRef bundle) { return CF_BUNDLE(bundle)->load(); }

Boolean CFBundleIsExecutableLoaded(CFBundleRef bundle) { return CF_BUNDLE(bundle)->isLoaded(); }

void *CFBundleGetFunctionPointerForName(CFBundleRef bundle, CFStringRef functionName) {
    __CFBundle *b = CF_BUNDLE(bundle);
    CF_ASSERT(functionName != NULL);
    std::optional<std::string> name = cf::StringToUTF8(functionName);
    if (!name || name->empty()) return nullptr;
    return b->symbol(*name);
}

void CFBundleUnloadExecutable(CFBundleRef bundle) { CF_BUNDLE(bundle)->unload(); }

}  // extern "C"
