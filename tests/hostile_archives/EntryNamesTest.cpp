// Entry names an archive can carry and Windows must not take as they stand: traversal, absolute,
// drive and UNC paths, device names, stream syntax, control characters, trailing dots and spaces,
// very long names, and names that become the same once made safe. The name chunk carries the
// stored name (as UnRAR reports it: '/' becomes '\', and in RAR5 names '\' and ':' become '_');
// every extracted entry lands in the run folder under a safe name of its own and is read by its
// own child filter. Archives: tests/setup.d/40-hostile.sh.
#include "HostileRun.h"

#include "crawler/EntryName.h"

namespace {

struct NamesCase {
    const wchar_t *archive;
    std::vector<Expected> entries;  // the chunks after the title
};

// At every chunk each run folder holds at most the one extracted file, under a safe name.
void ExpectSafeExtractedFiles(const std::vector<std::wstring> &runFolders)
{
    for (const std::wstring &folder : runFolders) {
        const std::vector<std::wstring> files = FilesIn(folder);
        EXPECT_LE(files.size(), 1u) << "files in " << Narrow(folder);
        for (const std::wstring &name : files)
            EXPECT_TRUE(IsSafeFileName(name.c_str())) << "extracted as " << Narrow(name);
    }
}

class EntryNameTest : public HostileArchiveTest, public ::testing::WithParamInterface<NamesCase>
{
};

const std::wstring M255 = std::wstring(251, L'M') + L".txt";
const std::wstring N256 = std::wstring(252, L'N') + L".txt";

const NamesCase c_nameCases[] = {
    {L"names-traversal.rar",
     {Name(L"..\\escape-n1.txt"), Text(L"text n1"), Name(L"..\\..\\escape-n2.txt"), Text(L"text n2"),
      Name(L"a\\..\\..\\escape-n3.txt"), Text(L"text n3"), Name(L".._escape-n4.txt"), Text(L"text n4"),
      Name(L".._.._escape-n5.txt"), Text(L"text n5"), Name(L".\\..\\escape-n6.txt"), Text(L"text n6"),
      Name(L"after.txt"), Text(L"after text")}},
    // RAR 4 names, where '\\' separates folders.
    {L"names-rar4.rar",
     {Name(L"..\\escape-r1.txt"), Text(L"text r1"), Name(L"..\\..\\escape-r2.txt"), Text(L"text r2"),
      Name(L"C_\\escape-r3.txt"), Text(L"text r3"), Name(L"\\\\server\\share\\escape-r4.txt"), Text(L"text r4"),
      Name(L"\\escape-r5.txt"), Text(L"text r5"), Name(L"after.txt"), Text(L"after text")}},
    {L"names-absolute.rar",
     {Name(L"\\escape-a1.txt"), Text(L"text a1"), Name(L"\\tmp\\escape-a2.txt"), Text(L"text a2"),
      Name(L"C_\\escape-a3.txt"), Text(L"text a3"), Name(L"C_escape-a4.txt"), Text(L"text a4"),
      Name(L"C__escape-a5.txt"), Text(L"text a5"), Name(L"\\\\server\\share\\escape-a6.txt"), Text(L"text a6"),
      Name(L"__server_share_escape-a7.txt"), Text(L"text a7"), Name(L"\\\\?\\C_\\escape-a8.txt"), Text(L"text a8"),
      Name(L"\\\\.\\C_\\escape-a9.txt"), Text(L"text a9"), Name(L"after.txt"), Text(L"after text")}},
    {L"names-devices.rar",
     {Name(L"CON"),  // no extension: no child filter, not extracted
      Name(L"CON.txt"), Text(L"text con.txt"), Name(L"aux.txt"), Text(L"text aux"), Name(L"nul.txt"),
      Text(L"text nul"), Name(L"COM1.txt"), Text(L"text com1"), Name(L"lpt9.txt"), Text(L"text lpt9"),
      Name(L"COM\u00b9.txt"), Text(L"text com-sup1"), Name(L"LPT\u00b3.txt"), Text(L"text lpt-sup3"),
      Name(L"CONIN$.txt"), Text(L"text conin"), Name(L"conout$.txt"), Text(L"text conout"), Name(L"prn .txt"),
      Text(L"text prn"), Name(L"dir\\NUL.txt"), Text(L"text dir-nul"), Name(L"after.txt"), Text(L"after text")}},
    {L"names-colon.rar",
     {Name(L"a.txt_hidden.txt"), Text(L"text hidden"),
      Name(L"b.txt__$DATA"),  // extension ".txt__$DATA": no child filter
      Name(L"c.txt_.._.._escape-colon.txt"), Text(L"text colon"), Name(L"C_d.txt"), Text(L"text drive-like"),
      Name(L"after.txt"), Text(L"after text")}},
    {L"names-control.rar",
     {Name(L"ctl\x01.txt"), Text(L"text ctl1"), Name(L"tab\t.txt"), Text(L"text tab"), Name(L"nl\nline.txt"),
      Text(L"text newline"), Name(L"esc\x1b[2J.txt"), Text(L"text escape-seq"), Name(L"del\x7f.txt"),
      Text(L"text del"), Name(L"after.txt"), Text(L"after text")}},
    // The extension is taken from the last dot as stored, so "dots.txt..." has none a filter is
    // registered for: named, not extracted.
    {L"names-trailing.rar",
     {Name(L"dots.txt..."), Name(L"spaces.txt   "), Name(L"mixed.txt . ."), Name(L" lead.txt"), Text(L"text lead"),
      Name(L"dir.\\x.txt"), Text(L"text dirdot"), Name(L"after.txt"), Text(L"after text")}},
    // A 2048-character name and a 2018-character path of 200-character folders have a part longer
    // than 255 characters: passed over. 255 and 256 characters are read (the temporary file's
    // name is cut to fit).
    {L"names-long.rar", {Name(M255), Text(L"text 255"), Name(N256), Text(L"text 256"), Name(L"after.txt"),
                         Text(L"after text")}},
    // a_.txt four times over, same.txt twice, _CON.txt twice: each entry still reads as itself.
    {L"names-collide.rar",
     {Name(L"a?.txt"), Text(L"text one"), Name(L"a*.txt"), Text(L"text two"), Name(L"a<.txt"), Text(L"text three"),
      Name(L"a_.txt"), Text(L"text four"), Name(L"A_.TXT"), Text(L"text five"), Name(L"d1\\same.txt"),
      Text(L"text six"), Name(L"d2\\same.txt"), Text(L"text seven"), Name(L"CON.txt"), Text(L"text eight"),
      Name(L"_CON.txt"), Text(L"text nine"), Name(L"after.txt"), Text(L"after text")}},
    // Made by rar from Linux files (Unix names; the 2000-character path is passed over).
    {L"names-rar.rar",
     {Name(L"back_slash.txt"), Text(L"text backslash"), Name(L"ctl\x02.txt"), Text(L"text ctl"),
      Name(L"trail.txt."), Name(L"space.txt "), Name(L"AUX.txt"), Text(L"text device"), Name(L"co?lon.txt"),
      Text(L"text collide"), Name(L"co_lon.txt"), Text(L"text colon"), Name(L"after.txt"), Text(L"after text")}},
};

} // namespace

TEST_P(EntryNameTest, EachEntryIsReadFromASafeFileInTheRunFolder)
{
    const std::vector<SeenChunk> chunks = FilterHostile(HostileArchive(GetParam().archive), [&](const SeenChunk &) {
        ExpectSafeExtractedFiles(RunFoldersNow());
    });
    ExpectEntries(chunks, GetParam().entries);
}

INSTANTIATE_TEST_SUITE_P(Archives, EntryNameTest, ::testing::ValuesIn(c_nameCases),
                         [](const ::testing::TestParamInfo<NamesCase> &info) { return CaseName(info.param.archive); });

// RAR 4 names without a Unicode part are the creator's bytes. From Unix they are UTF-8 where they
// are valid UTF-8, and read as an archive made on Windows reads them (OEM text) where they are
// not; from Windows they stay OEM text, whatever they look like.
TEST_F(HostileArchiveTest, Rar4NamesMadeOnUnixAreUtf8WhereTheyCanBe)
{
    const std::wstring utf8Name = L"abcdefghijklmnopqrs\u30c6\u30b9\u30c8.txt";
    const std::vector<SeenChunk> unix = FilterHostile(HostileArchive(L"names-rar4-unix.rar"));
    const std::vector<SeenChunk> windows = FilterHostile(HostileArchive(L"names-rar4-windows.rar"));
    ASSERT_EQ(7u, unix.size());
    ASSERT_EQ(7u, windows.size());
    const std::wstring latin1Name = windows[3].text;
    ExpectEntries(unix, {Name(utf8Name), Text(L"text utf8"), Name(latin1Name), Text(L"text latin1"),
                         Name(L"after.txt"), Text(L"after text")});
    EXPECT_NE(utf8Name, windows[1].text) << "an archive made on Windows keeps its OEM names";
    EXPECT_EQ(L"caf", latin1Name.substr(0, 3));
    EXPECT_EQ(8u, latin1Name.size()) << Narrow(latin1Name);
    ExpectEntries(windows, {Name(windows[1].text), Text(L"text oem"), Name(latin1Name), Text(L"text latin1"),
                            Name(L"after.txt"), Text(L"after text")});
}
