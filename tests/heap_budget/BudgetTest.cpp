// Archives that ask for more memory than a filter host gives. A search host runs the filter in a
// job of about 100 MB; here the DLL's own heap is capped at 64 MB (CCappedHeap: Wine does not
// enforce job limits). Whatever the headers declare, the filter decides from its budget what it
// can afford before it allocates: what fits is read whole, what does not is named, no allocation
// ever meets the cap, and no thread is started. Archives: tests/setup.d/50-budget.sh; every
// document begins with "<name> begins" and ends with "<name> ends".
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

struct Row {
    const wchar_t *archive;
    const wchar_t *title;                 // the title's text, or NULL: any title
    std::vector<const wchar_t *> read;    // entries whose text must come whole
    std::vector<const wchar_t *> named;   // entries that must be named
    size_t names;                         // the entries of all levels: every one is named
};

const Row kRows[] = {
    // Eight archives one inside another, 2 MB dictionaries, 1 MB of text at each level: the
    // budget holds for all levels together, and all of them fit.
    {L"nested8.rar", nullptr,
     {L"level1.txt", L"level2.txt", L"level3.txt", L"level4.txt", L"level5.txt", L"level6.txt", L"level7.txt", L"level8.txt"},
     {L"level2.rar", L"level3.rar", L"level4.rar", L"level5.rar", L"level6.rar", L"level7.rar", L"level8.rar"}, 15},
    // Solid, 256 MB dictionary declared, 60 documents of 2.4 MB: the first needs a window of
    // 4 MB at most; later ones need as much as all the text before them, and are named at least.
    {L"solid256m.rar", nullptr, {L"doc00.txt"}, {L"doc59.txt"}, 60},
    // 520 MB of zeros and a.txt (3 KB), both declaring 1 GB, not solid: a.txt needs 256 KB.
    {L"zeros1g.rar", nullptr, {L"a.txt"}, {L"zeros.bin"}, 2},
    // A tiny entry declaring 2 GB or 4 GB: the entries after it lose nothing.
    {L"dict2g.rar", nullptr, {L"z.txt", L"later.txt"}, {L"tiny.txt"}, 3},
    {L"dict4g.rar", nullptr, {L"z.txt", L"later.txt"}, {L"tiny.txt"}, 3},
    // A stored comment of 21 bytes whose header declares 1 GB: it is still the title.
    {L"comment1g.rar", L"budget comment: 21 by", {L"a.txt"}, {}, 1},
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

std::string CaseName(const ::testing::TestParamInfo<std::tuple<Row, LoadRoute>> &info)
{
    std::string name;
    for (const wchar_t *p = std::get<0>(info.param).archive; *p != L'.'; ++p)
        name += static_cast<char>(*p);
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

class Budget : public FilterHostTest, public ::testing::WithParamInterface<std::tuple<Row, LoadRoute>>
{
protected:
    Budget() : FilterHostTest({/*runFolders*/ true, /*dllUnloads*/ true, /*childFilters*/ true, /*com*/ COINIT_MULTITHREADED}) {}

    // Filters the archive through the capped DLL, as a host does.
    SeenRun Filter(const std::wstring &archive, LoadRoute route)
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
        FilterArchive(m_dll, archive, options);
        return run;
    }

    CCappedHeap m_heap{m_dll.Module(), HOST_HEAP_CAP};  // after m_dll: goes before the DLL is freed
};

} // namespace

TEST_P(Budget, WhatFitsIsReadWholeTheRestNamedAndNothingMeetsTheCap)
{
    const Row &row = std::get<0>(GetParam());
    const LoadRoute route = std::get<1>(GetParam());
    ASSERT_TRUE(m_heap.Installed()) << "the DLL's allocation imports could not be replaced";
    const std::wstring archive = TestDataPath(std::wstring(L"budget\\") + row.archive);

    m_heap.ResetCounts();
    SeenRun run;
    if (route == LoadRoute::File) {
        run = Filter(archive, route);
    } else {
        // As Windows Search's filter host: a stream, and no disk to write to.
        const std::wstring missing = MissingTempFolder();
        ASSERT_FALSE(missing.empty()) << "no free drive letter from Q: to Y:";
        CEnvironmentOverride tmp(L"TMP", missing);
        CEnvironmentOverride temp(L"TEMP", missing);
        run = Filter(archive, route);
    }
    const HeapCounts counts = m_heap.Counts();
    std::printf("[ budget   ] %s by %s: DLL heap peak %.1f MB, %lu allocations refused (largest %.1f MB), %lu threads\n",
                Narrow(row.archive).c_str(), route == LoadRoute::File ? "path" : "stream", counts.cbPeak / 1048576.0,
                counts.refusals, counts.cbLargestRefused / 1048576.0, counts.threads);
    RecordProperty("dll_heap_peak", std::to_string(counts.cbPeak));

    EXPECT_EQ(0u, counts.refusals) << "the filter must decline what it cannot afford before it allocates; largest "
                                   << counts.cbLargestRefused << " bytes";
    EXPECT_EQ(0u, counts.threads) << "threads started by the DLL";
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
    for (const SeenEntry &entry : run.entries) {
        if (!entry.text.empty()) {
            EXPECT_EQ("whole", Wholeness(entry)) << Narrow(entry.name) << "'s text, read in part";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Archives, Budget, ::testing::Combine(::testing::ValuesIn(kRows),
                                                              ::testing::Values(LoadRoute::File, LoadRoute::Stream)),
                         CaseName);
