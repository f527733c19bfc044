#include "crawler/RarFileCrawler.h"
#include "support/Capacities.h"
#include "crawler/ArchiveHandle.h"
#include "crawler/EntryName.h"
#include "support/CallContext.h"
#include "support/Check.h"
#include "support/FileUtil.h"
#include "support/MemoryStream.h"
#include "support/SafeString.h"

#include <windows.h>
#include <filterr.h>
#include "dll.hpp"

#include <algorithm>
#include <cwchar>
#include <new>

namespace {

constexpr unsigned int RAR_HOST_UNIX = 3;  // HostOS of archives made on Unix: FileAttr holds a mode
constexpr ULONG MAX_SKIPPED_HEADERS = 0x1000000;
constexpr size_t MAX_TEMP_PATH = 255;      // longest temporary file path we create
constexpr unsigned int METHOD_STORE = 0x30;  // the header's Method of data stored as it is

std::unique_ptr<wchar_t[]> NewNameBuffer() noexcept
{
    return std::unique_ptr<wchar_t[]>(new (std::nothrow) wchar_t[CRAWLER_NAME_CHARS]());
}

// Copies into a caller's buffer when its capacity is one a bounded copy accepts; cuts silently.
void CopyOut(wchar_t *pszDest, ULONG cchDest, const wchar_t *pszSrc) noexcept
{
    if (pszDest != nullptr && cchDest != 0 && cchDest <= PELLUCIDOR_MAX_CCH)
        SafeStringCopy(pszDest, cchDest, pszSrc != nullptr ? pszSrc : L"");
}

ULONGLONG UnpackedSize(const RARHeaderDataEx &header) noexcept
{
    return (static_cast<ULONGLONG>(header.UnpSizeHigh) << 32) | header.UnpSize;
}

// Data of RAR 1.5 and before is solid by the archive's flag alone, whatever the entry's says: in a
// solid archive, every such entry is taken to continue the stream.
constexpr unsigned int UNPACK_VERSION_15 = 15;

USHORT ItemFlags(const RARHeaderDataEx &header) noexcept
{
    return (header.Flags & RHDF_SOLID) != 0 || header.UnpVer <= UNPACK_VERSION_15 ? ITEM_SOLID : 0;
}

// An entry whose data neither route reads. Links, junctions and file copies would reach outside
// the folder or need another entry. No password is ever given, so an encrypted entry cannot be
// decoded; a failed attempt would leave the extract handle inside the entry's data and lose every
// entry after it. Left pending, such an entry is passed with RAR_SKIP before the next header.
bool IsNeverRead(const RARHeaderDataEx &header) noexcept
{
    return header.RedirType != 0 || (header.Flags & RHDF_ENCRYPTED) != 0;
}

bool IsDirectoryEntry(const RARHeaderDataEx &header) noexcept
{
    // Archives made on Unix keep a file mode in FileAttr, where 0x10 is the group's write bit.
    if ((header.Flags & RHDF_DIRECTORY) != 0)
        return true;
    return header.HostOS != RAR_HOST_UNIX && (header.FileAttr & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

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

struct CRarFileCrawler::State {
    ArchiveHandle list;             // the header pass's
    ArchiveHandle extract;          // decodes the entries whose data is asked for
    bool bOpened = false;           // the list handle was opened (or tried) for this run
    bool bExtractOpened = false;    // the extract handle was
    CItemTable table;
    // The header pass.
    bool bPassDone = false;
    ULONG cHeaders = 0;             // headers it read
    ULONGLONG cbStream = 0;         // the solid stream so far
    ULONGLONG cbLargestSolid = 0;   // the largest solid stream so far
    // A table too small for the archive: the entries from posRefill on are read again, once the
    // walk has taken those before.
    bool bWindowFull = false;
    ULONGLONG posRefill = 0;
    bool bHeld = false;             // its header is an entry the table had no room for yet
    // The temporary volume's free space.
    bool bFreeSpaceRead = false;    // a reading of the temporary volume's free space is current
    ULONGLONG cbFree = 0;           // that reading
    ULONGLONG cbSinceRead = 0;      // announced by the entries passed since

    explicit State(CRunBudget *pBudget) noexcept : table(pBudget) {}
};

CRarFileCrawler::CRarFileCrawler(const wchar_t *pszArchive, const wchar_t *pszTempFolder, const CrawlerOptions &options)
    : m_pszArchive(DuplicateString(pszArchive)),
      m_pszTempFolder(DuplicateString(pszTempFolder)),
      m_pszEntryName(NewNameBuffer()),
      m_pszEntryFolder(NewNameBuffer()),
      m_pszExtractedPath(NewNameBuffer()),
      m_pBudget(options.pBudget),
      m_pState(new (std::nothrow) State(options.pBudget)),
      m_pfnMakeRunFolder(options.pfnMakeRunFolder),
      m_pRunFolderContext(options.pRunFolderContext)
{
}

CRarFileCrawler::CRarFileCrawler(IStream *pStream, const wchar_t *pszName, const wchar_t *pszTempFolder,
                                 const CrawlerOptions &options)
    : CRarFileCrawler(pszName, pszTempFolder, options)
{
    m_stream = pStream;
}

CRarFileCrawler::~CRarFileCrawler()
{
    // The archive is closed before its last extracted file goes.
    CloseArchive();
    DeleteCurrentExtractedFile();
}

void CRarFileCrawler::CloseArchive()
{
    LetEntryDocumentGo();  // it may lie in the extract handle's window
    if (m_pState != nullptr) {
        m_pState->list.Close();
        m_pState->extract.Close();
    }
}

bool CRarFileCrawler::IsEntryIgnored(const wchar_t *pszName) const noexcept
{
    return pszName == nullptr || pszName[0] == L'\0';
}

// Opens the list handle, once per run (with the archive's comment, when asked for): S_OK, or why
// it cannot be had. The extract handle is opened when the first entry's data is asked for.
HRESULT CRarFileCrawler::OpenArchive(char *pComment, UINT cbComment)
{
    State &state = *m_pState;
    if (state.bOpened)
        return state.list.hArchive != nullptr || state.bPassDone ? S_OK : E_FAIL;
    state.bOpened = true;
    RETURN_IF_FAILED(state.list.Open(m_pszArchive.get(), m_stream.Get(), RAR_OM_LIST, m_pBudget.Get(), pComment,
                                     cbComment));
    return S_OK;
}

HRESULT CRarFileCrawler::ReadComment(char *pBuffer, ULONG cbBuffer)
{
    if (m_pState == nullptr || m_pState->bOpened || pBuffer == nullptr || cbBuffer == 0 ||
        (m_pszArchive == nullptr && !m_stream))
        return S_FALSE;
    pBuffer[0] = '\0';
    if (OpenArchive(pBuffer, cbBuffer) != S_OK || m_pState->list.open.CmtState == 0) {
        pBuffer[0] = '\0';
        return S_FALSE;
    }
    pBuffer[cbBuffer - 1] = '\0';
    return S_OK;
}

HRESULT CRarFileCrawler::ReadItems(PFN_ENTRY_SEEN pfnSeen, void *pContext)
{
    if (m_pState == nullptr)
        return E_OUTOFMEMORY;
    if (m_pfnSeen == nullptr && m_pState->cHeaders == 0) {
        m_pfnSeen = pfnSeen;
        m_pSeenContext = pContext;
    }
    return ContinuePass();
}

// The header pass, from where it stopped: every header is read once; directories and entries
// without a name are passed at once, the others go into the table (while it has room) and are
// shown to the pass's observer. S_OK: every header is read; S_FALSE: the call's deadline came.
HRESULT CRarFileCrawler::ContinuePass()
{
    State &state = *m_pState;
    if (state.bPassDone)
        return S_OK;
    if (m_pszArchive == nullptr && !m_stream)
        return E_FAIL;
    if (!state.bOpened)
        RETURN_IF_FAILED(OpenArchive(nullptr, 0));
    ArchiveHandle &list = state.list;
    if (list.hArchive == nullptr)
        return E_FAIL;
    for (;;) {
        if (CallDeadlinePassed())
            return S_FALSE;
        if (state.cHeaders == MAX_SKIPPED_HEADERS || list.ReadHeader() != ERAR_SUCCESS)
            break;
        ++state.cHeaders;
        RARHeaderDataEx &header = list.header;
        const ULONGLONG pos = RARGetHeaderPos(list.hArchive);
        const ULONGLONG cbEntry = UnpackedSize(header);
        if ((header.Flags & RHDF_SOLID) == 0)
            state.cbStream = 0;
        state.cbStream = state.cbStream > ~0ull - cbEntry ? ~0ull : state.cbStream + cbEntry;
        if ((header.Flags & RHDF_SOLID) != 0)
            state.cbLargestSolid = std::max(state.cbLargestSolid, state.cbStream);
        if (!IsNamedEntry(list))
            continue;
        if (!state.bWindowFull && !AddToTable(list)) {
            state.bWindowFull = true;
            state.posRefill = pos;
        }
        if (m_pfnSeen != nullptr)
            m_pfnSeen(m_pSeenContext, list.path.get(), list.cchFolder, cbEntry);
    }
    state.bPassDone = true;
    // The list handle is kept only for entries the table could not hold.
    if (!state.bWindowFull)
        list.Close();
    return S_OK;
}

// Is the entry the list handle read one the walk names: a file with a name?
bool CRarFileCrawler::IsNamedEntry(const ArchiveHandle &list) const noexcept
{
    return !IsDirectoryEntry(list.header) && !IsEntryIgnored(list.path.get() + list.cchFolder);
}

// Puts the entry the list handle read into the table: false when the table has no room for it.
bool CRarFileCrawler::AddToTable(const ArchiveHandle &list) noexcept
{
    return m_pState->table.Add(RARGetHeaderPos(list.hArchive), UnpackedSize(list.header), ItemFlags(list.header),
                               list.path.get(), static_cast<USHORT>(list.cchPath), static_cast<USHORT>(list.cchFolder));
}

// Reads the table full again once the walk has taken what it held: from the first entry the pass
// could not put in it (the list handle goes back there), then on from where the last refill
// stopped, the entry that did not fit first. S_OK when the table holds what there is (nothing
// once the archive's end was reached); S_FALSE: the call's deadline came first.
HRESULT CRarFileCrawler::ReadMoreItems()
{
    State &state = *m_pState;
    ArchiveHandle &list = state.list;
    if (state.bWindowFull) {
        state.bWindowFull = false;
        if (list.hArchive == nullptr || RARSeekHeader(list.hArchive, state.posRefill) != ERAR_SUCCESS) {
            // A volume's positions name no volume: the entries after the table are not named.
            list.Close();
            return S_OK;
        }
        list.bPending = false;
        state.bHeld = false;
    }
    if (list.hArchive == nullptr)
        return S_OK;
    for (ULONG headers = 0; headers < MAX_SKIPPED_HEADERS; ++headers) {
        if (!state.bHeld) {
            if (CallDeadlinePassed())
                return S_FALSE;
            if (list.ReadHeader() != ERAR_SUCCESS)
                break;
            if (!IsNamedEntry(list))
                continue;
        }
        state.bHeld = !AddToTable(list);
        if (state.bHeld)
            return S_OK;  // full: this entry comes first next time
    }
    list.Close();
    return S_OK;
}

// Where the data of an entry decoded on the extract handle goes: collected into memory up to
// what its header announced, or counted as work done only to pass it.
struct DecodeSink {
    CByteBuffer *pBytes = nullptr;        // collect here, within the room reserved for the entry
    CRunBudget *pSkipWork = nullptr;      // else count here, when there is an account
    bool bRefused = false;                // more than announced, past the run's work bound or the call's deadline
    // Else an entry whose whole document fits in the decoder's window from where it starts: it
    // is read from there, and only what a filter rewrote is copied.
    CWindowDocument *pInWindow = nullptr;
    bool bSolid = false;                  // the entry is decoded to the end whatever becomes of it
    bool bNoRoom = false;                 // a copy was needed and the account could not hold it
};

namespace {

int CALLBACK ReceiveEntryData(UINT msg, LPARAM userData, LPARAM p1, LPARAM p2)
{
    auto *sink = reinterpret_cast<DecodeSink *>(userData);
    switch (msg) {
    case UCM_PROCESSDATA: {
        if (sink->bRefused || p2 <= 0)
            return sink->bRefused ? -1 : 1;
        // Work past the host's call deadline is given up: the entry is named only.
        if (CallDeadlinePassed()) {
            sink->bRefused = true;
            if (sink->pBytes != nullptr)
                sink->pBytes->Free();
            return -1;
        }
        const auto cb = static_cast<ULONGLONG>(p2);
        if (sink->pBytes == nullptr) {
            sink->bRefused = sink->pSkipWork != nullptr && !sink->pSkipWork->SpendSkipWork(cb);
            return sink->bRefused ? -1 : 1;
        }
        // A header that understates the size cannot make us hold more than it announced.
        const bool bFits = cb <= SIZE_MAX && (sink->pInWindow != nullptr
                                                  ? sink->pInWindow->Fits(cb)
                                                  : sink->pBytes->Append(reinterpret_cast<const void *>(p1), static_cast<size_t>(cb)));
        if (!bFits) {
            sink->bRefused = true;
            sink->pBytes->Free();
            return -1;
        }
        if (sink->pInWindow == nullptr || sink->pInWindow->Add(reinterpret_cast<const BYTE *>(p1), static_cast<size_t>(cb)))
            return 1;
        // No room for what a filter rewrote: the document is lost. In a solid stream the rest of
        // it is passed as an entry nobody reads, for the entries after it.
        sink->bNoRoom = true;
        sink->pInWindow->Reset();
        sink->pInWindow = nullptr;
        sink->pBytes = nullptr;
        if (!sink->bSolid)
            return -1;
        sink->bRefused = sink->pSkipWork != nullptr && !sink->pSkipWork->SpendSkipWork(cb);
        return sink->bRefused ? -1 : 1;
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

// What the pass found so far of the largest solid stream: its window is asked for at once, from
// the stream's first entry on.
void CRarFileCrawler::SetSolidStreamSize() noexcept
{
    ArchiveHandle &extract = m_pState->extract;
    if (extract.IsSolid())
        RARSetSolidStreamSize(extract.hArchive, m_pState->cbLargestSolid);
}

// Decodes the extract handle's pending entry: RARProcessFileW's result, ERAR_NO_MEMORY when the
// run's account refused what the decoder asked for. A solid archive's decoder that could not
// follow its stream is closed: its later entries are named only.
int CRarFileCrawler::DecodeExtractEntry(int operation, wchar_t *pszDestPath, DecodeSink *pSink)
{
    ArchiveHandle &extract = m_pState->extract;
    SetSolidStreamSize();
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
// or when its window does not fit, the extract handle is closed. E_FAIL: the handle is gone.
HRESULT CRarFileCrawler::PassExtractEntry()
{
    ArchiveHandle &extract = m_pState->extract;
    if (!extract.bPending)
        return S_OK;
    if (!extract.PassingDecompresses()) {
        extract.Skip();
        return S_OK;
    }
    DecodeSink sink;
    sink.pSkipWork = m_pBudget.Get();
    DecodeExtractEntry(RAR_TEST, nullptr, &sink);
    return extract.hArchive != nullptr ? S_OK : E_FAIL;
}

// Is the extract handle at the current entry, its header read? In a volume set a position names
// no volume, so the path must match as well.
bool CRarFileCrawler::IsAtCurrentEntry() noexcept
{
    ArchiveHandle &extract = m_pState->extract;
    if (!extract.bPending || (extract.header.Flags & RHDF_SPLITBEFORE) != 0 ||
        RARGetHeaderPos(extract.hArchive) != m_entry.headerPos)
        return false;
    const wchar_t *pszPath = extract.path.get();
    return extract.cchFolder == m_entry.cchFolder && extract.cchPath == m_entry.cchPath &&
           std::wcsncmp(pszPath, m_pszEntryFolder.get(), extract.cchFolder) == 0 &&
           std::wcscmp(pszPath + extract.cchFolder, m_pszEntryName.get()) == 0;
}

// Moves the extract handle to the current entry and reads its header. Straight there where
// nothing before it needs decoding: in an archive that is not solid, and to an entry that starts a
// solid stream. Else header by header, passing (in a solid archive, decoding) what lies between.
// S_OK: there; E_PENDING: the call's deadline came first (the handle stays where it got to, and a
// later entry goes on from there); E_FAIL: the entry cannot be reached.
HRESULT CRarFileCrawler::ReachCurrentEntry()
{
    State &state = *m_pState;
    ArchiveHandle &extract = state.extract;
    if (!m_bHasEntry)
        return E_FAIL;
    if (!state.bExtractOpened) {
        state.bExtractOpened = true;
        extract.Open(m_pszArchive.get(), m_stream.Get(), RAR_OM_EXTRACT, m_pBudget.Get());
    }
    if (extract.hArchive == nullptr)
        return E_FAIL;
    if (IsAtCurrentEntry())
        return S_OK;
    if ((!extract.IsSolid() || (m_entry.flags & ITEM_SOLID) == 0) &&
        RARSeekHeader(extract.hArchive, m_entry.headerPos) == ERAR_SUCCESS) {
        extract.bPending = false;
        if (extract.ReadHeader() == ERAR_SUCCESS && IsAtCurrentEntry())
            return S_OK;
        extract.Close();
        return E_FAIL;
    }
    for (ULONG headers = 0; headers < MAX_SKIPPED_HEADERS; ++headers) {
        if (extract.bPending) {
            if (IsAtCurrentEntry())
                return S_OK;
            // Past it: the archive is not what the pass read.
            if ((extract.open.Flags & ROADF_VOLUME) == 0 && RARGetHeaderPos(extract.hArchive) > m_entry.headerPos) {
                extract.Close();
                return E_FAIL;
            }
            RETURN_IF_FAILED(PassExtractEntry());
        }
        if (CallDeadlinePassed())
            return E_PENDING;
        if (extract.ReadHeader() != ERAR_SUCCESS) {
            extract.Close();
            return E_FAIL;
        }
    }
    extract.Close();
    return E_FAIL;
}

HRESULT CRarFileCrawler::ExtractCurrentEntry(wchar_t *pszDestPath, ULONG cchDestPath)
{
    if (m_pState == nullptr)
        return E_FAIL;
    RETURN_IF_FAILED(ReachCurrentEntry());
    ArchiveHandle &extract = m_pState->extract;
    if (IsNeverRead(extract.header))
        return E_FAIL;
    const ULONGLONG cbAnnounced = UnpackedSize(extract.header);
    if (!HasRunFolder() || !FitsOnTempVolume(cbAnnounced))
        return E_FAIL;
    if (pszDestPath == nullptr || m_pszEntryName == nullptr)
        return E_FAIL;

    // The stored name may hold what Windows cannot create; the name chunk keeps the stored one.
    // A name is a base name and an extension of up to 255 characters each.
    wchar_t szSafe[2 * ENTRY_PART_CHARS];
    wchar_t szFolder[ENTRY_PART_CHARS], szBase[ENTRY_PART_CHARS], szExt[ENTRY_PART_CHARS];
    // A base name or an extension too long to split is not extracted (its name chunk keeps it).
    if (MakeSafeFileName(m_pszEntryName.get(), szSafe, ARRAYSIZE(szSafe)) != S_OK ||
        !SplitEntryPath(szSafe, szFolder, szBase, szExt))
        return E_FAIL;

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

    DecodeSink sink;  // nothing to collect: the call's deadline is kept
    if (DecodeExtractEntry(RAR_EXTRACT, pszDestPath, &sink) != ERAR_SUCCESS || sink.bRefused) {
        // Whatever a failed extraction left (a part of a file) goes at once.
        if (IsExistingFile(pszDestPath))
            DeleteTemporaryFile(pszDestPath);
        return E_FAIL;
    }
    return S_OK;
}

// An archive read from a host's stream gets its run folder only when an entry needs one.
// Asked once: a folder that cannot be made now is not tried again for every entry.
bool CRarFileCrawler::HasRunFolder() noexcept
{
    if (m_pszTempFolder == nullptr && m_pfnMakeRunFolder != nullptr) {
        m_pszTempFolder = DuplicateString(m_pfnMakeRunFolder(m_pRunFolderContext));
        m_pfnMakeRunFolder = nullptr;
    }
    return m_pszTempFolder != nullptr;
}

// The memory route: the entry tested (RAR_TEST) on the extract handle, its data collected by the
// callback, which is set for this call only. The extract handle is moved only once the route is
// taken, so that S_FALSE leaves the entry to ExtractCurrentEntry as it was. The document is the
// decoder's window itself where the whole entry lies in it (m_windowDocument, valid until the
// handle decodes again), else a copy in pBytes, charged to pCharge.
HRESULT CRarFileCrawler::ReadCurrentEntryToMemory(CByteBuffer *pBytes, CBudgetCharge *pCharge)
{
    if (m_pState == nullptr || pBytes == nullptr || pCharge == nullptr)
        return S_FALSE;
    RETURN_IF_FAILED(ReachCurrentEntry());
    ArchiveHandle &extract = m_pState->extract;
    if (IsNeverRead(extract.header))
        return S_FALSE;  // the file route refuses it too
    const ULONGLONG cbAnnounced = UnpackedSize(extract.header);
    if (cbAnnounced > SIZE_MAX)
        return S_FALSE;
    // The entry's window comes first. A window refused costs the entry (in a solid archive, the
    // stream).
    SetSolidStreamSize();
    if (RARPrepareWindow(extract.hArchive) != ERAR_SUCCESS) {
        if (extract.PassingDecompresses())
            extract.Close();
        return E_FAIL;
    }
    DecodeSink sink;
    sink.pBytes = pBytes;
    sink.bSolid = extract.PassingDecompresses();
    sink.pSkipWork = m_pBudget.Get();
    // Where the whole entry fits in the window from where it starts, it is read from there and
    // costs nothing beside the window but what a filter rewrote. Else a copy takes what the
    // window leaves: one that does not fit goes to the file route, which decodes with the same
    // window and costs the document no memory.
    const unsigned char *pWindow = nullptr;
    ULONGLONG cbWindow = 0, posSolid = 0, cbWritten = 0;
    if (extract.header.Method != METHOD_STORE && cbAnnounced != 0 &&
        RARGetUnpackWindow(extract.hArchive, &pWindow, &cbWindow, &posSolid, &cbWritten) == ERAR_SUCCESS) {
        const bool bContinues = extract.IsSolid() && (m_entry.flags & ITEM_SOLID) != 0;
        const ULONGLONG posStart = bContinues ? posSolid : 0;
        if (posStart < cbWindow && cbAnnounced <= cbWindow - posStart) {
            // Should filters rewrite much of it, it needs room for their output after all, and in
            // a solid archive it is not decoded twice: one whose copy would not fit goes to the
            // file route where there is one.
            if (sink.bSolid && m_pBudget.Get() != nullptr && m_pBudget->Available() < cbAnnounced &&
                HasRunFolder())
                return S_FALSE;
            if (m_windowDocument.Begin(pWindow + posStart, cbAnnounced, m_pBudget.Get()))
                sink.pInWindow = &m_windowDocument;
        }
    }
    if (sink.pInWindow == nullptr) {
        if (!pCharge->TryResize(cbAnnounced))
            return S_FALSE;
        if (!pBytes->Reserve(static_cast<size_t>(cbAnnounced))) {
            pCharge->Reset();
            return S_FALSE;
        }
    }
    const int result = DecodeExtractEntry(RAR_TEST, nullptr, &sink);
    // A filtered entry needed a copy that did not fit: outside a solid stream the file route can
    // still decode it again.
    if (sink.bNoRoom && !sink.bSolid && extract.hArchive != nullptr)
        return S_FALSE;
    if (result != ERAR_SUCCESS || sink.bRefused || sink.bNoRoom)
        return E_FAIL;
    if (sink.pInWindow != nullptr) {
        // The window must be the one the pieces lay in, and the decoder must have written nothing
        // past the entry, which could have gone round the window over it.
        const unsigned char *pAfter = nullptr;
        ULONGLONG cbAfter = 0;
        if (RARGetUnpackWindow(extract.hArchive, &pAfter, &cbAfter, &posSolid, &cbWritten) != ERAR_SUCCESS ||
            pAfter != pWindow || cbAfter != cbWindow || cbWritten > m_windowDocument.Size())
            return E_FAIL;
        m_bInWindow = true;
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
bool CRarFileCrawler::FitsOnTempVolume(ULONGLONG cbAnnounced)
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
            return false;
        state.cbFree = freeToCaller.QuadPart;
        state.cbSinceRead = 0;
    }
    if (state.cbFree <= EXTRACT_FREE_SPACE_RESERVE || cbAnnounced > state.cbFree - EXTRACT_FREE_SPACE_RESERVE)
        return false;
    state.cbSinceRead += cbAnnounced;
    return true;
}

HRESULT CRarFileCrawler::GetCurrentEntry(wchar_t *pszName, ULONG cchName, wchar_t *pszFolder, ULONG cchFolder,
                                         wchar_t *pszExtractedPath, ULONG cchExtractedPath) const noexcept
{
    if (!m_bHasEntry)
        return E_FAIL;
    CopyOut(pszName, cchName, m_pszEntryName.get());
    CopyOut(pszFolder, cchFolder, m_pszEntryFolder.get());
    CopyOut(pszExtractedPath, cchExtractedPath, m_pszExtractedPath.get());
    return S_OK;
}

IStream *CRarFileCrawler::TakeEntryStream() noexcept
{
    if (!m_bEntryInMemory)
        return nullptr;
    m_bEntryInMemory = false;
    if (m_bInWindow)
        return m_windowLoan.Lend(m_windowDocument.Pieces(), m_windowDocument.PieceCount(), m_pszEntryName.get());
    return CreateMemoryDocumentStream(std::move(m_entryBytes), m_pszEntryName.get(), std::move(m_entryCharge));
}

HRESULT CRarFileCrawler::DeleteCurrentExtractedFile()
{
    if (!m_bHasEntry || m_pszExtractedPath == nullptr || m_pszExtractedPath[0] == L'\0' ||
        !IsExistingFile(m_pszExtractedPath.get()))
        return S_FALSE;
    DeleteTemporaryFile(m_pszExtractedPath.get());
    return S_OK;
}

HRESULT CRarFileCrawler::NextEntry(wchar_t *pszName, ULONG cchName, wchar_t *pszFolder, ULONG cchFolder)
{
    if (m_pszEntryName == nullptr || m_pszEntryFolder == nullptr || m_pszExtractedPath == nullptr)
        return E_OUTOFMEMORY;
    DeleteCurrentExtractedFile();
    m_bHasEntry = false;
    m_pszExtractedPath[0] = L'\0';
    LetEntryDocumentGo();

    if (m_pState == nullptr)
        return E_OUTOFMEMORY;
    State &state = *m_pState;
    for (;;) {
        // The pass goes on, or the table is read full again, until it holds an entry: the walk
        // never reads a header the pass has not.
        while (state.table.Front() == nullptr) {
            HRESULT hr = S_OK;
            if (!state.bPassDone)
                hr = ContinuePass();
            else if (state.list.hArchive != nullptr)  // kept open for entries the table could not hold
                hr = ReadMoreItems();
            else
                return FILTER_E_END_OF_CHUNKS;
            if (FAILED(hr))
                return FILTER_E_END_OF_CHUNKS;
            if (state.table.Front() != nullptr)
                break;
            if (hr == S_FALSE)
                return E_PENDING;
            // A refill that found an entry and could not hold even that one cannot go on.
            if (state.bPassDone && state.bHeld)
                return FILTER_E_END_OF_CHUNKS;
        }
        const ArchiveItem &item = *state.table.Front();
        const wchar_t *pszPath = state.table.PathOf(item);  // valid until the table is read again
        m_entry = item;
        state.table.PopFront();
        // An entry whose name does not fit the caller's buffers is passed: it costs that entry only.
        // Passing many stops at the call's deadline too; the next call goes on after them.
        if (SafeStringCopy(pszName, cchName, pszPath + m_entry.cchFolder) != S_OK || cchFolder <= m_entry.cchFolder) {
            if (CallDeadlinePassed())
                return E_PENDING;
            continue;
        }
        std::wmemcpy(pszFolder, pszPath, m_entry.cchFolder);
        pszFolder[m_entry.cchFolder] = L'\0';
        break;
    }
    if (SafeStringCopy(m_pszEntryName.get(), CRAWLER_NAME_CHARS, pszName) != S_OK ||
        SafeStringCopy(m_pszEntryFolder.get(), CRAWLER_NAME_CHARS, pszFolder) != S_OK)
        return E_FAIL;
    m_pszExtractedPath[0] = L'\0';
    m_bHasEntry = true;
    return S_OK;
}

// The current entry's document in memory goes, and streams over its window are withdrawn:
// before the extract handle decodes again or closes.
void CRarFileCrawler::LetEntryDocumentGo() noexcept
{
    m_windowLoan.Withdraw();
    m_windowDocument.Reset();
    m_bInWindow = false;
    m_bEntryInMemory = false;
    m_entryBytes.Free();
    m_entryCharge.Reset();
}

HRESULT CRarFileCrawler::ReadEntryToMemory()
{
    if (!m_bHasEntry || m_bEntryInMemory || m_pszExtractedPath[0] != L'\0')
        return S_FALSE;
    m_entryCharge = CBudgetCharge(m_pBudget.Get());
    const HRESULT hr = ReadCurrentEntryToMemory(&m_entryBytes, &m_entryCharge);
    if (hr == S_OK) {
        m_bEntryInMemory = true;
        return S_OK;
    }
    LetEntryDocumentGo();
    return hr;
}

HRESULT CRarFileCrawler::ExtractEntry(wchar_t *pszPath, ULONG cchPath)
{
    if (!m_bHasEntry || m_bEntryInMemory || m_pszExtractedPath[0] != L'\0' || cchPath == 0 ||
        cchPath > PELLUCIDOR_MAX_CCH)
        return E_FAIL;
    if (ExtractCurrentEntry(pszPath, cchPath) != S_OK || !IsExistingFile(pszPath))
        return E_FAIL;
    // Kept, so that the file goes before the next entry; a path too long to keep is not left.
    if (SafeStringCopy(m_pszExtractedPath.get(), CRAWLER_NAME_CHARS, pszPath) != S_OK) {
        m_pszExtractedPath[0] = L'\0';
        DeleteFileW(pszPath);
        return E_FAIL;
    }
    return S_OK;
}
