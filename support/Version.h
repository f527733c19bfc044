// Version facts of the running system and of the shell lightweight library, recorded once while
// the module loads (InitializeVersionFacts from DllMain) and only read afterwards.
#pragma once
#include <windows.h>

class COperatingSystem
{
public:
    COperatingSystem() noexcept;

    bool IsFilled() const noexcept { return m_bFilled; }
    DWORD PlatformId() const noexcept { return m_dwPlatformId; }
    DWORD Major() const noexcept { return m_dwMajor; }
    DWORD Minor() const noexcept { return m_dwMinor; }
    WORD ServicePackMajor() const noexcept { return m_wServicePackMajor; }

    // Replaces the record (tests use it to stand for another system).
    void Set(DWORD platformId, DWORD major, DWORD minor, WORD servicePackMajor) noexcept;

private:
    bool m_bFilled = false;
    DWORD m_dwPlatformId = 0;
    DWORD m_dwMajor = 0;
    DWORD m_dwMinor = 0;
    WORD m_wServicePackMajor = 0;
};

// Builds the record, the two flags and the shell library version, in that order.
void InitializeVersionFacts() noexcept;

bool IsVersionAtLeast(DWORD major, DWORD minor, WORD servicePackMajor, DWORD platformId) noexcept;
bool GetDllVersion(const wchar_t *pszDll, DWORD *pdwVersion) noexcept;

const COperatingSystem &OperatingSystem() noexcept;
bool IsAtLeastWindows98() noexcept;
bool IsAtLeastWindows2000() noexcept;
DWORD ShellLibraryVersion() noexcept;

// For tests: stand for another system or shell library, then recompute the flags.
void OverrideVersionFacts(DWORD platformId, DWORD major, DWORD minor, WORD servicePackMajor) noexcept;
void OverrideShellLibraryVersion(DWORD packedVersion) noexcept;
