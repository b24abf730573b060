// The registry of live references and granted rights.

#include "AuthorizationInternal.h"

#include <Support/Eintr.h>

#include <cerrno>
#include <map>
#include <memory>
#include <new>
#include <mutex>
#include <set>
#include <string>

#include <sys/random.h>

// What a reference points at: the identity of its authorization.
struct AuthorizationOpaqueRef {
    wfs::security::AuthorizationId id;
};

namespace wfs::security {
namespace {

struct Registry {
    std::mutex lock;
    // Every reference handed out and not yet freed; they are checked against
    // this set so that a stale or foreign pointer is reported, not used.
    std::set<const AuthorizationOpaqueRef *> live;
    // Rights granted per authorization.  They outlive the references, as a
    // session's credentials do, until a free with DestroyRights.
    std::map<AuthorizationId, std::set<std::string, std::less<>>> granted;
};

// Never destroyed: references may be freed from static destructors of other
// objects, and the live set keeps unfreed references reachable.
Registry &TheRegistry()
{
    static Registry *registry = new Registry;
    return *registry;
}

}  // namespace

bool MakeAuthorizationId(AuthorizationId &id)
{
    size_t filled = 0;
    while (filled < id.size()) {
        ssize_t got = RetryOnEintr([&] { return getrandom(id.data() + filled, id.size() - filled, 0); });
        if (got < 0) return false;
        filled += static_cast<size_t>(got);
    }
    return true;
}

AuthorizationRef NewReference(const AuthorizationId &id) noexcept
{
    try {
        auto ref = std::make_unique<AuthorizationOpaqueRef>(AuthorizationOpaqueRef{id});
        Registry &registry = TheRegistry();
        std::lock_guard<std::mutex> guard(registry.lock);
        registry.live.insert(ref.get());
        return ref.release();
    } catch (const std::bad_alloc &) {
        return nullptr;
    }
}

std::optional<AuthorizationId> IdOf(AuthorizationRef ref)
{
    Registry &registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    if (ref == nullptr || registry.live.count(ref) == 0) return std::nullopt;
    return ref->id;
}

bool ReleaseReference(AuthorizationRef ref, bool destroyRights)
{
    Registry &registry = TheRegistry();
    {
        std::lock_guard<std::mutex> guard(registry.lock);
        if (ref == nullptr || registry.live.erase(ref) == 0) return false;
        if (destroyRights) registry.granted.erase(ref->id);
    }
    delete ref;
    return true;
}

bool GrantRight(AuthorizationRef ref, std::string_view right) noexcept
{
    Registry &registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    if (ref == nullptr || registry.live.count(ref) == 0) return false;
    try {
        registry.granted[ref->id].emplace(right);
    } catch (const std::bad_alloc &) {
        return false;
    }
    return true;
}

bool HoldsRight(AuthorizationRef ref, std::string_view right)
{
    Registry &registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.lock);
    if (ref == nullptr || registry.live.count(ref) == 0) return false;
    auto rights = registry.granted.find(ref->id);
    return rights != registry.granted.end() && rights->second.find(right) != rights->second.end();
}

}  // namespace wfs::security
