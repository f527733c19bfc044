// The crawler over RAR archives, through the UnRAR library: one archive opened twice, a list
// handle that walks the headers and an extract handle kept in step that extracts entries.
#pragma once
#include "crawler/FileCrawlerBase.h"

#include <objidl.h>

#include <memory>

#include "support/Holders.h"

// Test seam: unit tests (which link the core library) stand in a free-space answer for the
// temporary folder's volume. The product never sets it.
struct DecodeSink;

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

// What the library needs besides any window while an archive handle is open (its archive,
// command and decoder records, header buffers, the stream reader's read-ahead block), charged
// to the run when the handle is opened. Measured with the test host's count of our heap.
constexpr ULONGLONG ARCHIVE_HANDLE_BYTES = 1024 * 1024;
// An open that reads the archive comment as well, while it opens: the comment's decoder (the
// library holds it to 16 MB, a PPMd model included), its bytes and their copies come on top (the
// library reads comments of up to COMMENT_MAX_BYTES).
constexpr ULONGLONG COMMENT_MAX_BYTES = 256 * 1024;
constexpr ULONGLONG COMMENT_DECODER_BYTES = 16 * 1024 * 1024;
constexpr ULONGLONG COMMENT_OPEN_BYTES = ARCHIVE_HANDLE_BYTES + COMMENT_DECODER_BYTES + 4 * COMMENT_MAX_BYTES;

class CRarFileCrawler : public CFileCrawlerBase
{
public:
    CRarFileCrawler(const wchar_t *pszArchive, const wchar_t *pszTempFolder);
    // An archive read from a host's stream (each archive handle reads it at a position of its
    // own); pszName, the stream's name or NULL, is what ArchivePath() answers.
    CRarFileCrawler(IStream *pStream, const wchar_t *pszName, const wchar_t *pszTempFolder);
    ~CRarFileCrawler() override;

    // Without a temporary folder, the first entry to extract asks pfnMake for one (its path, or
    // NULL when none can be made; the crawler keeps a copy).
    using PFN_MAKE_RUN_FOLDER = const wchar_t *(*)(void *pContext);
    void SetRunFolderMaker(PFN_MAKE_RUN_FOLDER pfnMake, void *pContext) noexcept;

    BOOL GetCurrentEntry(wchar_t *pszName, ULONG cchName, wchar_t *pszFolder, ULONG cchFolder,
                         wchar_t *pszExtractedPath, ULONG cchExtractedPath) override;
    BOOL CloseArchive() override;
    BOOL IsEntryIgnored(const wchar_t *pszName, const wchar_t *pszFolder) override;
    HRESULT ReadNextEntry(wchar_t *pszName, ULONG cchName, wchar_t *pszFolder, ULONG cchFolder) override;
    HRESULT ReadComment(char *pBuffer, ULONG cbBuffer) override;
    HRESULT ExtractCurrentEntry(wchar_t *pszDestPath, ULONG cchDestPath) override;
    BOOL DeleteExtractedFile() override;

protected:
    HRESULT ReadCurrentEntryToMemory(ULONGLONG cbBudget, std::vector<BYTE> *pBytes, CBudgetCharge *pCharge) override;

private:
    BOOL OpenArchive(char *pComment, UINT cbComment);
    BOOL ReadExtractHeaderInStep();
    BOOL PassExtractEntry();
    ULONGLONG LargestSolidStream();
    int DecodeExtractEntry(int operation, wchar_t *pszDestPath, DecodeSink *pSink);
    BOOL FitsOnTempVolume(ULONGLONG cbAnnounced);

    struct State;  // the UnRAR handles and records
    std::unique_ptr<State> m_pState;
    PFN_MAKE_RUN_FOLDER m_pfnMakeRunFolder = nullptr;
    void *m_pRunFolderContext = nullptr;
};
