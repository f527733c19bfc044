// Bounded wide-string operations. Capacities count characters including the NUL.
// Results: S_OK (whole source copied), STRSAFE_E_INSUFFICIENT_BUFFER (truncated, still terminated),
// E_INVALIDARG (capacity 0 or above PELLUCIDOR_MAX_CCH; the destination is not touched).
// None of them throws.
#pragma once
#include <windows.h>
#include <stddef.h>

#include <memory>

constexpr size_t PELLUCIDOR_MAX_CCH = 0x7FFFFFFF;
#ifndef STRSAFE_E_INSUFFICIENT_BUFFER
#define STRSAFE_E_INSUFFICIENT_BUFFER ((HRESULT)0x8007007AL)
#endif

HRESULT SafeStringCopy(wchar_t *pszDest, size_t cchDest, const wchar_t *pszSrc) noexcept;
HRESULT SafeStringLength(const wchar_t *psz, size_t cchMax, size_t *pcchLength) noexcept;
HRESULT SafeStringCat(wchar_t *pszDest, size_t cchDest, const wchar_t *pszSrc) noexcept;

// Replaces every occurrence of chFind among the string's characters (length measured first,
// so replacing by NUL splits the text into consecutive pieces); returns that length.
size_t ReplaceChar(wchar_t *psz, wchar_t chFind, wchar_t chReplace) noexcept;

// An owned, exactly fitting heap copy of a string; empty when psz is NULL or memory runs out.
std::unique_ptr<wchar_t[]> DuplicateString(const wchar_t *psz) noexcept;
