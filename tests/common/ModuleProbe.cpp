#include "ModuleProbe.h"
#include "support/ProcAddress.h"

#include <winternl.h>

namespace {

// The start of the loader's entry for a module, up to the field the count is kept in.
struct LoaderEntryHead {
    LIST_ENTRY InLoadOrderLinks;
    LIST_ENTRY InMemoryOrderLinks;
    LIST_ENTRY InInitializationOrderLinks;
    void *DllBase;
    void *EntryPoint;
    ULONG SizeOfImage;
    UNICODE_STRING FullDllName;
    UNICODE_STRING BaseDllName;
    ULONG Flags;
    SHORT LoadCount;
};

using PFN_LDR_FIND_ENTRY_FOR_ADDRESS = LONG(NTAPI *)(const void *pAddress, LoaderEntryHead **ppEntry);

} // namespace

int ModuleLoadCount(const wchar_t *pszModule)
{
    HMODULE hModule = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT, pszModule, &hModule))
        return -1;
    const auto pfnFind =
        GetProcAs<PFN_LDR_FIND_ENTRY_FOR_ADDRESS>(GetModuleHandleW(L"ntdll.dll"), "LdrFindEntryForAddress");
    LoaderEntryHead *pEntry = nullptr;
    if (pfnFind == nullptr || pfnFind(hModule, &pEntry) != 0 || pEntry == nullptr)
        return -1;
    return pEntry->LoadCount;
}

LONG FixtureObjects(const wchar_t *pszFixture)
{
    // Read through the loaded module without a reference of ours, which would change the count.
    const HMODULE hModule = GetModuleHandleW(pszFixture);
    const auto pfn = hModule != nullptr ? GetProcAs<LONG(WINAPI *)()>(hModule, "FixtureObjectCount") : nullptr;
    return pfn != nullptr ? pfn() : 0;
}
