// The run's limits as an administrator sets them (HKLM\SOFTWARE\Quorvane\Pellucidor, in
// megabytes): what does not fit in the memory budget is named only, and decompression done only
// to pass unread entries of a solid archive stops at the work bound; either way the stream ends
// normally and every entry keeps its name. Archives: tests/setup.d/40-hostile.sh.
#include "HostileRun.h"

// 1 MB holds the archive open for its names, not a second handle to read documents with.
TEST_F(HostileArchiveTest, AMemoryBudgetTooSmallToReadDocumentsStillNamesEveryEntry)
{
    const std::wstring archive = HostileArchive(L"limits-solid-pass.rar");
    {
        const CLimitValue budget(L"MemoryBudgetMB", 1);
        ExpectStream(FilterHostile(archive), {EntryName(L"pass.nofilt"), EntryName(L"after.txt")}, true);
    }
    ExpectStream(FilterHostile(archive), {EntryName(L"pass.nofilt"), EntryName(L"after.txt"), Text(L"after text")}, true);
}

TEST_F(HostileArchiveTest, PassingUnreadSolidDataStopsAtTheWorkBound)
{
    const std::wstring archive = HostileArchive(L"limits-solid-pass.rar");
    {
        const CLimitValue bound(L"SkipWorkMB", 1);
        ExpectStream(FilterHostile(archive), {EntryName(L"pass.nofilt"), EntryName(L"after.txt")}, true);
    }
    ExpectStream(FilterHostile(archive), {EntryName(L"pass.nofilt"), EntryName(L"after.txt"), Text(L"after text")}, true);
}

// A solid stream gets the window it comes to at once: grown step by step, the last step would
// hold the old window beside the new one, more than the budget, and the later documents would be
// named only.
TEST_F(HostileArchiveTest, ASolidStreamLargerThanHalfItsDictionaryIsReadWhole)
{
    const std::vector<SeenChunk> chunks = FilterHostile(HostileArchive(L"limits-solid-32m.rar"));
    std::vector<std::wstring> read;
    for (const SeenChunk &chunk : chunks)
        if (chunk.propid == 19 && chunk.text.size() > 6)
            read.push_back(chunk.text.substr(0, 5));
    EXPECT_EQ(24u, read.size());
    EXPECT_EQ(L"doc23", read.empty() ? L"" : read.back());
}
