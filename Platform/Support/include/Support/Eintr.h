// Retrying system calls that a signal interrupted.
#pragma once

#include <cerrno>
#include <utility>

namespace wfs {

// Calls `call` until it does not fail with EINTR and answers its last result. errno is left as the
// failing call set it, so the caller reads it right after this returns. Never use it for close():
// on Linux the descriptor is gone even when close() reports EINTR, and a retry may close a
// descriptor that another thread has just been given.
template <typename Call>
auto RetryOnEintr(Call &&call) -> decltype(call()) {
    for (;;) {
        auto result = call();
        if (!(result == -1 && errno == EINTR)) return result;
    }
}

}  // namespace wfs
