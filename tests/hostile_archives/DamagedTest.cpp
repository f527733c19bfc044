// Archives that cannot be read whole: encrypted entries and encrypted headers (the filter gives no
// password), volume sets with a part of another set or without their middle part, and archives
// cut off at every eighth of their length. The stream ends without a crash; what can be read is
// read whole, the rest is named at most. Archives: tests/setup.d/40-hostile.sh.
#include "HostileRun.h"

#include <map>

namespace {

struct DamagedCase {
    const wchar_t *archive;
    std::vector<ExpectedChunk> entries;
};

class DamagedArchiveTest : public HostileArchiveTest, public ::testing::WithParamInterface<DamagedCase>
{
};

const DamagedCase c_damagedCases[] = {
    // Encrypted entries are named, not extracted; the plain entry after them still is.
    {L"enc-entries.rar", {EntryName(L"one.txt"), EntryName(L"two.txt"), EntryName(L"after.txt"), Text(L"after text")}},
    // Without the password not even the names can be read: the title alone.
    {L"enc-headers.rar", {}},
    {L"enc-solid.rar", {EntryName(L"after.txt"), EntryName(L"one.txt"), EntryName(L"two.txt")}},
    // A set of three volumes: the split file (no child filter for .bin) and the file after it.
    {L"vol.part1.rar", {EntryName(L"big.bin"), EntryName(L"small.txt"), Text(L"after the split file")}},
    // Opened at its second part: the split file's rest is passed over.
    {L"vol.part2.rar", {EntryName(L"small.txt"), Text(L"after the split file")}},
    // The second part belongs to another set made the same way.
    {L"wrong.part1.rar", {EntryName(L"big.bin"), EntryName(L"small.txt"), Text(L"after the split file")}},
    // The middle part is missing: the walk ends at the split file.
    {L"gap.part1.rar", {EntryName(L"big.bin")}},
};

} // namespace

TEST_P(DamagedArchiveTest, WhatCanBeReadIsRead)
{
    ExpectStream(FilterHostile(HostileArchive(GetParam().archive)), GetParam().entries, true);
}

INSTANTIATE_TEST_SUITE_P(Archives, DamagedArchiveTest, ::testing::ValuesIn(c_damagedCases),
                         [](const ::testing::TestParamInfo<DamagedCase> &info) { return CaseName(info.param.archive); });

namespace {

// Cut-off archives: trunc-<source>-<k>of8.rar holds the first k/8 of the source archive.
struct TruncatedCase {
    std::wstring source;
    int eighths;
    std::wstring Archive() const { return L"trunc-" + source + L"-" + std::to_wstring(eighths) + L"of8.rar"; }
};

std::vector<TruncatedCase> TruncatedCases()
{
    std::vector<TruncatedCase> cases;
    for (const wchar_t *source : {L"plain", L"solid", L"encrypted", L"volume"})
        for (int k = 0; k < 8; ++k)
            cases.push_back({source, k});
    return cases;
}

// The text of each entry of the sources: "<n> text " forty times; big.bin has no child filter.
std::wstring SourceText(const std::wstring &name)
{
    const std::wstring stem = name.substr(0, name.find(L'.'));
    std::wstring text;
    for (int i = 0; i < 40; ++i)
        text += stem + L" text ";
    return text;
}

class TruncatedArchiveTest : public HostileArchiveTest, public ::testing::WithParamInterface<TruncatedCase>
{
};

} // namespace

// Whatever part is left, an entry is either read whole or only named: a text is always the
// entry's complete text, never a part of it.
TEST_P(TruncatedArchiveTest, EntriesAreReadWholeOrOnlyNamed)
{
    const std::vector<SeenChunk> chunks = FilterHostile(HostileArchive(GetParam().Archive()));
    ASSERT_FALSE(chunks.empty());
    EXPECT_EQ(PROPID_TITLE, chunks[0].propid);
    const std::vector<std::wstring> known = {L"one.txt", L"two.txt", L"three.txt", L"four.txt",
                                             L"five.txt", L"six.txt", L"big.bin", L"small.txt"};
    std::wstring entry;
    for (size_t i = 1; i < chunks.size(); ++i) {
        if (chunks[i].propid == PROPID_ENTRY_NAME) {
            entry = chunks[i].text;
            EXPECT_NE(known.end(), std::find(known.begin(), known.end(), entry)) << Narrow(entry);
        } else {
            EXPECT_EQ(PROPID_CONTENTS, chunks[i].propid);
            EXPECT_EQ(Narrow(SourceText(entry)), Narrow(chunks[i].text)) << "entry " << Narrow(entry);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Archives, TruncatedArchiveTest, ::testing::ValuesIn(TruncatedCases()),
                         [](const ::testing::TestParamInfo<TruncatedCase> &info) {
                             return CaseName(info.param.Archive());
                         });
