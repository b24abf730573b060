// Loading a plug-in bundle's library and creating the extension classes its Info.plist lists.
#include <Plinth/PLPluginLoader.h>

#include <Plinth/PLLog.h>
#include <Support/Eintr.h>

#include <dlfcn.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>

namespace {

using wfs::CFRef;

constexpr const char kLogFile[] = "Platform/Plinth/PLPluginLoader";
constexpr const char kLogMethod[] = "+[PLPluginLoader loadBundle:]";

// Which library registered which classes. A library registers while dlopen runs its static
// constructors, so whatever arrives during a load belongs to the library being loaded; anything
// registered outside a load belongs to the program (or to a library it loaded by other means).
struct Registry {
    std::mutex mutex;
    std::vector<PLExtensionClass> *collecting = nullptr;
    std::map<void *, std::vector<PLExtensionClass>> byLibrary;
    std::vector<PLExtensionClass> program;
};

Registry &TheRegistry() {
    static auto *const registry = new Registry;
    return *registry;
}

// Loads are one at a time, so that what arrives during one is that library's. Not the registry's
// mutex: the library's constructors take that one to register.
std::mutex gLoadMutex;

std::string Text(CFStringRef string) {
    if (string == nullptr) return "";
    char buffer[4096];
    return CFStringGetCString(string, buffer, sizeof buffer, kCFStringEncodingUTF8) ? buffer : "";
}

void LogSkipped(const std::string &what) {
    CFRef<CFStringRef> message(CFStringCreateWithCString(nullptr, what.c_str(), kCFStringEncodingUTF8));
    PLLog::error(message ? message.get() : CFSTR("a plug-in was skipped"), __LINE__, kLogFile, kLogMethod);
}

bool IsRegularFile(const std::string &path) {
    struct stat st;
    return wfs::RetryOnEintr([&] { return ::stat(path.c_str(), &st); }) == 0 && S_ISREG(st.st_mode);
}

// dlopen, noting what the library registers as it loads. The handle is deliberately never closed.
void *OpenLibrary(const std::string &path, std::vector<PLExtensionClass> &classes, std::string &error) {
    std::lock_guard<std::mutex> loading(gLoadMutex);
    Registry &registry = TheRegistry();
    // A library already in the process (linked into the program, say) ran its constructors before
    // any load of ours: its classes are among the program's.
    void *present = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    if (present != nullptr) ::dlclose(present);  // only the extra reference that the check took
    std::vector<PLExtensionClass> arrived;
    {
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.collecting = &arrived;
    }
    void *handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        const char *why = ::dlerror();
        error = why != nullptr ? why : "unknown error";
    }
    std::lock_guard<std::mutex> lock(registry.mutex);
    registry.collecting = nullptr;
    if (handle == nullptr) return nullptr;
    auto known = registry.byLibrary.find(handle);
    if (present != nullptr && known == registry.byLibrary.end()) {
        classes = registry.program;
    } else {
        std::vector<PLExtensionClass> &mine = registry.byLibrary[handle];
        std::move(arrived.begin(), arrived.end(), std::back_inserter(mine));
        classes = mine;
    }
    return handle;
}

std::optional<PLExtension> Create(const std::vector<PLExtensionClass> &classes, const std::string &name,
                                  const std::string &bundlePath) {
    auto found = std::find_if(classes.begin(), classes.end(),
                              [&](const PLExtensionClass &c) { return c.name == name; });
    if (found == classes.end()) {
        LogSkipped(bundlePath + ": its library registers no extension class " + name + "; the class is skipped");
        return std::nullopt;
    }
    PLExtension extension{name, found->make(), nullptr, nullptr};
    extension.lifecycle = found->asLifecycle(extension.object.get());
    extension.preferencePane = found->asPreferencePane(extension.object.get());
    if (extension.lifecycle == nullptr && extension.preferencePane == nullptr) {
        LogSkipped(bundlePath + ": " + name + " adopts neither the lifecycle nor the preference pane protocol; "
                                              "the class is skipped");
        return std::nullopt;
    }
    return extension;
}

}  // namespace

void PLRegisterExtensionClass(PLExtensionClass extensionClass) {
    Registry &registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    (registry.collecting != nullptr ? *registry.collecting : registry.program).push_back(std::move(extensionClass));
}

PLPlugin::PLPlugin(std::string bundlePath, std::vector<PLExtension> extensions)
    : bundlePath_(std::move(bundlePath)), extensions_(std::move(extensions)) {}

PLPlugin::~PLPlugin() = default;

std::vector<PLLifecycleProtocol *> PLPlugin::lifecycleExtensions() const {
    std::vector<PLLifecycleProtocol *> list;
    for (const PLExtension &extension : extensions_) {
        if (extension.lifecycle != nullptr) list.push_back(extension.lifecycle);
    }
    return list;
}

std::vector<PLPreferencePaneProtocol *> PLPlugin::preferencePaneExtensions() const {
    std::vector<PLPreferencePaneProtocol *> list;
    for (const PLExtension &extension : extensions_) {
        if (extension.preferencePane != nullptr) list.push_back(extension.preferencePane);
    }
    return list;
}

std::unique_ptr<PLPlugin> PLPluginLoader::loadBundle(const std::string &bundlePath) {
    if (!IsRegularFile(bundlePath + "/Contents/Info.plist")) {
        LogSkipped(bundlePath + ": no Contents/Info.plist; the plug-in is skipped");
        return nullptr;
    }
    CFRef<CFStringRef> path(CFStringCreateWithCString(nullptr, bundlePath.c_str(), kCFStringEncodingUTF8));
    CFRef<CFURLRef> url(path ? CFURLCreateWithFileSystemPath(nullptr, path.get(), kCFURLPOSIXPathStyle, true) : nullptr);
    CFRef<CFBundleRef> bundle(url ? CFBundleCreate(nullptr, url.get()) : nullptr);
    if (!bundle) {
        LogSkipped(bundlePath + ": not a bundle folder; the plug-in is skipped");
        return nullptr;
    }
    CFTypeRef executable = CFBundleGetValueForInfoDictionaryKey(bundle.get(), kCFBundleExecutableKey);
    if (executable == nullptr || CFGetTypeID(executable) != CFStringGetTypeID()) {
        LogSkipped(bundlePath + ": Info.plist names no library (CFBundleExecutable); the plug-in is skipped");
        return nullptr;
    }
    CFTypeRef listed = CFBundleGetValueForInfoDictionaryKey(bundle.get(), CFSTR("PLExtensionClasses"));
    if (listed == nullptr || CFGetTypeID(listed) != CFArrayGetTypeID()) {
        LogSkipped(bundlePath + ": Info.plist lists no extension classes (PLExtensionClasses); the plug-in is skipped");
        return nullptr;
    }
    CFRef<CFURLRef> libraryURL(CFBundleCopyExecutableURL(bundle.get()));
    char library[PATH_MAX];
    if (!libraryURL || !CFURLGetFileSystemRepresentation(libraryURL.get(), true, reinterpret_cast<UInt8 *>(library),
                                                         sizeof library)) {
        LogSkipped(bundlePath + ": no library Contents/Linux/" + Text(static_cast<CFStringRef>(executable)) +
                   "; the plug-in is skipped");
        return nullptr;
    }
    std::vector<PLExtensionClass> classes;
    std::string error;
    if (OpenLibrary(library, classes, error) == nullptr) {
        LogSkipped(bundlePath + ": its library does not load (" + error + "); the plug-in is skipped");
        return nullptr;
    }

    std::vector<PLExtension> extensions;
    const auto names = static_cast<CFArrayRef>(listed);
    for (CFIndex i = 0; i < CFArrayGetCount(names); ++i) {
        CFTypeRef name = CFArrayGetValueAtIndex(names, i);
        if (CFGetTypeID(name) != CFStringGetTypeID()) {
            LogSkipped(bundlePath + ": PLExtensionClasses holds something that is not a class name; it is skipped");
            continue;
        }
        if (std::optional<PLExtension> extension = Create(classes, Text(static_cast<CFStringRef>(name)), bundlePath)) {
            extensions.push_back(std::move(*extension));
        }
    }
    return std::make_unique<PLPlugin>(bundlePath, std::move(extensions));
}

std::vector<std::unique_ptr<PLPlugin>> PLPluginLoader::loadPluginsInFolder(const std::string &folder) {
    std::vector<std::string> bundles;
    std::error_code error;
    for (const auto &entry : std::filesystem::directory_iterator(folder, error)) {
        if (entry.path().extension() == ".plugin" && entry.is_directory(error)) bundles.push_back(entry.path().string());
    }
    std::sort(bundles.begin(), bundles.end());
    std::vector<std::unique_ptr<PLPlugin>> plugins;
    for (const std::string &bundle : bundles) {
        if (std::unique_ptr<PLPlugin> plugin = loadBundle(bundle)) plugins.push_back(std::move(plugin));
    }
    return plugins;
}
