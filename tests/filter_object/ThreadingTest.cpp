// Threading model "Both": host threads create, load, initialise and release filter objects at
// the same time; every count returns to zero and no run folder stays behind.
#include <gtest/gtest.h>
#include <atomic>
#include <thread>
#include <vector>

#include "FilterHost.h"
#include "support/Guids.h"

using Threading = FilterHostTest;

TEST_F(Threading, EightThreadsOfTwoHundredObjects)
{
    constexpr int kThreads = 8;
    constexpr int kObjectsPerThread = 200;
    const std::wstring archive = FilterObjectArchive(L"plain.rar");
    std::atomic<int> failures{0};
    std::atomic<int> completed{0};

    auto work = [&](int thread) {
        // A host thread of either apartment kind.
        CoInitializeEx(nullptr, thread % 2 == 0 ? COINIT_MULTITHREADED : COINIT_APARTMENTTHREADED);
        for (int i = 0; i < kObjectsPerThread; ++i) {
            CComPtr<IClassFactory> factory;
            CComPtr<IFilter> filter;
            ULONG flags = MARKER;
            if (m_dll.GetClassObject(CLSID_PellucidorFilter, IID_IClassFactory, factory.PutVoid()) != S_OK ||
                factory->CreateInstance(nullptr, IID_IFilter, filter.PutVoid()) != S_OK ||
                LoadFile(filter.Get(), archive) != S_OK || InitFilter(filter.Get(), &flags) != S_OK ||
                flags != IFILTER_FLAGS_OLE_PROPERTIES) {
                ++failures;
            } else if (i % 4 == 0 && PullToEnd(filter.Get()) != kPlainChunks) {
                ++failures;
            }
            filter.Reset();
            factory.Reset();
            ++completed;
        }
        CoUninitialize();
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back(work, t);
    for (std::thread &t : threads)
        t.join();

    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(kThreads * kObjectsPerThread, completed.load());
    EXPECT_HR(S_OK, m_dll.CanUnloadNow());
    EXPECT_TRUE(RunFoldersNow().empty());
}
