#include "support/Version.h"
#include "support/Holders.h"
#include "support/ProcAddress.h"

#include <shlwapi.h>

namespace {

COperatingSystem g_os;
bool g_bAtLeast98 = false;
bool g_bAtLeast2000 = false;
DWORD g_dwShellVersion = 0;

bool QuerySystem(OSVERSIONINFOEXW &info) noexcept
{
    info = {};
    info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
    return GetVersionExW(reinterpret_cast<OSVERSIONINFOW *>(&info)) != FALSE;
#pragma GCC diagnostic pop
}

void ComputeFlags() noexcept
{
    g_bAtLeast98 = IsVersionAtLeast(4, 10, 0, VER_PLATFORM_WIN32_WINDOWS);
    g_bAtLeast2000 = IsVersionAtLeast(5, 0, 0, VER_PLATFORM_WIN32_NT);
}

} // namespace

COperatingSystem::COperatingSystem() noexcept
{
    OSVERSIONINFOEXW info;
    if (QuerySystem(info))
        Set(info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion, info.wServicePackMajor);
}

void COperatingSystem::Set(DWORD platformId, DWORD major, DWORD minor, WORD servicePackMajor) noexcept
{
    m_dwPlatformId = platformId;
    m_dwMajor = major;
    m_dwMinor = minor;
    m_wServicePackMajor = servicePackMajor;
    m_bFilled = true;
}

void InitializeVersionFacts() noexcept
{
    g_os = COperatingSystem();
    ComputeFlags();
    DWORD version = 0;
    g_dwShellVersion = GetDllVersion(L"SHLWAPI.DLL", &version) ? version : 0;
}

bool IsVersionAtLeast(DWORD major, DWORD minor, WORD servicePackMajor, DWORD platformId) noexcept
{
    COperatingSystem os = g_os;
    if (!os.IsFilled()) {
        OSVERSIONINFOEXW info;
        if (!QuerySystem(info))
            return false;
        os.Set(info.dwPlatformId, info.dwMajorVersion, info.dwMinorVersion, info.wServicePackMajor);
    }
    if (os.PlatformId() != platformId)
        return false;
    if (os.Major() != major)
        return os.Major() > major;
    if (os.Minor() != minor)
        return os.Minor() > minor;
    return os.ServicePackMajor() >= servicePackMajor;
}

bool GetDllVersion(const wchar_t *pszDll, DWORD *pdwVersion) noexcept
{
    if (pszDll == nullptr || IsBadStringPtrW(pszDll, MAX_PATH) || pdwVersion == nullptr ||
        IsBadWritePtr(pdwVersion, sizeof(DWORD)) || pszDll[0] == L'\0')
        return false;
    *pdwVersion = 0;
    CLibrary library(LoadLibraryW(pszDll));
    if (!library)
        return false;
    auto pfn = GetProcAs<DLLGETVERSIONPROC>(library.Get(), "DllGetVersion");
    if (pfn == nullptr)
        return false;
    DLLVERSIONINFO info = {};
    info.cbSize = sizeof(info);
    const HRESULT hr = pfn(&info);
    library.Close();
    if (FAILED(hr))
        return false;
    *pdwVersion = ((info.dwMajorVersion & 0xFFFF) << 16) | (info.dwMinorVersion & 0xFFFF);
    return true;
}

const COperatingSystem &OperatingSystem() noexcept { return g_os; }
bool IsAtLeastWindows98() noexcept { return g_bAtLeast98; }
bool IsAtLeastWindows2000() noexcept { return g_bAtLeast2000; }
DWORD ShellLibraryVersion() noexcept { return g_dwShellVersion; }

void OverrideVersionFacts(DWORD platformId, DWORD major, DWORD minor, WORD servicePackMajor) noexcept
{
    g_os.Set(platformId, major, minor, servicePackMajor);
    ComputeFlags();
}

void OverrideShellLibraryVersion(DWORD packedVersion) noexcept { g_dwShellVersion = packedVersion; }
