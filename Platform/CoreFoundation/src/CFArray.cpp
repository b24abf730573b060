// Arrays, immutable and mutable.
#include "CFCollectionInternal.h"

#include <algorithm>
#include <memory>
#include <vector>

namespace {

const void *RetainType(CFAllocatorRef, const void *value) { return CFRetain(value); }
void ReleaseType(CFAllocatorRef, const void *value) { CFRelease(value); }

}  // namespace

const CFArrayCallBacks kCFTypeArrayCallBacks = {0, RetainType, ReleaseType, CFCopyDescription, CFEqual};

struct __CFArray final : __CFObject {
    explicit __CFArray(const CFArrayCallBacks *callBacks) noexcept : __CFObject(kCFTypeIDArray) {
        if (callBacks != nullptr) callBacks_ = *callBacks;
    }
    ~__CFArray() override {
        for (const void *value : values_) release(value);
    }

    const void *retain(const void *value) const {
        return callBacks_.retain != nullptr ? callBacks_.retain(kCFAllocatorSystemDefault, value) : value;
    }
    void release(const void *value) const {
        if (callBacks_.release != nullptr) callBacks_.release(kCFAllocatorSystemDefault, value);
    }
    bool same(const void *a, const void *b) const {
        return a == b || (callBacks_.equal != nullptr && callBacks_.equal(a, b));
    }

    bool equal(const __CFObject &other) const override {
        const auto &that = static_cast<const __CFArray &>(other);
        if (values_.size() != that.values_.size()) return false;
        for (size_t i = 0; i < values_.size(); ++i) {
            if (!same(values_[i], that.values_[i])) return false;
        }
        return true;
    }
    // The count: cheap, and equal arrays always agree on it.
    CFHashCode hash() const override { return values_.size(); }
    std::string description() const override {
        std::string text = "(\n";
        for (size_t i = 0; i < values_.size(); ++i) {
            text += "    " + cf::Indent(cf::DescribeValue(values_[i], callBacks_.copyDescription));
            text += i + 1 < values_.size() ? ",\n" : "\n";
        }
        return text + ")";
    }

    CFIndex count() const { return static_cast<CFIndex>(values_.size()); }

    CFArrayCallBacks callBacks_ = {0, nullptr, nullptr, nullptr, nullptr};
    std::vector<const void *> values_;
    bool mutable_ = false;
    CFIndex capacity_ = 0;  // 0: no limit
};

namespace {

const __CFArray *Array(CFArrayRef ref, const char *file, unsigned line) {
    return cf::Cast<__CFArray>(ref, kCFTypeIDArray, file, line, "theArray is a CFArray");
}
#define CF_ARRAY(ref) Array((ref), __FILE__, __LINE__)

__CFArray *MutableArray(CFMutableArrayRef ref, CFIndex newCount, const char *file, unsigned line) {
    auto *array = const_cast<__CFArray *>(Array(ref, file, line));
    if (!array->mutable_) cf::AssertionFailed(file, line, "theArray is mutable");
    if (array->capacity_ > 0 && newCount > array->capacity_) {
        cf::AssertionFailed(file, line, "the new count is within the array's capacity");
    }
    return array;
}
#define CF_MUTABLE_ARRAY(ref, newCount) MutableArray((ref), (newCount), __FILE__, __LINE__)
#define CF_CHECK_RANGE(array, range) cf::CheckCollectionRange((array)->count(), (range), __FILE__, __LINE__)

__CFArray *NewCopy(const __CFArray *source) {
    auto *array = new __CFArray(&source->callBacks_);
    array->values_.reserve(source->values_.size());
    for (const void *value : source->values_) array->values_.push_back(array->retain(value));
    return array;
}

}  // namespace

CFArrayRef cf::CreateArrayTakingValues(const void *const *values, CFIndex count, bool isMutable) {
    // The references pass to the array only once it exists in full.
    auto array = std::make_unique<__CFArray>(&kCFTypeArrayCallBacks);
    array->values_.assign(values, values + count);
    array->mutable_ = isMutable;
    return array.release();
}

CFTypeID CFArrayGetTypeID(void) { return kCFTypeIDArray; }

CFArrayRef CFArrayCreate(CFAllocatorRef, const void **values, CFIndex numValues, const CFArrayCallBacks *callBacks) {
    CF_ASSERT(numValues >= 0);
    CF_ASSERT(values != NULL || numValues == 0);
    auto *array = new __CFArray(callBacks);
    array->values_.reserve(static_cast<size_t>(numValues));
    for (CFIndex i = 0; i < numValues; ++i) array->values_.push_back(array->retain(values[i]));
    return array;
}

CFArrayRef CFArrayCreateCopy(CFAllocatorRef, CFArrayRef theArray) {
    const __CFArray *source = CF_ARRAY(theArray);
    if (!source->mutable_) return static_cast<CFArrayRef>(CFRetain(theArray));
    return NewCopy(source);
}

CFMutableArrayRef CFArrayCreateMutable(CFAllocatorRef, CFIndex capacity, const CFArrayCallBacks *callBacks) {
    CF_ASSERT(capacity >= 0);
    auto *array = new __CFArray(callBacks);
    array->mutable_ = true;
    array->capacity_ = capacity;
    return array;
}

CFMutableArrayRef CFArrayCreateMutableCopy(CFAllocatorRef, CFIndex capacity, CFArrayRef theArray) {
    const __CFArray *source = CF_ARRAY(theArray);
    CF_ASSERT(capacity >= 0);
    CF_ASSERT(capacity == 0 || source->count() <= capacity);
    __CFArray *array = NewCopy(source);
    array->mutable_ = true;
    array->capacity_ = capacity;
    return array;
}

CFIndex CFArrayGetCount(CFArrayRef theArray) { return CF_ARRAY(theArray)->count(); }

CFIndex CFArrayGetCountOfValue(CFArrayRef theArray, CFRange range, const void *value) {
    const __CFArray *array = CF_ARRAY(theArray);
    CF_CHECK_RANGE(array, range);
    CFIndex n = 0;
    for (CFIndex i = range.location; i < range.location + range.length; ++i) {
        if (array->same(array->values_[i], value)) ++n;
    }
    return n;
}

Boolean CFArrayContainsValue(CFArrayRef theArray, CFRange range, const void *value) {
    return CFArrayGetFirstIndexOfValue(theArray, range, value) != kCFNotFound;
}

const void *CFArrayGetValueAtIndex(CFArrayRef theArray, CFIndex idx) {
    const __CFArray *array = CF_ARRAY(theArray);
    CF_ASSERT(idx >= 0 && idx < array->count());
    return array->values_[idx];
}

void CFArrayGetValues(CFArrayRef theArray, CFRange range, const void **values) {
    const __CFArray *array = CF_ARRAY(theArray);
    CF_CHECK_RANGE(array, range);
    CF_ASSERT(values != NULL || range.length == 0);
    std::copy_n(array->values_.begin() + range.location, range.length, values);
}

void CFArrayApplyFunction(CFArrayRef theArray, CFRange range, CFArrayApplierFunction applier, void *context) {
    const __CFArray *array = CF_ARRAY(theArray);
    CF_CHECK_RANGE(array, range);
    CF_ASSERT(applier != NULL);
    for (CFIndex i = range.location; i < range.location + range.length; ++i) applier(array->values_[i], context);
}

CFIndex CFArrayGetFirstIndexOfValue(CFArrayRef theArray, CFRange range, const void *value) {
    const __CFArray *array = CF_ARRAY(theArray);
    CF_CHECK_RANGE(array, range);
    for (CFIndex i = range.location; i < range.location + range.length; ++i) {
        if (array->same(array->values_[i], value)) return i;
    }
    return kCFNotFound;
}

CFIndex CFArrayGetLastIndexOfValue(CFArrayRef theArray, CFRange range, const void *value) {
    const __CFArray *array = CF_ARRAY(theArray);
    CF_CHECK_RANGE(array, range);
    for (CFIndex i = range.location + range.length - 1; i >= range.location; --i) {
        if (array->same(array->values_[i], value)) return i;
    }
    return kCFNotFound;
}

void CFArrayReplaceValues(CFMutableArrayRef theArray, CFRange range, const void **newValues, CFIndex newCount) {
    const __CFArray *current = CF_ARRAY(theArray);
    CF_CHECK_RANGE(current, range);
    CF_ASSERT(newCount >= 0);
    CF_ASSERT(newValues != NULL || newCount == 0);
    __CFArray *array = CF_MUTABLE_ARRAY(theArray, current->count() - range.length + newCount);
    // Retain the new values before releasing the old: they may be the same objects.
    std::vector<const void *> added;
    added.reserve(static_cast<size_t>(newCount));
    for (CFIndex i = 0; i < newCount; ++i) added.push_back(array->retain(newValues[i]));
    std::vector<const void *> removed(array->values_.begin() + range.location,
                                      array->values_.begin() + range.location + range.length);
    auto at = array->values_.erase(array->values_.begin() + range.location,
                                   array->values_.begin() + range.location + range.length);
    array->values_.insert(at, added.begin(), added.end());
    for (const void *value : removed) array->release(value);
}

void CFArrayAppendValue(CFMutableArrayRef theArray, const void *value) {
    // The property-list reader appends every element: no temporary vectors on this path.
    __CFArray *array = CF_MUTABLE_ARRAY(theArray, CF_ARRAY(theArray)->count() + 1);
    const void *retained = array->retain(value);
    array->values_.push_back(retained);
}

void CFArrayInsertValueAtIndex(CFMutableArrayRef theArray, CFIndex idx, const void *value) {
    CFArrayReplaceValues(theArray, CFRangeMake(idx, 0), &value, 1);
}

void CFArraySetValueAtIndex(CFMutableArrayRef theArray, CFIndex idx, const void *value) {
    CFIndex count = CFArrayGetCount(theArray);
    CF_ASSERT(idx >= 0 && idx <= count);
    CFArrayReplaceValues(theArray, CFRangeMake(idx, idx == count ? 0 : 1), &value, 1);
}

void CFArrayRemoveValueAtIndex(CFMutableArrayRef theArray, CFIndex idx) {
    CF_ASSERT(idx >= 0 && idx < CFArrayGetCount(theArray));
    CFArrayReplaceValues(theArray, CFRangeMake(idx, 1), nullptr, 0);
}

void CFArrayRemoveAllValues(CFMutableArrayRef theArray) {
    CFArrayReplaceValues(theArray, CFRangeMake(0, CFArrayGetCount(theArray)), nullptr, 0);
}

void CFArrayExchangeValuesAtIndices(CFMutableArrayRef theArray, CFIndex idx1, CFIndex idx2) {
    __CFArray *array = CF_MUTABLE_ARRAY(theArray, CF_ARRAY(theArray)->count());
    CF_ASSERT(idx1 >= 0 && idx1 < array->count());
    CF_ASSERT(idx2 >= 0 && idx2 < array->count());
    std::swap(array->values_[idx1], array->values_[idx2]);
}

void CFArraySortValues(CFMutableArrayRef theArray, CFRange range, CFComparatorFunction comparator, void *context) {
    __CFArray *array = CF_MUTABLE_ARRAY(theArray, CF_ARRAY(theArray)->count());
    CF_CHECK_RANGE(array, range);
    CF_ASSERT(comparator != NULL);
    std::stable_sort(array->values_.begin() + range.location, array->values_.begin() + range.location + range.length,
                     [&](const void *a, const void *b) { return comparator(a, b, context) == kCFCompareLessThan; });
}

void CFArrayAppendArray(CFMutableArrayRef theArray, CFArrayRef otherArray, CFRange otherRange) {
    const __CFArray *other = CF_ARRAY(otherArray);
    CF_CHECK_RANGE(other, otherRange);
    // Copied first: appending an array to itself must not read what it writes.
    std::vector<const void *> values(other->values_.begin() + otherRange.location,
                                     other->values_.begin() + otherRange.location + otherRange.length);
    CFArrayReplaceValues(theArray, CFRangeMake(CFArrayGetCount(theArray), 0), values.data(),
                         static_cast<CFIndex>(values.size()));
}
