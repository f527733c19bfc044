// The filter object a search host works with: IFilter (the chunk stream over all archive
// entries) and IPersistFile (how the host names the archive), one object, one reference count.
// Threading model "Both": any thread may create and call it, one thread at a time per object.
#pragma once
#include <windows.h>
#include <filter.h>
#include <filterr.h>

#include "filter/ChildFilterRelay.h"

#include <memory>

class CFileCrawlerBase;
class CChildFilterLoader;
class CSettingsLock;

// Text of one of the filter's own chunks (the title or an entry name).
struct OwnChunk {
    wchar_t *text = nullptr;  // owned
    BOOL delivered = FALSE;   // handed out completely
    ULONG position = 0;       // characters already handed out by GetText
};

class CIFilterBase final : public IFilter, public IPersistFile
{
public:
    CIFilterBase();

    // IUnknown, shared by both interfaces.
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
    virtual void InitOptions();
    virtual BOOL GetArchiveCommentA(const char *pszArchive, char *pBuffer, ULONG cbBuffer, CHUNKSTATE *pKind);
    virtual BOOL GetArchiveCommentW(const wchar_t *pszArchive, wchar_t *pBuffer, ULONG cchBuffer, CHUNKSTATE *pKind);

    // IPersistFile. GetCurFile hands out CoTaskMemAlloc memory that the host frees.
    STDMETHODIMP GetClassID(CLSID *pClassID) override;
    STDMETHODIMP IsDirty() override;
    STDMETHODIMP Load(LPCOLESTR pszFileName, DWORD dwMode) override;
    STDMETHODIMP Save(LPCOLESTR pszFileName, BOOL fRemember) override;
    STDMETHODIMP SaveCompleted(LPCOLESTR pszFileName) override;
    STDMETHODIMP GetCurFile(LPOLESTR *ppszFileName) override;

    // Removes a folder and everything below it; failures are silent.
    static void DeleteFolderTree(const wchar_t *pszFolder);

private:
    ~CIFilterBase();

    // --- object life and Init (filter/IFilterBase.cpp)
    void ResetRun();
    void ReleaseChildAndCrawler();
    void FreeAttributes();
    BOOL CopyAttributes(ULONG cAttributes, const FULLPROPSPEC *aAttributes);
    HRESULT MakeRunFolder();

    // --- chunk stream (filter/ChunkStream.cpp)
    HRESULT OpenNextEntry(wchar_t *pszName, wchar_t *pszFolder, wchar_t *pszExtractedPath);
    HRESULT MakeTitleChunk(STAT_CHUNK *pStat);
    HRESULT MakeEntryNameChunk(STAT_CHUNK *pStat, wchar_t *pszName, wchar_t *pszFolder, wchar_t *pszExtractedPath);
    void GetArchiveTitle(wchar_t *pszBuffer, ULONG cchBuffer, CHUNKSTATE *pKind);
    void DropChildFilter();
    void FreeOwnChunk();

    // --- settings, black list, temp-folder log (filter/BlackList.cpp)
    void ReadSwitches();
    BOOL ReadSwitchesSteadily();
    BOOL ReadSettings(CSettingsLock &blackListLock);
    BOOL EnterBlackList(BOOL bLocked);
    BOOL LeaveBlackList(CSettingsLock &blackListLock);
    BOOL LogTempFolderGuid(const wchar_t *pszName);

    IFilter *m_pChildFilter = nullptr;          // child filter of the current entry
    ULONG m_grfFlags = 0;                       // host's Init arguments, passed on to every child
    ULONG m_cAttributes = 0;
    FULLPROPSPEC *m_aAttributes = nullptr;      // our own deep copy of the host's array
    ULONG m_nChunkId = 0;                       // 0: no chunk handed out since Init
    wchar_t *m_pszTempFolder = nullptr;         // this run's temporary folder
    CFileCrawlerBase *m_pCrawler = nullptr;     // walks the archive; NULL before Init and after the end
    OwnChunk *m_pOwnChunk = nullptr;            // the filter's own current chunk
    BOOL m_bEmitEntryNames = FALSE;
    LONG m_cRef = 1;
    wchar_t *m_pszFileName = nullptr;           // archive path given to Load
    wchar_t *m_pszSettingsFile = nullptr;       // ...\Quorvane\IFilterProcess.ini
    wchar_t *m_pszLogGuidFile = nullptr;        // ...\Quorvane\LogGuid.ini
    BOOL m_bWideArchivePath = FALSE;
    BOOL m_bLogGuid = FALSE;
    BOOL m_bBlackList = FALSE;
    BOOL m_bCompleted = FALSE;                  // the stream reached its end
    CChildFilterLoader *m_pFilterLoader = nullptr;
    HMODULE m_hChildModule = nullptr;           // the current child's DLL, freed with CoFreeLibrary
    CChildFilterRelay m_relay;
    LONG m_nChunkKind = 0;                      // flags of the last chunk, or FILTER_E_NO_MORE_TEXT
    // The archive path this run was counted under in the black list; the run leaves it under the
    // same path, whatever a later Load names.
    std::unique_ptr<wchar_t[]> m_pszRunArchive;
};
