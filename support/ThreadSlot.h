// A thread-local slot for the module's life, holding one pointer-sized value per thread (0 until
// set). Taken when the module is loaded (static construction runs at process attach) and given
// back when it is unloaded; TlsAlloc rather than thread_local, so that no thread of the host's
// gets memory of ours it would have to free.
#pragma once
#include <windows.h>

class CThreadSlot
{
public:
    CThreadSlot() noexcept : m_dwIndex(TlsAlloc()) {}
    ~CThreadSlot()
    {
        if (m_dwIndex != TLS_OUT_OF_INDEXES)
            TlsFree(m_dwIndex);
    }
    CThreadSlot(const CThreadSlot &) = delete;
    CThreadSlot &operator=(const CThreadSlot &) = delete;

    bool IsValid() const noexcept { return m_dwIndex != TLS_OUT_OF_INDEXES; }

    // TlsGetValue clears the thread's last error; the callers' last error is kept.
    void *Get() const noexcept
    {
        if (!IsValid())
            return nullptr;
        const DWORD dwError = GetLastError();
        void *pValue = TlsGetValue(m_dwIndex);
        SetLastError(dwError);
        return pValue;
    }
    void Set(void *pValue) const noexcept
    {
        if (IsValid())
            TlsSetValue(m_dwIndex, pValue);
    }

private:
    DWORD m_dwIndex;
};
