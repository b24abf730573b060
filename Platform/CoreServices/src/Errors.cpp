// The one translation from errno values to the file services' result codes.
#include "FileSupport.h"

#include <cerrno>

extern "C" OSErr WFSOSErrFromErrno(int error) {
    switch (error) {
    case 0: return noErr;
    case ENOENT:
    case ELOOP: return fnfErr;
    case ENOTDIR: return dirNFErr;
    case EEXIST: return dupFNErr;
    case ENOTEMPTY:
    case EBUSY:
    case ETXTBSY: return fBsyErr;
    case EACCES: return afpAccessDenied;
    case EPERM: return permErr;
    case EROFS: return wrPermErr;
    case ENAMETOOLONG: return bdNamErr;
    case EINVAL: return paramErr;
    case ENOMEM: return memFullErr;
    case ENOSPC:
    case EDQUOT: return dskFulErr;
    case EMFILE:
    case ENFILE: return tmfoErr;
    case EBADF: return rfNumErr;
    case EISDIR: return notAFileErr;
    case EXDEV: return diffVolErr;
    case ENODEV:
    case ENXIO: return nsvErr;
    default: return ioErr;
    }
}
