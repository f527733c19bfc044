// Finds, for a file's extension, the filter that the search engine hosting this process has
// registered, and creates it on an extracted file. One loader per filter object; it is used from
// the thread that calls that object and takes no locks.
//
// The host is recognised once, by its executable's upper-cased base name: MSNGATHER and
// WINDOWSSEARCHFILTER follow the desktop-search tables; MSSDMN and FILTDUMP the server engine
// whose bin folder holds the executable; anything else the standard registration.
#pragma once
#include <windows.h>
#include <filter.h>

#include "childfilter/DLLsInformation.h"
#include "support/Capacities.h"
#include "childfilter/FilterRegistryInfo.h"
#include "support/Holders.h"

#include <memory>
#include <vector>

class CIFilterRegistryHelperBase;

// Test seam: unit tests (which link the core library) stand a fake child filter in for the
// registry lookup and the load. When a pointer is set, FindFilter / LoadChildFilter return its
// answer and do nothing else. The product never sets them.
struct ChildFilterTestHooks {
    BOOL (*pfnFindFilter)(const wchar_t *pszFilePath, FilterRegistryInfo *pInfo) = nullptr;
    HMODULE (*pfnLoadChildFilter)(const wchar_t *pszFilePath, IUnknown *pUnkOuter, IFilter **ppFilter) = nullptr;
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
    BOOL FindFilter(const wchar_t *pszFilePath, FilterRegistryInfo *pInfo);

    // The child filter for an existing file, already loaded with it (the caller calls Init).
    // On success *ppFilter holds one reference for the caller and the result is the filter's
    // module, which carries one reference of the caller's own: release the filter, then
    // CoFreeLibrary the module. On failure the result is NULL and *ppFilter is NULL, except
    // when no filter is registered for the extension: then *ppFilter is left untouched.
    // The extension is looked up as FindFilter does (answered from the run's lookups).
    HMODULE LoadChildFilter(const wchar_t *pszFilePath, IUnknown *pUnkOuter, IFilter **ppFilter);

    // Does the filter the record names read documents from a stream? bHostStream: the archive
    // came from the host's stream, as Windows Search gives every document (its filter host has no
    // disk). The PDF modules are made by the platform's LoadIFilter on a file, except for an
    // archive from a stream: then, as Windows Search makes them, from their class factory when
    // their class answers IPersistStream (asked once per module, which loads it).
    BOOL TakesStream(const FilterRegistryInfo &info, BOOL bHostStream);
    // The child filter for a document held in memory, loaded from pStream (its filter found by the
    // extension of pszEntryName, as FindFilter finds it). As LoadChildFilter otherwise; NULL also
    // when that filter does not read streams.
    HMODULE LoadChildFilterFromStream(const wchar_t *pszEntryName, IStream *pStream, IFilter **ppFilter);

    // The same two for the record FindFilter gave: the filter object, which looked the entry up
    // once, has the child made without a second lookup.
    HMODULE LoadChildFilter(const FilterRegistryInfo &info, const wchar_t *pszFilePath, IFilter **ppFilter);
    HMODULE LoadChildFilterFromStream(const FilterRegistryInfo &info, IStream *pStream, IFilter **ppFilter);

    // Forgets the answers FindFilter remembered. Called when a run over an archive begins, so that
    // each archive sees the registrations as they are when its run starts.
    void ForgetLookups() noexcept;

    // Full path of the host process's executable, and its upper-cased base name.
    const wchar_t *HostPath() const noexcept { return m_pszHostPath.get(); }
    const wchar_t *HostName() const noexcept { return m_pszHostName.get(); }  // read by the tests only

private:
    BOOL LookUp(const wchar_t *pszUpperExt, FilterRegistryInfo *pInfo);
    CIFilterRegistryHelperBase *SelectServerEngineHelper(const wchar_t *pszHostName);
    CIFilterRegistryHelperBase *CreateEngineHelper();
    HMODULE CreateChildFilter(const wchar_t *pszFilePath, const FilterRegistryInfo &info, IUnknown *pUnkOuter,
                              IFilter **ppFilter);
    HMODULE CreateFilterFromModule(const FilterRegistryInfo &info, REFIID iidPersist, void **ppPersist,
                                   IFilter **ppFilter);
    BOOL PdfClassReadsStreams(const FilterRegistryInfo &info);
    HMODULE CreatePdfChildFilter(const wchar_t *pszFilePath, const wchar_t *pszModuleName, IUnknown *pUnkOuter,
                                 IFilter **ppFilter);

    std::unique_ptr<wchar_t[]> m_pszHostPath;  // CCH_KEY_PATH characters
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
    std::vector<RememberedLookup> m_lookups;
    // Whether a PDF module's class answered IPersistStream, per module path and class, for the
    // loader's life: a class's interfaces do not change, and asking loads the module.
    struct PdfStreamAnswer {
        wchar_t modulePath[CCH_KEY_PATH];
        wchar_t filterClsid[CCH_CLSID];
        BOOL readsStreams;
    };
    static constexpr size_t MAX_PDF_ANSWERS = 8;
    std::vector<PdfStreamAnswer> m_pdfAnswers;
};
