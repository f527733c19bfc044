// Links in archives: symbolic links to absolute and relative targets outside the folder, Windows
// symbolic links, junctions (and a file stored "through" one), hard links and file copies, made by
// rar (-ol, -oh, -oi) and by rar5.py. A link entry is named but never extracted: nothing is
// created, linked or copied, inside the run folder or out of it, and the walk goes on.
// Archives: tests/setup.d/40-hostile.sh.
#include "HostileRun.h"

namespace {

struct LinksCase {
    const wchar_t *archive;
    std::vector<ExpectedChunk> entries;
};

class LinkTest : public HostileArchiveTest, public ::testing::WithParamInterface<LinksCase>
{
};

const LinksCase c_linkCases[] = {
    {L"links-symlink.rar",
     {EntryName(L"target.txt"), Text(L"target text"), EntryName(L"abs.txt"), EntryName(L"rel.txt"), EntryName(L"dirlink"),
      EntryName(L"after.txt"), Text(L"after text")}},
    // Solid: the entries before an extracted one are decoded and passed in test mode.
    {L"links-symlink-solid.rar",
     {EntryName(L"abs.txt"), EntryName(L"after.txt"), Text(L"after text"), EntryName(L"rel.txt"), EntryName(L"target.txt"),
      Text(L"target text"), EntryName(L"dirlink")}},
    {L"links-hard.rar",
     {EntryName(L"target.txt"), Text(L"target text"), EntryName(L"hard.txt"), EntryName(L"after.txt"), Text(L"after text")}},
    {L"links-filecopy.rar",
     {EntryName(L"target.txt"), Text(L"target text"), EntryName(L"copy.txt"), EntryName(L"after.txt"), Text(L"after text")}},
    {L"links-written.rar",
     {EntryName(L"target.txt"), Text(L"target text"), EntryName(L"abs.txt"), EntryName(L"rel.txt"), EntryName(L"win-abs.txt"),
      EntryName(L"win-rel.txt"), EntryName(L"junction"), EntryName(L"junction\\escape-through-junction.txt"),
      Text(L"text through"), EntryName(L"hard.txt"), EntryName(L"hard2.txt"), EntryName(L"copy.txt"), EntryName(L"copy2.txt"),
      EntryName(L"after.txt"), Text(L"after text")}},
};

} // namespace

TEST_P(LinkTest, LinksAreNamedButNeverMade)
{
    const std::vector<SeenChunk> chunks = FilterHostile(HostileArchive(GetParam().archive), [&](const SeenChunk &) {
        for (const std::wstring &folder : RunFoldersNow()) {
            // Only ever the one extracted regular file; no link, folder or junction.
            WIN32_FIND_DATAW fd;
            HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &fd);
            int entries = 0;
            if (find != INVALID_HANDLE_VALUE) {
                do {
                    const std::wstring name(fd.cFileName);
                    if (name == L"." || name == L"..")
                        continue;
                    ++entries;
                    EXPECT_EQ(0u, fd.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))
                        << Narrow(name);
                } while (FindNextFileW(find, &fd));
                FindClose(find);
            }
            EXPECT_LE(entries, 1) << Narrow(folder);
        }
    });
    ExpectStream(chunks, GetParam().entries, true);
}

INSTANTIATE_TEST_SUITE_P(Archives, LinkTest, ::testing::ValuesIn(c_linkCases),
                         [](const ::testing::TestParamInfo<LinksCase> &info) { return CaseName(info.param.archive); });
