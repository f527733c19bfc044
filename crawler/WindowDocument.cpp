#include "crawler/WindowDocument.h"

#include <cstring>
#include <new>

bool CWindowDocument::Begin(const BYTE *pStart, ULONGLONG cbMost, CRunBudget *pBudget) noexcept
{
    Reset();
    m_charge = CBudgetCharge(pBudget);
    if (!m_charge.TryResize(MAX_PIECES * (sizeof(DocumentPiece) + sizeof(std::unique_ptr<BYTE[]>))))
        return false;
    m_pieces.reset(new (std::nothrow) DocumentPiece[MAX_PIECES]);
    m_copies.reset(new (std::nothrow) std::unique_ptr<BYTE[]>[MAX_PIECES]);
    if (!m_pieces || !m_copies) {
        Reset();
        return false;
    }
    m_pNext = pStart;
    m_cbMost = cbMost;
    return true;
}

bool CWindowDocument::Add(const BYTE *p, size_t cb) noexcept
{
    if (!m_pieces || !Fits(cb))
        return false;
    if (cb == 0)
        return true;
    if (p == m_pNext) {
        // The window's next run: it joins a run before it.
        DocumentPiece *pLast = m_cPieces != 0 ? &m_pieces[m_cPieces - 1] : nullptr;
        if (pLast != nullptr && !m_copies[m_cPieces - 1] && pLast->pData + pLast->cb == p) {
            pLast->cb += cb;
        } else {
            if (m_cPieces == MAX_PIECES)
                return false;
            m_pieces[m_cPieces++] = {m_cbSize, p, cb};
        }
    } else {
        if (m_cPieces == MAX_PIECES || !m_charge.TryResize(m_charge.Size() + cb))
            return false;
        std::unique_ptr<BYTE[]> copy(new (std::nothrow) BYTE[cb]);
        if (!copy)
            return false;
        std::memcpy(copy.get(), p, cb);
        m_pieces[m_cPieces] = {m_cbSize, copy.get(), cb};
        m_copies[m_cPieces++] = std::move(copy);
    }
    m_pNext += cb;
    m_cbSize += cb;
    return true;
}

void CWindowDocument::Reset() noexcept
{
    m_pieces.reset();
    m_copies.reset();
    m_cPieces = 0;
    m_pNext = nullptr;
    m_cbSize = m_cbMost = 0;
    m_charge.Reset();
}
