// The named mutexes held by another process: a run that cannot take the black-list mutex within
// its wait is refused (Init still S_OK, an empty stream), its release leaves or removes marks as
// the lock allows, and a log line that cannot be written is left out. The filter objects are the
// core library's, in process, with every wait cut from five seconds to a fifth of one through the
// test seam: the outcome is the same, the tests do not sit out the product's full wait.
#include <gtest/gtest.h>
#include <filterr.h>

#include "SettingsFiles.h"
#include "filter/SettingsLock.h"

#include <algorithm>

namespace {

DWORD ShortWait(const wchar_t *, HANDLE hMutex, DWORD dwMilliseconds)
{
    return WaitForSingleObject(hMutex, std::min<DWORD>(dwMilliseconds, 200));
}

class Mutexes : public SettingsTest
{
protected:
    void SetUp() override
    {
        SettingsTest::SetUp();
        g_settingsTestHooks.pfnWaitForMutex = ShortWait;
    }
    void TearDown() override
    {
        g_settingsTestHooks.pfnWaitForMutex = nullptr;
        SettingsTest::TearDown();
    }
    // A host's run on an in-process filter object: Load, Init (which must give S_OK).
    CComPtr<IFilter> StartRun(const std::wstring &path)
    {
        CComPtr<IFilter> filter = CreateFilterInProcess();
        if (filter) {
            EXPECT_HR(S_OK, LoadFile(filter.Get(), path)) << Narrow(path);
            EXPECT_HR(S_OK, InitFilter(filter.Get()));
        }
        return filter;
    }
};

} // namespace

TEST_F(Mutexes, BlackListMutexHeldByAnotherProcess)
{
    struct Case {
        const char *name;
        std::wstring marks;       // before the run
        bool heldThroughRelease;  // or let go between Init and the release
        std::wstring after;
    };
    const Case cases[] = {
        {"released before the object: a short count goes", L"xx", false, L"(none)"},
        {"released before the object: five marks stay", L"xxxxx", false, L"xxxxx"},
        {"held through the release: the count stays", L"xx", true, L"xx"},
    };
    const std::wstring archive = FilterObjectArchive(L"plain.rar");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        UseSettings(L"BlackList=1\r\nLogGuid=1\r\n", FileEncoding::Utf16,
                    L"[" + ThisHost() + L"]\r\n" + archive + L"=" + c.marks + L"\r\n");
        CMutexHolder holder(BLACK_LIST_MUTEX_NAME, false);
        ASSERT_TRUE(holder.Holding());
        CComPtr<IFilter> filter = StartRun(archive);  // S_OK after the wait
        ASSERT_TRUE(filter);
        EXPECT_EQ(0u, RunFoldersNow().size()) << "refused";
        STAT_CHUNK stat;
        EXPECT_HR(FILTER_E_END_OF_CHUNKS, filter->GetChunk(&stat));
        if (!c.heldThroughRelease) {
            EXPECT_EQ(0, holder.Release());
        }
        filter.Reset();
        EXPECT_EQ(0, holder.Release());
        EXPECT_EQ(c.after, MarksOf(archive));
        EXPECT_FALSE(ReadIni(LogGuidFilePath()).exists) << "a refused run reaches no folder step";
    }
}

TEST_F(Mutexes, AnAbandonedBlackListMutexRefusesOneRun)
{
    const std::wstring archive = FilterObjectArchive(L"plain.rar");
    UseSettings(L"BlackList=1\r\n");
    CMutexHolder holder(BLACK_LIST_MUTEX_NAME, true);
    ASSERT_TRUE(holder.Holding());
    EXPECT_EQ(0, holder.Release());  // ends still owning it
    {
        CComPtr<IFilter> filter = StartRun(archive);
        EXPECT_EQ(0u, RunFoldersNow().size()) << "the abandoned wait is not a lock";
    }
    EXPECT_EQ(L"(none)", MarksOf(archive));
    {
        CComPtr<IFilter> filter = StartRun(archive);
        EXPECT_EQ(1u, RunFoldersNow().size()) << "the mutex is free again";
    }
    EXPECT_EQ(L"x", MarksOf(archive));
}

TEST_F(Mutexes, LogMutexHeldByAnotherProcess)
{
    UseSettings(L"LogGuid=1\r\n");
    CMutexHolder holder(LOG_GUID_MUTEX_NAME, false);
    ASSERT_TRUE(holder.Holding());
    {
        CComPtr<IFilter> filter = StartRun(FilterObjectArchive(L"plain.rar"));
        EXPECT_EQ(1u, RunFoldersNow().size()) << "the run goes on without its log line";
    }
    EXPECT_EQ(0, holder.Release());
    EXPECT_TRUE(ReadIni(LogGuidFilePath()).InSection(ThisHost()).empty());
}
