// One registry key opened for reading. Every failure is FALSE; nothing throws, nothing is written.
// Closes its key in the destructor. Not copyable; one thread at a time.
//   CRegistry reg;
//   DWORD cch = 0;
//   if (reg.Open(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\.doc") && reg.GetStringLength(nullptr, &cch) &&
//       cch <= ARRAYSIZE(buf) && reg.ReadString(nullptr, buf, ARRAYSIZE(buf))) ...
// Every read is told the size of the caller's buffer: a stored value that does not fit fails the
// read (nothing is cut), and a string read successfully is always NUL-terminated.
#pragma once
#include <windows.h>

#include <memory>

#include "support/Holders.h"

class CRegistry
{
public:
    CRegistry() noexcept = default;
    virtual ~CRegistry();
    CRegistry(const CRegistry &) = delete;
    CRegistry &operator=(const CRegistry &) = delete;

    // Opens hRoot\pszSubkey for reading, closing whatever was open. A null root or an unreadable
    // subkey changes nothing; any other failure leaves the object closed.
    bool Open(HKEY hRoot, const wchar_t *pszSubkey);
    void Close();

    // A null or empty value name stands for the key's default value.
    bool GetValueType(const wchar_t *pszName, DWORD *pdwType);
    bool GetValueSize(const wchar_t *pszName, DWORD *pcbSize);
    // Stored size in characters (bytes / 2, an odd last byte counted as a whole character),
    // the stored NUL included.
    bool GetStringLength(const wchar_t *pszName, DWORD *pcchLength);
    // Raw bytes. NULL buffer: TRUE when the value exists. Otherwise the stored value must fit cbBuffer.
    bool ReadValue(const wchar_t *pszName, void *pBuffer, DWORD cbBuffer);
    bool ReadDword(const wchar_t *pszName, DWORD *pdwValue);  // REG_DWORD only
    // REG_SZ or REG_MULTI_SZ, as stored; REG_EXPAND_SZ is refused. The string and its NUL must fit
    // cchBuffer (a stored value that lacks its NUL gets one when there is room).
    bool ReadString(const wchar_t *pszName, wchar_t *pszBuffer, DWORD cchBuffer);
    // REG_SZ (*pbExpandable FALSE) or REG_EXPAND_SZ (TRUE), unexpanded; the caller expands.
    bool ReadExpandableString(const wchar_t *pszName, wchar_t *pszBuffer, DWORD cchBuffer, bool *pbExpandable);
    // Value names, from the first; a name longer than cchName ends the walk.
    bool EnumFirstValue(wchar_t *pszName, DWORD cchName);
    bool EnumNextValue(wchar_t *pszName, DWORD cchName);

    HKEY Key() const noexcept { return m_hKey.Get(); }
    // Where the open key is; read by the tests only.
    HKEY Root() const noexcept { return m_hRoot; }
    const wchar_t *Subkey() const noexcept { return m_pszSubkey.get(); }

private:
    bool ReadBytes(const wchar_t *pszName, void *pBuffer, DWORD cbBuffer, DWORD *pcbRead);
    bool ReadTypedString(const wchar_t *pszName, wchar_t *pszBuffer, DWORD cchBuffer);

    CRegKey m_hKey;
    HKEY m_hRoot = nullptr;  // the caller's; not closed
    std::unique_ptr<wchar_t[]> m_pszSubkey;
    LONG m_nValueIndex = 0;
};
