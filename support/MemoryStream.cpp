#include "support/MemoryStream.h"
#include "support/SafeString.h"

#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

namespace {

// What a stream and its clones share, never changed after it is made: the document, its name, and
// what the document is charged to the run's account until the last of them lets it go.
struct DocumentBytes {
    CByteBuffer bytes;
    std::unique_ptr<wchar_t[]> pszName;
    CBudgetCharge charge;
    LONG cRef = 1;  // the streams that share it

    void AddRef() noexcept { InterlockedIncrement(&cRef); }
    void Release() noexcept
    {
        if (InterlockedDecrement(&cRef) == 0)
            delete this;
    }
};

class CMemoryDocumentStream final : public IStream
{
public:
    // Takes over one reference to the document.
    explicit CMemoryDocumentStream(DocumentBytes *pDocument) noexcept
        : m_pDocument(pDocument), m_pData(pDocument->bytes.Data()), m_cbData(pDocument->bytes.Size()),
          m_pszName(pDocument->pszName.get())
    {
    }

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_ISequentialStream && riid != IID_IStream)
            return E_NOINTERFACE;
        *ppv = static_cast<IStream *>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_cRef)); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG cRef = InterlockedDecrement(&m_cRef);
        if (cRef == 0)
            delete this;
        return static_cast<ULONG>(cRef);
    }

    STDMETHODIMP Read(void *pv, ULONG cb, ULONG *pcbRead) override
    {
        if (pv == nullptr && cb != 0)
            return STG_E_INVALIDPOINTER;
        const ULONGLONG cbLeft = m_position < m_cbData ? m_cbData - m_position : 0;
        const ULONG cbRead = cbLeft < cb ? static_cast<ULONG>(cbLeft) : cb;
        if (cbRead != 0)
            std::memcpy(pv, m_pData + m_position, cbRead);
        m_position += cbRead;
        if (pcbRead != nullptr)
            *pcbRead = cbRead;
        return cbRead == cb ? S_OK : S_FALSE;
    }
    STDMETHODIMP Write(const void *, ULONG, ULONG *) override { return STG_E_ACCESSDENIED; }

    STDMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER *pNewPosition) override
    {
        LONGLONG base = 0;
        if (origin == STREAM_SEEK_CUR)
            base = static_cast<LONGLONG>(m_position);
        else if (origin == STREAM_SEEK_END)
            base = static_cast<LONGLONG>(m_cbData);
        else if (origin != STREAM_SEEK_SET)
            return STG_E_INVALIDFUNCTION;
        if ((move.QuadPart > 0 && base > MAXLONGLONG - move.QuadPart) || base + move.QuadPart < 0)
            return STG_E_INVALIDFUNCTION;
        m_position = static_cast<ULONGLONG>(base + move.QuadPart);
        if (pNewPosition != nullptr)
            pNewPosition->QuadPart = m_position;
        return S_OK;
    }
    STDMETHODIMP SetSize(ULARGE_INTEGER) override { return STG_E_ACCESSDENIED; }
    STDMETHODIMP CopyTo(IStream *pTarget, ULARGE_INTEGER cb, ULARGE_INTEGER *pcbRead, ULARGE_INTEGER *pcbWritten) override
    {
        if (pTarget == nullptr)
            return STG_E_INVALIDPOINTER;
        const ULONGLONG cbLeft = m_position < m_cbData ? m_cbData - m_position : 0;
        ULONGLONG cbCopy = cbLeft < cb.QuadPart ? cbLeft : cb.QuadPart;
        ULONGLONG cbDone = 0;
        HRESULT hr = S_OK;
        while (cbCopy > 0 && SUCCEEDED(hr)) {
            const ULONG cbPiece = cbCopy > 0x10000000 ? 0x10000000 : static_cast<ULONG>(cbCopy);
            ULONG cbWritten = 0;
            hr = pTarget->Write(m_pData + m_position, cbPiece, &cbWritten);
            m_position += cbWritten;
            cbDone += cbWritten;
            cbCopy -= cbPiece;
            if (cbWritten != cbPiece)
                break;
        }
        if (pcbRead != nullptr)
            pcbRead->QuadPart = cbDone;
        if (pcbWritten != nullptr)
            pcbWritten->QuadPart = cbDone;
        return hr;
    }
    STDMETHODIMP Commit(DWORD) override { return S_OK; }
    STDMETHODIMP Revert() override { return S_OK; }
    STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return STG_E_INVALIDFUNCTION; }

    // The name is handed out as CoTaskMemAlloc memory, which the caller frees.
    STDMETHODIMP Stat(STATSTG *pStat, DWORD grfStatFlag) override
    {
        if (pStat == nullptr)
            return STG_E_INVALIDPOINTER;
        ZeroMemory(pStat, sizeof(*pStat));
        pStat->type = STGTY_STREAM;
        pStat->cbSize.QuadPart = m_cbData;
        pStat->grfMode = STGM_READ;
        if ((grfStatFlag & STATFLAG_NONAME) == 0 && m_pszName != nullptr) {
            const size_t cb = (std::wcslen(m_pszName) + 1) * sizeof(wchar_t);
            pStat->pwcsName = static_cast<LPOLESTR>(CoTaskMemAlloc(cb));
            if (pStat->pwcsName == nullptr)
                return STG_E_INSUFFICIENTMEMORY;
            std::memcpy(pStat->pwcsName, m_pszName, cb);
        }
        return S_OK;
    }
    // Each clone reads at a position of its own over the same bytes.
    STDMETHODIMP Clone(IStream **ppStream) override
    {
        if (ppStream == nullptr)
            return STG_E_INVALIDPOINTER;
        *ppStream = nullptr;
        m_pDocument->AddRef();
        auto *pClone = new (std::nothrow) CMemoryDocumentStream(m_pDocument);
        if (pClone == nullptr) {
            m_pDocument->Release();
            return E_OUTOFMEMORY;
        }
        pClone->m_position = m_position;
        *ppStream = pClone;
        return S_OK;
    }

private:
    ~CMemoryDocumentStream() { m_pDocument->Release(); }

    LONG m_cRef = 1;
    DocumentBytes *const m_pDocument;
    const BYTE *const m_pData;         // m_pDocument's bytes
    const size_t m_cbData;
    const wchar_t *const m_pszName;    // m_pDocument's, or NULL
    ULONGLONG m_position = 0;
};

} // namespace

IStream *CreateMemoryDocumentStream(CByteBuffer &&bytes, const wchar_t *pszName, CBudgetCharge &&charge) noexcept
{
    std::unique_ptr<DocumentBytes> document(new (std::nothrow) DocumentBytes);
    if (!document)
        return nullptr;
    document->pszName = DuplicateString(pszName);
    if (pszName != nullptr && !document->pszName)
        return nullptr;
    document->bytes = std::move(bytes);
    document->charge = std::move(charge);
    auto *pStream = new (std::nothrow) CMemoryDocumentStream(document.get());
    if (pStream != nullptr)
        document.release();
    return pStream;
}
