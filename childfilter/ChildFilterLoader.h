// Finds, for a file's extension, the filter that the search engine hosting this process has
// registered, and creates it on an extracted file. One loader per filter object, same thread.
#pragma once
#include <windows.h>
#include <filter.h>

#include "childfilter/DLLsInformation.h"
#include "childfilter/FilterRegistryInfo.h"

class CIFilterRegistryHelperBase;

class CChildFilterLoader
{
public:
    CChildFilterLoader();
    ~CChildFilterLoader();
    CChildFilterLoader(const CChildFilterLoader &) = delete;
    CChildFilterLoader &operator=(const CChildFilterLoader &) = delete;

    // Is a filter registered, in the hosting engine's registry, for the extension of pszFilePath
    // (a bare entry name or a full path)? Fills *pInfo.
    BOOL FindFilter(const wchar_t *pszFilePath, FilterRegistryInfo *pInfo);

    // The child filter for an existing file, already loaded with it. On success *ppFilter holds
    // one reference for the caller and the result is the filter's module, which carries one
    // reference of the caller's own: release the filter, then CoFreeLibrary the module.
    // NULL on failure (*ppFilter NULL, or untouched when no filter is registered at all).
    HMODULE LoadChildFilter(const wchar_t *pszFilePath, IUnknown *pUnkOuter, IFilter **ppFilter);

    // Full path of the host process's executable, and its upper-cased base name.
    const wchar_t *HostPath() const noexcept { return m_pszHostPath; }
    const wchar_t *HostName() const noexcept { return m_pszHostName; }

private:
    CIFilterRegistryHelperBase *SelectServerEngineHelper(const wchar_t *pszHostName);
    HMODULE CreateChildFilter(const wchar_t *pszFilePath, FilterRegistryInfo *pInfo, IUnknown *pUnkOuter,
                              IFilter **ppFilter);

    wchar_t *m_pszHostPath = nullptr;  // 2048 characters
    wchar_t *m_pszHostName = nullptr;  // 2048 characters
    CDLLsInformation m_dllList;
};
