// The DLL as a host first meets it: it loads, exports the four entry points and unloads.
#include <gtest/gtest.h>
#include "TestHelpers.h"

TEST(ModuleLoad, ExportsTheFourEntryPoints)
{
    CProductDll dll;
    ASSERT_NE(nullptr, dll.Module());
    for (const char *name : {"DllGetClassObject", "DllCanUnloadNow", "DllRegisterServer", "DllUnregisterServer"})
        EXPECT_NE(nullptr, reinterpret_cast<void *>(GetProcAddress(dll.Module(), name))) << name;
}
