#include "crawler/FileCrawlerBase.h"
#include "support/FileUtil.h"
#include "support/MemoryStream.h"
#include "support/SafeString.h"

#include <filterr.h>
#include <cwchar>
#include <new>

namespace {

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

} // namespace

CFileCrawlerBase::CFileCrawlerBase(const wchar_t *pszArchive, const wchar_t *pszTempFolder)
    : m_pszArchive(DuplicateString(pszArchive)),
      m_pszTempFolder(DuplicateString(pszTempFolder)),
      m_pszEntryName(NewNameBuffer()),
      m_pszEntryFolder(NewNameBuffer()),
      m_pszExtractedPath(NewNameBuffer())
{
}

CFileCrawlerBase::~CFileCrawlerBase() = default;

BOOL CFileCrawlerBase::GetCurrentEntry(wchar_t *pszName, ULONG cchName, wchar_t *pszFolder, ULONG cchFolder,
                                       wchar_t *pszExtractedPath, ULONG cchExtractedPath)
{
    if (!m_bHasEntry)
        return FALSE;
    CopyCurrentEntry(pszName, cchName, pszFolder, cchFolder, pszExtractedPath, cchExtractedPath);
    return TRUE;
}

void CFileCrawlerBase::CopyCurrentEntry(wchar_t *pszName, ULONG cchName, wchar_t *pszFolder, ULONG cchFolder,
                                        wchar_t *pszExtractedPath, ULONG cchExtractedPath) const noexcept
{
    CopyOut(pszName, cchName, m_pszEntryName.get());
    CopyOut(pszFolder, cchFolder, m_pszEntryFolder.get());
    CopyOut(pszExtractedPath, cchExtractedPath, m_pszExtractedPath.get());
}

BOOL CFileCrawlerBase::CloseArchive() { return TRUE; }
BOOL CFileCrawlerBase::IsEntryIgnored(const wchar_t *, const wchar_t *) { return FALSE; }
HRESULT CFileCrawlerBase::ReadNextEntry(wchar_t *, ULONG, wchar_t *, ULONG) { return E_NOTIMPL; }
HRESULT CFileCrawlerBase::ExtractCurrentEntry(wchar_t *, ULONG) { return E_NOTIMPL; }
BOOL CFileCrawlerBase::DeleteExtractedFile() { return TRUE; }
HRESULT CFileCrawlerBase::ReadComment(char *, ULONG) { return S_FALSE; }
HRESULT CFileCrawlerBase::ReadCurrentEntryToMemory(ULONGLONG, std::vector<BYTE> *, CBudgetCharge *) { return S_FALSE; }

IStream *CFileCrawlerBase::TakeEntryStream() noexcept
{
    if (!m_bEntryInMemory)
        return nullptr;
    m_bEntryInMemory = FALSE;
    return CreateMemoryDocumentStream(std::move(m_entryBytes), m_pszEntryName.get(), std::move(m_entryCharge));
}

BOOL CFileCrawlerBase::DeleteCurrentExtractedFile()
{
    return m_bHasEntry && m_pszExtractedPath != nullptr && m_pszExtractedPath[0] != L'\0' &&
           IsExistingFile(m_pszExtractedPath.get()) && DeleteExtractedFile();
}

HRESULT CFileCrawlerBase::NextEntry(wchar_t *pszName, ULONG cchName, wchar_t *pszFolder, ULONG cchFolder)
{
    if (m_pszEntryName == nullptr || m_pszEntryFolder == nullptr || m_pszExtractedPath == nullptr)
        return E_OUTOFMEMORY;
    if (DeleteCurrentExtractedFile())
        m_bHasEntry = FALSE;
    m_bEntryInMemory = FALSE;
    std::vector<BYTE>().swap(m_entryBytes);
    m_entryCharge.Reset();

    for (ULONG skipped = 0;; ++skipped) {
        if (skipped == MAX_IGNORED_ENTRIES || ReadNextEntry(pszName, cchName, pszFolder, cchFolder) != S_OK)
            return FILTER_E_END_OF_CHUNKS;
        if (!IsEntryIgnored(pszName, pszFolder))
            break;
    }
    if (SafeStringCopy(m_pszEntryName.get(), CRAWLER_NAME_CHARS, pszName) != S_OK ||
        SafeStringCopy(m_pszEntryFolder.get(), CRAWLER_NAME_CHARS, pszFolder) != S_OK)
        return E_FAIL;
    m_pszExtractedPath[0] = L'\0';
    m_bHasEntry = TRUE;
    return S_OK;
}

HRESULT CFileCrawlerBase::ReadEntryToMemory(ULONGLONG cbMost)
{
    if (!m_bHasEntry || m_bEntryInMemory || m_pszExtractedPath[0] != L'\0')
        return S_FALSE;
    m_entryCharge = CBudgetCharge(m_pBudget.Get());
    const HRESULT hr = ReadCurrentEntryToMemory(cbMost, &m_entryBytes, &m_entryCharge);
    if (hr == S_OK) {
        m_bEntryInMemory = TRUE;
        return S_OK;
    }
    std::vector<BYTE>().swap(m_entryBytes);
    m_entryCharge.Reset();
    return hr;
}

HRESULT CFileCrawlerBase::ExtractEntry(wchar_t *pszPath, ULONG cchPath)
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
