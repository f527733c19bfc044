#include "support/CallClock.h"
#include "support/ThreadSlot.h"

namespace {

// The thread's deadline in ClockMilliseconds(), plus one so that 0 means none. A pointer-sized
// slot holds it; on a 32-bit build that is 49 days of uptime, past which no deadline is kept.
CThreadSlot g_callDeadline;

ULONGLONG SlotValue() noexcept { return reinterpret_cast<ULONG_PTR>(g_callDeadline.Get()); }

} // namespace

bool CallDeadlinePassed() noexcept
{
    const ULONGLONG value = SlotValue();
    return value != 0 && ClockMilliseconds() >= value - 1;
}

CCallDeadlineScope::CCallDeadlineScope(DWORD msCall) noexcept : m_pPrevious(g_callDeadline.Get())
{
    if (msCall == 0)
        return;
    const ULONGLONG deadline = ClockMilliseconds() + msCall + 1;
    const ULONGLONG previous = SlotValue();
    if (deadline > static_cast<ULONG_PTR>(-1) || (previous != 0 && previous <= deadline))
        return;
    g_callDeadline.Set(reinterpret_cast<void *>(static_cast<ULONG_PTR>(deadline)));
}

CCallDeadlineScope::~CCallDeadlineScope() { g_callDeadline.Set(m_pPrevious); }
