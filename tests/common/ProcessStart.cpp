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

BoundedRun RunBounded(const wchar_t *pszApplication, const std::wstring &commandLine, const std::wstring &outputFolder,
                      DWORD timeoutMs, bool bErrorsToo)
{
    BoundedRun run;
    wchar_t path[MAX_PATH] = {};
    if (!GetTempFileNameW(outputFolder.c_str(), L"out", 0, path))
        return run;
    SECURITY_ATTRIBUTES sa = {sizeof(sa), nullptr, TRUE};
    HANDLE output = CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                &sa, CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (output == INVALID_HANDLE_VALUE) {
        DeleteFileW(path);
        return run;
    }
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = output;
    si.hStdError = bErrorsToo ? output : GetStdHandle(STD_ERROR_HANDLE);
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    PROCESS_INFORMATION pi = {};
    run.started = StartProcess(pszApplication, commandLine, TRUE, si, pi) != FALSE;
    if (run.started) {
        CloseHandle(pi.hThread);
        if (WaitForSingleObject(pi.hProcess, timeoutMs) != WAIT_OBJECT_0) {
            run.hung = true;
            TerminateProcess(pi.hProcess, 0xDEAD);
            WaitForSingleObject(pi.hProcess, 30000);
        }
        GetExitCodeProcess(pi.hProcess, &run.exitCode);
        CloseHandle(pi.hProcess);
        SetFilePointer(output, 0, nullptr, FILE_BEGIN);
        char buffer[4096];
        DWORD cb = 0;
        while (ReadFile(output, buffer, sizeof(buffer), &cb, nullptr) && cb > 0)
            run.output.append(buffer, cb);
    }
    const DWORD error = GetLastError();
    CloseHandle(output);
    SetLastError(error);
    return run;
}
