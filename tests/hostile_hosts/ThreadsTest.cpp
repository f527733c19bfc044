// Eight host threads, each with its own filter object on its own archive, all pulling their
// streams at the same moment with child filters loaded: every stream complete and the same as the
// archive's stream filtered alone; afterwards no object, run folder or child DLL is left.
#include "ThreadArchives.h"

#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

// Holds every thread until all have their filter object initialised, then lets them go at once.
class CStartLine
{
public:
    explicit CStartLine(int count) : m_waiting(count) {}
    void ArriveAndWait()
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (--m_waiting == 0)
            m_go.notify_all();
        else
            m_go.wait(lock, [this] { return m_waiting == 0; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_go;
    int m_waiting;
};

} // namespace

using Threads = HostileHostTest;

// The streams filtered alone are what the archives hold; the concurrent runs are compared with them.
TEST_F(Threads, EachArchiveFilteredAloneGivesItsWholeStream)
{
    for (int k = 0; k < THREAD_ARCHIVES; ++k) {
        SCOPED_TRACE("thread-" + std::to_string(k) + ".rar");
        EXPECT_EQ(StreamLines(ExpectedStream(k)), StreamLines(FilterArchive(m_dll, ThreadArchive(k))));
        EXPECT_EQ(0, ChildObjects());
        EXPECT_LE(ChildDllReferences(), PROBE_REFERENCES);
    }
}

TEST_F(Threads, EightHostThreadsAtOnceEachGetTheirWholeStream)
{
    constexpr int kRounds = 5;
    std::vector<std::vector<std::string>> alone;
    for (int k = 0; k < THREAD_ARCHIVES; ++k)
        alone.push_back(StreamLines(FilterArchive(m_dll, ThreadArchive(k))));
    // Loading a child filter's DLL moves the process's current directory for a moment; threads
    // doing that at once must still leave it where the host had it.
    wchar_t cwdBefore[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, cwdBefore);

    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round + 1));
        CStartLine start(THREAD_ARCHIVES);
        std::vector<std::vector<SeenChunk>> seen(THREAD_ARCHIVES);
        std::vector<HRESULT> results(THREAD_ARCHIVES, E_UNEXPECTED), ends(THREAD_ARCHIVES, E_UNEXPECTED);
        auto host = [&](int k) {
            // Host threads of both apartment kinds.
            CoInitializeEx(nullptr, (k + round) % 2 == 0 ? COINIT_MULTITHREADED : COINIT_APARTMENTTHREADED);
            {
                CComPtr<IFilter> filter;
                HRESULT hr = CreateFilter(m_dll, IID_IFilter, filter.PutVoid());
                if (SUCCEEDED(hr))
                    hr = LoadAndInit(filter.Get(), ThreadArchive(k));
                results[k] = hr;
                start.ArriveAndWait();
                if (SUCCEEDED(hr))
                    seen[k] = ReadAllChunks(filter.Get(), {}, &ends[k]);
            }
            CoUninitialize();
        };
        std::vector<std::thread> threads;
        for (int k = 0; k < THREAD_ARCHIVES; ++k)
            threads.emplace_back(host, k);
        for (std::thread &t : threads)
            t.join();

        for (int k = 0; k < THREAD_ARCHIVES; ++k) {
            SCOPED_TRACE("thread-" + std::to_string(k) + ".rar");
            EXPECT_HR(S_OK, results[k]) << "create, Load, Init";
            EXPECT_HR(FILTER_E_END_OF_CHUNKS, ends[k]) << "how the stream ended";
            EXPECT_EQ(alone[k], StreamLines(seen[k]));
        }
        EXPECT_HR(S_OK, m_dll.CanUnloadNow());
        EXPECT_EQ(0, ChildObjects());
        EXPECT_LE(ChildDllReferences(), PROBE_REFERENCES);
        EXPECT_TRUE(RunFoldersNow().empty());
        wchar_t cwdAfter[MAX_PATH] = {};
        GetCurrentDirectoryW(MAX_PATH, cwdAfter);
        EXPECT_EQ(Narrow(cwdBefore), Narrow(cwdAfter)) << "the process's current directory";
    }
}
