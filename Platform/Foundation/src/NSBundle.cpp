// The main bundle, the bundle a class was loaded from, and localized strings from gettext.
#include <Foundation/NSBundle.h>

#include "FoundationInternal.h"

#include <dlfcn.h>
#include <libintl.h>
#include <sys/auxv.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <map>
#include <memory>

namespace {

using wfs::CFRef;

std::mutex gBundlesMutex;

// Every bundle handed out, by folder; kept for the life of the process, as callers hold them as
// plain pointers.
std::map<std::string, NSBundle *> &Bundles() {
    static auto *const bundles = new std::map<std::string, NSBundle *>;
    return *bundles;
}

std::optional<std::string> RealPath(const char *path) {
    if (path == nullptr || path[0] == '\0') return std::nullopt;
    std::unique_ptr<char, decltype(&std::free)> resolved(::realpath(path, nullptr), &std::free);
    if (!resolved) return std::nullopt;
    return std::string(resolved.get());
}

std::string Parent(const std::string &path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos || slash == 0 ? "/" : path.substr(0, slash);
}

std::string LastComponent(const std::string &path) { return path.substr(path.rfind('/') + 1); }

// The base address of the object that holds `address`, or null.
const void *ObjectBase(const void *address) {
    Dl_info info;
    return ::dladdr(address, &info) != 0 ? info.dli_fbase : nullptr;
}

// The folder of the plug-in bundle that holds the library at `library`: the nearest
// <Name>.plugin above a "Contents" folder on its path; else the library's own folder.
std::string BundleFolderOf(const std::string &library) {
    for (std::string folder = Parent(library); folder != "/"; folder = Parent(folder)) {
        if (LastComponent(folder) != "Contents") continue;
        const std::string bundle = Parent(folder);
        if (LastComponent(bundle).ends_with(".plugin")) return bundle;
    }
    return Parent(library);
}

}  // namespace

NSBundle::NSBundle(CFRef<CFBundleRef> bundle) : bundle_(std::move(bundle)) {}

NSBundle *NSBundle::mainBundle() {
    static NSBundle *const main = [] {
        CFBundleRef bundle = CFBundleGetMainBundle();
        if (bundle != nullptr) return new NSBundle(CFRef<CFBundleRef>::Retain(bundle));
        // Only when /proc/self/exe cannot be read: the working folder stands in, and without a
        // folder there the bundle is empty (no path, no identifier, no strings).
        CFRef<CFURLRef> here(CFURLCreateWithFileSystemPath(nullptr, CFSTR("."), kCFURLPOSIXPathStyle, true));
        return new NSBundle(CFRef<CFBundleRef>(here ? CFBundleCreate(nullptr, here.get()) : nullptr));
    }();
    return main;
}

NSBundle *NSBundle::BundleAt(const std::string &folder) {
    std::lock_guard<std::mutex> lock(gBundlesMutex);
    auto found = Bundles().find(folder);
    if (found != Bundles().end()) return found->second;
    CFRef<CFStringRef> path = wfs::foundation::MakeString(folder);
    CFRef<CFURLRef> url(path ? CFURLCreateWithFileSystemPath(nullptr, path.get(), kCFURLPOSIXPathStyle, true) : nullptr);
    CFRef<CFBundleRef> bundle(url ? CFBundleCreate(nullptr, url.get()) : nullptr);
    if (!bundle) return nullptr;
    NSBundle *made = new NSBundle(std::move(bundle));
    Bundles().emplace(folder, made);
    return made;
}

NSBundle *NSBundle::bundleForClass(const NSClass &cls) {
    Dl_info info;
    if (::dladdr(cls.anchor(), &info) == 0) return mainBundle();
    // The program itself: its entry point lies in it. (For the program, dladdr's file name is
    // whatever it was started as, so the object is compared by base address instead.)
    if (info.dli_fbase == ObjectBase(reinterpret_cast<const void *>(::getauxval(AT_ENTRY)))) return mainBundle();
    const std::optional<std::string> library = RealPath(info.dli_fname);
    if (!library) return mainBundle();
    NSBundle *bundle = BundleAt(BundleFolderOf(*library));
    return bundle != nullptr ? bundle : mainBundle();
}

CFRef<CFStringRef> NSBundle::bundlePath() const {
    if (!bundle_) return CFRef<CFStringRef>();
    CFRef<CFURLRef> url(CFBundleCopyBundleURL(bundle_.get()));
    return CFRef<CFStringRef>(url ? CFURLCopyFileSystemPath(url.get(), kCFURLPOSIXPathStyle) : nullptr);
}

CFRef<CFStringRef> NSBundle::bundleIdentifier() const {
    return CFRef<CFStringRef>::Retain(bundle_ ? CFBundleGetIdentifier(bundle_.get()) : nullptr);
}

CFRef<CFDictionaryRef> NSBundle::infoDictionary() const {
    return CFRef<CFDictionaryRef>::Retain(bundle_ ? CFBundleGetInfoDictionary(bundle_.get()) : nullptr);
}

CFRef<CFStringRef> NSBundle::localizedStringForKey(CFStringRef key, CFStringRef value, CFStringRef table) const {
    FOUNDATION_ASSERT(key != nullptr);
    auto untranslated = [&] {
        return CFRef<CFStringRef>::Retain(value != nullptr && CFStringGetLength(value) > 0 ? value : key);
    };
    const std::optional<std::string> identifier = wfs::foundation::UTF8(bundleIdentifier().get());
    const std::optional<std::string> msgid = wfs::foundation::UTF8(key);
    if (!identifier || identifier->empty() || !msgid) return untranslated();
    // gettext's text domains are process-wide, so each bundle's catalogue gets a domain named
    // after the bundle: two plug-ins with a "Localizable" table must not share one.
    std::string domain = *identifier;
    if (table != nullptr && CFStringGetLength(table) > 0 && !CFEqual(table, CFSTR("Localizable"))) {
        const std::optional<std::string> tableName = wfs::foundation::UTF8(table);
        if (!tableName) return untranslated();
        domain += "." + *tableName;
    }
    {
        std::lock_guard<std::mutex> lock(textDomainsMutex_);
        if (boundTextDomains_.insert(domain).second) {
            CFRef<CFURLRef> resources(CFBundleCopyResourcesDirectoryURL(bundle_.get()));
            char folder[PATH_MAX];
            if (!resources || !CFURLGetFileSystemRepresentation(resources.get(), true,
                                                                reinterpret_cast<UInt8 *>(folder), sizeof folder)) {
                return untranslated();
            }
            ::bindtextdomain(domain.c_str(), (std::string(folder) + "/locale").c_str());
            ::bind_textdomain_codeset(domain.c_str(), "UTF-8");
        }
    }
    // dgettext answers its own argument when the catalogue has no translation.
    const char *translated = ::dgettext(domain.c_str(), msgid->c_str());
    if (translated == msgid->c_str()) return untranslated();
    CFRef<CFStringRef> result = wfs::foundation::MakeString(translated);
    return result ? std::move(result) : untranslated();
}
