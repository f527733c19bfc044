// The baselines decode as a caller of the library that grants its decoder whatever memory it asks
// for: without an account of its own, the library holds a decoder to 16 MB.
#pragma once
#include <windows.h>

#include <dll.hpp>

inline int PASCAL GrantDecoderMemory(LPARAM, long long) { return 1; }

// Opens the archive as RAROpenArchiveEx does, with an unbounded decoder.
inline HANDLE OpenUnbounded(RAROpenArchiveDataEx *pOpen)
{
    HANDLE hArchive = RAROpenArchiveEx(pOpen);
    if (hArchive != nullptr)
        RARSetUnpackMemoryProc(hArchive, GrantDecoderMemory, 0);
    return hArchive;
}
