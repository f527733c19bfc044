#include "filter/RunPlan.h"
#include "support/CallContext.h"
#include "support/Capacities.h"

#include <new>

namespace {

// A name's length in the count of names of each length: no entry's name is longer.
constexpr size_t NAME_LENGTHS = CCH_RUN_PATH;

ULONGLONG AtMost(ULONGLONG a, ULONGLONG b) noexcept { return a < b ? a : b; }

} // namespace

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

void CRunPlan::ReserveName(ULONGLONG cchPath, ULONGLONG cchName) noexcept
{
    if (m_cchAllowance == 0)
        return;
    if (!m_cNamesOfLength)
        m_cNamesOfLength.reset(new (std::nothrow) ULONG[NAME_LENGTHS]());
    m_cchPathsLeft += cchPath;
    m_cchNamesLeft += cchName;
    ++m_cNamesLeft;
    if (m_cNamesOfLength)
        ++m_cNamesOfLength[AtMost(cchName, NAME_LENGTHS - 1)];
}

// Whole paths when they fit what the host keeps; else names without their folders; else the
// longest start of every name that lets them all fit. Without the count of lengths (no memory for
// it), as many characters each as an even split of the allowance gives.
void CRunPlan::FitNames() noexcept
{
    m_form = NameForm::Path;
    if (m_cchAllowance == 0 || m_cchPathsLeft <= m_cchAllowance)
        return;
    m_form = NameForm::Name;
    if (m_cchNamesLeft <= m_cchAllowance)
        return;
    m_form = NameForm::Start;
    if (!m_cNamesOfLength) {
        m_cchNameStart = m_cchAllowance / m_cNamesLeft;
        return;
    }
    // What the starts of length k take in all: every name shorter than k whole, and k of each
    // other; it grows with k by the count of names at least k long.
    ULONGLONG cchAll = 0, cAtLeast = m_cNamesLeft;
    ULONGLONG k = 0;
    while (k + 1 < NAME_LENGTHS) {
        cAtLeast -= m_cNamesOfLength[k];
        if (cchAll + cAtLeast > m_cchAllowance)
            break;
        cchAll += cAtLeast;
        ++k;
    }
    m_cchNameStart = k;
}

ULONGLONG CRunPlan::NameLength(ULONGLONG cchPath, ULONGLONG cchName, NameForm *pForm) const noexcept
{
    *pForm = m_form;
    switch (m_form) {
    case NameForm::Path:
        return cchPath;
    case NameForm::Name:
        return cchName;
    default:
        return AtMost(cchName, m_cchNameStart);
    }
}

ULONGLONG CRunPlan::NamesReserved() const noexcept
{
    switch (m_form) {
    case NameForm::Path:
        return m_cchPathsLeft;
    case NameForm::Name:
        return m_cchNamesLeft;
    default:
        break;
    }
    if (!m_cNamesOfLength)
        return m_cchNameStart * m_cNamesLeft;
    ULONGLONG cch = 0;
    for (ULONGLONG length = 0; length < NAME_LENGTHS; ++length)
        cch += AtMost(length, m_cchNameStart) * m_cNamesOfLength[length];
    return cch;
}

// The title shares what the names leave as one more document, the first: a long comment does not
// starve the documents after it.
ULONGLONG CRunPlan::TitleRoom() const noexcept
{
    if (m_cchAllowance == 0)
        return ~0ull;
    return FreeForDocuments() / (static_cast<ULONGLONG>(m_cDocumentsLeft) + 1);
}

void CRunPlan::SpendName(ULONGLONG cchPath, ULONGLONG cchName, ULONGLONG cchGiven) noexcept
{
    m_cchEmitted += cchGiven;
    if (cchGiven != 0)
        ++m_cNames;
    if (m_cNamesLeft == 0)
        return;
    --m_cNamesLeft;
    m_cchPathsLeft -= AtMost(cchPath, m_cchPathsLeft);
    m_cchNamesLeft -= AtMost(cchName, m_cchNamesLeft);
    if (m_cNamesOfLength) {
        ULONG &cOfLength = m_cNamesOfLength[AtMost(cchName, NAME_LENGTHS - 1)];
        cOfLength -= cOfLength != 0 ? 1 : 0;
    }
}

bool CRunPlan::CanStartDocument() const noexcept
{
    return m_runDeadline == 0 || ClockMilliseconds() < m_runDeadline;
}

ULONGLONG CRunPlan::FreeForDocuments() const noexcept
{
    const ULONGLONG cchUsed = m_cchEmitted + NamesReserved();
    return cchUsed < m_cchAllowance ? m_cchAllowance - cchUsed : 0;
}

void CRunPlan::BeginDocument() noexcept
{
    m_bInDocument = true;
    m_bCut = m_bCutInside = false;
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
    ++m_cLeftOut;
}

void CRunPlan::LeaveOutDocument() noexcept
{
    AbandonDocument();
    ++m_cLeftOut;
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
    ++(m_bCut || m_bCutInside ? m_cInPart : m_cWhole);
    m_bInDocument = false;
    m_bCut = m_bCutInside = false;
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
    report.cDocumentsLeftOut = m_cLeftOut;
    report.bTitleCut = m_bTitleCut;
    return report;
}
