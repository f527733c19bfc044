// The DLL's entry point: the application object of the module. At process attach it records
// the module's instance handle and the version facts, and turns off thread notifications
// (the filter starts no threads; its one per-thread value, the nesting count, needs no clean-up).
#include "module/Module.h"
#include "support/Version.h"

class CIFitlerBaseApp
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

static CIFitlerBaseApp theApp;

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
