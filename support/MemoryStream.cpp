#include "support/MemoryStream.h"
#include "support/SafeString.h"

#include <algorithm>
#include <cstring>
#include <cwchar>
#include <memory>
#include <new>

// What a stream and its clones share: the document (its own bytes as one piece, or lent pieces),
// its name, and what its own bytes are charged to the run's account until the last of them lets
// it go. Only a loan's end changes it, under the lock every read holds.
struct DocumentBytes {
    CByteBuffer bytes;
    DocumentPiece own{};                  // bytes, as a piece
    const DocumentPiece *pPieces = &own;  // or the lent pieces
    size_t cPieces = 0;
    ULONGLONG cbSize = 0;
    std::unique_ptr<wchar_t[]> pszName;
    CBudgetCharge charge;
    SRWLOCK lock = SRWLOCK_INIT;
    bool bWithdrawn = false;
    LONG cRef = 1;  // the streams that share it, and a lender

    DocumentBytes() noexcept = default;
    DocumentBytes(const DocumentBytes &) = delete;
    DocumentBytes &operator=(const DocumentBytes &) = delete;

    void AddRef() noexcept { InterlockedIncrement(&cRef); }
    void Release() noexcept
    {
        if (InterlockedDecrement(&cRef) == 0)
            delete this;
    }

    // Hands fn(pData, cb) the cb bytes from position on, piece by piece (the caller keeps them
    // within the document), while fn returns true; what it was handed in all.
    template <class Fn> ULONGLONG Visit(ULONGLONG position, ULONGLONG cb, Fn fn) const noexcept
    {
        if (cb == 0 || cPieces == 0)
            return 0;
        const DocumentPiece *pEnd = pPieces + cPieces;
        const DocumentPiece *pPiece = std::upper_bound(pPieces, pEnd, position, [](ULONGLONG pos, const DocumentPiece &piece) {
            return pos < piece.offset;
        }) - 1;
        ULONGLONG cbDone = 0;
        for (; cbDone < cb && pPiece < pEnd; ++pPiece) {
            const size_t cbInto = static_cast<size_t>(position + cbDone - pPiece->offset);
            const ULONGLONG cbLeft = cb - cbDone;
            const size_t cbHere = pPiece->cb - cbInto < cbLeft ? pPiece->cb - cbInto : static_cast<size_t>(cbLeft);
            const ULONGLONG cbTaken = fn(pPiece->pData + cbInto, cbHere);
            cbDone += cbTaken;
            if (cbTaken != cbHere)
                break;
        }
        return cbDone;
    }
};

namespace {

// Holds a document's lock for reading, and tells whether its bytes are still there.
class CReadScope
{
public:
    explicit CReadScope(DocumentBytes *pDocument) noexcept : m_pDocument(pDocument)
    {
        AcquireSRWLockShared(&m_pDocument->lock);
    }
    ~CReadScope() { ReleaseSRWLockShared(&m_pDocument->lock); }
    CReadScope(const CReadScope &) = delete;
    CReadScope &operator=(const CReadScope &) = delete;
    bool Withdrawn() const noexcept { return m_pDocument->bWithdrawn; }

private:
    DocumentBytes *m_pDocument;
};

class CMemoryDocumentStream final : public IStream
{
public:
    // Takes over one reference to the document.
    explicit CMemoryDocumentStream(DocumentBytes *pDocument) noexcept
        : m_pDocument(pDocument), m_cbData(pDocument->cbSize),
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
        const CReadScope scope(m_pDocument);
        if (scope.Withdrawn())
            return STG_E_REVERTED;
        const ULONGLONG cbLeft = m_position < m_cbData ? m_cbData - m_position : 0;
        const ULONG cbRead = cbLeft < cb ? static_cast<ULONG>(cbLeft) : cb;
        BYTE *pOut = static_cast<BYTE *>(pv);
        m_pDocument->Visit(m_position, cbRead, [&pOut](const BYTE *pData, size_t cbHere) {
            std::memcpy(pOut, pData, cbHere);
            pOut += cbHere;
            return cbHere;
        });
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
        const CReadScope scope(m_pDocument);
        if (scope.Withdrawn())
            return STG_E_REVERTED;
        const ULONGLONG cbLeft = m_position < m_cbData ? m_cbData - m_position : 0;
        const ULONGLONG cbCopy = cbLeft < cb.QuadPart ? cbLeft : cb.QuadPart;
        HRESULT hr = S_OK;
        // Written a piece at a time, each at most 256 MB, until the target takes less or fails.
        const ULONGLONG cbDone = m_pDocument->Visit(m_position, cbCopy, [&](const BYTE *pData, size_t cbHere) {
            size_t cbTaken = 0;
            while (cbTaken < cbHere && SUCCEEDED(hr)) {
                const ULONG cbPart = cbHere - cbTaken > 0x10000000 ? 0x10000000 : static_cast<ULONG>(cbHere - cbTaken);
                ULONG cbWritten = 0;
                hr = pTarget->Write(pData + cbTaken, cbPart, &cbWritten);
                cbTaken += cbWritten < cbPart ? cbWritten : cbPart;
                if (cbWritten != cbPart)
                    break;
            }
            return static_cast<ULONGLONG>(cbTaken);
        });
        m_position += cbDone;
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
    const ULONGLONG m_cbData;
    const wchar_t *const m_pszName;    // m_pDocument's, or NULL
    ULONGLONG m_position = 0;
};

// A document named pszName (may be NULL), with nothing in it yet; NULL when memory runs out.
std::unique_ptr<DocumentBytes> NewDocument(const wchar_t *pszName) noexcept
{
    std::unique_ptr<DocumentBytes> document(new (std::nothrow) DocumentBytes);
    if (document) {
        document->pszName = DuplicateString(pszName);
        if (pszName != nullptr && !document->pszName)
            document.reset();
    }
    return document;
}

// The first stream over a document, which takes over the document's first reference.
IStream *FirstStream(std::unique_ptr<DocumentBytes> &document) noexcept
{
    auto *pStream = new (std::nothrow) CMemoryDocumentStream(document.get());
    if (pStream != nullptr)
        document.release();
    return pStream;
}

} // namespace

IStream *CreateMemoryDocumentStream(CByteBuffer &&bytes, const wchar_t *pszName, CBudgetCharge &&charge) noexcept
{
    std::unique_ptr<DocumentBytes> document = NewDocument(pszName);
    if (!document)
        return nullptr;
    document->bytes = std::move(bytes);
    document->own = {0, document->bytes.Data(), document->bytes.Size()};
    document->cPieces = 1;
    document->cbSize = document->bytes.Size();
    document->charge = std::move(charge);
    return FirstStream(document);
}

IStream *CDocumentLoan::Lend(const DocumentPiece *pPieces, size_t cPieces, const wchar_t *pszName) noexcept
{
    Withdraw();
    std::unique_ptr<DocumentBytes> document = NewDocument(pszName);
    if (!document)
        return nullptr;
    document->pPieces = pPieces;
    document->cPieces = cPieces;
    document->cbSize = cPieces == 0 ? 0 : pPieces[cPieces - 1].offset + pPieces[cPieces - 1].cb;
    document->cRef = 2;  // the stream's and ours
    DocumentBytes *pDocument = document.get();
    IStream *pStream = FirstStream(document);
    if (pStream != nullptr)
        m_pDocument = pDocument;
    return pStream;
}

void CDocumentLoan::Withdraw() noexcept
{
    if (m_pDocument == nullptr)
        return;
    AcquireSRWLockExclusive(&m_pDocument->lock);
    m_pDocument->bWithdrawn = true;
    ReleaseSRWLockExclusive(&m_pDocument->lock);
    m_pDocument->Release();
    m_pDocument = nullptr;
}
