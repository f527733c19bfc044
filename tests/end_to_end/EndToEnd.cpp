#include "EndToEnd.h"

#include <gtest/gtest.h>
#include <filterr.h>

#include "FilterHost.h"

std::wstring ChildArchive(const std::wstring &name) { return TestDataPath(L"child_filters\\" + name); }

ExpectedChunk Title(const std::wstring &name) { return {CHUNK_VALUE, PROPID_TITLE, name, VT_LPWSTR}; }
ExpectedChunk EntryName(const std::wstring &path) { return {CHUNK_TEXT, PROPID_ENTRY_NAME, path}; }
ExpectedChunk Text(const std::wstring &text) { return {CHUNK_TEXT, PROPID_CONTENTS, text}; }

std::vector<ExpectedChunk> FixtureValues()
{
    return {
        {CHUNK_VALUE, 2, L"Fixture values", VT_LPWSTR},
        {CHUNK_VALUE, 3, L"", VT_LPWSTR},               // "noindex"
        {CHUNK_VALUE, 4, L"", VT_LPWSTR},               // "NoIndex"
        {CHUNK_VALUE, 5, L"", VT_LPWSTR},               // "none"
        {CHUNK_VALUE, 6, L"none of these", VT_LPWSTR},  // merely begins with "none"
        {CHUNK_VALUE, 7, L"none", VT_BSTR},             // not a VT_LPWSTR
    };
}

std::vector<ExpectedChunk> Stream(std::initializer_list<std::vector<ExpectedChunk>> parts)
{
    std::vector<ExpectedChunk> all;
    for (const auto &part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

void ExpectStream(const std::vector<SeenChunk> &seen, const std::vector<ExpectedChunk> &expected)
{
    std::wstring seenText;
    for (const SeenChunk &chunk : seen)
        seenText += FormatChunk(chunk) + L"\n";
    SCOPED_TRACE("the stream seen:\n" + Narrow(seenText));
    EXPECT_EQ(expected.size(), seen.size());
    for (size_t i = 0; i < seen.size() && i < expected.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "chunk " << i + 1);
        EXPECT_EQ(i + 1, seen[i].id);
        EXPECT_EQ(seen[i].id, seen[i].source);
        EXPECT_EQ(expected[i].flags, seen[i].flags);
        EXPECT_EQ(expected[i].propid, seen[i].propid);
        EXPECT_EQ(Narrow(expected[i].text), Narrow(seen[i].text));
        EXPECT_EQ(expected[i].vt, seen[i].vt);
    }
}
