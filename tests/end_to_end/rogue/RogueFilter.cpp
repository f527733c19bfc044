// A child filter that breaks the IFilter contract, for tests only: the first word of the file it
// is loaded with says how (garbage-count, end-early, fail-later, null-value, null-string,
// odd-result, wrong-ids). tests/setup.d/30-child-filters.sh registers it for .fxrogue.
#include <windows.h>
#include <filter.h>
#include <filterr.h>
#include <new>
#include <string>

namespace {

// {A47DDD16-2196-4DEC-B77C-CF7A940BC55D}
constexpr CLSID CLSID_RogueFilter = {0xA47DDD16, 0x2196, 0x4DEC, {0xB7, 0x7C, 0xCF, 0x7A, 0x94, 0x0B, 0xC5, 0x5D}};
// {B725F130-47EF-101A-A5F1-02608C9EEBAC}: PSGUID_STORAGE; PID_STG_CONTENTS is 19.
constexpr GUID kStorageSet = {0xB725F130, 0x47EF, 0x101A, {0xA5, 0xF1, 0x02, 0x60, 0x8C, 0x9E, 0xEB, 0xAC}};

LONG g_cObjects = 0;

class CRogueFilter final : public IFilter, public IPersistFile
{
public:
    CRogueFilter() { InterlockedIncrement(&g_cObjects); }

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        *ppv = nullptr;
        if (riid == IID_IUnknown || riid == IID_IFilter)
            *ppv = static_cast<IFilter *>(this);
        else if (riid == IID_IPersistFile || riid == IID_IPersist)
            *ppv = static_cast<IPersistFile *>(this);
        else
            return E_NOINTERFACE;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_cRef)); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG c = InterlockedDecrement(&m_cRef);
        if (c == 0)
            delete this;
        return static_cast<ULONG>(c);
    }

    STDMETHODIMP Init(ULONG, ULONG, const FULLPROPSPEC *, ULONG *pFlags) override
    {
        if (pFlags != nullptr)
            *pFlags = 0;
        m_nCalls = 0;
        return S_OK;
    }

    STDMETHODIMP GetChunk(STAT_CHUNK *pStat) override
    {
        ++m_nCalls;
        m_text.clear();
        m_nTextCalls = 0;
        if (m_mode == L"end-early")
            return FILTER_E_END_OF_CHUNKS;
        if (m_mode == L"fail-later" && m_nCalls > 1)
            return E_UNEXPECTED;
        const bool isValue = m_mode == L"null-value" || m_mode == L"null-string";
        const ULONG nChunks = m_mode == L"wrong-ids" ? 2 : 1;
        if (m_nCalls > nChunks)
            return FILTER_E_END_OF_CHUNKS;
        *pStat = {};
        pStat->idChunk = m_mode == L"wrong-ids" ? 77 : m_nCalls;
        pStat->idChunkSource = m_mode == L"wrong-ids" ? 99 : m_nCalls;
        pStat->breakType = CHUNK_NO_BREAK;
        pStat->flags = isValue ? CHUNK_VALUE : CHUNK_TEXT;
        pStat->locale = 0x409;
        pStat->attribute.guidPropSet = kStorageSet;
        pStat->attribute.psProperty.ulKind = PRSPEC_PROPID;
        pStat->attribute.psProperty.propid = 19;
        m_text = L"rogue " + m_mode;
        return m_mode == L"odd-result" ? S_FALSE : S_OK;
    }

    STDMETHODIMP GetText(ULONG *pcwcBuffer, WCHAR *awcBuffer) override
    {
        if (m_text.empty() || m_nTextCalls++ > 0)
            return FILTER_E_NO_MORE_TEXT;
        const ULONG cwc = static_cast<ULONG>(m_text.size()) < *pcwcBuffer ? static_cast<ULONG>(m_text.size()) : *pcwcBuffer;
        wmemcpy(awcBuffer, m_text.c_str(), cwc);
        // garbage-count claims far more than the buffer holds.
        *pcwcBuffer = m_mode == L"garbage-count" ? *pcwcBuffer + 1000 : cwc;
        return FILTER_S_LAST_TEXT;
    }

    STDMETHODIMP GetValue(PROPVARIANT **ppPropValue) override
    {
        if (m_nTextCalls++ > 0)
            return FILTER_E_NO_MORE_VALUES;
        if (m_mode == L"null-value") {
            *ppPropValue = nullptr;
            return S_OK;
        }
        auto *pValue = static_cast<PROPVARIANT *>(CoTaskMemAlloc(sizeof(PROPVARIANT)));
        if (pValue == nullptr)
            return E_OUTOFMEMORY;
        PropVariantInit(pValue);
        pValue->vt = VT_LPWSTR;
        pValue->pwszVal = nullptr;  // null-string: a string value without its string
        *ppPropValue = pValue;
        return S_OK;
    }

    STDMETHODIMP BindRegion(FILTERREGION, REFIID, void **) override { return E_NOTIMPL; }

    STDMETHODIMP GetClassID(CLSID *pClassID) override
    {
        *pClassID = CLSID_RogueFilter;
        return S_OK;
    }
    STDMETHODIMP IsDirty() override { return S_FALSE; }
    STDMETHODIMP Load(LPCOLESTR pszFileName, DWORD) override
    {
        HANDLE file = CreateFileW(pszFileName, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            return STG_E_FILENOTFOUND;
        char buffer[64] = {};
        DWORD cb = 0;
        ReadFile(file, buffer, sizeof(buffer) - 1, &cb, nullptr);
        CloseHandle(file);
        m_mode.assign(buffer, buffer + cb);
        return S_OK;
    }
    STDMETHODIMP Save(LPCOLESTR, BOOL) override { return E_FAIL; }
    STDMETHODIMP SaveCompleted(LPCOLESTR) override { return S_OK; }
    STDMETHODIMP GetCurFile(LPOLESTR *) override { return E_FAIL; }

private:
    ~CRogueFilter() { InterlockedDecrement(&g_cObjects); }

    LONG m_cRef = 1;
    std::wstring m_mode;
    std::wstring m_text;
    ULONG m_nCalls = 0;
    ULONG m_nTextCalls = 0;
};

class CRogueFactory final : public IClassFactory
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IClassFactory)
            return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory *>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }  // static object
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP CreateInstance(IUnknown *pUnkOuter, REFIID riid, void **ppv) override
    {
        *ppv = nullptr;
        if (pUnkOuter != nullptr)
            return CLASS_E_NOAGGREGATION;
        auto *pFilter = new (std::nothrow) CRogueFilter;
        if (pFilter == nullptr)
            return E_OUTOFMEMORY;
        const HRESULT hr = pFilter->QueryInterface(riid, ppv);
        pFilter->Release();
        return hr;
    }
    STDMETHODIMP LockServer(BOOL fLock) override
    {
        if (fLock)
            InterlockedIncrement(&g_cObjects);
        else
            InterlockedDecrement(&g_cObjects);
        return S_OK;
    }
};

CRogueFactory g_factory;

} // namespace

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void **ppv)
{
    *ppv = nullptr;
    if (rclsid != CLSID_RogueFilter)
        return CLASS_E_CLASSNOTAVAILABLE;
    return g_factory.QueryInterface(riid, ppv);
}

STDAPI DllCanUnloadNow() { return g_cObjects == 0 ? S_OK : S_FALSE; }
