// The time a host's call may take on our side. A search host waits only so long for each chunk
// and ends a filter host that does not answer, so the work done inside one call (decompressing,
// passing solid data, extracting, listing, opening a nested archive) stops at a deadline that
// the outermost call of our filter sets on its thread; an object of ours nested inside that call
// keeps the same deadline. Work that passes it is abandoned: the entry it was for is named only.
//   const CCallDeadlineScope call(limits.msCall);   // at a COM entry point
//   if (CallDeadlinePassed()) ... give up this entry
#pragma once
#include <windows.h>

// Has the deadline of the call on this thread passed? false when there is none.
bool CallDeadlinePassed() noexcept;

// The call on this thread must be done within msCall milliseconds (0: no bound) from now, or by
// the deadline an outer call set already, whichever comes first.
class CCallDeadlineScope
{
public:
    explicit CCallDeadlineScope(DWORD msCall) noexcept;
    ~CCallDeadlineScope();
    CCallDeadlineScope(const CCallDeadlineScope &) = delete;
    CCallDeadlineScope &operator=(const CCallDeadlineScope &) = delete;

private:
    void *m_pPrevious;
    ULONGLONG m_deadline = 0;  // in ClockMilliseconds(), when this scope set one
};

// Milliseconds since the system started, the clock every deadline is read on.
inline ULONGLONG ClockMilliseconds() noexcept { return GetTickCount64(); }
