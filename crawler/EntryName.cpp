#include "crawler/EntryName.h"
#include "support/SafeString.h"

#include <cwchar>
#include <cwctype>
#include <initializer_list>

namespace {

bool IsSeparator(wchar_t ch) noexcept { return ch == L'\\' || ch == L'/'; }

bool IsForbiddenChar(wchar_t ch) noexcept
{
    return ch < 0x20 || std::wcschr(L"<>:\"|?*/\\", ch) != nullptr;
}

bool CopyPart(wchar_t *pszDest, const wchar_t *pszBegin, size_t cch) noexcept
{
    if (cch >= ENTRY_PART_CHARS)
        return false;
    std::wmemcpy(pszDest, pszBegin, cch);
    pszDest[cch] = L'\0';
    return true;
}

// The part of a name Windows compares with the device names: up to the first dot, trailing
// spaces ignored ("CON .txt" and "con.tar.gz" are devices too). Windows counts the superscript
// digits as digits in COM and LPT names (COM¹ is COM1); CONIN$ and CONOUT$ name the console,
// which Wine also opens for them below a folder.
bool IsDeviceName(const wchar_t *pszName) noexcept
{
    size_t cch = 0;
    while (pszName[cch] != L'\0' && pszName[cch] != L'.')
        ++cch;
    while (cch > 0 && pszName[cch - 1] == L' ')
        --cch;
    wchar_t stem[8] = {};
    if (cch < 3 || cch > 7)
        return false;
    for (size_t i = 0; i < cch; ++i)
        stem[i] = static_cast<wchar_t>(std::towupper(pszName[i]));
    for (const wchar_t *device : {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"})
        if (std::wcscmp(stem, device) == 0)
            return true;
    const wchar_t digit = stem[3];
    return cch == 4 && (std::wcsncmp(stem, L"COM", 3) == 0 || std::wcsncmp(stem, L"LPT", 3) == 0) &&
           ((digit >= L'0' && digit <= L'9') || digit == 0x00B9 || digit == 0x00B2 || digit == 0x00B3);
}

} // namespace

bool SplitEntryPath(const wchar_t *pszPath, wchar_t *pszFolder, wchar_t *pszBase, wchar_t *pszExt) noexcept
{
    pszFolder[0] = pszBase[0] = pszExt[0] = L'\0';
    const wchar_t *p = pszPath;
    if (p[0] != L'\0' && p[1] == L':')
        p += 2;
    const wchar_t *nameStart = p;
    for (const wchar_t *q = p; *q != L'\0'; ++q)
        if (IsSeparator(*q))
            nameStart = q + 1;
    const wchar_t *end = nameStart + std::wcslen(nameStart);
    const wchar_t *dot = end;
    for (const wchar_t *q = nameStart; q < end; ++q)
        if (*q == L'.')
            dot = q;
    if (CopyPart(pszFolder, p, static_cast<size_t>(nameStart - p)) &&
        CopyPart(pszBase, nameStart, static_cast<size_t>(dot - nameStart)) &&
        CopyPart(pszExt, dot, static_cast<size_t>(end - dot)))
        return true;
    pszFolder[0] = pszBase[0] = pszExt[0] = L'\0';
    return false;
}

bool IsSafeFileName(const wchar_t *pszName) noexcept
{
    const size_t cch = std::wcslen(pszName);
    if (cch == 0 || pszName[cch - 1] == L'.' || pszName[cch - 1] == L' ' || IsDeviceName(pszName))
        return false;
    for (size_t i = 0; i < cch; ++i)
        if (IsForbiddenChar(pszName[i]))
            return false;
    return true;
}

HRESULT MakeSafeFileName(const wchar_t *pszName, wchar_t *pszSafe, size_t cchSafe) noexcept
{
    const HRESULT TOO_LONG = HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
    if (IsSafeFileName(pszName))
        return SafeStringCopy(pszSafe, cchSafe, pszName) == S_OK ? S_OK : TOO_LONG;
    if (cchSafe == 0)
        return TOO_LONG;
    size_t cch = std::wcslen(pszName);
    while (cch > 0 && (pszName[cch - 1] == L'.' || pszName[cch - 1] == L' '))
        --cch;
    size_t out = 0;
    const bool device = IsDeviceName(pszName);
    const size_t need = cch + (device ? 1 : 0) + (cch == 0 ? 1 : 0);
    if (need >= cchSafe)
        return TOO_LONG;
    if (device || cch == 0)
        pszSafe[out++] = L'_';
    for (size_t i = 0; i < cch; ++i)
        pszSafe[out++] = IsForbiddenChar(pszName[i]) ? L'_' : pszName[i];
    pszSafe[out] = L'\0';
    return S_OK;
}
