// Module-wide state of the COM server: the object count and the module's own instance handle.
#pragma once
#include <windows.h>

// Live filter objects + live class factories + outstanding LockServer(TRUE) calls.
extern LONG g_cObjects;

// The DLL's own instance handle, set at process attach.
extern HINSTANCE g_hModuleInstance;

// The module's file name, as the platform loads it.
constexpr const wchar_t *PELLUCIDOR_MODULE_NAME = L"Pellucidor.dll";
