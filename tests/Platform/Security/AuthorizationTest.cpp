// Tests of authorization references and their external form, within one process and across
// processes, and of the rights granted to them.

#include <Security/Security.h>

#include "AuthorizationInternal.h"

#include <gtest/gtest.h>

#include <TestSupport.h>

#include <cstring>
#include <set>
#include <string>

#include <sys/socket.h>
#include <unistd.h>

namespace {

std::string Bytes(const AuthorizationExternalForm &form) { return std::string(form.bytes, 32); }

AuthorizationExternalForm FormOfNew()
{
    AuthorizationRef ref = nullptr;
    AuthorizationExternalForm form{};
    EXPECT_EQ(AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &ref), 0);
    EXPECT_EQ(AuthorizationMakeExternalForm(ref, &form), 0);
    EXPECT_EQ(AuthorizationFree(ref, kAuthorizationFlagDefaults), 0);
    return form;
}

TEST(Authorization, CreateFreeAndBadArguments)
{
    AuthorizationRef ref = nullptr;
    ASSERT_EQ(AuthorizationCreate(nullptr, kAuthorizationEmptyEnvironment,
                                  kAuthorizationFlagDefaults, &ref), errAuthorizationSuccess);
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
    AuthorizationItem unnamed = {nullptr, 0, nullptr, 0};
    AuthorizationItem valueless = {kAuthorizationRightExecute, 4, nullptr, 0};
    AuthorizationItemSet noItems = {1, nullptr}, unnamedSet = {1, &unnamed}, badSet = {1, &valueless};
    EXPECT_EQ(AuthorizationCreate(nullptr, nullptr, 1u << 5, &untouched), errAuthorizationInvalidFlags);
    EXPECT_EQ(AuthorizationCreate(nullptr, nullptr, 0, nullptr), errAuthorizationInvalidPointer);
    EXPECT_EQ(AuthorizationCreate(&noItems, nullptr, 0, &untouched), errAuthorizationInvalidSet);
    EXPECT_EQ(AuthorizationCreate(&unnamedSet, nullptr, 0, &untouched), errAuthorizationInvalidSet);
    EXPECT_EQ(AuthorizationCreate(nullptr, &badSet, 0, &untouched), errAuthorizationInvalidSet);
    EXPECT_EQ(AuthorizationMakeExternalForm(nullptr, &form), errAuthorizationInvalidRef);
    EXPECT_EQ(AuthorizationCreateFromExternalForm(nullptr, &untouched), errAuthorizationInvalidPointer);
    EXPECT_EQ(AuthorizationCreateFromExternalForm(&form, nullptr), errAuthorizationInvalidPointer);
    EXPECT_EQ(untouched, nullptr);
}

TEST(Authorization, ExternalFormRoundTripDistinctIdentitiesAndMalformedForms)
{
    AuthorizationRef original = nullptr, copy = nullptr;
    ASSERT_EQ(AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &original), 0);
    AuthorizationExternalForm form, again;
    ASSERT_EQ(AuthorizationMakeExternalForm(original, &form), errAuthorizationSuccess);
    EXPECT_EQ(Bytes(form).substr(0, 8), std::string("WFSa\x01\0\0\0", 8));
    ASSERT_EQ(AuthorizationCreateFromExternalForm(&form, &copy), errAuthorizationSuccess);
    EXPECT_NE(copy, original);  // a new reference to the same authorization, freed on its own
    EXPECT_EQ(AuthorizationFree(original, kAuthorizationFlagDefaults), errAuthorizationSuccess);
    ASSERT_EQ(AuthorizationMakeExternalForm(copy, &again), errAuthorizationSuccess);
    EXPECT_EQ(Bytes(again), Bytes(form));
    EXPECT_EQ(AuthorizationFree(copy, kAuthorizationFlagDefaults), errAuthorizationSuccess);

    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) EXPECT_TRUE(seen.insert(Bytes(FormOfNew()).substr(8)).second);

    // Forms without the marker or an identifier are refused: every byte with a fixed value (marker,
    // version, reserved), and a blank identifier.
    AuthorizationRef untouched = nullptr;
    for (size_t i = 0; i < 9; ++i) {
        AuthorizationExternalForm bad = form;
        if (i < 8) bad.bytes[i] ^= 0x20;
        else std::memset(bad.bytes + 8, 0, 24);
        EXPECT_EQ(AuthorizationCreateFromExternalForm(&bad, &untouched), errAuthorizationInvalidRef) << i;
    }
    EXPECT_EQ(untouched, nullptr);
    // The identifier bytes themselves are free: a form this process never saw is accepted.
    AuthorizationExternalForm foreign = form;
    foreign.bytes[31] ^= 0x55;
    AuthorizationRef ref = nullptr;
    ASSERT_EQ(AuthorizationCreateFromExternalForm(&foreign, &ref), errAuthorizationSuccess);
    EXPECT_EQ(AuthorizationFree(ref, kAuthorizationFlagDefaults), 0);
}

// Identifiers made after a fork differ between parent and child, even when the parent had made one
// before.
TEST(Authorization, ForkedChildrenMakeTheirOwnIdentifiers)
{
    const AuthorizationExternalForm before = FormOfNew();
    wfstest::SocketPair pair;
    wfstest::Child child = wfstest::Child::Fork([&] {
        const AuthorizationExternalForm form = FormOfNew();
        return write(pair.theirs.get(), &form, sizeof form) == sizeof form ? 0 : 1;
    });
    pair.theirs.reset();
    AuthorizationExternalForm theirs;
    ASSERT_EQ(recv(pair.ours.get(), &theirs, sizeof theirs, MSG_WAITALL), static_cast<ssize_t>(sizeof theirs));
    EXPECT_TRUE(child.Wait().Exited(0));
    EXPECT_NE(Bytes(theirs), Bytes(FormOfNew()));
    EXPECT_NE(Bytes(theirs), Bytes(before));
}

AuthorizationItem gAdmin = {kAuthorizationRightExecute, 0, nullptr, 0};
AuthorizationRights gAdminRights = {1, &gAdmin};
constexpr AuthorizationFlags kExtend = kAuthorizationFlagExtendRights;
constexpr AuthorizationFlags kInteract = kAuthorizationFlagInteractionAllowed;

TEST(Authorization, RootIsGrantedTheRightsItAsksForOnlyWhenExtending)
{
    if (geteuid() != 0) GTEST_SKIP() << "granting at creation needs root";
    using wfs::security::HoldsRight;
    AuthorizationRef ref = nullptr;
    ASSERT_EQ(AuthorizationCreate(&gAdminRights, nullptr, kExtend | kInteract, &ref), 0);
    EXPECT_TRUE(HoldsRight(ref, kAuthorizationRightExecute));
    EXPECT_FALSE(HoldsRight(ref, "system.other"));
    EXPECT_EQ(AuthorizationCreate(&gAdminRights, nullptr, kExtend | kInteract, nullptr), 0);

    // That rights outlive a plain free and go with a destroying one, from every reference, is the
    // controller's test (it swaps and tears down authorizations that hold them).
    ASSERT_EQ(AuthorizationFree(ref, kAuthorizationFlagDestroyRights), 0);

    // Without ExtendRights nothing is granted, even to root.
    ASSERT_EQ(AuthorizationCreate(&gAdminRights, nullptr, kAuthorizationFlagDefaults, &ref), 0);
    EXPECT_FALSE(HoldsRight(ref, kAuthorizationRightExecute));
    ASSERT_EQ(AuthorizationFree(ref, kAuthorizationFlagDestroyRights), 0);
}

TEST(Authorization, UnprivilegedUserGetsNoRightsInAdvance)
{
    if (geteuid() != 0) GTEST_SKIP() << "dropping to nobody needs root";
    wfstest::RunInChild(
        [] {
            // A new reference carries the request on to the launch; nothing is held yet.
            AuthorizationRef ref = nullptr;
            WFS_CHILD_EXPECT_EQ(AuthorizationCreate(&gAdminRights, nullptr, kExtend | kInteract, &ref), 0);
            WFS_CHILD_EXPECT(!wfs::security::HoldsRight(ref, kAuthorizationRightExecute));
            WFS_CHILD_EXPECT_EQ(AuthorizationFree(ref, kAuthorizationFlagDestroyRights), 0);
            // A pure check cannot be answered in advance.
            WFS_CHILD_EXPECT_EQ(AuthorizationCreate(&gAdminRights, nullptr, kExtend | kInteract, nullptr),
                                errAuthorizationDenied);
            WFS_CHILD_EXPECT_EQ(AuthorizationCreate(&gAdminRights, nullptr, kExtend, nullptr),
                                errAuthorizationInteractionNotAllowed);
            WFS_CHILD_EXPECT_EQ(
                AuthorizationCreate(&gAdminRights, nullptr, kExtend | kAuthorizationFlagPartialRights, nullptr), 0);
        },
        wfstest::ChildSetup().AsNobody());
}

}  // namespace
