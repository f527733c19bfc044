// Where the filter's time per archive entry goes: each step of the per-entry road timed on its own,
// N times in a row, through the product's own classes linked statically (no DLL, no registration of
// the filter itself; the child filter must be registered for the sample's extension).
//
// Usage: pellucidor-bench-parts SAMPLE ARCHIVE [N [WALKS]]
//   SAMPLE   a text file of the benchmark's corpus (its extension has the fixture text filter)
//   ARCHIVE  an archive of such files, for the in-process stream and extraction walks
//   N        calls per step (2000), WALKS timed walks of the archive each way (3)
// Prints one line per step: "part <name> <microseconds per call> <calls per extracted entry>",
// then "total <name> <microseconds per entry> <entries>" for the in-process walks. Each figure is
// the fastest of several batches, so that other load on the machine does not inflate it.
#include <windows.h>
#include <filter.h>
#include <filterr.h>

#include <dll.hpp>

#include "tools/bench/Unbounded.h"

#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <vector>

#include "childfilter/ChildFilterLoader.h"
#include "childfilter/DLLsInformation.h"
#include "childfilter/RegistryHelpers.h"
#include "filter/IFilterBase.h"
#include "support/FileUtil.h"
#include "support/Holders.h"
#include "support/Registry.h"

namespace {

class CStopwatch
{
public:
    CStopwatch()
    {
        QueryPerformanceFrequency(&m_freq);
        QueryPerformanceCounter(&m_start);
    }
    double Microseconds() const
    {
        LARGE_INTEGER now;
        QueryPerformanceCounter(&now);
        return 1e6 * static_cast<double>(now.QuadPart - m_start.QuadPart) / static_cast<double>(m_freq.QuadPart);
    }

private:
    LARGE_INTEGER m_freq;
    LARGE_INTEGER m_start;
};

// Runs step n times, in twenty batches, and prints the mean time per call of the fastest batch:
// other processes on the machine only ever add time.
template <class F>
void TimePart(const char *pszName, int n, double perEntry, F step)
{
    step();  // first call outside the timing: caches, first loads
    const int batch = n / 20 > 0 ? n / 20 : 1;
    double best = 0;
    for (int b = 0; b < 20; ++b) {
        CStopwatch watch;
        for (int i = 0; i < batch; ++i)
            step();
        const double mean = watch.Microseconds() / batch;
        if (b == 0 || mean < best)
            best = mean;
    }
    wprintf(L"part %hs %.1f %g\n", pszName, best, perEntry);
}

// Reads a child's or the filter's stream the way a host does; the number of chunks, or of the
// chunks naming an archive entry (PID_STG_NAME) when bEntryNames is set.
size_t PullChunks(IFilter *pFilter, bool bEntryNames = false)
{
    static WCHAR s_buffer[4096];
    constexpr PROPID PID_STG_NAME_ = 10;
    size_t cChunks = 0;
    for (size_t guard = 0; guard < 10000000; ++guard) {
        STAT_CHUNK stat = {};
        if (pFilter->GetChunk(&stat) != S_OK)
            break;
        if (!bEntryNames || (stat.attribute.psProperty.ulKind == PRSPEC_PROPID &&
                             stat.attribute.psProperty.propid == PID_STG_NAME_))
            ++cChunks;
        if (stat.flags & CHUNK_TEXT) {
            for (int pieces = 0; pieces < 1000000; ++pieces) {
                ULONG cwc = ARRAYSIZE(s_buffer);
                const HRESULT hr = pFilter->GetText(&cwc, s_buffer);
                if (hr != S_OK)
                    break;
            }
        } else {
            PROPVARIANT *pv = nullptr;
            while (pFilter->GetValue(&pv) == S_OK && pv != nullptr) {
                PropVariantClear(pv);
                CoTaskMemFree(pv);
                pv = nullptr;
            }
        }
    }
    return cChunks;
}

std::wstring TempFolder()
{
    wchar_t szTemp[MAX_PATH];
    const DWORD cch = GetTempPathW(MAX_PATH, szTemp);
    return (cch == 0 || cch >= MAX_PATH) ? std::wstring() : std::wstring(szTemp);
}

// The whole stream of the archive through the filter object; the number of entry-name chunks.
size_t WalkStream(const wchar_t *pszArchive)
{
    CComPtr<IFilter> filter;
    filter.Attach(new (std::nothrow) CIFilterBase());
    CComPtr<IPersistFile> persist;
    if (!filter || FAILED(filter->QueryInterface(IID_IPersistFile, persist.PutVoid())) ||
        FAILED(persist->Load(pszArchive, STGM_READ)))
        return 0;
    ULONG flags = 0;
    if (filter->Init(IFILTER_INIT_CANON_PARAGRAPHS, 0, nullptr, &flags) != S_OK)
        return 0;
    return PullChunks(filter.Get(), true);
}

// Every file entry extracted to a temporary file, read back and deleted: the baseline, in process.
size_t WalkExtract(const wchar_t *pszArchive)
{
    const std::wstring dest = TempFolder() + L"pellucidor-parts.tmp";
    RAROpenArchiveDataEx open = {};
    open.ArcNameW = const_cast<wchar_t *>(pszArchive);
    open.OpenMode = RAR_OM_EXTRACT;
    HANDLE hArchive = OpenUnbounded(&open);
    if (hArchive == nullptr || open.OpenResult != 0)
        return 0;
    std::vector<char> buffer(64 * 1024);
    size_t cEntries = 0;
    RARHeaderDataEx header = {};
    while (RARReadHeaderEx(hArchive, &header) == 0) {
        if (header.Flags & RHDF_DIRECTORY) {
            RARProcessFileW(hArchive, RAR_SKIP, nullptr, nullptr);
            continue;
        }
        if (RARProcessFileW(hArchive, RAR_EXTRACT, nullptr, const_cast<wchar_t *>(dest.c_str())) != 0)
            continue;
        CFileHandle file(CreateFileW(dest.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
        DWORD cbRead = 0;
        while (file && ReadFile(file.Get(), buffer.data(), static_cast<DWORD>(buffer.size()), &cbRead, nullptr) &&
               cbRead != 0) {
        }
        file.Close();
        DeleteFileW(dest.c_str());
        ++cEntries;
    }
    RARCloseArchive(hArchive);
    return cEntries;
}

// The list handle's part of the crawler's walk: every header read and skipped.
size_t WalkList(const wchar_t *pszArchive)
{
    static char s_comment[16384];
    RAROpenArchiveDataEx open = {};
    open.ArcNameW = const_cast<wchar_t *>(pszArchive);
    open.OpenMode = RAR_OM_LIST;
    open.CmtBuf = s_comment;
    open.CmtBufSize = sizeof(s_comment);
    HANDLE hArchive = OpenUnbounded(&open);
    if (hArchive == nullptr || open.OpenResult != 0)
        return 0;
    size_t cEntries = 0;
    RARHeaderDataEx header = {};
    while (RARReadHeaderEx(hArchive, &header) == 0) {
        RARProcessFileW(hArchive, RAR_SKIP, nullptr, nullptr);
        ++cEntries;
    }
    RARCloseArchive(hArchive);
    return cEntries;
}

// The fastest of a number of walks, per entry.
template <class F>
void TimeWalk(const char *pszName, int cWalks, F walk)
{
    walk();
    double best = 0;
    size_t cEntries = 0;
    for (int i = 0; i < cWalks; ++i) {
        CStopwatch watch;
        cEntries = walk();
        const double us = watch.Microseconds();
        if (i == 0 || us < best)
            best = us;
    }
    if (cEntries == 0)
        wprintf(L"total %hs failed\n", pszName);
    else
        wprintf(L"total %hs %.1f %zu\n", pszName, best / static_cast<double>(cEntries), cEntries);
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 3) {
        fwprintf(stderr, L"usage: pellucidor-bench-parts SAMPLE ARCHIVE [N [WALKS]]\n");
        return 2;
    }
    const wchar_t *pszSample = argv[1];
    const wchar_t *pszArchive = argv[2];
    const int n = argc > 3 && _wtoi(argv[3]) > 0 ? _wtoi(argv[3]) : 2000;
    const int cWalks = argc > 4 && _wtoi(argv[4]) > 0 ? _wtoi(argv[4]) : 3;
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 1;

    CChildFilterLoader loader;
    FilterRegistryInfo found;
    if (!loader.FindFilter(pszSample, &found) || found.status != FILTER_STATUS_USABLE) {
        fwprintf(stderr, L"parts: no usable filter is registered for %ls\n", pszSample);
        return 1;
    }
    const wchar_t *pszExt = wcsrchr(pszSample, L'.') + 1;

    // The loader's lookup, as the filter object makes it once per entry: answered from the
    // run's earlier lookups, and (once per run and extension) by a walk through the registry.
    TimePart("FindFilter", n, 2, [&] {
        FilterRegistryInfo info;
        loader.FindFilter(pszSample, &info);
    });
    TimePart("FindFilter.first-of-run", n, 0, [&] {
        FilterRegistryInfo info;
        loader.ForgetLookups();
        loader.FindFilter(pszSample, &info);
    });
    // The first lookup's three steps, each on a record as the step before leaves it: the extension's handler
    // (one registry value), the filter class and its module (three values, the module search),
    // and the DLL list's questions about the module (answered from its document).
    CDLLsInformation dllList;
    dllList.m_bVerifyTrust = FALSE;
    FilterRegistryInfo handlerFound;
    handlerFound.dllList = &dllList;
    CIFilterRegistryHelperIndexingService30 helper;
    helper.FindHandlerForExtension(pszExt, &handlerFound);
    FilterRegistryInfo first = handlerFound;
    helper.FindFilterForExtension(pszExt, &first);  // the list records the module, as in a stream
    TimePart("FindHandlerForExtension", n, 0, [&] {
        FilterRegistryInfo info;
        CIFilterRegistryHelperIndexingService30().FindHandlerForExtension(pszExt, &info);
    });
    TimePart("ResolveFilterModule", n, 0, [&] {
        FilterRegistryInfo info = handlerFound;
        CIFilterRegistryHelperIndexingService30().ResolveFilterModule(&info);
    });
    // Inside those: one value read as every step makes it (open, length, read, close; four per
    // lookup for an extension with its own persistent handler), the module search, and the long
    // form of the module path (each lookup's before the DLL list had recorded the module).
    wchar_t szKey[300];
    swprintf(szKey, 300, L"SOFTWARE\\Classes\\.%ls\\PersistentHandler", pszExt);
    TimePart("registry-value-read", n, 0, [&] {
        CRegistry reg;
        DWORD cch = 0;
        wchar_t szValue[39];
        if (reg.Open(HKEY_LOCAL_MACHINE, szKey) && reg.GetStringLength(nullptr, &cch) && cch <= 39)
            reg.ReadString(nullptr, szValue, 39);
    });
    TimePart("SearchPathW", n, 0, [&] {
        wchar_t szFound[2048];
        SearchPathW(nullptr, found.modulePath, nullptr, 2048, szFound, nullptr);
    });
    TimePart("GetLongPath", n / 10, 0, [&] {
        wchar_t szLong[2048];
        GetLongPath(found.modulePath, szLong, 2048);
    });

    TimePart("FindFilter.dll-list", n, 0, [&] {
        FilterRegistryInfo info = found;
        info.dllList = &dllList;
        CIFilterRegistryHelperIndexingService30().CheckFilterModule(&info);
    });

    // Child filter creation: the module is already loaded (the DLL list's probe keeps it).
    TimePart("CreateFilterFromDll", n, 1, [&] {
        IFilter *pFilter = nullptr;
        const HMODULE hModule = dllList.CreateFilterFromDll(found.modulePath, found.filterClsid, &pFilter);
        SafeRelease(pFilter);
        if (hModule != nullptr)
            CoFreeLibrary(hModule);
    });
    // What loading the module for every entry would cost: another fixture module of the same
    // source, not otherwise loaded, so that each pair really loads and unloads it.
    std::wstring otherModule(found.modulePath);
    otherModule.replace(otherModule.rfind(L'\\') + 1, std::wstring::npos, L"FixtureValues.dll");
    if (FileExists(otherModule.c_str())) {
        TimePart("module-load-unload", n / 4, 0, [&] {
            const HINSTANCE h = CoLoadLibrary(const_cast<wchar_t *>(otherModule.c_str()), TRUE);
            if (h != nullptr)
                CoFreeLibrary(h);
        });
    }
    // The child's own work on one entry: Load (reads the file), Init and every chunk pulled.
    TimePart("child-load-init-read", n, 1, [&] {
        IFilter *pFilter = nullptr;
        const HMODULE hModule = dllList.CreateFilterFromDll(found.modulePath, found.filterClsid, &pFilter);
        IPersistFile *pPersist = nullptr;
        if (pFilter != nullptr && SUCCEEDED(pFilter->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&pPersist))) &&
            SUCCEEDED(pPersist->Load(pszSample, STGM_READ))) {
            ULONG flags = 0;
            if (pFilter->Init(IFILTER_INIT_CANON_PARAGRAPHS, 0, nullptr, &flags) == S_OK)
                PullChunks(pFilter);
        }
        SafeRelease(pPersist);
        SafeRelease(pFilter);
        if (hModule != nullptr)
            CoFreeLibrary(hModule);
    });
    // The whole LoadChildFilter: lookup, creation, Load.
    TimePart("LoadChildFilter", n, 1, [&] {
        CChildFilterHolder child;
        loader.LoadChildFilter(pszSample, child);
    });
    // The crawler's file tests around each extracted entry, the directory search they replaced,
    // and the free-space reading (once per 64 MB announced).
    TimePart("IsExistingFile", n, 2, [&] { IsExistingFile(pszSample); });
    TimePart("FileExists", n, 0, [&] { FileExists(pszSample); });
    const std::wstring temp = TempFolder();
    TimePart("GetDiskFreeSpaceExW", n, 0, [&] {
        ULARGE_INTEGER free;
        GetDiskFreeSpaceExW(temp.c_str(), &free, nullptr, nullptr);
    });

    TimeWalk("list-handle", cWalks, [&] { return WalkList(pszArchive); });
    TimeWalk("extract", cWalks, [&] { return WalkExtract(pszArchive); });
    TimeWalk("stream", cWalks, [&] { return WalkStream(pszArchive); });
    CoUninitialize();
    return 0;
}
