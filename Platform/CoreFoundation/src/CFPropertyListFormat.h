// Pieces of the XML property-list format shared by the writer and the reader: the text forms of
// dates and data, and the output buffer the writer fills. Not installed.
#pragma once

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFDate.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace cf::plist {

// Appends `YYYY-MM-DDTHH:MM:SS[.fraction]Z` for `at`, with exactly the fractional digits that read
// back (ParseDate) to the same double. False, with nothing appended, for a time outside the years 1
// to 9999 or a NaN. `out` must have room for kMaxDateLength bytes.
constexpr std::size_t kMaxDateLength = 400;
std::size_t FormatDate(CFAbsoluteTime at, char *out);

// Parses the form FormatDate writes. Any number of fractional digits is accepted and rounded
// correctly to the nearest double; the calendar fields must name a real instant (no month 13, no
// February 30, no leap second), in the years 1 to 9999, and the time zone must be Z.
bool ParseDate(const char *text, std::size_t length, CFAbsoluteTime *at);

// The number of base64 characters per line of a <data> element at `indent` tabs: 76 columns with
// a tab counted as 8, never fewer than 16 characters, always whole 4-character groups.
std::size_t Base64LineLength(unsigned indent);
constexpr std::size_t Base64EncodedLength(std::size_t n) { return (n + 2) / 3 * 4; }
// Writes the base64 of `bytes` (Base64EncodedLength(length) characters, no line breaks) to `out`.
void Base64Encode(const std::uint8_t *bytes, std::size_t length, char *out);

// Decodes base64 text, skipping white space (space, tab, CR, LF). Refuses characters outside the
// alphabet, padding anywhere but the end of the last group, more than two padding characters and
// a character count that is not a multiple of 4. `out` must have room for length / 4 * 3 + 3
// bytes; *outLength receives the number written.
bool Base64Decode(const char *text, std::size_t length, std::uint8_t *out, std::size_t *outLength);

// A growable byte buffer from malloc, so that the finished document can be handed to a CFData
// without a copy. Running out of memory is fatal, as it is for every other allocation here.
class ByteBuffer {
public:
    ByteBuffer() = default;
    ByteBuffer(const ByteBuffer &) = delete;
    ByteBuffer &operator=(const ByteBuffer &) = delete;
    ~ByteBuffer() { std::free(data_); }

    // Room for `n` more bytes at end(); grows geometrically.
    char *reserve(std::size_t n) {
        if (capacity_ - length_ < n) grow(n);
        return data_ + length_;
    }
    void commit(std::size_t n) { length_ += n; }
    void append(const char *bytes, std::size_t n) {
        std::memcpy(reserve(n), bytes, n);
        length_ += n;
    }
    template <std::size_t N>
    void appendLiteral(const char (&text)[N]) { append(text, N - 1); }
    void appendTabs(unsigned count) {
        char *p = reserve(count);
        std::memset(p, '\t', count);
        length_ += count;
    }
    std::size_t size() const { return length_; }
    // Hands the bytes (malloc'd) to the caller.
    char *release() {
        char *data = data_;
        data_ = nullptr;
        length_ = capacity_ = 0;
        return data;
    }

private:
    void grow(std::size_t n) {
        std::size_t capacity = capacity_ < 4096 ? 4096 : capacity_;
        while (capacity - length_ < n) capacity *= 2;
        void *data = std::realloc(data_, capacity);
        if (data == nullptr) std::abort();
        data_ = static_cast<char *>(data);
        capacity_ = capacity;
    }

    char *data_ = nullptr;
    std::size_t length_ = 0;
    std::size_t capacity_ = 0;
};

// Writes the whole document for `propertyList` to `out`; false (with `out` holding a partial
// document) if the value cannot be written.
bool WriteXML(CFTypeRef propertyList, ByteBuffer &out);

}  // namespace cf::plist
