// How often a run waits for the settings mutexes, counted in process through the test seam:
// never with both switches off (another process may hold a mutex for seconds), and at most once
// per mutex in one Init, which may end the earlier run and start the next one, or in a release.
#include <gtest/gtest.h>

#include "SettingsFiles.h"
#include "filter/SettingsLock.h"

#include <map>

namespace {

std::map<std::wstring, int> g_waits;  // by mutex name; the runs below stay on this thread

DWORD CountedWait(const wchar_t *pszMutexName, HANDLE hMutex, DWORD dwMilliseconds)
{
    ++g_waits[pszMutexName];
    return WaitForSingleObject(hMutex, dwMilliseconds);
}

class CCountedWaits
{
public:
    CCountedWaits() { g_settingsTestHooks.pfnWaitForMutex = CountedWait; }
    ~CCountedWaits() { g_settingsTestHooks.pfnWaitForMutex = nullptr; }
    CCountedWaits(const CCountedWaits &) = delete;
    CCountedWaits &operator=(const CCountedWaits &) = delete;

    // "black list / log" waits since the last call.
    std::string Take()
    {
        const std::string text =
            std::to_string(g_waits[BLACK_LIST_MUTEX_NAME]) + " / " + std::to_string(g_waits[LOG_GUID_MUTEX_NAME]);
        g_waits.clear();
        return text;
    }
};

} // namespace

using LockWaits = SettingsTest;

TEST_F(LockWaits, InitAndReleaseWaitAtMostOncePerMutexAndNeverWithBothSwitchesOff)
{
    struct Case {
        const char *name;
        std::wstring debugLines;
        std::string init, reInit, release;  // waits on "black list / log"
    };
    const Case cases[] = {
        {"no settings", L"", "0 / 0", "0 / 0", "0 / 0"},
        {"both off", L"BlackList=0\r\nLogGuid=0\r\n", "0 / 0", "0 / 0", "0 / 0"},
        {"black list", L"BlackList=1\r\n", "1 / 0", "1 / 0", "1 / 0"},
        {"log", L"LogGuid=1\r\n", "0 / 1", "0 / 1", "0 / 0"},
        {"both", L"BlackList=1\r\nLogGuid=1\r\n", "1 / 1", "1 / 1", "1 / 0"},
    };
    const std::wstring archive = FilterObjectArchive(L"plain.rar");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        UseSettings(c.debugLines);
        CCountedWaits waits;
        CComPtr<IFilter> filter = CreateFilterInProcess();
        ASSERT_TRUE(filter);
        ASSERT_HR(S_OK, LoadFile(filter.Get(), archive));
        ASSERT_HR(S_OK, InitFilter(filter.Get()));
        EXPECT_EQ(c.init, waits.Take()) << "Init";
        EXPECT_EQ(3, PullToEnd(filter.Get()));
        // Ends a run that reached its end, and starts the next.
        ASSERT_HR(S_OK, InitFilter(filter.Get()));
        EXPECT_EQ(c.reInit, waits.Take()) << "Init again";
        EXPECT_EQ(3, PullToEnd(filter.Get()));
        filter.Reset();
        EXPECT_EQ(c.release, waits.Take()) << "release";
        EXPECT_EQ(L"(none)", MarksOf(archive));
    }
}
