#include "FixtureRegistration.h"

#include "support/Holders.h"
#include "support/ProcAddress.h"
#include "tools/fixtures/FixtureIds.h"

CFixtureRegistration::CFixtureRegistration(int row, const std::wstring &fixturePath) : m_fixturePath(fixturePath)
{
    const std::wstring key = std::wstring(L"SOFTWARE\\Classes\\CLSID\\") + g_fixtures[row].clsid + L"\\InprocServer32";
    CRegKey existing;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, KEY_READ, existing.Put()) == ERROR_SUCCESS)
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
