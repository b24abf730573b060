// A move-only owner of one Core Foundation reference (link with CoreFoundation to use it).
#pragma once

#include <CoreFoundation/CoreFoundation.h>

#include <cassert>

namespace wfs {

template <typename T>
class CFRef {
public:
    CFRef() noexcept = default;
    // Adopts a reference the caller owns already (the result of a Create or Copy call).
    explicit CFRef(T ref) noexcept : ref_(ref) {}
    // Takes a reference of its own to an object it was only lent (the result of a Get call).
    static CFRef Retain(T ref) noexcept {
        if (ref != nullptr) CFRetain(ref);
        return CFRef(ref);
    }
    CFRef(CFRef &&other) noexcept : ref_(other.release()) {}
    CFRef &operator=(CFRef &&other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    CFRef(const CFRef &) = delete;
    CFRef &operator=(const CFRef &) = delete;
    ~CFRef() { reset(); }

    T get() const noexcept { return ref_; }
    explicit operator bool() const noexcept { return ref_ != nullptr; }

    // Hands the reference out; the caller now owns it.
    T release() noexcept {
        T ref = ref_;
        ref_ = nullptr;
        return ref;
    }

    void reset(T ref = nullptr) noexcept {
        if (ref_ != nullptr) CFRelease(ref_);
        ref_ = ref;
    }

    // The place for a Create/Copy out-parameter; it must be empty when handed out.
    T *out() noexcept {
        assert(ref_ == nullptr);
        return &ref_;
    }

private:
    T ref_ = nullptr;
};

}  // namespace wfs
