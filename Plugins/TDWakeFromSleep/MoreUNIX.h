// MoreUNIX: small plain functions over POSIX descriptors.
//
// Exact reads and writes that wait until they are complete, one open
// descriptor at a time passed over a UNIX-domain stream socket, stream and
// file copies, ignoring SIGPIPE, and the running executable's path.  No
// routine keeps state between calls; every interrupted system call is retried.
//
// Error values are ints: 0 is success, a positive value is an errno value.
// Three of them have fixed meanings here: EPIPE, the peer or file ended before
// the requested bytes arrived; EINVAL, a descriptor message was malformed;
// ENOMEM, the copy buffer could not be allocated.  MoreGetExecutablePath
// alone also returns -1 (buffer too small).
//
// Caller errors (null pointers, negative descriptors, an out-descriptor that is
// not -1 on entry, writing while SIGPIPE is not ignored) stop the process with
// a "failed assertion" report; they are never returned as errors.
#ifndef MORE_UNIX_H
#define MORE_UNIX_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

// 0 if result (the return value of a system call) is not negative, otherwise
// the current errno, which must be non-zero.  Async-signal-safe: it is used in
// a child between vfork and exec.
int MoreUNIXErrno(int result);

// Copies the canonical absolute path of the running executable into execPath.
// *execPathSize is the buffer's size on entry; on a result of 0 or -1 it is set
// to the size needed, counting the terminating NUL.  Results:
//   0   the path, NUL-terminated, is in execPath;
//   -1  the buffer is too small; nothing was copied;
//   >0  an errno value; *execPathSize is left as it was (ENOENT when the
//       running executable has been deleted, so no path names it any more).
// The kernel's record of the executable (/proc/self/exe) is used; where that
// cannot be read, the name the program was executed with (from the auxiliary
// vector) is canonicalised with realpath instead.  That second source is only
// as reliable as the name passed to execve, so the first is always preferred.
int MoreGetExecutablePath(char *execPath, uint32_t *execPathSize);

// Reads exactly bufSize bytes from fd into buf.  0 when all arrived; EPIPE
// when the input ended first; otherwise the failing read's errno.  When
// bytesRead is not null it receives the count read, whatever the result.
// Never asks read for more than the bytes still missing, so nothing that
// follows on a stream (such as a descriptor message) is consumed.
int MoreUNIXRead(int fd, void *buf, size_t bufSize, size_t *bytesRead);

// Writes exactly bufSize bytes from buf to fd.  0 when all went out, otherwise
// the failing write's errno (EPIPE for a vanished peer).  When bytesWritten is
// not null it receives the count written, whatever the result.  SIGPIPE must be
// ignored (MoreUNIXIgnoreSIGPIPE); this is checked on every call.
int MoreUNIXWrite(int fd, const void *buf, size_t bufSize, size_t *bytesWritten);

// Sets the process's SIGPIPE handler to SIG_IGN, keeping the action's mask and
// flags.  0 or the failing sigaction's errno.
int MoreUNIXIgnoreSIGPIPE(void);

// Receives one descriptor sent by MoreUNIXWriteDescriptor on the stream socket
// fd.  *fdRead must be -1 on entry.  0 and the new descriptor (the caller's to
// close, marked close-on-exec) in *fdRead; EPIPE when the peer has closed;
// EINVAL when the message is malformed (any descriptors that came with it are
// closed); otherwise the failing recvmsg's errno.  *fdRead stays -1 on error.
int MoreUNIXReadDescriptor(int fd, int *fdRead);

// Sends fdToWrite over the stream socket fd as one data byte 'D' with one
// SCM_RIGHTS control message.  fdToWrite stays open and the caller's.
// 0 or the failing sendmsg's errno.
int MoreUNIXWriteDescriptor(int fd, int fdToWrite);

// Copies everything from source up to its end into dest, in chunks of 65536
// bytes.  0 on success, ENOMEM when the buffer cannot be allocated, otherwise
// the first failing read's or write's error.  On a socket the end is when the
// peer shuts down its writing side.
int MoreUNIXCopyDescriptorToDescriptor(int source, int dest);

// Copies the file at source (symbolic links followed) to dest: the data, the
// permission bits (without set-user-ID, set-group-ID and sticky) when dest is
// created, and the access and modification times to the microsecond.  An
// existing dest is truncated and keeps its mode and owner.  A partly written
// dest is not removed after a failure.  0 or the first failing step's errno.
int MoreUNIXCopyFile(const char *source, const char *dest);

#ifdef __cplusplus
}
#endif

#endif
