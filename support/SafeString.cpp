#include "support/SafeString.h"

#include <cwchar>
#include <new>

HRESULT SafeStringCopy(wchar_t *pszDest, size_t cchDest, const wchar_t *pszSrc) noexcept
{
    if (cchDest == 0 || cchDest > PELLUCIDOR_MAX_CCH || pszDest == nullptr)
        return E_INVALIDARG;
    if (pszSrc == nullptr)
        pszSrc = L"";
    size_t i = 0;
    for (; i < cchDest; ++i) {
        pszDest[i] = pszSrc[i];
        if (pszSrc[i] == L'\0')
            return S_OK;
    }
    pszDest[cchDest - 1] = L'\0';
    return STRSAFE_E_INSUFFICIENT_BUFFER;
}

HRESULT SafeStringLength(const wchar_t *psz, size_t cchMax, size_t *pcchLength) noexcept
{
    if (pcchLength != nullptr)
        *pcchLength = 0;
    if (psz == nullptr || cchMax > PELLUCIDOR_MAX_CCH)
        return E_INVALIDARG;
    for (size_t i = 0; i < cchMax; ++i) {
        if (psz[i] == L'\0') {
            if (pcchLength != nullptr)
                *pcchLength = i;
            return S_OK;
        }
    }
    return E_INVALIDARG;
}

HRESULT SafeStringCat(wchar_t *pszDest, size_t cchDest, const wchar_t *pszSrc) noexcept
{
    if (cchDest == 0 || cchDest > PELLUCIDOR_MAX_CCH || pszDest == nullptr)
        return E_INVALIDARG;
    size_t cchUsed = 0;
    const HRESULT hr = SafeStringLength(pszDest, cchDest, &cchUsed);
    if (FAILED(hr))
        return hr;
    return SafeStringCopy(pszDest + cchUsed, cchDest - cchUsed, pszSrc);
}

size_t ReplaceChar(wchar_t *psz, wchar_t chFind, wchar_t chReplace) noexcept
{
    if (psz == nullptr)
        return 0;
    const size_t cch = wcslen(psz);
    for (size_t i = 0; i < cch; ++i) {
        if (psz[i] == chFind)
            psz[i] = chReplace;
    }
    return cch;
}

std::unique_ptr<wchar_t[]> DuplicateString(const wchar_t *psz) noexcept
{
    if (psz == nullptr)
        return nullptr;
    const size_t cch = std::wcslen(psz) + 1;
    std::unique_ptr<wchar_t[]> copy(new (std::nothrow) wchar_t[cch]);
    if (copy)
        std::wmemcpy(copy.get(), psz, cch);
    return copy;
}
