// The whole job, as a search host sees it through Pellucidor.dll: archives whose entries are read
// by the child filters registered in the test prefix, relayed as one stream.
#include <gtest/gtest.h>
#include <filterr.h>
#include <algorithm>

#include "ArchiveTestHelpers.h"
#include "FilterHost.h"
#include "ModuleProbe.h"
#include "FixtureDll.h"
#include "RegistrySeed.h"
#include "support/CallContext.h"

namespace {

class EndToEnd : public FilterHostTest
{
protected:
    EndToEnd() : FilterHostTest({/*runFolders*/ true, /*dllUnloads*/ true, /*childFilters*/ false, /*com*/ COINIT_APARTMENTTHREADED}) {}
};

} // namespace

TEST_F(EndToEnd, TextValuesAndFailingFiltersInArchiveOrder)
{
    const CFixtureDll fixtures[] = {CFixtureDll(FIXTURE_ROW_TEXT), CFixtureDll(FIXTURE_ROW_VALUES),
                                    CFixtureDll(FIXTURE_ROW_INIT_FAILS), CFixtureDll(FIXTURE_ROW_CHUNK_FAILS)};
    ExpectStream(FilterArchive(m_dll, ChildArchive(L"mixed.rar")),
                 Stream({
                     {Title(L"mixed")},
                     {EntryName(L"notes.txt"), Text(L"alpha bravo"), Text(L"charlie delta")},
                     {EntryName(L"values.fxval")},
                     FixtureValues(),
                     {EntryName(L"broken.fxinit")},           // Init fails
                     {EntryName(L"docs\\chunkfail.fxchunk")},  // its first GetChunk fails
                     // No IPersistFile: its document is read into memory and handed over as a stream.
                     {EntryName(L"stream.fxstream"), Text(L"stream only")},
                     {EntryName(L"readme")},                  // no extension, no filter
                     {EntryName(L"tail.fxtxt"), Text(L"echo foxtrot")},
                 }));
    for (const CFixtureDll &fixture : fixtures)
        EXPECT_EQ(0, fixture.ObjectCount()) << Narrow(fixture.Info().dllName);
}

// A host may keep one filter object for archive after archive. Which filter reads an extension
// is looked up once per run: each Init sees the registrations as they are then. Here .fxtxt is
// sent to the value filter between two runs, and back.
TEST_F(EndToEnd, EachRunOfOneObjectSeesTheRegistrationsOfItsStart)
{
    const std::wstring keyPath = L"SOFTWARE\\Classes\\.fxtxt";
    const std::wstring before = SnapshotTree(HKEY_LOCAL_MACHINE, keyPath);
    const auto expected = [](std::vector<ExpectedChunk> tail) {
        return Stream({
            {Title(L"mixed")},
            {EntryName(L"notes.txt"), Text(L"alpha bravo"), Text(L"charlie delta")},
            {EntryName(L"values.fxval")},
            FixtureValues(),
            {EntryName(L"broken.fxinit")},
            {EntryName(L"docs\\chunkfail.fxchunk")},
            {EntryName(L"stream.fxstream"), Text(L"stream only")},
            {EntryName(L"readme")},
            {EntryName(L"tail.fxtxt")},
            tail,
        });
    };
    CComPtr<IFilter> filter = NewFilter(m_dll);
    ASSERT_TRUE(filter);
    const auto run = [&] {
        EXPECT_HR(S_OK, LoadFile(filter.Get(), ChildArchive(L"mixed.rar")));
        EXPECT_HR(S_OK, InitFilter(filter.Get()));
        HRESULT hrEnd = S_OK;
        std::vector<SeenChunk> chunks = ReadAllChunks(filter.Get(), {}, &hrEnd);
        EXPECT_HR(FILTER_E_END_OF_CHUNKS, hrEnd);
        return chunks;
    };

    ExpectStream(run(), expected({Text(L"echo foxtrot")}));
    {
        CRegistrySeed seed;
        ASSERT_TRUE(seed.SetString(HKEY_LOCAL_MACHINE, keyPath + L"\\PersistentHandler", L"",
                                   g_fixtures[FIXTURE_ROW_VALUES].handler));
        ExpectStream(run(), expected(FixtureValues()));
    }
    ASSERT_EQ(before, SnapshotTree(HKEY_LOCAL_MACHINE, keyPath));
    ExpectStream(run(), expected({Text(L"echo foxtrot")}));
}

// An entry that is itself a RAR archive is read by Pellucidor again, through its own
// registration: the inner archive's title, names and texts come inside the outer stream.
TEST_F(EndToEnd, NestedArchivesComeInsideTheOuterStream)
{
    ExpectStream(FilterArchive(m_dll, ChildArchive(L"outer.rar")),
                 Stream({
                     {Title(L"outer"), EntryName(L"outer.txt"), Text(L"oscar papa")},
                     {EntryName(L"middle.rar"), Title(L"middle"), EntryName(L"middle.txt"), Text(L"mike november")},
                     {EntryName(L"inner.rar"), Title(L"inner"), EntryName(L"inner.txt"), Text(L"india juliet")},
                     {EntryName(L"after.txt"), Text(L"quebec romeo")},
                 }));
}

// How deep nesting goes: each level is one more live filter object, reading the archive of the
// next level from memory (our own class reads streams, and so does the text filter: no level below
// the first makes a run folder), and one more child call on the host's stack per GetChunk. The
// filter stops at MAX_NESTED_ARCHIVES levels: chain24 down to chain17 are read, chain16.rar is
// named only (tests/hostile_archives goes 50 levels deep).
TEST_F(EndToEnd, AChainOf24ArchivesIsReadDownToTheNestingBound)
{
    const int deepest = 24 - MAX_NESTED_ARCHIVES + 1;
    std::vector<ExpectedChunk> expected = {Title(L"chain24")};
    for (int level = 24; level >= deepest; --level) {
        const std::wstring n = std::to_wstring(level);
        expected.push_back(EntryName(L"level" + n + L".txt"));
        expected.push_back(Text(L"level " + n + L" text"));
        expected.push_back(EntryName(L"chain" + std::to_wstring(level - 1) + L".rar"));
        if (level > deepest)
            expected.push_back(Title(L"chain" + std::to_wstring(level - 1)));
    }
    size_t maxRunFolders = 0;
    ExpectStream(FilterArchive(m_dll, ChildArchive(L"chain24.rar"),
                               [&](const SeenChunk &) {
                                   maxRunFolders = std::max(maxRunFolders, RunFoldersNow().size());
                               }),
                 expected);
    EXPECT_EQ(1u, maxRunFolders) << "the outer archive's run folder only";
}

// At most one child filter, one module reference and one extracted file at any moment, checked
// after every GetChunk of a 200-entry archive whose filter reads files only; nothing of them is
// left after the release.
TEST_F(EndToEnd, OneChildOneModuleReferenceOneFileAtATime)
{
    const CFixtureDll fixture(FIXTURE_ROW_TEXT_FILE_ONLY);  // the test's own reference keeps the counters readable
    const wchar_t *const module = fixture.Info().dllName;
    int firstCount = -1;
    int maxCount = -1;
    int minCount = 0x7fffffff;
    size_t maxFiles = 0;
    std::vector<ExpectedChunk> expected = {Title(L"many")};
    wchar_t name[16];
    for (int n = 1; n <= 200; ++n) {
        swprintf(name, 16, L"e%03d.fxfile", n);
        expected.push_back(EntryName(name));
        expected.push_back(Text(L"entry " + std::wstring(name + 1, 3)));
    }
    ExpectStream(FilterArchive(m_dll, ChildArchive(L"many.rar"),
                               [&](const SeenChunk &chunk) {
                                   if (chunk.id == 1)
                                       return;  // the title: no entry yet
                                   const int count = ModuleLoadCount(module);
                                   if (firstCount < 0)
                                       firstCount = count;
                                   maxCount = std::max(maxCount, count);
                                   minCount = std::min(minCount, count);
                                   EXPECT_EQ(1, fixture.ObjectCount());
                                   const auto folders = RunFoldersNow();
                                   ASSERT_EQ(1u, folders.size());
                                   const auto files = FilesIn(folders[0]);
                                   maxFiles = std::max(maxFiles, files.size());
                                   if (chunk.propid == PROPID_ENTRY_NAME) {  // the entry's own file
                                       EXPECT_EQ(std::vector<std::wstring>{chunk.text}, files);
                                   }
                               }),
                 expected);
    EXPECT_EQ(firstCount, maxCount) << "module references grew while walking";
    EXPECT_EQ(firstCount, minCount);
    EXPECT_EQ(1u, maxFiles);
    EXPECT_EQ(0, fixture.ObjectCount());
    EXPECT_EQ(firstCount - 1, ModuleLoadCount(module)) << "the child's module reference is given back";
}

// A module the host itself holds keeps its reference through every way a child comes and goes,
// the PDF route's included; the child's own reference goes as soon as the child has ended.
TEST_F(EndToEnd, TheHostsModuleReferencesSurviveTheChildren)
{
    struct Case {
        int row;
        const wchar_t *archive;
        const wchar_t *childEntry;  // name chunk of the entry the module serves
        const wchar_t *nextEntry;   // name chunk of the entry after it
    };
    const Case cases[] = {
        {FIXTURE_ROW_TEXT, L"pdf.rar", L"before.txt", L"paper.pdf"},
        {FIXTURE_ROW_PDFFILT, L"pdf.rar", L"paper.pdf", L"after.txt"},
        {FIXTURE_ROW_VALUES, L"mixed.rar", L"values.fxval", L"broken.fxinit"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "module " << Narrow(g_fixtures[c.row].dllName));
        const CFixtureDll held(c.row);
        const wchar_t *const module = held.Info().dllName;
        const int before = ModuleLoadCount(module);
        int withChild = -1;   // at the child's entry name: the child is held
        int afterChild = -1;  // at the next entry's name: it has ended
        FilterArchive(m_dll, ChildArchive(c.archive), [&](const SeenChunk &chunk) {
            if (chunk.propid == PROPID_ENTRY_NAME && chunk.text == c.childEntry)
                withChild = ModuleLoadCount(module);
            if (chunk.propid == PROPID_ENTRY_NAME && chunk.text == c.nextEntry)
                afterChild = ModuleLoadCount(module);
        });
        EXPECT_EQ(withChild - 1, afterChild);
        EXPECT_GE(afterChild, before);
        // COM's own cache of the classes it created goes with CoUninitialize.
        CoUninitialize();
        EXPECT_GE(ModuleLoadCount(module), before);
        ASSERT_HR(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
    }
}

TEST_F(EndToEnd, PdfEntriesAreReadThroughLoadIFilter)
{
    ExpectStream(FilterArchive(m_dll, ChildArchive(L"pdf.rar")),
                 Stream({{Title(L"pdf"), EntryName(L"before.txt"), Text(L"before pdf")},
                         {EntryName(L"paper.pdf"), Text(L"papa quebec"), Text(L"sierra tango")},
                         {EntryName(L"after.txt"), Text(L"after pdf")}}));
}

// A child filter that breaks its contract (RogueFilter.dll) costs at most its own entry: the
// entry after each one comes whole and the numbering goes on without a gap.
TEST_F(EndToEnd, AMisbehavingChildCostsOnlyItsOwnEntry)
{
    std::vector<SeenChunk> seen = FilterArchive(m_dll, ChildArchive(L"rogue.rar"));
    const std::vector<ExpectedChunk> expected = Stream({
        {Title(L"rogue")},
        {EntryName(L"garbage-count.fxrogue"), Text(L"rogue garbage-count")},  // the count is cut to the buffer
        {EntryName(L"after-garbage-count.txt"), Text(L"after garbage-count")},
        {EntryName(L"end-early.fxrogue")},
        {EntryName(L"after-end-early.txt"), Text(L"after end-early")},
        {EntryName(L"fail-later.fxrogue"), Text(L"rogue fail-later")},
        {EntryName(L"after-fail-later.txt"), Text(L"after fail-later")},
        {EntryName(L"null-value.fxrogue"), {CHUNK_VALUE, PROPID_CONTENTS, L"", VT_EMPTY}},  // S_OK without a value
        {EntryName(L"after-null-value.txt"), Text(L"after null-value")},
        {EntryName(L"null-string.fxrogue"), {CHUNK_VALUE, PROPID_CONTENTS, L"", VT_LPWSTR}},
        {EntryName(L"after-null-string.txt"), Text(L"after null-string")},
        {EntryName(L"odd-result.fxrogue")},  // S_FALSE from GetChunk ends the child
        {EntryName(L"after-odd-result.txt"), Text(L"after odd-result")},
        {EntryName(L"wrong-ids.fxrogue"), Text(L"rogue wrong-ids"), Text(L"rogue wrong-ids")},
        {EntryName(L"after-wrong-ids.txt"), Text(L"after wrong-ids")},
    });
    for (const SeenChunk &chunk : seen)
        EXPECT_FALSE(chunk.overran) << "chunk " << chunk.id << ": GetText claimed more than the host's buffer";
    // What the host's buffer holds past the child's text is the child's business.
    if (seen.size() > 2)
        seen[2].text.resize(std::min<size_t>(seen[2].text.size(), expected[2].text.size()));
    ExpectStream(seen, expected);
}
