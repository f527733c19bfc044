#include "crawler/RarFileCrawler.h"
#include "support/Capacities.h"
#include "crawler/ArchiveStream.h"
#include "crawler/EntryName.h"
#include "support/FileUtil.h"
#include "support/SafeString.h"

#include <windows.h>
#include "dll.hpp"

#include <cwchar>
#include <new>

namespace {

constexpr unsigned int COMMENT_BYTES = CB_ARCHIVE_COMMENT;
constexpr unsigned int RAR_HOST_UNIX = 3;  // HostOS of archives made on Unix: FileAttr holds a mode
constexpr ULONG MAX_SKIPPED_HEADERS = 0x1000000;
constexpr size_t MAX_TEMP_PATH = 255;      // longest temporary file path we create

// One archive handle of the library and what was last read on it. UnRAR reads some fields of
// both records as the caller's input (comment and link-target buffers, callbacks), so they are
// zeroed here and never hold anything but what we put there.
struct ArchiveHandle {
    HANDLE hArchive = nullptr;
    std::unique_ptr<CArchiveStreamReader> reader;  // the handle's own position in a host's stream
    RAROpenArchiveDataEx open{};
    RARHeaderDataEx header{};
    bool bPending = false;  // a header was read and not yet passed with RARProcessFileW

    // Opens the archive in the given mode, by its path or, when pStream is given, from the host's
    // stream; FALSE when the library refuses it.
    BOOL Open(wchar_t *pszArchive, IStream *pStream, unsigned int mode, char *pComment, unsigned int cbComment) noexcept
    {
        ZeroMemory(&open, sizeof(open));
        open.ArcNameW = pszArchive;
        open.OpenMode = mode;
        open.CmtBuf = pComment;
        open.CmtBufSize = cbComment;
        bPending = false;
        if (pStream != nullptr) {
            reader.reset(new (std::nothrow) CArchiveStreamReader(pStream));
            hArchive = reader ? RAROpenArchiveStream(&open, reader->Callbacks()) : nullptr;
        } else {
            hArchive = RAROpenArchiveEx(&open);
        }
        return hArchive != nullptr && open.OpenResult == ERAR_SUCCESS;
    }

    ArchiveHandle() noexcept = default;
    ~ArchiveHandle() { Close(); }
    ArchiveHandle(const ArchiveHandle &) = delete;
    ArchiveHandle &operator=(const ArchiveHandle &) = delete;

    void Close() noexcept
    {
        if (hArchive != nullptr)
            RARCloseArchive(hArchive);
        hArchive = nullptr;
        reader.reset();
        bPending = false;
    }

    // Passes the entry last read, so that the next header can be read.
    int Skip() noexcept { return Process(RAR_SKIP, nullptr); }

    int Process(int operation, wchar_t *pszDestName) noexcept
    {
        bPending = false;
        return RARProcessFileW(hArchive, operation, nullptr, pszDestName);
    }

    // Reads the next header; a pending entry is passed first. Link targets are never asked for:
    // link entries are named, not made.
    int ReadHeader() noexcept
    {
        if (bPending)
            Skip();
        header.RedirName = nullptr;
        header.RedirNameSize = 0;
        const int result = RARReadHeaderEx(hArchive, &header);
        bPending = result == ERAR_SUCCESS;
        return result;
    }
};

// Deletes a file we extracted. Attributes restored from the archive, read-only for one, are
// cleared only when the deletion is refused: most files go in one call.
void DeleteTemporaryFile(const wchar_t *pszPath) noexcept
{
    if (DeleteFileW(pszPath))
        return;
    SetFileAttributesW(pszPath, FILE_ATTRIBUTE_NORMAL);
    DeleteFileW(pszPath);
}

bool IsDirectoryEntry(const RARHeaderDataEx &header) noexcept
{
    // Archives made on Unix keep a file mode in FileAttr, where 0x10 is the group's write bit.
    if ((header.Flags & RHDF_DIRECTORY) != 0)
        return true;
    return header.HostOS != RAR_HOST_UNIX && (header.FileAttr & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

} // namespace

CrawlerTestHooks g_crawlerTestHooks;

struct CRarFileCrawler::State {
    ArchiveHandle list;
    ArchiveHandle extract;
    char comment[COMMENT_BYTES]{};
    bool bFreeSpaceRead = false;  // a reading of the temporary volume's free space is current
    ULONGLONG cbFree = 0;         // that reading
    ULONGLONG cbSinceRead = 0;    // announced by the entries passed since
};

CRarFileCrawler::CRarFileCrawler(const wchar_t *pszArchive, const wchar_t *pszTempFolder)
    : CFileCrawlerBase(pszArchive, pszTempFolder), m_pState(new (std::nothrow) State)
{
}

CRarFileCrawler::CRarFileCrawler(IStream *pStream, const wchar_t *pszName, const wchar_t *pszTempFolder)
    : CFileCrawlerBase(pszName, pszTempFolder), m_pState(new (std::nothrow) State)
{
    m_stream = pStream;
}

void CRarFileCrawler::SetRunFolderMaker(PFN_MAKE_RUN_FOLDER pfnMake, void *pContext) noexcept
{
    m_pfnMakeRunFolder = pfnMake;
    m_pRunFolderContext = pContext;
}

CRarFileCrawler::~CRarFileCrawler()
{
    // The archive is closed before its last extracted file goes.
    CloseArchive();
    DeleteCurrentExtractedFile();
}

BOOL CRarFileCrawler::GetCurrentEntry(wchar_t *pszName, ULONG cchName, wchar_t *pszFolder, ULONG cchFolder,
                                      wchar_t *pszExtractedPath, ULONG cchExtractedPath)
{
    CopyCurrentEntry(pszName, cchName, pszFolder, cchFolder, pszExtractedPath, cchExtractedPath);
    return TRUE;
}

BOOL CRarFileCrawler::GetEntryComment(wchar_t *) { return TRUE; }

BOOL CRarFileCrawler::CloseArchive()
{
    if (m_pState != nullptr) {
        m_pState->list.Close();
        m_pState->extract.Close();
    }
    return TRUE;
}

BOOL CRarFileCrawler::IsEntryIgnored(const wchar_t *pszName, const wchar_t *)
{
    return pszName == nullptr || pszName[0] == L'\0';
}

HRESULT CRarFileCrawler::ReadNextEntry(wchar_t *pszName, ULONG cchName, wchar_t *pszFolder, ULONG cchFolder)
{
    if (m_pState == nullptr || (m_pszArchive == nullptr && !m_stream))
        return E_FAIL;
    ArchiveHandle &list = m_pState->list;
    ArchiveHandle &extract = m_pState->extract;

    if (list.hArchive == nullptr) {
        if (!list.Open(m_pszArchive.get(), m_stream.Get(), RAR_OM_LIST, m_pState->comment, COMMENT_BYTES) ||
            !extract.Open(m_pszArchive.get(), m_stream.Get(), RAR_OM_EXTRACT, nullptr, 0)) {
            CloseArchive();
            return E_FAIL;
        }
    }

    for (ULONG skipped = 0;; ++skipped) {
        if (skipped == MAX_SKIPPED_HEADERS) {
            CloseArchive();
            return S_FALSE;
        }
        list.header.CmtBuf = m_pState->comment;
        list.header.CmtBufSize = COMMENT_BYTES;
        if (list.ReadHeader() != ERAR_SUCCESS) {
            CloseArchive();
            return S_FALSE;
        }
        if (extract.hArchive != nullptr && !ReadExtractHeaderInStep())
            extract.Close();
        if (!IsDirectoryEntry(list.header))
            break;
    }

    wchar_t *pszPath = list.header.FileNameW;
    pszPath[ARRAYSIZE(list.header.FileNameW) - 1] = L'\0';
    for (wchar_t *p = pszPath; *p != L'\0'; ++p)
        if (*p == L'/')
            *p = L'\\';

    wchar_t szFolder[ENTRY_PART_CHARS], szBase[ENTRY_PART_CHARS], szExt[ENTRY_PART_CHARS];
    SplitEntryPath(pszPath, szFolder, szBase, szExt);
    if (pszName == nullptr || pszFolder == nullptr || SafeStringCopy(pszFolder, cchFolder, szFolder) != S_OK ||
        SafeStringCopy(pszName, cchName, szBase) != S_OK || SafeStringCat(pszName, cchName, szExt) != S_OK)
        return E_FAIL;
    return S_OK;
}

// Reads the extract handle's next header for the entry the list handle has just read. The list
// handle passes over the later parts of a file split across volumes; so does this one. Any
// other difference means the handles are out of step, and nothing more may be extracted.
BOOL CRarFileCrawler::ReadExtractHeaderInStep()
{
    ArchiveHandle &extract = m_pState->extract;
    const RARHeaderDataEx &listHeader = m_pState->list.header;
    for (ULONG parts = 0; parts < MAX_SKIPPED_HEADERS; ++parts) {
        if (extract.ReadHeader() != ERAR_SUCCESS)
            return FALSE;
        if ((extract.header.Flags & RHDF_SPLITBEFORE) == 0 || (listHeader.Flags & RHDF_SPLITBEFORE) != 0)
            return std::wcsncmp(extract.header.FileNameW, listHeader.FileNameW, ARRAYSIZE(listHeader.FileNameW)) == 0;
    }
    return FALSE;
}

HRESULT CRarFileCrawler::ExtractCurrentEntry(wchar_t *pszDestPath, ULONG cchDestPath)
{
    if (m_pState == nullptr || m_pState->list.hArchive == nullptr)
        return E_FAIL;
    ArchiveHandle &extract = m_pState->extract;
    if (m_pState->list.Skip() != ERAR_SUCCESS || extract.hArchive == nullptr || !extract.bPending)
        return E_FAIL;
    // Links, junctions and file copies would reach outside the folder or need another entry.
    if (extract.header.RedirType != 0 || m_pState->list.header.RedirType != 0)
        return E_FAIL;
    // No password is ever given, so an encrypted entry cannot be extracted; a failed attempt
    // would leave the extract handle inside the entry's data and lose every entry after it. Left
    // pending, the entry is passed with RAR_SKIP before the next header is read.
    if ((extract.header.Flags & RHDF_ENCRYPTED) != 0)
        return E_FAIL;
    // An archive read from a host's stream gets its run folder only when an entry needs one.
    // Asked once: a folder that cannot be made now is not tried again for every entry.
    if (m_pszTempFolder == nullptr && m_pfnMakeRunFolder != nullptr) {
        m_pszTempFolder = DuplicateString(m_pfnMakeRunFolder(m_pRunFolderContext));
        m_pfnMakeRunFolder = nullptr;
    }
    const ULONGLONG cbAnnounced = (static_cast<ULONGLONG>(extract.header.UnpSizeHigh) << 32) | extract.header.UnpSize;
    if (!FitsOnTempVolume(cbAnnounced))
        return E_FAIL;
    if (pszDestPath == nullptr || m_pszTempFolder == nullptr || m_pszEntryName == nullptr)
        return E_FAIL;

    // The stored name may hold what Windows cannot create; the name chunk keeps the stored one.
    // A name is a base name and an extension of up to 255 characters each.
    wchar_t szSafe[2 * ENTRY_PART_CHARS];
    wchar_t szFolder[ENTRY_PART_CHARS], szBase[ENTRY_PART_CHARS], szExt[ENTRY_PART_CHARS];
    if (!MakeSafeFileName(m_pszEntryName.get(), szSafe, ARRAYSIZE(szSafe)))
        return E_FAIL;
    SplitEntryPath(szSafe, szFolder, szBase, szExt);

    if (SafeStringCopy(pszDestPath, cchDestPath, m_pszTempFolder.get()) != S_OK)
        return E_FAIL;
    const size_t cchFolder = std::wcslen(pszDestPath);
    if ((cchFolder == 0 || pszDestPath[cchFolder - 1] != L'\\') &&
        SafeStringCat(pszDestPath, cchDestPath, L"\\") != S_OK)
        return E_FAIL;
    const size_t cchPrefix = std::wcslen(pszDestPath) + std::wcslen(szExt);
    if (cchPrefix >= MAX_TEMP_PATH)
        return E_FAIL;  // no room left for any of the base name
    // The base name is cut so that the path stays short enough to create; the extension stays.
    const size_t cchBaseRoom = MAX_TEMP_PATH - cchPrefix;
    if (std::wcslen(szBase) > cchBaseRoom)
        szBase[cchBaseRoom] = L'\0';
    if (SafeStringCat(pszDestPath, cchDestPath, szBase) != S_OK ||
        SafeStringCat(pszDestPath, cchDestPath, szExt) != S_OK)
        return E_FAIL;

    if (extract.Process(RAR_EXTRACT, pszDestPath) != ERAR_SUCCESS) {
        // Whatever a failed extraction left (a part of a file) goes at once.
        if (IsExistingFile(pszDestPath))
            DeleteTemporaryFile(pszDestPath);
        return E_FAIL;
    }
    return S_OK;
}

namespace {

// Collects an entry's data as UnRAR tests it, up to a budget; past the budget the rest is only
// counted, so that a header that understates the size cannot make us hold more than that.
struct MemoryCollector {
    std::vector<BYTE> *pBytes;
    ULONGLONG cbBudget;
    bool bTooLarge = false;
};

int CALLBACK CollectEntryData(UINT msg, LPARAM userData, LPARAM p1, LPARAM p2)
{
    auto *collector = reinterpret_cast<MemoryCollector *>(userData);
    switch (msg) {
    case UCM_PROCESSDATA: {
        if (collector->bTooLarge || p2 <= 0)
            return 1;
        const auto cb = static_cast<ULONGLONG>(p2);
        if (collector->pBytes->size() + cb > collector->cbBudget) {
            collector->bTooLarge = true;
            std::vector<BYTE>().swap(*collector->pBytes);
            return 1;  // the rest is decompressed and dropped, so the handle stays in step
        }
        const BYTE *pData = reinterpret_cast<const BYTE *>(p1);
        try {
            collector->pBytes->insert(collector->pBytes->end(), pData, pData + cb);
        } catch (...) {
            collector->bTooLarge = true;
            std::vector<BYTE>().swap(*collector->pBytes);
        }
        return 1;
    }
    case UCM_CHANGEVOLUME:
    case UCM_CHANGEVOLUMEW:
        return p2 == RAR_VOL_ASK ? -1 : 1;  // a volume that is there is read; none is searched for
    default:
        return -1;  // no password is ever given
    }
}

} // namespace

// The memory route: the entry tested (RAR_TEST) on the extract handle, its data collected by the
// callback, which is set for this call only. The list handle is passed only once the route is
// taken, so that S_FALSE leaves the entry to ExtractCurrentEntry as it was.
HRESULT CRarFileCrawler::ReadCurrentEntryToMemory(ULONGLONG cbBudget, std::vector<BYTE> *pBytes)
{
    if (m_pState == nullptr || pBytes == nullptr || m_pState->list.hArchive == nullptr)
        return S_FALSE;
    ArchiveHandle &extract = m_pState->extract;
    if (extract.hArchive == nullptr || !extract.bPending || extract.header.RedirType != 0 ||
        m_pState->list.header.RedirType != 0 || (extract.header.Flags & RHDF_ENCRYPTED) != 0)
        return S_FALSE;  // refused on the file route, as there
    const ULONGLONG cbAnnounced = (static_cast<ULONGLONG>(extract.header.UnpSizeHigh) << 32) | extract.header.UnpSize;
    if (cbAnnounced > cbBudget)
        return S_FALSE;
    try {
        pBytes->clear();
        pBytes->reserve(static_cast<size_t>(cbAnnounced));
    } catch (...) {
        return S_FALSE;
    }
    if (m_pState->list.Skip() != ERAR_SUCCESS)
        return E_FAIL;
    MemoryCollector collector{pBytes, cbBudget};
    RARSetCallback(extract.hArchive, CollectEntryData, reinterpret_cast<LPARAM>(&collector));
    const int result = extract.Process(RAR_TEST, nullptr);
    RARSetCallback(extract.hArchive, nullptr, 0);
    if (result != ERAR_SUCCESS || collector.bTooLarge) {
        std::vector<BYTE>().swap(*pBytes);
        return E_FAIL;
    }
    return S_OK;
}

// Would an entry of the announced unpacked size leave the reserve free on the temporary folder's
// volume? The reserve is there because that volume is usually the system volume: the page file,
// the host's own index and every other program need it, several host threads may each pass this
// check before any of them writes, and UnRAR may write a little beyond the announced size.
// How far beyond: stored data stops at the announced size exactly (CmdExtract::UnstoreFile);
// packed data is cut to it (Unpack::UnpWriteData) except for filtered blocks, and the decoders
// stop once it is passed, at most one write block (4 MB) later. So the announced size, checked
// here, bounds what an entry writes, whatever its data holds; an unknown size is announced as
// the largest one and never fits. A volume whose free space cannot be read is taken as full.
// The volume is asked again once the entries passed since the last reading announce
// FREE_SPACE_RECHECK_BYTES in all: asking costs about as much as extracting a small entry, and
// the reserve is far larger than what a reading may have missed of our own use.
BOOL CRarFileCrawler::FitsOnTempVolume(ULONGLONG cbAnnounced)
{
    const auto pfnFreeSpace = g_crawlerTestHooks.pfnGetDiskFreeSpaceExW != nullptr
                                  ? g_crawlerTestHooks.pfnGetDiskFreeSpaceExW
                                  : GetDiskFreeSpaceExW;
    State &state = *m_pState;
    if (!state.bFreeSpaceRead || cbAnnounced >= FREE_SPACE_RECHECK_BYTES ||
        state.cbSinceRead >= FREE_SPACE_RECHECK_BYTES - cbAnnounced) {
        ULARGE_INTEGER freeToCaller;
        state.bFreeSpaceRead =
            m_pszTempFolder != nullptr && pfnFreeSpace(m_pszTempFolder.get(), &freeToCaller, nullptr, nullptr);
        if (!state.bFreeSpaceRead)
            return FALSE;
        state.cbFree = freeToCaller.QuadPart;
        state.cbSinceRead = 0;
    }
    if (state.cbFree <= EXTRACT_FREE_SPACE_RESERVE || cbAnnounced > state.cbFree - EXTRACT_FREE_SPACE_RESERVE)
        return FALSE;
    state.cbSinceRead += cbAnnounced;
    return TRUE;
}

BOOL CRarFileCrawler::DeleteExtractedFile()
{
    if (m_pszExtractedPath != nullptr)
        DeleteTemporaryFile(m_pszExtractedPath.get());
    return TRUE;
}
