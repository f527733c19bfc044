// Archives inside archives. Pellucidor filters an inner .rar entry through its own registration,
// one filter object per level, each called from inside the one above it on the host's thread.
// That stops at MAX_NESTED_ARCHIVES levels: deeper archives are named, not extracted, so the
// stack, the open archives and the run folders stay bounded. Archive: nest50.rar from
// tests/setup.d/40-hostile.sh (nestN.rar holds levelN.txt and nest(N-1).rar).
#include "HostileRun.h"

#include <filterr.h>
#include <memory>

#include "childfilter/ChildFilterLoader.h"
#include "filter/IFilterBase.h"
#include "support/CallContext.h"

namespace {

class NestingTest : public HostileArchiveTest
{
};

// n frames at once: the calling thread looks n of our filter objects deep.
class CNestedScopes
{
public:
    explicit CNestedScopes(LONG n)
    {
        for (LONG i = 0; i < n; ++i)
            m_frames.push_back(std::make_unique<CCallFrame>(nullptr, 0, CallKind::Filtering));
    }
    ~CNestedScopes()
    {
        while (!m_frames.empty())  // innermost first
            m_frames.pop_back();
    }

private:
    std::vector<std::unique_ptr<CCallFrame>> m_frames;
};

} // namespace

// Levels 50 down to 43 are read whole; nest42.rar, the entry of the eighth level, is named only.
TEST_F(NestingTest, FiftyLevelsAreReadDownToTheBound)
{
    ASSERT_EQ(8, MAX_NESTED_ARCHIVES);
    std::vector<ExpectedChunk> expected;
    const int deepest = 50 - MAX_NESTED_ARCHIVES + 1;
    for (int level = 50; level >= deepest; --level) {
        const std::wstring n = std::to_wstring(level);
        const std::wstring inner = L"nest" + std::to_wstring(level - 1);
        expected.push_back(EntryName(L"level" + n + L".txt"));
        expected.push_back(Text(L"level " + n + L" text"));
        expected.push_back(EntryName(inner + L".rar"));
        if (level > deepest)
            expected.push_back(Title(inner));  // the inner archive's stream begins
    }
    size_t maxRunFolders = 0;
    const std::vector<SeenChunk> chunks = FilterHostile(HostileArchive(L"nest50.rar"), [&](const SeenChunk &) {
        maxRunFolders = std::max(maxRunFolders, RunFoldersNow().size());
    });
    ExpectStream(chunks, expected, true);
    EXPECT_EQ(1u, maxRunFolders) << "the inner archives come from memory: the outer archive's run folder only";
}

// The loader makes no child of our own class at the bound: the inner archive is not even
// extracted. Other child filters are found at any depth.
TEST_F(NestingTest, AtTheBoundTheLoaderFindsNoFilterForInnerArchivesOnly)
{
    CChildFilterLoader loader;
    for (LONG depth : {1L, MAX_NESTED_ARCHIVES - 1, MAX_NESTED_ARCHIVES, MAX_NESTED_ARCHIVES + 5}) {
        SCOPED_TRACE(testing::Message() << "depth " << depth);
        const CNestedScopes scopes(depth);
        ASSERT_EQ(depth, NestingDepth());
        FilterRegistryInfo rar;
        EXPECT_EQ(depth < MAX_NESTED_ARCHIVES, loader.FindFilter(L"inner.rar", &rar) != FALSE);
        FilterRegistryInfo text;
        EXPECT_TRUE(loader.FindFilter(L"notes.txt", &text));
    }
    EXPECT_EQ(0, NestingDepth());
}

// A filter object reached deeper than the bound by another route (another format's filter that
// hands its entries to us) starts no run: an empty stream, no run folder.
TEST_F(NestingTest, BeyondTheBoundInitStartsNoRun)
{
    for (LONG outer : {0L, MAX_NESTED_ARCHIVES - 1, MAX_NESTED_ARCHIVES}) {
        SCOPED_TRACE(testing::Message() << outer << " filter objects above");
        const bool bRuns = outer < MAX_NESTED_ARCHIVES;
        CComPtr<IFilter> filter;
        filter.Attach(new (std::nothrow) CIFilterBase);
        ASSERT_TRUE(filter);
        ASSERT_HR(S_OK, LoadFile(filter.Get(), HostileArchive(L"nest50.rar")));
        {
            const CNestedScopes scopes(outer);
            ULONG flags = MARKER;
            EXPECT_HR(S_OK, filter->Init(HOST_INIT_FLAGS, 0, nullptr, &flags));
            EXPECT_EQ(static_cast<ULONG>(IFILTER_FLAGS_OLE_PROPERTIES), flags);
            EXPECT_EQ(bRuns ? 1u : 0u, RunFoldersNow().size());
            STAT_CHUNK stat;
            EXPECT_HR(bRuns ? S_OK : FILTER_E_END_OF_CHUNKS, filter->GetChunk(&stat));
        }
        filter.Reset();
        EXPECT_TRUE(RunFoldersNow().empty());
    }
}
