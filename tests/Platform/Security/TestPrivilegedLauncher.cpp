// TEST-ONLY privileged launcher. It stands in for polkit's pkexec in the privileged-launch and
// helper-tool tests, which install a copy set-user-ID root in a temporary folder of their own and
// remove it afterwards. Never install it anywhere else: it runs any program as root for anyone.
//
// Called as pkexec is: <launcher> <absolute program path> <arguments...>. What it does is chosen
// by WFS_TEST_LAUNCHER_MODE:
//   refuse     exit 127, as pkexec does when the user is not authorized
//   asis       run the program in place without changing user IDs (needs no installation)
//   overmount  become root, open the program, then bind-mount the file named by
//              WFS_TEST_LAUNCHER_REPLACEMENT over its path in a private mount namespace and run
//              the opened program: its path then names another file than the one running
//   rename     become root, open the program, rename WFS_TEST_LAUNCHER_REPLACEMENT over its path,
//              and run the opened program
//   (other)    become root fully (real, effective and saved IDs) and run the program in place,
//              keeping the environment
// Any failure exits with 127, as pkexec does.

#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mount.h>
#include <unistd.h>

#include <grp.h>

extern char **environ;

namespace {

constexpr int kRefused = 127;

bool BecomeRoot()
{
    return setgroups(0, nullptr) == 0 && setresgid(0, 0, 0) == 0 && setresuid(0, 0, 0) == 0;
}

// Opens the program before its path is tampered with, and runs what was opened.
int RunOpenedAfter(char **programArgv, bool overmount)
{
    const char *replacement = getenv("WFS_TEST_LAUNCHER_REPLACEMENT");
    if (replacement == nullptr || !BecomeRoot()) return kRefused;
    const int program = open(programArgv[0], O_RDONLY | O_CLOEXEC);
    if (program < 0) return kRefused;
    if (overmount) {
        if (unshare(CLONE_NEWNS) != 0) return kRefused;
        if (mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) return kRefused;
        if (mount(replacement, programArgv[0], nullptr, MS_BIND, nullptr) != 0) return kRefused;
    } else if (rename(replacement, programArgv[0]) != 0) {
        return kRefused;
    }
    fexecve(program, programArgv, environ);
    return kRefused;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || argv[1][0] != '/') return kRefused;
    const char *mode = getenv("WFS_TEST_LAUNCHER_MODE");
    if (mode == nullptr) mode = "";

    if (strcmp(mode, "refuse") == 0) return kRefused;
    if (strcmp(mode, "overmount") == 0) return RunOpenedAfter(argv + 1, true);
    if (strcmp(mode, "rename") == 0) return RunOpenedAfter(argv + 1, false);
    if (strcmp(mode, "asis") != 0 && !BecomeRoot()) return kRefused;
    execv(argv[1], argv + 1);
    return kRefused;
}
