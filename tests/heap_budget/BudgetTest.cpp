// Archives that ask for more memory than a filter host gives. A search host runs the filter in a
// job of about 100 MB; here the DLL's own heap is capped at 64 MB (CCappedHeap: Wine does not
// enforce job limits). Whatever the headers declare, the filter decides from its budget what it
// can afford before it allocates: what fits is read whole, what does not is named, no allocation
// ever meets the cap, and no thread is started. Archives: tests/setup.d/50-budget.sh and, made
// by hand, 55-budget-faults.sh; every document begins with "<name> begins" and ends with "<name>
// ends".
#include <windows.h>
#include <filter.h>
#include <filterr.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

#include "CappedHeap.h"
#include "FilterHost.h"
#include "TestHelpers.h"

// How a case shows in the test list.
void PrintTo(LoadRoute route, std::ostream *os) { *os << (route == LoadRoute::File ? "by path" : "by stream"); }

namespace {

constexpr size_t HOST_HEAP_CAP = 64u << 20;
constexpr size_t DEFAULT_BUDGET = 48u << 20;
// What the DLL holds besides what it charges to the run: its objects, names, chunk buffers, the
// DLL list, the library's fixed records beyond what an open handle is charged.
constexpr size_t BUDGET_SLACK = 2u << 20;

struct Row {
    const wchar_t *archive;               // below the test data folder
    const wchar_t *title;                 // the title's text, or NULL: any title
    std::vector<const wchar_t *> read;    // entries whose text must come whole
    std::vector<const wchar_t *> named;   // entries that must be named
    size_t names;                         // the entries of all levels: every one is named
};

const Row kRows[] = {
    // Eight archives one inside another, 2 MB dictionaries, 1 MB of text at each level: the
    // budget holds for all levels together, and all of them fit.
    {L"budget\\nested8.rar", nullptr,
     {L"level1.txt", L"level2.txt", L"level3.txt", L"level4.txt", L"level5.txt", L"level6.txt", L"level7.txt", L"level8.txt"},
     {L"level2.rar", L"level3.rar", L"level4.rar", L"level5.rar", L"level6.rar", L"level7.rar", L"level8.rar"}, 15},
    // Solid, 256 MB dictionary declared, 60 documents of 2.4 MB: the first needs a window of
    // 4 MB at most; later ones need as much as all the text before them, and are named at least.
    {L"budget\\solid256m.rar", nullptr, {L"doc00.txt"}, {L"doc59.txt"}, 60},
    // 520 MB of zeros and a.txt (3 KB), both declaring 1 GB, not solid: a.txt needs 256 KB.
    {L"budget\\zeros1g.rar", nullptr, {L"a.txt"}, {L"zeros.bin"}, 2},
    // A tiny entry declaring 2 GB or 4 GB: the entries after it lose nothing.
    {L"budget\\dict2g.rar", nullptr, {L"z.txt", L"later.txt"}, {L"tiny.txt"}, 3},
    {L"budget\\dict4g.rar", nullptr, {L"z.txt", L"later.txt"}, {L"tiny.txt"}, 3},
    // A stored comment of 21 bytes whose header declares 1 GB: it is still the title.
    {L"budget\\comment1g.rar", L"budget comment: 21 by", {L"a.txt"}, {}, 1},
    // RAR 2.9, solid: after a 4 MB window, b.txt's unpack version (28) has no decoder; c.txt
    // continues the stream in that window. With c15.txt (RAR 1.5 data) the same.
    {L"budget-faults\\stale29.rar", nullptr, {L"a.txt", L"c.txt", L"d.txt"}, {L"b.txt"}, 4},
    {L"budget-faults\\stale15.rar", nullptr, {L"a.txt", L"d.txt"}, {L"b.txt", L"c15.txt"}, 4},
    // RAR 5: a 4 MB window released for a 16 MB one, and c.txt continuing that one's stream.
    {L"budget-faults\\release5.rar", nullptr, {L"a.txt", L"nine.txt", L"c.txt", L"d.txt"}, {}, 4},
    // A file with the directory attribute (not named) that the library decodes to pass it: RAR 5
    // declaring 256 MB in a solid archive (the rest of the stream is then named only), and RAR
    // 2.9 whose PPMd block asks for a 256 MB model.
    {L"budget-faults\\dirattr5.rar", nullptr, {}, {L"z.txt"}, 1},
    {L"budget-faults\\dirattr29.rar", nullptr, {L"z.txt"}, {}, 1},
    // RAR 2.9, not solid: two entries asking for a 28 MB PPMd model each (one fits the budget,
    // not two), then a 20 MB document that needs most of the budget: each model comes back to
    // the account once its entry is passed.
    {L"budget-faults\\ppmd29.rar", nullptr, {L"big.txt"}, {L"p1.txt", L"p2.txt"}, 3},
    // An 18.7 MB document with a 32 MB window (no disk on the stream route: named only there).
    {L"budget-faults\\frag32.rar", nullptr, {L"mid.txt"}, {L"big.txt"}, 2},
    // Three 10.5 MB documents in one solid stream, made with rar's defaults: its 32 MB window is
    // made at once for the first of them, and each document fits beside it.
    {L"budget-solid\\solid10.rar", nullptr, {L"s10a.txt", L"s10b.txt", L"s10c.txt"}, {}, 3},
    // A 15.9 MB document at the start of a stream whose 32 MB window holds it: read from the
    // window, with no copy beside it.
    {L"budget-solid\\bigfirst.rar", nullptr, {L"big.txt", L"small.txt"}, {L"filler.nofilt"}, 3},
    // The same with 16 MB of x86 code, which a filter rewrites, so that it needs a copy that does
    // not fit beside the window: that document only is lost (named only where there is no disk),
    // the stream goes on, and small.txt after it is read.
    {L"budget-solid\\codefirst.rar", nullptr, {L"small.txt"}, {L"code.txt", L"filler.nofilt"}, 3},
    // 24 MB documents in a 32 MB window, alone and at the end of a solid stream: read from it.
    {L"budget-solid\\big24.rar", nullptr, {L"big24.txt"}, {}, 1},
    {L"budget-solid\\end24.rar", nullptr, {L"lead.txt", L"end24.txt"}, {}, 2},
    // Sixteen windows released and made in turn: each one's memory is given back to the account.
    {L"budget-faults\\alternate.rar", nullptr,
     {L"big1.txt", L"s1.txt", L"big2.txt", L"s2.txt", L"big3.txt", L"s3.txt", L"big4.txt", L"s4.txt", L"big5.txt",
      L"s5.txt", L"big6.txt", L"s6.txt", L"big7.txt", L"s7.txt", L"big8.txt", L"s8.txt"},
     {}, 16},
};

void PrintTo(const Row &row, std::ostream *os) { *os << Narrow(row.archive); }

// One entry as the host saw it: its name chunk, and the text chunks that followed it.
struct SeenEntry {
    std::wstring name;
    std::wstring text;
};

// What a run showed, without keeping the documents' text twice.
struct SeenRun {
    std::wstring title;  // the first title chunk's text or value (inner archives have their own)
    std::vector<SeenEntry> entries;
};

const SeenEntry *Find(const SeenRun &run, const std::wstring &name)
{
    for (const SeenEntry &entry : run.entries) {
        if (entry.name == name)
            return &entry;
    }
    return nullptr;
}

bool EndsWith(const std::wstring &text, const std::wstring &end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// "whole", or what is wrong with an entry's text.
std::string Wholeness(const SeenEntry &entry)
{
    const std::wstring stem = entry.name.substr(0, entry.name.rfind(L'.'));
    if (entry.text.empty())
        return "no text";
    if (entry.text.compare(0, stem.size() + 7, stem + L" begins") != 0)
        return "no beginning (" + std::to_string(entry.text.size()) + " characters)";
    if (!EndsWith(entry.text, stem + L" ends"))
        return "no end (" + std::to_string(entry.text.size()) + " characters)";
    return "whole";
}

// "nested8" of "budget\\nested8.rar".
std::string Stem(const wchar_t *pszArchive)
{
    const std::string path = Narrow(pszArchive);
    const size_t start = path.rfind('\\') + 1;
    return path.substr(start, path.rfind('.') - start);
}

std::string CaseName(const ::testing::TestParamInfo<std::tuple<Row, LoadRoute>> &info)
{
    const std::string name = Stem(std::get<0>(info.param).archive);
    return name + (std::get<1>(info.param) == LoadRoute::File ? "_path" : "_stream");
}

// A temporary folder on a drive that does not exist: a host without disk access.
std::wstring MissingTempFolder()
{
    for (wchar_t letter = L'Q'; letter <= L'Y'; ++letter) {
        const wchar_t root[] = {letter, L':', L'\\', L'\0'};
        if (GetDriveTypeW(root) == DRIVE_NO_ROOT_DIR)
            return std::wstring(root) + L"pellucidor-temp";
    }
    return std::wstring();
}

// A host whose heap for the DLL is capped: it filters an archive as Windows Search's filter host
// does, from a path, or from a stream with no disk to write to.
class CappedHost : public FilterHostTest
{
protected:
    CappedHost() : FilterHostTest({/*runFolders*/ true, /*dllUnloads*/ true, /*childFilters*/ true, /*com*/ COINIT_MULTITHREADED}) {}

    SeenRun Filter(const wchar_t *pszArchive, LoadRoute route)
    {
        SeenRun run;
        HostOptions options;
        options.route = route;
        options.pull.cwcBuffer = 4096;
        options.pull.afterEachChunk = [&](const SeenChunk &chunk) {
            if (chunk.propid == PROPID_TITLE && run.title.empty())
                run.title = chunk.text.empty() ? L"(empty)" : chunk.text;
            else if (chunk.propid == PROPID_ENTRY_NAME)
                run.entries.push_back({chunk.text, std::wstring()});
            else if (chunk.propid == PROPID_CONTENTS && !run.entries.empty())
                run.entries.back().text += chunk.text;
        };
        const std::wstring archive = TestDataPath(pszArchive);
        m_heap.ResetCounts();
        if (route == LoadRoute::File) {
            FilterArchive(m_dll, archive, options);
            return run;
        }
        const std::wstring missing = MissingTempFolder();
        EXPECT_FALSE(missing.empty()) << "no free drive letter from Q: to Y:";
        CEnvironmentOverride tmp(L"TMP", missing);
        CEnvironmentOverride temp(L"TEMP", missing);
        FilterArchive(m_dll, archive, options);
        return run;
    }

    // No entry's text may come in part.
    static void ExpectNothingInPart(const SeenRun &run, const std::string &row)
    {
        for (const SeenEntry &entry : run.entries) {
            if (!entry.text.empty()) {
                EXPECT_EQ("whole", Wholeness(entry)) << row << ": " << Narrow(entry.name) << "'s text, read in part";
            }
        }
    }

    CCappedHeap m_heap{m_dll.Module(), HOST_HEAP_CAP};  // after m_dll: goes before the DLL is freed
};

class Budget : public CappedHost, public ::testing::WithParamInterface<std::tuple<Row, LoadRoute>>
{
};

} // namespace

TEST_P(Budget, WhatFitsIsReadWholeTheRestNamedAndNothingMeetsTheCap)
{
    const Row &row = std::get<0>(GetParam());
    const LoadRoute route = std::get<1>(GetParam());
    ASSERT_TRUE(m_heap.Installed()) << "the DLL's allocation imports could not be replaced";
    const SeenRun run = Filter(row.archive, route);
    const HeapCounts counts = m_heap.Counts();
    std::printf("[ budget   ] %s by %s: DLL heap peak %.1f MB, %lu allocations refused (largest %.1f MB), %lu threads\n",
                Narrow(row.archive).c_str(), route == LoadRoute::File ? "path" : "stream", counts.cbPeak / 1048576.0,
                counts.refusals, counts.cbLargestRefused / 1048576.0, counts.threads);
    RecordProperty("dll_heap_peak", std::to_string(counts.cbPeak));

    EXPECT_EQ(0u, counts.refusals) << "the filter must decline what it cannot afford before it allocates; largest "
                                   << counts.cbLargestRefused << " bytes";
    EXPECT_EQ(0u, counts.threads) << "threads started by the DLL";
    EXPECT_LE(counts.cbPeak, DEFAULT_BUDGET + BUDGET_SLACK) << "the DLL's heap past the run's budget and its slack";
    if (row.title != nullptr) {
        EXPECT_EQ(Narrow(row.title), Narrow(run.title));
    }
    for (const wchar_t *name : row.read) {
        const SeenEntry *entry = Find(run, name);
        if (entry == nullptr) {
            ADD_FAILURE() << Narrow(name) << " was not named";
            continue;
        }
        EXPECT_EQ("whole", Wholeness(*entry)) << Narrow(name) << "'s text";
    }
    for (const wchar_t *name : row.named) {
        EXPECT_NE(nullptr, Find(run, name)) << Narrow(name) << " was not named";
    }
    EXPECT_EQ(row.names, run.entries.size()) << "entries named";
    ExpectNothingInPart(run, Stem(row.archive));
}

INSTANTIATE_TEST_SUITE_P(Archives, Budget, ::testing::Combine(::testing::ValuesIn(kRows),
                                                              ::testing::Values(LoadRoute::File, LoadRoute::Stream)),
                         CaseName);

// A host heap tighter than the run's budget: allocations fail where the budget allowed them, in
// the middle of making a window (whole or in fragments) or a document. Whatever fails, the host
// keeps running, every entry keeps its name, and what is read comes whole; what needs little
// memory is read at every cap (a failed window keeps nothing that would crowd it out).
TEST_F(CappedHost, CapsFrom10To32MBNeverFault)
{
    const struct {
        const wchar_t *archive;
        size_t names;
        std::vector<const wchar_t *> readAtEveryCap;
    } rows[] = {
        {L"budget-faults\\stale29.rar", 4, {L"d.txt"}},
        {L"budget-faults\\stale15.rar", 4, {L"d.txt"}},
        {L"budget-faults\\release5.rar", 4, {L"c.txt", L"d.txt"}},
        {L"budget-faults\\dirattr5.rar", 1, {}},
        {L"budget-faults\\dirattr29.rar", 1, {L"z.txt"}},
        {L"budget-faults\\frag32.rar", 2, {L"mid.txt"}},
    };
    ASSERT_TRUE(m_heap.Installed()) << "the DLL's allocation imports could not be replaced";
    for (const auto &row : rows) {
        for (const size_t capMB : {10, 16, 20, 26, 32}) {
            for (const LoadRoute route : {LoadRoute::File, LoadRoute::Stream}) {
                const std::string name = Stem(row.archive) + " under " + std::to_string(capMB) + " MB " +
                                         (route == LoadRoute::File ? "by path" : "by stream");
                m_heap.SetCap(capMB << 20);
                const SeenRun run = Filter(row.archive, route);
                EXPECT_EQ(row.names, run.entries.size()) << name << ": entries named";
                for (const wchar_t *entry : row.readAtEveryCap) {
                    const SeenEntry *seen = Find(run, entry);
                    EXPECT_EQ("whole", seen != nullptr ? Wholeness(*seen) : "not named") << name << ": " << Narrow(entry);
                }
                ExpectNothingInPart(run, name);
            }
        }
    }
    m_heap.SetCap(HOST_HEAP_CAP);
}

// One account for a run, whatever the depth: eight nested archives need about 25 MB together and
// 6 MB at any one level. Under 10 MB, the deeper levels find the account spent by the outer ones:
// level3.txt is named only, and level4.rar cannot be opened; the DLL's heap stays within that
// budget. (Each level lets its list handle go once its header pass is done: 1 MB a level less
// than when a list handle walked beside the extract handle, which needed 12 MB here.) Where the account is too small for the title's open of the archive for its comment,
// the title is the archive's name.
TEST_F(CappedHost, TheBudgetHoldsForTheWholeRun)
{
    const struct {
        const wchar_t *archive;
        DWORD budgetMB;
        const wchar_t *title;               // NULL: any
        std::vector<const wchar_t *> read;  // whole
        std::vector<const wchar_t *> unread;
    } rows[] = {
        {L"budget\\nested8.rar", 10, nullptr, {L"level1.txt", L"level2.txt"}, {L"level3.txt"}},
        {L"budget\\comment1g.rar", 16, L"comment1g", {L"a.txt"}, {}},
        {L"budget\\comment1g.rar", 20, L"budget comment: 21 by", {L"a.txt"}, {}},
    };
    ASSERT_TRUE(m_heap.Installed()) << "the DLL's allocation imports could not be replaced";
    for (const auto &row : rows) {
        const std::string name = Stem(row.archive) + " with " + std::to_string(row.budgetMB) + " MB";
        const CLimitValue limit(L"MemoryBudgetMB", row.budgetMB);
        const SeenRun run = Filter(row.archive, LoadRoute::Stream);
        const HeapCounts counts = m_heap.Counts();
        EXPECT_LE(counts.cbPeak, (static_cast<size_t>(row.budgetMB) << 20) + BUDGET_SLACK) << name << ": DLL heap peak";
        if (row.title != nullptr) {
            EXPECT_EQ(Narrow(row.title), Narrow(run.title)) << name << ": title";
        }
        for (const wchar_t *entry : row.read) {
            const SeenEntry *seen = Find(run, entry);
            EXPECT_EQ("whole", seen != nullptr ? Wholeness(*seen) : "not named") << name << ": " << Narrow(entry);
        }
        for (const wchar_t *entry : row.unread) {
            const SeenEntry *seen = Find(run, entry);
            EXPECT_TRUE(seen != nullptr && seen->text.empty()) << name << ": " << Narrow(entry) << " read, or not named";
        }
    }
}
