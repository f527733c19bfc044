// Starting the tests' helper programs.
#pragma once
#include <windows.h>

#include <string>

// CreateProcessW, with a fresh copy of the command line. On a busy machine Wine now and then fails
// to start a process: the child ends inside Wine's own start-up, before any code of the program has
// run, and CreateProcessW fails with ERROR_INTERNAL_ERROR. Such a start is tried again, three tries
// in all; any other failure is returned at once, with the thread's last error set.
BOOL StartProcess(const wchar_t *pszApplication, const std::wstring &commandLine, BOOL bInheritHandles,
                  const STARTUPINFOW &si, PROCESS_INFORMATION &pi);
