// The run's limits in one place: what an administrator sets machine-wide under
// HKLM\SOFTWARE\Quorvane\Pellucidor (the filter host of Windows Search reads the registry but has
// no disk for a settings file), what the search host this process belongs to keeps of one item,
// read at the start of every outermost run.
#pragma once
#include <windows.h>

// The search hosts whose limits on one item are known, told apart by the process's image name.
enum class SearchHost {
    None,           // any other process (SQL Server's fdhost, our own tools): no allowance
    WindowsSearch,  // SearchFilterHost.exe, SearchProtocolHost.exe, SearchIndexer.exe
    SharePoint,     // ParserServer.exe, SharePoint Server's document parsing sandbox
};

// Where a host looks up the filter for an extension, and so where a child filter is found.
enum class FilterLookup {
    Standard,       // the platform's persistent-handler registration
    DesktopSearch,  // MSN / Windows Desktop Search's own tables
    ServerEngine,   // the server engine (SQL Server, SharePoint Portal, Office Server) whose bin
                    // folder holds the image
};

// Every process image this filter knows, in one table: what the host keeps of an item, how it
// finds filters, and the name the dump tool's --host gives it (NULL: none).
struct KnownImage {
    const wchar_t *pszImage;  // base name, any letter case
    SearchHost host;
    FilterLookup lookup;
    const wchar_t *pszDumpHost;
};
constexpr KnownImage KNOWN_IMAGES[] = {
    {L"SearchFilterHost.exe", SearchHost::WindowsSearch, FilterLookup::Standard, L"windows-search"},
    {L"SearchProtocolHost.exe", SearchHost::WindowsSearch, FilterLookup::Standard, nullptr},
    {L"SearchIndexer.exe", SearchHost::WindowsSearch, FilterLookup::Standard, nullptr},
    {L"ParserServer.exe", SearchHost::SharePoint, FilterLookup::Standard, L"sharepoint"},
    {L"MSNGATHER.exe", SearchHost::None, FilterLookup::DesktopSearch, nullptr},
    {L"WindowsSearchFilter.exe", SearchHost::None, FilterLookup::DesktopSearch, nullptr},
    {L"MSSDMN.exe", SearchHost::None, FilterLookup::ServerEngine, nullptr},
    {L"FILTDUMP.exe", SearchHost::None, FilterLookup::ServerEngine, nullptr},
};

// This process's image: its whole path, read once; empty when it cannot be read.
const wchar_t *ProcessImagePath() noexcept;
// What the table knows of an image (its base name, any letter case), or NULL.
const KnownImage *KnownImageOf(const wchar_t *pszImagePath) noexcept;
// Where this process looks up filters.
FilterLookup FilterLookupOfThisProcess() noexcept;

struct RunLimits {
    // What one run (an archive with every archive nested in it) may hold in memory:
    // "MemoryBudgetMB", 48 MB by default, at most 1024 MB (a 32-bit host has 2 GB of address
    // space in all, and a larger budget would never refuse anything).
    ULONGLONG cbMemory;
    // How much it may decompress only to pass entries of solid archives that nobody reads:
    // "SkipWorkMB", 1 GB by default, at most 16 GB.
    ULONGLONG cbSkipWork;
    // Characters of text and values the host keeps of the item; 0: no bound.
    ULONGLONG cchText;
    // Milliseconds the host gives the whole item; 0: no bound.
    DWORD msRun;
    // Milliseconds any one call may work on our side: half of what the host waits for a chunk;
    // 0: no bound.
    DWORD msCall;
};

// The values that override a host's allowance for every host (REG_DWORD; 0 or absent: the host's).
#define TEXT_ALLOWANCE_VALUE L"TextAllowanceChars"
#define TIME_ALLOWANCE_VALUE L"TimeAllowanceSeconds"
// And the longest any one call may work on our side, for a host that waits less than we know of.
#define CALL_LIMIT_VALUE L"CallLimitMs"

// What Microsoft documents each host keeping of one item.
constexpr DWORD WINDOWS_SEARCH_GROW_FACTOR = 4;        // MaxGrowFactor's default: text bytes per item byte
constexpr DWORD WINDOWS_SEARCH_CHUNK_WAIT_SECONDS = 20;  // DataTimeout / ConnectTimeout, as commonly reported
constexpr ULONGLONG SHAREPOINT_TEXT_CHARS = 2000000;
constexpr DWORD SHAREPOINT_ITEM_SECONDS = 30;

// The host of this process, by its image name (read once).
SearchHost HostOfThisProcess() noexcept;
// The host an image name belongs to (its base name, any letter case).
SearchHost HostOfImage(const wchar_t *pszImagePath) noexcept;

// The limits as set now, for an item of cbItem bytes in the given host: an absent value, or 0, is
// the default; a larger one than the most counts as the most.
RunLimits ReadRunLimits(ULONGLONG cbItem = 0, SearchHost host = HostOfThisProcess()) noexcept;
