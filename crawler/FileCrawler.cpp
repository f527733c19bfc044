// Placeholder walk: no entries until the RAR crawler lands.
#include "crawler/RarFileCrawler.h"
#include <filterr.h>

CFileCrawlerBase::CFileCrawlerBase(const wchar_t *, const wchar_t *) {}
CFileCrawlerBase::~CFileCrawlerBase() {}
BOOL CFileCrawlerBase::GetCurrentEntry(wchar_t *, ULONG, wchar_t *, ULONG, wchar_t *, ULONG) { return FALSE; }
BOOL CFileCrawlerBase::GetEntryComment(wchar_t *) { return TRUE; }
BOOL CFileCrawlerBase::CloseArchive() { return TRUE; }
BOOL CFileCrawlerBase::IsEntryIgnored(const wchar_t *, const wchar_t *) { return FALSE; }
BOOL CFileCrawlerBase::Reserved(void *) { return FALSE; }
HRESULT CFileCrawlerBase::ReadNextEntry(wchar_t *, ULONG, wchar_t *, ULONG) { return E_NOTIMPL; }
HRESULT CFileCrawlerBase::ExtractCurrentEntry(wchar_t *, ULONG) { return E_NOTIMPL; }
BOOL CFileCrawlerBase::DeleteExtractedFile() { return TRUE; }
HRESULT CFileCrawlerBase::MoveToNextEntry(wchar_t *, ULONG, wchar_t *, ULONG, wchar_t *, ULONG)
{
    return FILTER_E_END_OF_CHUNKS;
}

CRarFileCrawler::CRarFileCrawler(const wchar_t *a, const wchar_t *t) : CFileCrawlerBase(a, t), m_pState(nullptr) {}
CRarFileCrawler::~CRarFileCrawler() {}
BOOL CRarFileCrawler::GetCurrentEntry(wchar_t *, ULONG, wchar_t *, ULONG, wchar_t *, ULONG) { return FALSE; }
BOOL CRarFileCrawler::GetEntryComment(wchar_t *) { return TRUE; }
BOOL CRarFileCrawler::CloseArchive() { return TRUE; }
BOOL CRarFileCrawler::IsEntryIgnored(const wchar_t *, const wchar_t *) { return FALSE; }
HRESULT CRarFileCrawler::ReadNextEntry(wchar_t *, ULONG, wchar_t *, ULONG) { return E_FAIL; }
HRESULT CRarFileCrawler::ExtractCurrentEntry(wchar_t *, ULONG) { return E_FAIL; }
BOOL CRarFileCrawler::DeleteExtractedFile() { return TRUE; }
