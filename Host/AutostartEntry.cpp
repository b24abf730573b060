#include "AutostartEntry.h"

#include "UserFolders.h"

#include <Support/Eintr.h>
#include <Support/UniqueFd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tidemark {
namespace {

constexpr char kEntryName[] = "org.tidemark.Tidemark.desktop";

// A string value of a desktop entry: a backslash is written twice, line breaks cannot appear.
std::string EscapedValue(const std::string &text) {
    std::string escaped;
    for (const char c : text) {
        if (c == '\\') escaped += '\\';
        escaped += c;
    }
    return escaped;
}

int MakeFolder(const std::string &folder) {
    // Only the last level: ~/.config itself is the user's, and a missing one is made the same way.
    const std::string parent = std::filesystem::path(folder).parent_path().string();
    if (::mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    return 0;
}

int WriteAll(int fd, const std::string &text) {
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = wfs::RetryOnEintr([&] { return ::write(fd, text.data() + done, text.size() - done); });
        if (n < 0) return errno;
        done += static_cast<size_t>(n);
    }
    return 0;
}

}  // namespace

std::optional<std::string> AutostartEntry::UserEntryPath() {
    const std::optional<std::string> config = UserConfigFolder();
    if (!config) return std::nullopt;
    return *config + "/autostart/" + kEntryName;
}

std::optional<std::string> AutostartEntry::ExecArgument(const std::string &program) {
    if (program.empty() || program[0] != '/' || program.find_first_of("\n\r") != std::string::npos) return std::nullopt;
    // Inside double quotes these four are escaped with a backslash; a percent sign would start a
    // field code. The file's own escaping comes on top, doubling every backslash again.
    std::string quoted = "\"";
    for (const char c : program) {
        if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
        quoted += c;
        if (c == '%') quoted += '%';
    }
    return EscapedValue(quoted + "\"");
}

std::optional<std::string> AutostartEntry::Contents(const std::string &program) {
    const std::optional<std::string> exec = ExecArgument(program);
    if (!exec) return std::nullopt;
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=Tidemark\n"
           "Comment=Alarms and timers that wake the computer\n"
           "Icon=org.tidemark.Tidemark\n"
           "TryExec=" + EscapedValue(program) + "\n"
           "Exec=" + *exec + "\n"
           "Terminal=false\n"
           "X-GNOME-Autostart-enabled=true\n";
}

bool AutostartEntry::exists() const {
    struct stat st {};
    return ::stat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int AutostartEntry::write() const {
    const std::optional<std::string> contents = Contents(program_);
    if (!contents) return EINVAL;
    const std::string folder = std::filesystem::path(path_).parent_path().string();
    if (const int error = MakeFolder(folder)) return error;
    // A hidden name that is no .desktop file, so that a session starting meanwhile never reads a
    // half-written entry.
    std::string temporary = folder + "/." + kEntryName + ".XXXXXX";
    wfs::UniqueFd fd(wfs::RetryOnEintr([&] { return ::mkostemp(temporary.data(), O_CLOEXEC); }));
    if (!fd) return errno;
    int error = WriteAll(fd.get(), *contents);
    if (error == 0 && ::fchmod(fd.get(), 0644) != 0) error = errno;
    if (error == 0 && wfs::RetryOnEintr([&] { return ::fsync(fd.get()); }) != 0) error = errno;
    if (error == 0 && ::rename(temporary.c_str(), path_.c_str()) != 0) error = errno;
    if (error != 0) ::unlink(temporary.c_str());
    return error;
}

int AutostartEntry::remove() const {
    if (::unlink(path_.c_str()) != 0 && errno != ENOENT) return errno;
    return 0;
}

std::string RunningProgramPath() {
    std::error_code error;
    std::string path = std::filesystem::read_symlink("/proc/self/exe", error).string();
    const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0) {
        path.resize(path.size() - deleted.size());
    }
    return path;
}

}  // namespace tidemark
