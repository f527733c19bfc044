// A search host in miniature, for tests that need a process of their own (a host named like a
// search engine's indexing process, or started from another folder): loads the given
// Pellucidor.dll, filters one archive and prints what it sees, one chunk per line (FormatChunk),
// then "end <hr>" and "canunload <hr>".
// Usage: SearchHost.exe <Pellucidor.dll> <archive>
#include <windows.h>
#include <filter.h>
#include <filterr.h>
#include <cstdio>
#include <string>

#include "FilterStream.h"
#include "support/Guids.h"
#include "support/Holders.h"
#include "support/ProcAddress.h"

namespace {

void Print(const std::wstring &line)
{
    const std::wstring text = line + L"\n";
    const int cb = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string bytes(static_cast<size_t>(cb), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &bytes[0], cb, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::wstring Hex(HRESULT hr)
{
    wchar_t text[16];
    swprintf(text, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

using PFN_DLL_GET_CLASS_OBJECT = HRESULT(STDAPICALLTYPE *)(REFCLSID, REFIID, void **);
using PFN_DLL_CAN_UNLOAD_NOW = HRESULT(STDAPICALLTYPE *)();

int Run(const wchar_t *pszDll, const wchar_t *pszArchive)
{
    CLibrary dll(LoadLibraryW(pszDll));
    if (!dll) {
        Print(L"error load " + std::to_wstring(GetLastError()));
        return 2;
    }
    const auto pfnGetClassObject = GetProcAs<PFN_DLL_GET_CLASS_OBJECT>(dll.Get(), "DllGetClassObject");
    const auto pfnCanUnloadNow = GetProcAs<PFN_DLL_CAN_UNLOAD_NOW>(dll.Get(), "DllCanUnloadNow");
    if (pfnGetClassObject == nullptr || pfnCanUnloadNow == nullptr)
        return 2;
    {
        CComPtr<IClassFactory> factory;
        HRESULT hr = pfnGetClassObject(CLSID_PellucidorFilter, IID_IClassFactory, factory.PutVoid());
        if (FAILED(hr)) {
            Print(L"error factory " + Hex(hr));
            return 2;
        }
        CComPtr<IFilter> filter;
        hr = factory->CreateInstance(nullptr, IID_IFilter, filter.PutVoid());
        factory.Reset();
        CComPtr<IPersistFile> persist;
        if (SUCCEEDED(hr))
            hr = filter->QueryInterface(IID_IPersistFile, persist.PutVoid());
        if (SUCCEEDED(hr))
            hr = persist->Load(pszArchive, STGM_READ);
        persist.Reset();
        ULONG flags = 0;
        if (SUCCEEDED(hr))
            hr = filter->Init(IFILTER_INIT_CANON_PARAGRAPHS | IFILTER_INIT_APPLY_INDEX_ATTRIBUTES, 0, nullptr, &flags);
        if (FAILED(hr)) {
            Print(L"error init " + Hex(hr));
            return 2;
        }
        HRESULT hrEnd = S_OK;
        for (const SeenChunk &chunk : ReadAllChunks(filter.Get(), {}, &hrEnd))
            Print(FormatChunk(chunk));
        Print(L"end " + Hex(hrEnd));
    }
    Print(L"canunload " + Hex(pfnCanUnloadNow()));
    return 0;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc != 3) {
        Print(L"usage: SearchHost <Pellucidor.dll> <archive>");
        return 1;
    }
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const int rc = Run(argv[1], argv[2]);
    CoUninitialize();
    return rc;
}
