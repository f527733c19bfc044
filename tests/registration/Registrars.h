// The ways registration reaches the DLL in these tests: the exports called in this process, the
// platform's regsvr32 in a child process, and the regcall helper under a name for which Wine
// reports an older Windows (HKCU\Software\Wine\AppDefaults\<exe name>, value "Version").
#pragma once
#include <windows.h>
#include <string>

#include "RegistryTree.h"

struct CRegistrar {
    enum Kind { Export, Tool, Helper };
    const char *name;
    Kind kind;
    const wchar_t *version;  // Wine's name for the Windows version to report; nullptr: the prefix's own
    bool fullChain;          // a system before Windows 2000: ProgID and document class are written too
};

// What the caller sees for a registration result: the HRESULT itself, or regsvr32's exit code
// (0 for S_OK and for S_FALSE, 5 when DllRegisterServer fails).
DWORD ExpectedOutcome(const CRegistrar &registrar, HRESULT hr);
DWORD RunRegistration(const CRegistrar &registrar, bool bUnregister);

// GetVersionExW as the helper sees it under that version: platform << 16 | major << 8 | minor.
DWORD HelperVersion(const wchar_t *pszVersion);

// Sets "Version" for one executable name; puts the whole AppDefaults key back as it was when it goes.
class CAppVersionOverride
{
public:
    CAppVersionOverride(const std::wstring &exeName, const wchar_t *pszVersion);
    ~CAppVersionOverride();
    CAppVersionOverride(const CAppVersionOverride &) = delete;
    CAppVersionOverride &operator=(const CAppVersionOverride &) = delete;

private:
    std::wstring m_path;
    CRegTree m_saved;
};

// Runs a command line and returns its exit code. A child that has not ended after two minutes is
// stopped and reported as a failure (a hung registration must not hang the test run).
DWORD RunProcess(const std::wstring &commandLine);
constexpr DWORD PROCESS_HUNG = 0xFFFFFFF0;
