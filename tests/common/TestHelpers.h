// Helpers shared by the test programs: the built DLL loaded the way a host loads it, Windows
// paths of the test data, the temp folder's run folders, and HRESULT printing.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

#include "FilterStream.h"  // Narrow, Widen
#include "TestConfig.h"

// Prints an HRESULT as 0x8XXXXXXX in assertion messages.
std::string HrText(HRESULT hr);
#define EXPECT_HR(expected, actual) EXPECT_EQ(HrText(expected), HrText(actual))
#define ASSERT_HR(expected, actual) ASSERT_EQ(HrText(expected), HrText(actual))

// A marker that shows when an out-parameter was left untouched.
constexpr DWORD MARKER = 0xdeadbeef;
inline void *MarkerPointer() { return reinterpret_cast<void *>(static_cast<UINT_PTR>(MARKER)); }

std::wstring TestDataPath(const std::wstring &name);  // TEST_DATA_DIR\name
std::wstring TestBinPath(const std::wstring &name);   // TEST_BIN_DIR\name

// The user's temp folder (GetTempPathW, with its backslash) and the run folders in it:
// names of exactly 32 hexadecimal digits.
std::wstring TempFolder();
std::vector<std::wstring> RunFolders();

// The product DLL, loaded from the build folder with LoadLibraryW, and its exports.
class CProductDll
{
public:
    CProductDll();
    ~CProductDll();
    CProductDll(const CProductDll &) = delete;
    CProductDll &operator=(const CProductDll &) = delete;

    HMODULE Module() const { return m_hModule; }
    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void **ppv) const;
    HRESULT CanUnloadNow() const;
    HRESULT RegisterServer() const;
    HRESULT UnregisterServer() const;

private:
    HMODULE m_hModule = nullptr;
};

