// One registry key opened for reading. Every failure is FALSE; nothing throws, nothing is written.
// Closes its key in the destructor. Not copyable; one thread at a time.
#pragma once
#include <windows.h>

class CRegistry
{
public:
    CRegistry() noexcept = default;
    virtual ~CRegistry();
    CRegistry(const CRegistry &) = delete;
    CRegistry &operator=(const CRegistry &) = delete;

    BOOL Open(HKEY hRoot, const wchar_t *pszSubkey);
    void Close();

    BOOL GetValueType(const wchar_t *pszName, DWORD *pdwType);
    BOOL GetValueSize(const wchar_t *pszName, DWORD *pcbSize);
    BOOL GetStringLength(const wchar_t *pszName, DWORD *pcchLength);  // bytes / 2, stored NUL included
    BOOL ReadValue(const wchar_t *pszName, void *pBuffer);            // buffer >= stored size, or NULL
    BOOL ReadDword(const wchar_t *pszName, DWORD *pdwValue);          // REG_DWORD only
    BOOL ReadString(const wchar_t *pszName, wchar_t *pszBuffer);      // REG_SZ, REG_MULTI_SZ
    BOOL ReadExpandableString(const wchar_t *pszName, wchar_t *pszBuffer, BOOL *pbExpandable);  // REG_SZ, REG_EXPAND_SZ (unexpanded)
    BOOL EnumFirstValue(wchar_t *pszName, DWORD cchName);
    BOOL EnumNextValue(wchar_t *pszName, DWORD cchName);

    HKEY Key() const noexcept { return m_hKey; }

private:
    HKEY m_hKey = nullptr;
    HKEY m_hRoot = nullptr;
    wchar_t *m_pszSubkey = nullptr;
    LONG m_nValueIndex = 0;
};
