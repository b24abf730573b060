// The timers in ${XDG_CONFIG_HOME:-~/.config}/tidemark/timers.plist: a property-list dictionary
// whose "timers" entry lists one dictionary per timer. The file is shared by the running host and
// any number of command-line runs, so every change goes through the property-list file helper:
// made under the file's lock, written to a temporary file and renamed into place; a file that is
// not a property-list dictionary is moved aside (and logged), never overwritten.
//
// An entry that is not a timer this program can read (written by hand, or by a later version) is
// kept in the file exactly as it is, and neither rings nor shows.
#pragma once

#include "TimerStore.h"

#include <Foundation/PropertyListFile.h>
#include <Support/CFRef.h>

#include <optional>
#include <string>
#include <vector>

namespace tidemark {

// The timers of a file, and its entries that are not readable timers.
struct StoredTimers {
    std::vector<Timer> timers;
    std::vector<wfs::CFRef<CFTypeRef>> unreadable;
};

// ${XDG_CONFIG_HOME:-$HOME/.config}/tidemark/timers.plist; nothing without a home folder.
std::optional<std::string> TimersPath();

// The timers under "timers" in `contents`; false (with `error`) when that entry is there but is not
// a list, which no write may replace.
bool DecodeTimers(CFDictionaryRef contents, StoredTimers &stored, std::string &error);
// Sets "timers" in `contents`: the timers, then the unreadable entries. Throws std::bad_alloc.
void EncodeTimers(const StoredTimers &stored, CFMutableDictionaryRef contents);

class TimerFile : public TimerStore {
public:
    explicit TimerFile(std::string path);

    const std::string &path() const { return file_.path(); }

    // The file as it is now; false (with `error`) when it could not be read.
    bool load(StoredTimers &stored, std::string &error) const;

    bool update(const std::function<bool(std::vector<Timer> &timers)> &edit, std::string &error) override;

private:
    wfs::foundation::PropertyListFile file_;
};

}  // namespace tidemark
