// The run's limits in one place: what an administrator sets machine-wide, in megabytes, under
// HKLM\SOFTWARE\Quorvane\Pellucidor (the filter host of Windows Search reads the registry but has
// no disk for a settings file), read in the DLL's own registry view at the start of every
// outermost run, and the fixed cap on a document read into memory.
#pragma once
#include <windows.h>

// The largest document handed to a child filter from memory; a larger one goes to a file, so that
// a host's memory stays bounded whatever the archive holds.
constexpr ULONGLONG MAX_DOCUMENT_IN_MEMORY = 16ull * 1024 * 1024;

struct RunLimits {
    // What one run (an archive with every archive nested in it) may hold in memory:
    // "MemoryBudgetMB", 48 MB by default, at most 1024 MB (a 32-bit host has 2 GB of address
    // space in all, and a larger budget would never refuse anything).
    ULONGLONG cbMemory;
    // How much it may decompress only to pass entries of solid archives that nobody reads:
    // "SkipWorkMB", 1 GB by default, at most 16 GB.
    ULONGLONG cbSkipWork;
};

// The limits as set now: an absent value, or 0, is the default; a larger one than the most counts
// as the most.
RunLimits ReadRunLimits() noexcept;
