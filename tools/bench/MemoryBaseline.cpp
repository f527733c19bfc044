// The second floor the benchmark measures the filter against: what indexing an archive's
// documents costs without the archive filter. With the same UnRAR library, every file entry whose
// extension has a filter registered is decompressed into memory and that filter runs over it in
// this process, as a search host runs it on a document it holds: class factory, IPersistStream::Load
// of a memory stream, Init, every chunk with all its text or values. Entries without a filter are
// passed over, as the archive filter passes over them (names only).
//
// Usage: pellucidor-bench-memory [--stats] ARCHIVE
// Prints "entries=N bytes=M chunks=C" (documents filtered, their bytes, chunks pulled) on stdout;
// exit 0 when every document was decompressed and filtered to its end, 1 otherwise, 2 on a usage
// error. --stats adds, on stderr, the process's peak working set.
#include <windows.h>
#include <filter.h>
#include <filterr.h>
#include <objbase.h>

#include <dll.hpp>

#include "tools/bench/Unbounded.h"

#include <cstdio>
#include <cwchar>
#include <map>
#include <string>

#include "tools/bench/BenchStats.h"

namespace {

using PFN_DLL_GET_CLASS_OBJECT = HRESULT(STDAPICALLTYPE *)(REFCLSID, REFIID, void **);

const wchar_t IFILTER_KEY[] = L"{89BCB740-6119-101A-BCB7-00DD010655AF}";
constexpr ULONG TEXT_BUFFER_CHARS = 4096;

// The default value of HKEY_CLASSES_ROOT\<key>; empty when there is none.
std::wstring ClassesDefault(const std::wstring &key)
{
    wchar_t value[MAX_PATH] = {};
    DWORD cb = sizeof(value) - sizeof(wchar_t);
    if (RegGetValueW(HKEY_CLASSES_ROOT, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, value, &cb) != ERROR_SUCCESS)
        return std::wstring();
    return value;
}

// The class factory of the filter registered for one extension, as the platform's lookup finds it
// (extension, persistent handler, IFilter add-in, in-process server); null when there is none.
// Modules stay loaded for the run, and each extension is looked up once.
class CFilterTable
{
public:
    ~CFilterTable()
    {
        for (auto &entry : m_factories) {
            if (entry.second != nullptr)
                entry.second->Release();
        }
    }

    IClassFactory *FactoryFor(const std::wstring &extension)
    {
        const auto found = m_factories.find(extension);
        if (found != m_factories.end())
            return found->second;
        IClassFactory *pFactory = nullptr;
        const std::wstring handler = ClassesDefault(extension + L"\\PersistentHandler");
        const std::wstring clsidText =
            handler.empty() ? std::wstring() : ClassesDefault(L"CLSID\\" + handler + L"\\PersistentAddinsRegistered\\" + IFILTER_KEY);
        const std::wstring module = clsidText.empty() ? std::wstring() : ClassesDefault(L"CLSID\\" + clsidText + L"\\InprocServer32");
        CLSID clsid;
        if (!module.empty() && SUCCEEDED(CLSIDFromString(clsidText.c_str(), &clsid))) {
            const HMODULE hModule = LoadLibraryW(module.c_str());
            const auto pfn = hModule != nullptr
                                 ? reinterpret_cast<PFN_DLL_GET_CLASS_OBJECT>(
                                       reinterpret_cast<void *>(GetProcAddress(hModule, "DllGetClassObject")))
                                 : nullptr;
            if (pfn == nullptr || FAILED(pfn(clsid, IID_IClassFactory, reinterpret_cast<void **>(&pFactory))))
                pFactory = nullptr;
        }
        m_factories[extension] = pFactory;
        return pFactory;
    }

private:
    std::map<std::wstring, IClassFactory *> m_factories;
};

// The entry's extension with its dot, lower case; empty when it has none.
std::wstring ExtensionOf(const wchar_t *pszName)
{
    const wchar_t *pDot = nullptr;
    for (const wchar_t *p = pszName; *p != L'\0'; ++p) {
        if (*p == L'.')
            pDot = p;
        else if (*p == L'\\' || *p == L'/')
            pDot = nullptr;
    }
    std::wstring extension = pDot != nullptr ? pDot : L"";
    for (wchar_t &ch : extension)
        ch = static_cast<wchar_t>(towlower(ch));
    return extension;
}

// Where UnRAR's data callback writes one entry: a global block of the announced size.
struct Sink {
    BYTE *pBytes = nullptr;
    size_t cbCapacity = 0;
    size_t cbWritten = 0;
    bool overflow = false;
};

int CALLBACK OnUnrarEvent(UINT msg, LPARAM userData, LPARAM p1, LPARAM p2)
{
    if (msg != UCM_PROCESSDATA)
        return msg == UCM_NEEDPASSWORDW || msg == UCM_NEEDPASSWORD ? -1 : 1;
    Sink *pSink = reinterpret_cast<Sink *>(userData);
    const size_t cb = static_cast<size_t>(p2);
    if (cb > pSink->cbCapacity - pSink->cbWritten) {
        pSink->overflow = true;
        return -1;
    }
    memcpy(pSink->pBytes + pSink->cbWritten, reinterpret_cast<const void *>(p1), cb);
    pSink->cbWritten += cb;
    return 1;
}

// Every chunk with all its text or values; the count of chunks, or -1 when the stream failed.
long long PullAll(IFilter *pFilter)
{
    long long cChunks = 0;
    for (;;) {  // ends at FILTER_E_END_OF_CHUNKS or on an error
        STAT_CHUNK stat;
        const HRESULT hr = pFilter->GetChunk(&stat);
        if (hr == FILTER_E_END_OF_CHUNKS)
            return cChunks;
        if (FAILED(hr))
            return -1;
        ++cChunks;
        if (stat.flags & CHUNK_TEXT) {
            WCHAR buffer[TEXT_BUFFER_CHARS];
            for (;;) {  // ends when the chunk's text is out
                ULONG cwc = TEXT_BUFFER_CHARS;
                const HRESULT hrText = pFilter->GetText(&cwc, buffer);
                if (FAILED(hrText) || hrText == FILTER_S_LAST_TEXT)
                    break;
            }
        } else if (stat.flags & CHUNK_VALUE) {
            PROPVARIANT *pValue = nullptr;
            while (SUCCEEDED(pFilter->GetValue(&pValue)) && pValue != nullptr) {  // ends with FILTER_E_NO_MORE_VALUES
                PropVariantClear(pValue);
                CoTaskMemFree(pValue);
                pValue = nullptr;
            }
        }
    }
}

// One document: a memory stream over its bytes, a new filter object, Load, Init and every chunk.
long long FilterDocument(IClassFactory *pFactory, HGLOBAL hDocument)
{
    IStream *pStream = nullptr;
    if (FAILED(CreateStreamOnHGlobal(hDocument, TRUE, &pStream))) {
        GlobalFree(hDocument);
        return -1;
    }
    long long cChunks = -1;
    IFilter *pFilter = nullptr;
    IPersistStream *pPersist = nullptr;
    ULONG flags = 0;
    if (SUCCEEDED(pFactory->CreateInstance(nullptr, IID_IFilter, reinterpret_cast<void **>(&pFilter))) &&
        SUCCEEDED(pFilter->QueryInterface(IID_IPersistStream, reinterpret_cast<void **>(&pPersist))) &&
        SUCCEEDED(pPersist->Load(pStream)) &&
        SUCCEEDED(pFilter->Init(IFILTER_INIT_CANON_PARAGRAPHS | IFILTER_INIT_HARD_LINE_BREAKS |
                                    IFILTER_INIT_APPLY_INDEX_ATTRIBUTES,
                                0, nullptr, &flags)))
        cChunks = PullAll(pFilter);
    if (pPersist != nullptr)
        pPersist->Release();
    if (pFilter != nullptr)
        pFilter->Release();
    pStream->Release();  // frees the document's memory
    return cChunks;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    bool bStats = false;
    const wchar_t *pszArchive = ParseBenchCommandLine(argc, argv, L"pellucidor-bench-memory", &bStats);
    if (pszArchive == nullptr)
        return 2;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);  // as a host's filtering thread is

    int status = 0;
    unsigned long long cEntries = 0, cbTotal = 0, cChunks = 0;
    {
        CFilterTable filters;
        Sink sink;
        RAROpenArchiveDataEx open = {};
        open.ArcNameW = const_cast<wchar_t *>(pszArchive);
        open.OpenMode = RAR_OM_EXTRACT;
        open.Callback = OnUnrarEvent;
        open.UserData = reinterpret_cast<LPARAM>(&sink);
        HANDLE hArchive = OpenUnbounded(&open);
        if (hArchive == nullptr || open.OpenResult != 0) {
            fwprintf(stderr, L"memory baseline: cannot open %ls (%u)\n", pszArchive, open.OpenResult);
            return 1;
        }
        RARHeaderDataEx header = {};
        while (RARReadHeaderEx(hArchive, &header) == 0) {  // ends at the archive's end
            IClassFactory *pFactory =
                (header.Flags & RHDF_DIRECTORY) ? nullptr : filters.FactoryFor(ExtensionOf(header.FileNameW));
            const unsigned long long cbAnnounced =
                (static_cast<unsigned long long>(header.UnpSizeHigh) << 32) | header.UnpSize;
            if (pFactory == nullptr || cbAnnounced > 0x7FFFFFFF) {
                RARProcessFileW(hArchive, RAR_SKIP, nullptr, nullptr);
                continue;
            }
            const HGLOBAL hDocument = GlobalAlloc(GMEM_MOVEABLE, static_cast<SIZE_T>(cbAnnounced ? cbAnnounced : 1));
            sink = Sink();
            sink.pBytes = hDocument != nullptr ? static_cast<BYTE *>(GlobalLock(hDocument)) : nullptr;
            sink.cbCapacity = sink.pBytes != nullptr ? static_cast<size_t>(cbAnnounced) : 0;
            const int result = RARProcessFileW(hArchive, RAR_TEST, nullptr, nullptr);
            if (hDocument != nullptr)
                GlobalUnlock(hDocument);
            if (result != 0 || sink.pBytes == nullptr || sink.overflow || sink.cbWritten != cbAnnounced) {
                if (hDocument != nullptr)
                    GlobalFree(hDocument);
                status = 1;
                continue;
            }
            const long long cDocumentChunks = FilterDocument(pFactory, hDocument);  // frees hDocument
            if (cDocumentChunks < 0) {
                status = 1;
                continue;
            }
            ++cEntries;
            cbTotal += cbAnnounced;
            cChunks += static_cast<unsigned long long>(cDocumentChunks);
        }
        RARCloseArchive(hArchive);
    }

    wprintf(L"entries=%llu bytes=%llu chunks=%llu\n", cEntries, cbTotal, cChunks);
    if (bStats) {
        CFolderCounter none;
        PrintStats(none);
    }
    CoUninitialize();
    return status;
}
