// A search host in a process of its own: one thread per archive named on the command line, each
// filtering its archive RUNS times, one filter object per run, and letting every run go either
// at the stream's end ("end") or right after Init ("early").
// Usage: settings_host end|early RUNS ARCHIVE...
// Exit code: the number of runs that did not behave as a host expects; 100 for bad arguments.
// The filter objects are the core library's, in process, waiting up to a minute for the settings
// locks through the test seam: sixteen runs at once on a loaded machine may take longer than the
// product's five seconds to get their turn, and a refused run would lose a mark the test counts.
#include <windows.h>
#include <shellapi.h>
#include <atomic>
#include <cwchar>
#include <string>
#include <thread>
#include <vector>

#include "FilterHost.h"
#include "filter/SettingsLock.h"

namespace {

DWORD PatientWait(const wchar_t *, HANDLE hMutex, DWORD)
{
    return WaitForSingleObject(hMutex, 60000);
}

} // namespace

int main()
{
    int argc = 0;
    LPWSTR *argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc < 4)
        return 100;
    const bool toEnd = std::wcscmp(argv[1], L"end") == 0;
    const int runs = _wtoi(argv[2]);
    std::vector<std::wstring> archives(argv + 3, argv + argc);

    g_settingsTestHooks.pfnWaitForMutex = PatientWait;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (const std::wstring &archive : archives) {
        threads.emplace_back([&, archive] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);
            for (int i = 0; i < runs; ++i) {
                CComPtr<IFilter> filter = CreateFilterInProcess();
                ULONG flags = 0;
                if (!filter || LoadFile(filter.Get(), archive) != S_OK || InitFilter(filter.Get(), &flags) != S_OK ||
                    (toEnd && PullToEnd(filter.Get()) < 0))
                    ++failures;
            }
            CoUninitialize();
        });
    }
    for (std::thread &t : threads)
        t.join();
    return failures.load();
}
