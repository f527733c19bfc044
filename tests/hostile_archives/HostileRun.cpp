#include "HostileRun.h"

#include <filterr.h>

#include <algorithm>
#include <cwctype>

namespace {

constexpr size_t MAX_CHUNKS = 10000;      // far more than any hostile archive yields
constexpr int MAX_WALK_DEPTH = 24;        // bounds a walk that meets a folder loop
constexpr size_t MAX_WALK_ENTRIES = 500000;

struct CWalk {
    std::set<std::wstring> *pLines = nullptr;       // "path|size" of everything seen
    std::vector<std::wstring> *pEscapes = nullptr;  // paths named escape-*
    std::set<std::wstring> skip;                    // folders passed over: the run folders
    size_t entries = 0;
};

bool IsEscapeName(const std::wstring &name)
{
    std::wstring lower = name;
    for (wchar_t &ch : lower)
        ch = static_cast<wchar_t>(std::towlower(ch));
    return lower.compare(0, 7, L"escape-") == 0;
}

void Walk(CWalk &walk, const std::wstring &folder, int depth)
{
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::wstring name(fd.cFileName);
        if (name == L"." || name == L"..")
            continue;
        if (++walk.entries > MAX_WALK_ENTRIES)
            break;
        const std::wstring full = folder + L"\\" + name;
        const bool dir = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        if (dir && walk.skip.count(full) != 0)
            continue;
        if (walk.pLines != nullptr) {
            const ULONGLONG size = (static_cast<ULONGLONG>(fd.nFileSizeHigh) << 32) | fd.nFileSizeLow;
            walk.pLines->insert(full + (dir ? L"\\" : L"|" + std::to_wstring(size)));
        }
        if (walk.pEscapes != nullptr && IsEscapeName(name))
            walk.pEscapes->push_back(full);
        if (dir && depth > 0 && (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
            Walk(walk, full, depth - 1);
    } while (FindNextFileW(find, &fd));
    FindClose(find);
}

std::wstring WithoutBackslash(std::wstring path)
{
    while (!path.empty() && path.back() == L'\\')
        path.pop_back();
    return path;
}

std::wstring CurrentFolder()
{
    wchar_t path[MAX_PATH + 1] = {};
    GetCurrentDirectoryW(MAX_PATH + 1, path);
    return WithoutBackslash(path);
}

} // namespace

std::wstring HostileArchive(const std::wstring &name) { return TestDataPath(L"hostile\\" + name); }

std::string CaseName(const std::wstring &archive)
{
    std::string name;
    for (wchar_t ch : archive.substr(0, archive.rfind(L'.')))
        name += std::iswalnum(ch) ? static_cast<char>(ch) : '_';
    return name;
}

std::set<std::wstring> EscapeTargets()
{
    std::set<std::wstring> lines;
    CWalk walk;
    walk.pLines = &lines;
    for (const std::wstring &name : RunFolders())
        walk.skip.insert(TempFolder() + name);
    Walk(walk, L"C:\\users", MAX_WALK_DEPTH);
    Walk(walk, L"C:", 0);
    Walk(walk, L"C:\\windows", 0);
    Walk(walk, WithoutBackslash(TestDataPath(L"hostile")), MAX_WALK_DEPTH);
    Walk(walk, WithoutBackslash(TestDataPath(L"")), 0);
    Walk(walk, CurrentFolder(), 0);
    return lines;
}

std::wstring SnapshotDiff(const std::set<std::wstring> &before, const std::set<std::wstring> &after)
{
    std::wstring diff;
    for (const std::wstring &line : after)
        if (before.count(line) == 0)
            diff += L"+ " + line + L"\n";
    for (const std::wstring &line : before)
        if (after.count(line) == 0)
            diff += L"- " + line + L"\n";
    return diff;
}

std::vector<std::wstring> EscapeFilesAnywhere()
{
    std::vector<std::wstring> escapes;
    CWalk walk;
    walk.pEscapes = &escapes;
    Walk(walk, L"C:", MAX_WALK_DEPTH);
    Walk(walk, WithoutBackslash(TestDataPath(L"")), MAX_WALK_DEPTH);
    return escapes;
}

std::vector<SeenChunk> HostileArchiveTest::FilterHostile(const std::wstring &archive,
                                                         const std::function<void(const SeenChunk &)> &afterEachChunk)
{
    SCOPED_TRACE("archive " + Narrow(archive));
    std::set<std::wstring> before;
    std::vector<SeenChunk> chunks;
    {
        CComPtr<IFilter> filter = NewFilter(m_dll);
        if (!filter)
            return chunks;
        EXPECT_HR(S_OK, LoadFile(filter.Get(), archive));
        EXPECT_HR(S_OK, InitFilter(filter.Get()));
        // After Init: its run folder (passed over) and the settings folder it makes are its own.
        before = EscapeTargets();
        PullOptions pull;
        pull.maxChunks = MAX_CHUNKS;
        pull.afterEachChunk = afterEachChunk;
        HRESULT hrEnd = S_OK;
        chunks = ReadAllChunks(filter.Get(), pull, &hrEnd);
        EXPECT_HR(FILTER_E_END_OF_CHUNKS, hrEnd) << "the stream did not end";
        EXPECT_LT(chunks.size(), MAX_CHUNKS) << "the stream did not end";
        // Once ended it stays ended.
        STAT_CHUNK stat;
        EXPECT_HR(FILTER_E_END_OF_CHUNKS, filter->GetChunk(&stat));
    }
    EXPECT_TRUE(RunFoldersNow().empty()) << "a run folder outlived its filter object";
    EXPECT_EQ("", Narrow(SnapshotDiff(before, EscapeTargets()))) << "files appeared or went outside the run folder";
    const std::vector<std::wstring> escapes = EscapeFilesAnywhere();
    EXPECT_TRUE(escapes.empty()) << "an escape-* file exists: " << Narrow(escapes.empty() ? L"" : escapes[0]);
    EXPECT_HR(S_OK, m_dll.CanUnloadNow());
    return chunks;
}
