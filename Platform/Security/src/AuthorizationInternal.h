// The process's registry of live authorization references and the rights
// granted to each authorization.  Shared by the public calls and the
// privileged launch; not part of the library's interface.
#pragma once

#include <Security/Authorization.h>

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace wfs::security {

// The random bytes that identify one authorization across processes.
using AuthorizationId = std::array<std::uint8_t, 24>;

// Fills id with fresh random bytes.  false (errno set) when the kernel's
// random source fails.
bool MakeAuthorizationId(AuthorizationId &id);

// A new live reference for id; the registry remembers it until Release. NULL when memory runs
// out: these calls sit behind C entry points, which must not let an exception through.
AuthorizationRef NewReference(const AuthorizationId &id) noexcept;

// The identity of a live reference, or nothing for NULL or a reference that
// this process did not hand out (or has freed).
std::optional<AuthorizationId> IdOf(AuthorizationRef ref);

// Ends a live reference.  false if ref is not live.  With destroyRights the
// rights granted to its authorization are forgotten as well.
bool ReleaseReference(AuthorizationRef ref, bool destroyRights);

// Grants right to the authorization ref stands for (every ref to it in this
// process sees it).  false if ref is not live, or when memory runs out.
bool GrantRight(AuthorizationRef ref, std::string_view right) noexcept;

// Whether the authorization ref stands for holds right.
bool HoldsRight(AuthorizationRef ref, std::string_view right);

}  // namespace wfs::security
