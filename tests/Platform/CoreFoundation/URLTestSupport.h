// Real folders and files for the URL and bundle tests.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <Support/CFRef.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

namespace wfs::test {

// A fresh folder under the temporary folder, removed with everything in it at the end.
class TempFolder {
public:
    TempFolder() {
        std::string pattern = (std::filesystem::temp_directory_path() / "wfs-url-XXXXXX").string();
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        path_ = pattern;
    }
    ~TempFolder() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempFolder(const TempFolder &) = delete;
    TempFolder &operator=(const TempFolder &) = delete;

    const std::string &path() const { return path_; }
    std::string operator/(const std::string &name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

inline void WriteFile(const std::string &path, const std::string &contents) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
    if (!out) throw std::runtime_error("cannot write " + path);
}

inline CFRef<CFStringRef> Str(const std::string &utf8) {
    return CFRef<CFStringRef>(CFStringCreateWithBytes(nullptr, reinterpret_cast<const UInt8 *>(utf8.data()),
                                                      static_cast<CFIndex>(utf8.size()),
                                                      kCFStringEncodingUTF8, false));
}

// The UTF-8 bytes of a string, or nothing for NULL.
inline std::optional<std::string> Utf8(CFStringRef string) {
    if (string == nullptr) return std::nullopt;
    CFIndex length = CFStringGetLength(string);
    CFIndex needed = 0;
    CFStringGetBytes(string, CFRangeMake(0, length), kCFStringEncodingUTF8, 0, false, nullptr, 0, &needed);
    std::string out(static_cast<size_t>(needed), '\0');
    CFStringGetBytes(string, CFRangeMake(0, length), kCFStringEncodingUTF8, 0, false,
                     reinterpret_cast<UInt8 *>(out.data()), needed, &needed);
    return out;
}

inline CFRef<CFURLRef> PathURL(const std::string &path, bool isDirectory) {
    return CFRef<CFURLRef>(CFURLCreateFromFileSystemRepresentation(
        nullptr, reinterpret_cast<const UInt8 *>(path.data()), static_cast<CFIndex>(path.size()), isDirectory));
}

// The file-system path of a URL, or nothing.
inline std::optional<std::string> PathOf(CFURLRef url) {
    if (url == nullptr) return std::nullopt;
    UInt8 buffer[PATH_MAX];
    if (!CFURLGetFileSystemRepresentation(url, true, buffer, sizeof buffer)) return std::nullopt;
    return std::string(reinterpret_cast<char *>(buffer));
}

}  // namespace wfs::test
