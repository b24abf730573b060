// File URLs: an absolute path held as bytes, with a lazily made "file://" string.
#include "CFURLInternal.h"

#include <cstring>
#include <functional>
#include <unistd.h>

__CFURL::~__CFURL() {
    if (string_ != nullptr) CFRelease(string_);
}

bool __CFURL::equal(const __CFObject &other) const {
    return path_ == static_cast<const __CFURL &>(other).path_;
}

CFHashCode __CFURL::hash() const { return std::hash<std::string>{}(path_); }

std::string __CFURL::fileSystemPath() const {
    if (path_.size() > 1 && path_.back() == '/') return path_.substr(0, path_.size() - 1);
    return path_;
}

namespace {

// The characters a path may hold unescaped: RFC 3986's unreserved and sub-delims, ":", "@" and
// the "/" separator. Everything else, including "%", "?", "#", spaces and every non-ASCII byte,
// is written as %XX so that the string parses back to the same bytes.
bool IsPathCharacter(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    return std::strchr("-._~!$&'()*+,;=:@/", c) != nullptr && c != '\0';
}

std::string EscapedURLString(const std::string &path) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out = "file://";
    out.reserve(out.size() + path.size());
    for (unsigned char c : path) {
        if (IsPathCharacter(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    return out;
}

}  // namespace

std::string __CFURL::description() const { return EscapedURLString(path_); }

CFStringRef __CFURL::string() const {
    // The escaped form is plain ASCII, so making the string cannot fail for a bad encoding.
    std::call_once(stringOnce_, [this] { string_ = cf::CreateStringFromUTF8(EscapedURLString(path_)); });
    return string_;
}

namespace cf {

std::optional<std::string> StringToUTF8(CFStringRef string) {
    if (string == nullptr) return std::nullopt;
    CFIndex length = CFStringGetLength(string);
    CFIndex needed = 0;
    if (CFStringGetBytes(string, CFRangeMake(0, length), kCFStringEncodingUTF8, 0, false, nullptr,
                         0, &needed) != length) {
        return std::nullopt;
    }
    std::string bytes(static_cast<size_t>(needed), '\0');
    CFIndex used = 0;
    if (CFStringGetBytes(string, CFRangeMake(0, length), kCFStringEncodingUTF8, 0, false,
                         reinterpret_cast<UInt8 *>(bytes.data()), needed, &used) != length) {
        return std::nullopt;
    }
    bytes.resize(static_cast<size_t>(used));
    return bytes;
}

CFStringRef CreateStringFromUTF8(std::string_view bytes) {
    return CFStringCreateWithBytes(kCFAllocatorDefault, reinterpret_cast<const UInt8 *>(bytes.data()),
                                   static_cast<CFIndex>(bytes.size()), kCFStringEncodingUTF8, false);
}

CFURLRef CreateFileURL(std::string_view path, bool isDirectory) {
    if (path.empty() || path.find('\0') != std::string_view::npos) return nullptr;
    std::string absolute;
    if (path.front() != '/') {
        // getcwd(NULL, 0) allocates as much as the path needs; ERANGE cannot happen.
        char *cwd = ::getcwd(nullptr, 0);
        if (cwd == nullptr) return nullptr;
        absolute = cwd;
        std::free(cwd);
        if (absolute.back() != '/') absolute += '/';
    }
    absolute.append(path);
    while (absolute.size() > 1 && absolute.back() == '/') absolute.pop_back();
    if (isDirectory && absolute.back() != '/') absolute += '/';
    return new __CFURL(std::move(absolute));
}

}  // namespace cf

extern "C" {

CFTypeID CFURLGetTypeID(void) { return kCFTypeIDURL; }

CFURLRef CFURLCreateWithFileSystemPath(CFAllocatorRef, CFStringRef filePath, CFURLPathStyle pathStyle,
                                       Boolean isDirectory) {
    CF_ASSERT(filePath != NULL);
    if (pathStyle != kCFURLPOSIXPathStyle) return nullptr;
    std::optional<std::string> path = cf::StringToUTF8(filePath);
    if (!path) return nullptr;
    return cf::CreateFileURL(*path, isDirectory);
}

CFURLRef CFURLCreateFromFileSystemRepresentation(CFAllocatorRef, const UInt8 *buffer, CFIndex bufLen,
                                                 Boolean isDirectory) {
    CF_ASSERT(bufLen >= 0);
    CF_ASSERT(buffer != NULL || bufLen == 0);
    if (bufLen == 0) return nullptr;
    return cf::CreateFileURL(
        std::string_view(reinterpret_cast<const char *>(buffer), static_cast<size_t>(bufLen)),
        isDirectory);
}

Boolean CFURLGetFileSystemRepresentation(CFURLRef url, Boolean, UInt8 *buffer, CFIndex maxBufLen) {
    const __CFURL *u = CF_URL(url);
    if (buffer == nullptr || maxBufLen <= 0) return false;
    std::string path = u->fileSystemPath();
    if (path.size() + 1 > static_cast<size_t>(maxBufLen)) return false;
    std::memcpy(buffer, path.c_str(), path.size() + 1);
    return true;
}

CFStringRef CFURLCopyFileSystemPath(CFURLRef anURL, CFURLPathStyle pathStyle) {
    const __CFURL *u = CF_URL(anURL);
    if (pathStyle != kCFURLPOSIXPathStyle) return nullptr;
    return cf::CreateStringFromUTF8(u->fileSystemPath());
}

CFStringRef CFURLGetString(CFURLRef anURL) { return CF_URL(anURL)->string(); }

CFURLRef CFURLGetBaseURL(CFURLRef anURL) {
    (void)CF_URL(anURL);
    return nullptr;
}

CFURLRef CFURLCopyAbsoluteURL(CFURLRef relativeURL) {
    (void)CF_URL(relativeURL);
    return static_cast<CFURLRef>(CFRetain(relativeURL));
}

Boolean CFURLHasDirectoryPath(CFURLRef anURL) { return CF_URL(anURL)->isDirectory(); }

CFStringRef CFURLCopyLastPathComponent(CFURLRef url) {
    std::string path = CF_URL(url)->fileSystemPath();
    if (path == "/") return cf::CreateStringFromUTF8(path);
    return cf::CreateStringFromUTF8(std::string_view(path).substr(path.rfind('/') + 1));
}

CFURLRef CFURLCreateCopyAppendingPathComponent(CFAllocatorRef, CFURLRef url, CFStringRef pathComponent,
                                               Boolean isDirectory) {
    const __CFURL *u = CF_URL(url);
    CF_ASSERT(pathComponent != NULL);
    std::optional<std::string> component = cf::StringToUTF8(pathComponent);
    if (!component || component->empty()) return nullptr;
    std::string path = u->path_;
    if (path.back() != '/') path += '/';
    path += *component;
    return cf::CreateFileURL(path, isDirectory);
}

CFURLRef CFURLCreateCopyDeletingLastPathComponent(CFAllocatorRef, CFURLRef url) {
    std::string path = CF_URL(url)->fileSystemPath();
    if (path == "/") return cf::CreateFileURL(path, true);
    path.erase(path.rfind('/') + 1);
    return cf::CreateFileURL(path, true);
}

}  // extern "C"
