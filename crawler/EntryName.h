// How an archive entry's stored path becomes a folder, a name and a file we can create.
#pragma once
#include <windows.h>
#include "support/Capacities.h"

// Capacity of one part of a split path: 255 characters and the NUL, as the C runtime splits paths.
constexpr size_t ENTRY_PART_CHARS = 256;  // a part of up to 255 characters, and its NUL

// Splits a path the way _wsplitpath_s does: a leading drive ("X:") is dropped, the folder runs
// up to and including the last '\' or '/', the extension starts at the last '.' after it.
// When any part is longer than 255 characters, all three come out empty and the result is false.
// Each buffer holds ENTRY_PART_CHARS characters.
bool SplitEntryPath(const wchar_t *pszPath, wchar_t *pszFolder, wchar_t *pszBase, wchar_t *pszExt) noexcept;

// Whether the name can be created as it stands: no reserved device name (CON, PRN, AUX, NUL,
// CONIN$, CONOUT$, COM0-COM9, LPT0-LPT9, COM¹-COM³, LPT¹-LPT³, with any extension), none of
// < > : " | ? * / \ or control characters, no trailing dot or space, not empty.
bool IsSafeFileName(const wchar_t *pszName) noexcept;

// Writes a name the file system takes for pszName (at most cchSafe characters with the NUL):
// forbidden characters become '_', trailing dots and spaces go, a device name gets a leading '_'.
// A clean extension is kept, so the same child filter applies. Safe names come back unchanged.
// S_OK, or HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER) when the result does not fit.
HRESULT MakeSafeFileName(const wchar_t *pszName, wchar_t *pszSafe, size_t cchSafe) noexcept;
