#include "TestHelpers.h"
#include "support/ProcAddress.h"

#include <gtest/gtest.h>
#include <cstdio>
#include <cwctype>

#include "support/Version.h"

namespace {
// Test programs link the product's code statically, without its DllMain: record the version
// facts the way the DLL does at process attach.
const struct VersionFactsAtStart {
    VersionFactsAtStart() { InitializeVersionFacts(); }
} g_versionFactsAtStart;
} // namespace


std::wstring TestDataPath(const std::wstring &name) { return std::wstring(TEST_DATA_DIR) + L"\\" + name; }
std::wstring TestBinPath(const std::wstring &name) { return std::wstring(TEST_BIN_DIR) + L"\\" + name; }

std::wstring TempFolder()
{
    wchar_t path[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, path);
    std::wstring folder(path);
    if (!folder.empty() && folder.back() != L'\\')
        folder += L'\\';
    return folder;
}

std::vector<std::wstring> RunFolders()
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((TempFolder() + L"*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        std::wstring name(fd.cFileName);
        if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0 || name.size() != 32)
            continue;
        bool hex = true;
        for (wchar_t ch : name)
            hex = hex && std::iswxdigit(ch);
        if (hex)
            names.push_back(name);
    } while (FindNextFileW(find, &fd));
    FindClose(find);
    return names;
}

CProductDll::CProductDll()
{
    m_hModule = LoadLibraryW(TestBinPath(L"Pellucidor.dll").c_str());
    if (m_hModule == nullptr)
        ADD_FAILURE() << "Pellucidor.dll did not load, error " << GetLastError();
}


namespace {
const wchar_t LIMITS_KEY[] = L"SOFTWARE\\Quorvane\\Pellucidor";
} // namespace

CLimitValue::CLimitValue(const wchar_t *pszName, DWORD dwValue)
{
    HKEY hKey = nullptr;
    EXPECT_EQ(ERROR_SUCCESS,
              RegCreateKeyExW(HKEY_LOCAL_MACHINE, LIMITS_KEY, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &hKey, nullptr));
    EXPECT_EQ(ERROR_SUCCESS,
              RegSetValueExW(hKey, pszName, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&dwValue), sizeof(dwValue)));
    RegCloseKey(hKey);
}

CLimitValue::~CLimitValue()
{
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, LIMITS_KEY);
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Quorvane");
}
