// The filter object's life: creation, identity, IPersistFile, Init and teardown. Each Init
// starts a run with its own temporary folder and crawler; the next Init or the last Release
// removes what the run left. The chunk stream is in ChunkStream.cpp, the settings and the
// black list in BlackList.cpp.
#include "filter/IFilterBase.h"

#include "childfilter/ChildFilterLoader.h"
#include "crawler/RarFileCrawler.h"
#include "filter/Guids.h"
#include "filter/NestingDepth.h"
#include "filter/SettingsLock.h"
#include "module/Module.h"
#include "support/FileUtil.h"
#include "support/Holders.h"
#include "support/SafeString.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

namespace {

constexpr size_t TEMP_FOLDER_CHARS = 2049;  // the run's folder, and every path below it
constexpr size_t GUID_NAME_CHARS = 37;      // 32 hexadecimal digits and the NUL

bool EndsWithBackslash(const wchar_t *psz) noexcept
{
    const size_t cch = std::wcslen(psz);
    return cch > 0 && psz[cch - 1] == L'\\';
}

bool IsDotOrDotDot(const wchar_t *pszName) noexcept
{
    return std::wcscmp(pszName, L".") == 0 || std::wcscmp(pszName, L"..") == 0;
}

// One level of DeleteFolderTree. On the heap, so that a deep tree costs little stack per level.
struct FolderLevel {
    wchar_t pattern[TEMP_FOLDER_CHARS];
    wchar_t fullName[TEMP_FOLDER_CHARS];
    WIN32_FIND_DATAW found;
};

} // namespace

CIFilterBase::CIFilterBase()
{
    InterlockedIncrement(&g_cObjects);
    m_pFilterLoader = new (std::nothrow) CChildFilterLoader();
    CIFilterBase::InitOptions();
}

CIFilterBase::~CIFilterBase()
{
    // The black list needs the settings of the run, so it goes first.
    {
        CSettingsLock blackListLock(BLACK_LIST_MUTEX);
        LeaveBlackList(blackListLock);
    }
    delete[] m_pszFileName;
    m_pszFileName = nullptr;
    ReleaseChildAndCrawler();
    ResetRun();
    FreeAttributes();
    delete m_pFilterLoader;
    m_pFilterLoader = nullptr;
    InterlockedDecrement(&g_cObjects);
}

// --- IUnknown -------------------------------------------------------------------------------

STDMETHODIMP CIFilterBase::QueryInterface(REFIID riid, void **ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == IID_IFilter)
        *ppv = static_cast<IFilter *>(this);
    else if (riid == IID_IPersistFile || riid == IID_IPersist || riid == IID_IUnknown)
        *ppv = static_cast<IPersistFile *>(this);
    else
        return E_NOINTERFACE;
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) CIFilterBase::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_cRef)); }

STDMETHODIMP_(ULONG) CIFilterBase::Release()
{
    const LONG cRef = InterlockedDecrement(&m_cRef);
    if (cRef == 0)
        delete this;
    return static_cast<ULONG>(cRef);
}

// --- IPersistFile ---------------------------------------------------------------------------

STDMETHODIMP CIFilterBase::GetClassID(CLSID *pClassID)
{
    if (pClassID == nullptr)
        return E_POINTER;
    *pClassID = CLSID_PellucidorFilter;
    return S_OK;
}

STDMETHODIMP CIFilterBase::IsDirty() { return S_FALSE; }

STDMETHODIMP CIFilterBase::Load(LPCOLESTR pszFileName, DWORD /*dwMode*/)
{
    if (!FileExists(pszFileName))
        return E_INVALIDARG;
    const size_t cch = std::wcslen(pszFileName) + 1;  // FileExists bounded it to MAX_PATH
    wchar_t *pszCopy = new (std::nothrow) wchar_t[cch];
    if (pszCopy == nullptr)
        return E_OUTOFMEMORY;
    if (SafeStringCopy(pszCopy, cch, pszFileName) != S_OK) {
        delete[] pszCopy;
        return E_FAIL;
    }
    // Replaced only now, so that a failed Load keeps the previous path.
    delete[] m_pszFileName;
    m_pszFileName = pszCopy;
    return S_OK;
}

STDMETHODIMP CIFilterBase::Save(LPCOLESTR, BOOL) { return E_FAIL; }

STDMETHODIMP CIFilterBase::SaveCompleted(LPCOLESTR) { return S_OK; }

STDMETHODIMP CIFilterBase::GetCurFile(LPOLESTR *ppszFileName)
{
    if (ppszFileName == nullptr)
        return E_POINTER;
    *ppszFileName = nullptr;
    if (m_pszFileName == nullptr)
        return E_FAIL;
    const size_t cb = (std::wcslen(m_pszFileName) + 1) * sizeof(wchar_t);
    CCoTaskMem copy(CoTaskMemAlloc(cb));
    if (!copy)
        return E_OUTOFMEMORY;
    std::memcpy(copy.Get(), m_pszFileName, cb);
    *ppszFileName = static_cast<LPOLESTR>(copy.Detach());
    return S_OK;
}

// --- IFilter::Init --------------------------------------------------------------------------

void CIFilterBase::InitOptions()
{
    m_bWideArchivePath = FALSE;
    m_bEmitEntryNames = TRUE;
}

STDMETHODIMP CIFilterBase::Init(ULONG grfFlags, ULONG cAttributes, const FULLPROPSPEC *aAttributes, ULONG *pFlags)
{
    if (pFlags == nullptr)
        return E_FAIL;
    const CNestingScope nesting;
    try {
        *pFlags = IFILTER_FLAGS_OLE_PROPERTIES;

        // The earlier run ends here as it would in the destructor, black list included, so that
        // a host that re-initialises one object is not counted as abandoning the archive. Its
        // end and this run's admission share one lock object: one wait at most.
        CSettingsLock blackListLock(BLACK_LIST_MUTEX);
        LeaveBlackList(blackListLock);
        ReleaseChildAndCrawler();
        ResetRun();
        FreeAttributes();
        m_bCompleted = FALSE;
        m_nChunkKind = 0;

        if (m_pszFileName == nullptr || !FileExists(m_pszFileName) || m_pFilterLoader == nullptr)
            return E_FAIL;
        m_pFilterLoader->ForgetLookups();  // each run sees the registrations as they are now
        // Our loader makes no child of our own class this deep; this catches other routes, such
        // as another format's filter that hands its entries to us.
        if (NestingDepth() > MAX_NESTED_ARCHIVES)
            return S_OK;  // nested too deep: no folder, no crawler, an empty stream

        if (!ReadSettings(blackListLock))
            return S_OK;  // refused by the black list: no folder, no crawler, an empty stream

        // Child filters are initialised later, when the host may have freed its array.
        m_grfFlags = grfFlags;
        if (!CopyAttributes(cAttributes, aAttributes))
            return E_FAIL;
        m_nChunkId = 0;
        if (FAILED(MakeRunFolder()))
            return E_FAIL;

        m_pCrawler = new (std::nothrow) CRarFileCrawler(m_pszFileName, m_pszTempFolder);
        if (m_pCrawler != nullptr)
            m_pCrawler->m_pFilterLoader = m_pFilterLoader;
        return S_OK;
    } catch (...) {
        return E_FAIL;
    }
}

// The run's folder: the user's temp folder plus a fresh GUID as 32 hexadecimal digits.
HRESULT CIFilterBase::MakeRunFolder()
{
    m_pszTempFolder = new (std::nothrow) wchar_t[TEMP_FOLDER_CHARS]();
    if (m_pszTempFolder == nullptr)
        return E_OUTOFMEMORY;
    const DWORD cchTemp = GetTempPathW(static_cast<DWORD>(TEMP_FOLDER_CHARS), m_pszTempFolder);

    GUID guid;
    if (FAILED(CoCreateGuid(&guid))) {
        delete[] m_pszTempFolder;
        m_pszTempFolder = nullptr;
        return E_FAIL;
    }
    wchar_t szName[GUID_NAME_CHARS];
    std::swprintf(szName, GUID_NAME_CHARS, L"%08lX%04X%04x%02X%02X%02X%02X%02X%02X%02X%02X",
                  static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    LogTempFolderGuid(szName);

    bool bFits = cchTemp > 0 && cchTemp < TEMP_FOLDER_CHARS;
    if (bFits && !EndsWithBackslash(m_pszTempFolder))
        bFits = SafeStringCat(m_pszTempFolder, TEMP_FOLDER_CHARS, L"\\") == S_OK;
    bFits = bFits && SafeStringCat(m_pszTempFolder, TEMP_FOLDER_CHARS, szName) == S_OK;
    if (!bFits || !CreateDirectoryW(m_pszTempFolder, nullptr)) {
        // Not ours: the teardown must never remove a folder this run did not make.
        delete[] m_pszTempFolder;
        m_pszTempFolder = nullptr;
        return E_FAIL;
    }
    return S_OK;
}

BOOL CIFilterBase::CopyAttributes(ULONG cAttributes, const FULLPROPSPEC *aAttributes)
{
    FreeAttributes();
    if (cAttributes == 0 || aAttributes == nullptr)
        return TRUE;  // nothing to pass on
    FULLPROPSPEC *aCopy = new (std::nothrow) FULLPROPSPEC[cAttributes];
    if (aCopy == nullptr)
        return FALSE;
    m_aAttributes = aCopy;
    for (ULONG i = 0; i < cAttributes; ++i) {
        aCopy[i] = aAttributes[i];
        m_cAttributes = i + 1;
        PROPSPEC &property = aCopy[i].psProperty;
        if (property.ulKind != PRSPEC_LPWSTR || property.lpwstr == nullptr)
            continue;
        const size_t cch = std::wcslen(property.lpwstr) + 1;
        wchar_t *pszName = new (std::nothrow) wchar_t[cch];
        property.lpwstr = pszName;
        if (pszName == nullptr) {
            FreeAttributes();
            return FALSE;
        }
        std::wmemcpy(pszName, aAttributes[i].psProperty.lpwstr, cch);
    }
    return TRUE;
}

void CIFilterBase::FreeAttributes()
{
    if (m_aAttributes != nullptr) {
        for (ULONG i = 0; i < m_cAttributes; ++i) {
            if (m_aAttributes[i].psProperty.ulKind == PRSPEC_LPWSTR)
                delete[] m_aAttributes[i].psProperty.lpwstr;
        }
        delete[] m_aAttributes;
        m_aAttributes = nullptr;
    }
    m_cAttributes = 0;
}

// --- teardown -------------------------------------------------------------------------------

// The child goes before its module is freed and before the crawler deletes its extracted file.
void CIFilterBase::ReleaseChildAndCrawler()
{
    DropChildFilter();
    delete m_pCrawler;
    m_pCrawler = nullptr;
}

void CIFilterBase::ResetRun()
{
    if (m_pszTempFolder != nullptr) {
        if (m_pszTempFolder[0] != L'\0')
            DeleteFolderTree(m_pszTempFolder);
        delete[] m_pszTempFolder;
        m_pszTempFolder = nullptr;
    }
    FreeOwnChunk();
    m_pszRunArchive.reset();
    delete[] m_pszSettingsFile;
    m_pszSettingsFile = nullptr;
    delete[] m_pszLogGuidFile;
    m_pszLogGuidFile = nullptr;
}

void CIFilterBase::DeleteFolderTree(const wchar_t *pszFolder)
{
    if (pszFolder == nullptr || pszFolder[0] == L'\0')
        return;
    std::unique_ptr<FolderLevel> level(new (std::nothrow) FolderLevel);
    if (!level)
        return;
    if (SafeStringCopy(level->pattern, TEMP_FOLDER_CHARS, pszFolder) != S_OK ||
        SafeStringCat(level->pattern, TEMP_FOLDER_CHARS, L"\\*.*") != S_OK)
        return;  // a folder whose pattern does not fit stays

    CFindHandle find(FindFirstFileW(level->pattern, &level->found));
    if (find) {
        do {
            const WIN32_FIND_DATAW &fd = level->found;
            if (IsDotOrDotDot(fd.cFileName))
                continue;
            wchar_t *pszFull = level->fullName;
            if (SafeStringCopy(pszFull, TEMP_FOLDER_CHARS, pszFolder) != S_OK ||
                SafeStringCat(pszFull, TEMP_FOLDER_CHARS, L"\\") != S_OK ||
                SafeStringCat(pszFull, TEMP_FOLDER_CHARS, fd.cFileName) != S_OK)
                continue;  // passed over: its full name does not fit
            if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
                SetFileAttributesW(pszFull, FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(pszFull);
            } else if ((fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
                RemoveDirectoryW(pszFull);  // a link: remove the link, never what it points to
            } else {
                DeleteFolderTree(pszFull);
            }
        } while (FindNextFileW(find.Get(), &level->found));
        find.Close();
    }
    RemoveDirectoryW(pszFolder);
}
