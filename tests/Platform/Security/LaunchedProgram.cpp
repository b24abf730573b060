// A program for the privileged-launch tests to launch. WFS_LAUNCHED_MODE chooses:
//   report     write its process ID (4 bytes, native order), then lines describing how it runs,
//              then, after reading its input to the end, "input=<what it read>", and exit 0
//   exit:N     exit with status N at once, writing nothing
//   write:N    write "x", then exit with status N
// The report lines: euid, ruid, sock01 (1 when 0 and 1 are the same socket), argc, groups (the
// number of supplementary groups), marker (WFS_INVOKER_MARKER or "none"), arg1..., and
// auth, the hex external form of AuthorizationCopyPrivilegedReference's reference or "ERR <status>".

#include <Security/Security.h>

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

namespace {

bool WriteAll(const std::string &text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string AuthorizationLine()
{
    AuthorizationRef auth = nullptr;
    const OSStatus status = AuthorizationCopyPrivilegedReference(&auth, kAuthorizationFlagDefaults);
    if (status != errAuthorizationSuccess) return "auth=ERR " + std::to_string(status) + "\n";
    AuthorizationExternalForm form;
    const OSStatus made = AuthorizationMakeExternalForm(auth, &form);
    AuthorizationFree(auth, kAuthorizationFlagDefaults);
    if (made != errAuthorizationSuccess) return "auth=ERR " + std::to_string(made) + "\n";
    std::string line = "auth=";
    char hex[3];
    for (char c : form.bytes) {
        snprintf(hex, sizeof(hex), "%02x", static_cast<unsigned char>(c));
        line += hex;
    }
    return line + "\n";
}

int Report(int argc, char **argv)
{
    const int32_t pid = getpid();
    if (!WriteAll(std::string(reinterpret_cast<const char *>(&pid), sizeof(pid)))) return 1;
    struct stat in {}, out {};
    const bool sameSocket = fstat(0, &in) == 0 && fstat(1, &out) == 0 && S_ISSOCK(in.st_mode) &&
                            in.st_ino == out.st_ino && in.st_dev == out.st_dev;
    std::string report = "euid=" + std::to_string(geteuid()) + "\nruid=" +
                         std::to_string(getuid()) + "\nsock01=" + (sameSocket ? "1" : "0") +
                         "\nargc=" + std::to_string(argc) + "\ngroups=" +
                         std::to_string(getgroups(0, nullptr)) + "\nmarker=" +
                         (getenv("WFS_INVOKER_MARKER") ? getenv("WFS_INVOKER_MARKER") : "none") +
                         "\n";
    for (int i = 1; i < argc; i++) report += "arg" + std::to_string(i) + "=" + argv[i] + "\n";
    report += AuthorizationLine();
    if (!WriteAll(report)) return 1;

    std::string input;
    char buffer[256];
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof(buffer));
        if (n <= 0) break;
        input.append(buffer, static_cast<size_t>(n));
    }
    return WriteAll("input=" + input + "\n") ? 0 : 1;
}

}  // namespace

int main(int argc, char **argv)
{
    const char *mode = getenv("WFS_LAUNCHED_MODE");
    if (mode == nullptr || strcmp(mode, "report") == 0) return Report(argc, argv);
    if (strncmp(mode, "exit:", 5) == 0) return atoi(mode + 5);
    if (strncmp(mode, "write:", 6) == 0) {
        (void) WriteAll("x");
        return atoi(mode + 6);
    }
    return 1;
}
