// Links in archives: symbolic links to absolute and relative targets outside the folder, Windows
// symbolic links, junctions (and a file stored "through" one), hard links and file copies, made by
// rar (-ol, -oh, -oi) and by rar5.py. A link entry is named but never extracted: nothing is
// created, linked or copied, inside the run folder or out of it, and the walk goes on.
// Archives: tests/setup.d/40-hostile.sh.
#include "HostileRun.h"

#include <cwchar>

#include "support/ProcAddress.h"

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

namespace {

// Runs a Unix program (ln, rm) on the Unix names of Windows paths, through Wine's own spawn of
// Unix programs, and waits for it; FALSE when it cannot be run or fails.
bool RunUnix(const char *pszProgram, const char *pszOption, const std::vector<std::wstring> &paths)
{
    using PFN_UNIX_NAME = char *(__cdecl *)(const wchar_t *);
    using PFN_SPAWN = LONG(WINAPI *)(char *const *argv, int wait);
    const auto pfnUnixName = GetProcAs<PFN_UNIX_NAME>(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name");
    const auto pfnSpawn = GetProcAs<PFN_SPAWN>(GetModuleHandleW(L"ntdll.dll"), "__wine_unix_spawnvp");
    if (pfnUnixName == nullptr || pfnSpawn == nullptr)
        return false;
    std::vector<std::string> args = {pszProgram, pszOption};
    for (const std::wstring &path : paths) {
        char *pszUnix = pfnUnixName(path.c_str());
        if (pszUnix == nullptr)
            return false;
        args.emplace_back(pszUnix);
        HeapFree(GetProcessHeap(), 0, pszUnix);
    }
    std::vector<char *> argv;
    for (std::string &arg : args)
        argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    return pfnSpawn(argv.data(), 1) == 0;
}

} // namespace

// The run folder is removed at Release, whatever is in it; a folder link put into it (by anyone
// with access to the temporary folder) is removed as a link, never followed: the folder it points
// to, outside the run, keeps its files. The link is a Unix symbolic link, which Wine shows as a
// folder with a reparse point (CreateSymbolicLinkW returns success and makes nothing under Wine
// 8.0).
TEST_F(HostileArchiveTest, RemovingTheRunFolderNeverFollowsALinkOutOfIt)
{
    CScratchDir outside;
    const std::wstring kept = outside.MakeFile(L"keep.txt", "kept");
    CComPtr<IFilter> filter;
    const std::wstring run = StartRun(&filter);
    ASSERT_FALSE(run.empty());
    STAT_CHUNK stat;
    ASSERT_HR(S_OK, filter->GetChunk(&stat));
    const std::wstring link = run + L"\\linked";
    ASSERT_TRUE(RunUnix("/bin/ln", "-s", {outside.Path(), link})) << "no link made at " << Narrow(link);
    EXPECT_EQ(static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT),
              GetFileAttributesW(link.c_str()) & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT));
    ASSERT_EQ(std::vector<std::wstring>{L"keep.txt"}, FilesIn(link)) << "the link does not lead to the folder";
    EXPECT_GE(PullToEnd(filter.Get()), 0);
    filter.Reset();
    EXPECT_EQ("kept", ReadFileText(kept)) << "a file outside the run folder went with it";
    // Wine 8.0 removes a Unix folder link by no Windows call (RemoveDirectoryW: error 145, as for
    // the folder it leads to; DeleteFileW: 5), so the run folder stays with the link alone in it;
    // on Windows RemoveDirectoryW removes the link and the folder goes.
    if (GetFileAttributesW(run.c_str()) != INVALID_FILE_ATTRIBUTES) {
        WIN32_FIND_DATAW fd;
        std::vector<std::wstring> left;
        HANDLE find = FindFirstFileW((run + L"\\*").c_str(), &fd);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                if (std::wcscmp(fd.cFileName, L".") != 0 && std::wcscmp(fd.cFileName, L"..") != 0)
                    left.emplace_back(fd.cFileName);
            } while (FindNextFileW(find, &fd));
            FindClose(find);
        }
        EXPECT_EQ(std::vector<std::wstring>{L"linked"}, left) << "besides the link, the run folder kept";
        EXPECT_TRUE(RunUnix("/bin/rm", "-f", {link}));
        EXPECT_TRUE(RemoveDirectoryW(run.c_str())) << GetLastError();
    }
}
