// Placeholder until self-registration lands.
#include <windows.h>
#include <olectl.h>

STDAPI DllRegisterServer() { return SELFREG_E_CLASS; }
STDAPI DllUnregisterServer() { return S_FALSE; }
