// The host's part in a suspend, measured on the real thing: tidemark with the build's plug-in, the
// real helper tool run as root, the event store and a fake RTC on disk, and python3-dbusmock's logind
// on a private system bus.
//
//   SleepToLockRelease  from asking the mock to send PrepareForSleep(true) to the moment the mock
//                       sees the delay lock gone (ListInhibitors, asked in a loop), over 100 cycles.
//                       Before each cycle the command line turns the earlier of two alarms on or
//                       off, so the plug-in's date changes every time: each cycle cancels the event
//                       of the last one and schedules its own (two tool runs). Between cycles the
//                       mock sends PrepareForShutdown(false), which gives the host its lock back
//                       without a did-wake, so the stored date stays for the next cycle to cancel.
//                       Counters: median, p99 and max in milliseconds. repaired:1 starts from the
//                       copy of the tool a user has once the pane has switched waking on (root's,
//                       04555, the template's size and time), so each run uses it as it is: the
//                       path every sleep takes. repaired:0 starts without a copy, as root does:
//                       the tool serves root without repairing itself, so the copy never becomes
//                       valid and the plug-in lays down a fresh one before every run. The same
//                       without any plug-in shows what the host itself adds.
//   BareToolStart       vfork/exec of the helper tool with nothing on its input, then waitpid: the
//                       floor under each of those two tool runs, in the same run.
//   IdleHost            a headless host whose next alarm is two hours away, left alone for 60 s:
//                       CPU time and times scheduled (all its threads, from /proc/<pid>/task/*/
//                       schedstat) and resident memory.
//
// Needs root (the plug-in's tool copy is then root's own, hence privileged). Everything goes to a
// fresh folder under $TMPDIR (default /tmp); the store, the defaults and the timers are flushed to
// disk on every change, so the file system under that folder shows in the figures (TMPDIR=/dev/shm
// shows them without a disk). Build it optimised:
//   scripts/setup --bench
//   cmake -S . -B build/bench -DCMAKE_BUILD_TYPE=Release -DWFS_BENCH=ON -DWFS_TESTS=OFF
//   cmake --build build/bench -j2 --target HostSleepBench && build/bench/bench/HostSleepBench

#include <IOKit/IOKit.h>
#include <Support/CFRef.h>
#include <Support/Eintr.h>
#include <Support/UniqueFd.h>

#include <benchmark/benchmark.h>

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QThread>

#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

const QString kLogind = "org.freedesktop.login1", kLogindPath = "/org/freedesktop/login1";
const QString kManager = "org.freedesktop.login1.Manager";

void WriteFile(const std::string &path, const std::string &bytes) { std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes; }

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A child process owned by one object: terminated, then killed, and always reaped.
class Process {
public:
    Process(const QString &program, const QStringList &arguments, const QString &output = QString(),
            const QProcessEnvironment &environment = QProcessEnvironment::systemEnvironment()) {
        process_.setProcessEnvironment(environment);
        if (!output.isEmpty()) process_.setStandardOutputFile(output);
        if (!output.isEmpty()) process_.setStandardErrorFile(output);
        process_.start(program, arguments);
        process_.waitForStarted(5000);
    }
    ~Process() {
        if (process_.state() == QProcess::NotRunning) return;
        process_.terminate();
        if (!process_.waitForFinished(5000)) {
            process_.kill();
            process_.waitForFinished(-1);
        }
    }
    QProcess &get() { return process_; }
    pid_t pid() const { return static_cast<pid_t>(process_.processId()); }

private:
    QProcess process_;
};

// Waits up to `limit` for `done`, looking every millisecond.
template <typename Done>
bool WaitFor(Done done, std::chrono::milliseconds limit) {
    const auto end = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() >= end) return false;
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Everything the benchmarks share: a private folder (homes, store, fake RTC), a system bus with
// logind's mock, a quiet session bus, and two alarms two and three hours ahead.
class Environment {
public:
    Environment() {
        const char *base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/host-sleep-bench-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) return;
        root_ = pattern;
        for (const char *folder : {"/config", "/data", "/run", "/sys/class/rtc/rtc0/device/power"}) {
            QDir().mkpath(QString::fromStdString(root_ + folder));
        }
        const std::string rtc = root_ + "/sys/class/rtc/rtc0";
        WriteFile(rtc + "/device/power/wakeup", "enabled\n");
        WriteFile(rtc + "/since_epoch", std::to_string(::time(nullptr)) + "\n");
        WriteFile(rtc + "/wakealarm", "");
        ::setenv("HOME", root_.c_str(), 1);
        ::setenv("XDG_CONFIG_HOME", (root_ + "/config").c_str(), 1);
        ::setenv("XDG_DATA_HOME", (root_ + "/data").c_str(), 1);
        ::setenv("XDG_RUNTIME_DIR", (root_ + "/run").c_str(), 1);
        ::setenv("WFS_POWER_EVENT_STORE", (root_ + "/store/events.plist").c_str(), 1);
        ::setenv("WFS_SYSFS_ROOT", (root_ + "/sys").c_str(), 1);
        ::unsetenv("TIDEMARK_PLUGIN_PATH");
        ::unsetenv("TIDEMARK_LOG");

        const std::string system = StartBus("system", systemDaemon_), session = StartBus("session", sessionDaemon_);
        if (system.empty() || session.empty()) return;
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", system.c_str(), 1);
        ::setenv("DBUS_SESSION_BUS_ADDRESS", session.c_str(), 1);
        bus_ = QDBusConnection::connectToBus(QString::fromStdString(system), "bench-system");
        logind_ = std::make_unique<Process>("/usr/bin/python3", QStringList{"-m", "dbusmock", "--system", "--template", "logind"},
                                            QString::fromStdString(root_ + "/logind.log"));
        if (!WaitFor([&] { return bus_.interface()->isServiceRegistered(kLogind).value(); }, 20s)) return;

        // Alarms 1 and 2, two and three hours ahead in local time; the plug-in chooses 1 while it is on.
        for (int hours : {2, 3}) {
            const time_t when = ::time(nullptr) + hours * 3600;
            struct tm local {};
            localtime_r(&when, &local);
            char hhmm[8];
            std::snprintf(hhmm, sizeof hhmm, "%02d:%02d", local.tm_hour, local.tm_min);
            if (!Tidemark({"alarm", "add", hhmm})) return;
        }
        ready_ = true;
    }
    ~Environment() {
        QDBusConnection::disconnectFromBus("bench-system");
        logind_.reset();
        sessionDaemon_.reset();
        systemDaemon_.reset();
        if (!root_.empty()) {
            ::nftw(root_.c_str(), [](const char *path, const struct stat *, int, struct FTW *) { return ::remove(path); }, 16,
                   FTW_DEPTH | FTW_PHYS);
        }
    }
    bool ready() const { return ready_; }
    const std::string &root() const { return root_; }

    // One command-line run of tidemark to its end; whether it succeeded.
    static bool Tidemark(const QStringList &arguments) {
        QProcess run;
        run.start(TIDEMARK_PATH, arguments);
        return run.waitForFinished(10000) && run.exitStatus() == QProcess::NormalExit && run.exitCode() == 0;
    }

    void emitSignal(const QString &name, bool start) {
        QDBusMessage call = QDBusMessage::createMethodCall(kLogind, kLogindPath, "org.freedesktop.DBus.Mock", "EmitSignal");
        call << kManager << name << QString("b") << QVariant::fromValue(QVariantList{QVariant::fromValue(QDBusVariant(start))});
        bus_.call(call, QDBus::Block, 5000);
    }
    // How many locks logind's mock holds; -1 when it did not answer.
    int inhibitors() {
        const QDBusMessage reply = bus_.call(QDBusMessage::createMethodCall(kLogind, kLogindPath, kManager, "ListInhibitors"),
                                             QDBus::Block, 5000);
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().size() != 1) return -1;
        const QDBusArgument list = reply.arguments().at(0).value<QDBusArgument>();
        int count = 0;
        list.beginArray();
        while (!list.atEnd()) {
            QString what, who, why, mode;
            uint uid = 0, pid = 0;
            list.beginStructure();
            list >> what >> who >> why >> mode >> uid >> pid;
            list.endStructure();
            ++count;
        }
        list.endArray();
        return count;
    }

private:
    std::string StartBus(const std::string &type, std::unique_ptr<Process> &daemon) {
        const std::string config = root_ + "/" + type + ".conf";
        WriteFile(config, "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\"\n"
                          " \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n<busconfig><type>" + type +
                              "</type><listen>unix:path=" + root_ + "/" + type + "-bus</listen><auth>EXTERNAL</auth>"
                              "<policy context=\"default\"><allow user=\"*\"/><allow own=\"*\"/>"
                              "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
                              "</policy></busconfig>\n");
        daemon = std::make_unique<Process>("/usr/bin/dbus-daemon",
                                           QStringList{"--nofork", "--nosyslog", "--print-address",
                                                       QString::fromStdString("--config-file=" + config)});
        if (!daemon->get().waitForReadyRead(10000)) return "";
        return daemon->get().readLine().trimmed().toStdString();
    }

    std::string root_;
    bool ready_ = false;
    std::unique_ptr<Process> systemDaemon_, sessionDaemon_, logind_;
    QDBusConnection bus_{QString()};
};

Environment *gEnvironment = nullptr;

// tidemark running from the build tree, with its output in a file of the environment's folder.
class Host {
public:
    // Without plug-ins, it looks for them only in a folder that does not exist.
    explicit Host(const QStringList &arguments, bool plugins = true)
        : log_(gEnvironment->root() + "/tidemark-" + std::to_string(++count_) + ".log"),
          process_(TIDEMARK_PATH, arguments, QString::fromStdString(log_), Environment(plugins)) {}
    // Until it runs, holds its lock, and the lock is the only one.
    bool ready() {
        return WaitFor([&] { return ReadFile(log_).find("tidemark: running") != std::string::npos; }, 20s) &&
               WaitFor([&] { return gEnvironment->inhibitors() == 1; }, 20s);
    }
    pid_t pid() const { return process_.pid(); }

private:
    static QProcessEnvironment Environment(bool plugins) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        if (!plugins) environment.insert("TIDEMARK_PLUGIN_PATH", "/nonexistent");
        return environment;
    }

    static inline int count_ = 0;
    std::string log_;
    Process process_;
};

// The dates of the pending events, as Unix seconds.
std::vector<long long> PendingEvents() {
    std::vector<long long> dates;
    wfs::CFRef<CFArrayRef> events(IOPMCopyScheduledPowerEvents());
    for (CFIndex i = 0; events && i < CFArrayGetCount(events.get()); ++i) {
        auto event = static_cast<CFDictionaryRef>(CFArrayGetValueAtIndex(events.get(), i));
        auto date = static_cast<CFDateRef>(CFDictionaryGetValue(event, CFSTR(kIOPMPowerEventTimeKey)));
        dates.push_back(static_cast<long long>(CFDateGetAbsoluteTime(date) + kCFAbsoluteTimeIntervalSince1970));
    }
    return dates;
}

double Percentile(std::vector<double> samples, double fraction) {
    std::sort(samples.begin(), samples.end());
    const size_t rank = static_cast<size_t>(std::ceil(fraction * static_cast<double>(samples.size())));
    return samples[std::clamp<size_t>(rank, 1, samples.size()) - 1];
}

// The plug-in's copy of the tool in the environment's data folder, as the self-repair leaves it
// (repaired) or none at all; whether that worked.
bool PrepareToolCopy(bool repaired) {
    const std::filesystem::path folder = gEnvironment->root() + "/data/tidemark", copy = folder / "IOPMSchedulePowerEventTool";
    std::error_code error;
    std::filesystem::remove(copy, error);
    if (!repaired) return true;
    std::filesystem::create_directories(folder, error);
    struct stat source {};
    if (::stat(TOOL_PATH, &source) != 0 || !std::filesystem::copy_file(TOOL_PATH, copy, error)) return false;
    const struct timespec times[2] = {source.st_atim, source.st_mtim};
    return ::chmod(folder.c_str(), 0755) == 0 && ::utimensat(AT_FDCWD, copy.c_str(), times, 0) == 0 &&
           ::chown(copy.c_str(), 0, 0) == 0 && ::chmod(copy.c_str(), 04555) == 0;
}

// plugin:1, with the plug-in, as described at the top; plugin:0, without plug-ins, so nothing
// observes will-sleep: what the host itself adds (the signal's way in, the post, the lock's close).
void SleepToLockRelease(benchmark::State &state) {
    constexpr int kCycles = 100;
    const bool plugin = state.range(0) != 0;
    if (!PrepareToolCopy(state.range(1) != 0)) return state.SkipWithError("cannot lay down the repaired copy");
    Host host({}, plugin);
    if (!host.ready()) return state.SkipWithError("the host did not start");
    std::vector<double> milliseconds;
    long long previous = 0;
    bool firstOn = true;
    for (auto _ : state) {
        for (int cycle = 0; cycle < kCycles; ++cycle) {
            firstOn = !firstOn;
            // The host reloads the timers on the file's change (inotify, 30 ms to let a write settle).
            if (plugin && !Environment::Tidemark({"alarm", firstOn ? "on" : "off", "1"})) {
                return state.SkipWithError("alarm on/off failed");
            }
            std::this_thread::sleep_for(150ms);

            const auto start = Clock::now();
            gEnvironment->emitSignal("PrepareForSleep", true);
            while (gEnvironment->inhibitors() != 0) {
                if (Clock::now() - start > 10s) return state.SkipWithError("the lock was not released");
            }
            const auto released = Clock::now();
            milliseconds.push_back(std::chrono::duration<double, std::milli>(released - start).count());

            const std::vector<long long> events = PendingEvents();
            if (plugin && (events.size() != 1 || events[0] == previous)) return state.SkipWithError("not one new event scheduled");
            previous = plugin ? events[0] : 0;
            gEnvironment->emitSignal("PrepareForShutdown", false);
            if (!WaitFor([&] { return gEnvironment->inhibitors() == 1; }, 10s)) return state.SkipWithError("no lock after the cycle");
        }
        state.SetIterationTime(Percentile(milliseconds, 0.5) / 1000.0);
    }
    state.counters["cycles"] = static_cast<double>(milliseconds.size());
    state.counters["median_ms"] = Percentile(milliseconds, 0.5);
    state.counters["p99_ms"] = Percentile(milliseconds, 0.99);
    state.counters["max_ms"] = Percentile(milliseconds, 1.0);
}

void BareToolStart(benchmark::State &state) {
    // Everything the child needs is ready before vfork: between vfork and exec it only moves
    // descriptors and calls execve.
    wfs::UniqueFd devNull(::open("/dev/null", O_RDWR | O_CLOEXEC));
    if (!devNull) return state.SkipWithError("no /dev/null");
    const char *program = TOOL_PATH;
    char *const argv[] = {const_cast<char *>(program), nullptr};
    const int nullFd = devNull.get();
    for (auto _ : state) {
        const pid_t pid = ::vfork();
        if (pid == 0) {
            if (::dup2(nullFd, 0) == -1 || ::dup2(nullFd, 1) == -1) ::_exit(127);
            ::execve(program, argv, environ);
            ::_exit(127);
        }
        int status = 0;
        if (pid == -1 || wfs::RetryOnEintr([&] { return ::waitpid(pid, &status, 0); }) != pid || !WIFEXITED(status) ||
            WEXITSTATUS(status) == 127) {
            return state.SkipWithError("start failed");
        }
    }
}

// CPU time (ns) and times scheduled, summed over the process's threads.
struct Usage {
    double cpuNs = 0, slices = 0;
    int threads = 0;
};

Usage UsageOf(pid_t pid) {
    Usage usage;
    const QString tasks = QString("/proc/%1/task").arg(pid);
    for (const QString &task : QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        std::ifstream in((tasks + "/" + task + "/schedstat").toStdString());
        double onCpu = 0, waiting = 0, slices = 0;
        if (in >> onCpu >> waiting >> slices) {
            usage.cpuNs += onCpu;
            usage.slices += slices;
            ++usage.threads;
        }
    }
    return usage;
}

double ResidentMiB(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stod(line.substr(6)) / 1024.0;
    }
    return -1;
}

void IdleHost(benchmark::State &state) {
    constexpr auto kIdle = 60s;
    Host host({"--headless"});
    if (!host.ready()) return state.SkipWithError("the host did not start");
    std::this_thread::sleep_for(2s);  // start-up done: plug-in loaded, lock taken, timers read
    Usage before, after;
    for (auto _ : state) {
        before = UsageOf(host.pid());
        std::this_thread::sleep_for(kIdle);
        after = UsageOf(host.pid());
        state.SetIterationTime(std::chrono::duration<double>(kIdle).count());
    }
    state.counters["cpu_ms"] = (after.cpuNs - before.cpuNs) / 1e6;
    state.counters["wakeups"] = after.slices - before.slices;
    state.counters["threads"] = after.threads;
    state.counters["rss_MiB"] = ResidentMiB(host.pid());
}

BENCHMARK(BareToolStart)->Unit(benchmark::kMillisecond)->Repetitions(5)->ReportAggregatesOnly(true)->MinTime(0.5);
BENCHMARK(SleepToLockRelease)
    ->ArgNames({"plugin", "repaired"})
    ->Args({1, 1})
    ->Args({1, 0})
    ->Args({0, 0})
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1)
    ->UseManualTime();
BENCHMARK(IdleHost)->Unit(benchmark::kMillisecond)->Iterations(1)->UseManualTime();

}  // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);  // QtDBus wants one
    benchmark::Initialize(&argc, argv);
    if (::geteuid() != 0) {
        std::fprintf(stderr, "HostSleepBench needs root: the plug-in's tool is privileged only as root's own copy\n");
        return 1;
    }
    Environment environment;
    if (!environment.ready()) {
        std::fprintf(stderr, "HostSleepBench: the buses, logind's mock or the alarms could not be set up\n");
        return 1;
    }
    gEnvironment = &environment;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
