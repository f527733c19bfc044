// 1,000 archives filtered one after another in one host process, each with its child filters:
// the process's private bytes and handle count stay flat after the first 50 runs (which fill
// caches and heaps once), and the DLL can unload at the end. A leak check, not a timing one.
#include "HostFixture.h"

#include <psapi.h>
#include <cstdio>

namespace {

constexpr int RUNS = 1000;
constexpr int SETTLE_RUNS = 50;
constexpr int REPORT_EVERY = 100;
// Generous margins: a leak of 2 KB or of one handle per run shows well above them.
constexpr SIZE_T PRIVATE_BYTES_MARGIN = 2 * 1024 * 1024;
constexpr DWORD HANDLE_MARGIN = 16;

struct Usage {
    SIZE_T privateBytes = 0;
    DWORD handles = 0;
};

Usage MeasureUsage()
{
    Usage usage;
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&counters),
                             sizeof(counters)))
        usage.privateBytes = counters.PrivateUsage;
    GetProcessHandleCount(GetCurrentProcess(), &usage.handles);
    return usage;
}

void Report(int run, const Usage &usage)
{
    std::printf("soak: after %4d runs: private bytes %8lu KB, handles %lu\n", run,
                static_cast<unsigned long>(usage.privateBytes / 1024), static_cast<unsigned long>(usage.handles));
    std::fflush(stdout);
}

} // namespace

using Soak = HostileHostTest;

TEST_F(Soak, AThousandArchivesInOneProcessLeaveMemoryAndHandlesFlat)
{
    std::vector<std::vector<std::string>> expected;
    for (int k = 0; k < THREAD_ARCHIVES; ++k)
        expected.push_back(Lines(ExpectedStream(k)));

    Usage settled, last;
    int wrongStreams = 0;
    for (int run = 1; run <= RUNS; ++run) {
        const int k = run % THREAD_ARCHIVES;
        if (Lines(FilterAlone(m_dll, ThreadArchive(k))) != expected[k] && ++wrongStreams == 1)
            ADD_FAILURE() << "run " << run << ": the stream of thread-" << k << ".rar differs from the archive's";
        if (run == SETTLE_RUNS || run % REPORT_EVERY == 0) {
            last = MeasureUsage();
            if (run == SETTLE_RUNS)
                settled = last;
            Report(run, last);
        }
    }
    EXPECT_EQ(0, wrongStreams) << "runs whose stream differed";
    ASSERT_NE(0u, settled.privateBytes) << "GetProcessMemoryInfo gave no private bytes";
    EXPECT_LE(last.privateBytes, settled.privateBytes + PRIVATE_BYTES_MARGIN)
        << "private bytes grew by " << (last.privateBytes - settled.privateBytes) / 1024 << " KB after run "
        << SETTLE_RUNS;
    EXPECT_LE(last.handles, settled.handles + HANDLE_MARGIN)
        << "handles grew by " << static_cast<long>(last.handles) - static_cast<long>(settled.handles) << " after run "
        << SETTLE_RUNS;
    EXPECT_HR(S_OK, m_dll.CanUnloadNow());
}
