// How long a set-user-ID tool spends resetting what it inherited: MoreSecDestroyInheritedEnvironment
// with nothing kept, in a child whose descriptor table is as large as the machine allows
// (RLIMIT_NOFILE up to fs.nr_open, 1,048,576 by default) with a few descriptors open across it.
// Each way of closing descriptors is timed on its own; the walk over every number is the baseline.
//
// The routine closes every descriptor of the child, so the child reports its own measurement
// through a shared anonymous page, and the benchmark uses manual timing.

#include "MoreSecurityInternal.h"

#include <Support/Eintr.h>

#include <benchmark/benchmark.h>

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <fstream>

namespace {

struct Measurement {
    double seconds;
    int result;
    long long tableSize;
    int ok;
};

rlim_t NrOpen()
{
    std::ifstream in("/proc/sys/fs/nr_open");
    rlim_t value = 0;
    in >> value;
    return value != 0 ? value : 1024 * 1024;
}

double Now()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// In the child: the largest table allowed, descriptors at its bottom, middle and top.
void RunChild(unsigned int ways, rlim_t nrOpen, Measurement *out)
{
    SetCloseOpenFileDescriptorsWays(ways);
    struct rlimit nofile = {nrOpen, nrOpen};
    if (setrlimit(RLIMIT_NOFILE, &nofile) != 0) {
        // Without CAP_SYS_RESOURCE the hard limit cannot be raised; use all of it.
        getrlimit(RLIMIT_NOFILE, &nofile);
        nofile.rlim_cur = nofile.rlim_max;
        if (setrlimit(RLIMIT_NOFILE, &nofile) != 0) _exit(1);
    }
    int ends[2];
    if (pipe(ends) != 0) _exit(1);
    const int top = static_cast<int>(nofile.rlim_cur) - 1;
    for (int fd : {10, 100, 1000, top / 2, top}) {
        if (dup2(ends[0], fd) != fd) _exit(1);
    }
    const char *argv[] = {"bench", nullptr};

    const double start = Now();
    const int result = MoreSecDestroyInheritedEnvironment(0, argv);
    const double end = Now();

    out->seconds = end - start;
    out->result = result;
    out->tableSize = static_cast<long long>(nofile.rlim_cur);
    out->ok = fcntl(top, F_GETFD) == -1 && fcntl(10, F_GETFD) == -1;
    _exit(0);
}

void BM_DestroyInheritedEnvironment(benchmark::State &state)
{
    const auto ways = static_cast<unsigned int>(state.range(0));
    const rlim_t nrOpen = NrOpen();
    void *page = mmap(nullptr, sizeof(Measurement), PROT_READ | PROT_WRITE,
                      MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    if (page == MAP_FAILED) {
        state.SkipWithError("mmap failed");
        return;
    }
    auto *measurement = static_cast<Measurement *>(page);
    Measurement last = {};
    for (auto _ : state) {
        *measurement = Measurement{};
        fflush(nullptr);
        const pid_t pid = fork();
        if (pid == 0) RunChild(ways, nrOpen, measurement);
        int status = 0;
        if (pid < 0 || wfs::RetryOnEintr([&] { return waitpid(pid, &status, 0); }) != pid ||
            !WIFEXITED(status) || WEXITSTATUS(status) != 0 || !measurement->ok) {
            state.SkipWithError("child failed");
            break;
        }
        last = *measurement;
        state.SetIterationTime(last.seconds);
    }
    state.counters["table"] = static_cast<double>(last.tableSize);
    state.counters["result"] = last.result;
    munmap(page, sizeof(Measurement));
}

BENCHMARK(BM_DestroyInheritedEnvironment)
    ->ArgName("ways")
    ->Arg(kCloseDescriptorsAllWays)
    ->Arg(kCloseDescriptorsByListing)
    ->Arg(kCloseDescriptorsByCloseRange)
    ->Arg(0)
    ->UseManualTime()
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
