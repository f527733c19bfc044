#include "module/Module.h"

LONG g_cObjects = 0;
HINSTANCE g_hModuleInstance = nullptr;
