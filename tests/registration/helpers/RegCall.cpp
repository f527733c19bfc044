// Calls the self-registration exports of a DLL the way a setup program does, and answers with the
// HRESULT as exit code. Tests run copies of it under other names, which Wine can be told to
// present as an older Windows.
//   regcall register DLL | regcall unregister DLL
//   regcall version      exit code: platform << 16 | major << 8 | minor, as GetVersionExW reports
#include "support/ProcAddress.h"

#include <windows.h>
#include <wchar.h>

int wmain(int argc, wchar_t **argv)
{
    if (argc == 2 && wcscmp(argv[1], L"version") == 0) {
        OSVERSIONINFOW info = {};
        info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        if (!GetVersionExW(&info))
            return -1;
#pragma GCC diagnostic pop
        return static_cast<int>(info.dwPlatformId << 16 | (info.dwMajorVersion & 0xFF) << 8 |
                                (info.dwMinorVersion & 0xFF));
    }
    if (argc != 3)
        return static_cast<int>(E_INVALIDARG);
    const char *pszExport = nullptr;
    if (wcscmp(argv[1], L"register") == 0)
        pszExport = "DllRegisterServer";
    else if (wcscmp(argv[1], L"unregister") == 0)
        pszExport = "DllUnregisterServer";
    else
        return static_cast<int>(E_INVALIDARG);
    HMODULE hModule = LoadLibraryW(argv[2]);
    if (hModule == nullptr)
        return static_cast<int>(HRESULT_FROM_WIN32(GetLastError()));
    auto pfn = GetProcAs<HRESULT(STDAPICALLTYPE *)()>(hModule, pszExport);
    const HRESULT hr = pfn != nullptr ? pfn() : HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    FreeLibrary(hModule);
    return static_cast<int>(hr);
}
