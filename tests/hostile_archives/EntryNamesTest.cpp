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
    std::vector<ExpectedChunk> entries;  // the chunks after the title
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
const std::wstring L2047 = std::wstring(2044, L'L') + L".tx";
std::wstring Repeated(const std::wstring &part, int count)
{
    std::wstring all;
    for (int n = 0; n < count; ++n)
        all += part;
    return all;
}
const std::wstring LONG_PATH = Repeated(std::wstring(200, L'p') + L"\\", 10) + L"tail.txt";
const std::wstring DEEP_PATH = L"deep\\" + Repeated(std::wstring(220, L'q') + L"\\", 9) + L"deep.txt";

const NamesCase c_nameCases[] = {
    {L"names-traversal.rar",
     {EntryName(L"..\\escape-n1.txt"), Text(L"text n1"), EntryName(L"..\\..\\escape-n2.txt"), Text(L"text n2"),
      EntryName(L"a\\..\\..\\escape-n3.txt"), Text(L"text n3"), EntryName(L".._escape-n4.txt"), Text(L"text n4"),
      EntryName(L".._.._escape-n5.txt"), Text(L"text n5"), EntryName(L".\\..\\escape-n6.txt"), Text(L"text n6"),
      EntryName(L"after.txt"), Text(L"after text")}},
    // RAR 4 names, where '\\' separates folders.
    {L"names-rar4.rar",
     {EntryName(L"..\\escape-r1.txt"), Text(L"text r1"), EntryName(L"..\\..\\escape-r2.txt"), Text(L"text r2"),
      EntryName(L"C_\\escape-r3.txt"), Text(L"text r3"), EntryName(L"\\\\server\\share\\escape-r4.txt"), Text(L"text r4"),
      EntryName(L"\\escape-r5.txt"), Text(L"text r5"), EntryName(L"after.txt"), Text(L"after text")}},
    {L"names-absolute.rar",
     {EntryName(L"\\escape-a1.txt"), Text(L"text a1"), EntryName(L"\\tmp\\escape-a2.txt"), Text(L"text a2"),
      EntryName(L"C_\\escape-a3.txt"), Text(L"text a3"), EntryName(L"C_escape-a4.txt"), Text(L"text a4"),
      EntryName(L"C__escape-a5.txt"), Text(L"text a5"), EntryName(L"\\\\server\\share\\escape-a6.txt"), Text(L"text a6"),
      EntryName(L"__server_share_escape-a7.txt"), Text(L"text a7"), EntryName(L"\\\\?\\C_\\escape-a8.txt"), Text(L"text a8"),
      EntryName(L"\\\\.\\C_\\escape-a9.txt"), Text(L"text a9"), EntryName(L"after.txt"), Text(L"after text")}},
    {L"names-devices.rar",
     {EntryName(L"CON"),  // no extension: no child filter, not extracted
      EntryName(L"CON.txt"), Text(L"text con.txt"), EntryName(L"aux.txt"), Text(L"text aux"), EntryName(L"nul.txt"),
      Text(L"text nul"), EntryName(L"COM1.txt"), Text(L"text com1"), EntryName(L"lpt9.txt"), Text(L"text lpt9"),
      EntryName(L"COM\u00b9.txt"), Text(L"text com-sup1"), EntryName(L"LPT\u00b3.txt"), Text(L"text lpt-sup3"),
      EntryName(L"CONIN$.txt"), Text(L"text conin"), EntryName(L"conout$.txt"), Text(L"text conout"), EntryName(L"prn .txt"),
      Text(L"text prn"), EntryName(L"dir\\NUL.txt"), Text(L"text dir-nul"), EntryName(L"after.txt"), Text(L"after text")}},
    {L"names-colon.rar",
     {EntryName(L"a.txt_hidden.txt"), Text(L"text hidden"),
      EntryName(L"b.txt__$DATA"),  // extension ".txt__$DATA": no child filter
      EntryName(L"c.txt_.._.._escape-colon.txt"), Text(L"text colon"), EntryName(L"C_d.txt"), Text(L"text drive-like"),
      EntryName(L"after.txt"), Text(L"after text")}},
    {L"names-control.rar",
     {EntryName(L"ctl\x01.txt"), Text(L"text ctl1"), EntryName(L"tab\t.txt"), Text(L"text tab"), EntryName(L"nl\nline.txt"),
      Text(L"text newline"), EntryName(L"esc\x1b[2J.txt"), Text(L"text escape-seq"), EntryName(L"del\x7f.txt"),
      Text(L"text del"), EntryName(L"after.txt"), Text(L"after text")}},
    // The extension is taken from the last dot as stored, so "dots.txt..." has none a filter is
    // registered for: named, not extracted.
    {L"names-trailing.rar",
     {EntryName(L"dots.txt..."), EntryName(L"spaces.txt   "), EntryName(L"mixed.txt . ."), EntryName(L" lead.txt"), Text(L"text lead"),
      EntryName(L"dir.\\x.txt"), Text(L"text dirdot"), EntryName(L"after.txt"), Text(L"after text")}},
    // Every entry is named, whatever the length of its parts. The 2048-character name keeps its
    // first 2047 (UnRAR's limit), which cuts its extension: named only. 255 and 256 characters are
    // read (the temporary file's name is cut to fit), and so is the 2018-character path of
    // 200-character folders, whose name is short.
    {L"names-long.rar", {EntryName(L2047), EntryName(M255), Text(L"text 255"), EntryName(N256), Text(L"text 256"),
                         EntryName(LONG_PATH), Text(L"text long path"), EntryName(L"after.txt"), Text(L"after text")}},
    // a_.txt four times over, same.txt twice, _CON.txt twice: each entry still reads as itself.
    {L"names-collide.rar",
     {EntryName(L"a?.txt"), Text(L"text one"), EntryName(L"a*.txt"), Text(L"text two"), EntryName(L"a<.txt"), Text(L"text three"),
      EntryName(L"a_.txt"), Text(L"text four"), EntryName(L"A_.TXT"), Text(L"text five"), EntryName(L"d1\\same.txt"),
      Text(L"text six"), EntryName(L"d2\\same.txt"), Text(L"text seven"), EntryName(L"CON.txt"), Text(L"text eight"),
      EntryName(L"_CON.txt"), Text(L"text nine"), EntryName(L"after.txt"), Text(L"after text")}},
    // Made by rar from Linux files (Unix names; the 2002-character path is named and read).
    {L"names-rar.rar",
     {EntryName(L"back_slash.txt"), Text(L"text backslash"), EntryName(L"ctl\x02.txt"), Text(L"text ctl"),
      EntryName(L"trail.txt."), EntryName(L"space.txt "), EntryName(L"AUX.txt"), Text(L"text device"), EntryName(L"co?lon.txt"),
      Text(L"text collide"), EntryName(L"co_lon.txt"), Text(L"text colon"), EntryName(DEEP_PATH), Text(L"text deep"),
      EntryName(L"after.txt"), Text(L"after text")}},
};

} // namespace

TEST_P(EntryNameTest, EachEntryIsReadFromASafeFileInTheRunFolder)
{
    const std::vector<SeenChunk> chunks = FilterHostile(HostileArchive(GetParam().archive), [&](const SeenChunk &) {
        ExpectSafeExtractedFiles(RunFoldersNow());
    });
    ExpectStream(chunks, GetParam().entries, true);
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
    ExpectStream(unix, {EntryName(utf8Name), Text(L"text utf8"), EntryName(latin1Name), Text(L"text latin1"),
                         EntryName(L"after.txt"), Text(L"after text")}, true);
    EXPECT_NE(utf8Name, windows[1].text) << "an archive made on Windows keeps its OEM names";
    EXPECT_EQ(L"caf", latin1Name.substr(0, 3));
    EXPECT_EQ(8u, latin1Name.size()) << Narrow(latin1Name);
    ExpectStream(windows, {EntryName(windows[1].text), Text(L"text oem"), EntryName(latin1Name), Text(L"text latin1"),
                            EntryName(L"after.txt"), Text(L"after text")}, true);
}
