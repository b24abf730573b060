// The file URL object and the path helpers that URLs and bundles share. Not installed.
#pragma once

#include "CFInternal.h"

#include <mutex>
#include <optional>
#include <string>
#include <string_view>

struct __CFURL final : __CFObject {
    // `path` is absolute; it ends in "/" exactly when the URL names a folder.
    explicit __CFURL(std::string path) noexcept : __CFObject(kCFTypeIDURL), path_(std::move(path)) {}
    ~__CFURL() override;

    bool equal(const __CFObject &other) const override;
    CFHashCode hash() const override;
    std::string description() const override;

    bool isDirectory() const { return path_.size() > 0 && path_.back() == '/'; }
    // The path without the folder's trailing "/" (the root stays "/").
    std::string fileSystemPath() const;
    // The URL string, made on first use and kept for CFURLGetString.
    CFStringRef string() const;

    const std::string path_;

private:
    mutable std::once_flag stringOnce_;
    mutable CFStringRef string_ = nullptr;
};

namespace cf {

// The UTF-8 bytes of a string; nothing when it does not convert completely.
std::optional<std::string> StringToUTF8(CFStringRef string);
// A new string from UTF-8 bytes; NULL when they are not valid UTF-8.
CFStringRef CreateStringFromUTF8(std::string_view bytes);

// A new URL for `path` (absolute, or relative to the working directory); `isDirectory` decides the
// trailing "/". NULL for an empty path, a path with a NUL, or an unreadable working directory.
CFURLRef CreateFileURL(std::string_view path, bool isDirectory);

inline const __CFURL *URL(CFURLRef url, const char *file, unsigned line, const char *expr) {
    return Cast<__CFURL>(url, kCFTypeIDURL, file, line, expr);
}

}  // namespace cf

#define CF_URL(url) ::cf::URL((url), __FILE__, __LINE__, "CFGetTypeID(" #url ") == CFURLGetTypeID()")
