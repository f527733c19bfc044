// What a call of ours carries on its thread for an object of ours that is created and called
// inside it: an archive nested in another is filtered by another filter object of our class,
// which the outer object's child-filter loader makes and calls from inside the outer object's
// GetChunk (or the child's GetText or GetValue), on the same thread. Such an object joins the
// outer one's run, keeps its call's deadline, spends the share of the host's allowance handed
// down to it, and counts one level deeper.
//
// One thread slot holds the innermost call frame. Every COM entry point of a filter object opens
// one for its life, on the stack (CCallFrame); a frame takes what it does not set from the frame
// it is nested in. The slot is TlsAlloc's, not thread_local, so that no thread of the host's gets
// memory of ours it would have to free; it holds nothing once the outermost call returns.
//   const CCallFrame frame(m_pBudget.Get(), msCall, CallKind::Filtering);   // at an entry point
//   if (CallDeadlinePassed()) ... give up this entry
#pragma once
#include <windows.h>

class CRunBudget;

// A document's share of the host's allowance, handed down to an archive of ours inside it.
struct HandedDown {
    ULONGLONG cchText;     // the document's share
    ULONGLONG runDeadline; // ClockMilliseconds() by which the run must end, 0: none
};

// Archives filtered one inside another on one thread, the outermost included. Each level holds a
// live filter object with its open archive handles and, for its inner archive, the document in
// memory or an extracted copy on disk; what they hold in memory is charged to the one account of
// the run, which refuses a level that does not fit. Each level also adds a few frames to the host
// thread's stack. Archives met in practice nest one or two deep (mailed archives, backups of
// folders holding archives); eight covers them with room to spare.
constexpr LONG MAX_NESTED_ARCHIVES = 8;

enum class CallKind {
    Filtering,  // Init and GetChunk: the object filters its archive, one level deeper
    Relaying,   // GetText and GetValue: they only reach the object's child
};

class CCallFrame
{
public:
    // A call of an object in the run pBudget (NULL: the outer frame's run, if any), bounded to
    // msCall milliseconds from now (0: no bound of its own) or the outer frame's deadline,
    // whichever comes first.
    CCallFrame(CRunBudget *pBudget, DWORD msCall, CallKind kind) noexcept;
    ~CCallFrame();
    CCallFrame(const CCallFrame &) = delete;
    CCallFrame &operator=(const CCallFrame &) = delete;

    CRunBudget *Budget() const noexcept { return m_pBudget; }
    ULONGLONG Deadline() const noexcept { return m_deadline; }
    LONG Depth() const noexcept { return m_depth; }
    const HandedDown *Share() const noexcept { return m_pHandedDown; }

private:
    friend class CHandDownScope;

    CCallFrame *m_pOuter;
    CRunBudget *m_pBudget;
    ULONGLONG m_deadline = 0;  // ClockMilliseconds(); 0: none
    LONG m_depth;
    const HandedDown *m_pHandedDown;
};

// Hands a document's share down, within the current frame, for the scope's life (around its
// child's load and Init).
class CHandDownScope
{
public:
    explicit CHandDownScope(const HandedDown *pHandedDown) noexcept;
    ~CHandDownScope();
    CHandDownScope(const CHandDownScope &) = delete;
    CHandDownScope &operator=(const CHandDownScope &) = delete;

private:
    CCallFrame *m_pFrame;
    const HandedDown *m_pPrevious = nullptr;
};

// The account of the run whose call is on this thread, or NULL outside every call of ours: an
// object of ours that a child filter makes on another thread starts a run of its own.
CRunBudget *CurrentRunBudget() noexcept;
// What the call on this thread hands down to an object of ours nested in it, or NULL.
const HandedDown *CurrentHandedDown() noexcept;
// Has the deadline of the call on this thread passed? false when there is none.
bool CallDeadlinePassed() noexcept;
// May one more archive of ours be filtered inside the calls now on this thread? The one rule on
// nesting: fewer than MAX_NESTED_ARCHIVES of our objects are filtering on it. When no slot could
// be had, no: an archive is then still filtered, but none inside it by our own class.
bool MayNestArchive() noexcept;
// How many of our objects are filtering (inside Init or GetChunk) on this thread.
LONG NestingDepth() noexcept;

// Milliseconds since the system started, the clock every deadline is read on.
inline ULONGLONG ClockMilliseconds() noexcept { return GetTickCount64(); }
