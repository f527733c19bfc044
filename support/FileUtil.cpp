#include "support/FileUtil.h"
#include "support/Holders.h"
#include "support/ProcAddress.h"
#include "support/SafeString.h"
#include "support/Version.h"

#include <cwchar>
#include <shlobj.h>
#include <shlwapi.h>
#include <softpub.h>
#include <wintrust.h>

namespace {

bool IsSeparator(wchar_t ch) noexcept { return ch == L'\\' || ch == L'/'; }

using PFN_GetLongPathNameW = DWORD(WINAPI *)(LPCWSTR, LPWSTR, DWORD);
// Resolved on first use; two threads racing store the same address.
PFN_GetLongPathNameW g_pfnGetLongPathNameW = nullptr;

DWORD GetLongPathThroughShell(const wchar_t *pszPath, wchar_t *pszLongPath) noexcept
{
    CComPtr<IShellFolder> desktop;
    if (FAILED(SHGetDesktopFolder(desktop.Put())))
        return 0;
    wchar_t szPath[MAX_PATH];
    if (SafeStringCopy(szPath, MAX_PATH, pszPath) != S_OK)
        return 0;
    LPITEMIDLIST pidl = nullptr;
    const HRESULT hr = desktop->ParseDisplayName(nullptr, nullptr, szPath, nullptr, &pidl, nullptr);
    desktop.Reset();
    if (FAILED(hr) || pidl == nullptr)
        return 0;
    const BOOL ok = SHGetPathFromIDListW(pidl, pszLongPath);
    CoTaskMemFree(pidl);
    if (!ok) {
        pszLongPath[0] = L'\0';
        return 0;
    }
    return static_cast<DWORD>(wcslen(pszLongPath));
}

} // namespace

bool FileExists(const wchar_t *pszPath) noexcept
{
    if (pszPath == nullptr || IsBadReadPtr(pszPath, 2))
        return false;
    size_t cch = 0;
    if (FAILED(SafeStringLength(pszPath, MAX_PATH, &cch)) || cch == 0 || cch >= MAX_PATH)
        return false;
    WIN32_FIND_DATAW fd;
    CFindHandle find(FindFirstFileW(pszPath, &fd));
    if (!find)
        return false;
    return (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool IsExistingFile(const wchar_t *pszPath) noexcept
{
    size_t cch = 0;
    if (pszPath == nullptr || FAILED(SafeStringLength(pszPath, MAX_PATH, &cch)) || cch == 0 || cch >= MAX_PATH)
        return false;
    const DWORD dwAttributes = GetFileAttributesW(pszPath);
    return dwAttributes != INVALID_FILE_ATTRIBUTES && (dwAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool AppendPath(wchar_t *pszPath, const wchar_t *pszMore) noexcept
{
    if (pszPath == nullptr || pszMore == nullptr)
        return false;
    if (ShellLibraryVersion() >= 0x00040047)
        return PathAppendW(pszPath, pszMore) != FALSE;

    if (pszMore[0] == L'\0')
        return true;
    if (IsSeparator(pszMore[0]))
        return false;
    size_t cch = 0;
    if (SUCCEEDED(SafeStringLength(pszPath, MAX_PATH, &cch)) && (cch == 0 || !IsSeparator(pszPath[cch - 1])))
        SafeStringCat(pszPath, MAX_PATH, L"\\");
    SafeStringCat(pszPath, MAX_PATH, pszMore);
    return true;
}

const wchar_t *PathFileName(const wchar_t *pszPath) noexcept
{
    const wchar_t *pszName = pszPath;
    for (const wchar_t *p = pszPath; *p != L'\0'; ++p) {
        if (IsSeparator(*p) || *p == L':')
            pszName = p + 1;
    }
    return pszName;
}

void GetUpperBaseName(const wchar_t *pszPath, wchar_t *pszName, size_t cchName) noexcept
{
    if (cchName == 0)
        return;
    const wchar_t *pszStart = PathFileName(pszPath);
    const wchar_t *pszDot = wcsrchr(pszStart, L'.');
    size_t cch = pszDot != nullptr ? static_cast<size_t>(pszDot - pszStart) : wcslen(pszStart);
    if (cch >= cchName)
        cch = cchName - 1;
    wmemcpy(pszName, pszStart, cch);
    pszName[cch] = L'\0';
    CharUpperW(pszName);
}

DWORD GetLongPath(const wchar_t *pszPath, wchar_t *pszLongPath, DWORD cchBuffer) noexcept
{
    if (pszPath == nullptr || pszLongPath == nullptr || IsBadReadPtr(pszPath, MAX_PATH) ||
        IsBadWritePtr(pszLongPath, MAX_PATH))
        return 0;
    pszLongPath[0] = L'\0';
    if (pszPath[0] == L'\0')
        return 0;

    if (IsAtLeastWindows2000() || IsAtLeastWindows98()) {
        if (g_pfnGetLongPathNameW == nullptr) {
            HMODULE kernel = GetModuleHandleW(L"KERNEL32");
            if (kernel != nullptr)
                g_pfnGetLongPathNameW =
                    GetProcAs<PFN_GetLongPathNameW>(kernel, "GetLongPathNameW");
        }
        if (g_pfnGetLongPathNameW != nullptr)
            return g_pfnGetLongPathNameW(pszPath, pszLongPath, cchBuffer);
    }
    return GetLongPathThroughShell(pszPath, pszLongPath);
}

bool IsFileTrusted(const wchar_t *pszPath, bool bShowUI) noexcept
{
    using PFN_WinVerifyTrust = LONG(WINAPI *)(HWND, GUID *, LPVOID);
    CLibrary wintrust(LoadLibraryW(L"wintrust.dll"));
    if (!wintrust)
        return false;
    auto pfn = GetProcAs<PFN_WinVerifyTrust>(wintrust.Get(), "WinVerifyTrust");
    if (pfn == nullptr)
        return false;

    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = pszPath;
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = bShowUI ? WTD_UI_ALL : WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    data.dwStateAction = 0;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    return pfn(nullptr, &action, &data) == 0;
}
