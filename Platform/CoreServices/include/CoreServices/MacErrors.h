/* The file and folder services' result codes, and the one mapping from errno values to them.
   noErr, paramErr, memFullErr and coreFoundationUnknownErr come from <CoreFoundation/MacTypes.h>. */
#pragma once

#include <CoreFoundation/MacTypes.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    dskFulErr = -34,       /* no space left on the volume */
    nsvErr = -35,          /* no such volume (an unknown volume selector) */
    ioErr = -36,           /* any other input/output failure */
    bdNamErr = -37,        /* a name that cannot name a file here */
    tmfoErr = -42,         /* too many open files */
    fnfErr = -43,          /* file or folder not found */
    wPrErr = -44,          /* volume write-protected */
    fLckdErr = -45,        /* file locked */
    vLckdErr = -46,        /* volume locked */
    fBsyErr = -47,         /* busy: a folder that is not empty, a file in use */
    dupFNErr = -48,        /* the name exists already */
    rfNumErr = -51,        /* bad descriptor */
    permErr = -54,         /* operation not permitted */
    wrPermErr = -61,       /* write permission denied (read-only file system) */
    dirNFErr = -120,       /* a folder was expected and is not there */
    notAFileErr = -1302,   /* a folder where a file was expected */
    diffVolErr = -1303,    /* the objects are on different volumes */
    buffersTooSmall = -3205, /* the caller's buffer cannot hold the result */
    afpAccessDenied = -5000  /* access denied */
};

/* The result code for an errno value:
     0 -> noErr               ENOENT -> fnfErr           ENOTDIR -> dirNFErr
     EEXIST -> dupFNErr       ENOTEMPTY, EBUSY, ETXTBSY -> fBsyErr
     EACCES -> afpAccessDenied                           EPERM -> permErr
     EROFS -> wrPermErr       ENAMETOOLONG -> bdNamErr   EINVAL -> paramErr
     ENOMEM -> memFullErr     ENOSPC, EDQUOT -> dskFulErr
     EMFILE, ENFILE -> tmfoErr                           EBADF -> rfNumErr
     EISDIR -> notAFileErr    EXDEV -> diffVolErr        ENODEV, ENXIO -> nsvErr
     ELOOP -> fnfErr          anything else -> ioErr
   Every call of this library that fails in the file system reports through it. */
OSErr WFSOSErrFromErrno(int error);

#ifdef __cplusplus
}
#endif
