// The IFilter stream of the filter object: one title chunk, then per archive entry a chunk with
// its path and the chunks of its child filter, all numbered by one counter of our own.
#include "filter/IFilterBase.h"
#include "support/Capacities.h"
#include "childfilter/ChildFilterLoader.h"
#include "crawler/RarFileCrawler.h"
#include "support/CallContext.h"
#include "support/Check.h"
#include "support/Guids.h"
#include "support/Holders.h"
#include "support/RunLimits.h"
#include "support/SafeString.h"


#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

namespace {

constexpr PROPID PROPID_TITLE = 2;   // PIDSI_TITLE
constexpr PROPID PROPID_NAME = 10;   // PID_STG_NAME

constexpr ULONG TITLE_CHARS = CCH_TITLE;
constexpr int ANSI_PATH_BYTES = CCH_TITLE;  // the archive path in the ANSI code page
constexpr unsigned int COMMENT_BYTES = CB_ARCHIVE_COMMENT;
constexpr int MAX_TITLE_BYTES = 255;   // the base name, in the ANSI code page
constexpr ULONG MAX_ENTRIES_PER_CALL = 0x1000000;
// A child that keeps saying its next chunk is unavailable is let go after so many in a row.
constexpr ULONG MAX_CHILD_UNAVAILABLE = 64;

void FillOwnChunk(STAT_CHUNK *pStat, ULONG idChunk, const GUID &propset, PROPID propid, CHUNKSTATE flags)
{
    pStat->idChunk = idChunk;
    pStat->breakType = CHUNK_NO_BREAK;
    pStat->locale = GetSystemDefaultLCID();
    pStat->attribute.guidPropSet = propset;
    pStat->attribute.psProperty.ulKind = PRSPEC_PROPID;
    pStat->attribute.psProperty.propid = propid;
    pStat->idChunkSource = idChunk;
    pStat->cwcStartSource = 0;
    pStat->cwcLenSource = 0;
    pStat->flags = flags;
}

// How many of the first cch characters can go out without splitting a surrogate pair.
size_t WholeCharacters(const wchar_t *psz, size_t cch) noexcept
{
    return cch > 0 && IS_HIGH_SURROGATE(psz[cch - 1]) ? cch - 1 : cch;
}

// Does the ANSI code page carry the path without loss? Only asked: nothing is converted.
bool IsAnsiPath(const wchar_t *pszPath)
{
    BOOL bLossy = FALSE;
    const int cb = WideCharToMultiByte(CP_ACP, 0, pszPath, -1, nullptr, 0, nullptr, &bLossy);
    return cb > 0 && cb <= ANSI_PATH_BYTES && !bLossy;
}

// The archive's file name without folder and without its last extension, cut so that it takes
// at most MAX_TITLE_BYTES in the ANSI code page (never inside a character). false when nothing is
// left of it (".rar", "C:\dir\"): such an archive gets no title chunk, as a nameless one.
bool TitleFromPath(const wchar_t *pszPath, wchar_t *pszBuffer, ULONG cchBuffer)
{
    const wchar_t *name = pszPath;
    for (const wchar_t *p = pszPath; *p != L'\0'; ++p)
        if (*p == L'\\' || *p == L'/' || *p == L':')
            name = p + 1;
    const wchar_t *dot = std::wcsrchr(name, L'.');
    size_t cch = dot != nullptr ? static_cast<size_t>(dot - name) : std::wcslen(name);
    if (cch >= cchBuffer)
        cch = cchBuffer - 1;
    while (cch > 0 &&
           WideCharToMultiByte(CP_ACP, 0, name, static_cast<int>(cch), nullptr, 0, nullptr, nullptr) > MAX_TITLE_BYTES)
        --cch;
    cch = WholeCharacters(name, cch);
    std::wmemcpy(pszBuffer, name, cch);
    pszBuffer[cch] = L'\0';
    return cch > 0;
}

// Did the host's Init ask for this property? With an attribute list, the host is given only the
// properties on it (IFilter::Init); entries named by no string ask for nothing, and a list made
// only of those counts as no list, as a count without its array does.
bool IsRequested(ULONG cAttributes, const FULLPROPSPEC *aAttributes, const FULLPROPSPEC &attribute)
{
    if (cAttributes == 0 || aAttributes == nullptr)
        return true;
    bool bAnyUsable = false;
    for (ULONG i = 0; i < cAttributes; ++i) {
        const PROPSPEC &wanted = aAttributes[i].psProperty;
        const bool bById = wanted.ulKind == PRSPEC_PROPID;
        if (!bById && (wanted.ulKind != PRSPEC_LPWSTR || wanted.lpwstr == nullptr))
            continue;
        bAnyUsable = true;
        const PROPSPEC &given = attribute.psProperty;
        if (!IsEqualGUID(aAttributes[i].guidPropSet, attribute.guidPropSet) || given.ulKind != wanted.ulKind)
            continue;
        if (bById ? given.propid == wanted.propid : given.lpwstr != nullptr && lstrcmpiW(given.lpwstr, wanted.lpwstr) == 0)
            return true;
    }
    return !bAnyUsable;
}

// The name chunk of an entry is its folder, a backslash unless the folder is empty or ends with
// one, and its name.
bool NeedsSeparator(const wchar_t *pszFolder, size_t cchFolder) noexcept
{
    return cchFolder != 0 && pszFolder[cchFolder - 1] != L'\\';
}

size_t EntryNameLength(const wchar_t *pszName, const wchar_t *pszFolder) noexcept
{
    const size_t cchFolder = std::wcslen(pszFolder);
    return cchFolder + (NeedsSeparator(pszFolder, cchFolder) ? 1 : 0) + std::wcslen(pszName);
}

// The start of a name, cchGiven characters of it: its extension kept when it takes at most half,
// and never half a character.
void ShortenName(const wchar_t *pszName, size_t cchName, size_t cchGiven, wchar_t *pszText)
{
    const wchar_t *pszExt = std::wcsrchr(pszName, L'.');
    const size_t cchExt = pszExt != nullptr ? cchName - static_cast<size_t>(pszExt - pszName) : 0;
    const bool bKeepExt = cchExt != 0 && cchExt * 2 <= cchGiven;
    const size_t cchStart = WholeCharacters(pszName, bKeepExt ? cchGiven - cchExt : cchGiven);
    std::wmemcpy(pszText, pszName, cchStart);
    pszText[cchStart] = L'\0';
    if (bKeepExt)
        std::wmemcpy(pszText + cchStart, pszExt, cchExt + 1);
}

// The characters a value gives as text: its string's length; 0 for a value of another type.
ULONGLONG ValueTextLength(const PROPVARIANT &value) noexcept
{
    switch (value.vt) {
    case VT_LPWSTR:
        return value.pwszVal != nullptr ? std::wcslen(value.pwszVal) : 0;
    case VT_BSTR:
        return value.bstrVal != nullptr ? SysStringLen(value.bstrVal) : 0;
    case VT_LPSTR:
        return value.pszVal != nullptr ? std::strlen(value.pszVal) : 0;
    default:
        return 0;
    }
}

} // namespace

// --- IFilter stream ------------------------------------------------------------------------

// Each call turns whatever is thrown inside it into the one code its contract allows for the end.
STDMETHODIMP CIFilterBase::GetChunk(STAT_CHUNK *pStat)
{
    if (pStat == nullptr)
        return E_POINTER;
    const CCallFrame frame(m_pBudget.Get(), m_plan.CallMilliseconds(), CallKind::Filtering);
    HRESULT hr = FILTER_E_END_OF_CHUNKS;
    try {
        hr = DoGetChunk(pStat);
    } catch (...) {
        DropChildFilter();
        hr = FILTER_E_END_OF_CHUNKS;
    }
    // A failed call leaves no chunk current: GetText and GetValue must not reach the child then.
    m_chunkKind = SUCCEEDED(hr) ? pStat->flags : static_cast<CHUNKSTATE>(0);
    m_bTextOver = false;
    return hr;
}

// A child filter may make objects of its own in any of its calls, an archive of ours among them:
// each call that reaches the child carries the run, so that such an object joins it.
STDMETHODIMP CIFilterBase::GetText(ULONG *pcwcBuffer, WCHAR *awcBuffer)
{
    const CCallFrame frame(m_pBudget.Get(), m_plan.CallMilliseconds(), CallKind::Relaying);
    try {
        return DoGetText(pcwcBuffer, awcBuffer);
    } catch (...) {
        return FILTER_E_NO_TEXT;
    }
}

STDMETHODIMP CIFilterBase::GetValue(PROPVARIANT **ppPropValue)
{
    const CCallFrame frame(m_pBudget.Get(), m_plan.CallMilliseconds(), CallKind::Relaying);
    try {
        return DoGetValue(ppPropValue);
    } catch (...) {
        return FILTER_E_NO_MORE_VALUES;  // one of GetValue's own codes: this chunk's value is lost
    }
}

STDMETHODIMP CIFilterBase::BindRegion(FILTERREGION, REFIID, void **) { return E_NOTIMPL; }

HRESULT CIFilterBase::DoGetChunk(STAT_CHUNK *pStat)
{
    if (pStat == nullptr)
        return E_POINTER;
    if (m_pCrawler == nullptr) {
        m_bCompleted = true;
        return FILTER_E_END_OF_CHUNKS;
    }
    if (m_nChunkId == 0) {
        // The title's text comes with the archive's first open, before the header pass opens it.
        if (!m_bTitleMade) {
            m_bTitleMade = true;
            MakeTitle();
        }
        // No text goes out before the header pass has read every header: one the call cannot
        // finish goes on in the next call, which the host is told to make.
        if (PlanRun() == S_FALSE)
            return FILTER_E_EMBEDDING_UNAVAILABLE;
        m_nChunkId = 1;
        if (GiveTitleChunk(pStat) == S_OK)
            return S_OK;
        // No title, or one the host did not ask for: the first entry's chunk is chunk 1.
        FreeOwnChunk();
    } else {
        FreeOwnChunk();
        ++m_nChunkId;
    }

    // Each turn either hands out a chunk or moves past one entry, so the archive's end
    // ends the loop; the bound only guards against a walk that never ends.
    for (ULONG turn = 0; turn < MAX_ENTRIES_PER_CALL; ++turn) {
        if (m_pChildFilter.Get() == nullptr) {
            wchar_t *pszName = m_pszEntryName.get(), *pszFolder = m_pszEntryFolder.get();
            wchar_t *pszPath = m_pszEntryPath.get();
            if (pszName == nullptr || pszFolder == nullptr || pszPath == nullptr)
                return E_OUTOFMEMORY;
            // Entries passed without a chunk (names the host did not ask for) stop at the call's
            // deadline too: the next call goes on with the next entry.
            const HRESULT hr = turn != 0 && CallDeadlinePassed() ? E_PENDING : OpenNextEntry(pszName, pszFolder, pszPath);
            if (hr == E_PENDING) {
                --m_nChunkId;
                return FILTER_E_EMBEDDING_UNAVAILABLE;
            }
            if (hr == FILTER_E_END_OF_CHUNKS)
                return hr;
            if (hr != S_OK && hr != S_FALSE)
                return FILTER_E_END_OF_CHUNKS;
            const HRESULT hrName = MakeEntryNameChunk(pStat, pszName, pszFolder);
            if (hrName == S_OK)
                return hrName;
            if (FAILED(hrName))
                return hrName;
            if (hr == S_FALSE)
                continue;  // no chunk of its name, and nothing more of it
        }
        // A document past its share, or a run past its time, gives no more chunks.
        if (!m_plan.CanStartDocument())
            m_plan.CutDocument();
        if (m_plan.IsDocumentCut()) {
            DropChildFilter();
            continue;
        }
        const HRESULT hrChild = m_relay.GetChunk(pStat);
        if (hrChild == S_OK) {
            m_cChildUnavailable = 0;
            // A child's chunk the host did not ask for is passed over (the child was given the
            // host's list, but not every filter heeds it).
            if (!IsRequested(m_cAttributes, m_aAttributes.get(), pStat->attribute))
                continue;
            pStat->idChunk = m_nChunkId;
            pStat->idChunkSource = m_nChunkId;
            return S_OK;
        }
        // A chunk the child cannot give now, and the next call goes on after it (an archive of
        // ours whose call ran out of time): said to the host as the child said it.
        if ((hrChild == FILTER_E_EMBEDDING_UNAVAILABLE || hrChild == FILTER_E_LINK_UNAVAILABLE) &&
            ++m_cChildUnavailable < MAX_CHILD_UNAVAILABLE) {
            --m_nChunkId;
            return hrChild;
        }
        // The child ended or failed: its result is not ours to report.
        DropChildFilter();
    }
    return FILTER_E_END_OF_CHUNKS;
}

HRESULT CIFilterBase::DoGetText(ULONG *pcwcBuffer, WCHAR *awcBuffer)
{
    if (pcwcBuffer == nullptr || awcBuffer == nullptr)
        return E_POINTER;
    const ULONG cwcBuffer = *pcwcBuffer;
    if (m_bTextOver || m_chunkKind != CHUNK_TEXT) {
        *pcwcBuffer = 0;
        return m_bTextOver ? FILTER_E_NO_MORE_TEXT : FILTER_E_NO_TEXT;
    }
    // Not even the terminator fits: nothing is copied and nothing is used up.
    if (cwcBuffer == 0)
        return E_INVALIDARG;
    if (m_pOwnChunk == nullptr) {
        if (m_relay.Child() != nullptr)
            return RelayText(pcwcBuffer, awcBuffer);
        *pcwcBuffer = 0;
        return FILTER_E_NO_TEXT;
    }
    if (m_pOwnChunk->delivered || m_pOwnChunk->text == nullptr) {
        *pcwcBuffer = 0;
        FreeOwnChunk();
        m_bTextOver = true;
        return FILTER_E_NO_MORE_TEXT;
    }

    const wchar_t *rest = m_pOwnChunk->text.get() + m_pOwnChunk->position;
    const size_t cchRest = std::wcslen(rest);
    if (cwcBuffer > cchRest) {
        std::wmemcpy(awcBuffer, rest, cchRest + 1);
        *pcwcBuffer = static_cast<ULONG>(cchRest);
        m_pOwnChunk->delivered = TRUE;
        return FILTER_S_LAST_TEXT;
    }
    // A piece of no characters would never move on: a one-character buffer cannot carry text.
    if (cwcBuffer == 1) {
        *pcwcBuffer = 0;
        return E_INVALIDARG;
    }
    const ULONG cwcPiece = cwcBuffer - 1;
    std::wmemcpy(awcBuffer, rest, cwcPiece);
    awcBuffer[cwcPiece] = L'\0';
    *pcwcBuffer = cwcPiece;
    m_pOwnChunk->position += cwcPiece;
    return S_OK;
}

// The child's text, as far as the document's share goes: the piece that reaches it is the
// chunk's last (FILTER_S_LAST_TEXT), and the document gives nothing more.
HRESULT CIFilterBase::RelayText(ULONG *pcwcBuffer, WCHAR *awcBuffer)
{
    if (!m_plan.CanStartDocument())
        m_plan.CutDocument();
    const ULONGLONG cchRoom = m_plan.DocumentRoom();
    if (cchRoom == 0) {
        *pcwcBuffer = 0;
        m_bTextOver = true;
        return FILTER_E_NO_MORE_TEXT;
    }
    const ULONG cwcAsked = *pcwcBuffer;
    // Where the share ends inside the host's buffer, the child is given one character more than
    // the share, for a filter that ends its text with a terminator: never a buffer of one, which
    // no child can fill. Whatever it gives past the share is cut here.
    const bool bCutHere = cchRoom < cwcAsked;
    if (bCutHere)
        *pcwcBuffer = static_cast<ULONG>(cchRoom) + 1;
    const HRESULT hr = m_relay.GetText(pcwcBuffer, awcBuffer);
    if (FAILED(hr) || *pcwcBuffer > cwcAsked)
        return hr;
    ULONG cwc = *pcwcBuffer;
    if (bCutHere && cwc >= cchRoom) {
        cwc = static_cast<ULONG>(cchRoom);
        // Never half a character: a high surrogate at the cut goes with the rest.
        if (cwc > 1 && IS_HIGH_SURROGATE(awcBuffer[cwc - 1]))
            --cwc;
        *pcwcBuffer = cwc;
        if (cwc < cwcAsked)
            awcBuffer[cwc] = L'\0';
        m_plan.SpendDocument(cwc);
        m_plan.CutDocument();
        return FILTER_S_LAST_TEXT;
    }
    m_plan.SpendDocument(cwc);
    return hr;
}

HRESULT CIFilterBase::DoGetValue(PROPVARIANT **ppPropValue)
{
    if (ppPropValue == nullptr)
        return E_POINTER;
    if (m_chunkKind != CHUNK_VALUE) {
        *ppPropValue = nullptr;
        return FILTER_E_NO_VALUES;
    }
    if (m_pOwnChunk != nullptr) {
        *ppPropValue = nullptr;
        if (m_pOwnChunk->delivered || m_pOwnChunk->text == nullptr) {
            FreeOwnChunk();
            return FILTER_E_NO_MORE_VALUES;
        }
        const size_t cch = std::wcslen(m_pOwnChunk->text.get()) + 1;
        CCoTaskMem value(CoTaskMemAlloc(sizeof(PROPVARIANT)));
        CCoTaskMem text(CoTaskMemAlloc(cch * sizeof(wchar_t)));
        if (!value || !text)
            return E_OUTOFMEMORY;
        std::wmemcpy(static_cast<wchar_t *>(text.Get()), m_pOwnChunk->text.get(), cch);
        auto *pValue = static_cast<PROPVARIANT *>(value.Detach());
        PropVariantInit(pValue);
        pValue->vt = VT_LPWSTR;
        pValue->pwszVal = static_cast<wchar_t *>(text.Detach());
        *ppPropValue = pValue;
        m_pOwnChunk->delivered = TRUE;
        return S_OK;
    }
    if (m_relay.Child() == nullptr) {
        *ppPropValue = nullptr;
        return FILTER_E_NO_VALUES;
    }

    const HRESULT hr = m_relay.GetValue(ppPropValue);
    PROPVARIANT *pValue = hr == S_OK ? *ppPropValue : nullptr;
    // A value counts by its text; one past the document's share is not handed out.
    if (pValue != nullptr) {
        const ULONGLONG cch = ValueTextLength(*pValue);
        if (cch > m_plan.DocumentRoom()) {
            PropVariantClear(pValue);
            CoTaskMemFree(pValue);
            *ppPropValue = nullptr;
            m_plan.CutDocument();
            return FILTER_E_NO_MORE_VALUES;
        }
        m_plan.SpendDocument(cch);
    }
    if (pValue != nullptr && pValue->vt == VT_LPWSTR && pValue->pwszVal != nullptr) {
        // A document that asks not to be indexed gets an empty value instead of the marker.
        std::unique_ptr<wchar_t[]> lower = DuplicateString(pValue->pwszVal);
        if (lower) {
            CharLowerW(lower.get());
            if (std::wcscmp(lower.get(), L"noindex") == 0 || std::wcscmp(lower.get(), L"none") == 0)
                pValue->pwszVal[0] = L'\0';
        }
    }
    return hr;
}

// --- the archive's title ---------------------------------------------------------------------

HRESULT CIFilterBase::GetArchiveTitle(wchar_t *pszBuffer, ULONG cchBuffer, CHUNKSTATE *pKind)
{
    *pKind = CHUNK_VALUE;
    pszBuffer[0] = L'\0';
    // The archive this run walks: a Load after Init names the next run's archive, not this one's.
    const wchar_t *pszArchive = m_pCrawler != nullptr ? m_pCrawler->ArchivePath() : m_pszFileName.get();
    const bool bFromStream = m_pCrawler != nullptr && m_pCrawler->ArchiveStream() != nullptr;
    // The comment, text of the ANSI code page, comes with the crawler's first open of the archive.
    // A path that code page cannot carry gets its name as its title, as it always has.
    if (m_pCrawler != nullptr && (bFromStream || (pszArchive != nullptr && IsAnsiPath(pszArchive)))) {
        std::unique_ptr<char[]> comment(new (std::nothrow) char[COMMENT_BYTES]());
        if (comment && m_pCrawler->ReadComment(comment.get(), COMMENT_BYTES) == S_OK &&
            MultiByteToWideChar(CP_ACP, 0, comment.get(), -1, pszBuffer, static_cast<int>(cchBuffer)) > 0) {
            *pKind = CHUNK_TEXT;
            return S_OK;
        }
        pszBuffer[0] = L'\0';
    }
    // Else the name the path or the host's stream gives; a stream without one has no title.
    if (pszArchive == nullptr)
        return bFromStream ? S_FALSE : S_OK;
    return TitleFromPath(pszArchive, pszBuffer, cchBuffer) ? S_OK : S_FALSE;
}

// --- own chunks and entries ------------------------------------------------------------------

// With an allowance from the host, the header pass reads every header before any text goes out:
// every name the run will give is reserved, and every entry the hosting engine has a filter for is
// counted as a document that will be read. S_OK: planned (or nothing to plan); S_FALSE: the call's
// deadline came first, and the pass goes on in the next call.
HRESULT CIFilterBase::PlanRun()
{
    if (!m_plan.HasTextAllowance() || m_pCrawler == nullptr)
        return S_OK;
    STAT_CHUNK name{};
    FillOwnChunk(&name, 1, PROPSET_STORAGE, PROPID_NAME, CHUNK_TEXT);
    m_bNamesRequested = IsRequested(m_cAttributes, m_aAttributes.get(), name.attribute);
    const HRESULT hr = m_pCrawler->ReadItems(
        [](void *pContext, const wchar_t *pszPath, size_t cchFolder, ULONGLONG) {
            auto *self = static_cast<CIFilterBase *>(pContext);
            const wchar_t *pszName = pszPath + cchFolder;
            if (self->m_bNamesRequested) {
                const size_t cchName = std::wcslen(pszName);
                self->m_plan.ReserveName(cchFolder + cchName, cchName);
            }
            FilterRegistryInfo info;
            if (self->m_pFilterLoader != nullptr && self->m_pFilterLoader->FindFilter(pszName, &info))
                self->m_plan.CountDocument();
        },
        this);
    if (hr == S_FALSE)
        return S_FALSE;
    m_plan.FitNames();
    return S_OK;
}

// The title's text, read once, before the header pass: it goes out when the plan is made.
void CIFilterBase::MakeTitle()
{
    std::unique_ptr<OwnChunk> chunk(new (std::nothrow) OwnChunk);
    std::unique_ptr<wchar_t[]> title(new (std::nothrow) wchar_t[TITLE_CHARS]());
    if (!chunk || !title || GetArchiveTitle(title.get(), TITLE_CHARS, &m_titleKind) != S_OK)
        return;
    chunk->text = DuplicateString(title.get());
    if (chunk->text)
        m_pTitleChunk = std::move(chunk);
}

// The title chunk (id 1), cut to what the names leave of the host's allowance: S_OK when it is
// current; S_FALSE when there is none, the host did not ask for it, or nothing of it fits.
HRESULT CIFilterBase::GiveTitleChunk(STAT_CHUNK *pStat)
{
    FillOwnChunk(pStat, 1, PROPSET_SUMMARY_INFORMATION, PROPID_TITLE, m_titleKind);
    if (!m_pTitleChunk || !IsRequested(m_cAttributes, m_aAttributes.get(), pStat->attribute))
        return S_FALSE;
    wchar_t *pszTitle = m_pTitleChunk->text.get();
    const ULONGLONG cchRoom = m_plan.TitleRoom();
    size_t cch = std::wcslen(pszTitle);
    const bool bCut = cch > cchRoom;
    if (bCut) {
        cch = WholeCharacters(pszTitle, static_cast<size_t>(cchRoom));
        pszTitle[cch] = L'\0';
    }
    m_plan.SpendTitle(cch, bCut);
    if (cch == 0)
        return S_FALSE;
    m_pOwnChunk = m_pTitleChunk.get();
    return S_OK;
}

// The entry's name chunk, from the name and folder NextEntry gave (they are not read again), in
// the form the plan gives names: S_OK when it is current; S_FALSE when the entry has none (the
// host did not ask for names, or not a character of each fits).
HRESULT CIFilterBase::MakeEntryNameChunk(STAT_CHUNK *pStat, const wchar_t *pszName, const wchar_t *pszFolder)
{
    if (m_pCrawler == nullptr)
        return FILTER_E_END_OF_CHUNKS;
    FillOwnChunk(pStat, m_nChunkId, PROPSET_STORAGE, PROPID_NAME, CHUNK_TEXT);
    if (!IsRequested(m_cAttributes, m_aAttributes.get(), pStat->attribute))
        return S_FALSE;
    wchar_t *pszText = m_nameChunk.text.get();
    RETURN_IF_NULL_ALLOC(pszText);
    const size_t cchName = std::wcslen(pszName);
    const size_t cchPath = EntryNameLength(pszName, pszFolder);
    if (cchPath >= NAME_CHUNK_CHARS)
        return E_FAIL;
    NameForm form = NameForm::Path;
    const auto cchGiven = static_cast<size_t>(m_plan.NameLength(cchPath, cchName, &form));
    pszText[0] = L'\0';
    if (form == NameForm::Path) {
        SafeStringCopy(pszText, NAME_CHUNK_CHARS, pszFolder);
        if (NeedsSeparator(pszFolder, std::wcslen(pszFolder)))
            SafeStringCat(pszText, NAME_CHUNK_CHARS, L"\\");
        SafeStringCat(pszText, NAME_CHUNK_CHARS, pszName);
    } else if (cchGiven >= cchName) {
        SafeStringCopy(pszText, NAME_CHUNK_CHARS, pszName);
    } else {
        ShortenName(pszName, cchName, cchGiven, pszText);
    }
    const size_t cch = std::wcslen(pszText);
    m_plan.SpendName(cchPath, cchName, cch);
    if (cch == 0)
        return S_FALSE;
    m_nameChunk.delivered = FALSE;
    m_nameChunk.position = 0;
    m_pOwnChunk = &m_nameChunk;
    return S_OK;
}

HRESULT CIFilterBase::OpenNextEntry(wchar_t *pszName, wchar_t *pszFolder, wchar_t *pszExtractedPath)
{
    if (m_pCrawler == nullptr)
        return S_FALSE;
    pszExtractedPath[0] = L'\0';
    const HRESULT hrNext = m_pCrawler->NextEntry(pszName, CRAWLER_NAME_CHARS, pszFolder, CRAWLER_NAME_CHARS);
    if (hrNext == E_PENDING)
        return E_PENDING;
    if (hrNext != S_OK) {
        m_pCrawler.reset();
        m_bCompleted = true;
        return FILTER_E_END_OF_CHUNKS;
    }
    if (LoadEntryChild(pszName, pszExtractedPath) != S_OK) {
        DropChildFilter();
        return S_FALSE;
    }
    ULONG flags = 0;
    const HandedDown share = m_plan.HandDown();
    const CHandDownScope handDown(&share);  // an archive of ours inside spends the document's share
    if (m_pChildFilter.Get()->Init(m_grfFlags, m_cAttributes, m_aAttributes.get(), &flags) != S_OK) {
        m_plan.AbandonDocument();
        DropChildFilter();
        return S_FALSE;
    }
    m_relay.Attach(m_pChildFilter.Get());
    return S_OK;
}

// What becomes of the current entry is decided here, once: named only when the hosting engine has
// no filter for it; read from memory when that filter reads streams and the document fits the
// per-document cap and the run's account; else extracted into the run's folder. S_OK: the entry's
// child filter is held, loaded with its document; S_FALSE: the entry is named only.
HRESULT CIFilterBase::LoadEntryChild(const wchar_t *pszName, wchar_t *pszExtractedPath)
{
    FilterRegistryInfo info;
    if (m_pFilterLoader == nullptr || !m_pFilterLoader->FindFilter(pszName, &info))
        return S_FALSE;
    // Past the run's time, or with nothing left of the allowance for it, a document is named only.
    if (!m_plan.CanStartDocument()) {
        m_plan.PassDocument();
        return S_FALSE;
    }
    m_plan.BeginDocument();
    if (m_plan.DocumentRoom() == 0) {
        m_plan.LeaveOutDocument();
        return S_FALSE;
    }
    const HandedDown share = m_plan.HandDown();
    const CHandDownScope handDown(&share);
    HRESULT hrMemory = S_FALSE;
    if (m_bChildStreams && m_pFilterLoader->TakesStream(info, m_pStream.Get() != nullptr))
        hrMemory = m_pCrawler->ReadEntryToMemory();
    HRESULT hr = S_FALSE;
    if (hrMemory == S_OK) {
        CComPtr<IStream> document;
        document.Attach(m_pCrawler->TakeEntryStream());
        if (document)
            hr = m_pFilterLoader->LoadChild(info, document.Get(), m_pChildFilter);
    } else if (hrMemory == S_FALSE && m_pCrawler->ExtractEntry(pszExtractedPath, CRAWLER_NAME_CHARS) == S_OK) {
        hr = m_pFilterLoader->LoadChild(info, pszExtractedPath, m_pChildFilter);
    }
    if (hr != S_OK)
        m_plan.AbandonDocument();
    return hr == S_OK ? S_OK : S_FALSE;
}

void CIFilterBase::DropChildFilter()
{
    // An archive of ours inside may have cut what it gave (its title, a document, or left one
    // out): the document is then given in part.
    if (m_pChildFilter.Get() != nullptr) {
        CComPtr<IRunReport> reporter;
        RunReport report{};
        report.cbSize = sizeof(report);
        if (SUCCEEDED(m_pChildFilter.Get()->QueryInterface(IID_IRunReport, reporter.PutVoid())) &&
            SUCCEEDED(reporter->GetRunReport(&report)) &&
            (report.cDocumentsInPart != 0 || report.cDocumentsLeftOut != 0 || report.bTitleCut))
            m_plan.MarkDocumentInPart();
    }
    m_cChildUnavailable = 0;
    // The child goes before its module is freed, and before the crawler deletes its file.
    m_relay.Attach(nullptr);
    m_pChildFilter.Release();
    m_plan.EndDocument();
}

void CIFilterBase::FreeOwnChunk()
{
    m_pOwnChunk = nullptr;
    m_pTitleChunk.reset();
}
