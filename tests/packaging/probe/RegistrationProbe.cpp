// Follows the standard registration of .rar the way a search host does and asks COM for the
// filter's class object, then reports what it found, one "name=value" line each:
//   handler=  .rar\PersistentHandler
//   filter=   the handler's PersistentAddinsRegistered\{IFilter}
//   server=   the filter class's InprocServer32
//   threading= its ThreadingModel
//   classobject= the HRESULT of CoGetClassObject for the filter class
//   module=   the full path of the Pellucidor.dll that COM loaded (empty when none)
// Exit code 0 when the chain was complete, 1 when a link was missing.
#include <windows.h>
#include <objbase.h>
#include <cstdio>
#include <string>

#include "support/Holders.h"

namespace {

std::wstring ReadString(const std::wstring &key, const wchar_t *name)
{
    CRegKey hKey;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_QUERY_VALUE, hKey.Put()) != ERROR_SUCCESS)
        return L"";
    wchar_t value[1024] = {};
    DWORD cb = sizeof(value) - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(hKey.Get(), name, nullptr, &type, reinterpret_cast<BYTE *>(value), &cb) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ))
        return L"";
    return value;
}

void Report(const char *name, const std::wstring &value)
{
    std::printf("%s=%ls\n", name, value.c_str());
}

} // namespace

int main()
{
    const std::wstring handler = ReadString(L".rar\\PersistentHandler", nullptr);
    Report("handler", handler);
    const std::wstring filter =
        ReadString(L"CLSID\\" + handler + L"\\PersistentAddinsRegistered\\{89BCB740-6119-101A-BCB7-00DD010655AF}", nullptr);
    Report("filter", filter);
    Report("server", ReadString(L"CLSID\\" + filter + L"\\InprocServer32", nullptr));
    Report("threading", ReadString(L"CLSID\\" + filter + L"\\InprocServer32", L"ThreadingModel"));

    CLSID clsid;
    if (handler.empty() || filter.empty() || FAILED(CLSIDFromString(filter.c_str(), &clsid)))
        return 1;
    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return 1;
    IClassFactory *factory = nullptr;
    const HRESULT hr = CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                        reinterpret_cast<void **>(&factory));
    std::printf("classobject=0x%08lX\n", static_cast<unsigned long>(hr));
    // COM keeps the server loaded in its DLL cache until CoUninitialize, whatever the factory said.
    wchar_t module[MAX_PATH + 1] = {};
    if (HMODULE hModule = GetModuleHandleW(L"Pellucidor.dll"))
        GetModuleFileNameW(hModule, module, MAX_PATH + 1);
    Report("module", module);
    SafeRelease(factory);
    CoUninitialize();
    return 0;
}
