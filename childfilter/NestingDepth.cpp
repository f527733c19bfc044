#include "childfilter/NestingDepth.h"

namespace {

// One thread-local slot for the module's life: taken when the module is loaded (static
// construction runs at process attach), given back when it is unloaded.
class CNestingSlot
{
public:
    CNestingSlot() noexcept : m_dwIndex(TlsAlloc()) {}
    ~CNestingSlot()
    {
        if (m_dwIndex != TLS_OUT_OF_INDEXES)
            TlsFree(m_dwIndex);
    }
    CNestingSlot(const CNestingSlot &) = delete;
    CNestingSlot &operator=(const CNestingSlot &) = delete;

    bool IsValid() const noexcept { return m_dwIndex != TLS_OUT_OF_INDEXES; }

    // TlsGetValue clears the thread's last error; the callers' last error is kept.
    LONG Get() const noexcept
    {
        const DWORD dwError = GetLastError();
        const LONG depth = static_cast<LONG>(reinterpret_cast<INT_PTR>(TlsGetValue(m_dwIndex)));
        SetLastError(dwError);
        return depth;
    }
    void Set(LONG depth) const noexcept { TlsSetValue(m_dwIndex, reinterpret_cast<void *>(static_cast<INT_PTR>(depth))); }

private:
    DWORD m_dwIndex;
};

CNestingSlot g_nestingSlot;

} // namespace

CNestingScope::CNestingScope() noexcept
{
    if (g_nestingSlot.IsValid())
        g_nestingSlot.Set(g_nestingSlot.Get() + 1);
}

CNestingScope::~CNestingScope()
{
    if (g_nestingSlot.IsValid())
        g_nestingSlot.Set(g_nestingSlot.Get() - 1);
}

LONG NestingDepth() noexcept
{
    return g_nestingSlot.IsValid() ? g_nestingSlot.Get() : MAX_NESTED_ARCHIVES;
}
