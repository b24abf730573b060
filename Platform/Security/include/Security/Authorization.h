/*
 * Authorization Services: authorization references and their external form.
 *
 * An authorization stands for one user's standing to run a program as root.
 * On this system the decision is made by polkit at the moment of the
 * privileged launch (pkexec asks the user, or refuses); an authorization does
 * not carry a pre-approved credential.  What it does carry is an identity:
 * refs made from the same authorization, in this process or another, share it.
 *
 * External form (AuthorizationExternalForm, 32 bytes), how an authorization
 * travels between processes:
 *     bytes  0..3   the marker "WFSa"
 *     byte   4      the format version, 1
 *     bytes  5..7   zero
 *     bytes  8..31  24 random bytes (getrandom) that identify the authorization
 * A form without the marker, with another version or with non-zero reserved
 * bytes is refused with errAuthorizationInvalidRef.  The form is NOT a secret
 * capability here: whoever holds it gains nothing that polkit would not ask
 * for again at launch time.  It only lets a helper process speak of the same
 * authorization as its client.
 *
 * Rights: a right is granted to an authorization (by identity) and remembered
 * in the process that granted it.  The caller running as root holds every
 * right, so a request to extend rights is granted at once.  For other users a
 * request to extend rights on a new reference is deferred to the privileged
 * launch, where polkit decides; a pure check (no reference asked for) cannot
 * be answered in advance and is refused.  kAuthorizationFlagDestroyRights
 * makes this process forget what was granted to the authorization.
 *
 * The privileged launch (AuthorizationExecuteWithPrivileges,
 * AuthorizationCopyPrivilegedReference) lives in its own part of this header
 * and library, below.
 */
#pragma once

#include <CoreFoundation/MacTypes.h>

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    errAuthorizationSuccess = 0,
    errAuthorizationInvalidSet = -60001,
    errAuthorizationInvalidRef = -60002,
    errAuthorizationInvalidTag = -60003,
    errAuthorizationInvalidPointer = -60004,
    errAuthorizationDenied = -60005,
    errAuthorizationCanceled = -60006,
    errAuthorizationInteractionNotAllowed = -60007,
    errAuthorizationInternal = -60008,
    errAuthorizationExternalizeNotAllowed = -60009,
    errAuthorizationInternalizeNotAllowed = -60010,
    errAuthorizationInvalidFlags = -60011,
    errAuthorizationToolExecuteFailure = -60031,
    errAuthorizationToolEnvironmentError = -60032,
    errAuthorizationBadAddress = -60033
};

typedef UInt32 AuthorizationFlags;

enum {
    kAuthorizationFlagDefaults = 0,
    kAuthorizationFlagInteractionAllowed = (1 << 0),
    kAuthorizationFlagExtendRights = (1 << 1),
    kAuthorizationFlagPartialRights = (1 << 2),
    kAuthorizationFlagDestroyRights = (1 << 3),
    kAuthorizationFlagPreAuthorize = (1 << 4)
};

/* The administrator right, the one this system's tools ask for. */
#define kAuthorizationRightExecute "system.privilege.admin"

/* An opaque reference to an authorization; free it with AuthorizationFree. */
typedef const struct AuthorizationOpaqueRef *AuthorizationRef;

typedef const char *AuthorizationString;

/* One right (or environment entry): its name and an optional value. */
typedef struct {
    AuthorizationString name;
    size_t valueLength;
    void *value;
    UInt32 flags;
} AuthorizationItem;

typedef struct {
    UInt32 count;
    AuthorizationItem *items;
} AuthorizationItemSet;

typedef AuthorizationItemSet AuthorizationRights;
typedef AuthorizationItemSet AuthorizationEnvironment;

#define kAuthorizationEmptyEnvironment NULL

enum { kAuthorizationExternalFormLength = 32 };

typedef struct {
    char bytes[kAuthorizationExternalFormLength];
} AuthorizationExternalForm;

/*
 * Creates a new authorization.  rights may be NULL (no rights); environment is
 * accepted and not used.  authorization may be NULL only when rights are
 * given: the call then only checks whether the rights could be obtained.
 * errAuthorizationInvalidFlags for unknown flag bits, errAuthorizationInvalidSet
 * for a malformed item set, errAuthorizationInvalidPointer for a NULL
 * authorization without rights, errAuthorizationDenied or
 * errAuthorizationInteractionNotAllowed when a pure check is refused.
 * *authorization is set only on success.
 */
OSStatus AuthorizationCreate(const AuthorizationRights *rights,
                             const AuthorizationEnvironment *environment,
                             AuthorizationFlags flags, AuthorizationRef *authorization);

/*
 * Frees a reference.  flags: kAuthorizationFlagDefaults, or
 * kAuthorizationFlagDestroyRights to also forget, in this process, every right
 * granted to the authorization (other refs to it lose them too).
 * errAuthorizationInvalidRef for NULL or a reference that is not live.
 */
OSStatus AuthorizationFree(AuthorizationRef authorization, AuthorizationFlags flags);

/* Writes the 32-byte external form of authorization into *extForm. */
OSStatus AuthorizationMakeExternalForm(AuthorizationRef authorization,
                                       AuthorizationExternalForm *extForm);

/*
 * Makes a new reference standing for the authorization that extForm names
 * (made in this process or another).  *authorization is set only on success.
 */
OSStatus AuthorizationCreateFromExternalForm(const AuthorizationExternalForm *extForm,
                                             AuthorizationRef *authorization);

/* ---- Privileged launch ---------------------------------------------------
 * AuthorizationExecuteWithPrivileges and AuthorizationCopyPrivilegedReference
 * are declared here and implemented in src/PrivilegedLaunch.cpp.
 * ------------------------------------------------------------------------- */

/*
 * Runs the program at pathToTool (an absolute path) as root, with the
 * NULL-terminated arguments (NULL for none) after its path.  The program gets
 * one end of a UNIX-domain stream socket pair as its standard input and
 * output, and the caller's standard error.  The other end comes back in
 * *communicationsPipe (a stream opened "r+"; the caller closes it with
 * fclose); shutdown() works on its descriptor and descriptors can be received
 * on it.  The program is the caller's child (the launcher runs it in place)
 * and the caller reaps it.
 *
 * A caller whose effective user is root starts the program directly; one that
 * runs elevated (set-user-ID root) gives it root's IDs, no supplementary
 * groups and a fixed minimal environment, never its invoker's.  Anyone
 * else starts it through polkit, "/usr/bin/pkexec <path> <arguments>", or
 * through the launcher that secure_getenv("WFS_PRIVILEGED_LAUNCHER") names.
 * The program is given the authorization: see
 * AuthorizationCopyPrivilegedReference.
 *
 * Results: errAuthorizationSuccess once the program runs (or has run);
 * errAuthorizationDenied when the launcher refused (its exit status 127),
 * errAuthorizationCanceled when the user dismissed it (exit status 126),
 * errAuthorizationToolExecuteFailure when the launcher or program could not
 * be executed at all, errAuthorizationInvalidRef, errAuthorizationInvalidFlags,
 * errAuthorizationInvalidPointer for bad arguments, errAuthorizationInternal
 * when the launch could not be prepared.  On an error nothing is left open,
 * no child is left and *communicationsPipe is untouched.
 *
 * The launch answers as soon as the program has written its first byte or has
 * ended, and reads none of the program's output.  A launched program that
 * neither writes nor ends keeps the caller waiting: a program launched this
 * way writes something (its process ID, say) first thing.  A program that
 * itself ends with status 126 or 127 before writing anything cannot be told
 * from a launcher that refused.
 */
OSStatus AuthorizationExecuteWithPrivileges(AuthorizationRef authorization,
                                            const char *pathToTool,
                                            AuthorizationFlags options,
                                            char *const *arguments,
                                            FILE **communicationsPipe);

/*
 * In a program started by AuthorizationExecuteWithPrivileges, a new reference
 * to the caller's authorization (or, after pkexec, which clears the
 * environment, to a new authorization that stands for the one polkit
 * granted), holding the administrator right.  The caller frees it.  Only a
 * process running as root, real and effective user alike, has one, and the
 * launch's environment is read with secure_getenv only, so a set-user-ID
 * program run by hand cannot be fed one.  errAuthorizationInvalidRef in any
 * other process; errAuthorizationInvalidFlags, errAuthorizationInvalidPointer
 * for bad arguments.  Never reads standard input.
 */
OSStatus AuthorizationCopyPrivilegedReference(AuthorizationRef *authorization,
                                              AuthorizationFlags flags);

#ifdef __cplusplus
}
#endif
