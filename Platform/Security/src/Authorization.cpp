// Creating, freeing, externalizing and internalizing authorizations.

#include <Security/Authorization.h>

#include "AuthorizationInternal.h"

#include <cstring>

#include <unistd.h>

namespace {

using wfs::security::AuthorizationId;

// The external form's layout; see Authorization.h.
constexpr char kFormMarker[4] = {'W', 'F', 'S', 'a'};
constexpr size_t kVersionOffset = 4;
constexpr unsigned char kFormVersion = 1;
constexpr size_t kReservedOffset = 5;
constexpr size_t kIdOffset = 8;
static_assert(kIdOffset + sizeof(AuthorizationId) == kAuthorizationExternalFormLength);
static_assert(sizeof(AuthorizationExternalForm) == 32);

constexpr AuthorizationFlags kKnownFlags =
    kAuthorizationFlagInteractionAllowed | kAuthorizationFlagExtendRights |
    kAuthorizationFlagPartialRights | kAuthorizationFlagDestroyRights |
    kAuthorizationFlagPreAuthorize;

bool ValidItemSet(const AuthorizationItemSet *set)
{
    if (set == nullptr || set->count == 0) return true;
    if (set->items == nullptr) return false;
    for (UInt32 i = 0; i < set->count; ++i) {
        const AuthorizationItem &item = set->items[i];
        if (item.name == nullptr || item.name[0] == '\0') return false;
        if (item.valueLength != 0 && item.value == nullptr) return false;
    }
    return true;
}

}  // namespace

extern "C" OSStatus AuthorizationCreate(const AuthorizationRights *rights,
                                        const AuthorizationEnvironment *environment,
                                        AuthorizationFlags flags,
                                        AuthorizationRef *authorization)
{
    if ((flags & ~kKnownFlags) != 0) return errAuthorizationInvalidFlags;
    if (!ValidItemSet(rights) || !ValidItemSet(environment)) return errAuthorizationInvalidSet;
    const bool hasRights = rights != nullptr && rights->count != 0;
    if (authorization == nullptr && !hasRights) return errAuthorizationInvalidPointer;

    // Root holds every right.  Anyone else is asked by polkit at the launch,
    // so nothing can be granted here: a new reference takes the request on
    // to the launch, a pure check has to say no now.
    const bool extend = (flags & kAuthorizationFlagExtendRights) != 0;
    const bool grantNow = hasRights && extend && geteuid() == 0;
    if (authorization == nullptr) {
        if (!extend || grantNow || (flags & kAuthorizationFlagPartialRights) != 0)
            return errAuthorizationSuccess;
        return (flags & kAuthorizationFlagInteractionAllowed) != 0
                   ? errAuthorizationDenied
                   : errAuthorizationInteractionNotAllowed;
    }

    AuthorizationId id;
    if (!wfs::security::MakeAuthorizationId(id)) return errAuthorizationInternal;
    AuthorizationRef ref = wfs::security::NewReference(id);
    if (ref == nullptr) return errAuthorizationInternal;
    if (grantNow) {
        for (UInt32 i = 0; i < rights->count; ++i) {
            if (!wfs::security::GrantRight(ref, rights->items[i].name)) {
                (void) wfs::security::ReleaseReference(ref, true);
                return errAuthorizationInternal;
            }
        }
    }
    *authorization = ref;
    return errAuthorizationSuccess;
}

extern "C" OSStatus AuthorizationFree(AuthorizationRef authorization, AuthorizationFlags flags)
{
    if ((flags & ~kAuthorizationFlagDestroyRights) != 0) return errAuthorizationInvalidFlags;
    bool destroy = (flags & kAuthorizationFlagDestroyRights) != 0;
    if (!wfs::security::ReleaseReference(authorization, destroy)) return errAuthorizationInvalidRef;
    return errAuthorizationSuccess;
}

extern "C" OSStatus AuthorizationMakeExternalForm(AuthorizationRef authorization,
                                                  AuthorizationExternalForm *extForm)
{
    std::optional<AuthorizationId> id = wfs::security::IdOf(authorization);
    if (!id) return errAuthorizationInvalidRef;
    if (extForm == nullptr) return errAuthorizationInvalidPointer;

    AuthorizationExternalForm form;
    std::memset(&form, 0, sizeof form);
    std::memcpy(form.bytes, kFormMarker, sizeof kFormMarker);
    form.bytes[kVersionOffset] = static_cast<char>(kFormVersion);
    std::memcpy(form.bytes + kIdOffset, id->data(), id->size());
    *extForm = form;
    return errAuthorizationSuccess;
}

extern "C" OSStatus AuthorizationCreateFromExternalForm(const AuthorizationExternalForm *extForm,
                                                        AuthorizationRef *authorization)
{
    if (extForm == nullptr || authorization == nullptr) return errAuthorizationInvalidPointer;

    // The form usually arrives from another process: check every byte that
    // has a fixed value before trusting the rest.
    const char *bytes = extForm->bytes;
    if (std::memcmp(bytes, kFormMarker, sizeof kFormMarker) != 0) return errAuthorizationInvalidRef;
    if (static_cast<unsigned char>(bytes[kVersionOffset]) != kFormVersion)
        return errAuthorizationInvalidRef;
    for (size_t i = kReservedOffset; i < kIdOffset; ++i) {
        if (bytes[i] != 0) return errAuthorizationInvalidRef;
    }
    AuthorizationId id;
    std::memcpy(id.data(), bytes + kIdOffset, id.size());
    // No random identifier is all zeros; such a form is a blank, not a name.
    if (id == AuthorizationId{}) return errAuthorizationInvalidRef;

    AuthorizationRef ref = wfs::security::NewReference(id);
    if (ref == nullptr) return errAuthorizationInternal;
    *authorization = ref;
    return errAuthorizationSuccess;
}
