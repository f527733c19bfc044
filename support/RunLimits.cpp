#include "support/RunLimits.h"
#include "support/FileUtil.h"
#include "support/Registry.h"

#include <cwchar>

namespace {

constexpr wchar_t LIMITS_KEY[] = L"SOFTWARE\\Quorvane\\Pellucidor";
// Windows Search keeps its gatherer's settings here; Microsoft's filter documentation prints the
// second, older path, which is read when the first has no value.
constexpr const wchar_t *GATHERING_KEYS[] = {L"SOFTWARE\\Microsoft\\Windows Search\\Gathering Manager",
                                             L"SOFTWARE\\Microsoft\\Gathering Manager"};

struct Limit {
    const wchar_t *pszValue;
    DWORD dwDefaultMB;
    DWORD dwMostMB;
};
constexpr Limit MEMORY_BUDGET = {L"MemoryBudgetMB", 48, 1024};
constexpr Limit SKIP_WORK = {L"SkipWorkMB", 1024, 16384};
// A time allowance of more than a day is no bound worth keeping.
constexpr DWORD MOST_ALLOWANCE_SECONDS = 24 * 60 * 60;

ULONGLONG ReadLimit(CRegistry &key, const Limit &limit) noexcept
{
    DWORD dwMB = 0;
    if (key.Key() == nullptr || !key.ReadDword(limit.pszValue, &dwMB) || dwMB == 0)
        dwMB = limit.dwDefaultMB;
    return static_cast<ULONGLONG>(dwMB < limit.dwMostMB ? dwMB : limit.dwMostMB) << 20;
}

DWORD ReadOptionalDword(CRegistry &key, const wchar_t *pszValue) noexcept
{
    DWORD dw = 0;
    return key.Key() != nullptr && key.ReadDword(pszValue, &dw) ? dw : 0;
}

// A Windows Search gatherer setting, in the 64-bit registry view (the indexer's own, also for a
// 32-bit filter host); 0 when neither key has it.
DWORD ReadGathererValue(const wchar_t *pszValue) noexcept
{
    for (const wchar_t *pszKey : GATHERING_KEYS) {
        CRegKey key;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, pszKey, 0, KEY_QUERY_VALUE | KEY_WOW64_64KEY, key.Put()) != ERROR_SUCCESS)
            continue;
        DWORD dw = 0, dwType = REG_NONE, cb = sizeof(dw);
        if (RegQueryValueExW(key.Get(), pszValue, nullptr, &dwType, reinterpret_cast<BYTE *>(&dw), &cb) ==
                ERROR_SUCCESS &&
            dwType == REG_DWORD && cb == sizeof(dw) && dw != 0)
            return dw;
    }
    return 0;
}

DWORD Milliseconds(DWORD dwSeconds) noexcept
{
    return (dwSeconds < MOST_ALLOWANCE_SECONDS ? dwSeconds : MOST_ALLOWANCE_SECONDS) * 1000;
}

// What the host keeps of an item of cbItem bytes, before the administrator's overrides.
void SetHostAllowance(SearchHost host, ULONGLONG cbItem, RunLimits &limits) noexcept
{
    switch (host) {
    case SearchHost::WindowsSearch: {
        // The indexer takes at most item size × MaxGrowFactor bytes of text; counted here as two
        // bytes a character, the most it can cost.
        DWORD dwGrow = ReadGathererValue(L"MaxGrowFactor");
        if (dwGrow == 0)
            dwGrow = WINDOWS_SEARCH_GROW_FACTOR;
        const ULONGLONG cbText = cbItem > ~0ull / dwGrow ? ~0ull : cbItem * dwGrow;
        limits.cchText = cbText / sizeof(wchar_t);
        // It waits so long for the first chunk (ConnectTimeout) and each later one (DataTimeout);
        // the shorter of those that are set bounds each call.
        DWORD dwWait = 0;
        for (const wchar_t *pszValue : {L"DataTimeout", L"ConnectTimeout"}) {
            const DWORD dw = ReadGathererValue(pszValue);
            if (dw != 0 && (dwWait == 0 || dw < dwWait))
                dwWait = dw;
        }
        limits.msCall = Milliseconds(dwWait != 0 ? dwWait : WINDOWS_SEARCH_CHUNK_WAIT_SECONDS) / 2;
        break;
    }
    case SearchHost::SharePoint:
        limits.cchText = SHAREPOINT_TEXT_CHARS;
        limits.msRun = Milliseconds(SHAREPOINT_ITEM_SECONDS);
        limits.msCall = limits.msRun / 2;
        break;
    case SearchHost::None:
        break;
    }
}

} // namespace

const wchar_t *ProcessImagePath() noexcept
{
    static wchar_t s_szImage[MAX_PATH + 1];
    static const bool s_bRead = [] {
        const DWORD cch = GetModuleFileNameW(nullptr, s_szImage, ARRAYSIZE(s_szImage));
        if (cch == 0 || cch >= ARRAYSIZE(s_szImage))
            s_szImage[0] = L'\0';
        return true;
    }();
    (void)s_bRead;
    return s_szImage;
}

const KnownImage *KnownImageOf(const wchar_t *pszImagePath) noexcept
{
    if (pszImagePath == nullptr)
        return nullptr;
    const wchar_t *pszName = PathFileName(pszImagePath);
    for (const KnownImage &image : KNOWN_IMAGES)
        if (lstrcmpiW(pszName, image.pszImage) == 0)
            return &image;
    return nullptr;
}

SearchHost HostOfImage(const wchar_t *pszImagePath) noexcept
{
    const KnownImage *pImage = KnownImageOf(pszImagePath);
    return pImage != nullptr ? pImage->host : SearchHost::None;
}

SearchHost HostOfThisProcess() noexcept
{
    static const SearchHost s_host = HostOfImage(ProcessImagePath());
    return s_host;
}

FilterLookup FilterLookupOfThisProcess() noexcept
{
    const KnownImage *pImage = KnownImageOf(ProcessImagePath());
    return pImage != nullptr ? pImage->lookup : FilterLookup::Standard;
}

RunLimits ReadRunLimits(ULONGLONG cbItem, SearchHost host) noexcept
{
    CRegistry key;
    key.Open(HKEY_LOCAL_MACHINE, LIMITS_KEY);
    RunLimits limits = {ReadLimit(key, MEMORY_BUDGET), ReadLimit(key, SKIP_WORK), 0, 0, 0};
    SetHostAllowance(host, cbItem, limits);
    if (const DWORD dwChars = ReadOptionalDword(key, TEXT_ALLOWANCE_VALUE))
        limits.cchText = dwChars;
    if (const DWORD dwSeconds = ReadOptionalDword(key, TIME_ALLOWANCE_VALUE)) {
        limits.msRun = Milliseconds(dwSeconds);
        if (limits.msCall == 0 || limits.msCall > limits.msRun / 2)
            limits.msCall = limits.msRun / 2;
    }
    if (const DWORD dwMs = ReadOptionalDword(key, CALL_LIMIT_VALUE))
        limits.msCall = dwMs < Milliseconds(MOST_ALLOWANCE_SECONDS) ? dwMs : Milliseconds(MOST_ALLOWANCE_SECONDS);
    return limits;
}
