#include "filter/RunPlan.h"
#include "support/CallClock.h"
#include "support/ThreadSlot.h"

namespace {

CThreadSlot g_handedDown;

} // namespace

const HandedDown *CurrentHandedDown() noexcept { return static_cast<const HandedDown *>(g_handedDown.Get()); }

CHandDownScope::CHandDownScope(const HandedDown *pHandedDown) noexcept : m_pPrevious(g_handedDown.Get())
{
    g_handedDown.Set(const_cast<HandedDown *>(pHandedDown));
}

CHandDownScope::~CHandDownScope() { g_handedDown.Set(m_pPrevious); }

void CRunPlan::Start(const RunLimits &limits, SearchHost host, const HandedDown *pHandedDown) noexcept
{
    *this = CRunPlan();
    m_host = host;
    m_cchAllowance = limits.cchText;
    m_msRun = limits.msRun;
    m_msCall = limits.msCall;
    // The run ends a tenth of its allowance early: the host still has our last chunks to take.
    if (m_msRun != 0)
        m_runDeadline = ClockMilliseconds() + m_msRun - m_msRun / 10;
    if (pHandedDown != nullptr) {
        m_cchAllowance = pHandedDown->cchText;
        if (pHandedDown->runDeadline != 0 && (m_runDeadline == 0 || pHandedDown->runDeadline < m_runDeadline))
            m_runDeadline = pHandedDown->runDeadline;
    }
}

void CRunPlan::SpendName(ULONGLONG cch) noexcept
{
    m_cchEmitted += cch;
    m_cchNamesLeft -= cch < m_cchNamesLeft ? cch : m_cchNamesLeft;
    ++m_cNames;
}

bool CRunPlan::CanStartDocument() const noexcept
{
    return m_runDeadline == 0 || ClockMilliseconds() < m_runDeadline;
}

ULONGLONG CRunPlan::FreeForDocuments() const noexcept
{
    const ULONGLONG cchUsed = m_cchEmitted + m_cchNamesLeft;
    return cchUsed < m_cchAllowance ? m_cchAllowance - cchUsed : 0;
}

void CRunPlan::BeginDocument() noexcept
{
    m_bInDocument = true;
    m_bCut = false;
    m_cchDocument = 0;
    // A document the header pass did not see (it ended early) shares with none after it.
    const ULONG cSharing = m_cDocumentsLeft != 0 ? m_cDocumentsLeft : 1;
    m_cchShare = FreeForDocuments() / cSharing;
    if (m_cDocumentsLeft != 0)
        --m_cDocumentsLeft;
}

void CRunPlan::PassDocument() noexcept
{
    if (m_cDocumentsLeft != 0)
        --m_cDocumentsLeft;
}

ULONGLONG CRunPlan::DocumentRoom() const noexcept
{
    if (m_bCut)
        return 0;
    if (m_cchAllowance == 0 || !m_bInDocument)
        return ~0ull;
    return m_cchDocument < m_cchShare ? m_cchShare - m_cchDocument : 0;
}

void CRunPlan::SpendDocument(ULONGLONG cch) noexcept
{
    m_cchEmitted += cch;
    m_cchDocument += cch;
}

void CRunPlan::EndDocument() noexcept
{
    if (!m_bInDocument)
        return;
    ++(m_bCut ? m_cInPart : m_cWhole);
    m_bInDocument = false;
    m_bCut = false;
}

HandedDown CRunPlan::HandDown() const noexcept
{
    const ULONGLONG cchRoom = DocumentRoom();
    return {cchRoom == ~0ull ? 0 : cchRoom, m_runDeadline};
}

RunReport CRunPlan::Report() const noexcept
{
    RunReport report{};
    report.cbSize = sizeof(report);
    report.host = static_cast<ULONG>(m_host);
    report.cchAllowance = m_cchAllowance;
    report.cchEmitted = m_cchEmitted;
    report.msAllowance = m_msRun;
    report.msCall = m_msCall;
    report.cNames = m_cNames;
    report.cDocumentsWhole = m_cWhole;
    report.cDocumentsInPart = m_cInPart;
    return report;
}
