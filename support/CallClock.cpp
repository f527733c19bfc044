#include "support/CallClock.h"
#include "support/ThreadSlot.h"

namespace {

// The deadline of the call on this thread: the address of the innermost scope's deadline that
// set one (scopes live on the stack for the call's length), or NULL.
CThreadSlot g_callDeadline;

const ULONGLONG *CurrentDeadline() noexcept { return static_cast<const ULONGLONG *>(g_callDeadline.Get()); }

} // namespace

bool CallDeadlinePassed() noexcept
{
    const ULONGLONG *pDeadline = CurrentDeadline();
    return pDeadline != nullptr && ClockMilliseconds() >= *pDeadline;
}

CCallDeadlineScope::CCallDeadlineScope(DWORD msCall) noexcept : m_pPrevious(g_callDeadline.Get())
{
    if (msCall == 0)
        return;
    m_deadline = ClockMilliseconds() + msCall;
    const ULONGLONG *pOuter = CurrentDeadline();
    if (pOuter == nullptr || m_deadline < *pOuter)
        g_callDeadline.Set(&m_deadline);
}

CCallDeadlineScope::~CCallDeadlineScope() { g_callDeadline.Set(m_pPrevious); }
