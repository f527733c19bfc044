// Finds, for a file's extension, the filter that the search engine hosting this process has
// registered, and creates it on the entry's document: an extracted file, or a stream over it in
// memory when that filter reads streams. One loader per filter object; it is used from
// the thread that calls that object and takes no locks.
//
// The host is recognised by its executable's name, in the one table of known images
// (support/RunLimits.h): MSNGATHER and WINDOWSSEARCHFILTER follow the desktop-search tables;
// MSSDMN and FILTDUMP the server engine whose bin folder holds the executable; anything else the
// standard registration.
#pragma once
#include <windows.h>
#include <filter.h>

#include "support/RunLimits.h"

#include "childfilter/ChildFilterHolder.h"
#include "childfilter/DLLsInformation.h"
#include "support/Capacities.h"
#include "childfilter/FilterRegistryInfo.h"
#include "support/Holders.h"

#include <memory>

class CIFilterRegistryHelperBase;

// Test seam: unit tests (which link the core library) stand a fake child filter in for the
// registry lookup and the load from a file. When a pointer is set, FindFilter / LoadChild for a
// file return its answer and do nothing else. The product never sets them.
struct ChildFilterTestHooks {
    bool (*pfnFindFilter)(const wchar_t *pszFilePath, FilterRegistryInfo *pInfo) = nullptr;
    HMODULE (*pfnLoadChildFilter)(const wchar_t *pszFilePath, IFilter **ppFilter) = nullptr;
};
extern ChildFilterTestHooks g_childFilterTestHooks;

class CChildFilterLoader
{
public:
    CChildFilterLoader();
    ~CChildFilterLoader();
    CChildFilterLoader(const CChildFilterLoader &) = delete;
    CChildFilterLoader &operator=(const CChildFilterLoader &) = delete;

    // Is a filter registered, in the hosting engine's registry, for the extension of pszFilePath
    // (a bare entry name or a full path)? Fills *pInfo. Only the result counts, not pInfo->status.
    // The answer for an extension is remembered until ForgetLookups.
    bool FindFilter(const wchar_t *pszFilePath, FilterRegistryInfo *pInfo);

    // The child filter for the record FindFilter gave, loaded with its document: an existing file
    // (through IPersistFile) or a document in memory (through IPersistStream). The caller calls
    // Init. S_OK: `child` holds the filter and its module, with one reference of the caller's own
    // on each; a failure: `child` holds nothing, and the code says which step failed
    // (E_NOINTERFACE: the class does not read documents that way).
    HRESULT LoadChild(const FilterRegistryInfo &info, const wchar_t *pszFilePath, CChildFilterHolder &child);
    HRESULT LoadChild(const FilterRegistryInfo &info, IStream *pStream, CChildFilterHolder &child);
    // FindFilter and LoadChild for a file in one step; S_FALSE, and nothing held, when no filter
    // is registered for its extension.
    HRESULT LoadChildFilter(const wchar_t *pszFilePath, CChildFilterHolder &child);

    // Does the filter the record names read documents from a stream? bHostStream: the archive
    // came from the host's stream, as Windows Search gives every document (its filter host has no
    // disk). The PDF modules are made by the platform's LoadIFilter on a file, except for an
    // archive from a stream: then, as Windows Search makes them, from their class factory when
    // their class answers IPersistStream (asked once per module, which loads it).
    bool TakesStream(const FilterRegistryInfo &info, bool bHostStream);

    // Forgets the answers FindFilter remembered. Called when a run over an archive begins, so that
    // each archive sees the registrations as they are when its run starts.
    void ForgetLookups() noexcept;

    // Full path of the host process's executable, and its upper-cased base name.
    const wchar_t *HostPath() const noexcept { return ProcessImagePath(); }
    const wchar_t *HostName() const noexcept { return m_pszHostName.get(); }  // read by the tests only

private:
    bool LookUp(const wchar_t *pszUpperExt, FilterRegistryInfo *pInfo);
    CIFilterRegistryHelperBase *SelectServerEngineHelper(const wchar_t *pszHostName);
    CIFilterRegistryHelperBase *CreateEngineHelper();
    template <class TPersist, class TDocument>
    HRESULT CreateLoadedChild(const FilterRegistryInfo &info, TDocument document, CChildFilterHolder &child);
    template <class TPersist>
    HRESULT CreateFromModule(const FilterRegistryInfo &info, CChildFilterHolder &child, CComPtr<TPersist> &persist);
    bool PdfClassReadsStreams(const FilterRegistryInfo &info);
    HRESULT CreatePdfChildFilter(const wchar_t *pszFilePath, const wchar_t *pszModuleName, CChildFilterHolder &child);

    std::unique_ptr<wchar_t[]> m_pszHostName;  // CCH_KEY_PATH characters
    CDLLsInformation m_dllList;
    CLibrary m_queryLibrary;  // the platform's query.dll, once LoadIFilter was needed
    // The answers of this run's lookups, one per upper-cased extension, found or not: every entry
    // of an archive with the same extension has the same answer, and a registry walk costs more
    // than extracting a small entry. At most MAX_REMEMBERED_LOOKUPS; later extensions are looked
    // up each time.
    struct RememberedLookup {
        wchar_t extension[CCH_FILE_NAME];
        BOOL found;
        FilterRegistryInfo info;
    };
    static constexpr size_t MAX_REMEMBERED_LOOKUPS = 32;
    std::unique_ptr<RememberedLookup[]> m_lookups;  // NULL when there was no memory: nothing is remembered
    size_t m_cLookups = 0;
    // Whether a PDF module's class answered IPersistStream, per module path and class, for the
    // loader's life: a class's interfaces do not change, and asking loads the module.
    struct PdfStreamAnswer {
        wchar_t modulePath[CCH_KEY_PATH];
        wchar_t filterClsid[CCH_CLSID];
        bool readsStreams;
    };
    static constexpr size_t MAX_PDF_ANSWERS = 8;
    std::unique_ptr<PdfStreamAnswer[]> m_pdfAnswers;
    size_t m_cPdfAnswers = 0;
};
