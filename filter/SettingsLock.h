// The named mutexes that every host process of the user shares, one per settings file. A lock
// object is waited for on its first Acquire only, so that one Init, which may both end the
// earlier run and start a new one, waits at most once (5 seconds) however many steps need it.
#pragma once
#include <windows.h>

#include "support/Holders.h"

extern const wchar_t BLACK_LIST_MUTEX[];  // guards the black list in IFilterProcess.ini
extern const wchar_t LOG_GUID_MUTEX[];    // guards LogGuid.ini

// Test seam: in-process tests count or shorten the waits. The product never sets it.
struct SettingsTestHooks {
    DWORD (*pfnWaitForMutex)(const wchar_t *pszMutexName, HANDLE hMutex, DWORD dwMilliseconds) = nullptr;
};
extern SettingsTestHooks g_settingsTestHooks;

class CSettingsLock
{
public:
    explicit CSettingsLock(const wchar_t *pszMutexName) noexcept : m_pszMutexName(pszMutexName) {}
    ~CSettingsLock();
    CSettingsLock(const CSettingsLock &) = delete;
    CSettingsLock &operator=(const CSettingsLock &) = delete;

    // Whether this object holds the mutex. The first call opens and waits for it; later calls
    // answer what that wait gave. Only a clean wait counts: a time-out, an abandoned mutex (the
    // file may be half written) or a failure leaves the file alone.
    bool Acquire() noexcept;

private:
    const wchar_t *m_pszMutexName;
    CHandle m_mutex;
    DWORD m_dwWait = WAIT_FAILED;
    bool m_bTried = false;
};
