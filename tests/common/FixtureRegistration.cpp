#include "FixtureRegistration.h"

#include "support/Holders.h"
#include "support/ProcAddress.h"
#include "support/Registry.h"
#include "tools/fixtures/FixtureIds.h"

namespace {

// The default value of HKLM\SOFTWARE\Classes\<key>, or an empty string.
std::wstring ClassesDefault(const std::wstring &key)
{
    CRegistry reg;
    wchar_t value[MAX_PATH] = {};
    if (!reg.Open(HKEY_LOCAL_MACHINE, (L"SOFTWARE\\Classes\\" + key).c_str()) ||
        !reg.ReadString(nullptr, value, MAX_PATH))
        return std::wstring();
    return value;
}

// Registered as a whole: the class with its module, and the first extension naming its handler.
// What a run that was killed half-way left is not, and is registered over and then removed.
bool IsRegistered(const FixtureInfo &info)
{
    const std::wstring extensions = info.extensions;
    const std::wstring first = extensions.substr(0, extensions.find(L';'));
    return !ClassesDefault(std::wstring(L"CLSID\\") + info.clsid + L"\\InprocServer32").empty() &&
           _wcsicmp(ClassesDefault(first + L"\\PersistentHandler").c_str(), info.handler) == 0;
}

} // namespace

CFixtureRegistration::CFixtureRegistration(int row, const std::wstring &fixturePath) : m_fixturePath(fixturePath)
{
    if (IsRegistered(g_fixtures[row]))
        return;
    m_hr = Call("DllRegisterServer");
    m_bRegistered = SUCCEEDED(m_hr);
}

CFixtureRegistration::~CFixtureRegistration()
{
    if (m_bRegistered)
        Call("DllUnregisterServer");
}

HRESULT CFixtureRegistration::Call(const char *pszExport) const
{
    CLibrary fixture(LoadLibraryW(m_fixturePath.c_str()));
    const auto pfn = GetProcAs<HRESULT(STDAPICALLTYPE *)()>(fixture.Get(), pszExport);
    return pfn != nullptr ? pfn() : HRESULT_FROM_WIN32(GetLastError());
}
