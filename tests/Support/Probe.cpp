// The probe: a program that describes how it was started, for tests of whatever starts programs.
// It writes "key=value" lines to standard output:
//
//   pid, ppid, argc, argv0, argv1, ...     ruid, euid, suid, rgid, egid, sgid, groups (a list)
//   umask (octal), cwd                     env.NAME for every variable
//   fds (a list), fd.N = kind:device:inode:cloexec for each (kind: sock, fifo, file, dir, chr, other)
//   rlimit.NAME = soft:hard ("inf")        sigignored, sigblocked (lists of signal numbers)
//   auth (the authorization-probe build only): the hex external form of the privileged reference
//   input: what it then read on 0 up to the end
//
// WFS_PROBE_MODE changes what it does instead: "exit:N" ends at once with N, writing nothing;
// "write:N" writes "x" and ends with N.
// Lists are comma-separated. Built without anything but the C library (and, for the
// authorization probe, the Security library), so that what it reports is what it was given.

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef WFS_PROBE_AUTHORIZATION
#include <Security/Security.h>
#endif

extern char **environ;

namespace {

std::string gText;

void Line(const std::string &key, const std::string &value) { gText += key + "=" + value + "\n"; }

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

void Limits()
{
    const struct {
        const char *name;
        int resource;
    } limits[] = {{"CPU", RLIMIT_CPU},   {"FSIZE", RLIMIT_FSIZE},   {"DATA", RLIMIT_DATA},   {"STACK", RLIMIT_STACK},
                  {"CORE", RLIMIT_CORE}, {"AS", RLIMIT_AS},         {"NPROC", RLIMIT_NPROC}, {"NOFILE", RLIMIT_NOFILE},
                  {"MEMLOCK", RLIMIT_MEMLOCK}};
    auto text = [](rlim_t value) { return value == RLIM_INFINITY ? std::string("inf") : std::to_string(value); };
    for (const auto &limit : limits) {
        struct rlimit value {};
        getrlimit(static_cast<__rlimit_resource>(limit.resource), &value);
        Line(std::string("rlimit.") + limit.name, text(value.rlim_cur) + ":" + text(value.rlim_max));
    }
}

void Signals()
{
    std::string ignored, blocked;
    sigset_t mask;
    sigprocmask(SIG_SETMASK, nullptr, &mask);
    for (int sig = 1; sig <= SIGRTMAX; sig++) {
        struct sigaction action {};
        if (sigaction(sig, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) {
            ignored += (ignored.empty() ? "" : ",") + std::to_string(sig);
        }
        if (sigismember(&mask, sig) == 1) blocked += (blocked.empty() ? "" : ",") + std::to_string(sig);
    }
    Line("sigignored", ignored);
    Line("sigblocked", blocked);
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
    if (status != errAuthorizationSuccess) return "ERR " + std::to_string(status);
    std::string hex;
    char digits[3];
    for (char c : form.bytes) {
        snprintf(digits, sizeof digits, "%02x", static_cast<unsigned char>(c));
        hex += digits;
    }
    return hex;
}
#endif

bool WriteAll(const std::string &text)
{
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = write(STDOUT_FILENO, text.data() + done, text.size() - done);
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

    Line("pid", std::to_string(getpid()));
    Line("ppid", std::to_string(getppid()));
    Line("argc", std::to_string(argc));
    for (int i = 0; i < argc; i++) Line("argv" + std::to_string(i), argv[i]);
    uid_t r, e, s;
    gid_t rg, eg, sg;
    getresuid(&r, &e, &s);
    getresgid(&rg, &eg, &sg);
    Line("ruid", std::to_string(r)), Line("euid", std::to_string(e)), Line("suid", std::to_string(s));
    Line("rgid", std::to_string(rg)), Line("egid", std::to_string(eg)), Line("sgid", std::to_string(sg));
    gid_t groups[256];
    const int count = getgroups(256, groups);
    std::string list;
    for (int i = 0; i < count; i++) list += (i ? "," : "") + std::to_string(groups[i]);
    Line("groups", list);
    const mode_t mask = umask(0);
    char octal[8];
    snprintf(octal, sizeof octal, "%03o", mask);
    Line("umask", octal);
    char cwd[4096];
    Line("cwd", getcwd(cwd, sizeof cwd) != nullptr ? cwd : "");
    for (char **entry = environ; *entry != nullptr; entry++) gText += std::string("env.") + *entry + "\n";
    Descriptors();
    Limits();
    Signals();
#ifdef WFS_PROBE_AUTHORIZATION
    Line("auth", Authorization());
#endif
    if (!WriteAll(gText)) return 1;

    std::string input;
    char buffer[4096];
    for (ssize_t n; (n = read(STDIN_FILENO, buffer, sizeof buffer)) > 0;) input.append(buffer, static_cast<size_t>(n));
    return WriteAll("input=" + input + "\n") ? 0 : 1;
}
