// Assertions for caller errors in the plug-in's plain-function modules.
//
// MoreAssertQ(expr) stops the process when expr is false, after printing
// "<file>:<line>: failed assertion `<expr>'" and a newline on standard error.
// It marks caller errors only (null pointers, negative descriptors,
// out-parameters that are not empty on entry); data from a peer or from the
// file system is checked and reported as an error value instead.
//
// Unlike assert(), it stays on in every build: the helper tool is set-user-ID
// root, and a broken precondition there must never run on with bad state.
// The report is built on the stack and written with one write(2) rather than
// through stdio, so the check is usable in a child between vfork and exec and
// in a process whose stdio buffers are in an unknown state.
//
// Header-only, so every module can use it without linking anything.
#ifndef MORE_ASSERT_H
#define MORE_ASSERT_H

#include <stdlib.h>
#include <string.h>
#include <unistd.h>

__attribute__((noreturn, cold)) static inline void MoreAssertFailed(const char *file,
                                                                     unsigned int line,
                                                                     const char *expr)
{
    char report[1024];
    size_t used = 0;
    // Appends as much of text as fits, keeping one byte for the newline.
    #define MORE_ASSERT_APPEND(text)                                             \
        do {                                                                     \
            const char *p_ = (text);                                             \
            size_t n_ = strlen(p_);                                              \
            if (n_ > sizeof(report) - 1 - used) n_ = sizeof(report) - 1 - used;  \
            memcpy(report + used, p_, n_);                                       \
            used += n_;                                                          \
        } while (0)

    char digits[16];
    size_t d = sizeof(digits);
    digits[--d] = '\0';
    do {
        digits[--d] = (char) ('0' + line % 10);
        line /= 10;
    } while (line != 0 && d > 0);

    MORE_ASSERT_APPEND(file);
    MORE_ASSERT_APPEND(":");
    MORE_ASSERT_APPEND(digits + d);
    MORE_ASSERT_APPEND(": failed assertion `");
    MORE_ASSERT_APPEND(expr);
    MORE_ASSERT_APPEND("'");
    #undef MORE_ASSERT_APPEND
    report[used++] = '\n';

    // Nothing useful can be done if standard error is gone; abort regardless.
    ssize_t ignored = write(STDERR_FILENO, report, used);
    (void) ignored;
    abort();
}

#define MoreAssertQ(expr) \
    ((expr) ? (void) 0 : MoreAssertFailed(__FILE__, (unsigned int) __LINE__, #expr))

#endif
