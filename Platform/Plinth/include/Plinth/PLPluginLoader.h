// Loading plug-in bundles and creating their extensions.
//
// A plug-in bundle is <Name>.plugin/Contents/{Info.plist, Linux/<library>, Resources/}. The
// Info.plist names the library (CFBundleExecutable) and lists the extension classes to create
// (PLExtensionClasses, an array of class names). The library registers those classes by name when
// it is loaded, with PL_REGISTER_EXTENSION_CLASS in one of its sources.
#pragma once

#include <Foundation/Foundation.h>
#include <Plinth/PLLifecycleProtocol.h>
#include <Plinth/PLPreferencePaneProtocol.h>

#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

// An extension class as its library registers it.
struct PLExtensionClass {
    std::string name;
    std::function<std::unique_ptr<NSObject>()> make;
    // The object seen through each protocol; null when the class does not adopt it.
    PLLifecycleProtocol *(*asLifecycle)(NSObject *object);
    PLPreferencePaneProtocol *(*asPreferencePane)(NSObject *object);
};

// Registers an extension class of the library being loaded (or, outside a load, of the program).
void PLRegisterExtensionClass(PLExtensionClass extensionClass);

template <typename T>
class PLExtensionRegistrar {
public:
    explicit PLExtensionRegistrar(const char *name) {
        PLRegisterExtensionClass({name, [] { return std::unique_ptr<NSObject>(new T); }, &AsLifecycle, &AsPreferencePane});
    }

private:
    static PLLifecycleProtocol *AsLifecycle(NSObject *object) {
        if constexpr (std::is_base_of_v<PLLifecycleProtocol, T>) return static_cast<T *>(object);
        else return nullptr;
    }
    static PLPreferencePaneProtocol *AsPreferencePane(NSObject *object) {
        if constexpr (std::is_base_of_v<PLPreferencePaneProtocol, T>) return static_cast<T *>(object);
        else return nullptr;
    }
};

#define PL_REGISTER_EXTENSION_CLASS(Class) \
    static const PLExtensionRegistrar<Class> plExtensionRegistrarOf##Class(#Class)

// One extension object of a loaded plug-in.
struct PLExtension {
    std::string className;
    std::unique_ptr<NSObject> object;
    PLLifecycleProtocol *lifecycle = nullptr;            // into `object`, when it adopts the protocol
    PLPreferencePaneProtocol *preferencePane = nullptr;  // likewise
};

// A loaded plug-in: its extensions, destroyed with it. Its library stays loaded for the life of
// the process, since what the plug-in registered elsewhere (observers, a shared instance) points
// into its code.
class PLPlugin {
public:
    PLPlugin(std::string bundlePath, std::vector<PLExtension> extensions);
    ~PLPlugin();
    PLPlugin(const PLPlugin &) = delete;
    PLPlugin &operator=(const PLPlugin &) = delete;

    const std::string &bundlePath() const noexcept { return bundlePath_; }
    const std::vector<PLExtension> &extensions() const noexcept { return extensions_; }
    std::vector<PLLifecycleProtocol *> lifecycleExtensions() const;
    std::vector<PLPreferencePaneProtocol *> preferencePaneExtensions() const;

private:
    std::string bundlePath_;
    std::vector<PLExtension> extensions_;
};

class PLPluginLoader {
public:
    // Loads the bundle's library (dlopen, RTLD_NOW | RTLD_LOCAL) and creates the listed extension
    // classes. A bundle without Info.plist, without its library, with a library that does not load
    // or that lists no extension classes is logged with the reason and answers null; a listed class
    // that the library does not register is logged and skipped, the others are created.
    static std::unique_ptr<PLPlugin> loadBundle(const std::string &bundlePath);
    // Every <Name>.plugin folder in `folder`, in name order, skipping those that do not load.
    static std::vector<std::unique_ptr<PLPlugin>> loadPluginsInFolder(const std::string &folder);
};
