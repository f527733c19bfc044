#include "support/RunLimits.h"
#include "support/Registry.h"

namespace {

constexpr wchar_t LIMITS_KEY[] = L"SOFTWARE\\Quorvane\\Pellucidor";

struct Limit {
    const wchar_t *pszValue;
    DWORD dwDefaultMB;
    DWORD dwMostMB;
};
constexpr Limit MEMORY_BUDGET = {L"MemoryBudgetMB", 48, 1024};
constexpr Limit SKIP_WORK = {L"SkipWorkMB", 1024, 16384};

ULONGLONG ReadLimit(CRegistry &key, const Limit &limit) noexcept
{
    DWORD dwMB = 0;
    if (key.Key() == nullptr || !key.ReadDword(limit.pszValue, &dwMB) || dwMB == 0)
        dwMB = limit.dwDefaultMB;
    return static_cast<ULONGLONG>(dwMB < limit.dwMostMB ? dwMB : limit.dwMostMB) << 20;
}

} // namespace

RunLimits ReadRunLimits() noexcept
{
    CRegistry key;
    key.Open(HKEY_LOCAL_MACHINE, LIMITS_KEY);
    return {ReadLimit(key, MEMORY_BUDGET), ReadLimit(key, SKIP_WORK)};
}
