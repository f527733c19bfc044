#include "Registrars.h"
#include "ProcessStart.h"
#include "TestHelpers.h"
#include "support/Holders.h"

#include <gtest/gtest.h>
#include <olectl.h>

namespace {

constexpr DWORD HANG_GUARD_MS = 120000;

std::wstring Quoted(const std::wstring &text) { return L"\"" + text + L"\""; }

std::wstring Regsvr32Path()
{
    // From a 32-bit process the system folder is the 32-bit one: the right tool for each build.
    wchar_t folder[MAX_PATH] = {};
    GetSystemDirectoryW(folder, MAX_PATH);
    return std::wstring(folder) + L"\\regsvr32.exe";
}

// A copy of regcall.exe under a name of its own, so an override set for it reaches nothing else.
class CHelperCopy
{
public:
    explicit CHelperCopy(const wchar_t *pszTag)
    {
        static LONG s_nCopy = 0;
        m_name = L"regcall-" + std::wstring(pszTag) + L"-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                 std::to_wstring(InterlockedIncrement(&s_nCopy)) + L".exe";
        if (!CopyFileW(TestBinPath(L"regcall.exe").c_str(), Path().c_str(), FALSE))
            ADD_FAILURE() << "copying regcall.exe failed, error " << GetLastError();
    }
    ~CHelperCopy() { DeleteFileW(Path().c_str()); }
    CHelperCopy(const CHelperCopy &) = delete;
    CHelperCopy &operator=(const CHelperCopy &) = delete;

    const std::wstring &Name() const { return m_name; }
    std::wstring Path() const { return TestBinPath(m_name); }

private:
    std::wstring m_name;
};

DWORD RunHelper(const wchar_t *pszVersion, const std::wstring &arguments)
{
    CHelperCopy helper(pszVersion != nullptr ? pszVersion : L"default");
    if (pszVersion == nullptr)
        return RunProcess(Quoted(helper.Path()) + L" " + arguments);
    CAppVersionOverride version(helper.Name(), pszVersion);
    return RunProcess(Quoted(helper.Path()) + L" " + arguments);
}

} // namespace

DWORD RunProcess(const std::wstring &commandLine)
{
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!StartProcess(nullptr, commandLine, FALSE, si, pi)) {
        ADD_FAILURE() << "cannot start " << Narrow(commandLine) << ", error " << GetLastError();
        return PROCESS_HUNG;
    }
    CHandle process(pi.hProcess);
    CHandle thread(pi.hThread);
    if (WaitForSingleObject(process.Get(), HANG_GUARD_MS) != WAIT_OBJECT_0) {
        TerminateProcess(process.Get(), PROCESS_HUNG);
        WaitForSingleObject(process.Get(), 30000);
        ADD_FAILURE() << Narrow(commandLine) << " did not end; stopped";
        return PROCESS_HUNG;
    }
    DWORD dwExitCode = PROCESS_HUNG;
    GetExitCodeProcess(process.Get(), &dwExitCode);
    return dwExitCode;
}

DWORD ExpectedOutcome(const CRegistrar &registrar, HRESULT hr)
{
    if (registrar.kind != CRegistrar::Tool)
        return static_cast<DWORD>(hr);
    return SUCCEEDED(hr) ? 0 : 5;
}

DWORD RunRegistration(const CRegistrar &registrar, bool bUnregister)
{
    const std::wstring dll = TestBinPath(L"Pellucidor.dll");
    switch (registrar.kind) {
    case CRegistrar::Export: {
        CProductDll product;
        return static_cast<DWORD>(bUnregister ? product.UnregisterServer() : product.RegisterServer());
    }
    case CRegistrar::Tool: {
        const std::wstring line = Quoted(Regsvr32Path()) + (bUnregister ? L" /s /u " : L" /s ") + Quoted(dll);
        if (registrar.version == nullptr)
            return RunProcess(line);
        // Set only for this run: every other regsvr32 in the prefix sees the prefix's own Windows.
        CAppVersionOverride version(L"regsvr32.exe", registrar.version);
        return RunProcess(line);
    }
    case CRegistrar::Helper:
        return RunHelper(registrar.version, (bUnregister ? L"unregister " : L"register ") + Quoted(dll));
    }
    return PROCESS_HUNG;
}

DWORD HelperVersion(const wchar_t *pszVersion) { return RunHelper(pszVersion, L"version"); }

CAppVersionOverride::CAppVersionOverride(const std::wstring &exeName, const wchar_t *pszVersion)
    : m_path(L"Software\\Wine\\AppDefaults"), m_saved(CRegTree::Capture(HKEY_CURRENT_USER, m_path))
{
    const LONG err = SetRegValue(HKEY_CURRENT_USER, m_path + L"\\" + exeName, L"Version", REG_SZ, pszVersion);
    if (err != ERROR_SUCCESS)
        ADD_FAILURE() << "cannot set the Windows version for " << Narrow(exeName) << ", error " << err;
}

CAppVersionOverride::~CAppVersionOverride() { m_saved.Restore(HKEY_CURRENT_USER, m_path); }
