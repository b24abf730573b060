// Helpers shared by the main-routine tests: dropping to nobody, frames and external forms as
// bytes, a file's owner and mode, and running a tool process on a socket pair.
#pragma once

#include "MoreSecurityToolMainInternal.h"
#include "MoreSecurityWireTestSupport.h"

#include <gtest/gtest.h>

#include <grp.h>
#include <poll.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <map>
#include <string>
#include <vector>

extern char **environ;

namespace wfs_test {

inline constexpr uid_t kNobody = 65534;
inline constexpr char kExpectedRelayLines[] = "MoreSecurity: Calling AEWP\nMoreSecurity: AEWP returned ";

inline bool DropToNobody()
{
    return setgroups(0, nullptr) == 0 && setresgid(kNobody, kNobody, kNobody) == 0 &&
           setresuid(kNobody, kNobody, kNobody) == 0;
}

inline std::string ExternalFormOf(AuthorizationRef auth)
{
    AuthorizationExternalForm form;
    EXPECT_EQ(AuthorizationMakeExternalForm(auth, &form), 0);
    return std::string(form.bytes, sizeof(form.bytes));
}

inline std::string FrameOf(CFDictionaryRef dict)
{
    wfs::CFRef<CFDataRef> xml(CFPropertyListCreateXMLData(nullptr, dict));
    const uint32_t n = static_cast<uint32_t>(CFDataGetLength(xml.get()));
    std::string frame(reinterpret_cast<const char *>(&n), sizeof(n));
    frame.append(reinterpret_cast<const char *>(CFDataGetBytePtr(xml.get())), n);
    return frame;
}

inline std::map<std::string, std::string> ParseLines(const std::string &text)
{
    std::map<std::string, std::string> values;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(start, end - start);
        const size_t equals = line.find('=');
        if (equals != std::string::npos) values[line.substr(0, equals)] = line.substr(equals + 1);
        start = end + 1;
    }
    return values;
}

struct FileState {
    uid_t uid = 0;
    gid_t gid = 0;
    mode_t mode = 0;
    bool operator==(const FileState &other) const
    {
        return uid == other.uid && gid == other.gid && mode == other.mode;
    }
};

inline FileState StateOf(const std::string &path)
{
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return FileState{st.st_uid, st.st_gid, st.st_mode};
}

inline std::string Escape(const std::string &text)
{
    std::string out;
    for (char c : text) out += (c == '\n') ? std::string("\\n") : std::string(1, c);
    return out;
}

// ---- A tool process with a socket on 0 and 1 --------------------------------------------------

struct ToolRun {
    pid_t pid = -1;
    bool exited = false;
    int exitStatus = -1;
    int signal = 0;
    std::string out;
    std::string err;
};

// Runs `path` with `args` (argv[0] is the path), the socket pair on 0 and 1 and a pipe on 2,
// writes `input` and half-closes, collects output and standard error, and reaps the tool. As root
// the tool runs as nobody, so that it is not started as root. `env` entries are added to ours.
inline ToolRun RunTool(const std::string &path, const std::vector<std::string> &args,
                const std::string &input, const std::vector<std::string> &env = {})
{
    // Everything the child needs is built before the fork.
    std::vector<std::string> argStrings{path};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    std::vector<char *> argv;
    for (std::string &arg : argStrings) argv.push_back(arg.data());
    argv.push_back(nullptr);
    std::vector<std::string> envStrings(env);
    for (char **entry = environ; *entry != nullptr; entry++) envStrings.push_back(*entry);
    std::vector<char *> envp;
    for (std::string &entry : envStrings) envp.push_back(entry.data());
    envp.push_back(nullptr);
    const bool drop = geteuid() == 0;

    ToolRun run;
    SocketPair socket;
    int errPipe[2] = {-1, -1};
    EXPECT_EQ(pipe2(errPipe, O_CLOEXEC), 0);
    wfs::UniqueFd errRead(errPipe[0]);
    wfs::UniqueFd errWrite(errPipe[1]);
    run.pid = fork();
    if (run.pid == 0) {
        if (dup2(socket.theirs.get(), 0) < 0 || dup2(socket.theirs.get(), 1) < 0 ||
            dup2(errWrite.get(), 2) < 0) {
            _exit(120);
        }
        if (drop && !DropToNobody()) _exit(121);
        execve(argv[0], argv.data(), envp.data());
        _exit(122);
    }
    socket.theirs.reset();
    errWrite.reset();

    size_t written = 0;
    bool writing = true;
    if (input.empty()) {
        shutdown(socket.ours.get(), SHUT_WR);
        writing = false;
    }
    bool outOpen = true, errOpen = true;
    char buffer[65536];
    while (outOpen || errOpen) {
        struct pollfd fds[2] = {
            {outOpen ? socket.ours.get() : -1, static_cast<short>(POLLIN | (writing ? POLLOUT : 0)), 0},
            {errOpen ? errRead.get() : -1, POLLIN, 0}};
        if (wfs::RetryOnEintr([&] { return poll(fds, 2, -1); }) < 0) break;
        if (writing && (fds[0].revents & (POLLOUT | POLLERR | POLLHUP))) {
            const ssize_t n = send(socket.ours.get(), input.data() + written, input.size() - written,
                                   MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) written += static_cast<size_t>(n);
            if ((n < 0 && errno != EAGAIN && errno != EINTR) || written == input.size()) {
                shutdown(socket.ours.get(), SHUT_WR);
                writing = false;
            }
        }
        if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = recv(socket.ours.get(), buffer, sizeof(buffer), MSG_DONTWAIT);
            if (n > 0) run.out.append(buffer, static_cast<size_t>(n));
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
                outOpen = false;
                writing = false;
            }
        }
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) {
            const ssize_t n = read(errRead.get(), buffer, sizeof(buffer));
            if (n > 0) run.err.append(buffer, static_cast<size_t>(n));
            if (n <= 0) errOpen = false;
        }
    }
    int status = 0;
    EXPECT_EQ(wfs::RetryOnEintr([&] { return waitpid(run.pid, &status, 0); }), run.pid);
    run.exited = WIFEXITED(status);
    run.exitStatus = run.exited ? WEXITSTATUS(status) : -1;
    run.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    return run;
}

}  // namespace wfs_test
