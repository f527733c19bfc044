#include "ProcessStart.h"

#include <vector>

BOOL StartProcess(const wchar_t *pszApplication, const std::wstring &commandLine, BOOL bInheritHandles,
                  const STARTUPINFOW &si, PROCESS_INFORMATION &pi)
{
    constexpr int kTries = 3;
    for (int attempt = 1;; ++attempt) {
        // CreateProcessW may write into the command line it is given.
        std::vector<wchar_t> line(commandLine.begin(), commandLine.end());
        line.push_back(L'\0');
        STARTUPINFOW startup = si;
        if (CreateProcessW(pszApplication, line.data(), nullptr, nullptr, bInheritHandles, 0, nullptr, nullptr,
                           &startup, &pi))
            return TRUE;
        if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == kTries)
            return FALSE;
        Sleep(500);
    }
}
