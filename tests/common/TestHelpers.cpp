#include "TestHelpers.h"
#include "support/ProcAddress.h"

#include <gtest/gtest.h>
#include <algorithm>
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

CGathererValue::CGathererValue(const wchar_t *pszKey, const wchar_t *pszName, DWORD dwValue) : m_key(pszKey), m_name(pszName)
{
    std::wstring path;
    for (size_t start = 0; start <= m_key.size();) {
        const size_t end = std::min(m_key.find(L'\\', start), m_key.size());
        path = m_key.substr(0, end);
        HKEY hKey = nullptr;
        DWORD disposition = 0;
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, nullptr, 0,
                                                 KEY_SET_VALUE | KEY_WOW64_64KEY, nullptr, &hKey, &disposition));
        if (disposition == REG_CREATED_NEW_KEY)
            m_made.push_back(path);
        if (end == m_key.size() && hKey != nullptr) {
            EXPECT_EQ(ERROR_SUCCESS, RegSetValueExW(hKey, pszName, 0, REG_DWORD, reinterpret_cast<const BYTE *>(&dwValue),
                                                    sizeof(dwValue)));
        }
        if (hKey != nullptr)
            RegCloseKey(hKey);
        start = end + 1;
    }
}

CGathererValue::~CGathererValue()
{
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, m_key.c_str(), 0, KEY_SET_VALUE | KEY_WOW64_64KEY, &hKey) == ERROR_SUCCESS) {
        RegDeleteValueW(hKey, m_name.c_str());
        RegCloseKey(hKey);
    }
    for (auto it = m_made.rbegin(); it != m_made.rend(); ++it)
        RegDeleteKeyExW(HKEY_LOCAL_MACHINE, it->c_str(), KEY_WOW64_64KEY, 0);
}

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
