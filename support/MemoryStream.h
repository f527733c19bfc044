// A read-only IStream over a document held in memory, answering Stat with the document's name:
// how a document inside an archive reaches a child filter that reads streams, with no file.
// The stream and its clones share the bytes, each with a position of its own; any thread may use
// a stream, one at a time. The bytes are the stream's own, or lent for a while by their owner
// (a decoder's window), who withdraws them before they change.
#pragma once
#include <windows.h>
#include <objidl.h>

#include "support/ByteBuffer.h"
#include "support/RunBudget.h"

// A new stream with one reference for the caller, holding `bytes` (taken over) and named pszName
// (may be NULL); NULL when memory runs out. `charge`, what the bytes are charged to the run's
// account, is held until the bytes are freed.
IStream *CreateMemoryDocumentStream(CByteBuffer &&bytes, const wchar_t *pszName,
                                    CBudgetCharge &&charge = CBudgetCharge()) noexcept;

// A run of a document's bytes, where it lies in memory; a document is its pieces in order, the
// first at offset 0, each starting where the one before ends.
struct DocumentPiece {
    ULONGLONG offset;  // in the document
    const BYTE *pData;
    size_t cb;
};

// Bytes lent to a stream until the lender withdraws them: from then on every stream over them
// (clones too) answers STG_E_REVERTED, whoever still holds one.
class CDocumentLoan
{
public:
    CDocumentLoan() noexcept = default;
    ~CDocumentLoan() { Withdraw(); }
    CDocumentLoan(const CDocumentLoan &) = delete;
    CDocumentLoan &operator=(const CDocumentLoan &) = delete;

    // A new stream with one reference for the caller over the document made of cPieces pieces,
    // which (with the bytes they point to) must stay as they are until Withdraw; NULL when memory
    // runs out. A loan still running is withdrawn first.
    IStream *Lend(const DocumentPiece *pPieces, size_t cPieces, const wchar_t *pszName) noexcept;
    // Takes the bytes back; waits for a read in progress on another thread.
    void Withdraw() noexcept;

private:
    struct DocumentBytes *m_pDocument = nullptr;
};
