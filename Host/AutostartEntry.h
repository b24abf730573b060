// "Start at login": an XDG autostart entry, ${XDG_CONFIG_HOME:-~/.config}/autostart/
// org.tidemark.Tidemark.desktop, which the desktop's session manager reads at login. Its Exec line
// names the program that wrote it by its absolute path, so that a build tree, a relocated install
// and the packaged one each start themselves; TryExec makes a session skip an entry whose program
// has since been removed.
#pragma once

#include <optional>
#include <string>

namespace tidemark {

class AutostartEntry {
public:
    // The entry of the user's configuration folder; empty without a home folder.
    static std::optional<std::string> UserEntryPath();

    AutostartEntry(std::string path, std::string program) : path_(std::move(path)), program_(std::move(program)) {}

    const std::string &path() const { return path_; }
    bool exists() const;
    // Writes the entry atomically (a temporary file renamed into place), making the autostart
    // folder (0700) when it is missing: 0 or an errno. EINVAL for a program path that an Exec
    // line cannot carry (a line break, or not absolute).
    int write() const;
    // 0 also when there was none.
    int remove() const;

    // The file's text.
    static std::optional<std::string> Contents(const std::string &program);
    // `program` as one argument of an Exec line: quoted, with the quoting's and the file format's
    // escapes; empty when it cannot be written there.
    static std::optional<std::string> ExecArgument(const std::string &program);

private:
    std::string path_, program_;
};

// The running program's file, links resolved ("/proc/self/exe"), without the " (deleted)" the
// kernel appends once an upgrade has replaced it, since the new file at that path is the one to
// start next time. Empty when it cannot be read.
std::string RunningProgramPath();

}  // namespace tidemark
