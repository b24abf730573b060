// Tests of authorization references and their external form, within one
// process and across processes.

#include <Security/Security.h>

#include "AuthorizationInternal.h"

#include <Support/UniqueFd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using wfs::UniqueFd;

std::string Bytes(const AuthorizationExternalForm &form)
{
    return std::string(form.bytes, sizeof form.bytes);
}

int WaitForExit(pid_t pid)
{
    int status = 0;
    pid_t rc;
    do {
        rc = waitpid(pid, &status, 0);
    } while (rc == -1 && errno == EINTR);
    if (rc != pid || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

bool WriteAll(int fd, const void *buf, size_t size)
{
    const char *p = static_cast<const char *>(buf);
    while (size > 0) {
        ssize_t n = write(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

bool ReadAll(int fd, void *buf, size_t size)
{
    char *p = static_cast<char *>(buf);
    while (size > 0) {
        ssize_t n = read(fd, p, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

TEST(Authorization, CreateAndFree)
{
    AuthorizationRef ref = nullptr;
    ASSERT_EQ(AuthorizationCreate(nullptr, kAuthorizationEmptyEnvironment,
                                  kAuthorizationFlagDefaults, &ref),
              errAuthorizationSuccess);
    ASSERT_NE(ref, nullptr);
    EXPECT_EQ(AuthorizationFree(ref, 1u << 7), errAuthorizationInvalidFlags);
    EXPECT_EQ(AuthorizationFree(ref, kAuthorizationFlagDefaults), errAuthorizationSuccess);
    // A freed reference is no longer live, and is reported rather than used.
    EXPECT_EQ(AuthorizationFree(ref, kAuthorizationFlagDefaults), errAuthorizationInvalidRef);
    AuthorizationExternalForm form;
    EXPECT_EQ(AuthorizationMakeExternalForm(ref, &form), errAuthorizationInvalidRef);
    EXPECT_EQ(AuthorizationFree(nullptr, kAuthorizationFlagDefaults), errAuthorizationInvalidRef);

    // Bad arguments leave the out-parameter alone.
    AuthorizationRef untouched = nullptr;
    EXPECT_EQ(AuthorizationCreate(nullptr, nullptr, 1u << 5, &untouched),
              errAuthorizationInvalidFlags);
    EXPECT_EQ(AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, nullptr),
              errAuthorizationInvalidPointer);
    AuthorizationRights noItems = {1, nullptr};
    EXPECT_EQ(AuthorizationCreate(&noItems, nullptr, kAuthorizationFlagDefaults, &untouched),
              errAuthorizationInvalidSet);
    AuthorizationItem unnamed = {nullptr, 0, nullptr, 0};
    AuthorizationRights unnamedSet = {1, &unnamed};
    EXPECT_EQ(AuthorizationCreate(&unnamedSet, nullptr, kAuthorizationFlagDefaults, &untouched),
              errAuthorizationInvalidSet);
    AuthorizationItem valueless = {kAuthorizationRightExecute, 4, nullptr, 0};
    AuthorizationEnvironment badEnvironment = {1, &valueless};
    EXPECT_EQ(AuthorizationCreate(nullptr, &badEnvironment, kAuthorizationFlagDefaults,
                                  &untouched),
              errAuthorizationInvalidSet);
    EXPECT_EQ(untouched, nullptr);

    // An empty right set counts as no rights.
    AuthorizationRights empty = {0, nullptr};
    ASSERT_EQ(AuthorizationCreate(&empty, nullptr, kAuthorizationFlagDefaults, &ref),
              errAuthorizationSuccess);
    EXPECT_EQ(AuthorizationFree(ref, kAuthorizationFlagDestroyRights), errAuthorizationSuccess);
}

TEST(Authorization, ExternalFormRoundTripWithinProcess)
{
    AuthorizationRef original = nullptr;
    ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &original), 0);
    AuthorizationExternalForm form;
    ASSERT_EQ(AuthorizationMakeExternalForm(original, &form), errAuthorizationSuccess);
    EXPECT_EQ(std::string(form.bytes, 5), std::string("WFSa\x01", 5));
    EXPECT_EQ(std::string(form.bytes + 5, 3), std::string(3, '\0'));

    AuthorizationRef copy = nullptr;
    ASSERT_EQ(AuthorizationCreateFromExternalForm(&form, &copy), errAuthorizationSuccess);
    ASSERT_NE(copy, nullptr);
    EXPECT_NE(copy, original);  // a new reference ...
    AuthorizationExternalForm again;
    ASSERT_EQ(AuthorizationMakeExternalForm(copy, &again), errAuthorizationSuccess);
    EXPECT_EQ(Bytes(again), Bytes(form));  // ... to the same authorization

    // Each reference is freed on its own.
    EXPECT_EQ(AuthorizationFree(original, kAuthorizationFlagDefaults), errAuthorizationSuccess);
    ASSERT_EQ(AuthorizationMakeExternalForm(copy, &again), errAuthorizationSuccess);
    EXPECT_EQ(Bytes(again), Bytes(form));
    EXPECT_EQ(AuthorizationFree(copy, kAuthorizationFlagDefaults), errAuthorizationSuccess);

    // NULL arguments.
    AuthorizationRef untouched = nullptr;
    EXPECT_EQ(AuthorizationMakeExternalForm(nullptr, &form), errAuthorizationInvalidRef);
    EXPECT_EQ(AuthorizationCreateFromExternalForm(nullptr, &untouched),
              errAuthorizationInvalidPointer);
    EXPECT_EQ(AuthorizationCreateFromExternalForm(&form, nullptr), errAuthorizationInvalidPointer);
    EXPECT_EQ(untouched, nullptr);
    ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &copy), 0);
    EXPECT_EQ(AuthorizationMakeExternalForm(copy, nullptr), errAuthorizationInvalidPointer);
    EXPECT_EQ(AuthorizationFree(copy, kAuthorizationFlagDefaults), errAuthorizationSuccess);
}

TEST(Authorization, DistinctAuthorizationsGiveDistinctForms)
{
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        AuthorizationRef ref = nullptr;
        ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &ref), 0);
        AuthorizationExternalForm form;
        ASSERT_EQ(AuthorizationMakeExternalForm(ref, &form), 0);
        EXPECT_TRUE(seen.insert(Bytes(form).substr(8)).second) << "identifier repeated";
        ASSERT_EQ(AuthorizationFree(ref, kAuthorizationFlagDefaults), 0);
    }
}

TEST(Authorization, FormsWithoutTheMarkerAreRefused)
{
    AuthorizationRef ref = nullptr;
    ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &ref), 0);
    AuthorizationExternalForm good;
    ASSERT_EQ(AuthorizationMakeExternalForm(ref, &good), 0);
    ASSERT_EQ(AuthorizationFree(ref, kAuthorizationFlagDefaults), 0);

    // Every byte with a fixed value: marker, version, reserved.
    for (size_t i = 0; i < 8; ++i) {
        SCOPED_TRACE(i);
        AuthorizationExternalForm bad = good;
        bad.bytes[i] ^= 0x20;
        AuthorizationRef untouched = nullptr;
        EXPECT_EQ(AuthorizationCreateFromExternalForm(&bad, &untouched),
                  errAuthorizationInvalidRef);
        EXPECT_EQ(untouched, nullptr);
    }
    AuthorizationExternalForm zeros;
    std::memset(&zeros, 0, sizeof zeros);
    AuthorizationRef untouched = nullptr;
    EXPECT_EQ(AuthorizationCreateFromExternalForm(&zeros, &untouched), errAuthorizationInvalidRef);
    AuthorizationExternalForm blank = good;  // marker but no identifier
    std::memset(blank.bytes + 8, 0, 24);
    EXPECT_EQ(AuthorizationCreateFromExternalForm(&blank, &untouched), errAuthorizationInvalidRef);
    EXPECT_EQ(untouched, nullptr);

    // The identifier bytes themselves are free: a form the marker vouches for
    // is accepted even if this process never saw it.
    AuthorizationExternalForm foreign = good;
    foreign.bytes[31] ^= 0x55;
    ASSERT_EQ(AuthorizationCreateFromExternalForm(&foreign, &ref), errAuthorizationSuccess);
    EXPECT_EQ(AuthorizationFree(ref, kAuthorizationFlagDefaults), 0);
}

TEST(Authorization, ExternalFormCrossesProcesses)
{
    int toChild[2], toParent[2];
    ASSERT_EQ(pipe2(toChild, O_CLOEXEC), 0);
    ASSERT_EQ(pipe2(toParent, O_CLOEXEC), 0);
    UniqueFd childIn(toChild[0]), parentOut(toChild[1]);
    UniqueFd parentIn(toParent[0]), childOut(toParent[1]);

    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Internalize what the parent made after the fork, and send back the
        // form of the new reference and of one of the child's own.
        AuthorizationExternalForm received;
        if (!ReadAll(childIn.get(), &received, sizeof received)) _exit(10);
        AuthorizationRef ref = nullptr;
        if (AuthorizationCreateFromExternalForm(&received, &ref) != 0) _exit(11);
        AuthorizationExternalForm forms[2];
        if (AuthorizationMakeExternalForm(ref, &forms[0]) != 0) _exit(12);
        AuthorizationRef own = nullptr;
        if (AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &own) != 0) _exit(13);
        if (AuthorizationMakeExternalForm(own, &forms[1]) != 0) _exit(14);
        if (!WriteAll(childOut.get(), forms, sizeof forms)) _exit(15);
        AuthorizationFree(ref, kAuthorizationFlagDefaults);
        AuthorizationFree(own, kAuthorizationFlagDefaults);
        _exit(0);
    }
    childIn.reset();
    childOut.reset();

    AuthorizationRef mine = nullptr;
    ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &mine), 0);
    AuthorizationExternalForm form;
    ASSERT_EQ(AuthorizationMakeExternalForm(mine, &form), 0);
    ASSERT_TRUE(WriteAll(parentOut.get(), &form, sizeof form));
    AuthorizationExternalForm back[2];
    ASSERT_TRUE(ReadAll(parentIn.get(), back, sizeof back));
    EXPECT_EQ(WaitForExit(child), 0);
    EXPECT_EQ(Bytes(back[0]), Bytes(form));
    EXPECT_NE(Bytes(back[1]), Bytes(form));

    // The child's own authorization is usable here.
    AuthorizationRef theirs = nullptr;
    ASSERT_EQ(AuthorizationCreateFromExternalForm(&back[1], &theirs), 0);
    AuthorizationExternalForm theirsAgain;
    ASSERT_EQ(AuthorizationMakeExternalForm(theirs, &theirsAgain), 0);
    EXPECT_EQ(Bytes(theirsAgain), Bytes(back[1]));
    EXPECT_EQ(AuthorizationFree(theirs, kAuthorizationFlagDefaults), 0);
    EXPECT_EQ(AuthorizationFree(mine, kAuthorizationFlagDefaults), 0);
}

TEST(Authorization, DestroyRightsForgetsGrantedRights)
{
    if (geteuid() != 0) GTEST_SKIP() << "granting at creation needs root";
    AuthorizationItem admin = {kAuthorizationRightExecute, 0, nullptr, 0};
    AuthorizationRights rights = {1, &admin};
    const AuthorizationFlags extend =
        kAuthorizationFlagExtendRights | kAuthorizationFlagInteractionAllowed;

    AuthorizationRef ref = nullptr;
    ASSERT_EQ(AuthorizationCreate(&rights, nullptr, extend, &ref), 0);
    EXPECT_TRUE(wfs::security::HoldsRight(ref, kAuthorizationRightExecute));
    EXPECT_FALSE(wfs::security::HoldsRight(ref, "system.other"));
    // A pure check succeeds for root.
    EXPECT_EQ(AuthorizationCreate(&rights, nullptr, extend, nullptr), 0);

    // Freed with the default flags the rights stay with the authorization.
    AuthorizationExternalForm form;
    ASSERT_EQ(AuthorizationMakeExternalForm(ref, &form), 0);
    ASSERT_EQ(AuthorizationFree(ref, kAuthorizationFlagDefaults), 0);
    AuthorizationRef first = nullptr, second = nullptr;
    ASSERT_EQ(AuthorizationCreateFromExternalForm(&form, &first), 0);
    ASSERT_EQ(AuthorizationCreateFromExternalForm(&form, &second), 0);
    EXPECT_TRUE(wfs::security::HoldsRight(first, kAuthorizationRightExecute));

    // Destroying them through one reference takes them from every reference.
    ASSERT_EQ(AuthorizationFree(first, kAuthorizationFlagDestroyRights), 0);
    EXPECT_FALSE(wfs::security::HoldsRight(second, kAuthorizationRightExecute));
    ASSERT_EQ(AuthorizationFree(second, kAuthorizationFlagDefaults), 0);

    // Without ExtendRights nothing is granted, even to root.
    ASSERT_EQ(AuthorizationCreate(&rights, nullptr, kAuthorizationFlagDefaults, &ref), 0);
    EXPECT_FALSE(wfs::security::HoldsRight(ref, kAuthorizationRightExecute));
    ASSERT_EQ(AuthorizationFree(ref, kAuthorizationFlagDestroyRights), 0);
}

TEST(Authorization, UnprivilegedUserGetsNoRightsInAdvance)
{
    if (geteuid() != 0) GTEST_SKIP() << "dropping to nobody needs root";
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(10);
        AuthorizationItem admin = {kAuthorizationRightExecute, 0, nullptr, 0};
        AuthorizationRights rights = {1, &admin};
        const AuthorizationFlags extend = kAuthorizationFlagExtendRights;
        // A new reference carries the request on to the launch; nothing is held yet.
        AuthorizationRef ref = nullptr;
        if (AuthorizationCreate(&rights, nullptr, extend | kAuthorizationFlagInteractionAllowed,
                                &ref) != 0)
            _exit(11);
        if (wfs::security::HoldsRight(ref, kAuthorizationRightExecute)) _exit(12);
        if (AuthorizationFree(ref, kAuthorizationFlagDestroyRights) != 0) _exit(13);
        // A pure check cannot be answered in advance.
        if (AuthorizationCreate(&rights, nullptr, extend | kAuthorizationFlagInteractionAllowed,
                                nullptr) != errAuthorizationDenied)
            _exit(14);
        if (AuthorizationCreate(&rights, nullptr, extend, nullptr) !=
            errAuthorizationInteractionNotAllowed)
            _exit(15);
        if (AuthorizationCreate(&rights, nullptr, extend | kAuthorizationFlagPartialRights,
                                nullptr) != 0)
            _exit(16);
        _exit(0);
    }
    EXPECT_EQ(WaitForExit(child), 0);
}

}  // namespace
