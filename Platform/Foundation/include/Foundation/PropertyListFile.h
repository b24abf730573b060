// A property-list dictionary kept in a file that several processes of one user share: the user's
// defaults, the host's timers. Part of this project's Foundation, not of the platform's API.
//
// Changes are made under an exclusive lock on a separate lock file (<file>.lock) and replace the
// file atomically: a temporary file in the same folder is written and flushed, renamed over the
// file, and the folder flushed, so a reader sees the old file or the new one, never a mix, and a
// crash leaves one of the two. A file whose bytes cannot be read as a property-list dictionary is
// never overwritten in place: it is renamed to <file>.corrupt-<UTC time> (logged through
// wfs::foundation::Log) and counts as empty. Failures that say nothing about the bytes (no memory,
// no descriptors, no permission, I/O errors) are reported and leave the file alone.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <Support/CFRef.h>

#include <functional>
#include <string>

#include <sys/types.h>

namespace wfs::foundation {

class PropertyListFile {
public:
    // Changes `contents` (the file's dictionary, empty for a new file) and answers whether it
    // changed anything; only then is the file written.
    using Change = std::function<bool(CFMutableDictionaryRef contents)>;

    // The file at `path`, an absolute path; its folder is made (mode 0700) when a change needs it.
    explicit PropertyListFile(std::string path);

    const std::string &path() const noexcept { return path_; }

    // 0 and the dictionary the file holds (empty when there is no file), or an errno value.
    int Read(CFRef<CFDictionaryRef> &contents) const;

    // Under the lock: reads the file, lets `change` work on a mutable copy and, when it answers
    // true, writes the result. 0 and (when `after` is given) what the file holds afterwards, or
    // the errno of the first failure, with the file as it was.
    int Update(const Change &change, CFRef<CFDictionaryRef> *after = nullptr) const;

private:
    std::string path_;
};

// Replaces the file at `path` with `size` bytes atomically, the same way: a temporary file beside
// it (<path>.tmp-XXXXXX, no name a reader of *.plist or *.desktop files picks up) with `mode`,
// written, flushed, renamed over `path`, and the folder flushed. 0 or the errno of the first
// failure, with the file as it was and no temporary left.
int ReplaceFileAtomically(const std::string &path, const void *bytes, size_t size, mode_t mode = 0600);

}  // namespace wfs::foundation
