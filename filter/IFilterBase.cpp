// The filter object's life: creation, identity, IPersistFile, Init and teardown. Each Init
// starts a run with its own temporary folder and crawler; the next Init or the last Release
// removes what the run left. The chunk stream is in ChunkStream.cpp, the settings and the
// black list in BlackList.cpp.
#include "filter/IFilterBase.h"
#include "support/Capacities.h"

#include "childfilter/ChildFilterLoader.h"
#include "crawler/RarFileCrawler.h"
#include "support/Guids.h"
#include "support/CallContext.h"
#include "filter/SettingsLock.h"
#include "support/FileUtil.h"
#include "support/Check.h"
#include "support/Holders.h"
#include "support/RunLimits.h"
#include "support/SafeString.h"

#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

namespace {

constexpr size_t TEMP_FOLDER_CHARS = CCH_RUN_PATH;  // the run's folder, and every path below it
constexpr size_t GUID_NAME_CHARS = 37;

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

CIFilterBase::CIFilterBase(LONG *pcModuleObjects) : m_pcModuleObjects(pcModuleObjects)
{
    if (m_pcModuleObjects != nullptr)
        InterlockedIncrement(m_pcModuleObjects);
    m_pFilterLoader.reset(new (std::nothrow) CChildFilterLoader());
    m_pszEntryName.reset(new (std::nothrow) wchar_t[CRAWLER_NAME_CHARS]());
    m_nameChunk.text.reset(new (std::nothrow) wchar_t[NAME_CHUNK_CHARS]);
    m_pszEntryFolder.reset(new (std::nothrow) wchar_t[CRAWLER_NAME_CHARS]());
    m_pszEntryPath.reset(new (std::nothrow) wchar_t[CRAWLER_NAME_CHARS]());
}

// The holders would let everything go by themselves; the order is spelled out here because it
// matters: the black list needs the run's settings, the child goes before the crawler deletes
// its extracted file, and the folder goes last.
CIFilterBase::~CIFilterBase()
{
    {
        CSettingsLock blackListLock(BLACK_LIST_MUTEX);
        LeaveBlackList(blackListLock);
    }
    m_pszFileName.reset();
    ReleaseChildAndCrawler();
    ResetRun();
    FreeAttributes();
    m_pFilterLoader.reset();
    if (m_pcModuleObjects != nullptr)
        InterlockedDecrement(m_pcModuleObjects);
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
    else if (riid == IID_IPersistStream)
        *ppv = static_cast<IPersistStream *>(this);
    else if (riid == IID_IRunReport)
        *ppv = static_cast<IRunReport *>(this);
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
    std::unique_ptr<wchar_t[]> pszCopy = DuplicateString(pszFileName);  // FileExists bounded it to MAX_PATH
    RETURN_IF_NULL_ALLOC(pszCopy);
    // Replaced only now, so that a failed Load keeps the previous path.
    m_pszFileName = std::move(pszCopy);
    m_pStream.Reset();
    m_pszStreamName.reset();
    return S_OK;
}

STDMETHODIMP CIFilterBase::Save(LPCOLESTR, BOOL) { return E_FAIL; }

// --- IPersistStream -------------------------------------------------------------------------

STDMETHODIMP CIFilterBase::Load(IStream *pStm)
{
    if (pStm == nullptr)
        return E_POINTER;
    // The stream's name, when the host gives one, names the archive's title and its settings key.
    std::unique_ptr<wchar_t[]> pszName;
    STATSTG stat = {};
    if (SUCCEEDED(pStm->Stat(&stat, STATFLAG_DEFAULT)) && stat.pwcsName != nullptr) {
        CCoTaskMem name(stat.pwcsName);
        if (stat.pwcsName[0] != L'\0') {
            pszName = DuplicateString(stat.pwcsName);
            RETURN_IF_NULL_ALLOC(pszName);
        }
    }
    m_pStream = pStm;
    m_pszStreamName = std::move(pszName);
    m_pszFileName.reset();
    return S_OK;
}

STDMETHODIMP CIFilterBase::Save(IStream *, BOOL) { return E_NOTIMPL; }

STDMETHODIMP CIFilterBase::GetSizeMax(ULARGE_INTEGER *) { return E_NOTIMPL; }

const wchar_t *CIFilterBase::ArchiveKey() const noexcept
{
    return m_pStream ? m_pszStreamName.get() : m_pszFileName.get();
}

STDMETHODIMP CIFilterBase::SaveCompleted(LPCOLESTR) { return S_OK; }

STDMETHODIMP CIFilterBase::GetCurFile(LPOLESTR *ppszFileName)
{
    if (ppszFileName == nullptr)
        return E_POINTER;
    *ppszFileName = nullptr;
    if (m_pszFileName == nullptr)
        return E_FAIL;
    const size_t cb = (std::wcslen(m_pszFileName.get()) + 1) * sizeof(wchar_t);
    CCoTaskMem copy(CoTaskMemAlloc(cb));
    RETURN_IF_NULL_ALLOC(copy.Get());
    std::memcpy(copy.Get(), m_pszFileName.get(), cb);
    *ppszFileName = static_cast<LPOLESTR>(copy.Detach());
    return S_OK;
}

// --- IFilter::Init --------------------------------------------------------------------------

STDMETHODIMP CIFilterBase::Init(ULONG grfFlags, ULONG cAttributes, const FULLPROPSPEC *aAttributes, ULONG *pFlags)
{
    if (pFlags == nullptr)
        return E_FAIL;
    // Asked before this object counts as filtering: whether it may be one more level.
    const bool bMayNest = MayNestArchive();
    const CCallFrame frame(nullptr, 0, CallKind::Filtering);
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
        m_bCompleted = false;
        m_chunkKind = static_cast<CHUNKSTATE>(0);
        m_bTextOver = false;

        const bool bFromStream = static_cast<bool>(m_pStream);
        if ((!bFromStream && (m_pszFileName == nullptr || !FileExists(m_pszFileName.get()))) ||
            m_pFilterLoader == nullptr)
            return E_FAIL;
        m_pFilterLoader->ForgetLookups();  // each run sees the registrations as they are now
        // Our loader makes no child of our own class this deep; this catches other routes, such
        // as another format's filter that hands its entries to us.
        if (!bMayNest)
            return S_OK;  // nested too deep: no folder, no crawler, an empty stream

        if (ReadSettings(blackListLock) != S_OK)
            return S_OK;  // refused by the black list: no folder, no crawler, an empty stream

        if (FAILED(JoinOrStartRun()))
            return E_FAIL;
        // Child filters are initialised later, when the host may have freed its array.
        m_grfFlags = grfFlags;
        if (FAILED(CopyAttributes(cAttributes, aAttributes)))
            return E_FAIL;
        m_nChunkId = 0;
        CrawlerOptions options;
        options.pBudget = m_pBudget.Get();
        if (bFromStream) {
            // No folder yet: the first entry that needs one makes it, and an archive whose
            // entries need none touches no disk at all.
            options.pfnMakeRunFolder = MakeRunFolderOnDemand;
            options.pRunFolderContext = this;
            m_pCrawler.reset(
                new (std::nothrow) CRarFileCrawler(m_pStream.Get(), m_pszStreamName.get(), nullptr, options));
        } else {
            if (FAILED(MakeRunFolder()))
                return E_FAIL;
            m_pCrawler.reset(new (std::nothrow) CRarFileCrawler(m_pszFileName.get(), m_pszTempFolder.Get(), options));
        }
        return S_OK;
    } catch (...) {
        return E_FAIL;
    }
}

// An archive nested in another joins the run of the archive it is inside (the outer object is in
// its GetChunk on this thread), and spends the share of the host's allowance it was handed; an
// outermost archive starts a run with the limits as set now, for the host this process is.
HRESULT CIFilterBase::JoinOrStartRun()
{
    if (CRunBudget *pOuter = CurrentRunBudget()) {
        m_pBudget = pOuter;
        const HandedDown none = {0, 0};
        const HandedDown *pHandedDown = CurrentHandedDown();
        m_plan.Start(RunLimits{}, SearchHost::None, pHandedDown != nullptr ? pHandedDown : &none);
        return S_OK;
    }
    const SearchHost host = HostOfThisProcess();
    const RunLimits limits = ReadRunLimits(ItemSize(), host);
    m_plan.Start(limits, host, nullptr);
    m_pBudget.Attach(CRunBudget::Create(limits.cbMemory, limits.cbSkipWork));
    RETURN_IF_NULL_ALLOC(m_pBudget.Get());
    return S_OK;
}

// The item's size as the host sees it: the stream's, or the file's; 0 when it cannot be read.
ULONGLONG CIFilterBase::ItemSize() const noexcept
{
    if (m_pStream) {
        STATSTG stat{};
        if (FAILED(m_pStream->Stat(&stat, STATFLAG_NONAME)))
            return 0;
        CoTaskMemFree(stat.pwcsName);  // a host's stream may hand out the name all the same
        return stat.cbSize.QuadPart;
    }
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (m_pszFileName == nullptr || !GetFileAttributesExW(m_pszFileName.get(), GetFileExInfoStandard, &data))
        return 0;
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

STDMETHODIMP CIFilterBase::GetRunReport(RunReport *pReport)
{
    if (pReport == nullptr)
        return E_POINTER;
    if (pReport->cbSize != sizeof(RunReport))
        return E_INVALIDARG;
    *pReport = m_plan.Report();
    return S_OK;
}

// The run's folder: the user's temp folder plus a fresh GUID as 32 hexadecimal digits.
HRESULT CIFilterBase::MakeRunFolder()
{
    std::unique_ptr<wchar_t[]> pszFolder(new (std::nothrow) wchar_t[TEMP_FOLDER_CHARS]());
    RETURN_IF_NULL_ALLOC(pszFolder);
    const DWORD cchTemp = GetTempPathW(static_cast<DWORD>(TEMP_FOLDER_CHARS), pszFolder.get());

    GUID guid;
    RETURN_IF_FAILED(CoCreateGuid(&guid));
    wchar_t szName[GUID_NAME_CHARS];
    std::swprintf(szName, GUID_NAME_CHARS, L"%08lX%04X%04x%02X%02X%02X%02X%02X%02X%02X%02X",
                  static_cast<unsigned long>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    LogTempFolderGuid(szName);

    bool bFits = cchTemp > 0 && cchTemp < TEMP_FOLDER_CHARS;
    if (bFits && !EndsWithBackslash(pszFolder.get()))
        bFits = SafeStringCat(pszFolder.get(), TEMP_FOLDER_CHARS, L"\\") == S_OK;
    bFits = bFits && SafeStringCat(pszFolder.get(), TEMP_FOLDER_CHARS, szName) == S_OK;
    // A folder that was not made here is never held: the teardown must not remove it.
    RETURN_HR_IF(E_FAIL, !bFits || !CreateDirectoryW(pszFolder.get(), nullptr));
    m_pszTempFolder.Attach(std::move(pszFolder));
    return S_OK;
}

// The run folder of an archive read from a stream, made when its first entry needs it; NULL when
// it cannot be made (that entry, and the later ones, then give their names only).
const wchar_t *CIFilterBase::MakeRunFolderOnDemand(void *pThis)
{
    auto *self = static_cast<CIFilterBase *>(pThis);
    if (!self->m_pszTempFolder && FAILED(self->MakeRunFolder()))
        return nullptr;
    return self->m_pszTempFolder.Get();
}

HRESULT CIFilterBase::CopyAttributes(ULONG cAttributes, const FULLPROPSPEC *aAttributes)
{
    FreeAttributes();
    if (cAttributes == 0 || aAttributes == nullptr)
        return S_OK;  // nothing to pass on: a count without its array asks for none
    m_aAttributes.reset(new (std::nothrow) FULLPROPSPEC[cAttributes]);
    m_attributeNames.reset(new (std::nothrow) std::unique_ptr<wchar_t[]>[cAttributes]);
    if (!m_aAttributes || !m_attributeNames) {
        FreeAttributes();
        return E_OUTOFMEMORY;
    }
    for (ULONG i = 0; i < cAttributes; ++i) {
        m_aAttributes[i] = aAttributes[i];
        PROPSPEC &property = m_aAttributes[i].psProperty;
        if (property.ulKind != PRSPEC_LPWSTR || property.lpwstr == nullptr)
            continue;
        m_attributeNames[i] = DuplicateString(property.lpwstr);
        property.lpwstr = m_attributeNames[i].get();
        if (!m_attributeNames[i]) {
            FreeAttributes();
            return E_OUTOFMEMORY;
        }
    }
    m_cAttributes = cAttributes;
    return S_OK;
}

void CIFilterBase::FreeAttributes()
{
    m_aAttributes.reset();
    m_attributeNames.reset();
    m_cAttributes = 0;
}

// --- teardown -------------------------------------------------------------------------------

// The child goes before its module is freed and before the crawler deletes its extracted file.
void CIFilterBase::ReleaseChildAndCrawler()
{
    DropChildFilter();
    m_pCrawler.reset();
}

void CIFilterBase::ResetRun()
{
    m_pBudget.Reset();
    m_plan = CRunPlan();
    m_bTitleMade = false;
    m_pszTempFolder.Remove();
    FreeOwnChunk();
    m_pszRunArchive.reset();
    m_pszSettingsFile.reset();
    m_pszLogGuidFile.reset();
}

void CRunFolder::Remove() noexcept
{
    if (m_pszPath && m_pszPath[0] != L'\0')
        CIFilterBase::DeleteFolderTree(m_pszPath.get());
    m_pszPath.reset();
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
