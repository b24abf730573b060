// MoreGetExecutablePath: the canonical path of the running executable.

#include "MoreUNIX.h"
#include "MoreUNIXInternal.h"

#include "MoreAssert.h"

#include <cerrno>
#include <climits>
#include <cstring>
#include <string>
#include <string_view>

#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char kSelfExe[] = "/proc/self/exe";

// Linux cannot report a link target longer than a page, so this bounds the loop.
constexpr size_t kMaxLinkSize = 1 << 16;

// The size protocol shared by both ways: store the needed size (with the NUL);
// copy only when it fits.
int StorePath(std::string_view path, char *execPath, uint32_t *execPathSize)
{
    if (path.size() >= UINT32_MAX) return ENAMETOOLONG;
    uint32_t needed = static_cast<uint32_t>(path.size() + 1);
    bool fits = needed <= *execPathSize;
    if (fits) {
        std::memcpy(execPath, path.data(), path.size());
        execPath[path.size()] = '\0';
    }
    *execPathSize = needed;
    return fits ? 0 : -1;
}

bool SameFile(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Reads the /proc/self/exe link into target.  0, or the errno of the failure.
int ReadSelfExeLink(std::string &target)
{
    // readlink neither NUL-terminates nor reports truncation: a result that
    // fills the whole buffer may have been cut, so grow and read again.
    for (size_t size = PATH_MAX; size <= kMaxLinkSize; size *= 2) {
        target.resize(size);
        ssize_t length = readlink(kSelfExe, target.data(), size);
        if (length < 0) return MoreUNIXErrno(-1);
        if (static_cast<size_t>(length) < size) {
            target.resize(static_cast<size_t>(length));
            return 0;
        }
    }
    return ENAMETOOLONG;
}

enum class ProcResult { kDone, kUnavailable };

// The /proc way.  kUnavailable means /proc could not be read at all (not
// mounted, or hidden), so the caller may try another source; otherwise
// *result holds the answer.
ProcResult PathFromProc(char *execPath, uint32_t *execPathSize, int *result)
{
    std::string target;
    int err = ReadSelfExeLink(target);
    if (err != 0) {
        *result = err;
        return ProcResult::kUnavailable;
    }

    // When the running file has been unlinked (replaced by an update, say) the
    // kernel appends " (deleted)" to its old path.  That string names no file,
    // or a different one, and a privileged tool must not act on it, so the
    // answer is ENOENT.  A file whose real name ends that way is told apart by
    // comparing it with the running image, which /proc/self/exe still reaches.
    constexpr std::string_view kDeleted = " (deleted)";
    if (target.ends_with(kDeleted)) {
        struct stat running, named;
        if (stat(kSelfExe, &running) != 0) {
            *result = MoreUNIXErrno(-1);
            return ProcResult::kDone;
        }
        if (stat(target.c_str(), &named) != 0 || !SameFile(running, named)) {
            *result = ENOENT;
            return ProcResult::kDone;
        }
    }
    *result = StorePath(target, execPath, execPathSize);
    return ProcResult::kDone;
}

}  // namespace

extern "C" int MoreGetExecutablePathFromProc(char *execPath, uint32_t *execPathSize)
{
    MoreAssertQ(execPath != NULL);
    MoreAssertQ(execPathSize != NULL);
    int result = 0;
    (void) PathFromProc(execPath, execPathSize, &result);
    return result;
}

extern "C" int MoreGetExecutablePathFromAuxv(char *execPath, uint32_t *execPathSize)
{
    MoreAssertQ(execPath != NULL);
    MoreAssertQ(execPathSize != NULL);

    // The kernel places the file name given to execve on the new process's
    // stack and points AT_EXECFN at it.  It may be relative to the working
    // directory of that moment, which is why /proc is preferred.
    errno = 0;
    const char *executed = reinterpret_cast<const char *>(getauxval(AT_EXECFN));
    if (executed == nullptr) return ENOENT;

    char canonical[PATH_MAX];
    if (realpath(executed, canonical) == nullptr) {
        int err = errno;
        MoreAssertQ(err != 0);
        return err;
    }
    return StorePath(canonical, execPath, execPathSize);
}

extern "C" int MoreGetExecutablePath(char *execPath, uint32_t *execPathSize)
{
    MoreAssertQ(execPath != NULL);
    MoreAssertQ(execPathSize != NULL);

    int result = 0;
    if (PathFromProc(execPath, execPathSize, &result) == ProcResult::kDone) return result;
    return MoreGetExecutablePathFromAuxv(execPath, execPathSize);
}
