// The archive's items as the header pass found them: each entry the walk names, in archive order,
// with what the walk needs to reach its data without reading the headers before it. The table is
// a window: it holds as many items as the run's account grants, up to ITEM_TABLE_MAX_BYTES; the
// walk takes items from its front, and an archive with more items than the window holds is read
// again from the first item it could not hold once the walk has taken the rest. An empty window
// always takes one item, in room of its own made with the table: a run whose account is spent
// still names every entry, one at a time.
//   CItemTable table(budget);
//   if (!table.Add(pos, cb, flags, path, cchFolder)) ... full: read the rest again later
//   while (const ArchiveItem *item = table.Front()) { ... table.PopFront(); }
#pragma once
#include <windows.h>

#include <memory>

#include "support/Capacities.h"
#include "support/RunBudget.h"

// The most one table holds at once, items and names together.
constexpr ULONGLONG ITEM_TABLE_MAX_BYTES = 8ull * 1024 * 1024;

// The item continues a solid stream: its data can be decoded only after the data before it.
constexpr USHORT ITEM_SOLID = 0x1;

struct ArchiveItem {
    ULONGLONG headerPos;   // where its header starts (RARGetHeaderPos)
    ULONGLONG cbUnpacked;  // as its header announces it
    ULONG nameOffset;      // its path in the table's characters, NUL-terminated
    USHORT cchPath;        // the path's length: the folder, then the name
    USHORT cchFolder;      // the folder's part of it, with its last backslash
    USHORT flags;          // ITEM_*
};

class CItemTable
{
public:
    explicit CItemTable(CRunBudget *pBudget = nullptr) noexcept;
    CItemTable(const CItemTable &) = delete;
    CItemTable &operator=(const CItemTable &) = delete;

    // Adds an item with its path (cchPath characters, the first cchFolder of them its folder):
    // false, and nothing added, when the window is full or the account has no room for it.
    bool Add(ULONGLONG headerPos, ULONGLONG cbUnpacked, USHORT flags, const wchar_t *pszPath, USHORT cchPath,
             USHORT cchFolder) noexcept;
    // The first item the walk has not taken, or NULL; its path stays valid until the next Add or
    // Clear.
    const ArchiveItem *Front() const noexcept;
    const wchar_t *PathOf(const ArchiveItem &item) const noexcept;
    void PopFront() noexcept;
    // Empties the window; the memory it holds is kept for the next items.
    void Clear() noexcept
    {
        m_first = m_count = m_cchUsed = 0;
        m_bSpareUsed = false;
    }

private:
    template <class T>
    static bool Grow(std::unique_ptr<T[]> &array, size_t &capacity, size_t needed, size_t first,
                     CBudgetCharge &charge, ULONGLONG cbOther) noexcept;

    std::unique_ptr<ArchiveItem[]> m_pItems;
    std::unique_ptr<wchar_t[]> m_pChars;
    size_t m_first = 0, m_count = 0, m_capacity = 0;
    size_t m_cchUsed = 0, m_cchCapacity = 0;
    CBudgetCharge m_items, m_chars;  // what each array holds, charged to the run
    // The one item an empty window always takes, and its path.
    ArchiveItem m_spare{};
    std::unique_ptr<wchar_t[]> m_pszSparePath;
    bool m_bSpareUsed = false;
};
