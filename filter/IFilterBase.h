// The filter object a search host works with: IFilter (the chunk stream over all archive
// entries) and IPersistFile (how the host names the archive), one object, one reference count.
// Threading model "Both": any thread may create and call it, one thread at a time per object.
#pragma once
#include <windows.h>
#include <filter.h>
#include <filterr.h>

#include "childfilter/ChildFilterHolder.h"
#include "filter/ChildFilterRelay.h"
#include "filter/RunPlan.h"
#include "filter/RunReportInterface.h"
#include "support/Capacities.h"
#include "support/Holders.h"
#include "support/RunBudget.h"

#include <memory>

class CRarFileCrawler;
class CChildFilterLoader;
class CSettingsLock;

// An entry's name chunk: its folder, a backslash and its name, each part of at most
// CCH_RUN_PATH - 1 characters, and the NUL.
constexpr size_t NAME_CHUNK_CHARS = 2 * CCH_RUN_PATH;

// Text of one of the filter's own chunks (the title or an entry name).
struct OwnChunk {
    std::unique_ptr<wchar_t[]> text;
    BOOL delivered = FALSE;  // handed out completely
    ULONG position = 0;      // characters already handed out by GetText
};

// A run's temporary folder: removed, with everything in it, when the holder lets it go. Holds
// only a folder the run made itself.
class CRunFolder
{
public:
    CRunFolder() noexcept = default;
    ~CRunFolder() { Remove(); }
    CRunFolder(const CRunFolder &) = delete;
    CRunFolder &operator=(const CRunFolder &) = delete;

    void Attach(std::unique_ptr<wchar_t[]> pszPath) noexcept
    {
        Remove();
        m_pszPath = std::move(pszPath);
    }
    void Remove() noexcept;
    const wchar_t *Get() const noexcept { return m_pszPath.get(); }
    explicit operator bool() const noexcept { return m_pszPath != nullptr; }

private:
    std::unique_ptr<wchar_t[]> m_pszPath;
};

class CIFilterBase final : public IFilter, public IPersistFile, public IPersistStream, public IRunReport
{
public:
    // pcModuleObjects: the module's count of live objects, which this object is part of while
    // it lives (DllCanUnloadNow); NULL for an object made outside the COM module.
    explicit CIFilterBase(LONG *pcModuleObjects = nullptr);

    // IUnknown, shared by the four interfaces.
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IFilter. Init returns S_OK or E_FAIL only. GetChunk ends with FILTER_E_END_OF_CHUNKS;
    // GetText/GetValue answer for the chunk GetChunk handed out last. Strings and PROPVARIANTs
    // handed out are CoTaskMemAlloc memory owned by the host.
    STDMETHODIMP Init(ULONG grfFlags, ULONG cAttributes, const FULLPROPSPEC *aAttributes, ULONG *pFlags) override;
    STDMETHODIMP GetChunk(STAT_CHUNK *pStat) override;
    STDMETHODIMP GetText(ULONG *pcwcBuffer, WCHAR *awcBuffer) override;
    STDMETHODIMP GetValue(PROPVARIANT **ppPropValue) override;
    STDMETHODIMP BindRegion(FILTERREGION origPos, REFIID riid, void **ppunk) override;

    // The object's own virtuals, after BindRegion in the IFilter table.
    virtual HRESULT DoGetChunk(STAT_CHUNK *pStat);
    virtual HRESULT DoGetText(ULONG *pcwcBuffer, WCHAR *awcBuffer);
    virtual HRESULT DoGetValue(PROPVARIANT **ppPropValue);

    // IPersistFile. GetCurFile hands out CoTaskMemAlloc memory that the host frees.
    STDMETHODIMP GetClassID(CLSID *pClassID) override;
    STDMETHODIMP IsDirty() override;
    STDMETHODIMP Load(LPCOLESTR pszFileName, DWORD dwMode) override;
    STDMETHODIMP Save(LPCOLESTR pszFileName, BOOL fRemember) override;
    STDMETHODIMP SaveCompleted(LPCOLESTR pszFileName) override;
    STDMETHODIMP GetCurFile(LPOLESTR *ppszFileName) override;

    // IPersistStream (GetClassID and IsDirty as above): the archive read from the host's stream,
    // for hosts that give no file (Windows Search's filter host has no access to the disk).
    // Load keeps a reference to the stream; the next Init walks the archive from it.
    STDMETHODIMP Load(IStream *pStm) override;
    STDMETHODIMP Save(IStream *pStm, BOOL fClearDirty) override;
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER *pcbSize) override;

    // IRunReport, for our own tools: the run since the last Init.
    STDMETHODIMP GetRunReport(RunReport *pReport) override;

    // Removes a folder and everything below it; failures are silent.
    static void DeleteFolderTree(const wchar_t *pszFolder);

private:
    ~CIFilterBase();

    // --- object life and Init (filter/IFilterBase.cpp)
    void ResetRun();
    void ReleaseChildAndCrawler();
    void FreeAttributes();
    HRESULT CopyAttributes(ULONG cAttributes, const FULLPROPSPEC *aAttributes);
    HRESULT MakeRunFolder();
    HRESULT JoinOrStartRun();
    ULONGLONG ItemSize() const noexcept;
    static const wchar_t *MakeRunFolderOnDemand(void *pThis);
    // The name the run's archive is counted and logged under: the loaded path, or the name the
    // host's stream gives; NULL for a stream without a name.
    const wchar_t *ArchiveKey() const noexcept;

    // --- chunk stream (filter/ChunkStream.cpp)
    HRESULT OpenNextEntry(wchar_t *pszName, wchar_t *pszFolder, wchar_t *pszExtractedPath);
    HRESULT LoadEntryChild(const wchar_t *pszName, wchar_t *pszExtractedPath);
    HRESULT RelayText(ULONG *pcwcBuffer, WCHAR *awcBuffer);
    HRESULT PlanRun();
    void MakeTitle();
    HRESULT GiveTitleChunk(STAT_CHUNK *pStat);
    HRESULT MakeEntryNameChunk(STAT_CHUNK *pStat, const wchar_t *pszName, const wchar_t *pszFolder);
    // S_OK: the title in pszBuffer, text or a value by *pKind; S_FALSE when the archive has no
    // title: no comment, and no name or one that leaves no title (".rar").
    HRESULT GetArchiveTitle(wchar_t *pszBuffer, ULONG cchBuffer, CHUNKSTATE *pKind);
    void DropChildFilter();
    void FreeOwnChunk();

    // --- settings, black list, temp-folder log (filter/BlackList.cpp)
    void ReadSwitches();
    bool ReadSwitchesSteadily();
    HRESULT ReadSettings(CSettingsLock &blackListLock);
    HRESULT EnterBlackList(bool bLocked);
    HRESULT LeaveBlackList(CSettingsLock &blackListLock);
    HRESULT LogTempFolderGuid(const wchar_t *pszName);

    CChildFilterHolder m_pChildFilter;          // child filter of the current entry, with its module
    ULONG m_grfFlags = 0;                       // host's Init arguments, passed on to every child
    ULONG m_cAttributes = 0;
    std::unique_ptr<FULLPROPSPEC[]> m_aAttributes;  // our own deep copy of the host's array
    ULONG m_nChunkId = 0;                       // 0: no chunk handed out since Init
    CRunFolder m_pszTempFolder;                 // this run's temporary folder
    std::unique_ptr<CRarFileCrawler> m_pCrawler;  // walks the archive; NULL before Init and after the end
    OwnChunk *m_pOwnChunk = nullptr;            // the filter's own current chunk: the title or a name
    std::unique_ptr<OwnChunk> m_pTitleChunk;    // the run's title, made with the run's first chunk
    CHUNKSTATE m_titleKind = CHUNK_VALUE;       // the comment is text, a name a value
    bool m_bTitleMade = false;                  // the title was read for this run
    bool m_bNamesRequested = true;              // the host's attribute list asks for entry names
    ULONG m_cChildUnavailable = 0;              // the child's unavailable chunks in a row
    OwnChunk m_nameChunk;                       // every entry's name, in one buffer made with the object
    // The current entry's name, folder and extracted path (CRAWLER_NAME_CHARS each), made with
    // the object and reused for every entry.
    std::unique_ptr<wchar_t[]> m_pszEntryName, m_pszEntryFolder, m_pszEntryPath;
    LONG m_cRef = 1;
    std::unique_ptr<wchar_t[]> m_pszFileName;   // archive path given to Load
    std::unique_ptr<wchar_t[]> m_pszSettingsFile;  // ...\Quorvane\IFilterProcess.ini
    std::unique_ptr<wchar_t[]> m_pszLogGuidFile;   // ...\Quorvane\LogGuid.ini
    bool m_bLogGuid = false;
    bool m_bBlackList = false;
    bool m_bCompleted = false;                  // the stream reached its end
    std::unique_ptr<CChildFilterLoader> m_pFilterLoader;
    CChildFilterRelay m_relay;                  // forwards the stream calls to m_pChildFilter
    CHUNKSTATE m_chunkKind = static_cast<CHUNKSTATE>(0);  // the current chunk's kind; 0: none
    bool m_bTextOver = false;                   // the current chunk's text is all given
    // The archive path this run was counted under in the black list; the run leaves it under the
    // same path, whatever a later Load names.
    std::unique_ptr<wchar_t[]> m_pszRunArchive;
    CComPtr<IStream> m_pStream;                 // the host's stream given to Load, instead of a path
    CComPtr<CRunBudget> m_pBudget;              // this run's account, shared with the levels nested in it
    CRunPlan m_plan;                            // how this run spends what the host keeps of the item
    std::unique_ptr<wchar_t[]> m_pszStreamName; // what the stream's Stat names it, or NULL
    bool m_bChildStreams = true;                // [Debug] ChildStreams: documents to memory for stream filters
    // The names of the attributes in m_aAttributes that are named by a string.
    std::unique_ptr<std::unique_ptr<wchar_t[]>[]> m_attributeNames;
    LONG *m_pcModuleObjects;
};
