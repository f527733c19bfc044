#include "support/CallContext.h"
#include "support/ThreadSlot.h"

namespace {

CThreadSlot g_callFrame;

CCallFrame *Innermost() noexcept { return static_cast<CCallFrame *>(g_callFrame.Get()); }

} // namespace

CCallFrame::CCallFrame(CRunBudget *pBudget, DWORD msCall, CallKind kind) noexcept : m_pOuter(Innermost())
{
    m_pBudget = pBudget != nullptr ? pBudget : m_pOuter != nullptr ? m_pOuter->Budget() : nullptr;
    m_depth = (m_pOuter != nullptr ? m_pOuter->Depth() : 0) + (kind == CallKind::Filtering ? 1 : 0);
    m_pHandedDown = m_pOuter != nullptr ? m_pOuter->Share() : nullptr;
    m_deadline = m_pOuter != nullptr ? m_pOuter->Deadline() : 0;
    if (msCall != 0) {
        const ULONGLONG deadline = ClockMilliseconds() + msCall;
        if (m_deadline == 0 || deadline < m_deadline)
            m_deadline = deadline;
    }
    g_callFrame.Set(this);
}

CCallFrame::~CCallFrame() { g_callFrame.Set(m_pOuter); }

CHandDownScope::CHandDownScope(const HandedDown *pHandedDown) noexcept : m_pFrame(Innermost())
{
    if (m_pFrame != nullptr) {
        m_pPrevious = m_pFrame->m_pHandedDown;
        m_pFrame->m_pHandedDown = pHandedDown;
    }
}

CHandDownScope::~CHandDownScope()
{
    if (m_pFrame != nullptr)
        m_pFrame->m_pHandedDown = m_pPrevious;
}

CRunBudget *CurrentRunBudget() noexcept
{
    const CCallFrame *pFrame = Innermost();
    return pFrame != nullptr ? pFrame->Budget() : nullptr;
}

const HandedDown *CurrentHandedDown() noexcept
{
    const CCallFrame *pFrame = Innermost();
    return pFrame != nullptr ? pFrame->Share() : nullptr;
}

bool CallDeadlinePassed() noexcept
{
    const CCallFrame *pFrame = Innermost();
    return pFrame != nullptr && pFrame->Deadline() != 0 && ClockMilliseconds() >= pFrame->Deadline();
}

LONG NestingDepth() noexcept
{
    if (!g_callFrame.IsValid())
        return MAX_NESTED_ARCHIVES;
    const CCallFrame *pFrame = Innermost();
    return pFrame != nullptr ? pFrame->Depth() : 0;
}

bool MayNestArchive() noexcept { return NestingDepth() < MAX_NESTED_ARCHIVES; }
