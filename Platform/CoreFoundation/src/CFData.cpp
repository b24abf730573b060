// Byte buffers, immutable and mutable.
#include "CFInternal.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <new>

// The bytes live either in a malloc() block of this object (copies, mutable data) or in the
// caller's buffer (CFDataCreateWithBytesNoCopy), freed with free() or not at all as the caller
// chose.
struct __CFData final : __CFObject {
    __CFData() noexcept : __CFObject(kCFTypeIDData) {}
    ~__CFData() override {
        if (freeBytes_) std::free(bytes_);
    }

    bool equal(const __CFObject &other) const override {
        const auto &that = static_cast<const __CFData &>(other);
        return length_ == that.length_ && (length_ == 0 || std::memcmp(bytes_, that.bytes_, length_) == 0);
    }
    CFHashCode hash() const override {
        UInt64 h = 1469598103934665603ull;
        for (CFIndex i = 0; i < length_; ++i) h = (h ^ bytes_[i]) * 1099511628211ull;
        return static_cast<CFHashCode>(h);
    }
    std::string description() const override {
        std::string text = "<";
        char hex[3];
        for (CFIndex i = 0; i < length_; ++i) {
            if (i > 0 && i % 4 == 0) text += ' ';
            std::snprintf(hex, sizeof hex, "%02x", bytes_[i]);
            text += hex;
        }
        return text + ">";
    }

    // Makes room for `length` bytes in an owned block; new bytes are zero.
    void resize(CFIndex length) {
        if (length > allocated_) {
            CFIndex size = allocated_ < 16 ? 16 : allocated_;
            // Grows by half, but never past what CFIndex holds: a huge request asks for itself.
            while (size < length) size = size > LONG_MAX / 3 * 2 ? length : size + size / 2;
            void *grown = std::realloc(bytes_, static_cast<size_t>(size));
            if (grown == nullptr) throw std::bad_alloc();
            bytes_ = static_cast<UInt8 *>(grown);
            allocated_ = size;
        }
        if (length > length_) std::memset(bytes_ + length_, 0, static_cast<size_t>(length - length_));
        length_ = length;
    }

    UInt8 *bytes_ = nullptr;
    CFIndex length_ = 0;
    CFIndex allocated_ = 0;
    bool freeBytes_ = true;
    bool mutable_ = false;
    CFIndex capacity_ = 0;  // 0: no limit
};

namespace {

const __CFData *Data(CFDataRef ref, const char *file, unsigned line) {
    return cf::Cast<__CFData>(ref, kCFTypeIDData, file, line, "theData is a CFData");
}
#define CF_DATA(ref) Data((ref), __FILE__, __LINE__)

__CFData *MutableData(CFMutableDataRef ref, CFIndex newLength, const char *file, unsigned line) {
    auto *data = const_cast<__CFData *>(Data(ref, file, line));
    if (!data->mutable_) cf::AssertionFailed(file, line, "theData is mutable");
    if (newLength < 0) cf::AssertionFailed(file, line, "the new length is not negative");
    if (data->capacity_ > 0 && newLength > data->capacity_) {
        cf::AssertionFailed(file, line, "the new length is within the data's capacity");
    }
    return data;
}
#define CF_MUTABLE_DATA(ref, newLength) MutableData((ref), (newLength), __FILE__, __LINE__)

__CFData *NewCopy(const UInt8 *bytes, CFIndex length) {
    auto *data = new __CFData;
    data->resize(length);
    if (length > 0) std::memcpy(data->bytes_, bytes, static_cast<size_t>(length));
    return data;
}

}  // namespace

CFTypeID CFDataGetTypeID(void) { return kCFTypeIDData; }

CFDataRef CFDataCreate(CFAllocatorRef, const UInt8 *bytes, CFIndex length) {
    CF_ASSERT(length >= 0);
    CF_ASSERT(bytes != NULL || length == 0);
    return NewCopy(bytes, length);
}

CFDataRef CFDataCreateWithBytesNoCopy(CFAllocatorRef, const UInt8 *bytes, CFIndex length,
                                      CFAllocatorRef bytesDeallocator) {
    CF_ASSERT(length >= 0);
    CF_ASSERT(bytes != NULL || length == 0);
    bool freeBytes = bytesDeallocator != kCFAllocatorNull;
    CF_ASSERT(bytesDeallocator == kCFAllocatorNull || bytesDeallocator == kCFAllocatorDefault ||
              bytesDeallocator == kCFAllocatorSystemDefault || bytesDeallocator == kCFAllocatorMalloc);
    auto *data = new __CFData;
    data->bytes_ = const_cast<UInt8 *>(bytes);
    data->length_ = length;
    data->allocated_ = length;
    data->freeBytes_ = freeBytes;
    return data;
}

CFDataRef CFDataCreateCopy(CFAllocatorRef, CFDataRef theData) {
    const __CFData *data = CF_DATA(theData);
    // An owned immutable buffer never changes, so sharing it is a copy.
    if (!data->mutable_ && data->freeBytes_) return static_cast<CFDataRef>(CFRetain(theData));
    return NewCopy(data->bytes_, data->length_);
}

CFMutableDataRef CFDataCreateMutable(CFAllocatorRef, CFIndex capacity) {
    CF_ASSERT(capacity >= 0);
    auto *data = new __CFData;
    data->mutable_ = true;
    data->capacity_ = capacity;
    return data;
}

CFMutableDataRef CFDataCreateMutableCopy(CFAllocatorRef, CFIndex capacity, CFDataRef theData) {
    const __CFData *source = CF_DATA(theData);
    CF_ASSERT(capacity >= 0);
    CF_ASSERT(capacity == 0 || source->length_ <= capacity);
    __CFData *data = NewCopy(source->bytes_, source->length_);
    data->mutable_ = true;
    data->capacity_ = capacity;
    return data;
}

CFIndex CFDataGetLength(CFDataRef theData) { return CF_DATA(theData)->length_; }

const UInt8 *CFDataGetBytePtr(CFDataRef theData) { return CF_DATA(theData)->bytes_; }

UInt8 *CFDataGetMutableBytePtr(CFMutableDataRef theData) {
    return CF_MUTABLE_DATA(theData, CF_DATA(theData)->length_)->bytes_;
}

void CFDataGetBytes(CFDataRef theData, CFRange range, UInt8 *buffer) {
    const __CFData *data = CF_DATA(theData);
    CF_ASSERT(range.location >= 0 && range.length >= 0 && range.location <= data->length_ &&
              range.length <= data->length_ - range.location);
    CF_ASSERT(buffer != NULL || range.length == 0);
    if (range.length > 0) std::memcpy(buffer, data->bytes_ + range.location, static_cast<size_t>(range.length));
}

void CFDataSetLength(CFMutableDataRef theData, CFIndex length) { CF_MUTABLE_DATA(theData, length)->resize(length); }

void CFDataIncreaseLength(CFMutableDataRef theData, CFIndex extraLength) {
    CF_ASSERT(extraLength >= 0);
    CFIndex length = CF_DATA(theData)->length_ + extraLength;
    CF_MUTABLE_DATA(theData, length)->resize(length);
}

void CFDataAppendBytes(CFMutableDataRef theData, const UInt8 *bytes, CFIndex length) {
    CFDataReplaceBytes(theData, CFRangeMake(CFDataGetLength(theData), 0), bytes, length);
}

void CFDataReplaceBytes(CFMutableDataRef theData, CFRange range, const UInt8 *newBytes, CFIndex newLength) {
    const __CFData *current = CF_DATA(theData);
    CF_ASSERT(range.location >= 0 && range.length >= 0 && range.location <= current->length_ &&
              range.length <= current->length_ - range.location);
    CF_ASSERT(newLength >= 0);
    CF_ASSERT(newBytes != NULL || newLength == 0);
    CFIndex oldLength = current->length_;
    CFIndex length = oldLength - range.length + newLength;
    __CFData *data = CF_MUTABLE_DATA(theData, length);
    // The new bytes may come from this very buffer, which a resize can move and the shift below
    // overwrites; only then are they copied aside (appending, the common case, copies once).
    std::less<const UInt8 *> before;
    bool aliased = newLength > 0 && data->bytes_ != nullptr && !before(newBytes, data->bytes_) &&
                   before(newBytes, data->bytes_ + data->allocated_);
    std::string saved;
    if (aliased) saved.assign(reinterpret_cast<const char *>(newBytes), static_cast<size_t>(newLength));
    const UInt8 *source = aliased ? reinterpret_cast<const UInt8 *>(saved.data()) : newBytes;
    CFIndex tail = oldLength - range.location - range.length;
    if (length > oldLength) data->resize(length);
    // An empty buffer may have no storage at all: memmove with a null pointer is undefined even for
    // zero bytes.
    if (tail > 0) {
        std::memmove(data->bytes_ + range.location + newLength, data->bytes_ + range.location + range.length,
                     static_cast<size_t>(tail));
    }
    if (newLength > 0) std::memcpy(data->bytes_ + range.location, source, static_cast<size_t>(newLength));
    data->length_ = length;
}

void CFDataDeleteBytes(CFMutableDataRef theData, CFRange range) {
    CFDataReplaceBytes(theData, range, nullptr, 0);
}
