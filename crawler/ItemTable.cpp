#include "crawler/ItemTable.h"

#include <cwchar>
#include <new>

namespace {

constexpr size_t FIRST_ITEMS = 64;
constexpr size_t FIRST_CHARS = 4096;

} // namespace

CItemTable::CItemTable(CRunBudget *pBudget) noexcept
    : m_items(pBudget), m_chars(pBudget), m_pszSparePath(new (std::nothrow) wchar_t[CCH_RUN_PATH])
{
}

const ArchiveItem *CItemTable::Front() const noexcept
{
    if (m_bSpareUsed)
        return &m_spare;
    return m_first < m_count ? &m_pItems[m_first] : nullptr;
}

const wchar_t *CItemTable::PathOf(const ArchiveItem &item) const noexcept
{
    return &item == &m_spare ? m_pszSparePath.get() : m_pChars.get() + item.nameOffset;
}

// Doubles an array until it holds `needed` elements: the larger one is charged before it is made,
// and the smaller one refunded once its contents have moved. false, and the array as it was, when
// the window's bound or the account says no.
template <class T>
bool CItemTable::Grow(std::unique_ptr<T[]> &array, size_t &capacity, size_t needed, size_t first,
                      CBudgetCharge &charge, ULONGLONG cbOther) noexcept
{
    if (needed <= capacity)
        return true;
    size_t newCapacity = capacity != 0 ? capacity : first;
    while (newCapacity < needed)
        newCapacity *= 2;
    const ULONGLONG cbNew = static_cast<ULONGLONG>(newCapacity) * sizeof(T);
    const ULONGLONG cbOld = static_cast<ULONGLONG>(capacity) * sizeof(T);
    if (cbNew + cbOther > ITEM_TABLE_MAX_BYTES || !charge.TryResize(cbOld + cbNew))
        return false;
    std::unique_ptr<T[]> grown(new (std::nothrow) T[newCapacity]);
    if (!grown) {
        charge.TryResize(cbOld);
        return false;
    }
    for (size_t i = 0; i < capacity; ++i)
        grown[i] = array[i];
    array = std::move(grown);
    capacity = newCapacity;
    charge.TryResize(cbNew);
    return true;
}

bool CItemTable::Add(ULONGLONG headerPos, ULONGLONG cbUnpacked, USHORT flags, const wchar_t *pszPath, USHORT cchPath,
                     USHORT cchFolder) noexcept
{
    // Taken items make room before the window grows.
    if (m_first == m_count && !m_bSpareUsed)
        Clear();
    if (!Grow(m_pItems, m_capacity, m_count + 1, FIRST_ITEMS, m_items, m_chars.Size()) ||
        !Grow(m_pChars, m_cchCapacity, m_cchUsed + cchPath + 1, FIRST_CHARS, m_chars, m_items.Size())) {
        if (m_count != 0 || m_bSpareUsed || !m_pszSparePath || cchPath >= CCH_RUN_PATH)
            return false;
        m_spare = {headerPos, cbUnpacked, 0, cchPath, cchFolder, flags};
        std::wmemcpy(m_pszSparePath.get(), pszPath, cchPath);
        m_pszSparePath[cchPath] = L'\0';
        m_bSpareUsed = true;
        return true;
    }
    ArchiveItem &item = m_pItems[m_count++];
    item.headerPos = headerPos;
    item.cbUnpacked = cbUnpacked;
    item.nameOffset = static_cast<ULONG>(m_cchUsed);
    item.cchPath = cchPath;
    item.cchFolder = cchFolder;
    item.flags = flags;
    std::wmemcpy(m_pChars.get() + m_cchUsed, pszPath, cchPath);
    m_pChars[m_cchUsed + cchPath] = L'\0';
    m_cchUsed += cchPath + 1;
    return true;
}

void CItemTable::PopFront() noexcept
{
    if (m_bSpareUsed)
        m_bSpareUsed = false;
    else if (m_first < m_count)
        ++m_first;
}
