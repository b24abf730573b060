// Opening the helper tool so that what is checked, and later run, is a file that only root and the
// invoking user could have put there.
//
// A set-user-ID tool is only as safe as the folders that lead to it: whoever can write to any of
// them can swap the tool, or a folder on its way, for something of their own between our look and
// the program's start. So the path is followed one component at a time, each opened relative to
// the one before without following links, and each is checked on its open descriptor. Links along
// the path as given are resolved first (a home folder reached through a link is common); the walk
// then checks the canonical path, so the folders that count are the real ones.

#include "MoreSecurityInternal.h"

#include "MoreAssert.h"
#include "MoreUNIX.h"

#include <Support/Eintr.h>
#include <Support/UniqueFd.h>

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

namespace {

bool OwnedByRootOrUser(const struct stat &st, uid_t user)
{
    return st.st_uid == 0 || st.st_uid == user;
}

// A folder on the way: root's or the user's, and writable by no one else, unless it is sticky
// (as /tmp is), where others may add entries but cannot remove or rename ours.
bool IsSafeFolder(const struct stat &st, uid_t user)
{
    if (!S_ISDIR(st.st_mode) || !OwnedByRootOrUser(st, user)) return false;
    return (st.st_mode & (S_IWGRP | S_IWOTH)) == 0 || (st.st_mode & S_ISVTX) != 0;
}

int Stat(int fd, struct stat *st)
{
    return MoreUNIXErrno(fstat(fd, st));
}

}  // namespace

extern "C" int OpenPathSafely(const char *path, uid_t user, int *fd, struct stat *finalStat)
{
    MoreAssertQ(path != NULL);
    MoreAssertQ(fd != NULL);
    MoreAssertQ(*fd == -1);
    MoreAssertQ(finalStat != NULL);

    // realpath allocates with malloc and answers ENOMEM itself: no exception can leave this
    // C entry point.
    struct FreeDeleter {
        void operator()(char *p) const noexcept { free(p); }
    };
    std::unique_ptr<char, FreeDeleter> canonical(realpath(path, NULL));
    if (!canonical) return MoreUNIXErrno(-1);
    char *next = canonical.get();
    if (next[0] != '/' || next[1] == '\0') return EINVAL;

    // O_PATH: nothing is read, so a folder or tool that the user cannot read is still checked,
    // and a FIFO or device planted on the way is never opened for real.
    wfs::UniqueFd current(wfs::RetryOnEintr([] { return open("/", O_PATH | O_DIRECTORY | O_CLOEXEC); }));
    if (!current) return MoreUNIXErrno(-1);
    struct stat st;
    int err = Stat(current.get(), &st);
    if (err != 0) return err;
    if (!IsSafeFolder(st, user)) return EPERM;

    // Each component in turn, cut out of the canonical path in place.
    for (char *name = next + 1;;) {
        char *slash = strchr(name, '/');
        const bool last = (slash == NULL);
        if (!last) *slash = '\0';
        if (name[0] == '\0') return EINVAL;  // realpath leaves no empty component
        // O_NOFOLLOW with O_PATH opens a link itself rather than failing; the type check below
        // then refuses it, since a link here was put there after realpath looked.
        const int flags = O_PATH | O_NOFOLLOW | O_CLOEXEC | (last ? 0 : O_DIRECTORY);
        wfs::UniqueFd opened(wfs::RetryOnEintr([&] { return openat(current.get(), name, flags); }));
        if (!opened) return MoreUNIXErrno(-1);
        err = Stat(opened.get(), &st);
        if (err != 0) return err;
        if (last) {
            const bool safe = S_ISDIR(st.st_mode) ? IsSafeFolder(st, user)
                                                  : S_ISREG(st.st_mode) && OwnedByRootOrUser(st, user) &&
                                                        (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
            if (!safe) return EPERM;
            *finalStat = st;
            *fd = opened.release();
            return 0;
        }
        if (!IsSafeFolder(st, user)) return EPERM;
        current = std::move(opened);
        name = slash + 1;
    }
}
