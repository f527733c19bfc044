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

// What a program run by RunBounded did: its exit code and everything it wrote to its output.
struct BoundedRun {
    DWORD exitCode = 0xdeadbeef;
    bool started = false;
    bool hung = false;   // still running after the time allowed: ended with exit code 0xDEAD
    std::string output;  // its standard output (and standard error, when asked), as bytes
};

// Starts a program with its output going to a file in outputFolder (deleted afterwards) and waits
// at most timeoutMs for it to end; one still running then is ended, so that a hang becomes a
// failure with what the program printed so far. A file, not a pipe: a Wine service that the
// program happens to start inherits its handles, and a pipe would then never report its end.
BoundedRun RunBounded(const wchar_t *pszApplication, const std::wstring &commandLine, const std::wstring &outputFolder,
                      DWORD timeoutMs, bool bErrorsToo);
