// Archives the fuzz run (tests/fuzz) once crashed the filter with, made again by
// tests/setup.d/85-fuzz-seeds.sh from the seed they came from: each is filtered as a host does and
// gives the seed's own stream, but for the title, which names the archive.
#include "ThreadArchives.h"

using FuzzFindings = HostileHostTest;

TEST_F(FuzzFindings, EachFindingGivesItsSeedsStream)
{
    const struct {
        const wchar_t *finding;
        const wchar_t *seed;
        const wchar_t *title;
    } cases[] = {
        // A RAR5 main header whose metadata record announces an archive name of no length:
        // UnRAR read its first byte through a null pointer (cmake/patches/0003).
        {L"archive-name-of-no-length.rar", L"rar5.rar", L"archive-name-of-no-length"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(Narrow(c.finding));
        std::vector<SeenChunk> want = FilterArchive(m_dll, TestDataPath(std::wstring(L"fuzz\\seeds\\") + c.seed));
        ASSERT_GT(want.size(), 1u) << "the seed's stream has its entries";
        want[0].text = c.title;
        EXPECT_EQ(StreamLines(want), StreamLines(FilterArchive(m_dll, TestDataPath(std::wstring(L"fuzz\\findings\\") + c.finding))));
    }
}
