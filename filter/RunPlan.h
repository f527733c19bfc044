// How a run spends what the host keeps of one item. A host keeps so many characters and gives so
// much time per item (RunLimits); spent first come, first served, a text-heavy archive would lose
// the names and text of its later entries. So, before any text goes out, the header pass reserves
// every entry's name and counts the documents that will be read. Names come first: when they do
// not all fit whole, each entry is named by its name without its folder, and when those do not fit
// either, by the start of its name, as long as the same for every entry lets them all fit. What
// the names leave is shared by the title, cut to its share as if it were the first document, and
// the documents: each gets what is left divided by the documents left, and what one does not use
// passes on to those after it. A document's text past
// its share is not relayed. Past the time allowance (less a margin), the remaining entries are
// named only. Without an allowance nothing is cut.
#pragma once
#include <windows.h>

#include "support/CallContext.h"
#include "support/RunLimits.h"

#include <memory>

// What the run gave, for our own tools (IRunReport).
struct RunReport {
    ULONG cbSize;              // sizeof(RunReport)
    ULONG host;                // SearchHost
    ULONGLONG cchAllowance;    // 0: no bound
    ULONGLONG cchEmitted;      // text and value characters handed out, ours and the children's
    ULONG msAllowance;         // the run's time allowance, 0: none
    ULONG msCall;              // the bound on one call's work on our side, 0: none
    ULONG cNames;              // entry names given
    ULONG cDocumentsWhole;     // documents relayed to their end
    ULONG cDocumentsInPart;    // documents cut at their share, or at the time allowance
    ULONG cDocumentsLeftOut;   // documents named only: no share or no time was left for them
    ULONG bTitleCut;           // the title was cut to its share
};

// How an entry is named when the names do not all fit whole.
enum class NameForm {
    Path,  // its folder and name
    Name,  // its name alone
    Start, // the start of its name (and its extension, when short), the same length for every entry
};

// What an object nested in this run's call is handed down: its item is a document of ours.
class CRunPlan
{
public:
    // A new run under these limits, its clock starting now; an object nested in another's call
    // takes the share and deadline it was handed instead.
    void Start(const RunLimits &limits, SearchHost host, const HandedDown *pHandedDown) noexcept;
    bool HasTextAllowance() const noexcept { return m_cchAllowance != 0; }
    DWORD CallMilliseconds() const noexcept { return m_msCall; }

    // The header pass: an entry's name chunk would be cchPath characters, the last cchName of them
    // its name; a document will be read. Names are reserved only when the host asks for them.
    void ReserveName(ULONGLONG cchPath, ULONGLONG cchName) noexcept;
    void CountDocument() noexcept { ++m_cDocumentsLeft; }
    // The pass has seen every entry: the names' form is chosen now.
    void FitNames() noexcept;

    // How many characters of an entry's name (cchPath and cchName as reserved) its chunk gives,
    // and in which form; 0: it gets no chunk (not even one character each fits).
    ULONGLONG NameLength(ULONGLONG cchPath, ULONGLONG cchName, NameForm *pForm) const noexcept;
    // The title's share of what the names leave: it goes out before any document (~0 without a
    // bound).
    ULONGLONG TitleRoom() const noexcept;

    // Our own chunks as they go out: the title, an entry's name (as reserved, and as given).
    void SpendTitle(ULONGLONG cch, bool bCut) noexcept
    {
        m_cchEmitted += cch;
        m_bTitleCut = bCut;
    }
    void SpendName(ULONGLONG cchPath, ULONGLONG cchName, ULONGLONG cchGiven) noexcept;

    // May another document start? Not once the time allowance is spent.
    bool CanStartDocument() const noexcept;
    // A document starts (its child filter was loaded): its share is fixed now.
    void BeginDocument() noexcept;
    // A document that was planned is named only: the run's time is spent (it is not begun), or
    // its share is nothing (begun and left at once).
    void PassDocument() noexcept;
    void LeaveOutDocument() noexcept;
    // Characters the current document may still give (0 once it is cut); ~0 without a bound.
    ULONGLONG DocumentRoom() const noexcept;
    void SpendDocument(ULONGLONG cch) noexcept;
    // The current document gives no more: its share is spent, or the run's time is.
    void CutDocument() noexcept { m_bCut = m_bInDocument; }
    bool IsDocumentCut() const noexcept { return m_bCut; }
    void EndDocument() noexcept;
    // A document begun whose child could not be had after all: named only, its share passes on.
    void AbandonDocument() noexcept { m_bInDocument = m_bCut = false; }
    // The document just ended was cut somewhere inside (an archive of ours nested in it).
    void MarkDocumentInPart() noexcept { m_bCutInside = true; }
    // What the current document's share is, to hand down to an object nested in it.
    HandedDown HandDown() const noexcept;

    RunReport Report() const noexcept;

private:
    ULONGLONG FreeForDocuments() const noexcept;
    ULONGLONG NamesReserved() const noexcept;

    SearchHost m_host = SearchHost::None;
    ULONGLONG m_cchAllowance = 0;
    DWORD m_msRun = 0;
    DWORD m_msCall = 0;
    ULONGLONG m_runDeadline = 0;    // ClockMilliseconds(); 0: none
    // The names not given yet: their whole paths, their names, and how many names there are of
    // each length (for the start of every name that fits).
    ULONGLONG m_cchPathsLeft = 0;
    ULONGLONG m_cchNamesLeft = 0;
    ULONG m_cNamesLeft = 0;
    std::unique_ptr<ULONG[]> m_cNamesOfLength;  // NAME_LENGTHS counts; NULL: none reserved yet
    NameForm m_form = NameForm::Path;
    ULONGLONG m_cchNameStart = 0;   // NameForm::Start: each name's length at most
    ULONGLONG m_cchEmitted = 0;
    ULONG m_cDocumentsLeft = 0;     // planned and not yet begun or passed
    bool m_bInDocument = false;
    bool m_bCut = false;
    ULONGLONG m_cchShare = 0;       // the current document's
    ULONGLONG m_cchDocument = 0;    // what it gave so far
    bool m_bCutInside = false;      // the current document was cut inside
    bool m_bTitleCut = false;
    ULONG m_cNames = 0, m_cWhole = 0, m_cInPart = 0, m_cLeftOut = 0;
};
