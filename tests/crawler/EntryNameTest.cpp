// Archive paths split into folder, base name and extension, and names made safe to create.
#include <gtest/gtest.h>
#include "TestHelpers.h"
#include "crawler/EntryName.h"

namespace {

struct SplitCase {
    const wchar_t *path, *folder, *base, *ext;
};

TEST(EntryName, SplitsLikeTheRuntime)
{
    const std::wstring long256(256, L'x');
    const std::wstring long255(255, L'x');
    const SplitCase cases[] = {
        {L"a.txt", L"", L"a", L".txt"},
        {L"docs\\2005\\report.doc", L"docs\\2005\\", L"report", L".doc"},
        {L"docs/x.tar.gz", L"docs/", L"x.tar", L".gz"},
        {L"C:dir\\f.txt", L"dir\\", L"f", L".txt"},
        {L"readme", L"", L"readme", L""},
        {L"notes.", L"", L"notes", L"."},
        {L"dir.d\\noext", L"dir.d\\", L"noext", L""},
        {long255.c_str(), L"", long255.c_str(), L""},
        {long256.c_str(), L"", L"", L""},
    };
    for (const SplitCase &c : cases) {
        wchar_t folder[ENTRY_PART_CHARS], base[ENTRY_PART_CHARS], ext[ENTRY_PART_CHARS];
        const bool ok = SplitEntryPath(c.path, folder, base, ext);
        EXPECT_EQ(std::wstring(c.path) != long256, ok) << Narrow(c.path);
        EXPECT_EQ(std::wstring(c.folder), folder) << Narrow(c.path);
        EXPECT_EQ(std::wstring(c.base), base) << Narrow(c.path);
        EXPECT_EQ(std::wstring(c.ext), ext) << Narrow(c.path);
    }
}

TEST(EntryName, UnsafeNamesGetASafeNameWithTheirExtension)
{
    const std::pair<const wchar_t *, const wchar_t *> cases[] = {
        {L"report.doc", L"report.doc"},   {L"CON", L"_CON"},           {L"con.txt", L"_con.txt"},
        {L"Con.tar.gz", L"_Con.tar.gz"}, {L"CON .txt", L"_CON .txt"}, {L"COM1.doc", L"_COM1.doc"},
        {L"lpt9", L"_lpt9"},             {L"COM0.txt", L"_COM0.txt"}, {L"CONSOLE.txt", L"CONSOLE.txt"},
        {L"COM\u00b9.txt", L"_COM\u00b9.txt"}, {L"lpt\u00b3", L"_lpt\u00b3"}, {L"COM\u00b4.txt", L"COM\u00b4.txt"},
        {L"CONIN$.txt", L"_CONIN$.txt"}, {L"conout$", L"_conout$"},  {L"CONIN.txt", L"CONIN.txt"},
        {L"a?b*.txt", L"a_b_.txt"},      {L"x:y.txt", L"x_y.txt"},    {L"t\x1f.txt", L"t_.txt"},
        {L"name.txt.", L"name.txt"},     {L"name.txt  ", L"name.txt"}, {L"..", L"_"},
        {L".txt", L".txt"},
    };
    for (const auto &c : cases) {
        wchar_t safe[ENTRY_PART_CHARS];
        ASSERT_HR(S_OK, MakeSafeFileName(c.first, safe, ENTRY_PART_CHARS)) << Narrow(c.first);
        EXPECT_EQ(std::wstring(c.second), safe) << Narrow(c.first);
        EXPECT_TRUE(IsSafeFileName(safe)) << Narrow(safe);
        EXPECT_EQ(std::wstring(c.first) == c.second, IsSafeFileName(c.first)) << Narrow(c.first);
    }
    wchar_t small[4];
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER), MakeSafeFileName(L"CON.txt", small, 4));
}

} // namespace
