// Placeholder until the class factory lands.
#include <windows.h>
#include <objbase.h>

STDAPI DllGetClassObject(REFCLSID, REFIID, void **ppv)
{
    if (ppv != nullptr)
        *ppv = nullptr;
    return CLASS_E_CLASSNOTAVAILABLE;
}
STDAPI DllCanUnloadNow() { return S_OK; }
