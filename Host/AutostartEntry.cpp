#include "AutostartEntry.h"

#include "UserFolders.h"

#include <Foundation/PropertyListFile.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

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
    // The temporary's name ends in no .desktop, so a session starting meanwhile never reads a
    // half-written entry.
    return wfs::foundation::ReplaceFileAtomically(path_, contents->data(), contents->size(), 0644);
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
