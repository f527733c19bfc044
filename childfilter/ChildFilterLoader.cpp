#include "childfilter/ChildFilterLoader.h"
#include "support/Capacities.h"
#include "childfilter/RegistryHelpers.h"
#include "support/Guids.h"
#include "support/CallContext.h"
#include "support/Check.h"
#include "support/FileUtil.h"
#include "support/Holders.h"
#include "support/ProcAddress.h"
#include "support/SafeString.h"

#include <memory>
#include <new>

ChildFilterTestHooks g_childFilterTestHooks;

namespace {

constexpr ULONG HOST_CHARS = CCH_KEY_PATH;
constexpr ULONG EXTENSION_CHARS = CCH_FILE_NAME;    // the dot and 255 characters; longer comes out empty
constexpr ULONG MODULE_NAME_CHARS = CCH_FILE_NAME;  // a module's base name, at most 256 characters
constexpr ULONG ENGINE_PATH_CHARS = CCH_RUN_PATH;

// The extension of the file-name part, from its last dot on, or NULL when there is none.
const wchar_t *ExtensionPart(const wchar_t *pszName) noexcept
{
    const wchar_t *pszExt = nullptr;
    for (const wchar_t *p = pszName; *p != L'\0'; ++p) {
        if (*p == L'.')
            pszExt = p;
    }
    return pszExt;
}

// The path's extension with its dot, upper-cased; empty when there is none or it does not fit.
void GetUpperExtension(const wchar_t *pszPath, wchar_t *pszExt, ULONG cchExt) noexcept
{
    pszExt[0] = L'\0';
    const wchar_t *pszFound = ExtensionPart(PathFileName(pszPath));
    if (pszFound == nullptr || SafeStringCopy(pszExt, cchExt, pszFound) != S_OK) {
        pszExt[0] = L'\0';
        return;
    }
    CharUpperW(pszExt);
}

// Is the class in registry form (with braces) the filter class of this module?
bool IsOwnFilterClass(const wchar_t *pszClsid) noexcept
{
    CLSID clsid;
    return pszClsid[0] == L'{' && SUCCEEDED(CLSIDFromString(pszClsid, &clsid)) &&
           IsEqualCLSID(clsid, CLSID_PellucidorFilter);
}

bool IsPdfModule(const wchar_t *pszUpperName) noexcept
{
    return wcscmp(pszUpperName, L"PDFFILT") == 0 || wcscmp(pszUpperName, L"ACRORDIF") == 0;
}

template <class THelper>
CIFilterRegistryHelperSQLServer2000 *NewServerHelper()
{
    return new (std::nothrow) THelper;
}

// The server engines whose indexing process may be called MSSDMN or FILTDUMP, in the order they
// are tried: newer products first, since an older one's install key may still be present.
using PFN_NEW_SERVER_HELPER = CIFilterRegistryHelperSQLServer2000 *(*)();
const PFN_NEW_SERVER_HELPER c_serverEngines[] = {
    NewServerHelper<CIFilterRegistryHelperOfficeServer12>,
    NewServerHelper<CIFilterRegistryHelperWindowsServerExtensions12>,
    NewServerHelper<CIFilterRegistryHelperSharepoint2003>,
    NewServerHelper<CIFilterRegistryHelperSharepoint2001>,
    NewServerHelper<CIFilterRegistryHelperSQLServer2000>,
};

using PFN_LOAD_IFILTER = HRESULT(WINAPI *)(PCWSTR pwcsPath, IUnknown *pUnkOuter, void **ppIUnk);

} // namespace

CChildFilterLoader::CChildFilterLoader()
{
    m_pszHostName.reset(new (std::nothrow) wchar_t[HOST_CHARS]());
    m_lookups.reset(new (std::nothrow) RememberedLookup[MAX_REMEMBERED_LOOKUPS]);
    m_pdfAnswers.reset(new (std::nothrow) PdfStreamAnswer[MAX_PDF_ANSWERS]);
    if (m_pszHostName)
        GetUpperBaseName(ProcessImagePath(), m_pszHostName.get(), HOST_CHARS);
}

CChildFilterLoader::~CChildFilterLoader() = default;

bool CChildFilterLoader::FindFilter(const wchar_t *pszFilePath, FilterRegistryInfo *pInfo)
{
    if (g_childFilterTestHooks.pfnFindFilter != nullptr)
        return g_childFilterTestHooks.pfnFindFilter(pszFilePath, pInfo);
    if (pszFilePath == nullptr || pInfo == nullptr)
        return false;
    wchar_t szExt[EXTENSION_CHARS];
    GetUpperExtension(pszFilePath, szExt, EXTENSION_CHARS);
    // No extension, or a bare dot: nothing to look up.
    if (szExt[0] == L'\0' || szExt[1] == L'\0')
        return false;
    if (!LookUp(szExt, pInfo))
        return false;
    // An archive inside an archive is filtered by our own class again; that stops at a
    // fixed depth, and deeper archives are named but not extracted.
    return !IsOwnFilterClass(pInfo->filterClsid) || MayNestArchive();
}

// The engine's answer for an upper-cased extension (with its dot), from this run's earlier
// lookups when there is one.
bool CChildFilterLoader::LookUp(const wchar_t *pszUpperExt, FilterRegistryInfo *pInfo)
{
    for (size_t i = 0; i < m_cLookups; ++i) {
        const RememberedLookup &lookup = m_lookups[i];
        if (wcscmp(lookup.extension, pszUpperExt) == 0) {
            *pInfo = lookup.info;
            return lookup.found;
        }
    }
    std::unique_ptr<CIFilterRegistryHelperBase> helper(CreateEngineHelper());
    if (!helper)
        return false;
    m_dllList.m_bVerifyTrust = FALSE;
    pInfo->dllList = &m_dllList;
    const BOOL bFound = helper->FindFilterForExtension(pszUpperExt + 1, pInfo);
    if (m_lookups && m_cLookups < MAX_REMEMBERED_LOOKUPS) {
        RememberedLookup &lookup = m_lookups[m_cLookups++];
        SafeStringCopy(lookup.extension, ARRAYSIZE(lookup.extension), pszUpperExt);
        lookup.found = bFound;
        lookup.info = *pInfo;
    }
    return bFound;
}

void CChildFilterLoader::ForgetLookups() noexcept { m_cLookups = 0; }

// The registry helper of the engine hosting this process; the standard registration when the
// host is not recognised.
CIFilterRegistryHelperBase *CChildFilterLoader::CreateEngineHelper()
{
    CIFilterRegistryHelperBase *pHelper = nullptr;
    const FilterLookup lookup = FilterLookupOfThisProcess();
    if (lookup == FilterLookup::DesktopSearch)
        pHelper = new (std::nothrow) CIFilterRegistryHelperMSNDesktopSearch;
    else if (lookup == FilterLookup::ServerEngine && m_pszHostName)
        pHelper = SelectServerEngineHelper(m_pszHostName.get());
    if (pHelper == nullptr)
        pHelper = new (std::nothrow) CIFilterRegistryHelperIndexingService30;
    return pHelper;
}

// The server engine whose bin folder holds the running executable, or NULL.
CIFilterRegistryHelperBase *CChildFilterLoader::SelectServerEngineHelper(const wchar_t *pszHostName)
{
    const wchar_t *pszHostPath = ProcessImagePath();
    if (pszHostPath[0] == L'\0')
        return nullptr;
    std::unique_ptr<wchar_t[]> path(new (std::nothrow) wchar_t[ENGINE_PATH_CHARS]);
    if (!path)
        return nullptr;
    for (const PFN_NEW_SERVER_HELPER pfnNew : c_serverEngines) {
        std::unique_ptr<CIFilterRegistryHelperSQLServer2000> helper(pfnNew());
        if (!helper || !helper->IsEngineInstalled())
            continue;
        path[0] = L'\0';
        if (!helper->GetEngineBinDirectory(path.get(), ENGINE_PATH_CHARS))
            continue;
        if (!AppendPath(path.get(), pszHostName) || SafeStringCat(path.get(), ENGINE_PATH_CHARS, L".exe") != S_OK)
            continue;
        if (lstrcmpiW(path.get(), pszHostPath) == 0)
            return helper.release();
    }
    return nullptr;
}

HRESULT CChildFilterLoader::LoadChildFilter(const wchar_t *pszFilePath, CChildFilterHolder &child)
{
    child.Release();
    FilterRegistryInfo info;
    if (pszFilePath == nullptr || !FindFilter(pszFilePath, &info))
        return S_FALSE;
    return LoadChild(info, pszFilePath, child);
}

HRESULT CChildFilterLoader::LoadChild(const FilterRegistryInfo &info, const wchar_t *pszFilePath,
                                      CChildFilterHolder &child)
{
    child.Release();
    if (g_childFilterTestHooks.pfnLoadChildFilter != nullptr) {
        IFilter *pFilter = nullptr;
        const HMODULE hModule = g_childFilterTestHooks.pfnLoadChildFilter(pszFilePath, &pFilter);
        child.Attach(pFilter, hModule);
        return pFilter != nullptr ? S_OK : E_FAIL;
    }
    RETURN_HR_IF_NULL(E_INVALIDARG, pszFilePath);
    wchar_t szModuleName[MODULE_NAME_CHARS];
    GetUpperBaseName(info.modulePath, szModuleName, MODULE_NAME_CHARS);
    if (IsPdfModule(szModuleName))
        return CreatePdfChildFilter(pszFilePath, szModuleName, child);
    return CreateLoadedChild<IPersistFile>(info, pszFilePath, child);
}

HRESULT CChildFilterLoader::LoadChild(const FilterRegistryInfo &info, IStream *pStream, CChildFilterHolder &child)
{
    child.Release();
    RETURN_HR_IF_NULL(E_INVALIDARG, pStream);
    RETURN_HR_IF(E_NOINTERFACE, !TakesStream(info, true));
    return CreateLoadedChild<IPersistStream>(info, pStream, child);
}

namespace {

HRESULT LoadDocument(IPersistFile *pPersist, const wchar_t *pszFilePath) { return pPersist->Load(pszFilePath, STGM_READ); }
HRESULT LoadDocument(IPersistStream *pPersist, IStream *pStream) { return pPersist->Load(pStream); }

} // namespace

// Every child the loader makes from a class factory comes through here: the class made from its
// module, asked for the persistence interface its document needs, and loaded.
template <class TPersist, class TDocument>
HRESULT CChildFilterLoader::CreateLoadedChild(const FilterRegistryInfo &info, TDocument document,
                                              CChildFilterHolder &child)
{
    CComPtr<TPersist> persist;
    RETURN_IF_FAILED(CreateFromModule(info, child, persist));
    const HRESULT hr = LoadDocument(persist.Get(), document);
    persist.Reset();  // before the module can go
    if (FAILED(hr))
        child.Release();
    return FAILED(hr) ? hr : S_OK;
}

// The filter class the record names, made from its module, with the persistence interface asked
// for. A failure leaves nothing held.
template <class TPersist>
HRESULT CChildFilterLoader::CreateFromModule(const FilterRegistryInfo &info, CChildFilterHolder &child,
                                             CComPtr<TPersist> &persist)
{
    IFilter *pFilter = nullptr;
    const HMODULE hModule = m_dllList.CreateFilterFromDll(info.modulePath, info.filterClsid, &pFilter);
    child.Attach(pFilter, hModule);
    RETURN_HR_IF(HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND), hModule == nullptr);
    HRESULT hr = pFilter != nullptr ? pFilter->QueryInterface(__uuidof(TPersist), persist.PutVoid()) : CLASS_E_CLASSNOTAVAILABLE;
    if (SUCCEEDED(hr) && !persist)
        hr = E_NOINTERFACE;
    if (FAILED(hr))
        child.Release();
    return hr;
}

bool CChildFilterLoader::TakesStream(const FilterRegistryInfo &info, bool bHostStream)
{
    wchar_t szModuleName[MODULE_NAME_CHARS];
    GetUpperBaseName(info.modulePath, szModuleName, MODULE_NAME_CHARS);
    if (!IsPdfModule(szModuleName))
        return info.supportsStream != FALSE;
    // The DLL list never loads these modules to ask them, so it knows nothing of their streams.
    return bHostStream && PdfClassReadsStreams(info);
}

// Asks the PDF module's class for IPersistStream, remembering the answer for the module.
bool CChildFilterLoader::PdfClassReadsStreams(const FilterRegistryInfo &info)
{
    for (size_t i = 0; i < m_cPdfAnswers; ++i) {
        const PdfStreamAnswer &answer = m_pdfAnswers[i];
        if (lstrcmpiW(answer.modulePath, info.modulePath) == 0 && lstrcmpiW(answer.filterClsid, info.filterClsid) == 0)
            return answer.readsStreams;
    }
    bool bReadsStreams = false;
    {
        CChildFilterHolder probe;
        CComPtr<IPersistStream> persist;
        bReadsStreams = SUCCEEDED(CreateFromModule(info, probe, persist));
    }
    if (m_pdfAnswers && m_cPdfAnswers < MAX_PDF_ANSWERS) {
        PdfStreamAnswer &answer = m_pdfAnswers[m_cPdfAnswers++];
        SafeStringCopy(answer.modulePath, ARRAYSIZE(answer.modulePath), info.modulePath);
        SafeStringCopy(answer.filterClsid, ARRAYSIZE(answer.filterClsid), info.filterClsid);
        answer.readsStreams = bReadsStreams;
    }
    return bReadsStreams;
}

// The PDF filter modules are created by the platform's LoadIFilter, for the file's extension.
// The module handle held carries a reference of our own, so freeing it never takes away one that
// LoadIFilter's cache or the host holds.
HRESULT CChildFilterLoader::CreatePdfChildFilter(const wchar_t *pszFilePath, const wchar_t *pszModuleName,
                                                 CChildFilterHolder &child)
{
    // The query library stays loaded for the loader's life: the objects LoadIFilter made, and the
    // cache it keeps of filter modules, may need its code for as long as they live.
    if (!m_queryLibrary)
        m_queryLibrary.Attach(LoadLibraryW(L"query.dll"));
    const auto pfnLoadIFilter =
        m_queryLibrary ? GetProcAs<PFN_LOAD_IFILTER>(m_queryLibrary.Get(), "LoadIFilter") : nullptr;
    RETURN_HR_IF_NULL(HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND), pfnLoadIFilter);
    CComPtr<IUnknown> unknown;
    RETURN_IF_FAILED(pfnLoadIFilter(pszFilePath, nullptr, unknown.PutVoid()));
    CComPtr<IFilter> filter;
    RETURN_HR_IF_NULL(E_NOINTERFACE, unknown.Get());
    RETURN_IF_FAILED(unknown->QueryInterface(IID_IFilter, filter.PutVoid()));
    RETURN_HR_IF_NULL(E_NOINTERFACE, filter.Get());

    // The extension, not the registry record, decided which filter LoadIFilter made: when the
    // named module is not the one loaded, hold the module the object's code lives in.
    HMODULE hModule = nullptr;
    if (!GetModuleHandleExW(0, pszModuleName, &hModule) &&
        !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            *reinterpret_cast<const wchar_t *const *>(filter.Get()), &hModule))
        return HRESULT_FROM_WIN32(GetLastError());
    child.Attach(filter.Detach(), hModule);
    return S_OK;
}
