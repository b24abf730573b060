// The process-test toolkit (see Process.h).
#include "Process.h"

#include <Support/Eintr.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <sstream>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace wfstest {

using Clock = std::chrono::steady_clock;

// ---- Facts about this process ---------------------------------------------------------------------

int CountOpenDescriptors()
{
    DIR *dir = ::opendir("/proc/self/fd");
    if (dir == nullptr) return -1;
    int count = 0;
    while (struct dirent *entry = ::readdir(dir)) count += entry->d_name[0] != '.';
    ::closedir(dir);
    return count - 1;
}

bool NoChildLeft()
{
    errno = 0;
    return ::waitpid(-1, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

bool DescriptorIsOpen(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

bool DropToNobody()
{
    return ::setgroups(0, nullptr) == 0 && ::setresgid(kNobodyID, kNobodyID, kNobodyID) == 0 &&
           ::setresuid(kNobodyID, kNobodyID, kNobodyID) == 0;
}

bool EnterPrivateMountNamespace()
{
    return ::unshare(CLONE_NEWNS) == 0 && ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0;
}

std::string SelfPath() { return std::filesystem::read_symlink("/proc/self/exe").string(); }

std::string CopySelfIntoBundle(const std::string &contents, bool withResources)
{
    namespace fs = std::filesystem;
    const fs::path self = SelfPath(), built = self.parent_path().parent_path();
    fs::create_directories(fs::path(contents) / "Linux");
    fs::copy_file(built / "Info.plist", fs::path(contents) / "Info.plist");
    if (withResources) fs::copy(built / "Resources", fs::path(contents) / "Resources", fs::copy_options::recursive);
    const fs::path copy = fs::path(contents) / "Linux" / self.filename();
    std::error_code linked;
    fs::create_hard_link(self, copy, linked);
    if (linked) fs::copy_file(self, copy);
    return copy.string();
}

std::map<std::string, std::string> ParseLines(const std::string &text)
{
    std::map<std::string, std::string> values;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = std::min(text.find('\n', start), text.size());
        const size_t equals = text.find('=', start);
        if (equals < end) values[text.substr(start, equals - start)] = text.substr(equals + 1, end - equals - 1);
    }
    return values;
}

std::map<std::string, std::string> Outcome::Lines() const { return ParseLines(out); }

std::ostream &operator<<(std::ostream &out, const Outcome &o)
{
    if (o.timedOut) out << "timed out";
    else if (o.signal != 0) out << "signal " << o.signal;
    else out << "exit " << o.exitCode;
    return out << (o.err.empty() ? "" : "; standard error:\n") << o.err;
}

// ---- Starting a child -------------------------------------------------------------------------------

namespace {

// Everything the child needs, built before the fork: after it only async-signal-safe calls run.
struct Prepared {
    std::vector<std::string> envStrings;
    std::vector<char *> envp;
    std::vector<std::pair<int, int>> fds;
    bool asNobody = false, ownGroup = true;
    std::string cwd;
    const std::function<bool()> &before;

    explicit Prepared(const ChildSetup &setup)
        : fds(setup.fds), asNobody(setup.asNobody), ownGroup(setup.ownGroup), cwd(setup.cwd), before(setup.before)
    {
        std::map<std::string, std::string> env;
        for (char **entry = environ; !setup.clearEnv && *entry != nullptr; entry++) {
            const char *equals = std::strchr(*entry, '=');
            if (equals != nullptr) env[std::string(*entry, static_cast<size_t>(equals - *entry))] = equals + 1;
        }
        for (const auto &[name, value] : setup.env) {
            if (value) env[name] = *value;
            else env.erase(name);
        }
        for (const auto &[name, value] : env) envStrings.push_back(name + "=" + value);
        for (std::string &entry : envStrings) envp.push_back(entry.data());
        envp.push_back(nullptr);
    }

    // In the child: its own process group (so that a kill at the deadline reaches what it started),
    // the descriptors, the folder and the user. False when a step failed.
    bool Apply() const
    {
        if (ownGroup) (void) ::setpgid(0, 0);
        // First out of the way of every target number, then into place; dup2 clears close-on-exec.
        int moved[16];
        const size_t count = fds.size();
        if (count > 16) return false;
        for (size_t i = 0; i < count; i++) {
            moved[i] = ::fcntl(fds[i].second, F_DUPFD_CLOEXEC, 64);
            if (moved[i] < 0) return false;
        }
        for (size_t i = 0; i < count; i++) {
            if (::dup2(moved[i], fds[i].first) != fds[i].first) return false;
            ::close(moved[i]);
        }
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0) return false;
        return (!asNobody || DropToNobody()) && (!before || before());
    }
};

// Exit statuses of a child that never got to run its body.
constexpr int kSetupFailed = 125, kExecFailed = 127;

// Forks; the child applies the setup and then runs `run`, which does not return.
Child StartChild(const Prepared &prepared, const std::function<void()> &run)
{
    std::fflush(nullptr);  // or buffered output would be written twice
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (!prepared.Apply()) ::_exit(kSetupFailed);
        run();
    }
    EXPECT_GT(pid, 0) << "fork: " << std::strerror(errno);
    return Child::Adopt(pid);
}

}  // namespace

Child Child::Fork(const std::function<int()> &body, const ChildSetup &setup)
{
    const Prepared prepared(setup);
    return StartChild(prepared, [&] {
        environ = const_cast<char **>(prepared.envp.data());
        ::_exit(body());
    });
}

Child Child::Exec(const std::vector<std::string> &argv, const ChildSetup &setup)
{
    const Prepared prepared(setup);
    std::vector<std::string> args(argv);
    std::vector<char *> pointers;
    for (std::string &arg : args) pointers.push_back(arg.data());
    pointers.push_back(nullptr);
    const char *program = setup.program.empty() ? pointers[0] : setup.program.c_str();
    return StartChild(prepared, [&] {
        ::execve(program, pointers.data(), const_cast<char **>(prepared.envp.data()));
        ::_exit(kExecFailed);
    });
}

Child Child::Adopt(pid_t pid)
{
    Child child;
    child.pid_ = pid;
    if (pid > 0) child.pidfd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
    return child;
}

Child::Child(Child &&other) noexcept : pid_(std::exchange(other.pid_, -1)), pidfd_(std::move(other.pidfd_)) {}

Child &Child::operator=(Child &&other) noexcept
{
    if (this != &other) {
        Kill();
        pid_ = std::exchange(other.pid_, -1);
        pidfd_ = std::move(other.pidfd_);
    }
    return *this;
}

Child::~Child() { Kill(); }

void Child::Kill()
{
    if (pid_ <= 0) return;
    (void) ::kill(-pid_, SIGKILL);
    (void) ::kill(pid_, SIGKILL);
    (void) wfs::RetryOnEintr([&] { return ::waitpid(pid_, nullptr, 0); });
    pid_ = -1;
    pidfd_.reset();
}

// Feeds `input` to `in`, reads `out` and `err` to their ends and reaps the child, all before the
// deadline; closes the three ends.
Outcome Collect(Child &child, wfs::UniqueFd in, wfs::UniqueFd out, wfs::UniqueFd err, const std::string &input,
                std::chrono::milliseconds deadline)
{
    Outcome outcome;
    outcome.pid = child.pid_;
    const Clock::time_point end = Clock::now() + deadline;
    size_t written = 0;
    if (in && input.empty()) (void) ::shutdown(in.get(), SHUT_WR);
    bool running = child.pid_ > 0, reaped = false;
    int status = 0;
    while (running || out || err) {
        struct pollfd fds[4];
        nfds_t n = 0;
        if (running && child.pidfd_) fds[n++] = {child.pidfd_.get(), POLLIN, 0};
        if (out) fds[n++] = {out.get(), POLLIN, 0};
        if (err) fds[n++] = {err.get(), POLLIN, 0};
        if (in && written < input.size()) fds[n++] = {in.get(), POLLOUT, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) {
            outcome.timedOut = true;
            ADD_FAILURE() << "child " << child.pid_ << " still running after " << deadline.count() << " ms; killed";
            break;
        }
        // Without a pidfd the end of the child shows only through waitpid: look every 10 ms.
        const int tick = running && !child.pidfd_ ? 10 : static_cast<int>(left);
        if (wfs::RetryOnEintr([&] { return ::poll(fds, n, std::min<long long>(tick, left)); }) < 0) break;
        char buffer[65536];
        for (nfds_t i = 0; i < n; i++) {
            if (fds[i].revents == 0) continue;
            wfs::UniqueFd *stream = fds[i].fd == out.get() ? &out : fds[i].fd == err.get() ? &err : nullptr;
            if (stream != nullptr) {
                const ssize_t got = wfs::RetryOnEintr([&] { return ::read(fds[i].fd, buffer, sizeof buffer); });
                if (got <= 0) stream->reset();
                else (stream == &out ? outcome.out : outcome.err).append(buffer, static_cast<size_t>(got));
            } else if (fds[i].fd == in.get()) {
                // A socket, so that a child that stops reading gives EPIPE here, not SIGPIPE.
                const ssize_t put = ::send(in.get(), input.data() + written, input.size() - written,
                                           MSG_NOSIGNAL | MSG_DONTWAIT);
                if (put > 0) written += static_cast<size_t>(put);
                if (put < 0 && errno != EAGAIN && errno != EINTR) written = input.size();
                if (written == input.size()) (void) ::shutdown(in.get(), SHUT_WR);
            }
        }
        if (running && wfs::RetryOnEintr([&] { return ::waitpid(child.pid_, &status, WNOHANG); }) == child.pid_) {
            running = false;
            reaped = true;
            child.pid_ = -1;
            child.pidfd_.reset();
        }
    }
    if (running) child.Kill();  // at the deadline
    if (reaped) {
        outcome.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        outcome.signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    }
    return outcome;
}

Outcome Child::Wait(std::chrono::milliseconds deadline)
{
    return Collect(*this, wfs::UniqueFd(), wfs::UniqueFd(), wfs::UniqueFd(), "", deadline);
}

std::string ReadAll(int fd, std::chrono::milliseconds deadline)
{
    std::string text;
    const Clock::time_point end = Clock::now() + deadline;
    char buffer[65536];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        struct pollfd readable = {fd, POLLIN, 0};
        const int ready = left > 0 ? wfs::RetryOnEintr([&] { return ::poll(&readable, 1, static_cast<int>(left)); }) : 0;
        if (ready == 0) ADD_FAILURE() << "no end of stream within " << deadline.count() << " ms";
        if (ready <= 0) return text;
        const ssize_t got = wfs::RetryOnEintr([&] { return ::read(fd, buffer, sizeof buffer); });
        if (got <= 0) return text;
        text.append(buffer, static_cast<size_t>(got));
    }
}

RunningProgram::RunningProgram(const std::vector<std::string> &argv, ChildSetup setup)
{
    int fds[2] = {-1, -1};
    EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
    output_.reset(fds[0]);
    // The child's only write end: the end of its output is the end of the stream.
    const wfs::UniqueFd write(fds[1]);
    child_ = Child::Exec(argv, setup.Fd(1, write.get()).Fd(2, write.get()));
}

bool ReadUntil(int fd, const std::string &wanted, std::string &text, std::chrono::milliseconds deadline)
{
    const Clock::time_point end = Clock::now() + deadline;
    while (text.find(wanted) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        struct pollfd readable = {fd, POLLIN, 0};
        if (left <= 0 || wfs::RetryOnEintr([&] { return ::poll(&readable, 1, static_cast<int>(left)); }) <= 0) return false;
        char buffer[4096];
        const ssize_t got = wfs::RetryOnEintr([&] { return ::read(fd, buffer, sizeof buffer); });
        if (got <= 0) return false;
        text.append(buffer, static_cast<size_t>(got));
    }
    return true;
}

bool RunningProgram::WaitFor(const std::string &text, std::chrono::milliseconds limit)
{
    return ReadUntil(output_.get(), text, text_, limit);
}

std::string RunningProgram::Stop()
{
    ::kill(child_.pid(), SIGTERM);
    const Outcome outcome = child_.Wait();
    text_ += ReadAll(output_.get());
    EXPECT_TRUE(outcome.Exited(0)) << outcome << "\n" << text_;
    return text_;
}

Outcome RunProgram(const std::vector<std::string> &argv, const ChildSetup &setup, const std::string &input,
                   std::chrono::milliseconds deadline)
{
    ChildSetup full = setup;
    auto placed = [&](int number) {
        return std::any_of(setup.fds.begin(), setup.fds.end(), [&](const auto &fd) { return fd.first == number; });
    };
    wfs::UniqueFd ends[3][2];  // ours, theirs for 0, 1 and 2
    for (int number = 0; number < 3; number++) {
        if (placed(number)) continue;
        int pair[2] = {-1, -1};
        const int rc = number == 0 ? ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair)
                                   : ::pipe2(pair, O_CLOEXEC);
        EXPECT_EQ(rc, 0) << std::strerror(errno);
        ends[number][0].reset(pair[0]);  // a pipe's read end
        ends[number][1].reset(pair[1]);
        full.fds.emplace_back(number, ends[number][1].get());
    }
    Child child = Child::Exec(argv, full);
    for (auto &end : ends) end[1].reset();
    return Collect(child, std::move(ends[0][0]), std::move(ends[1][0]), std::move(ends[2][0]), input, deadline);
}

// ---- Function children and their report ---------------------------------------------------------------

namespace {

struct SharedReport {
    int failures;
    size_t reportUsed, failureUsed;
    char report[65536];
    char failure[8192];
};
SharedReport *gShared = nullptr;  // set only in a child of RunInChild

void Append(char *text, size_t capacity, size_t *used, const char *prefix, const char *format, va_list args)
{
    // snprintf into the page: no allocation, which a child under a small data limit may not have.
    const size_t room = capacity - *used;
    int n = std::snprintf(text + *used, room, "%s", prefix);
    if (n >= 0 && static_cast<size_t>(n) < room) n += std::vsnprintf(text + *used + n, room - n, format, args);
    if (n >= 0 && static_cast<size_t>(n) + 1 < room) {
        text[*used + n] = '\n';
        *used += static_cast<size_t>(n) + 1;
    }
}

}  // namespace

void ChildReport(const char *format, ...)
{
    if (gShared == nullptr) return;
    va_list args;
    va_start(args, format);
    Append(gShared->report, sizeof gShared->report, &gShared->reportUsed, "", format, args);
    va_end(args);
}

void ChildFailure(const char *file, int line, const char *format, ...)
{
    if (gShared == nullptr) return;
    gShared->failures++;
    char prefix[256];
    std::snprintf(prefix, sizeof prefix, "%s:%d: ", file, line);
    va_list args;
    va_start(args, format);
    Append(gShared->failure, sizeof gShared->failure, &gShared->failureUsed, prefix, format, args);
    va_end(args);
}

Outcome RunInChild(const std::function<void()> &body, const ChildSetup &setup)
{
    void *page = ::mmap(nullptr, sizeof(SharedReport), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) {
        ADD_FAILURE() << "mmap: " << std::strerror(errno);
        return Outcome();
    }
    auto *shared = new (page) SharedReport{};
    Child child = Child::Fork(
        [&] {
            gShared = shared;
            body();
            return 0;
        },
        setup);
    Outcome outcome = child.Wait();
    outcome.out.assign(shared->report, shared->reportUsed);
    EXPECT_EQ(shared->failures, 0) << "in the child:\n" << std::string(shared->failure, shared->failureUsed);
    EXPECT_TRUE(outcome.Exited(0)) << "the child: " << outcome;
    ::munmap(page, sizeof(SharedReport));
    return outcome;
}

// ---- This test again, in a child --------------------------------------------------------------------

bool IsTestChild() { return std::getenv("WFS_TEST_CHILD") != nullptr; }

Outcome RerunThisTest(ChildSetup setup, const std::string &program)
{
    const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
    setup.env["WFS_TEST_CHILD"] = "1";
    const std::string filter = std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    Outcome outcome = RunProgram({program.empty() ? SelfPath() : program, filter}, setup);
    // A child that skipped or filtered everything out would pass silently.
    EXPECT_TRUE(outcome.Exited(0) && outcome.out.find("[  PASSED  ] 1 test") != std::string::npos)
        << "the test in the child: " << outcome << "\n" << outcome.out;
    return outcome;
}

// ---- Other processes -----------------------------------------------------------------------------------

ProcessState StateOf(pid_t pid)
{
    ProcessState state;
    auto read = [&](const char *name) {
        std::ifstream in("/proc/" + std::to_string(pid) + "/" + name);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    const std::string stat = read("stat");
    const size_t close = stat.rfind(')');
    std::vector<std::string> field{"", "", ""};  // from field 3, the state, on
    std::istringstream fields(close == std::string::npos ? "" : stat.substr(close + 2));
    for (std::string value; fields >> value;) field.push_back(value);
    if (field.size() > 41) {
        state.session = std::stol(field[6]);
        state.nice = std::stol(field[19]);
        state.policy = std::stol(field[41]);
    }
    std::istringstream limits(read("limits"));
    for (std::string line; std::getline(limits, line);) {
        std::istringstream values(line.size() > 26 ? line.substr(26) : "");
        std::string soft;
        if (line.rfind("Max ", 0) == 0 && values >> soft) {
            state.softLimits[line.substr(0, line.find_last_not_of(' ', 25) + 1)] = soft;
        }
    }
    state.syscall = read("syscall");
    return state;
}

bool CanMakeMountNamespace()
{
    return Child::Fork([] { return EnterPrivateMountNamespace() ? 0 : 1; }).Wait().Exited(0);
}

bool WaitFor(const std::function<bool()> &condition, std::chrono::milliseconds deadline)
{
    for (const Clock::time_point end = Clock::now() + deadline;; ::usleep(10000)) {
        if (condition()) return true;
        if (Clock::now() > end) return false;
    }
}

// ---- The fixture ---------------------------------------------------------------------------------------

void NothingLeftBehind::SetUp() { descriptors_ = CountOpenDescriptors(); }

void NothingLeftBehind::TearDown()
{
    EXPECT_EQ(CountOpenDescriptors(), descriptors_) << "descriptors left open";
    EXPECT_TRUE(NoChildLeft()) << "a child process left behind";
}

}  // namespace wfstest
