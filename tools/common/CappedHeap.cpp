#include "CappedHeap.h"

#include <process.h>

#include <cstdint>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <unordered_map>

namespace {

using PFN_MALLOC = void *(__cdecl *)(size_t);
using PFN_CALLOC = void *(__cdecl *)(size_t, size_t);
using PFN_REALLOC = void *(__cdecl *)(void *, size_t);
using PFN_FREE = void(__cdecl *)(void *);
using PFN_CREATETHREAD = HANDLE(WINAPI *)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE, LPVOID, DWORD, LPDWORD);
using PFN_BEGINTHREADEX = uintptr_t(__cdecl *)(void *, unsigned, unsigned(__stdcall *)(void *), void *, unsigned, unsigned *);
using PFN_BEGINTHREAD = uintptr_t(__cdecl *)(void(__cdecl *)(void *), unsigned, void *);

// The counts, and msvcrt's own functions that do the work. One set per process: the replacement
// functions have no context of their own. Every C runtime call is made under the lock, so that an
// address freed and handed out again by another thread never meets a stale record.
struct State {
    std::mutex lock;
    bool bInstalled = false;
    std::unordered_map<void *, size_t> blocks;  // the DLL's blocks and their sizes
    size_t cbCap = 0;
    HeapCounts counts;
    PFN_MALLOC pfnMalloc = nullptr;
    PFN_CALLOC pfnCalloc = nullptr;
    PFN_REALLOC pfnRealloc = nullptr;
    PFN_FREE pfnFree = nullptr;
    PFN_CREATETHREAD pfnCreateThread = nullptr;
    PFN_BEGINTHREADEX pfnBeginThreadEx = nullptr;
    PFN_BEGINTHREAD pfnBeginThread = nullptr;
};
State g_state;

// Whether cb more bytes fit under the cap; a refusal is counted. Under the lock.
bool Fits(size_t cb)
{
    const size_t cap = g_state.cbCap;
    if (cap == 0 || (cb <= cap && g_state.counts.cbCurrent <= cap - cb))
        return true;
    ++g_state.counts.refusals;
    if (cb > g_state.counts.cbLargestRefused)
        g_state.counts.cbLargestRefused = cb;
    return false;
}

// Records a block the DLL now holds. Under the lock.
void Track(void *p, size_t cb)
{
    try {
        g_state.blocks[p] = cb;
    } catch (...) {
        return;  // the host's own heap is out: the block goes uncounted, as one made before the install
    }
    g_state.counts.cbCurrent += cb;
    if (g_state.counts.cbCurrent > g_state.counts.cbPeak)
        g_state.counts.cbPeak = g_state.counts.cbCurrent;
}

void *__cdecl CountedMalloc(size_t cb)
{
    std::lock_guard<std::mutex> hold(g_state.lock);
    if (!Fits(cb))
        return nullptr;
    void *p = g_state.pfnMalloc(cb);
    if (p != nullptr)
        Track(p, cb);
    return p;
}

void *__cdecl CountedCalloc(size_t count, size_t cbEach)
{
    std::lock_guard<std::mutex> hold(g_state.lock);
    if (cbEach != 0 && count > SIZE_MAX / cbEach)
        return g_state.pfnCalloc(count, cbEach);  // fails as it would have
    if (!Fits(count * cbEach))
        return nullptr;
    void *p = g_state.pfnCalloc(count, cbEach);
    if (p != nullptr)
        Track(p, count * cbEach);
    return p;
}

void __cdecl CountedFree(void *p)
{
    if (p == nullptr)
        return;
    std::lock_guard<std::mutex> hold(g_state.lock);
    const auto it = g_state.blocks.find(p);
    if (it != g_state.blocks.end()) {
        g_state.counts.cbCurrent -= it->second;
        g_state.blocks.erase(it);
    }
    g_state.pfnFree(p);
}

void *__cdecl CountedRealloc(void *p, size_t cb)
{
    if (p == nullptr)
        return CountedMalloc(cb);
    if (cb == 0) {
        CountedFree(p);  // what msvcrt's realloc does with a size of 0
        return nullptr;
    }
    std::lock_guard<std::mutex> hold(g_state.lock);
    const auto it = g_state.blocks.find(p);
    if (it == g_state.blocks.end())
        return g_state.pfnRealloc(p, cb);  // not one of ours: stays uncounted
    const size_t cbOld = it->second;
    if (cb > cbOld && !Fits(cb - cbOld))
        return nullptr;  // the block stays as it was, as when realloc fails
    void *q = g_state.pfnRealloc(p, cb);
    if (q == nullptr)
        return nullptr;
    g_state.counts.cbCurrent -= cbOld;
    g_state.blocks.erase(it);
    Track(q, cb);
    return q;
}

char *__cdecl CountedStrdup(const char *psz)
{
    if (psz == nullptr)
        return nullptr;
    const size_t cb = std::strlen(psz) + 1;
    auto *p = static_cast<char *>(CountedMalloc(cb));
    if (p != nullptr)
        std::memcpy(p, psz, cb);
    return p;
}

wchar_t *__cdecl CountedWcsdup(const wchar_t *psz)
{
    if (psz == nullptr)
        return nullptr;
    const size_t cb = (std::wcslen(psz) + 1) * sizeof(wchar_t);
    auto *p = static_cast<wchar_t *>(CountedMalloc(cb));
    if (p != nullptr)
        std::memcpy(p, psz, cb);
    return p;
}

void CountThread(bool bStarted)
{
    if (!bStarted)
        return;
    std::lock_guard<std::mutex> hold(g_state.lock);
    ++g_state.counts.threads;
}

HANDLE WINAPI CountedCreateThread(LPSECURITY_ATTRIBUTES pAttributes, SIZE_T cbStack, LPTHREAD_START_ROUTINE pfnStart,
                                  LPVOID pParameter, DWORD flags, LPDWORD pId)
{
    const HANDLE h = g_state.pfnCreateThread(pAttributes, cbStack, pfnStart, pParameter, flags, pId);
    CountThread(h != nullptr);
    return h;
}

uintptr_t __cdecl CountedBeginThreadEx(void *pSecurity, unsigned cbStack, unsigned(__stdcall *pfnStart)(void *),
                                       void *pArgument, unsigned flags, unsigned *pId)
{
    const uintptr_t h = g_state.pfnBeginThreadEx(pSecurity, cbStack, pfnStart, pArgument, flags, pId);
    CountThread(h != 0);
    return h;
}

uintptr_t __cdecl CountedBeginThread(void(__cdecl *pfnStart)(void *), unsigned cbStack, void *pArgument)
{
    const uintptr_t h = g_state.pfnBeginThread(pfnStart, cbStack, pArgument);
    CountThread(h != 0 && h != static_cast<uintptr_t>(-1));
    return h;
}

struct Replacement {
    const char *pszDll;
    const char *pszName;
    void *pHook;
};
const Replacement kReplacements[] = {
    {"msvcrt.dll", "malloc", reinterpret_cast<void *>(CountedMalloc)},
    {"msvcrt.dll", "calloc", reinterpret_cast<void *>(CountedCalloc)},
    {"msvcrt.dll", "realloc", reinterpret_cast<void *>(CountedRealloc)},
    {"msvcrt.dll", "free", reinterpret_cast<void *>(CountedFree)},
    {"msvcrt.dll", "_strdup", reinterpret_cast<void *>(CountedStrdup)},
    {"msvcrt.dll", "strdup", reinterpret_cast<void *>(CountedStrdup)},
    {"msvcrt.dll", "_wcsdup", reinterpret_cast<void *>(CountedWcsdup)},
    {"msvcrt.dll", "wcsdup", reinterpret_cast<void *>(CountedWcsdup)},
    {"msvcrt.dll", "_beginthreadex", reinterpret_cast<void *>(CountedBeginThreadEx)},
    {"msvcrt.dll", "_beginthread", reinterpret_cast<void *>(CountedBeginThread)},
    {"kernel32.dll", "CreateThread", reinterpret_cast<void *>(CountedCreateThread)},
};

template <typename T> T Proc(const char *pszDll, const char *pszName)
{
    HMODULE h = GetModuleHandleA(pszDll);
    return h != nullptr ? reinterpret_cast<T>(reinterpret_cast<void *>(GetProcAddress(h, pszName))) : nullptr;
}

void *Exchange(void **ppSlot, void *pValue)
{
    DWORD oldProtect = 0;
    if (!VirtualProtect(ppSlot, sizeof(void *), PAGE_READWRITE, &oldProtect))
        return nullptr;
    void *pOld = InterlockedExchangePointer(ppSlot, pValue);
    VirtualProtect(ppSlot, sizeof(void *), oldProtect, &oldProtect);
    return pOld;
}

} // namespace

CCappedHeap::CCappedHeap(HMODULE hModule, size_t cbCap)
{
    {
        std::lock_guard<std::mutex> hold(g_state.lock);
        if (g_state.bInstalled || hModule == nullptr)
            return;
        g_state.pfnMalloc = Proc<PFN_MALLOC>("msvcrt.dll", "malloc");
        g_state.pfnCalloc = Proc<PFN_CALLOC>("msvcrt.dll", "calloc");
        g_state.pfnRealloc = Proc<PFN_REALLOC>("msvcrt.dll", "realloc");
        g_state.pfnFree = Proc<PFN_FREE>("msvcrt.dll", "free");
        g_state.pfnBeginThreadEx = Proc<PFN_BEGINTHREADEX>("msvcrt.dll", "_beginthreadex");
        g_state.pfnBeginThread = Proc<PFN_BEGINTHREAD>("msvcrt.dll", "_beginthread");
        g_state.pfnCreateThread = Proc<PFN_CREATETHREAD>("kernel32.dll", "CreateThread");
        if (!g_state.pfnMalloc || !g_state.pfnCalloc || !g_state.pfnRealloc || !g_state.pfnFree ||
            !g_state.pfnBeginThreadEx || !g_state.pfnBeginThread || !g_state.pfnCreateThread)
            return;
        g_state.blocks.clear();
        g_state.counts = HeapCounts();
        g_state.cbCap = cbCap;
        g_state.bInstalled = true;
    }
    m_bOwner = true;

    // The import descriptors of the module's own bitness; each named import's slot in the
    // import address table (FirstThunk) beside its name (OriginalFirstThunk).
    auto *pBase = reinterpret_cast<BYTE *>(hModule);
    const auto *pDos = reinterpret_cast<const IMAGE_DOS_HEADER *>(pBase);
    const auto *pNt = reinterpret_cast<const IMAGE_NT_HEADERS *>(pBase + pDos->e_lfanew);
    const IMAGE_DATA_DIRECTORY &imports = pNt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    bool bMalloc = false;
    auto *pDesc = reinterpret_cast<const IMAGE_IMPORT_DESCRIPTOR *>(pBase + imports.VirtualAddress);
    for (; imports.VirtualAddress != 0 && pDesc->Name != 0; ++pDesc) {
        const char *pszDll = reinterpret_cast<const char *>(pBase + pDesc->Name);
        if (pDesc->OriginalFirstThunk == 0)
            continue;
        const auto *pNames = reinterpret_cast<const IMAGE_THUNK_DATA *>(pBase + pDesc->OriginalFirstThunk);
        auto *pSlots = reinterpret_cast<IMAGE_THUNK_DATA *>(pBase + pDesc->FirstThunk);
        for (; pNames->u1.AddressOfData != 0; ++pNames, ++pSlots) {
            if (IMAGE_SNAP_BY_ORDINAL(pNames->u1.Ordinal))
                continue;
            const char *pszName =
                reinterpret_cast<const char *>(reinterpret_cast<const IMAGE_IMPORT_BY_NAME *>(pBase + pNames->u1.AddressOfData)->Name);
            for (const Replacement &r : kReplacements) {
                if (lstrcmpiA(pszDll, r.pszDll) != 0 || std::strcmp(pszName, r.pszName) != 0)
                    continue;
                void **ppSlot = reinterpret_cast<void **>(&pSlots->u1.Function);
                void *pOld = Exchange(ppSlot, r.pHook);
                if (pOld != nullptr) {
                    m_patches.push_back({ppSlot, pOld});
                    m_replaced.push_back(std::string(r.pszDll) + "!" + r.pszName);
                    bMalloc = bMalloc || std::strcmp(r.pszName, "malloc") == 0;
                }
            }
        }
    }
    m_bInstalled = bMalloc;  // without it there is nothing to count: the module allocates elsewhere
}

CCappedHeap::~CCappedHeap()
{
    for (const Patch &patch : m_patches)
        Exchange(patch.ppSlot, patch.pOriginal);
    if (!m_bOwner)
        return;
    std::lock_guard<std::mutex> hold(g_state.lock);
    g_state.blocks.clear();  // frees of them go straight to msvcrt from now on
    g_state.bInstalled = false;
}

HeapCounts CCappedHeap::Counts() const
{
    std::lock_guard<std::mutex> hold(g_state.lock);
    return g_state.counts;
}

void CCappedHeap::ResetCounts()
{
    std::lock_guard<std::mutex> hold(g_state.lock);
    const size_t cbCurrent = g_state.counts.cbCurrent;
    g_state.counts = HeapCounts();
    g_state.counts.cbCurrent = cbCurrent;
    g_state.counts.cbPeak = cbCurrent;
}

void CCappedHeap::SetCap(size_t cbCap)
{
    std::lock_guard<std::mutex> hold(g_state.lock);
    g_state.cbCap = cbCap;
}
