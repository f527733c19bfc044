// The archive walk the filter object drives: NextEntry moves to the next entry; the filter object
// then decides what becomes of it and asks for its document in memory (ReadEntryToMemory) or in
// a file of the run's temporary folder (ExtractEntry). The crawler reads archives and knows
// nothing of child filters. Used from one thread only.
#pragma once
#include <windows.h>
#include <objidl.h>

#include <memory>
#include <vector>

#include "support/Capacities.h"
#include "support/Holders.h"
#include "support/RunBudget.h"

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
    virtual BOOL CloseArchive();
    virtual BOOL IsEntryIgnored(const wchar_t *pszName, const wchar_t *pszFolder);
    virtual HRESULT ReadNextEntry(wchar_t *pszName, ULONG cchName, wchar_t *pszFolder, ULONG cchFolder);
    virtual HRESULT ExtractCurrentEntry(wchar_t *pszDestPath, ULONG cchDestPath);
    virtual BOOL DeleteExtractedFile();
    // The archive comment, in the ANSI code page as the library gives it, read as the archive is
    // opened (so only before the first entry): S_OK with the comment in pBuffer; S_FALSE when
    // there is none, the run cannot afford reading it, or the archive is open already.
    virtual HRESULT ReadComment(char *pBuffer, ULONG cbBuffer);

    // Moves to the next entry with a name: the previous entry's file is deleted and its document
    // in memory let go. S_OK: pszName (with its extension) and pszFolder hold the entry;
    // FILTER_E_END_OF_CHUNKS: no more entries; E_FAIL: a name did not fit a buffer.
    HRESULT NextEntry(wchar_t *pszName, ULONG cchName, wchar_t *pszFolder, ULONG cchFolder);
    // The current entry's document into memory, at most cbMost bytes and as far as the run's
    // account has room. S_OK: TakeEntryStream hands it out; S_FALSE: not tried (the file route may
    // still take the entry); anything else: tried and failed, or it grew past the size its header
    // announced (the entry is passed).
    HRESULT ReadEntryToMemory(ULONGLONG cbMost);
    // The current entry extracted into the run's temporary folder: S_OK with its path; E_FAIL
    // when it cannot be (no folder or room for it, a link, encrypted, damaged).
    HRESULT ExtractEntry(wchar_t *pszPath, ULONG cchPath);
    // The run's account (shared with the other nesting levels): every open archive handle, window
    // and document in memory is charged to it before it is allocated. Without one nothing is counted.
    void SetRunBudget(CRunBudget *pBudget) noexcept { m_pBudget = pBudget; }

    // After ReadEntryToMemory gave S_OK: the entry's document in memory, as a stream named like
    // the entry (the caller's reference), once; NULL otherwise.
    IStream *TakeEntryStream() noexcept;

    // The archive this crawler walks (its own copy of the path it was made with).
    const wchar_t *ArchivePath() const noexcept { return m_pszArchive.get(); }
    // The host's stream the archive is read from, or NULL for an archive read from its path.
    IStream *ArchiveStream() const noexcept { return m_stream.Get(); }

protected:
    // Decompresses the current entry into *pBytes, at most cbBudget
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
    CComPtr<CRunBudget> m_pBudget;
    std::vector<BYTE> m_entryBytes;  // the current entry's document, until the filter takes it
    CBudgetCharge m_entryCharge;     // what m_entryBytes is charged; goes with them to the stream
    BOOL m_bEntryInMemory = FALSE;
};

constexpr ULONG CRAWLER_NAME_CHARS = CCH_RUN_PATH;
