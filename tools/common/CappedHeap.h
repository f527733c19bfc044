// What a loaded DLL itself allocates, and a cap on it, as a host that runs the filter in a job of
// limited memory would impose one. Wine does not enforce a job object's memory limits, so the
// DLL's own imports of the C runtime's allocation functions (and of the thread starts) are
// replaced in its import table: operator new of the statically linked C++ runtime goes through
// the same malloc. Blocks stay the C runtime's own (the counts sit beside them), so a block
// allocated before the install, or inside msvcrt and freed by the DLL, is passed on uncounted.
// Free of GoogleTest: the dump tool uses it too.
#pragma once
#include <windows.h>

#include <cstddef>
#include <string>
#include <vector>

struct HeapCounts {
    size_t cbCurrent = 0;          // bytes the DLL holds now
    size_t cbPeak = 0;             // most bytes it held at once
    unsigned long refusals = 0;    // allocations answered NULL because of the cap
    size_t cbLargestRefused = 0;   // the largest of those requests
    unsigned long threads = 0;     // threads the DLL started (CreateThread, _beginthread[ex])
};

// One at a time per process: the replacements keep their counts in one place. Destroy it before
// the module is freed; it puts the module's imports back.
class CCappedHeap
{
public:
    // Replaces the module's imports; cbCap 0 counts without a cap. Thread-safe once installed.
    CCappedHeap(HMODULE hModule, size_t cbCap);
    ~CCappedHeap();
    CCappedHeap(const CCappedHeap &) = delete;
    CCappedHeap &operator=(const CCappedHeap &) = delete;

    // False when another one is installed, or the module imports no malloc from msvcrt.
    bool Installed() const noexcept { return m_bInstalled; }
    // The imports replaced ("msvcrt.dll!malloc", ...), for a report.
    const std::vector<std::string> &Replaced() const noexcept { return m_replaced; }

    HeapCounts Counts() const;
    // The peak back to what is held now; refusals and threads to zero. The cap stays.
    void ResetCounts();
    void SetCap(size_t cbCap);

private:
    struct Patch {
        void **ppSlot;
        void *pOriginal;
    };
    bool m_bOwner = false;      // this one holds the process's counts
    bool m_bInstalled = false;  // and counts the module's allocations
    std::vector<Patch> m_patches;
    std::vector<std::string> m_replaced;
};
