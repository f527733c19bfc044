// A fixture filter (tools/fixtures) registered through its own DllRegisterServer for as long as
// the holder lives, so that the filter finds it as the child filter for the row's extensions
// (the fixture text filter: .txt and .fxtxt). A registration that is already there is left as it
// is and not removed. The fixture DLL is loaded only for the two calls, so that a test sees it
// loaded by the filter alone. No GoogleTest here: the fuzz program uses it too.
#pragma once
#include <windows.h>
#include <string>

class CFixtureRegistration
{
public:
    CFixtureRegistration(int row, const std::wstring &fixturePath);
    ~CFixtureRegistration();
    CFixtureRegistration(const CFixtureRegistration &) = delete;
    CFixtureRegistration &operator=(const CFixtureRegistration &) = delete;

    // S_OK when registered (by this holder or before it); otherwise DllRegisterServer's failure.
    HRESULT Result() const { return m_hr; }

private:
    HRESULT Call(const char *pszExport) const;

    std::wstring m_fixturePath;
    HRESULT m_hr = S_OK;
    bool m_bRegistered = false;  // by this holder, and so to be removed by it
};
