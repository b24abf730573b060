// The root-owned file that holds the scheduled events. Not installed.
//
// Changes are serialized by an exclusive flock on a separate lock file beside the store
// ("<store>.lock", never removed, so every process locks the same inode). A change writes a new
// document to a unique temporary file in the same folder, fsyncs it, renames it over the store
// and fsyncs the folder: after a crash the store is the old or the new document, never a mix.
// Readers that only list take no lock: the rename makes each open see one whole document.
#pragma once

#include "PowerEvent.h"

#include <IOKit/IOReturn.h>
#include <Support/UniqueFd.h>

#include <string>
#include <vector>

namespace wfs::iokit {

// The store is a few hundred bytes per event; anything larger than this is not ours.
inline constexpr size_t kMaxStoreBytes = 8u << 20;

IOReturn IOReturnFromErrno(int error);

// How long a change waits for another one to finish. A change holds the lock for milliseconds, and
// its holder runs as root, out of reach of the user who started it; a lock held longer than this
// means something is stuck, and waiting for ever would stop every later schedule, cancel and the
// boot-time re-arm with it.
inline constexpr int kLockTimeoutMilliseconds = 3000;

// Holds the exclusive lock for as long as it lives.
class StoreLock {
public:
    // Creates the store's folder (0755) if it is missing, checks that only its owner (root) can
    // write to it, and waits for the lock, at most kLockTimeoutMilliseconds (kIOReturnBusy then).
    // Once it holds the lock it removes the temporary files that writers killed mid-change left
    // behind: under the lock no other writer can be using one.
    static IOReturn Acquire(const std::string &storePath, StoreLock &lock);
    bool held() const { return static_cast<bool>(fd_); }

private:
    UniqueFd fd_;
};

// Reads the events under the lock. A store that is missing reads as empty. One whose bytes are not
// a store (they do not parse, or the file is too large, not a regular file, or a link) is renamed
// to "<store>.corrupt-<UTC time>[-N]" (kept for inspection, never deleted) and reads as empty;
// `movedAside` then names it. Any other failure (out of memory, out of descriptors, a read error)
// says nothing about the store: the call fails and the store stays where it is.
IOReturn LoadEventsLocked(const StoreLock &lock, const std::string &storePath,
                          std::vector<PowerEvent> &events, std::string *movedAside = nullptr);

// Replaces the store atomically with `events` (file 0644, owner root).
IOReturn SaveEventsLocked(const StoreLock &lock, const std::string &storePath,
                          const std::vector<PowerEvent> &events);

// Reads the events without a lock, for listing. 0; ENOENT when there is no store; EINVAL when the
// store is not one (see LoadEventsLocked), EFBIG when it is too large; or the errno of the failure
// (ENOMEM among them).
int ReadEventsUnlocked(const std::string &storePath, std::vector<PowerEvent> &events);

}  // namespace wfs::iokit
