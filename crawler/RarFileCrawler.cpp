#include "crawler/RarFileCrawler.h"
#include "support/Capacities.h"
#include "crawler/ArchiveHandle.h"
#include "crawler/EntryName.h"
#include "support/CallClock.h"
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

// Directory entries and names we cannot use are passed over; a walk ends at the archive's end,
// but a bound keeps a header chain that never ends from holding the host.
constexpr ULONG MAX_IGNORED_ENTRIES = 0x1000000;

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

// The entry's name (base name and extension) and folder, as its name chunk shows them, from the
// stored path: slashes become backslashes (in the header itself). false when a part does not fit.
bool EntryNameOf(RARHeaderDataEx &header, wchar_t *pszName, ULONG cchName, wchar_t *pszFolder, ULONG cchFolder) noexcept
{
    wchar_t *pszPath = header.FileNameW;
    pszPath[ARRAYSIZE(header.FileNameW) - 1] = L'\0';
    for (wchar_t *p = pszPath; *p != L'\0'; ++p)
        if (*p == L'/')
            *p = L'\\';
    wchar_t szFolder[ENTRY_PART_CHARS], szBase[ENTRY_PART_CHARS], szExt[ENTRY_PART_CHARS];
    SplitEntryPath(pszPath, szFolder, szBase, szExt);
    return pszName != nullptr && pszFolder != nullptr && SafeStringCopy(pszFolder, cchFolder, szFolder) == S_OK &&
           SafeStringCopy(pszName, cchName, szBase) == S_OK && SafeStringCat(pszName, cchName, szExt) == S_OK;
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

// One pass over the headers alone (a list handle of its own passes the data with seeks): every
// entry the walk will name is shown to the caller, and the unpacked size of the archive's largest
// solid stream is kept, for which the library asks the window at once rather than growing into it.
HRESULT CRarFileCrawler::ScanHeaders(PFN_ENTRY_SEEN pfnSeen, void *pContext)
{
    if (m_bScanned)
        return E_UNEXPECTED;
    m_bScanned = true;
    ArchiveHandle scan;
    RETURN_IF_FAILED(scan.Open(m_pszArchive.get(), m_stream.Get(), RAR_OM_LIST, m_pBudget.Get()));
    std::unique_ptr<wchar_t[]> pszName = NewNameBuffer(), pszFolder = NewNameBuffer();
    RETURN_IF_NULL_ALLOC(pszName);
    RETURN_IF_NULL_ALLOC(pszFolder);
    ULONGLONG cbStream = 0;
    ULONG cSeen = 0;
    for (ULONG headers = 0; headers < MAX_SKIPPED_HEADERS; ++headers) {
        // A pass the call cannot afford ends early: what it saw still counts.
        if (CallDeadlinePassed())
            return S_FALSE;
        if (scan.ReadHeader() != ERAR_SUCCESS)
            return S_OK;
        RARHeaderDataEx &header = scan.header;
        const ULONGLONG cbEntry = UnpackedSize(header);
        if ((header.Flags & RHDF_SOLID) == 0)
            cbStream = 0;
        cbStream = cbStream > ~0ull - cbEntry ? ~0ull : cbStream + cbEntry;
        if ((header.Flags & RHDF_SOLID) != 0)
            m_cbLargestSolid = std::max(m_cbLargestSolid, cbStream);
        if (pfnSeen == nullptr || IsDirectoryEntry(header) || cSeen == MAX_IGNORED_ENTRIES ||
            !EntryNameOf(header, pszName.get(), CRAWLER_NAME_CHARS, pszFolder.get(), CRAWLER_NAME_CHARS) ||
            IsEntryIgnored(pszName.get()))
            continue;
        ++cSeen;
        pfnSeen(pContext, pszName.get(), pszFolder.get(), cbEntry);
    }
    return S_OK;
}

struct CRarFileCrawler::State {
    ArchiveHandle list;
    ArchiveHandle extract;
    bool bOpened = false;         // the archive was opened (or tried) for this run
    bool bFreeSpaceRead = false;  // a reading of the temporary volume's free space is current
    ULONGLONG cbFree = 0;         // that reading
    ULONGLONG cbSinceRead = 0;    // announced by the entries passed since
};

CRarFileCrawler::CRarFileCrawler(const wchar_t *pszArchive, const wchar_t *pszTempFolder, const CrawlerOptions &options)
    : m_pszArchive(DuplicateString(pszArchive)),
      m_pszTempFolder(DuplicateString(pszTempFolder)),
      m_pszEntryName(NewNameBuffer()),
      m_pszEntryFolder(NewNameBuffer()),
      m_pszExtractedPath(NewNameBuffer()),
      m_pBudget(options.pBudget),
      m_pState(new (std::nothrow) State),
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
    if (m_pState != nullptr) {
        m_pState->list.Close();
        m_pState->extract.Close();
    }
}

bool CRarFileCrawler::IsEntryIgnored(const wchar_t *pszName) const noexcept
{
    return pszName == nullptr || pszName[0] == L'\0';
}

HRESULT CRarFileCrawler::ReadNextEntry(wchar_t *pszName, ULONG cchName, wchar_t *pszFolder, ULONG cchFolder)
{
    if (m_pState == nullptr || (m_pszArchive == nullptr && !m_stream))
        return E_FAIL;
    ArchiveHandle &list = m_pState->list;
    ArchiveHandle &extract = m_pState->extract;

    if (list.hArchive == nullptr)
        RETURN_IF_FAILED(OpenArchive(nullptr, 0));

    for (ULONG skipped = 0;; ++skipped) {
        if (skipped == MAX_SKIPPED_HEADERS) {
            CloseArchive();
            return S_FALSE;
        }
        if (list.ReadHeader() != ERAR_SUCCESS) {
            CloseArchive();
            return S_FALSE;
        }
        if (extract.hArchive != nullptr && ReadExtractHeaderInStep() != S_OK)
            extract.Close();
        if (!IsDirectoryEntry(list.header))
            break;
    }

    return EntryNameOf(list.header, pszName, cchName, pszFolder, cchFolder) ? S_OK : E_FAIL;
}

// Opens the archive twice, once for listing (with its comment, when asked for) and once for
// extraction, each once per run: S_OK, or why the list handle cannot be had. Without an extract
// handle the entries are still named.
HRESULT CRarFileCrawler::OpenArchive(char *pComment, UINT cbComment)
{
    State &state = *m_pState;
    if (state.bOpened)
        return state.list.hArchive != nullptr ? S_OK : E_FAIL;
    state.bOpened = true;
    RETURN_IF_FAILED(state.list.Open(m_pszArchive.get(), m_stream.Get(), RAR_OM_LIST, m_pBudget.Get(), pComment,
                                     cbComment));
    ArchiveHandle &extract = state.extract;
    if (extract.Open(m_pszArchive.get(), m_stream.Get(), RAR_OM_EXTRACT, m_pBudget.Get()) == S_OK && extract.IsSolid()) {
        if (!m_bScanned)
            ScanHeaders(nullptr, nullptr);
        RARSetSolidStreamSize(extract.hArchive, m_cbLargestSolid);
    }
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

// Reads the extract handle's next header for the entry the list handle has just read. The list
// handle passes over the later parts of a file split across volumes; so does this one. Any
// other difference means the handles are out of step, and nothing more may be extracted: S_OK in
// step, E_FAIL out of step or without an extract handle.
HRESULT CRarFileCrawler::ReadExtractHeaderInStep()
{
    ArchiveHandle &extract = m_pState->extract;
    const RARHeaderDataEx &listHeader = m_pState->list.header;
    for (ULONG parts = 0; parts < MAX_SKIPPED_HEADERS; ++parts) {
        RETURN_IF_FAILED(PassExtractEntry());
        if (extract.ReadHeader() != ERAR_SUCCESS)
            return E_FAIL;
        if ((extract.header.Flags & RHDF_SPLITBEFORE) == 0 || (listHeader.Flags & RHDF_SPLITBEFORE) != 0)
            return std::wcsncmp(extract.header.FileNameW, listHeader.FileNameW, ARRAYSIZE(listHeader.FileNameW)) == 0
                       ? S_OK
                       : E_FAIL;
    }
    return E_FAIL;
}

// Where the data of an entry decoded on the extract handle goes: collected into memory up to
// what its header announced, or counted as work done only to pass it.
struct DecodeSink {
    CByteBuffer *pBytes = nullptr;        // collect here, within the room reserved for the entry
    CRunBudget *pSkipWork = nullptr;      // else count here, when there is an account
    bool bRefused = false;                // more than announced, past the run's work bound or the call's deadline
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
        if (cb > SIZE_MAX || !sink->pBytes->Append(reinterpret_cast<const void *>(p1), static_cast<size_t>(cb))) {
            sink->bRefused = true;
            sink->pBytes->Free();
            return -1;
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
    if (MakeSafeFileName(m_pszEntryName.get(), szSafe, ARRAYSIZE(szSafe)) != S_OK)
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

    DecodeSink sink;  // nothing to collect: the call's deadline is kept
    if (DecodeExtractEntry(RAR_EXTRACT, pszDestPath, &sink) != ERAR_SUCCESS || sink.bRefused) {
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
HRESULT CRarFileCrawler::ReadCurrentEntryToMemory(ULONGLONG cbBudget, CByteBuffer *pBytes, CBudgetCharge *pCharge)
{
    if (m_pState == nullptr || pBytes == nullptr || pCharge == nullptr || m_pState->list.hArchive == nullptr)
        return S_FALSE;
    ArchiveHandle &extract = m_pState->extract;
    if (extract.hArchive == nullptr || !extract.bPending || extract.header.RedirType != 0 ||
        m_pState->list.header.RedirType != 0 || (extract.header.Flags & RHDF_ENCRYPTED) != 0)
        return S_FALSE;  // refused on the file route, as there
    // A document the run cannot hold goes to the file route, which costs it no memory.
    const ULONGLONG cbAnnounced = UnpackedSize(extract.header);
    if (cbAnnounced > cbBudget || cbAnnounced > SIZE_MAX || !pCharge->TryResize(cbAnnounced))
        return S_FALSE;
    if (!pBytes->Reserve(static_cast<size_t>(cbAnnounced))) {
        pCharge->Reset();
        return S_FALSE;
    }
    if (m_pState->list.Skip() != ERAR_SUCCESS)
        return E_FAIL;
    DecodeSink sink;
    sink.pBytes = pBytes;
    const int result = DecodeExtractEntry(RAR_TEST, nullptr, &sink);
    if (result != ERAR_SUCCESS || sink.bRefused) {
        pBytes->Free();
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
    if (DeleteCurrentExtractedFile() == S_OK)
        m_bHasEntry = false;
    m_bEntryInMemory = false;
    m_entryBytes.Free();
    m_entryCharge.Reset();

    for (ULONG skipped = 0;; ++skipped) {
        if (skipped == MAX_IGNORED_ENTRIES || ReadNextEntry(pszName, cchName, pszFolder, cchFolder) != S_OK)
            return FILTER_E_END_OF_CHUNKS;
        if (!IsEntryIgnored(pszName))
            break;
    }
    if (SafeStringCopy(m_pszEntryName.get(), CRAWLER_NAME_CHARS, pszName) != S_OK ||
        SafeStringCopy(m_pszEntryFolder.get(), CRAWLER_NAME_CHARS, pszFolder) != S_OK)
        return E_FAIL;
    m_pszExtractedPath[0] = L'\0';
    m_bHasEntry = true;
    return S_OK;
}

HRESULT CRarFileCrawler::ReadEntryToMemory(ULONGLONG cbMost)
{
    if (!m_bHasEntry || m_bEntryInMemory || m_pszExtractedPath[0] != L'\0')
        return S_FALSE;
    m_entryCharge = CBudgetCharge(m_pBudget.Get());
    const HRESULT hr = ReadCurrentEntryToMemory(cbMost, &m_entryBytes, &m_entryCharge);
    if (hr == S_OK) {
        m_bEntryInMemory = true;
        return S_OK;
    }
    m_entryBytes.Free();
    m_entryCharge.Reset();
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
