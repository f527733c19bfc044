// How many references a loaded module holds, read from the loader's own record of it: the probe
// the child-filter tests use to see that every module reference taken is given back.
#pragma once
#include <windows.h>

// The module's load count, or -1 when no module of that name is loaded (found with
// GetModuleHandleExW without taking a reference). Wine keeps the count in the loader entry's
// LoadCount field, as Windows did before Windows 8; there it is the real count.
int ModuleLoadCount(const wchar_t *pszModule);
// A fixture filter's live objects and class factories (FixtureObjectCount), 0 when it is not loaded.
LONG FixtureObjects(const wchar_t *pszFixture);
