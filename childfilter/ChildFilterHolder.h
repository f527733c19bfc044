// A child filter and the module its code came from, as the loader hands them out: the filter is
// always released before its module is freed.
#pragma once
#include <windows.h>
#include <filter.h>

#include "support/Holders.h"

class CChildFilterHolder
{
public:
    CChildFilterHolder() noexcept = default;
    ~CChildFilterHolder() { Release(); }
    CChildFilterHolder(const CChildFilterHolder &) = delete;
    CChildFilterHolder &operator=(const CChildFilterHolder &) = delete;

    // Takes over one reference to the filter and one to its module (either may be NULL).
    void Attach(IFilter *pFilter, HMODULE hModule) noexcept
    {
        Release();
        m_pFilter = pFilter;
        m_hModule.Attach(hModule);
    }
    void Release() noexcept
    {
        SafeRelease(m_pFilter);
        m_hModule.Close();
    }
    IFilter *Get() const noexcept { return m_pFilter; }
    HMODULE Module() const noexcept { return m_hModule.Get(); }

private:
    IFilter *m_pFilter = nullptr;
    CCoLibrary m_hModule;
};
