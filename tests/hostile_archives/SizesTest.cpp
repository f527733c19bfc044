// Unpacked sizes: an entry is extracted only when its announced size leaves the reserve free on
// the temporary folder's volume, and what UnRAR writes for an entry never goes beyond the size
// its header announces, whatever the data holds. Archives: tests/setup.d/40-hostile.sh.
#include "HostileRun.h"

#include <filterr.h>

#include <algorithm>

#include "childfilter/ChildFilterLoader.h"
#include "crawler/RarFileCrawler.h"
#include "dll.hpp"

namespace {

// What the library itself writes, as a caller that grants its decoder any memory sees it.
int PASCAL GrantDecoderMemory(LPARAM, long long) { return 1; }

const std::wstring PACKED_TEXT = [] {
    std::wstring text;
    for (int i = 0; i < 5000; ++i)
        text += L"packed text ";
    return text;
}();
constexpr ULONGLONG PACKED_TEXT_BYTES = 60000;

struct SizeCase {
    const wchar_t *archive;
    std::vector<ExpectedChunk> entries;
};

class AnnouncedSizeTest : public HostileArchiveTest, public ::testing::WithParamInterface<SizeCase>
{
};

const SizeCase c_sizeCases[] = {
    // 2^62 bytes announced, ten stored: refused before anything is written.
    {L"size-huge.rar", {EntryName(L"big.txt"), EntryName(L"after.txt"), Text(L"after text")}},
    // "Unknown size" counts as the largest size.
    {L"size-unknown.rar", {EntryName(L"big.txt"), EntryName(L"after.txt"), Text(L"after text")}},
    // 16 MB of zeros packed into a few hundred bytes, announcing 2^50 bytes.
    {L"size-bomb.rar", {EntryName(L"bomb.txt"), EntryName(L"after.txt"), Text(L"after text")}},
    // Announcing 3 bytes of 26 stored, and 1,000 of 16 MB packed: UnRAR stops at the announced
    // size, the checksum fails, the entry is named only.
    {L"size-lie-stored.rar", {EntryName(L"lie.txt"), EntryName(L"after.txt"), Text(L"after text")}},
    {L"size-lie-packed.rar", {EntryName(L"lie.txt"), EntryName(L"after.txt"), Text(L"after text")}},
    // The control: a packed entry that tells its size.
    {L"size-true-packed.rar", {EntryName(L"packed.txt"), Text(PACKED_TEXT), EntryName(L"after.txt"), Text(L"after text")}},
    // The same entry declaring a 4 GB dictionary: its window follows its 60,000 bytes.
    {L"dict-4g.rar", {EntryName(L"packed.txt"), Text(PACKED_TEXT), EntryName(L"after.txt"), Text(L"after text")}},
};

} // namespace

TEST_P(AnnouncedSizeTest, NothingBiggerThanItsTextIsWritten)
{
    const std::vector<SeenChunk> chunks = FilterHostile(HostileArchive(GetParam().archive), [&](const SeenChunk &) {
        for (const std::wstring &folder : RunFoldersNow())
            for (const std::wstring &name : FilesIn(folder)) {
                WIN32_FILE_ATTRIBUTE_DATA data = {};
                ASSERT_TRUE(GetFileAttributesExW((folder + L"\\" + name).c_str(), GetFileExInfoStandard, &data));
                EXPECT_EQ(0u, data.nFileSizeHigh) << Narrow(name);
                EXPECT_LE(data.nFileSizeLow, PACKED_TEXT_BYTES) << Narrow(name);
            }
    });
    ExpectStream(chunks, GetParam().entries, true);
}

INSTANTIATE_TEST_SUITE_P(Archives, AnnouncedSizeTest, ::testing::ValuesIn(c_sizeCases),
                         [](const ::testing::TestParamInfo<SizeCase> &info) { return CaseName(info.param.archive); });

// Documents whose filter reads streams: within what the run's memory budget allows they reach
// the filter from memory (no file in the run folder, after.txt's neither), 16 MB and more too;
// larger, they take the file route (a filter that reads only streams then gets nothing); a header
// that understates the size or announces an impossible one gets the entry named only, as on the
// file route.
TEST_F(HostileArchiveTest, StreamFiltersGetMemoryWithinTheBudgetAndFilesBeyondIt)
{
    struct Case {
        const wchar_t *archive;
        std::vector<ExpectedChunk> entries;
        ULONGLONG cbLargestFile;  // the largest file seen in a run folder
    };
    const Case cases[] = {
        {L"size-stream-true.rar", {EntryName(L"packed.fxall"), Text(PACKED_TEXT), EntryName(L"after.txt"), Text(L"after text")}, 0},
        {L"size-stream-lie.rar", {EntryName(L"lie.fxall"), EntryName(L"after.txt"), Text(L"after text")}, 0},
        {L"size-stream-bomb.rar", {EntryName(L"bomb.fxall"), EntryName(L"after.txt"), Text(L"after text")}, 0},
        // Neither in its window nor beside it: the file route, which this filter cannot take.
        {L"size-stream-big.rar", {EntryName(L"big.fxstream"), EntryName(L"after.txt"), Text(L"after text")}, 41943040},
        {L"size-stream-exact.rar", {EntryName(L"exact.fxall"), Text(L"sixteen megabytes"), EntryName(L"after.txt"), Text(L"after text")}, 0},
        {L"size-stream-over.rar", {EntryName(L"over.fxall"), Text(L"sixteen megabytes"), EntryName(L"after.txt"), Text(L"after text")}, 0},
        // Announcing 16 MB, its data running past it (a filtered block): named only, refused on
        // the memory route as it passes what was announced.
        {L"size-stream-past.rar", {EntryName(L"past.fxall"), EntryName(L"after.txt"), Text(L"after text")}, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(Narrow(c.archive));
        ULONGLONG cbLargest = 0;
        const std::vector<SeenChunk> chunks = FilterHostile(HostileArchive(c.archive), [&](const SeenChunk &) {
            for (const std::wstring &folder : RunFoldersNow())
                for (const std::wstring &name : FilesIn(folder)) {
                    WIN32_FILE_ATTRIBUTE_DATA data = {};
                    if (GetFileAttributesExW((folder + L"\\" + name).c_str(), GetFileExInfoStandard, &data))
                        cbLargest = std::max(cbLargest, (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow);
                }
        });
        ExpectStream(chunks, c.entries, true);
        EXPECT_EQ(c.cbLargestFile, cbLargest);
    }
}

// Windows follow the data unpacked so far: in a solid stream the window grows from one entry to
// the next, and what the first entry left in it must still be there for the second.
TEST_F(HostileArchiveTest, ASolidStreamKeepsItsDataWhenItsWindowGrows)
{
    std::wstring text;
    for (int i = 0; i < 20000; ++i)
        text += L"solid stream text ";
    ExpectStream(FilterHostile(HostileArchive(L"solid-grow.rar")),
                 {EntryName(L"one.txt"), Text(text), EntryName(L"two.txt"), Text(L"two " + text)}, true);
}

// Over a host's stream a document of exactly 16 MB is read from memory: no run folder is ever made.
TEST_F(HostileArchiveTest, ADocumentOfExactly16MBFromAStreamNeedsNoRunFolder)
{
    HostOptions options;
    options.route = LoadRoute::Stream;
    size_t cRunFolders = 0;
    options.pull.afterEachChunk = [&](const SeenChunk &) { cRunFolders = std::max(cRunFolders, RunFoldersNow().size()); };
    ExpectStream(FilterArchive(m_dll, HostileArchive(L"size-stream-exact.rar"), options),
                 {EntryName(L"exact.fxall"), Text(L"sixteen megabytes"), EntryName(L"after.txt"), Text(L"after text")},
                 true);
    EXPECT_EQ(0u, cRunFolders);
}

namespace {

constexpr ULONGLONG ANNOUNCED_BYTES = 16ull * 1024 * 1024;  // what the entry's header says

// Counts what UnRAR hands over while testing an entry.
int CALLBACK CountTested(UINT msg, LPARAM userData, LPARAM, LPARAM cb)
{
    if (msg == UCM_PROCESSDATA)
        *reinterpret_cast<ULONGLONG *>(userData) += static_cast<ULONGLONG>(cb);
    return msg == UCM_PROCESSDATA ? 1 : -1;
}

} // namespace

// A header may understate its size and still pass its checksum: UnRAR writes filtered blocks
// whole, past the announced size. The memory route counts what comes out against the budget, not
// what was announced: the entry announcing exactly 16 MB and giving more is refused (S_FALSE,
// passed), and the walk goes on.
TEST_F(HostileArchiveTest, DataPastTheAnnouncedSizeIsCountedAgainstTheMemoryBudget)
{
    std::wstring archive = HostileArchive(L"size-stream-past.rar");
    {
        RAROpenArchiveDataEx open = {};
        open.ArcNameW = &archive[0];
        open.OpenMode = RAR_OM_EXTRACT;
        HANDLE hArchive = RAROpenArchiveEx(&open);
        ASSERT_NE(nullptr, hArchive);
        RARSetUnpackMemoryProc(hArchive, GrantDecoderMemory, 0);
        ULONGLONG cbTested = 0;
        RARSetCallback(hArchive, CountTested, reinterpret_cast<LPARAM>(&cbTested));
        RARHeaderDataEx header = {};
        ASSERT_EQ(ERAR_SUCCESS, RARReadHeaderEx(hArchive, &header));
        EXPECT_EQ(ANNOUNCED_BYTES, (static_cast<ULONGLONG>(header.UnpSizeHigh) << 32) | header.UnpSize);
        EXPECT_EQ(ERAR_SUCCESS, RARProcessFileW(hArchive, RAR_TEST, nullptr, nullptr));
        RARCloseArchive(hArchive);
        ASSERT_GT(cbTested, ANNOUNCED_BYTES) << "the archive no longer gives more than it announces";
    }
    CChildFilterLoader loader;
    CScratchFolder folder;
    CRarFileCrawler crawler(archive.c_str(), folder.Path().c_str());
    wchar_t name[CRAWLER_NAME_CHARS], dir[CRAWLER_NAME_CHARS], path[CRAWLER_NAME_CHARS];
    EXPECT_HR(S_FALSE, WalkOneEntry(crawler, loader, name, CRAWLER_NAME_CHARS, dir, CRAWLER_NAME_CHARS, path,
                                    CRAWLER_NAME_CHARS, true));
    EXPECT_EQ(L"past.fxall", std::wstring(name));
    CComPtr<IStream> document;
    document.Attach(crawler.TakeEntryStream());
    if (document) {
        STATSTG stat = {};
        document->Stat(&stat, STATFLAG_NONAME);
        ADD_FAILURE() << "a document of " << stat.cbSize.QuadPart << " bytes was kept in memory";
    }
    EXPECT_TRUE(FilesIn(folder.Path()).empty());
    EXPECT_HR(S_OK, WalkOneEntry(crawler, loader, name, CRAWLER_NAME_CHARS, dir, CRAWLER_NAME_CHARS, path,
                                 CRAWLER_NAME_CHARS, true));
    EXPECT_EQ(L"after.txt", std::wstring(name));
    EXPECT_HR(FILTER_E_END_OF_CHUNKS,
              WalkOneEntry(crawler, loader, name, CRAWLER_NAME_CHARS, dir, CRAWLER_NAME_CHARS, path,
                           CRAWLER_NAME_CHARS, true));
}

namespace {

// While alive, the crawler sees the given free space on the temporary folder's volume (or a
// failing query).
ULONGLONG g_cbFree = 0;
bool g_bFreeSpaceKnown = true;
int g_cQueries = 0;

BOOL WINAPI FakeFreeSpace(LPCWSTR, PULARGE_INTEGER pFreeToCaller, PULARGE_INTEGER, PULARGE_INTEGER)
{
    ++g_cQueries;
    if (!g_bFreeSpaceKnown) {
        SetLastError(ERROR_NOT_READY);
        return FALSE;
    }
    pFreeToCaller->QuadPart = g_cbFree;
    return TRUE;
}

class CFreeSpace
{
public:
    CFreeSpace(ULONGLONG cbFree, bool bKnown)
    {
        g_cbFree = cbFree;
        g_bFreeSpaceKnown = bKnown;
        g_crawlerTestHooks.pfnGetDiskFreeSpaceExW = FakeFreeSpace;
    }
    ~CFreeSpace() { g_crawlerTestHooks.pfnGetDiskFreeSpaceExW = nullptr; }
    CFreeSpace(const CFreeSpace &) = delete;
    CFreeSpace &operator=(const CFreeSpace &) = delete;
};

struct FreeSpaceCase {
    const char *what;
    ULONGLONG cbFree;
    bool bKnown;
    bool bExtracted;  // the 60,000-byte entry
};

const FreeSpaceCase c_freeSpaceCases[] = {
    {"exactly the entry and the reserve", EXTRACT_FREE_SPACE_RESERVE + PACKED_TEXT_BYTES, true, true},
    {"one byte less", EXTRACT_FREE_SPACE_RESERVE + PACKED_TEXT_BYTES - 1, true, false},
    {"the reserve alone", EXTRACT_FREE_SPACE_RESERVE, true, false},
    {"less than the reserve", EXTRACT_FREE_SPACE_RESERVE / 2, true, false},
    {"nothing", 0, true, false},
    {"the largest volume", ~0ull, true, true},
    {"free space unknown", 0, false, false},
};

} // namespace

// The check is made on the entry's announced size before anything is written; an entry that
// does not fit counts as one whose extraction failed (S_FALSE), and the walk goes on.
TEST(FreeSpace, AnEntryIsExtractedOnlyWhenItLeavesTheReserveFree)
{
    const CFindFilterFor find({L".txt"});
    CChildFilterLoader loader;
    for (const FreeSpaceCase &c : c_freeSpaceCases) {
        SCOPED_TRACE(c.what);
        CScratchFolder folder;
        const CFreeSpace space(c.cbFree, c.bKnown);
        CRarFileCrawler crawler(HostileArchive(L"size-true-packed.rar").c_str(), folder.Path().c_str());
        wchar_t name[CRAWLER_NAME_CHARS], dir[CRAWLER_NAME_CHARS], path[CRAWLER_NAME_CHARS];
        path[0] = L'\0';
        EXPECT_HR(c.bExtracted ? S_OK : S_FALSE, WalkOneEntry(crawler, loader, name, CRAWLER_NAME_CHARS, dir,
                                                              CRAWLER_NAME_CHARS,
                                                                         path, CRAWLER_NAME_CHARS));
        EXPECT_EQ(L"packed.txt", std::wstring(name));
        if (c.bExtracted) {
            EXPECT_EQ(PACKED_TEXT_BYTES, ReadFileText(path).size());
        } else {
            EXPECT_TRUE(FilesIn(folder.Path()).empty()) << "written: " << Narrow(FilesIn(folder.Path())[0]);
        }
        // after.txt (10 bytes) fits whenever more than the reserve is free.
        const bool bAfterFits = c.bKnown && c.cbFree >= EXTRACT_FREE_SPACE_RESERVE + 10;
        EXPECT_HR(bAfterFits ? S_OK : S_FALSE, WalkOneEntry(crawler, loader, name, CRAWLER_NAME_CHARS, dir,
                                                            CRAWLER_NAME_CHARS,
                                                                       path, CRAWLER_NAME_CHARS));
        EXPECT_EQ(L"after.txt", std::wstring(name));
        EXPECT_HR(FILTER_E_END_OF_CHUNKS, WalkOneEntry(crawler, loader, name, CRAWLER_NAME_CHARS, dir,
                                                       CRAWLER_NAME_CHARS,
                                                                  path, CRAWLER_NAME_CHARS));
    }
}

// One reading of the free space serves the entries after it until they announce 64 MB in all; an
// entry that announces that much or more is always checked against a new reading.
TEST(FreeSpace, AReadingServesTheEntriesAfterItUntilTheyAnnounce64MB)
{
    const CFindFilterFor find({L".txt"});
    CChildFilterLoader loader;
    const struct {
        const wchar_t *archive;
        int cQueries;
    } cases[] = {
        {L"size-true-packed.rar", 1},  // 60,000 bytes, then 10
        {L"size-huge.rar", 2},         // 2^62 bytes announced, then 10
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(Narrow(c.archive));
        CScratchFolder folder;
        const CFreeSpace space(~0ull, true);
        g_cQueries = 0;
        CRarFileCrawler crawler(HostileArchive(c.archive).c_str(), folder.Path().c_str());
        wchar_t name[CRAWLER_NAME_CHARS], dir[CRAWLER_NAME_CHARS], path[CRAWLER_NAME_CHARS];
        int cEntries = 0;
        while (WalkOneEntry(crawler, loader, name, CRAWLER_NAME_CHARS, dir, CRAWLER_NAME_CHARS, path, CRAWLER_NAME_CHARS) !=
               FILTER_E_END_OF_CHUNKS)
            ++cEntries;
        EXPECT_EQ(2, cEntries);
        EXPECT_EQ(c.cQueries, g_cQueries);
    }
}

// An entry whose window cannot be had (announcing 8 GB with a 4 GB dictionary asks for a 4 GB
// window, more than a 32-bit process can address) fails alone: the extract handle is left at
// the next entry, which is extracted. On x64 that window could be allocated; the filter's memory
// limit refuses it there.
TEST(FreeSpace, AnEntryWhoseWindowIsRefusedLeavesTheNextOneExtractable)
{
    if (sizeof(void *) == 8)
        GTEST_SKIP() << "a 4 GB window exists in a 64-bit process";
    const CFindFilterFor find({L".txt"});
    CChildFilterLoader loader;
    CScratchFolder folder;
    const CFreeSpace space(~0ull, true);
    CRarFileCrawler crawler(HostileArchive(L"dict-4g-8g.rar").c_str(), folder.Path().c_str());
    wchar_t name[CRAWLER_NAME_CHARS], dir[CRAWLER_NAME_CHARS], path[CRAWLER_NAME_CHARS];
    EXPECT_HR(S_FALSE,
              WalkOneEntry(crawler, loader, name, CRAWLER_NAME_CHARS, dir, CRAWLER_NAME_CHARS, path, CRAWLER_NAME_CHARS));
    EXPECT_EQ(L"packed.txt", std::wstring(name));
    path[0] = L'\0';
    EXPECT_HR(S_OK,
              WalkOneEntry(crawler, loader, name, CRAWLER_NAME_CHARS, dir, CRAWLER_NAME_CHARS, path, CRAWLER_NAME_CHARS));
    EXPECT_EQ(L"after.txt", std::wstring(name));
    EXPECT_EQ("after text", ReadFileText(path));
    EXPECT_HR(FILTER_E_END_OF_CHUNKS, WalkOneEntry(crawler, loader, name, CRAWLER_NAME_CHARS, dir,
                                                   CRAWLER_NAME_CHARS,
                                                              path, CRAWLER_NAME_CHARS));
}

namespace {

// Counts what UnRAR writes, through the data callback (the product installs none).
int CALLBACK CountWritten(UINT msg, LPARAM userData, LPARAM, LPARAM cb)
{
    if (msg == UCM_PROCESSDATA)
        *reinterpret_cast<ULONGLONG *>(userData) += static_cast<ULONGLONG>(cb);
    return 1;
}

struct WriteBoundCase {
    const wchar_t *archive;
    ULONGLONG cbAnnounced;
    ULONGLONG cbData;  // what the entry's data holds
};

} // namespace

// The free-space check relies on it: a header announcing less than its data holds gets no more
// than the announced size written, stored or packed, and the extraction fails on the checksum.
TEST(FreeSpace, UnRarWritesNoMoreThanTheAnnouncedSize)
{
    const WriteBoundCase cases[] = {
        {L"size-lie-stored.rar", 3, 26},
        {L"size-lie-packed.rar", 1000, 16u << 20},
        {L"size-true-packed.rar", PACKED_TEXT_BYTES, PACKED_TEXT_BYTES},
    };
    for (const WriteBoundCase &c : cases) {
        SCOPED_TRACE(Narrow(c.archive));
        CScratchFolder folder;
        std::wstring archive = HostileArchive(c.archive);
        RAROpenArchiveDataEx open = {};
        open.ArcNameW = &archive[0];
        open.OpenMode = RAR_OM_EXTRACT;
        HANDLE hArchive = RAROpenArchiveEx(&open);
        ASSERT_NE(nullptr, hArchive);
        RARSetUnpackMemoryProc(hArchive, GrantDecoderMemory, 0);
        ULONGLONG cbWritten = 0;
        RARSetCallback(hArchive, CountWritten, reinterpret_cast<LPARAM>(&cbWritten));
        RARHeaderDataEx header = {};
        ASSERT_EQ(ERAR_SUCCESS, RARReadHeaderEx(hArchive, &header));
        EXPECT_EQ(c.cbAnnounced, (static_cast<ULONGLONG>(header.UnpSizeHigh) << 32) | header.UnpSize);
        std::wstring dest = folder.Path() + L"\\entry.bin";
        const int result = RARProcessFileW(hArchive, RAR_EXTRACT, nullptr, &dest[0]);
        RARCloseArchive(hArchive);
        EXPECT_LE(cbWritten, c.cbAnnounced);
        if (c.cbAnnounced < c.cbData) {
            EXPECT_EQ(ERAR_BAD_DATA, result);
        } else {
            EXPECT_EQ(ERAR_SUCCESS, result);
            EXPECT_EQ(c.cbData, cbWritten);
        }
    }
}
