// 1,000 archives filtered one after another in one host process, each with its child filters:
// the process's private bytes and handle count stay flat after the first 50 runs (which fill
// caches and heaps once), and the DLL can unload at the end. A leak check, not a timing one.
// The growth is measured per archive, over each stretch of 100 runs: a heap that grows once
// shows in one stretch, a leak in every one.
#include "ThreadArchives.h"

#include <psapi.h>
#include <algorithm>
#include <cstdio>

#include "support/ProcAddress.h"

namespace {

constexpr int RUNS = 1000;
constexpr int SETTLE_RUNS = 50;
constexpr int REPORT_EVERY = 100;
// Generous margins for the whole soak: a leak of 2 KB or of one handle per run shows well above them.
constexpr SIZE_T PRIVATE_BYTES_MARGIN = 1024 * 1024;
constexpr DWORD HANDLE_MARGIN = 16;
// Per archive, the median over the stretches: the heap commits memory 64 KB at a time, so a leak
// of a few hundred bytes a run already moves most stretches by 64 KB or more (640 bytes a run).
constexpr SIZE_T PRIVATE_BYTES_PER_ARCHIVE = 256;
constexpr double HANDLES_PER_ARCHIVE = 0.02;

struct Usage {
    SIZE_T privateBytes = 0;
    DWORD handles = 0;
};

// SYSTEM_HANDLE_TABLE_ENTRY_INFO, as ntdll fills it for SystemHandleInformation (16).
struct SystemHandleEntry {
    ULONG ownerPid;
    BYTE objectType;
    BYTE flags;
    USHORT handle;
    PVOID object;
    ULONG access;
};
struct SystemHandleTable {
    ULONG count;
    SystemHandleEntry entries[1];
};
using PFN_NT_QUERY_SYSTEM_INFORMATION = LONG(NTAPI *)(ULONG, PVOID, ULONG, PULONG);
constexpr ULONG SYSTEM_HANDLE_INFORMATION = 16;
constexpr LONG STATUS_INFO_LENGTH_MISMATCH_ = static_cast<LONG>(0xC0000004);

// This process's handles in the system's handle table; 0 when that cannot be read.
DWORD HandlesInSystemTable()
{
    const auto pfn = GetProcAs<PFN_NT_QUERY_SYSTEM_INFORMATION>(GetModuleHandleW(L"ntdll.dll"), "NtQuerySystemInformation");
    if (pfn == nullptr)
        return 0;
    std::vector<BYTE> buffer(1 << 20);
    LONG status = STATUS_INFO_LENGTH_MISMATCH_;
    for (int tries = 0; tries < 8 && status == STATUS_INFO_LENGTH_MISMATCH_; ++tries) {
        ULONG needed = 0;
        status = pfn(SYSTEM_HANDLE_INFORMATION, buffer.data(), static_cast<ULONG>(buffer.size()), &needed);
        if (status == STATUS_INFO_LENGTH_MISMATCH_)
            buffer.resize(std::max<size_t>(buffer.size() * 2, needed));
    }
    if (status != 0)
        return 0;
    const auto *table = reinterpret_cast<const SystemHandleTable *>(buffer.data());
    const ULONG pid = GetCurrentProcessId();
    DWORD mine = 0;
    for (ULONG i = 0; i < table->count; ++i)
        mine += table->entries[i].ownerPid == pid ? 1 : 0;
    return mine;
}

Usage MeasureUsage()
{
    Usage usage;
    PROCESS_MEMORY_COUNTERS_EX counters = {};
    counters.cb = sizeof(counters);
    if (GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS *>(&counters),
                             sizeof(counters))) {
        // Wine 8.0 leaves PrivateUsage at 0; its PagefileUsage is the same figure, the private
        // bytes committed for the process, as on Windows.
        usage.privateBytes = counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
    }
    // Wine 8.0's GetProcessHandleCount answers 0; the system's handle table has the real count.
    if (!GetProcessHandleCount(GetCurrentProcess(), &usage.handles) || usage.handles == 0)
        usage.handles = HandlesInSystemTable();
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
        expected.push_back(StreamLines(ExpectedStream(k)));

    Usage settled, last;
    std::vector<Usage> stretchEnds;  // after run 100, 200, ... 1000
    int wrongStreams = 0;
    for (int run = 1; run <= RUNS; ++run) {
        const int k = run % THREAD_ARCHIVES;
        if (StreamLines(FilterArchive(m_dll, ThreadArchive(k))) != expected[k] && ++wrongStreams == 1)
            ADD_FAILURE() << "run " << run << ": the stream of thread-" << k << ".rar differs from the archive's";
        if (run == SETTLE_RUNS || run % REPORT_EVERY == 0) {
            last = MeasureUsage();
            if (run == SETTLE_RUNS)
                settled = last;
            else
                stretchEnds.push_back(last);
            Report(run, last);
        }
    }
    EXPECT_EQ(0, wrongStreams) << "runs whose stream differed";
    ASSERT_NE(0u, settled.privateBytes) << "no private bytes measured";
    ASSERT_NE(0u, settled.handles) << "no handle count measured";
    EXPECT_LE(last.privateBytes, settled.privateBytes + PRIVATE_BYTES_MARGIN)
        << "private bytes grew by " << (last.privateBytes - settled.privateBytes) / 1024 << " KB after run "
        << SETTLE_RUNS;
    EXPECT_LE(last.handles, settled.handles + HANDLE_MARGIN)
        << "handles grew by " << static_cast<long>(last.handles) - static_cast<long>(settled.handles) << " after run "
        << SETTLE_RUNS;
    // The median growth of a stretch of REPORT_EVERY runs, per archive.
    std::vector<double> bytesPerArchive, handlesPerArchive;
    for (size_t i = 1; i < stretchEnds.size(); ++i) {
        bytesPerArchive.push_back((static_cast<double>(stretchEnds[i].privateBytes) -
                                   static_cast<double>(stretchEnds[i - 1].privateBytes)) / REPORT_EVERY);
        handlesPerArchive.push_back((static_cast<double>(stretchEnds[i].handles) -
                                     static_cast<double>(stretchEnds[i - 1].handles)) / REPORT_EVERY);
    }
    ASSERT_EQ(static_cast<size_t>(RUNS / REPORT_EVERY - 1), bytesPerArchive.size());
    const auto median = [](std::vector<double> values) {
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    };
    std::printf("soak: median growth per archive: %.0f bytes, %.3f handles\n", median(bytesPerArchive),
                median(handlesPerArchive));
    EXPECT_LE(median(bytesPerArchive), static_cast<double>(PRIVATE_BYTES_PER_ARCHIVE))
        << "private bytes grow with every archive (median of the stretches of " << REPORT_EVERY << " runs)";
    EXPECT_LE(median(handlesPerArchive), HANDLES_PER_ARCHIVE)
        << "handles grow with every archive (median of the stretches of " << REPORT_EVERY << " runs)";
    EXPECT_HR(S_OK, m_dll.CanUnloadNow());
}
