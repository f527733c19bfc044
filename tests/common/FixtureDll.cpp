#include "FixtureDll.h"
#include "TestHelpers.h"
#include "support/Holders.h"
#include "support/ProcAddress.h"

#include <gtest/gtest.h>

std::wstring FixturePath(int row)
{
    return TestBinPath(std::wstring(FIXTURE_FOLDER) + L"\\" + g_fixtures[row].dllName);
}

CLSID FixtureClsid(int row)
{
    CLSID clsid = GUID_NULL;
    CLSIDFromString(const_cast<wchar_t *>(g_fixtures[row].clsid), &clsid);
    return clsid;
}

CFixtureDll::CFixtureDll(int row) : m_row(row)
{
    m_hModule = LoadLibraryW(FixturePath(row).c_str());
    if (m_hModule == nullptr)
        ADD_FAILURE() << Narrow(g_fixtures[row].dllName) << " did not load, error " << GetLastError();
}

CFixtureDll::~CFixtureDll()
{
    if (m_hModule != nullptr)
        FreeLibrary(m_hModule);
}

LONG CFixtureDll::ObjectCount() const
{
    auto pfn = GetProcAs<LONG(WINAPI *)()>(m_hModule, "FixtureObjectCount");
    return pfn != nullptr ? pfn() : -1;
}

LONG CFixtureDll::CreatedCount() const
{
    auto pfn = GetProcAs<LONG(WINAPI *)()>(m_hModule, "FixtureCreatedCount");
    return pfn != nullptr ? pfn() : -1;
}

HRESULT CFixtureDll::CanUnloadNow() const
{
    auto pfn = GetProcAs<HRESULT(STDAPICALLTYPE *)()>(m_hModule, "DllCanUnloadNow");
    return pfn != nullptr ? pfn() : E_NOTIMPL;
}

HRESULT CFixtureDll::GetClassObject(REFCLSID clsid, REFIID iid, void **ppv) const
{
    auto pfn = GetProcAs<HRESULT(STDAPICALLTYPE *)(REFCLSID, REFIID, void **)>(m_hModule, "DllGetClassObject");
    return pfn != nullptr ? pfn(clsid, iid, ppv) : E_NOTIMPL;
}

HRESULT CFixtureDll::CreateFilter(IFilter **ppFilter) const
{
    *ppFilter = nullptr;
    CComPtr<IClassFactory> factory;
    const HRESULT hr = GetClassObject(FixtureClsid(m_row), IID_IClassFactory, factory.PutVoid());
    if (FAILED(hr))
        return hr;
    return factory->CreateInstance(nullptr, IID_IFilter, reinterpret_cast<void **>(ppFilter));
}

bool IsModuleLoaded(const std::wstring &pathOrName) { return GetModuleHandleW(pathOrName.c_str()) != nullptr; }
