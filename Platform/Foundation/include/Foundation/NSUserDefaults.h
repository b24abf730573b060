// A user's defaults: one property-list dictionary per domain, kept in a file of its own.
#pragma once

#include <Foundation/NSObject.h>
#include <Foundation/PropertyListFile.h>
#include <Support/CFRef.h>

#include <memory>
#include <mutex>
#include <string>

// The values of one defaults domain. Reads and changes are served from memory; synchronize
// merges the changes made here since the last synchronize into the file as it is then (so another
// process's changes to other keys survive) and reads back the result.
class NSUserDefaults : public NSObject {
public:
    // The main bundle's domain (the process name for a program without a bundle identifier), kept
    // in ${XDG_CONFIG_HOME:-$HOME/.config}/<process name>/<domain>.plist. Made on first use.
    static std::shared_ptr<NSUserDefaults> standardUserDefaults();
    // Synchronizes the standard defaults and lets them go: the next standardUserDefaults() starts
    // afresh, from the environment of that moment.
    static void resetStandardUserDefaults();

    // The domain kept in the property-list file at `path` (an absolute path).
    explicit NSUserDefaults(std::string path);
    ~NSUserDefaults() override;

    // The value under `key`, or null.
    wfs::CFRef<CFPropertyListRef> objectForKey(CFStringRef key);
    // Stores a copy of `value`, which must be a property-list object (anything else stops the
    // process with an assertion report). A null value removes the key.
    void setObject(CFPropertyListRef value, CFStringRef key);
    void removeObjectForKey(CFStringRef key);
    // Writes this process's changes out and takes in everyone else's. false when the file could
    // not be read or written; the changes are then kept for the next synchronize.
    bool synchronize();

    const std::string &path() const noexcept { return file_.path(); }

private:
    bool loadLocked();

    mutable std::mutex mutex_;
    wfs::foundation::PropertyListFile file_;
    bool loaded_ = false;
    // The file as last read, and the changes made here since: key -> value, or kCFNull for a
    // removed key.
    wfs::CFRef<CFDictionaryRef> stored_;
    wfs::CFRef<CFMutableDictionaryRef> changes_;
};
