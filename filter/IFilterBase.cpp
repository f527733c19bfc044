// Placeholder object life until the filter object lands.
#include "filter/IFilterBase.h"

CIFilterBase::CIFilterBase() {}
CIFilterBase::~CIFilterBase() {}
STDMETHODIMP CIFilterBase::QueryInterface(REFIID, void **ppv)
{
    if (ppv != nullptr)
        *ppv = nullptr;
    return E_NOINTERFACE;
}
STDMETHODIMP_(ULONG) CIFilterBase::AddRef() { return static_cast<ULONG>(InterlockedIncrement(&m_cRef)); }
STDMETHODIMP_(ULONG) CIFilterBase::Release()
{
    const LONG c = InterlockedDecrement(&m_cRef);
    if (c == 0)
        delete this;
    return static_cast<ULONG>(c);
}
STDMETHODIMP CIFilterBase::Init(ULONG, ULONG, const FULLPROPSPEC *, ULONG *) { return E_FAIL; }
void CIFilterBase::InitOptions() {}
STDMETHODIMP CIFilterBase::GetClassID(CLSID *) { return E_FAIL; }
STDMETHODIMP CIFilterBase::IsDirty() { return S_FALSE; }
STDMETHODIMP CIFilterBase::Load(LPCOLESTR, DWORD) { return E_FAIL; }
STDMETHODIMP CIFilterBase::Save(LPCOLESTR, BOOL) { return E_FAIL; }
STDMETHODIMP CIFilterBase::SaveCompleted(LPCOLESTR) { return S_OK; }
STDMETHODIMP CIFilterBase::GetCurFile(LPOLESTR *) { return E_FAIL; }
void CIFilterBase::DeleteFolderTree(const wchar_t *) {}
