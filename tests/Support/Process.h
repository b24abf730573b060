// The process-test toolkit: children started with chosen descriptors, user and environment
// (RunProgram, RunInChild, Child::Fork/Exec, RunningProgram, RerunThisTest); what they print, how
// they ended and what they report; what the kernel shows of a process; and a fixture that checks a
// test leaves no descriptor and no child behind. WFS_PROBE names the probe program (Probe.cpp).
//
// Every wait has a deadline: a child still running then is killed with its process group, and the
// test fails at once rather than hanging until the ctest timeout.
#pragma once

#include <Support/UniqueFd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace wfstest {

inline constexpr uid_t kNobodyID = 65534;

// Long enough for a loaded machine running sanitized binaries, far below the ctest timeout.
inline constexpr std::chrono::milliseconds kChildDeadline{30000};

// How a child starts, written as ChildSetup().AsNobody().Env("NAME", "value").Fd(0, socket).
// Descriptors not placed with Fd are inherited as they are (the close-on-exec ones close at exec);
// each placed one is open in the child without close-on-exec.
struct ChildSetup {
    std::vector<std::pair<int, int>> fds;                   // {number in the child, descriptor here}
    bool asNobody = false;                                  // no groups, nobody's real/effective/saved IDs
    bool clearEnv = false;                                  // start from an empty environment
    std::map<std::string, std::optional<std::string>> env;  // then set these, or unset for nullopt
    std::string cwd;                                        // empty: this process's
    bool ownGroup = true;                                   // its own process group, killed whole
    std::function<bool()> before;                           // runs in the child last; false: fail
    std::string program;                                    // Exec: the file, when not argv[0]

    ChildSetup &Fd(int inChild, int here) { return fds.emplace_back(inChild, here), *this; }
    ChildSetup &AsNobody(bool drop = true) { return asNobody = drop, *this; }
    ChildSetup &ClearEnv() { return clearEnv = true, *this; }
    ChildSetup &Env(const std::string &name, std::optional<std::string> value) { return env[name] = value, *this; }
    ChildSetup &Cwd(const std::string &folder) { return cwd = folder, *this; }
    // In the caller's process group: a program that makes a session of its own must not lead one.
    ChildSetup &SameGroup() { return ownGroup = false, *this; }
    ChildSetup &Before(std::function<bool()> step) { return before = std::move(step), *this; }
    ChildSetup &Program(const std::string &path) { return program = path, *this; }
};

// How a child ended and what it said.
struct Outcome {
    pid_t pid = -1;
    int exitCode = -1;      // its exit status when it exited
    int signal = 0;         // the signal that ended it
    bool timedOut = false;  // killed at the deadline
    std::string out, err;   // a program's standard output and error; a function child's report
    bool Exited(int code) const { return !timedOut && signal == 0 && exitCode == code; }
    std::map<std::string, std::string> Lines() const;  // "key=value" lines of `out`
};
// For messages: "exit 3", "signal 9" or "timed out", then what it wrote to standard error.
std::ostream &operator<<(std::ostream &out, const Outcome &outcome);

// A child process owned by the test. Dropped while still running, it is killed and reaped.
class Child {
public:
    // Forks; the child applies `setup` and leaves with body()'s result through _exit, so that
    // nothing of the test process (exit handlers, leak checks of what it merely inherited) runs
    // twice. The test process is single-threaded, so the body may use the libraries.
    static Child Fork(const std::function<int()> &body, const ChildSetup &setup = {});
    // Starts argv[0] (or setup.program) with `argv`, which may be empty; 127 when it cannot be
    // executed.
    static Child Exec(const std::vector<std::string> &argv, const ChildSetup &setup = {});
    // Takes over a child that the code under test started and handed to its caller.
    static Child Adopt(pid_t pid);

    Child() = default;
    Child(Child &&other) noexcept;
    Child &operator=(Child &&other) noexcept;
    ~Child();

    pid_t pid() const { return pid_; }
    // Waits for the end; past the deadline kills it (a test failure) and reaps it.
    Outcome Wait(std::chrono::milliseconds deadline = kChildDeadline);

private:
    friend Outcome Collect(Child &, wfs::UniqueFd, wfs::UniqueFd, wfs::UniqueFd, const std::string &,
                           std::chrono::milliseconds);
    void Kill();
    pid_t pid_ = -1;
    wfs::UniqueFd pidfd_;  // readable once the child has ended
};

// Runs a program to its end. Unless `setup` places them, standard input is a socket from which
// `input` is read up to its end, and standard output and error are collected.
Outcome RunProgram(const std::vector<std::string> &argv, const ChildSetup &setup = {},
                   const std::string &input = "", std::chrono::milliseconds deadline = kChildDeadline);

// Everything `fd` gives up to the end of the stream; past the deadline, what came so far and a
// test failure.
std::string ReadAll(int fd, std::chrono::milliseconds deadline = kChildDeadline);
// Appends what `fd` gives to `text` until `text` holds `wanted` (true), or the stream ends or the
// deadline passes (false).
bool ReadUntil(int fd, const std::string &wanted, std::string &text, std::chrono::milliseconds deadline);

// A program left running while the test talks to it, its standard output and error in one pipe
// that the test reads as it waits.
class RunningProgram {
public:
    explicit RunningProgram(const std::vector<std::string> &argv, ChildSetup setup = {});
    // Whether the output shows `text` within the limit.
    bool WaitFor(const std::string &text, std::chrono::milliseconds limit = std::chrono::seconds(20));
    // SIGTERM; the program must end with status 0 (so with nothing for LeakSanitizer to report).
    // All it wrote.
    std::string Stop();
    const std::string &text() const { return text_; }

private:
    Child child_;
    wfs::UniqueFd output_;
    std::string text_;
};

// Runs `body` in a forked child. The child checks with WFS_CHILD_EXPECT and reports lines with
// ChildReport into a page shared with this process: that still works once the child has closed
// every descriptor or can no longer allocate. Its failed checks, and any end but exit 0, fail the
// test; the report comes back as `out`.
Outcome RunInChild(const std::function<void()> &body, const ChildSetup &setup = {});
__attribute__((format(printf, 1, 2))) void ChildReport(const char *format, ...);
__attribute__((format(printf, 3, 4))) void ChildFailure(const char *file, int line, const char *format, ...);

#define WFS_CHILD_FAIL(...) ::wfstest::ChildFailure(__FILE__, __LINE__, __VA_ARGS__)
#define WFS_CHILD_EXPECT(cond) ((cond) ? (void) 0 : ::wfstest::ChildFailure(__FILE__, __LINE__, "%s", #cond))
#define WFS_CHILD_EXPECT_EQ(a, b)                                                                  \
    do {                                                                                           \
        const long long a_ = static_cast<long long>(a), b_ = static_cast<long long>(b);            \
        if (a_ != b_) ::wfstest::ChildFailure(__FILE__, __LINE__, "%s == %s: %lld vs %lld", #a, #b, a_, b_); \
    } while (0)

// Runs the current test again in `program` (this test binary, or a copy of it), with
// WFS_TEST_CHILD set; there IsTestChild() is true and the test does its child part with the usual
// assertions. Fails the test unless the child's run passed.
Outcome RerunThisTest(ChildSetup setup = {}, const std::string &program = "");
bool IsTestChild();

// Fails a test that leaves a descriptor open or a child process behind.
class NothingLeftBehind : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

private:
    int descriptors_ = -1;
};

// What the kernel shows of a process: its session, nice value and scheduling policy
// (/proc/<pid>/stat), its soft limits by name ("Max open files": "1024" or "unlimited"), and the
// system call it is blocked in ("<number> <first argument> ...", /proc/<pid>/syscall, root only).
struct ProcessState {
    long session = -1, nice = 99, policy = -1;
    std::map<std::string, std::string> softLimits;
    std::string syscall;
};
ProcessState StateOf(pid_t pid);

// Polls `condition` every 10 ms until it holds (true) or the deadline passes (false).
bool WaitFor(const std::function<bool()> &condition, std::chrono::milliseconds deadline = kChildDeadline);

// ---- Facts about this process ---------------------------------------------------------------------
int CountOpenDescriptors();  // not counting the one used to list them
bool NoChildLeft();          // no child, running or unreaped
bool DescriptorIsOpen(int fd);
bool DropToNobody();         // for good: no groups, nobody's real, effective and saved IDs
// Mounts of its own that nothing outside sees; false where the machine refuses (a container may).
bool EnterPrivateMountNamespace();
bool CanMakeMountNamespace();  // whether a child of this process can
std::string SelfPath();      // this program's file
// A copy of this program (a hard link where it can be) in the bundle folder `contents`, beside
// the build's Info.plist and, when asked, its resources, so that it finds its bundle there; its path.
std::string CopySelfIntoBundle(const std::string &contents, bool withResources);
std::map<std::string, std::string> ParseLines(const std::string &text);  // "key=value" lines

}  // namespace wfstest
