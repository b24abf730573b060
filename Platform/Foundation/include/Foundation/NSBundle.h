// Bundles as the classes of a program see them: the program's own, and the one a class was
// loaded from; their identity, information and localized strings.
#pragma once

#include <Foundation/NSObject.h>
#include <Support/CFRef.h>

#include <mutex>
#include <set>
#include <string>

class NSBundle : public NSObject {
public:
    // The running program's bundle. Never null: a program that cannot find its own executable
    // gets its working folder's bundle, or an empty one.
    static NSBundle *mainBundle();
    // The bundle whose code holds `cls`: the main bundle for a class of the program; for a class
    // of a shared library, the enclosing <Name>.plugin of the library's .../Contents/... path, or
    // the library's own folder when it is in no plug-in bundle. Made once per bundle folder and
    // kept for the life of the process, like the main bundle.
    static NSBundle *bundleForClass(const NSClass &cls);

    wfs::CFRef<CFStringRef> bundlePath() const;
    // CFBundleIdentifier, or null.
    wfs::CFRef<CFStringRef> bundleIdentifier() const;
    wfs::CFRef<CFDictionaryRef> infoDictionary() const;
    CFBundleRef CFBundle() const noexcept { return bundle_.get(); }

    // The translation of `key` from the bundle's gettext catalogue for the user's language:
    // Resources/locale/<language>/LC_MESSAGES/<bundle identifier>.mo, or <bundle identifier>.<table>.mo
    // for a named table. Without a translation: `value`, or `key` when `value` is null or empty.
    wfs::CFRef<CFStringRef> localizedStringForKey(CFStringRef key, CFStringRef value, CFStringRef table) const;

private:
    explicit NSBundle(wfs::CFRef<CFBundleRef> bundle);
    static NSBundle *BundleAt(const std::string &folder);

    wfs::CFRef<CFBundleRef> bundle_;
    mutable std::mutex textDomainsMutex_;
    mutable std::set<std::string> boundTextDomains_;
};
