// Placeholder stream until the chunk stream lands.
#include "filter/IFilterBase.h"

STDMETHODIMP CIFilterBase::GetChunk(STAT_CHUNK *pStat) { return DoGetChunk(pStat); }
STDMETHODIMP CIFilterBase::GetText(ULONG *p, WCHAR *a) { return DoGetText(p, a); }
STDMETHODIMP CIFilterBase::GetValue(PROPVARIANT **pp) { return DoGetValue(pp); }
STDMETHODIMP CIFilterBase::BindRegion(FILTERREGION, REFIID, void **) { return E_NOTIMPL; }
HRESULT CIFilterBase::DoGetChunk(STAT_CHUNK *) { return FILTER_E_END_OF_CHUNKS; }
HRESULT CIFilterBase::DoGetText(ULONG *, WCHAR *) { return FILTER_E_NO_TEXT; }
HRESULT CIFilterBase::DoGetValue(PROPVARIANT **) { return FILTER_E_NO_VALUES; }
BOOL CIFilterBase::GetArchiveCommentA(const char *, char *, ULONG, CHUNKSTATE *) { return FALSE; }
BOOL CIFilterBase::GetArchiveCommentW(const wchar_t *, wchar_t *, ULONG, CHUNKSTATE *) { return FALSE; }

CChildFilterRelay::~CChildFilterRelay() { Attach(nullptr); }
void CChildFilterRelay::Attach(IFilter *child) noexcept
{
    if (child == m_pChild)
        return;
    if (child != nullptr)
        child->AddRef();
    if (m_pChild != nullptr)
        m_pChild->Release();
    m_pChild = child;
}
HRESULT CChildFilterRelay::GetChunk(STAT_CHUNK *) { return E_POINTER; }
HRESULT CChildFilterRelay::GetText(ULONG *, WCHAR *) { return E_POINTER; }
HRESULT CChildFilterRelay::GetValue(PROPVARIANT **) { return E_POINTER; }
