// What one "SchedulePowerEvent" request costs through the real helper tool program, measured
// against merely starting that program and waiting for it, in the same run.
//
//   ToolRoundTrip  MoreSecExecuteRequestInHelperTool to IOPMSchedulePowerEventToolTemplate, started
//                  by root so that it serves the request itself: the authorization and the request
//                  go out, the tool schedules the event (store rewritten, RTC file programmed), the
//                  response comes back, the tool is reaped.
//   BareStart      vfork/exec of the same program with standard input and output on /dev/null,
//                  then waitpid: it meets the end of its input at once and exits.
//
// Needs root. The store and the RTC go to a fresh folder under $TMPDIR (default /tmp); the store
// is fsynced on every change, so the file system under that folder shows in the figures.

#include "MoreSecurity.h"
#include "MoreUNIX.h"

#include <Support/CFRef.h>
#include <Support/Eintr.h>
#include <Support/UniqueFd.h>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <ftw.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <fstream>
#include <string>

namespace {

void WriteFile(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
}

// A temporary store and fake RTC for the whole run, removed at the end.
class Sandbox {
public:
    Sandbox()
    {
        const char *tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && tmp[0] == '/' ? tmp : "/tmp") +
                              "/tool-round-trip-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) return;
        root_ = pattern;
        const std::string rtc = root_ + "/sys/class/rtc/rtc0";
        for (const std::string &folder :
             {root_ + "/sys", root_ + "/sys/class", root_ + "/sys/class/rtc", rtc, rtc + "/device",
              rtc + "/device/power"}) {
            if (mkdir(folder.c_str(), 0755) == -1) return;
        }
        WriteFile(rtc + "/device/power/wakeup", "enabled\n");
        WriteFile(rtc + "/since_epoch", std::to_string(time(nullptr)) + "\n");
        WriteFile(rtc + "/wakealarm", "");
        setenv("WFS_POWER_EVENT_STORE", (root_ + "/wake-from-sleep/events.plist").c_str(), 1);
        setenv("WFS_SYSFS_ROOT", (root_ + "/sys").c_str(), 1);
        ready_ = true;
    }
    ~Sandbox()
    {
        unsetenv("WFS_POWER_EVENT_STORE");
        unsetenv("WFS_SYSFS_ROOT");
        if (!root_.empty()) {
            nftw(root_.c_str(), [](const char *path, const struct stat *, int, struct FTW *) { return remove(path); },
                 16, FTW_DEPTH | FTW_PHYS);
        }
    }
    bool ready() const { return ready_; }

private:
    std::string root_;
    bool ready_ = false;
};

wfs::CFRef<CFStringRef> String(const char *utf8)
{
    return wfs::CFRef<CFStringRef>(CFStringCreateWithCString(nullptr, utf8, kCFStringEncodingUTF8));
}

void ToolRoundTrip(benchmark::State &state)
{
    if (geteuid() != 0) {
        state.SkipWithError("needs root");
        return;
    }
    Sandbox sandbox;
    AuthorizationRef auth = nullptr;
    if (!sandbox.ready() || MoreUNIXIgnoreSIGPIPE() != 0 ||
        AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &auth) != 0) {
        state.SkipWithError("cannot set up");
        return;
    }
    const std::string path = TOOL_PATH;
    wfs::CFRef<CFURLRef> tool(CFURLCreateFromFileSystemRepresentation(
        nullptr, reinterpret_cast<const UInt8 *>(path.data()), static_cast<CFIndex>(path.size()), false));

    // The same event every time: scheduling it again rewrites the store and the RTC but keeps one
    // entry, so every iteration does the same work.
    wfs::CFRef<CFDateRef> date(CFDateCreate(nullptr, std::floor(CFAbsoluteTimeGetCurrent()) + 86400));
    wfs::CFRef<CFMutableDictionaryRef> request(CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    CFDictionarySetValue(request.get(), CFSTR("CommandName"), CFSTR("SchedulePowerEvent"));
    CFDictionarySetValue(request.get(), CFSTR("Date"), date.get());
    CFDictionarySetValue(request.get(), CFSTR("Scheduler"), String("org.tidemark.bench").get());
    CFDictionarySetValue(request.get(), CFSTR("Type"), CFSTR("wakepoweron"));

    for (auto _ : state) {
        wfs::CFRef<CFDictionaryRef> response;
        const int err = MoreSecExecuteRequestInHelperTool(tool.get(), auth, request.get(), response.out());
        if (err != 0 || MoreSecGetErrorFromResponse(response.get()) != 0) {
            state.SkipWithError("request failed");
            break;
        }
    }
    AuthorizationFree(auth, kAuthorizationFlagDefaults);
}

void BareStart(benchmark::State &state)
{
    // Everything the child needs is ready before vfork: between vfork and exec it only moves
    // descriptors and calls execve.
    wfs::UniqueFd devNull(open("/dev/null", O_RDWR | O_CLOEXEC));
    if (!devNull) {
        state.SkipWithError("no /dev/null");
        return;
    }
    const char *program = TOOL_PATH;
    char *const argv[] = {const_cast<char *>(program), nullptr};
    const int nullFd = devNull.get();

    for (auto _ : state) {
        const pid_t pid = vfork();
        if (pid == 0) {
            if (dup2(nullFd, 0) == -1 || dup2(nullFd, 1) == -1) _exit(127);
            execve(program, argv, environ);
            _exit(127);
        }
        int status = 0;
        if (pid == -1 || wfs::RetryOnEintr([&] { return waitpid(pid, &status, 0); }) != pid ||
            !WIFEXITED(status) || WEXITSTATUS(status) == 127) {
            state.SkipWithError("start failed");
            break;
        }
    }
}

// Repetitions give a median that one slow moment on a shared machine does not move. Run with
// --benchmark_enable_random_interleaving=true so that both see the same moments of the machine.
BENCHMARK(BareStart)->Unit(benchmark::kMicrosecond)->Repetitions(9)->ReportAggregatesOnly(true)->MinTime(0.5);
BENCHMARK(ToolRoundTrip)->Unit(benchmark::kMicrosecond)->Repetitions(9)->ReportAggregatesOnly(true)->MinTime(0.5);

}  // namespace

BENCHMARK_MAIN();
