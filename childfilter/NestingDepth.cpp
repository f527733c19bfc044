#include "childfilter/NestingDepth.h"
#include "support/ThreadSlot.h"

namespace {

CThreadSlot g_nestingSlot;

LONG SlotDepth() noexcept { return static_cast<LONG>(reinterpret_cast<INT_PTR>(g_nestingSlot.Get())); }
void SetSlotDepth(LONG depth) noexcept { g_nestingSlot.Set(reinterpret_cast<void *>(static_cast<INT_PTR>(depth))); }

} // namespace

CNestingScope::CNestingScope() noexcept
{
    if (g_nestingSlot.IsValid())
        SetSlotDepth(SlotDepth() + 1);
}

CNestingScope::~CNestingScope()
{
    if (g_nestingSlot.IsValid())
        SetSlotDepth(SlotDepth() - 1);
}

LONG NestingDepth() noexcept
{
    return g_nestingSlot.IsValid() ? SlotDepth() : MAX_NESTED_ARCHIVES;
}
