// A fixture filter DLL (tools/fixtures) loaded into the test process, with its counters and a
// way to create its filter class as a host does. Rows and behaviours: tools/fixtures/FixtureIds.h.
#pragma once
#include <windows.h>
#include <filter.h>
#include <string>

#include "tools/fixtures/FixtureIds.h"

// Full Windows path of a fixture DLL in the build folder.
std::wstring FixturePath(int row);
// The fixture's filter class identifier as a CLSID.
CLSID FixtureClsid(int row);

class CFixtureDll
{
public:
    explicit CFixtureDll(int row);  // LoadLibraryW of the fixture; FreeLibrary in the destructor
    ~CFixtureDll();
    CFixtureDll(const CFixtureDll &) = delete;
    CFixtureDll &operator=(const CFixtureDll &) = delete;

    HMODULE Module() const { return m_hModule; }
    const FixtureInfo &Info() const { return g_fixtures[m_row]; }
    LONG ObjectCount() const;   // live filter objects and class factories
    LONG CreatedCount() const;  // filter objects created since the module was loaded
    HRESULT CanUnloadNow() const;
    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void **ppv) const;
    // DllGetClassObject, then IClassFactory::CreateInstance for IFilter.
    HRESULT CreateFilter(IFilter **ppFilter) const;

private:
    int m_row;
    HMODULE m_hModule = nullptr;
};

// Is a module of that path or name loaded in this process?
bool IsModuleLoaded(const std::wstring &pathOrName);
