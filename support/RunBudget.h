// One run's account of memory and of work. A search host runs filters inside a job with a memory
// limit, so what an archive declares (a dictionary, an unpacked size, a nesting depth) is only a
// request: it is charged here before anything is allocated, and what does not fit is refused and
// the entry named only. The account is shared by every nesting level of a run: an archive inside
// an archive is filtered by another object of ours, created and driven inside the outer object's
// call on the same thread (support/CallContext.h), and it charges the same account.
//   CComPtr<CRunBudget> budget;  budget.Attach(CRunBudget::Create(48 << 20, 1 << 30));
//   CBudgetCharge window(budget.Get());
//   if (!window.TryResize(cbNeed)) ... refused: nothing was allocated
// Counts change by interlocked operations; one run is driven by one thread at a time.
#pragma once
#include <windows.h>

class CRunBudget
{
public:
    // A new account with one reference for the caller; NULL when memory runs out.
    static CRunBudget *Create(ULONGLONG cbMemory, ULONGLONG cbSkipWork) noexcept;

    ULONG AddRef() noexcept;
    ULONG Release() noexcept;

    // Charges cb when it fits in what is left; FALSE (nothing charged) when it does not.
    bool TryCharge(ULONGLONG cb) noexcept;
    void Refund(ULONGLONG cb) noexcept;
    ULONGLONG Available() const noexcept;

    // Decompression done only to pass entries nobody reads (solid data): counts cb, FALSE once the
    // run's bound is passed.
    bool SpendSkipWork(ULONGLONG cb) noexcept;

private:
    CRunBudget(ULONGLONG cbMemory, ULONGLONG cbSkipWork) noexcept : m_cbMemory(cbMemory), m_cbSkipWork(cbSkipWork) {}
    ~CRunBudget() = default;

    LONG m_cRef = 1;
    const ULONGLONG m_cbMemory;
    const ULONGLONG m_cbSkipWork;
    volatile LONGLONG m_cbCharged = 0;
    volatile LONGLONG m_cbSkipped = 0;
};

// A charge held against an account for one thing (a window, a document, an open archive),
// refunded when the holder goes. Without an account every charge fits (nothing is counted).
class CBudgetCharge
{
public:
    explicit CBudgetCharge(CRunBudget *pBudget = nullptr) noexcept;
    ~CBudgetCharge();
    CBudgetCharge(const CBudgetCharge &) = delete;
    CBudgetCharge &operator=(const CBudgetCharge &) = delete;
    CBudgetCharge(CBudgetCharge &&other) noexcept;
    CBudgetCharge &operator=(CBudgetCharge &&other) noexcept;

    // Makes the charge cbNew: a growth is charged first and refused when it does not fit (the
    // charge stays as it was); a shrink is refunded.
    bool TryResize(ULONGLONG cbNew) noexcept;
    void Reset() noexcept { TryResize(0); }
    ULONGLONG Size() const noexcept { return m_cb; }
    CRunBudget *Budget() const noexcept { return m_pBudget; }

private:
    CRunBudget *m_pBudget = nullptr;  // one reference, or NULL
    ULONGLONG m_cb = 0;
};
