// The DLL's entry point: the application object of the module. At process attach it records
// the module's instance handle and the version facts, and turns off thread notifications
// (the filter starts no threads; its per-thread values, the run's context while a call of ours is
// on the thread, are TLS slots that hold nothing once the call returns, so need no clean-up).
#include "module/Module.h"
#include "support/Version.h"

class CPellucidorModuleApp
{
public:
    BOOL InitInstance(HINSTANCE hInstance) noexcept
    {
        g_hModuleInstance = hInstance;
        InitializeVersionFacts();
        DisableThreadLibraryCalls(hInstance);
        return TRUE;
    }
    BOOL ExitInstance() noexcept { return TRUE; }
};

static CPellucidorModuleApp theApp;

extern "C" BOOL WINAPI DllMain(HINSTANCE hInstance, DWORD dwReason, LPVOID /*reserved*/)
{
    switch (dwReason) {
    case DLL_PROCESS_ATTACH:
        return theApp.InitInstance(hInstance);
    case DLL_PROCESS_DETACH:
        return theApp.ExitInstance();
    default:
        return TRUE;
    }
}
