#include "childfilter/ChildFilterLoader.h"
#include "support/Capacities.h"
#include "childfilter/RegistryHelpers.h"
#include "support/Guids.h"
#include "childfilter/NestingDepth.h"
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
    m_pszHostPath.reset(new (std::nothrow) wchar_t[HOST_CHARS]());
    m_pszHostName.reset(new (std::nothrow) wchar_t[HOST_CHARS]());
    if (!m_pszHostPath || !m_pszHostName)
        return;
    const DWORD cch = GetModuleFileNameW(nullptr, m_pszHostPath.get(), HOST_CHARS);
    if (cch == 0 || cch >= HOST_CHARS) {
        m_pszHostPath[0] = L'\0';
        return;
    }
    GetUpperBaseName(m_pszHostPath.get(), m_pszHostName.get(), HOST_CHARS);
}

CChildFilterLoader::~CChildFilterLoader() = default;

BOOL CChildFilterLoader::FindFilter(const wchar_t *pszFilePath, FilterRegistryInfo *pInfo)
{
    if (g_childFilterTestHooks.pfnFindFilter != nullptr)
        return g_childFilterTestHooks.pfnFindFilter(pszFilePath, pInfo);
    if (pszFilePath == nullptr || pInfo == nullptr)
        return FALSE;
    try {
        wchar_t szExt[EXTENSION_CHARS];
        GetUpperExtension(pszFilePath, szExt, EXTENSION_CHARS);
        // No extension, or a bare dot: nothing to look up.
        if (szExt[0] == L'\0' || szExt[1] == L'\0')
            return FALSE;
        if (!LookUp(szExt, pInfo))
            return FALSE;
        // An archive inside an archive is filtered by our own class again; that stops at a
        // fixed depth, and deeper archives are named but not extracted.
        return !(IsOwnFilterClass(pInfo->filterClsid) && NestingDepth() >= MAX_NESTED_ARCHIVES);
    } catch (...) {
        return FALSE;
    }
}

// The engine's answer for an upper-cased extension (with its dot), from this run's earlier
// lookups when there is one.
BOOL CChildFilterLoader::LookUp(const wchar_t *pszUpperExt, FilterRegistryInfo *pInfo)
{
    for (const RememberedLookup &lookup : m_lookups) {
        if (wcscmp(lookup.extension, pszUpperExt) == 0) {
            *pInfo = lookup.info;
            return lookup.found;
        }
    }
    std::unique_ptr<CIFilterRegistryHelperBase> helper(CreateEngineHelper());
    if (!helper)
        return FALSE;
    m_dllList.m_bVerifyTrust = FALSE;
    pInfo->dllList = &m_dllList;
    const BOOL bFound = helper->FindFilterForExtension(pszUpperExt + 1, pInfo);
    if (m_lookups.size() < MAX_REMEMBERED_LOOKUPS) {
        m_lookups.emplace_back();
        RememberedLookup &lookup = m_lookups.back();
        SafeStringCopy(lookup.extension, ARRAYSIZE(lookup.extension), pszUpperExt);
        lookup.found = bFound;
        lookup.info = *pInfo;
    }
    return bFound;
}

void CChildFilterLoader::ForgetLookups() noexcept { m_lookups.clear(); }

// The registry helper of the engine hosting this process; the standard registration when the
// host is not recognised.
CIFilterRegistryHelperBase *CChildFilterLoader::CreateEngineHelper()
{
    CIFilterRegistryHelperBase *pHelper = nullptr;
    const wchar_t *pszHost = m_pszHostName ? m_pszHostName.get() : L"";
    if (wcscmp(pszHost, L"MSNGATHER") == 0 || wcscmp(pszHost, L"WINDOWSSEARCHFILTER") == 0)
        pHelper = new (std::nothrow) CIFilterRegistryHelperMSNDesktopSearch;
    else if (wcscmp(pszHost, L"MSSDMN") == 0 || wcscmp(pszHost, L"FILTDUMP") == 0)
        pHelper = SelectServerEngineHelper(pszHost);
    if (pHelper == nullptr)
        pHelper = new (std::nothrow) CIFilterRegistryHelperIndexingService30;
    return pHelper;
}

// The server engine whose bin folder holds the running executable, or NULL.
CIFilterRegistryHelperBase *CChildFilterLoader::SelectServerEngineHelper(const wchar_t *pszHostName)
{
    if (m_pszHostPath == nullptr || m_pszHostPath[0] == L'\0')
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
        if (lstrcmpiW(path.get(), m_pszHostPath.get()) == 0)
            return helper.release();
    }
    return nullptr;
}

HMODULE CChildFilterLoader::LoadChildFilter(const wchar_t *pszFilePath, IUnknown *pUnkOuter, IFilter **ppFilter)
{
    if (g_childFilterTestHooks.pfnLoadChildFilter != nullptr)
        return g_childFilterTestHooks.pfnLoadChildFilter(pszFilePath, pUnkOuter, ppFilter);
    FilterRegistryInfo info;
    if (ppFilter == nullptr || !FindFilter(pszFilePath, &info))
        return nullptr;
    return CreateChildFilter(pszFilePath, info, pUnkOuter, ppFilter);
}

HMODULE CChildFilterLoader::LoadChildFilter(const FilterRegistryInfo &info, const wchar_t *pszFilePath,
                                            IFilter **ppFilter)
{
    if (g_childFilterTestHooks.pfnLoadChildFilter != nullptr)
        return g_childFilterTestHooks.pfnLoadChildFilter(pszFilePath, nullptr, ppFilter);
    if (ppFilter == nullptr)
        return nullptr;
    return CreateChildFilter(pszFilePath, info, nullptr, ppFilter);
}

HMODULE CChildFilterLoader::CreateChildFilter(const wchar_t *pszFilePath, const FilterRegistryInfo &info,
                                              IUnknown *pUnkOuter, IFilter **ppFilter)
{
    SafeRelease(*ppFilter);
    try {
        wchar_t szModuleName[MODULE_NAME_CHARS];
        GetUpperBaseName(info.modulePath, szModuleName, MODULE_NAME_CHARS);
        if (IsPdfModule(szModuleName))
            return CreatePdfChildFilter(pszFilePath, szModuleName, pUnkOuter, ppFilter);

        // Declared in release order: the filter goes before its module.
        CCoLibrary module;
        CComPtr<IFilter> filter;
        CComPtr<IPersistFile> persist;
        module.Attach(CreateFilterFromModule(info, IID_IPersistFile, persist.PutVoid(), filter.Put()));
        if (!module || FAILED(persist->Load(pszFilePath, STGM_READ)))
            return nullptr;
        *ppFilter = filter.Detach();
        return module.Detach();
    } catch (...) {
        SafeRelease(*ppFilter);
        return nullptr;
    }
}

// The filter class the record names, made from its module, with the persistence interface the
// caller loads it through. NULL (and nothing held) when either cannot be had; otherwise the module
// carries a reference of the caller's own, as LoadChildFilter's result does.
HMODULE CChildFilterLoader::CreateFilterFromModule(const FilterRegistryInfo &info, REFIID iidPersist, void **ppPersist,
                                                   IFilter **ppFilter)
{
    CCoLibrary module;
    CComPtr<IFilter> filter;
    module.Attach(m_dllList.CreateFilterFromDll(info.modulePath, info.filterClsid, filter.Put()));
    if (!module || !filter || FAILED(filter->QueryInterface(iidPersist, ppPersist)) || *ppPersist == nullptr)
        return nullptr;
    *ppFilter = filter.Detach();
    return module.Detach();
}

BOOL CChildFilterLoader::TakesStream(const FilterRegistryInfo &info, BOOL bHostStream)
{
    wchar_t szModuleName[MODULE_NAME_CHARS];
    GetUpperBaseName(info.modulePath, szModuleName, MODULE_NAME_CHARS);
    if (!IsPdfModule(szModuleName))
        return info.supportsStream;
    // The DLL list never loads these modules to ask them, so it knows nothing of their streams.
    return bHostStream && PdfClassReadsStreams(info);
}

// Asks the PDF module's class for IPersistStream, remembering the answer for the module.
BOOL CChildFilterLoader::PdfClassReadsStreams(const FilterRegistryInfo &info)
{
    for (const PdfStreamAnswer &answer : m_pdfAnswers) {
        if (lstrcmpiW(answer.modulePath, info.modulePath) == 0 && lstrcmpiW(answer.filterClsid, info.filterClsid) == 0)
            return answer.readsStreams;
    }
    BOOL bReadsStreams = FALSE;
    {
        // Declared in release order: the interfaces go before the module.
        CCoLibrary module;
        CComPtr<IFilter> filter;
        CComPtr<IPersistStream> persist;
        module.Attach(CreateFilterFromModule(info, IID_IPersistStream, persist.PutVoid(), filter.Put()));
        bReadsStreams = module ? TRUE : FALSE;
    }
    if (m_pdfAnswers.size() < MAX_PDF_ANSWERS) {
        m_pdfAnswers.emplace_back();
        PdfStreamAnswer &answer = m_pdfAnswers.back();
        SafeStringCopy(answer.modulePath, ARRAYSIZE(answer.modulePath), info.modulePath);
        SafeStringCopy(answer.filterClsid, ARRAYSIZE(answer.filterClsid), info.filterClsid);
        answer.readsStreams = bReadsStreams;
    }
    return bReadsStreams;
}

HMODULE CChildFilterLoader::LoadChildFilterFromStream(const wchar_t *pszEntryName, IStream *pStream, IFilter **ppFilter)
{
    FilterRegistryInfo info;
    if (ppFilter == nullptr || !FindFilter(pszEntryName, &info))
        return nullptr;
    return LoadChildFilterFromStream(info, pStream, ppFilter);
}

HMODULE CChildFilterLoader::LoadChildFilterFromStream(const FilterRegistryInfo &info, IStream *pStream,
                                                      IFilter **ppFilter)
{
    if (ppFilter == nullptr || pStream == nullptr)
        return nullptr;
    SafeRelease(*ppFilter);
    try {
        if (!TakesStream(info, TRUE))
            return nullptr;
        // Declared in release order: the filter goes before its module.
        CCoLibrary module;
        CComPtr<IFilter> filter;
        CComPtr<IPersistStream> persist;
        module.Attach(CreateFilterFromModule(info, IID_IPersistStream, persist.PutVoid(), filter.Put()));
        if (!module || FAILED(persist->Load(pStream)))
            return nullptr;
        *ppFilter = filter.Detach();
        return module.Detach();
    } catch (...) {
        SafeRelease(*ppFilter);
        return nullptr;
    }
}

// The PDF filter modules are created by the platform's LoadIFilter, for the file's extension.
// The module handle returned carries a reference of our own, so the caller's CoFreeLibrary
// never takes away one that LoadIFilter's cache or the host holds.
HMODULE CChildFilterLoader::CreatePdfChildFilter(const wchar_t *pszFilePath, const wchar_t *pszModuleName,
                                                 IUnknown *pUnkOuter, IFilter **ppFilter)
{
    // The query library stays loaded for the loader's life: the objects LoadIFilter made, and the
    // cache it keeps of filter modules, may need its code for as long as they live.
    if (!m_queryLibrary)
        m_queryLibrary.Attach(LoadLibraryW(L"query.dll"));
    const auto pfnLoadIFilter =
        m_queryLibrary ? GetProcAs<PFN_LOAD_IFILTER>(m_queryLibrary.Get(), "LoadIFilter") : nullptr;
    if (pfnLoadIFilter == nullptr)
        return nullptr;
    CComPtr<IUnknown> unknown;
    if (FAILED(pfnLoadIFilter(pszFilePath, pUnkOuter, unknown.PutVoid())) || !unknown)
        return nullptr;
    CComPtr<IFilter> filter;
    if (FAILED(unknown->QueryInterface(IID_IFilter, filter.PutVoid())) || !filter)
        return nullptr;

    // The extension, not the registry record, decided which filter LoadIFilter made: when the
    // named module is not the one loaded, hold the module the object's code lives in.
    HMODULE hModule = nullptr;
    if (!GetModuleHandleExW(0, pszModuleName, &hModule) &&
        !GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                            *reinterpret_cast<const wchar_t *const *>(filter.Get()), &hModule))
        return nullptr;
    *ppFilter = filter.Detach();
    return hModule;
}
