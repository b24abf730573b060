// The probe: a program that describes how it was started, for tests of whatever starts programs.
// It writes "key=value" lines to standard output:
//
//   pid, argc, argv0, argv1, ...           ruid, euid, groups (a list)
//   env.NAME for every variable
//   fds (a list), fd.N = kind:device:inode:cloexec for each (kind: sock, fifo, file, dir, chr, other)
//   auth (the authorization-probe build only): the hex external form of the privileged reference
//   input: what it then read on 0 up to the end, in hexadecimal
//
// WFS_PROBE_MODE changes what it does: "exit:N" ends at once with N, writing nothing; "write:N"
// writes "x" and ends with N; "stderr" writes the lines to standard error instead, for a starter
// that talks to the program on its standard output.
// Lists are comma-separated. Built without anything but the C library (and, for the
// authorization probe, the Security library), so that what it reports is what it was given.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef WFS_PROBE_AUTHORIZATION
#include <Security/Security.h>
#endif

extern char **environ;

namespace {

std::string gText;

void Line(const std::string &key, const std::string &value) { gText += key + "=" + value + "\n"; }

std::string Hex(const char *bytes, size_t size)
{
    std::string hex;
    char digits[3];
    for (size_t i = 0; i < size; i++) {
        snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(bytes[i]));
        hex += digits;
    }
    return hex;
}

std::string Kind(mode_t mode)
{
    return S_ISSOCK(mode) ? "sock" : S_ISFIFO(mode) ? "fifo" : S_ISREG(mode) ? "file" : S_ISDIR(mode) ? "dir"
                                     : S_ISCHR(mode) ? "chr" : "other";
}

void Descriptors()
{
    std::string list;
    DIR *dir = opendir("/proc/self/fd");
    while (struct dirent *entry = dir != nullptr ? readdir(dir) : nullptr) {
        if (entry->d_name[0] == '.' || atoi(entry->d_name) == dirfd(dir)) continue;
        const int fd = atoi(entry->d_name);
        struct stat st {};
        if (fstat(fd, &st) != 0) continue;
        list += (list.empty() ? "" : ",") + std::to_string(fd);
        Line("fd." + std::to_string(fd), Kind(st.st_mode) + ":" + std::to_string(st.st_dev) + ":" +
                                             std::to_string(st.st_ino) + ":" +
                                             std::to_string((fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0));
    }
    if (dir != nullptr) closedir(dir);
    Line("fds", list);
}

#ifdef WFS_PROBE_AUTHORIZATION
std::string Authorization()
{
    AuthorizationRef auth = nullptr;
    OSStatus status = AuthorizationCopyPrivilegedReference(&auth, kAuthorizationFlagDefaults);
    AuthorizationExternalForm form;
    if (status == errAuthorizationSuccess) {
        status = AuthorizationMakeExternalForm(auth, &form);
        AuthorizationFree(auth, kAuthorizationFlagDefaults);
    }
    return status == errAuthorizationSuccess ? Hex(form.bytes, sizeof form.bytes) : "ERR " + std::to_string(status);
}
#endif

int gOut = STDOUT_FILENO;

bool WriteAll(const std::string &text)
{
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = write(gOut, text.data() + done, text.size() - done);
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    const char *mode = getenv("WFS_PROBE_MODE");
    if (mode != nullptr && strncmp(mode, "exit:", 5) == 0) return atoi(mode + 5);
    if (mode != nullptr && strncmp(mode, "write:", 6) == 0) return WriteAll("x") ? atoi(mode + 6) : 1;
    if (mode != nullptr && strcmp(mode, "stderr") == 0) gOut = STDERR_FILENO;

    Line("pid", std::to_string(getpid()));
    Line("argc", std::to_string(argc));
    for (int i = 0; i < argc; i++) Line("argv" + std::to_string(i), argv[i]);
    Line("ruid", std::to_string(getuid())), Line("euid", std::to_string(geteuid()));
    gid_t groups[256];
    const int count = getgroups(256, groups);
    std::string list;
    for (int i = 0; i < count; i++) list += (i ? "," : "") + std::to_string(groups[i]);
    Line("groups", list);
    for (char **entry = environ; *entry != nullptr; entry++) gText += std::string("env.") + *entry + "\n";
    Descriptors();
#ifdef WFS_PROBE_AUTHORIZATION
    Line("auth", Authorization());
#endif
    if (!WriteAll(gText)) return 1;

    std::string input;
    char buffer[4096];
    for (ssize_t n; (n = read(STDIN_FILENO, buffer, sizeof buffer)) > 0;) input += Hex(buffer, static_cast<size_t>(n));
    return WriteAll("input=" + input + "\n") ? 0 : 1;
}
