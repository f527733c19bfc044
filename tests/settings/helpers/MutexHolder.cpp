// Holds a named mutex for another process's test: takes it, signals READY_EVENT, waits for
// RELEASE_EVENT (at most two minutes), then releases it, or exits still owning it ("abandon").
// Usage: settings_mutex_holder MUTEX READY_EVENT RELEASE_EVENT release|abandon
// Exit code: 0 done, 2 bad arguments, 3 mutex not taken, 4 no release signal.
#include <windows.h>
#include <shellapi.h>
#include <cwchar>

int main()
{
    int argc = 0;
    LPWSTR *argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (argv == nullptr || argc != 5)
        return 2;
    const bool abandon = std::wcscmp(argv[4], L"abandon") == 0;

    HANDLE mutex = CreateMutexW(nullptr, FALSE, argv[1]);
    HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, argv[2]);
    HANDLE release = OpenEventW(SYNCHRONIZE, FALSE, argv[3]);
    if (mutex == nullptr || ready == nullptr || release == nullptr)
        return 2;
    if (WaitForSingleObject(mutex, 60000) != WAIT_OBJECT_0)
        return 3;
    SetEvent(ready);
    const DWORD wait = WaitForSingleObject(release, 120000);
    if (!abandon)
        ReleaseMutex(mutex);
    return wait == WAIT_OBJECT_0 ? 0 : 4;
}
