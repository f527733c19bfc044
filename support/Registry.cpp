#include "support/Registry.h"
#include "support/SafeString.h"

#include <new>
#include <wchar.h>

namespace {

constexpr DWORD MAX_STRING_CCH = MAXDWORD / sizeof(wchar_t);

} // namespace

CRegistry::~CRegistry() { Close(); }

bool CRegistry::Open(HKEY hRoot, const wchar_t *pszSubkey)
{
    if (hRoot == nullptr || pszSubkey == nullptr || IsBadReadPtr(pszSubkey, 2))
        return false;
    Close();

    // Read access only, and always a handle of our own: with an empty subkey RegOpenKeyW would
    // hand back the caller's root, which Close would then close.
    HKEY hKey = nullptr;
    if (RegOpenKeyExW(hRoot, pszSubkey, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return false;
    m_hKey.Attach(hKey);
    m_hRoot = hRoot;

    const size_t cch = wcslen(pszSubkey) + 1;
    m_pszSubkey.reset(new (std::nothrow) wchar_t[cch]);
    if (!m_pszSubkey) {
        Close();
        return false;
    }
    SafeStringCopy(m_pszSubkey.get(), cch, pszSubkey);
    return true;
}

void CRegistry::Close()
{
    m_pszSubkey.reset();
    m_hKey.Close();
}

bool CRegistry::GetValueType(const wchar_t *pszName, DWORD *pdwType)
{
    if (!m_hKey || pdwType == nullptr || IsBadWritePtr(pdwType, sizeof(DWORD)))
        return false;
    DWORD dwType = REG_NONE;
    if (RegQueryValueExW(m_hKey.Get(), pszName, nullptr, &dwType, nullptr, nullptr) != ERROR_SUCCESS)
        return false;
    *pdwType = dwType;
    return true;
}

bool CRegistry::GetValueSize(const wchar_t *pszName, DWORD *pcbSize)
{
    if (!m_hKey || pcbSize == nullptr || IsBadWritePtr(pcbSize, sizeof(DWORD)))
        return false;
    DWORD cb = 0;
    if (RegQueryValueExW(m_hKey.Get(), pszName, nullptr, nullptr, nullptr, &cb) != ERROR_SUCCESS)
        return false;
    *pcbSize = cb;
    return true;
}

bool CRegistry::GetStringLength(const wchar_t *pszName, DWORD *pcchLength)
{
    DWORD cb = 0;
    if (pcchLength == nullptr || !GetValueSize(pszName, &cb))
        return false;
    // Rounded up: the length sizes the caller's buffer, so an odd last byte needs a character too.
    *pcchLength = cb / sizeof(wchar_t) + cb % sizeof(wchar_t);
    return true;
}

bool CRegistry::ReadValue(const wchar_t *pszName, void *pBuffer, DWORD cbBuffer)
{
    DWORD cbRead = 0;
    return ReadBytes(pszName, pBuffer, cbBuffer, &cbRead);
}

// The capacity goes to the system call itself: a value that grew since the size query fails
// with ERROR_MORE_DATA instead of running past the buffer. *pcbRead: the bytes written.
bool CRegistry::ReadBytes(const wchar_t *pszName, void *pBuffer, DWORD cbBuffer, DWORD *pcbRead)
{
    DWORD cbStored = 0;
    *pcbRead = 0;
    if (!m_hKey || !GetValueSize(pszName, &cbStored))
        return false;
    if (pBuffer == nullptr)
        return true;
    if (cbStored > cbBuffer || IsBadWritePtr(pBuffer, cbBuffer))
        return false;
    DWORD cbData = cbBuffer;
    if (RegQueryValueExW(m_hKey.Get(), pszName, nullptr, nullptr, static_cast<BYTE *>(pBuffer), &cbData) != ERROR_SUCCESS)
        return false;
    *pcbRead = cbData;
    return true;
}

bool CRegistry::ReadDword(const wchar_t *pszName, DWORD *pdwValue)
{
    DWORD dwType = REG_NONE;
    if (!m_hKey || pdwValue == nullptr || IsBadWritePtr(pdwValue, sizeof(DWORD)))
        return false;
    if (!GetValueType(pszName, &dwType) || dwType != REG_DWORD)
        return false;
    return ReadValue(pszName, pdwValue, sizeof(DWORD));
}

bool CRegistry::ReadString(const wchar_t *pszName, wchar_t *pszBuffer, DWORD cchBuffer)
{
    DWORD dwType = REG_NONE;
    if (!m_hKey || pszBuffer == nullptr || cchBuffer == 0 || IsBadWritePtr(pszBuffer, 2))
        return false;
    if (!GetValueType(pszName, &dwType) || (dwType != REG_SZ && dwType != REG_MULTI_SZ))
        return false;
    return ReadTypedString(pszName, pszBuffer, cchBuffer);
}

bool CRegistry::ReadExpandableString(const wchar_t *pszName, wchar_t *pszBuffer, DWORD cchBuffer,
                                     bool *pbExpandable)
{
    DWORD dwType = REG_NONE;
    if (!m_hKey || pszBuffer == nullptr || cchBuffer == 0 || IsBadWritePtr(pszBuffer, 2) ||
        pbExpandable == nullptr || IsBadWritePtr(pbExpandable, sizeof(bool)))
        return false;
    if (!GetValueType(pszName, &dwType))
        return false;
    *pbExpandable = dwType == REG_EXPAND_SZ;
    if (!*pbExpandable && dwType != REG_SZ)
        return false;
    return ReadTypedString(pszName, pszBuffer, cchBuffer);
}

// Reads a string value whose type has been checked, and makes sure it ends with a NUL inside
// the buffer. A value that does not fit, NUL included, fails and leaves the buffer empty.
bool CRegistry::ReadTypedString(const wchar_t *pszName, wchar_t *pszBuffer, DWORD cchBuffer)
{
    DWORD cbRead = 0;
    if (cchBuffer > MAX_STRING_CCH || !ReadBytes(pszName, pszBuffer, cchBuffer * sizeof(wchar_t), &cbRead)) {
        pszBuffer[0] = L'\0';
        return false;
    }
    const DWORD cchWhole = cbRead / sizeof(wchar_t);
    if (wmemchr(pszBuffer, L'\0', cchWhole) != nullptr)
        return true;
    // Stored without its NUL: terminate after the whole characters (an odd last byte is dropped).
    if (cchWhole >= cchBuffer) {
        pszBuffer[0] = L'\0';
        return false;
    }
    pszBuffer[cchWhole] = L'\0';
    return true;
}

bool CRegistry::EnumFirstValue(wchar_t *pszName, DWORD cchName)
{
    m_nValueIndex = 0;
    if (!m_hKey || pszName == nullptr || cchName == 0)
        return false;
    DWORD cch = cchName;
    return RegEnumValueW(m_hKey.Get(), 0, pszName, &cch, nullptr, nullptr, nullptr, nullptr) == ERROR_SUCCESS;
}

bool CRegistry::EnumNextValue(wchar_t *pszName, DWORD cchName)
{
    if (!m_hKey || pszName == nullptr || cchName == 0 || m_nValueIndex < 0 || m_nValueIndex == MAXLONG)
        return false;
    ++m_nValueIndex;
    DWORD cch = cchName;
    return RegEnumValueW(m_hKey.Get(), static_cast<DWORD>(m_nValueIndex), pszName, &cch, nullptr, nullptr, nullptr,
                         nullptr) == ERROR_SUCCESS;
}
