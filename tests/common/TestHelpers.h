// Helpers shared by the test programs: Windows paths of the test data and the build, the temp
// folder's run folders, and HRESULT assertions (the host's own calls are in HostCalls.h).
#pragma once
#include <windows.h>
#include <string>
#include <vector>

#include "HostCalls.h"  // HrText, Narrow, MARKER, CProductDll
#include "TestConfig.h"

#define EXPECT_HR(expected, actual) EXPECT_EQ(HrText(expected), HrText(actual))
#define ASSERT_HR(expected, actual) ASSERT_EQ(HrText(expected), HrText(actual))


std::wstring TestDataPath(const std::wstring &name);  // TEST_DATA_DIR\name
std::wstring TestBinPath(const std::wstring &name);   // TEST_BIN_DIR\name
// Where a program a test runs writes its output file: this architecture's own build folder. The
// test data's folder is shared with the other architecture's tests, which watch it for files
// that come and go.
inline std::wstring ProgramOutputFolder() { return TestBinPath(L""); }

// The user's temp folder (GetTempPathW, with its backslash) and the run folders in it:
// names of exactly 32 hexadecimal digits.
std::wstring TempFolder();
std::vector<std::wstring> RunFolders();



// Sets one of the run's limits (HKLM\SOFTWARE\Quorvane\Pellucidor, REG_DWORD) for the object's
// life; the key goes with it (the set-up removes one a killed run left).
// A REG_DWORD of a Windows Search gatherer key (under HKLM, in the 64-bit view, the indexer's own)
// for the scope's life; the keys made for it go again.
class CGathererValue
{
public:
    CGathererValue(const wchar_t *pszKey, const wchar_t *pszName, DWORD dwValue);
    ~CGathererValue();
    CGathererValue(const CGathererValue &) = delete;
    CGathererValue &operator=(const CGathererValue &) = delete;

private:
    std::wstring m_key, m_name;
    std::vector<std::wstring> m_made;  // keys created, deepest last
};

class CLimitValue
{
public:
    CLimitValue(const wchar_t *pszName, DWORD dwValue);
    ~CLimitValue();
    CLimitValue(const CLimitValue &) = delete;
    CLimitValue &operator=(const CLimitValue &) = delete;
};
