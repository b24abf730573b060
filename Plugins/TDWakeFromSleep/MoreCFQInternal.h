// Pieces shared by the MoreCFQ sources; not part of the module's interface.
#ifndef MORE_CFQ_INTERNAL_H
#define MORE_CFQ_INTERNAL_H

#include <CoreFoundation/CoreFoundation.h>

#include <cstdlib>

namespace wfs {

// A malloc'ed scratch array of object references, freed when it goes out of scope. Zero entries
// still allocate one slot, so that an empty collection is not mistaken for an allocation failure.
class CFQTempRefArray {
public:
    CFQTempRefArray() noexcept = default;
    explicit CFQTempRefArray(CFIndex count) noexcept { allocate(count); }
    CFQTempRefArray(const CFQTempRefArray &) = delete;
    CFQTempRefArray &operator=(const CFQTempRefArray &) = delete;
    ~CFQTempRefArray() { std::free(refs_); }

    // Answers whether the array could be allocated; an earlier array is freed first.
    bool allocate(CFIndex count) noexcept {
        std::free(refs_);
        refs_ = static_cast<const void **>(
            std::calloc(count > 0 ? static_cast<size_t>(count) : 1, sizeof(const void *)));
        return refs_ != nullptr;
    }

    bool allocated() const noexcept { return refs_ != nullptr; }
    const void **get() const noexcept { return refs_; }

private:
    const void **refs_ = nullptr;
};

}  // namespace wfs

#endif
