// Placeholder exports until the class factory and self-registration land.
#include <windows.h>
#include <olectl.h>

STDAPI DllGetClassObject(REFCLSID, REFIID, void **ppv)
{
    if (ppv != nullptr)
        *ppv = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}
STDAPI DllCanUnloadNow() { return S_OK; }
STDAPI DllRegisterServer() { return SELFREG_E_CLASS; }
STDAPI DllUnregisterServer() { return S_FALSE; }
