// Path and file helpers. MAX_PATH (260) is the capacity of every fixed path buffer here.
#pragma once
#include <windows.h>

// TRUE for a readable path of 1 to 259 characters whose first match is an existing non-directory.
bool FileExists(const wchar_t *pszPath) noexcept;

// TRUE for a path of 1 to 259 characters that names an existing non-directory exactly: no
// pattern matching and no directory search, so it costs a fraction of FileExists. For paths we
// composed ourselves, such as the extracted files, which are tested for every archive entry.
bool IsExistingFile(const wchar_t *pszPath) noexcept;

// Appends a component to a path held in a MAX_PATH buffer: PathAppendW when the shell
// lightweight library is at least 4.71, otherwise our own fallback.
bool AppendPath(wchar_t *pszPath, const wchar_t *pszMore) noexcept;

// The file-name part of a path: what follows its last '\\', '/' or ':'.
const wchar_t *PathFileName(const wchar_t *pszPath) noexcept;

// A path's base name (no folder, no extension) upper-cased into cchName characters; a longer
// name is cut.
void GetUpperBaseName(const wchar_t *pszPath, wchar_t *pszName, size_t cchName) noexcept;

// Long form of a path into a MAX_PATH buffer; length in characters, 0 on failure.
DWORD GetLongPath(const wchar_t *pszPath, wchar_t *pszLongPath, DWORD cchBuffer) noexcept;

// Signature check with WinVerifyTrust (wintrust.dll loaded for the call only).
bool IsFileTrusted(const wchar_t *pszPath, bool bShowUI) noexcept;
