// A search host in miniature, for tests that need a process of their own (a host named like a
// search engine's indexing process, or started from another folder): loads the given
// Pellucidor.dll, filters one archive and prints what it sees, one chunk per line (FormatChunk),
// then "end <hr>" and "canunload <hr>".
// Usage: SearchHost.exe <Pellucidor.dll> <archive>
#include <windows.h>
#include <filter.h>
#include <string>

#include "HostCalls.h"
#include "support/Holders.h"

namespace {

void Print(const std::wstring &line)
{
    const std::string bytes = Narrow(line + L"\n");
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

std::wstring Hex(HRESULT hr) { return Widen(HrText(hr)); }

int Run(const wchar_t *pszDll, const wchar_t *pszArchive)
{
    CProductDll dll(pszDll);
    if (dll.Module() == nullptr) {
        Print(L"error load " + std::to_wstring(GetLastError()));
        return 2;
    }
    {
        CComPtr<IFilter> filter;
        HRESULT hr = CreateFilter(dll, IID_IFilter, filter.PutVoid());
        if (FAILED(hr)) {
            Print(L"error factory " + Hex(hr));
            return 2;
        }
        hr = LoadFile(filter.Get(), pszArchive);
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
    Print(L"canunload " + Hex(dll.CanUnloadNow()));
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
