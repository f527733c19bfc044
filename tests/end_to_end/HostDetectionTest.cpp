// Which search engine's registrations the filter follows depends on the process that hosts it:
// the host program (SearchHost.exe) is copied under an engine's process name into the folder
// that engine's install key names, and started on its own. Every engine's filter table maps .txt
// to the Init-fails filter, except the table of the engine expected to be followed, which maps
// it to the value filter; the standard registration maps .txt to the plain-text filter. So the
// chunks that follow probe.txt's name tell whose registrations were read.
#include <gtest/gtest.h>
#include <filterr.h>
#include <shlobj.h>
#include <sstream>

#include "FilterHost.h"
#include "FixtureDll.h"
#include "ProcessStart.h"
#include "RegistrySeed.h"
#include "support/Holders.h"

namespace {

// A search product as the registry describes it: where its install location is recorded, which
// subfolder holds its programs, and where its own filter tables are.
struct Engine {
    const wchar_t *id;
    const wchar_t *installKey;  // under HKLM
    const wchar_t *installValue;
    const wchar_t *binSubfolder;
    HKEY tableHive;
    const wchar_t *tableRoot;   // ...\ContentIndexCommon
};
const Engine c_engines[] = {
    {L"office12", L"SOFTWARE\\Microsoft\\Office Server\\12.0", L"InstallPath", L"bin", HKEY_LOCAL_MACHINE,
     L"SOFTWARE\\Microsoft\\Office Server\\12.0\\Search\\Setup\\ContentIndexCommon"},
    {L"wse12", L"SOFTWARE\\Microsoft\\Shared Tools\\Web Server Extensions\\12.0", L"Location", L"bin",
     HKEY_LOCAL_MACHINE,
     L"SOFTWARE\\Microsoft\\Shared Tools\\Web Server Extensions\\12.0\\Search\\Setup\\ContentIndexCommon"},
    {L"sps2003", L"SOFTWARE\\Microsoft\\SharePoint Portal Server", L"InstallPath", L"bin", HKEY_LOCAL_MACHINE,
     L"SOFTWARE\\Microsoft\\SPSSearch\\ContentIndexCommon"},
    // SharePoint Portal Server 2001 and SQL Server 2000 share the install key and the tables.
    {L"search", L"SOFTWARE\\Microsoft\\Search\\1.0", L"InstallDirectory", L"bin", HKEY_LOCAL_MACHINE,
     L"SOFTWARE\\Microsoft\\ContentIndexCommon"},
    {L"msn", L"SOFTWARE\\Microsoft\\RSSearch\\InstallDirectory", L"", L"", HKEY_CURRENT_USER,
     L"SOFTWARE\\Microsoft\\RSSearch\\ContentIndexCommon"},
};

// The keys the seeds touch, compared before and after every case.
const std::pair<HKEY, const wchar_t *> c_watchedKeys[] = {
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Office Server"},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Shared Tools\\Web Server Extensions"},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\SharePoint Portal Server"},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\SPSSearch"},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Search"},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\ContentIndexCommon"},
    {HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\RSSearch"},
    {HKEY_CURRENT_USER, L"SOFTWARE\\Microsoft\\RSSearch"},
};

std::wstring WatchedKeys()
{
    std::wstring text;
    for (const auto &key : c_watchedKeys)
        text += SnapshotTree(key.first, key.second);
    return text;
}

std::wstring HostsFolder() { return TestDataPath(L"hosts"); }
std::wstring EngineFolder(const Engine &engine) { return HostsFolder() + L"\\" + engine.id; }
std::wstring BinFolder(const Engine &engine)
{
    return engine.binSubfolder[0] != L'\0' ? EngineFolder(engine) + L"\\" + engine.binSubfolder : EngineFolder(engine);
}

// Every engine installed in its own folder, SharePoint 2003 (SPSV2 = 1) or 2001 (no SPSV2) or
// no SharePoint at all; every engine table sends .txt to the Init-fails filter except the
// expected one's, which sends it to the value filter; the shared SharePoint 2001 / SQL Server
// table lists zzq as served by the product's default filter, the plain-text filter.
void SeedEngines(CRegistrySeed &seed, const wchar_t *sharePoint, const wchar_t *followed)
{
    const bool withSharePoint = wcscmp(sharePoint, L"none") != 0;
    for (const Engine &engine : c_engines) {
        if (withSharePoint || wcscmp(engine.id, L"sps2003") != 0) {
            ASSERT_TRUE(seed.SetString(HKEY_LOCAL_MACHINE, engine.installKey, engine.installValue, EngineFolder(engine)));
        }
        const int row = wcscmp(engine.id, followed) == 0 ? FIXTURE_ROW_VALUES : FIXTURE_ROW_INIT_FAILS;
        ASSERT_TRUE(seed.SetString(engine.tableHive, std::wstring(engine.tableRoot) + L"\\Filters\\Extension\\.txt", L"",
                                   g_fixtures[row].clsid));
    }
    if (wcscmp(sharePoint, L"2003") == 0) {
        ASSERT_TRUE(seed.SetDword(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\SharePoint Portal Server", L"SPSV2", 1));
    }
    const std::wstring defaults = L"SOFTWARE\\Microsoft\\ContentIndexCommon\\Filters\\Default";
    ASSERT_TRUE(seed.SetString(HKEY_LOCAL_MACHINE, defaults, L"DefaultExtList", L"abc zzq"));
    ASSERT_TRUE(seed.SetString(HKEY_LOCAL_MACHINE, defaults, L"", g_fixtures[FIXTURE_ROW_TEXT].clsid));
}

// Starts a program and collects what it prints (UTF-8 lines) once it has exited, waiting at most
// two minutes: a host that hangs fails the test with its output, and the test goes on to restore
// the keys it seeded.
std::vector<std::wstring> RunProgram(const std::wstring &exe, const std::wstring &arguments)
{
    const BoundedRun run = RunBounded(exe.c_str(), L"\"" + exe + L"\" " + arguments, ProgramOutputFolder(), 120000, true);
    if (!run.started) {
        ADD_FAILURE() << "starting " << Narrow(exe) << " failed, error " << GetLastError();
        return {};
    }
    EXPECT_FALSE(run.hung) << Narrow(exe) << " did not end within two minutes; it printed:\n" << run.output;
    std::vector<std::wstring> lines;
    std::istringstream in(run.output);
    for (std::string line; std::getline(in, line);)
        lines.push_back(Widen(line));
    return lines;
}

// The host program, copied under a process name into a folder, run on an archive: the chunks it
// saw. The copy and the folders made for it are removed afterwards.
std::vector<SeenChunk> RunHostAs(const std::wstring &folder, const std::wstring &exeName, const std::wstring &archive)
{
    const int made = SHCreateDirectoryExW(nullptr, folder.c_str(), nullptr);
    EXPECT_TRUE(made == ERROR_SUCCESS || made == ERROR_ALREADY_EXISTS) << "error " << made;
    const std::wstring exe = folder + L"\\" + exeName;
    EXPECT_TRUE(CopyFileW(TestBinPath(L"SearchHost.exe").c_str(), exe.c_str(), FALSE)) << "error " << GetLastError();
    const std::vector<std::wstring> lines =
        RunProgram(exe, L"\"" + TestBinPath(L"Pellucidor.dll") + L"\" \"" + archive + L"\"");
    DeleteFileW(exe.c_str());
    RemoveDirTree(HostsFolder());

    std::vector<SeenChunk> chunks;
    std::wstring ending;
    for (const std::wstring &line : lines) {
        SeenChunk chunk;
        if (ParseChunk(line, &chunk))
            chunks.push_back(chunk);
        else
            ending += line + L"\n";
    }
    EXPECT_EQ("end 0x80041700\ncanunload 0x00000000\n", Narrow(ending));
    return chunks;
}

struct HostCase {
    const wchar_t *exeName;
    const wchar_t *folderOf;    // the engine whose bin folder holds the host, or "elsewhere"
    const wchar_t *sharePoint;  // "2003" (SPSV2 = 1), "2001" (no SPSV2) or "none" (no key)
    const wchar_t *followed;    // the engine whose table must be followed, or "standard"
    bool defaultList;           // the SharePoint 2001 default filter reads probe.zzq
};

} // namespace

TEST(HostDetection, TheHostsProcessNameAndFolderChooseTheRegistrations)
{
    const HostCase cases[] = {
        {L"mssdmn.exe", L"office12", L"2003", L"office12", false},
        {L"MSSDMN.EXE", L"wse12", L"2003", L"wse12", false},
        {L"mssdmn.exe", L"sps2003", L"2003", L"sps2003", false},
        {L"filtdump.exe", L"sps2003", L"2001", L"standard", false},  // SharePoint 2003 not installed
        {L"filtdump.exe", L"search", L"2001", L"search", true},      // SharePoint Portal Server 2001
        {L"FiltDump.exe", L"search", L"none", L"search", false},     // SQL Server 2000
        {L"mssdmn.exe", L"elsewhere", L"2003", L"standard", false},  // no engine's folder
        {L"msngather.exe", L"elsewhere", L"2003", L"msn", false},
        {L"WindowsSearchFilter.exe", L"msn", L"2003", L"msn", false},
        {L"cidaemon.exe", L"office12", L"2003", L"standard", false}, // an unlisted name
        {L"searchhost.exe", L"search", L"2001", L"standard", false},
    };
    const std::wstring before = WatchedKeys();
    for (const HostCase &c : cases) {
        SCOPED_TRACE(testing::Message() << Narrow(c.exeName) << " in " << Narrow(c.folderOf) << "'s folder, SharePoint "
                                        << Narrow(c.sharePoint));
        std::vector<ExpectedChunk> expected = {Title(L"host"), EntryName(L"probe.txt")};
        if (wcscmp(c.followed, L"standard") == 0) {
            expected.push_back(Text(L"standard text"));
        } else {
            const auto values = FixtureValues();
            expected.insert(expected.end(), values.begin(), values.end());
        }
        expected.push_back(EntryName(L"probe.zzq"));
        if (c.defaultList)
            expected.push_back(Text(L"default list"));
        {
            CRegistrySeed seed;
            SeedEngines(seed, c.sharePoint, c.followed);
            std::wstring folder = HostsFolder() + L"\\elsewhere";
            for (const Engine &engine : c_engines)
                if (wcscmp(engine.id, c.folderOf) == 0)
                    folder = BinFolder(engine);
            ExpectStream(RunHostAs(folder, c.exeName, ChildArchive(L"host.rar")), expected);
        }
        EXPECT_EQ(Narrow(before), Narrow(WatchedKeys()));
    }
}

// A host started from a folder without the test query.dll gets Wine's own LoadIFilter, which
// loads nothing: the PDF entry keeps only its name, the entries around it are read.
TEST(HostDetection, WithoutAWorkingLoadIFilterThePdfEntryKeepsOnlyItsName)
{
    ExpectStream(RunHostAs(HostsFolder() + L"\\plain", L"indexer.exe", ChildArchive(L"pdf.rar")),
                 Stream({{Title(L"pdf"), EntryName(L"before.txt"), Text(L"before pdf")},
                         {EntryName(L"paper.pdf")},
                         {EntryName(L"after.txt"), Text(L"after pdf")}}));
}
