// Placeholder loader: records the host's identity; finds no filters until the lookup lands.
#include "childfilter/ChildFilterLoader.h"

#include <new>

CChildFilterLoader::CChildFilterLoader()
{
    m_pszHostPath = new (std::nothrow) wchar_t[2048]();
    m_pszHostName = new (std::nothrow) wchar_t[2048]();
    if (m_pszHostPath != nullptr)
        GetModuleFileNameW(nullptr, m_pszHostPath, 2048);
}

CChildFilterLoader::~CChildFilterLoader()
{
    delete[] m_pszHostPath;
    delete[] m_pszHostName;
}

BOOL CChildFilterLoader::FindFilter(const wchar_t *, FilterRegistryInfo *) { return FALSE; }

HMODULE CChildFilterLoader::LoadChildFilter(const wchar_t *, IUnknown *, IFilter **) { return nullptr; }
