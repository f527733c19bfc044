// An entry's document as it lies in the decoder's window once the entry is decoded: the runs the
// decoder wrote out from the window, and copies of what a filter rewrote (the window keeps the
// bytes before the filter, which later matches read). A document read this way costs its window
// and the filters' output only, not a copy of its own.
#pragma once
#include <windows.h>

#include <memory>

#include "support/MemoryStream.h"
#include "support/RunBudget.h"

class CWindowDocument
{
public:
    CWindowDocument() noexcept = default;
    CWindowDocument(const CWindowDocument &) = delete;
    CWindowDocument &operator=(const CWindowDocument &) = delete;

    // Starts a document of at most cbMost bytes whose first byte goes to pStart in the window
    // (cbMost bytes from there lie in the window); the copies are charged to pBudget (may be
    // NULL). false when the table of pieces cannot be had.
    bool Begin(const BYTE *pStart, ULONGLONG cbMost, CRunBudget *pBudget) noexcept;
    // Whether cb more bytes keep the document within cbMost.
    bool Fits(ULONGLONG cb) const noexcept { return cb <= m_cbMost - m_cbSize; }
    // The next cb bytes the decoder wrote out, at p: a run of the window when they lie where the
    // document's next byte goes, else a copy. false (the document is lost) past cbMost, with too
    // many pieces, or without room for a copy.
    bool Add(const BYTE *p, size_t cb) noexcept;
    void Reset() noexcept;

    const DocumentPiece *Pieces() const noexcept { return m_pieces.get(); }
    size_t PieceCount() const noexcept { return m_cPieces; }
    ULONGLONG Size() const noexcept { return m_cbSize; }

private:
    // A decoder writes out up to 4 MB at a time, and each filter's block is a piece of its own
    // (RAR 2.9's up to 240 KB): a 32 MB window of filtered blocks takes about 300.
    static constexpr size_t MAX_PIECES = 4096;

    std::unique_ptr<DocumentPiece[]> m_pieces;
    std::unique_ptr<std::unique_ptr<BYTE[]>[]> m_copies;  // the copies among the pieces
    size_t m_cPieces = 0;
    const BYTE *m_pNext = nullptr;  // where the next byte lies in the window
    ULONGLONG m_cbSize = 0, m_cbMost = 0;
    CBudgetCharge m_charge;         // the table and the copies
};
