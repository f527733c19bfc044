// The archive walk the filter object drives: one entry per MoveToNextEntry, each file entry that
// has a child filter extracted into the run's temporary folder. Used from one thread only.
#pragma once
#include <windows.h>
#include <objidl.h>

#include <memory>
#include <vector>

#include "support/Capacities.h"
#include "support/Holders.h"
#include "support/RunBudget.h"

class CChildFilterLoader;

class CFileCrawlerBase
{
public:
    // Copies both strings; pszTempFolder may be NULL. Nothing is opened yet.
    CFileCrawlerBase(const wchar_t *pszArchive, const wchar_t *pszTempFolder);
    virtual ~CFileCrawlerBase();
    CFileCrawlerBase(const CFileCrawlerBase &) = delete;
    CFileCrawlerBase &operator=(const CFileCrawlerBase &) = delete;

    // Virtual table after the destructor, in this order.
    virtual BOOL GetCurrentEntry(wchar_t *pszName, ULONG cchName, wchar_t *pszFolder, ULONG cchFolder,
                                 wchar_t *pszExtractedPath, ULONG cchExtractedPath);
    virtual BOOL GetEntryComment(wchar_t *pszComment);
    virtual BOOL CloseArchive();
    virtual BOOL IsEntryIgnored(const wchar_t *pszName, const wchar_t *pszFolder);
    virtual BOOL Reserved(void *pReserved);
    virtual HRESULT ReadNextEntry(wchar_t *pszName, ULONG cchName, wchar_t *pszFolder, ULONG cchFolder);
    virtual HRESULT ExtractCurrentEntry(wchar_t *pszDestPath, ULONG cchDestPath);
    virtual BOOL DeleteExtractedFile();

    // S_OK: a new current entry (pszExtractedPath is its temporary file, or empty when no child
    // filter is registered for it); S_FALSE: an entry with a child filter that failed to extract;
    // FILTER_E_END_OF_CHUNKS: no more entries; E_FAIL: a name did not fit a buffer.
    HRESULT MoveToNextEntry(wchar_t *pszName, ULONG cchName, wchar_t *pszFolder, ULONG cchFolder,
                            wchar_t *pszExtractedPath, ULONG cchExtractedPath);

    // Documents whose child filter reads streams go to memory instead of a file, up to cbBudget
    // bytes each and as far as the run's account has room (off until set). A larger one takes the
    // file route; one that grows past the size it announced while it is read gives its name only.
    void SetChildStreams(BOOL bOn, ULONGLONG cbBudget) noexcept
    {
        m_bChildStreams = bOn;
        m_cbMemoryBudget = cbBudget;
    }
    // The run's account (shared with the other nesting levels): every open archive handle, window
    // and document in memory is charged to it before it is allocated. Without one nothing is counted.
    void SetRunBudget(CRunBudget *pBudget) noexcept { m_pBudget = pBudget; }

    // After MoveToNextEntry gave S_OK with an empty extracted path: the entry's document in
    // memory, as a stream named like the entry (the caller's reference), once; NULL otherwise.
    IStream *TakeEntryStream() noexcept;

    // The archive this crawler walks (its own copy of the path it was made with).
    const wchar_t *ArchivePath() const noexcept { return m_pszArchive.get(); }
    // The host's stream the archive is read from, or NULL for an archive read from its path.
    IStream *ArchiveStream() const noexcept { return m_stream.Get(); }

    CChildFilterLoader *m_pFilterLoader = nullptr;  // not owned; set by the filter after construction

protected:
    // Decompresses the current entry (FindFilter found it a filter) into *pBytes, at most cbBudget
    // bytes, charged to *pCharge: S_OK in memory; S_FALSE not tried (the file route may still take
    // it); anything else: tried and failed, or grew past what its header announced (the entry is
    // passed).
    virtual HRESULT ReadCurrentEntryToMemory(ULONGLONG cbBudget, std::vector<BYTE> *pBytes, CBudgetCharge *pCharge);

    // Deletes the current entry's temporary file (DeleteExtractedFile) when there is one; TRUE
    // when it was there and DeleteExtractedFile reported success.
    BOOL DeleteCurrentExtractedFile();
    // Copies the current entry's three strings into the caller's buffers, cutting what does not fit.
    void CopyCurrentEntry(wchar_t *pszName, ULONG cchName, wchar_t *pszFolder, ULONG cchFolder,
                          wchar_t *pszExtractedPath, ULONG cchExtractedPath) const noexcept;

    std::unique_ptr<wchar_t[]> m_pszArchive;
    CComPtr<IStream> m_stream;  // set by a crawler that reads the archive from a host's stream
    std::unique_ptr<wchar_t[]> m_pszTempFolder;     // NULL when none was given
    std::unique_ptr<wchar_t[]> m_pszEntryName;      // CRAWLER_NAME_CHARS characters
    std::unique_ptr<wchar_t[]> m_pszEntryFolder;    // CRAWLER_NAME_CHARS characters
    std::unique_ptr<wchar_t[]> m_pszExtractedPath;  // CRAWLER_NAME_CHARS characters
    BOOL m_bHasEntry = FALSE;
    BOOL m_bChildStreams = FALSE;
    ULONGLONG m_cbMemoryBudget = 0;
    CComPtr<CRunBudget> m_pBudget;
    std::vector<BYTE> m_entryBytes;  // the current entry's document, until the filter takes it
    CBudgetCharge m_entryCharge;     // what m_entryBytes is charged; goes with them to the stream
    BOOL m_bEntryInMemory = FALSE;
};

constexpr ULONG CRAWLER_NAME_CHARS = CCH_RUN_PATH;
