// LoadIFilter as the platform documents it, for tests: the persistent handler registered for the
// file's extension (directly, or through its ProgID's class) names the filter class under
// PersistentAddinsRegistered\{IFilter}; the class is created in-process and loaded with the file.
#include <windows.h>
#include <filter.h>
#include <filterr.h>

#include <string>

#include "support/Holders.h"

namespace {

constexpr ULONG CLSID_CHARS = 39;
constexpr ULONG PROGID_CHARS = 256;
constexpr const wchar_t *IFILTER_KEY = L"{89BCB740-6119-101A-BCB7-00DD010655AF}";

// A key's default value (REG_SZ) under HKEY_CLASSES_ROOT.
bool ReadClassesValue(const std::wstring &subkey, wchar_t *pszValue, DWORD cchValue)
{
    DWORD cb = cchValue * sizeof(wchar_t);
    return RegGetValueW(HKEY_CLASSES_ROOT, subkey.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, pszValue, &cb) ==
           ERROR_SUCCESS;
}

// The persistent handler of an extension: its own, else the one of its ProgID's class.
bool FindPersistentHandler(const wchar_t *pszExt, wchar_t *pszHandler)
{
    if (ReadClassesValue(std::wstring(pszExt) + L"\\PersistentHandler", pszHandler, CLSID_CHARS))
        return true;
    wchar_t szProgId[PROGID_CHARS];
    wchar_t szClass[CLSID_CHARS];
    return ReadClassesValue(pszExt, szProgId, PROGID_CHARS) &&
           ReadClassesValue(std::wstring(szProgId) + L"\\CLSID", szClass, CLSID_CHARS) &&
           ReadClassesValue(std::wstring(L"CLSID\\") + szClass + L"\\PersistentHandler", pszHandler, CLSID_CHARS);
}

bool FindFilterClass(const wchar_t *pszPath, CLSID *pClsid)
{
    const wchar_t *pszExt = wcsrchr(pszPath, L'.');
    if (pszExt == nullptr || wcspbrk(pszExt, L"\\/") != nullptr)
        return false;
    wchar_t szHandler[CLSID_CHARS];
    wchar_t szFilter[CLSID_CHARS];
    return FindPersistentHandler(pszExt, szHandler) &&
           ReadClassesValue(std::wstring(L"CLSID\\") + szHandler + L"\\PersistentAddinsRegistered\\" + IFILTER_KEY,
                            szFilter, CLSID_CHARS) &&
           SUCCEEDED(CLSIDFromString(szFilter, pClsid));
}

} // namespace

extern "C" HRESULT WINAPI LoadIFilter(PCWSTR pwcsPath, IUnknown *pUnkOuter, void **ppIUnk)
{
    if (ppIUnk == nullptr)
        return E_INVALIDARG;
    *ppIUnk = nullptr;
    if (pwcsPath == nullptr)
        return E_INVALIDARG;

    CLSID clsid;
    if (!FindFilterClass(pwcsPath, &clsid))
        return FILTER_E_UNKNOWNFORMAT;
    // An aggregated object can only be asked for IUnknown at creation.
    CComPtr<IUnknown> object;
    HRESULT hr = CoCreateInstance(clsid, pUnkOuter, CLSCTX_INPROC_SERVER, IID_IUnknown, object.PutVoid());
    if (FAILED(hr))
        return hr;
    CComPtr<IPersistFile> persist;
    hr = object->QueryInterface(IID_IPersistFile, persist.PutVoid());
    if (FAILED(hr))
        return hr;
    hr = persist->Load(pwcsPath, STGM_READ);
    if (FAILED(hr))
        return hr;
    if (pUnkOuter != nullptr) {
        *ppIUnk = object.Detach();
        return S_OK;
    }
    return object->QueryInterface(IID_IFilter, ppIUnk);
}
