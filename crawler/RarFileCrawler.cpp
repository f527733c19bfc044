#include "crawler/RarFileCrawler.h"
#include "support/Capacities.h"
#include "crawler/ArchiveStream.h"
#include "crawler/EntryName.h"
#include "support/FileUtil.h"
#include "support/SafeString.h"

#include <windows.h>
#include "dll.hpp"

#include <algorithm>
#include <cwchar>
#include <new>

namespace {

constexpr unsigned int RAR_HOST_UNIX = 3;  // HostOS of archives made on Unix: FileAttr holds a mode
constexpr ULONG MAX_SKIPPED_HEADERS = 0x1000000;
constexpr size_t MAX_TEMP_PATH = 255;      // longest temporary file path we create

ULONGLONG UnpackedSize(const RARHeaderDataEx &header) noexcept
{
    return (static_cast<ULONGLONG>(header.UnpSizeHigh) << 32) | header.UnpSize;
}

bool IsDirectoryEntry(const RARHeaderDataEx &header) noexcept
{
    // Archives made on Unix keep a file mode in FileAttr, where 0x10 is the group's write bit.
    if ((header.Flags & RHDF_DIRECTORY) != 0)
        return true;
    return header.HostOS != RAR_HOST_UNIX && (header.FileAttr & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// The library's decoder asks before it allocates its window, a PPMd model or a filter buffer,
// and says what it frees: both go to the handle's charge against the run's account. A refusal
// costs that entry only (ERAR_NO_MEMORY, or ERAR_BAD_DATA for a PPMd model).
int PASCAL ChargeDecoderMemory(LPARAM userData, long long delta)
{
    auto *pCharge = reinterpret_cast<CBudgetCharge *>(userData);
    if (delta >= 0)
        return pCharge->TryResize(pCharge->Size() + static_cast<ULONGLONG>(delta)) ? 1 : 0;
    const auto cbFreed = static_cast<ULONGLONG>(-delta);
    pCharge->TryResize(cbFreed < pCharge->Size() ? pCharge->Size() - cbFreed : 0);
    return 1;
}

// One archive handle of the library and what was last read on it. UnRAR reads some fields of
// both records as the caller's input (comment and link-target buffers, callbacks), so they are
// zeroed here and never hold anything but what we put there.
struct ArchiveHandle {
    HANDLE hArchive = nullptr;
    std::unique_ptr<CArchiveStreamReader> reader;  // the handle's own position in a host's stream
    RAROpenArchiveDataEx open{};
    RARHeaderDataEx header{};
    bool bPending = false;  // a header was read and not yet passed with RARProcessFileW
    CBudgetCharge opened;   // ARCHIVE_HANDLE_BYTES while the handle is open
    CBudgetCharge decoder;  // what the handle's decoder holds, as it asks: window, PPMd model, filters

    // Opens the archive in the given mode, by its path or, when pStream is given, from the host's
    // stream; FALSE when the run's account has no room for it or the library refuses it. With
    // pComment, the archive comment is read into it as the archive opens, when the account has
    // room for the comment's decoder too (else the archive opens without it).
    BOOL Open(wchar_t *pszArchive, IStream *pStream, unsigned int mode, CRunBudget *pBudget, char *pComment = nullptr,
              UINT cbComment = 0) noexcept
    {
        Close();
        opened = CBudgetCharge(pBudget);
        decoder = CBudgetCharge(pBudget);
        if (pComment == nullptr || !opened.TryResize(COMMENT_OPEN_BYTES)) {
            pComment = nullptr;
            if (!opened.TryResize(ARCHIVE_HANDLE_BYTES))
                return FALSE;
        }
        ZeroMemory(&open, sizeof(open));
        open.ArcNameW = pszArchive;
        open.OpenMode = mode;
        open.CmtBuf = pComment;
        open.CmtBufSize = pComment != nullptr ? cbComment : 0;
        if (pStream != nullptr) {
            reader.reset(new (std::nothrow) CArchiveStreamReader(pStream));
            hArchive = reader ? RAROpenArchiveStream(&open, reader->Callbacks()) : nullptr;
        } else {
            hArchive = RAROpenArchiveEx(&open);
        }
        // The comment was read as the archive opened: its decoder and copies are gone again.
        open.CmtBuf = nullptr;
        opened.TryResize(ARCHIVE_HANDLE_BYTES);
        if (hArchive != nullptr && open.OpenResult == ERAR_SUCCESS) {
            RARSetUnpackMemoryProc(hArchive, ChargeDecoderMemory, reinterpret_cast<LPARAM>(&decoder));
            return TRUE;
        }
        Close();
        return FALSE;
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
        decoder.Reset();
        opened.Reset();
    }

    bool IsSolid() const noexcept { return (open.Flags & ROADF_SOLID) != 0; }

    // Passing an entry of a solid archive decompresses it: the next one's data builds on it.
    bool PassingDecompresses() const noexcept { return IsSolid(); }

    // Passes an entry without decompressing it (not for a solid archive's extract handle).
    int Skip() noexcept { return Process(RAR_SKIP, nullptr); }

    int Process(int operation, wchar_t *pszDestName) noexcept
    {
        bPending = false;
        return RARProcessFileW(hArchive, operation, nullptr, pszDestName);
    }

    // Reads the next header; a pending entry is passed first, without decompressing it. Link
    // targets are never asked for: link entries are named, not made.
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

} // namespace

CrawlerTestHooks g_crawlerTestHooks;

// The unpacked size of the archive's largest solid stream, read from the headers alone (a list
// handle of its own passes the data with seeks): 0 when the archive cannot be listed. The library
// asks for the window such a stream needs at once, rather than growing into it.
ULONGLONG CRarFileCrawler::LargestSolidStream()
{
    ArchiveHandle scan;
    if (!scan.Open(m_pszArchive.get(), m_stream.Get(), RAR_OM_LIST, m_pBudget.Get()))
        return 0;
    ULONGLONG cbStream = 0, cbLargest = 0;
    for (ULONG headers = 0; headers < MAX_SKIPPED_HEADERS && scan.ReadHeader() == ERAR_SUCCESS; ++headers) {
        const RARHeaderDataEx &header = scan.header;
        const ULONGLONG cbEntry = UnpackedSize(header);
        if ((header.Flags & RHDF_SOLID) == 0)
            cbStream = 0;
        cbStream = cbStream > ~0ull - cbEntry ? ~0ull : cbStream + cbEntry;
        if ((header.Flags & RHDF_SOLID) != 0)
            cbLargest = std::max(cbLargest, cbStream);
    }
    return cbLargest;
}

struct CRarFileCrawler::State {
    ArchiveHandle list;
    ArchiveHandle extract;
    bool bOpened = false;         // the archive was opened (or tried) for this run
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

    if (list.hArchive == nullptr && !OpenArchive(nullptr, 0))
        return E_FAIL;

    for (ULONG skipped = 0;; ++skipped) {
        if (skipped == MAX_SKIPPED_HEADERS) {
            CloseArchive();
            return S_FALSE;
        }
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

// Opens the archive twice, once for listing (with its comment, when asked for) and once for
// extraction, each once per run: FALSE when the list handle cannot be had. Without an extract
// handle the entries are still named.
BOOL CRarFileCrawler::OpenArchive(char *pComment, UINT cbComment)
{
    State &state = *m_pState;
    if (state.bOpened)
        return state.list.hArchive != nullptr;
    state.bOpened = true;
    if (!state.list.Open(m_pszArchive.get(), m_stream.Get(), RAR_OM_LIST, m_pBudget.Get(), pComment, cbComment))
        return FALSE;
    ArchiveHandle &extract = state.extract;
    if (extract.Open(m_pszArchive.get(), m_stream.Get(), RAR_OM_EXTRACT, m_pBudget.Get()) && extract.IsSolid())
        RARSetSolidStreamSize(extract.hArchive, LargestSolidStream());
    return TRUE;
}

HRESULT CRarFileCrawler::ReadComment(char *pBuffer, ULONG cbBuffer)
{
    if (m_pState == nullptr || m_pState->bOpened || pBuffer == nullptr || cbBuffer == 0 ||
        (m_pszArchive == nullptr && !m_stream))
        return S_FALSE;
    pBuffer[0] = '\0';
    if (!OpenArchive(pBuffer, cbBuffer) || m_pState->list.open.CmtState == 0) {
        pBuffer[0] = '\0';
        return S_FALSE;
    }
    pBuffer[cbBuffer - 1] = '\0';
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
        if (!PassExtractEntry() || extract.ReadHeader() != ERAR_SUCCESS)
            return FALSE;
        if ((extract.header.Flags & RHDF_SPLITBEFORE) == 0 || (listHeader.Flags & RHDF_SPLITBEFORE) != 0)
            return std::wcsncmp(extract.header.FileNameW, listHeader.FileNameW, ARRAYSIZE(listHeader.FileNameW)) == 0;
    }
    return FALSE;
}

// Where the data of an entry decoded on the extract handle goes: collected into memory up to
// what its header announced, or counted as work done only to pass it.
struct DecodeSink {
    std::vector<BYTE> *pBytes = nullptr;  // collect here, at most cbLimit bytes
    ULONGLONG cbLimit = 0;
    CRunBudget *pSkipWork = nullptr;      // else count here, when there is an account
    bool bRefused = false;                // more than announced, or past the run's work bound
};

namespace {

int CALLBACK ReceiveEntryData(UINT msg, LPARAM userData, LPARAM p1, LPARAM p2)
{
    auto *sink = reinterpret_cast<DecodeSink *>(userData);
    switch (msg) {
    case UCM_PROCESSDATA: {
        if (sink->bRefused || p2 <= 0)
            return sink->bRefused ? -1 : 1;
        const auto cb = static_cast<ULONGLONG>(p2);
        if (sink->pBytes == nullptr) {
            sink->bRefused = sink->pSkipWork != nullptr && !sink->pSkipWork->SpendSkipWork(cb);
            return sink->bRefused ? -1 : 1;
        }
        // A header that understates the size cannot make us hold more than it announced.
        if (sink->pBytes->size() + cb > sink->cbLimit) {
            sink->bRefused = true;
            std::vector<BYTE>().swap(*sink->pBytes);
            return -1;
        }
        const BYTE *pData = reinterpret_cast<const BYTE *>(p1);
        sink->pBytes->insert(sink->pBytes->end(), pData, pData + cb);  // within the capacity reserved
        return 1;
    }
    case UCM_CHANGEVOLUME:
    case UCM_CHANGEVOLUMEW:
        return p2 == RAR_VOL_ASK ? -1 : 1;  // a volume that is there is read; none is searched for
    default:
        return -1;  // no password is ever given
    }
}

// Results after which a solid stream's decoder is still where the next entry expects it.
bool DecoderInStep(int result) noexcept { return result == ERAR_SUCCESS || result == ERAR_BAD_DATA; }

} // namespace

// Decodes the extract handle's pending entry: RARProcessFileW's result, ERAR_NO_MEMORY when the
// run's account refused what the decoder asked for. A solid archive's decoder that could not
// follow its stream is closed: its later entries are named only.
int CRarFileCrawler::DecodeExtractEntry(int operation, wchar_t *pszDestPath, DecodeSink *pSink)
{
    ArchiveHandle &extract = m_pState->extract;
    if (pSink != nullptr)
        RARSetCallback(extract.hArchive, ReceiveEntryData, reinterpret_cast<LPARAM>(pSink));
    const int result = extract.Process(operation, pszDestPath);
    if (pSink != nullptr)
        RARSetCallback(extract.hArchive, nullptr, 0);
    if (extract.PassingDecompresses() && (!DecoderInStep(result) || (pSink != nullptr && pSink->bRefused)))
        extract.Close();
    return result;
}

// Passes the extract handle's pending entry. In a solid archive that decompresses it, which is
// charged like any decoding and counted against the run's bound on such work; past the bound,
// or when its window does not fit, the extract handle is closed. FALSE: the handle is gone.
BOOL CRarFileCrawler::PassExtractEntry()
{
    ArchiveHandle &extract = m_pState->extract;
    if (!extract.bPending)
        return TRUE;
    if (!extract.PassingDecompresses()) {
        extract.Skip();
        return TRUE;
    }
    DecodeSink sink;
    sink.pSkipWork = m_pBudget.Get();
    DecodeExtractEntry(RAR_TEST, nullptr, &sink);
    return extract.hArchive != nullptr;
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
    const ULONGLONG cbAnnounced = UnpackedSize(extract.header);
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

    if (DecodeExtractEntry(RAR_EXTRACT, pszDestPath, nullptr) != ERAR_SUCCESS) {
        // Whatever a failed extraction left (a part of a file) goes at once.
        if (IsExistingFile(pszDestPath))
            DeleteTemporaryFile(pszDestPath);
        return E_FAIL;
    }
    return S_OK;
}

// The memory route: the entry tested (RAR_TEST) on the extract handle, its data collected by the
// callback, which is set for this call only. The list handle is passed only once the route is
// taken, so that S_FALSE leaves the entry to ExtractCurrentEntry as it was.
HRESULT CRarFileCrawler::ReadCurrentEntryToMemory(ULONGLONG cbBudget, std::vector<BYTE> *pBytes, CBudgetCharge *pCharge)
{
    if (m_pState == nullptr || pBytes == nullptr || pCharge == nullptr || m_pState->list.hArchive == nullptr)
        return S_FALSE;
    ArchiveHandle &extract = m_pState->extract;
    if (extract.hArchive == nullptr || !extract.bPending || extract.header.RedirType != 0 ||
        m_pState->list.header.RedirType != 0 || (extract.header.Flags & RHDF_ENCRYPTED) != 0)
        return S_FALSE;  // refused on the file route, as there
    // A document the run cannot hold goes to the file route, which costs it no memory.
    const ULONGLONG cbAnnounced = UnpackedSize(extract.header);
    if (cbAnnounced > cbBudget || !pCharge->TryResize(cbAnnounced))
        return S_FALSE;
    try {
        pBytes->clear();
        pBytes->reserve(static_cast<size_t>(cbAnnounced));
    } catch (...) {
        pCharge->Reset();
        return S_FALSE;
    }
    if (m_pState->list.Skip() != ERAR_SUCCESS)
        return E_FAIL;
    DecodeSink sink;
    sink.pBytes = pBytes;
    sink.cbLimit = cbAnnounced;
    const int result = DecodeExtractEntry(RAR_TEST, nullptr, &sink);
    if (result != ERAR_SUCCESS || sink.bRefused) {
        std::vector<BYTE>().swap(*pBytes);
        pCharge->Reset();
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
