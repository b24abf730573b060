// One request through MoreSecExecuteRequestInHelperTool to a minimal tool that answers at once,
// against the bare cost of starting and reaping the same program with no conversation. The
// difference is what the protocol adds to every request: the socket pair, the frames on both
// sides, the half-close and the descriptor-free response.

#include "MoreSecurityInternal.h"
#include "MoreUNIX.h"

#include <Support/CFRef.h>
#include <Support/Eintr.h>
#include <Support/UniqueFd.h>

#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <string.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// CPU time (user + system) used so far by reaped children, in microseconds. On a shared, loaded
// machine wall time swings with the neighbours; the tools' own CPU time hardly does, so it is
// reported beside it.
double ChildCPUMicroseconds()
{
    struct rusage usage {};
    getrusage(RUSAGE_CHILDREN, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e6 + usage.ru_utime.tv_usec +
           usage.ru_stime.tv_usec;
}

void ReportChildCPU(benchmark::State &state, double before)
{
    state.counters["tool_cpu_us"] =
        benchmark::Counter((ChildCPUMicroseconds() - before) / static_cast<double>(state.iterations()));
}

const char kToolPath[] = HELPER_TOOL_ROUND_TRIP_TOOL;

// A request shaped like the plug-in's own: command, date, scheduler, type.
wfs::CFRef<CFDictionaryRef> MakeRequest()
{
    wfs::CFRef<CFMutableDictionaryRef> request(CFDictionaryCreateMutable(
        nullptr, 0, &kCFTypeDictionaryKeyCallBacks, &kCFTypeDictionaryValueCallBacks));
    wfs::CFRef<CFDateRef> date(CFDateCreate(nullptr, CFAbsoluteTimeGetCurrent() + 3600));
    CFDictionarySetValue(request.get(), CFSTR("CommandName"), CFSTR("SchedulePowerEvent"));
    CFDictionarySetValue(request.get(), CFSTR("Date"), date.get());
    CFDictionarySetValue(request.get(), CFSTR("Scheduler"), CFSTR("org.tidemark.wakefromsleep"));
    CFDictionarySetValue(request.get(), CFSTR("Type"), CFSTR("wakepoweron"));
    return wfs::CFRef<CFDictionaryRef>(request.release());
}

void BM_RequestRoundTrip(benchmark::State &state)
{
    if (MoreUNIXIgnoreSIGPIPE() != 0) state.SkipWithError("cannot ignore SIGPIPE");
    AuthorizationRef auth = nullptr;
    if (AuthorizationCreate(nullptr, nullptr, kAuthorizationFlagDefaults, &auth) != 0) {
        state.SkipWithError("no authorization");
        return;
    }
    wfs::CFRef<CFURLRef> tool(CFURLCreateFromFileSystemRepresentation(
        nullptr, reinterpret_cast<const UInt8 *>(kToolPath), strlen(kToolPath), false));
    wfs::CFRef<CFDictionaryRef> request = MakeRequest();
    const double childCPU = ChildCPUMicroseconds();
    for (auto _ : state) {
        wfs::CFRef<CFDictionaryRef> response;
        const int err =
            MoreSecExecuteRequestInHelperTool(tool.get(), auth, request.get(), response.out());
        if (err != 0) {
            state.SkipWithError(("request failed with error " + std::to_string(err)).c_str());
            break;
        }
    }
    ReportChildCPU(state, childCPU);
    AuthorizationFree(auth, kAuthorizationFlagDefaults);
}

// The same program started the same way (vfork, execl, waitpid) with its standard input and
// output on /dev/null: it finds no request and ends at once.
void BM_BareToolStart(benchmark::State &state)
{
    wfs::UniqueFd devNull(open("/dev/null", O_RDWR | O_CLOEXEC));
    const int nullFd = devNull.get();
    const double childCPU = ChildCPUMicroseconds();
    for (auto _ : state) {
        const pid_t pid = vfork();
        if (pid == 0) {
            if (dup2(nullFd, STDIN_FILENO) < 0 || dup2(nullFd, STDOUT_FILENO) < 0) _exit(127);
            execl(kToolPath, kToolPath, static_cast<char *>(nullptr));
            _exit(127);
        }
        if (pid < 0) {
            state.SkipWithError("vfork failed");
            break;
        }
        int status = 0;
        (void) wfs::RetryOnEintr([&] { return waitpid(pid, &status, 0); });
        if (!WIFEXITED(status) || WEXITSTATUS(status) != kHelperToolResultFailed) {
            state.SkipWithError("the tool did not start as expected");
            break;
        }
    }
    ReportChildCPU(state, childCPU);
}

}  // namespace

BENCHMARK(BM_BareToolStart)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_RequestRoundTrip)->UseRealTime()->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
