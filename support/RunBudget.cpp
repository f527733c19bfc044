#include "support/RunBudget.h"

#include <new>
#include <utility>

namespace {

// The counts are kept as LONGLONG for the interlocked functions; no account comes near 2^63.
LONGLONG AsCount(ULONGLONG cb) noexcept { return cb > static_cast<ULONGLONG>(MAXLONGLONG) ? MAXLONGLONG : static_cast<LONGLONG>(cb); }

} // namespace

CRunBudget *CRunBudget::Create(ULONGLONG cbMemory, ULONGLONG cbSkipWork) noexcept
{
    return new (std::nothrow) CRunBudget(cbMemory, cbSkipWork);
}

ULONG CRunBudget::AddRef() noexcept { return static_cast<ULONG>(InterlockedIncrement(&m_cRef)); }

ULONG CRunBudget::Release() noexcept
{
    const LONG cRef = InterlockedDecrement(&m_cRef);
    if (cRef == 0)
        delete this;
    return static_cast<ULONG>(cRef);
}

bool CRunBudget::TryCharge(ULONGLONG cb) noexcept
{
    const LONGLONG cbAsk = AsCount(cb);
    const LONGLONG cbLimit = AsCount(m_cbMemory);
    for (;;) {
        const LONGLONG cbNow = m_cbCharged;
        if (cbAsk > cbLimit - cbNow)
            return false;
        if (InterlockedCompareExchange64(&m_cbCharged, cbNow + cbAsk, cbNow) == cbNow)
            return true;
    }
}

void CRunBudget::Refund(ULONGLONG cb) noexcept { InterlockedExchangeAdd64(&m_cbCharged, -AsCount(cb)); }

ULONGLONG CRunBudget::Available() const noexcept
{
    const LONGLONG cbNow = m_cbCharged;
    const LONGLONG cbLimit = AsCount(m_cbMemory);
    return cbNow >= cbLimit ? 0 : static_cast<ULONGLONG>(cbLimit - cbNow);
}

bool CRunBudget::SpendSkipWork(ULONGLONG cb) noexcept
{
    const LONGLONG cbDone = InterlockedExchangeAdd64(&m_cbSkipped, AsCount(cb)) + AsCount(cb);
    return cbDone >= 0 && static_cast<ULONGLONG>(cbDone) <= m_cbSkipWork;
}

CBudgetCharge::CBudgetCharge(CRunBudget *pBudget) noexcept : m_pBudget(pBudget)
{
    if (m_pBudget != nullptr)
        m_pBudget->AddRef();
}

CBudgetCharge::~CBudgetCharge()
{
    Reset();
    if (m_pBudget != nullptr)
        m_pBudget->Release();
}

CBudgetCharge::CBudgetCharge(CBudgetCharge &&other) noexcept
    : m_pBudget(std::exchange(other.m_pBudget, nullptr)), m_cb(std::exchange(other.m_cb, 0))
{
}

CBudgetCharge &CBudgetCharge::operator=(CBudgetCharge &&other) noexcept
{
    if (this != &other) {
        Reset();
        if (m_pBudget != nullptr)
            m_pBudget->Release();
        m_pBudget = std::exchange(other.m_pBudget, nullptr);
        m_cb = std::exchange(other.m_cb, 0);
    }
    return *this;
}

bool CBudgetCharge::TryResize(ULONGLONG cbNew) noexcept
{
    if (m_pBudget != nullptr) {
        if (cbNew > m_cb && !m_pBudget->TryCharge(cbNew - m_cb))
            return false;
        if (cbNew < m_cb)
            m_pBudget->Refund(m_cb - cbNew);
    }
    m_cb = cbNew;
    return true;
}
