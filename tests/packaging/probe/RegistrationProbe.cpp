// Follows the standard registration of .rar the way a search host does, asks COM for the
// filter's class object and, given an archive, filters it; reports one "name=value" line each:
//   handler=  .rar\PersistentHandler
//   filter=   the handler's PersistentAddinsRegistered\{IFilter}
//   server=   the filter class's InprocServer32
//   threading= its ThreadingModel
//   classobject= the HRESULT of CoGetClassObject for the filter class
//   module=   the full path of the Pellucidor.dll that COM loaded (empty when none)
// and with an archive: load= (IPersistFile::Load), init= (IFilter::Init), chunks= (the number of
// chunks handed out) and end= (the GetChunk result that ended the stream).
// Exit code 0 when the chain was complete, 1 when a link was missing.
// Usage: packaging-probe.exe [ARCHIVE]
#include <windows.h>
#include <objbase.h>
#include <filter.h>
#include <filterr.h>
#include <shellapi.h>
#include <cstdio>
#include <string>

#include "support/Holders.h"

namespace {

constexpr ULONG MARKER = 0xdeadbeef;

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

void ReportHr(const char *name, HRESULT hr)
{
    std::printf("%s=0x%08lX\n", name, static_cast<unsigned long>(hr));
}

// What a host does with one file: Load, Init, then every chunk to the end (bounded).
void FilterArchive(IClassFactory *factory, const wchar_t *archive)
{
    CComPtr<IFilter> filter;
    HRESULT hr = factory->CreateInstance(nullptr, IID_IFilter, filter.PutVoid());
    ReportHr("create", hr);
    if (FAILED(hr))
        return;
    CComPtr<IPersistFile> file;
    hr = filter->QueryInterface(IID_IPersistFile, file.PutVoid());
    if (SUCCEEDED(hr))
        hr = file->Load(archive, STGM_READ);
    ReportHr("load", hr);
    if (FAILED(hr))
        return;
    ULONG flags = MARKER;
    hr = filter->Init(IFILTER_INIT_CANON_PARAGRAPHS | IFILTER_INIT_HARD_LINE_BREAKS | IFILTER_INIT_APPLY_INDEX_ATTRIBUTES,
                      0, nullptr, &flags);
    ReportHr("init", hr);
    if (FAILED(hr))
        return;
    unsigned chunks = 0;
    for (unsigned calls = 0; calls < 10000; ++calls) {
        STAT_CHUNK stat = {};
        hr = filter->GetChunk(&stat);
        if (FAILED(hr))
            break;
        ++chunks;
    }
    std::printf("chunks=%u\n", chunks);
    ReportHr("end", hr);
}

} // namespace

int main()
{
    int argc = 0;
    LPWSTR *argv = CommandLineToArgvW(GetCommandLineW(), &argc);
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
    ReportHr("classobject", hr);
    // COM keeps the server loaded in its DLL cache until CoUninitialize, whatever the factory said.
    wchar_t module[MAX_PATH + 1] = {};
    if (HMODULE hModule = GetModuleHandleW(L"Pellucidor.dll"))
        GetModuleFileNameW(hModule, module, MAX_PATH + 1);
    Report("module", module);
    if (SUCCEEDED(hr) && argc > 1)
        FilterArchive(factory, argv[1]);
    SafeRelease(factory);
    CoUninitialize();
    LocalFree(argv);
    return 0;
}
