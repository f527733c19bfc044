// The archive walk the filter object drives, over RAR archives through the UnRAR library:
// NextEntry moves to the next entry; the filter object then decides what becomes of it and asks
// for its document in memory (ReadEntryToMemory) or in a file of the run's temporary folder
// (ExtractEntry). The crawler reads archives and knows nothing of child filters.
// One archive is opened twice. A list handle reads every header once (ReadItems, the header
// pass) into a table of the entries the walk names (crawler/ItemTable.h), which both the filter
// object's plan and the walk read; an extract handle moves only to an entry whose data is asked
// for, straight to its header where nothing before it needs decoding. Every loop over what the
// archive declares stops at the deadline of the host's call on this thread
// (support/CallContext.h), and the pass and the walk go on in the next call. Used from one thread
// only.
#pragma once
#include <windows.h>
#include <objidl.h>

#include <memory>
#include "support/ByteBuffer.h"

#include "crawler/ItemTable.h"
#include "crawler/WindowDocument.h"
#include "support/Capacities.h"
#include "support/Holders.h"
#include "support/MemoryStream.h"
#include "support/RunBudget.h"

constexpr ULONG CRAWLER_NAME_CHARS = CCH_RUN_PATH;

// Test seam: unit tests (which link the core library) stand in a free-space answer for the
// temporary folder's volume. The product never sets it.
struct DecodeSink;
struct ArchiveHandle;

struct CrawlerTestHooks {
    BOOL(WINAPI *pfnGetDiskFreeSpaceExW)(LPCWSTR pszFolder, PULARGE_INTEGER pFreeToCaller, PULARGE_INTEGER pTotal,
                                         PULARGE_INTEGER pFree) = nullptr;
};
extern CrawlerTestHooks g_crawlerTestHooks;

// Free space an extraction leaves on the temporary folder's volume: an entry whose announced
// size would eat into it is not extracted (see RarFileCrawler.cpp).
constexpr ULONGLONG EXTRACT_FREE_SPACE_RESERVE = 256ull * 1024 * 1024;
// The free space read for one entry answers for the following ones until the entries passed
// since that reading announce this much in all (each is deleted before the next is extracted).
constexpr ULONGLONG FREE_SPACE_RECHECK_BYTES = 64ull * 1024 * 1024;

// What a crawler is made with besides its archive and folder.
struct CrawlerOptions {
    // The run's account (shared with the other nesting levels): every open archive handle, what
    // the decoder allocates and every document in memory is charged to it before it is
    // allocated. NULL: nothing is counted.
    CRunBudget *pBudget = nullptr;
    // Without a temporary folder, the first entry to extract asks pfnMakeRunFolder for one (its
    // path, or NULL when none can be made; the crawler keeps a copy).
    const wchar_t *(*pfnMakeRunFolder)(void *pContext) = nullptr;
    void *pRunFolderContext = nullptr;
};

class CRarFileCrawler
{
public:
    // Copies the strings; pszTempFolder may be NULL. Nothing is opened yet.
    CRarFileCrawler(const wchar_t *pszArchive, const wchar_t *pszTempFolder, const CrawlerOptions &options = {});
    // An archive read from a host's stream (each archive handle reads it at a position of its
    // own); pszName, the stream's name or NULL, is what ArchivePath() answers.
    CRarFileCrawler(IStream *pStream, const wchar_t *pszName, const wchar_t *pszTempFolder,
                    const CrawlerOptions &options = {});
    ~CRarFileCrawler();
    CRarFileCrawler(const CRarFileCrawler &) = delete;
    CRarFileCrawler &operator=(const CRarFileCrawler &) = delete;

    // Moves to the next entry with a name: the previous entry's file is deleted and its document
    // in memory let go. S_OK: pszName (with its extension) and pszFolder hold the entry (one whose
    // name does not fit them is passed); FILTER_E_END_OF_CHUNKS: no more entries; E_PENDING: the
    // call's deadline came before the next entry was read (the next call goes on from there).
    HRESULT NextEntry(wchar_t *pszName, ULONG cchName, wchar_t *pszFolder, ULONG cchFolder);
    // The current entry's document into memory, as far as the run's account has room: the
    // entry's window is made first, and the document is read from it where the whole entry lies
    // there, else copied beside it. S_OK: TakeEntryStream hands it out; S_FALSE: not tried, or
    // the copy it needed did not fit (the file route may still take the entry, with the same
    // window); anything else: tried and failed, no window could be had, or it grew past the size
    // its header announced (the entry is passed).
    HRESULT ReadEntryToMemory();
    // The current entry extracted into the run's temporary folder: S_OK with its path; E_FAIL
    // when it cannot be (no folder or room for it, a link, encrypted, damaged).
    HRESULT ExtractEntry(wchar_t *pszPath, ULONG cchPath);
    // After ReadEntryToMemory gave S_OK: the entry's document in memory, as a stream named like
    // the entry (the caller's reference), once; NULL otherwise. A document read from the window
    // is withdrawn when the walk moves on: its stream then answers STG_E_REVERTED.
    IStream *TakeEntryStream() noexcept;
    // S_OK: the current entry's strings, cut to the buffers; E_FAIL: there is no current entry.
    HRESULT GetCurrentEntry(wchar_t *pszName, ULONG cchName, wchar_t *pszFolder, ULONG cchFolder,
                            wchar_t *pszExtractedPath, ULONG cchExtractedPath) const noexcept;
    // The archive comment, in the ANSI code page as the library gives it, read as the archive is
    // opened (so only before the first entry): S_OK with the comment in pBuffer; S_FALSE when
    // there is none, the run cannot afford reading it, or the archive is open already.
    HRESULT ReadComment(char *pBuffer, ULONG cbBuffer);

    // The header pass: reads the archive's headers into the table and shows every entry the walk
    // will name to pfnSeen (may be NULL), in order, as far as the call's deadline lets it: its path
    // as the name chunk shows it, whose first cchFolder characters are the folder (with its last
    // backslash) and the rest the name; valid for the call only. S_OK: every header is read;
    // S_FALSE: the deadline came first, and the next call (of this or of NextEntry) goes on where
    // it stopped; a failure when the archive cannot be listed. The first
    // call's pfnSeen serves the whole pass. Without this call, NextEntry makes the pass itself.
    using PFN_ENTRY_SEEN = void (*)(void *pContext, const wchar_t *pszPath, size_t cchFolder, ULONGLONG cbUnpacked);
    HRESULT ReadItems(PFN_ENTRY_SEEN pfnSeen, void *pContext);
    // The archive this crawler walks (its own copy of the path it was made with).
    const wchar_t *ArchivePath() const noexcept { return m_pszArchive.get(); }
    // The host's stream the archive is read from, or NULL for an archive read from its path.
    IStream *ArchiveStream() const noexcept { return m_stream.Get(); }

private:
    HRESULT ContinuePass();
    HRESULT ReadMoreItems();
    bool IsNamedEntry(const ArchiveHandle &list) const noexcept;
    bool AddToTable(const ArchiveHandle &list) noexcept;
    HRESULT ReachCurrentEntry();
    bool IsAtCurrentEntry() noexcept;
    bool IsEntryIgnored(const wchar_t *pszName) const noexcept;
    HRESULT ExtractCurrentEntry(wchar_t *pszDestPath, ULONG cchDestPath);
    bool HasRunFolder() noexcept;
    HRESULT ReadCurrentEntryToMemory(CByteBuffer *pBytes, CBudgetCharge *pCharge);
    void LetEntryDocumentGo() noexcept;
    // Deletes the current entry's temporary file: S_OK when there was one, S_FALSE when none.
    HRESULT DeleteCurrentExtractedFile();
    void CloseArchive();
    HRESULT OpenArchive(char *pComment, UINT cbComment);
    HRESULT PassExtractEntry();
    int DecodeExtractEntry(int operation, wchar_t *pszDestPath, DecodeSink *pSink);
    void SetSolidStreamSize() noexcept;
    bool FitsOnTempVolume(ULONGLONG cbAnnounced);

    std::unique_ptr<wchar_t[]> m_pszArchive;
    CComPtr<IStream> m_stream;                      // the host's stream, or NULL for a path
    std::unique_ptr<wchar_t[]> m_pszTempFolder;     // NULL when none was given (yet)
    std::unique_ptr<wchar_t[]> m_pszEntryName;      // CRAWLER_NAME_CHARS characters
    std::unique_ptr<wchar_t[]> m_pszEntryFolder;    // CRAWLER_NAME_CHARS characters
    std::unique_ptr<wchar_t[]> m_pszExtractedPath;  // CRAWLER_NAME_CHARS characters
    bool m_bHasEntry = false;
    CComPtr<CRunBudget> m_pBudget;   // the run's account (CrawlerOptions), or NULL
    CByteBuffer m_entryBytes;        // the current entry's document, until the filter takes it
    CBudgetCharge m_entryCharge;     // what m_entryBytes is charged; goes with them to the stream
    CWindowDocument m_windowDocument;  // else the document, in the extract handle's window
    bool m_bInWindow = false;
    CDocumentLoan m_windowLoan;      // the stream lent over it
    bool m_bEntryInMemory = false;
    ArchiveItem m_entry{};             // the current entry's item
    PFN_ENTRY_SEEN m_pfnSeen = nullptr;  // who is shown the pass's entries
    void *m_pSeenContext = nullptr;
    struct State;  // the UnRAR handles and records
    std::unique_ptr<State> m_pState;
    const wchar_t *(*m_pfnMakeRunFolder)(void *pContext);
    void *m_pRunFolderContext;
};
