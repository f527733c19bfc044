#include "FuzzHost.h"

#include <filterr.h>
#include <shlwapi.h>
#include <algorithm>
#include <memory>
#include <cstdio>
#include <cwctype>

#include "ModuleProbe.h"

namespace {

// Bounds that tell a stream that never ends from one that is merely long (and MAX_TEXT_CALLS,
// MAX_VALUE_CALLS per chunk).
constexpr int MAX_GETCHUNK_CALLS = 100000;
constexpr ULONG TEXT_BUFFER_CHARS = 4096;
constexpr size_t MAX_TREE_ENTRIES = 10000;

// The jail's own folders, as Walk lists them.
const std::wstring JAIL_FOLDERS[] = {L"l1\\", L"l1\\l2\\", L"l1\\l2\\l3\\", L"l1\\l2\\l3\\tmp\\", L"l1\\l2\\l3\\in\\"};

bool IsRunFolderName(const std::wstring &name)
{
    if (name.size() != 32)
        return false;
    return std::all_of(name.begin(), name.end(), [](wchar_t ch) { return std::iswxdigit(ch) != 0; });
}

std::wstring Join(const std::wstring &folder, const std::wstring &name) { return folder + L"\\" + name; }

// Every path below `folder`, relative to it, directories marked with a trailing backslash.
void Walk(const std::wstring &folder, const std::wstring &relative, std::vector<std::wstring> *pPaths)
{
    WIN32_FIND_DATAW fd;
    CFindHandle find(FindFirstFileW(Join(folder, L"*").c_str(), &fd));
    if (!find)
        return;
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L"..")
            continue;
        if (pPaths->size() >= MAX_TREE_ENTRIES)
            return;
        const bool isDir = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        const std::wstring rel = relative.empty() ? name : relative + L"\\" + name;
        pPaths->push_back(isDir ? rel + L"\\" : rel);
        if (isDir && (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
            Walk(Join(folder, name), rel, pPaths);
    } while (FindNextFileW(find.Get(), &fd));
}

std::vector<std::wstring> Added(const std::vector<std::wstring> &before, const std::vector<std::wstring> &now)
{
    std::vector<std::wstring> added;
    std::set_difference(now.begin(), now.end(), before.begin(), before.end(), std::back_inserter(added));
    return added;
}

void Fail(FuzzOutcome *pOutcome, const std::string &what)
{
    if (pOutcome->ok) {
        pOutcome->ok = false;
        pOutcome->failure = what;
    } else {
        pOutcome->failure += "; " + what;
    }
}

} // namespace

bool ReadBytes(const std::wstring &path, std::vector<uint8_t> *pBytes)
{
    CFileHandle file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    LARGE_INTEGER size = {};
    if (!file || !GetFileSizeEx(file.Get(), &size) || size.QuadPart > 0x7FFFFFFF)
        return false;
    pBytes->assign(static_cast<size_t>(size.QuadPart), 0);
    DWORD read = 0;
    return size.QuadPart == 0 ||
           (ReadFile(file.Get(), pBytes->data(), static_cast<DWORD>(size.QuadPart), &read, nullptr) && read == size.QuadPart);
}

std::vector<std::wstring> NamesIn(const std::wstring &folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    CFindHandle find(FindFirstFileW(Join(folder, L"*").c_str(), &fd));
    if (find) {
        do {
            const std::wstring name = fd.cFileName;
            if (name != L"." && name != L"..")
                names.push_back(name);
        } while (FindNextFileW(find.Get(), &fd) && names.size() < MAX_TREE_ENTRIES);
    }
    std::sort(names.begin(), names.end());
    return names;
}

bool RemoveTree(const std::wstring &folder)
{
    WIN32_FIND_DATAW fd;
    CFindHandle find(FindFirstFileW(Join(folder, L"*").c_str(), &fd));
    if (find) {
        do {
            const std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring full = Join(folder, name);
            if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
                RemoveTree(full);
            } else if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
                RemoveDirectoryW(full.c_str());
            } else {
                SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(full.c_str());
            }
        } while (FindNextFileW(find.Get(), &fd));
        find.Close();
    }
    RemoveDirectoryW(folder.c_str());
    return GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES;
}

CJail::CJail(const std::wstring &work) : m_root(Join(work, L"jail"))
{
    const std::wstring deepest = Join(Join(Join(m_root, L"l1"), L"l2"), L"l3");
    m_tmp = Join(deepest, L"tmp");
    m_in = Join(deepest, L"in");
}

void CJail::Make() const
{
    std::wstring folder = m_root;
    CreateDirectoryW(folder.c_str(), nullptr);
    for (const wchar_t *level : {L"l1", L"l2", L"l3"}) {
        folder = Join(folder, level);
        CreateDirectoryW(folder.c_str(), nullptr);
    }
    CreateDirectoryW(m_tmp.c_str(), nullptr);
    CreateDirectoryW(m_in.c_str(), nullptr);
}

void CJail::Clean() const
{
    std::vector<std::wstring> paths;
    Walk(m_root, L"", &paths);
    for (auto it = paths.rbegin(); it != paths.rend(); ++it) {
        if (std::find(std::begin(JAIL_FOLDERS), std::end(JAIL_FOLDERS), *it) != std::end(JAIL_FOLDERS))
            continue;
        const bool isDir = it->back() == L'\\';
        const std::wstring full = Join(m_root, isDir ? it->substr(0, it->size() - 1) : *it);
        if (isDir) {
            RemoveDirectoryW(full.c_str());  // its contents came before it in the reversed walk
        } else {
            SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(full.c_str());
        }
    }
}

void CJail::Check(bool runFolderAllowed, const std::vector<std::wstring> &inputs, FuzzOutcome *pOutcome) const
{
    std::vector<std::wstring> paths;
    Walk(m_root, L"", &paths);
    const std::wstring &tmpPrefix = JAIL_FOLDERS[3], &inPrefix = JAIL_FOLDERS[4];
    std::wstring runFolder;
    for (const std::wstring &path : paths) {
        if (std::find(std::begin(JAIL_FOLDERS), std::end(JAIL_FOLDERS), path) != std::end(JAIL_FOLDERS))
            continue;
        if (path.compare(0, inPrefix.size(), inPrefix) == 0 &&
            std::find(inputs.begin(), inputs.end(), path.substr(inPrefix.size())) != inputs.end())
            continue;
        if (runFolderAllowed && path.compare(0, tmpPrefix.size(), tmpPrefix) == 0) {
            const std::wstring rest = path.substr(tmpPrefix.size());
            const std::wstring top = rest.substr(0, rest.find(L'\\'));
            if (IsRunFolderName(top) && rest.size() > top.size() && (runFolder.empty() || runFolder == top)) {
                runFolder = top;
                continue;
            }
        }
        Fail(pOutcome, (runFolderAllowed ? "while filtering, " : "after Release, ") + std::string("left in the jail: ") +
                           Narrow(path));
        return;
    }
}

CFuzzHost::CFuzzHost(const std::wstring &work, const std::wstring &dllPath, const std::vector<std::wstring> &fixturePaths)
    : m_work(work), m_jail(work), m_fixturePaths(fixturePaths)
{
    wchar_t temp[MAX_PATH + 1] = {};
    GetTempPathW(MAX_PATH + 1, temp);
    m_userTemp = temp;
    if (!m_userTemp.empty() && m_userTemp.back() == L'\\')
        m_userTemp.pop_back();
    m_userTempNames = NamesIn(m_userTemp);
    m_driveRootNames = NamesIn(L"C:");

    CreateDirectoryW(m_work.c_str(), nullptr);
    m_jail.Make();
    // GetTempPathW reads TMP first: every run folder lands in the jail.
    SetEnvironmentVariableW(L"TMP", (m_jail.Tmp() + L"\\").c_str());
    SetEnvironmentVariableW(L"TEMP", (m_jail.Tmp() + L"\\").c_str());
    m_workNames = NamesIn(m_work);

    m_dll = std::make_unique<CProductDll>(dllPath);
    if (m_dll->Module() == nullptr)
        m_setupError = "cannot load " + Narrow(dllPath) + ", error " + std::to_string(GetLastError());
}

bool CFuzzHost::Ready(std::string *pWhy) const
{
    *pWhy = m_setupError;
    return m_setupError.empty();
}

FuzzOutcome CFuzzHost::FilterOnce(const std::wstring &name, const std::vector<std::wstring> &companions,
                                  bool withAttributes, FuzzRoute route)
{
    FuzzOutcome outcome;
    std::vector<std::wstring> inputs = companions;
    inputs.push_back(name);
    const std::wstring path = Join(m_jail.In(), name);
    CComPtr<IStream> stream;  // the host's: it outlives the filter, which must give back its references
    if (route == FuzzRoute::Stream) {
        std::vector<uint8_t> bytes;
        if (ReadBytes(path, &bytes))
            stream.Attach(SHCreateMemStream(bytes.data(), static_cast<UINT>(bytes.size())));
        if (!stream) {
            Fail(&outcome, "cannot make a stream over " + Narrow(path));
            return outcome;
        }
    }

    {
        CComPtr<IFilter> filter;
        HRESULT hr = CreateFilter(*m_dll, IID_IFilter, filter.PutVoid());
        if (FAILED(hr)) {
            Fail(&outcome, "creating the filter: " + HrText(hr));
            return outcome;
        }
        hr = route == FuzzRoute::File ? LoadFile(filter.Get(), path) : LoadStream(filter.Get(), stream.Get());
        if (hr != S_OK)
            Fail(&outcome, "Load: " + HrText(hr));
        ULONG flags = MARKER;
        hr = InitFilter(filter.Get(), &flags, withAttributes);
        if (hr != S_OK)
            Fail(&outcome, "Init: " + HrText(hr));
        if (flags != IFILTER_FLAGS_OLE_PROPERTIES)
            Fail(&outcome, "Init reported flags " + HrText(static_cast<HRESULT>(flags)));
        if (hr == S_OK)
            CheckStream(filter.Get(), &outcome);
    // While the run lives, its folder is the only thing the filter may have made.
        m_jail.Check(true, inputs, &outcome);
    }
    const HRESULT hrUnload = m_dll->CanUnloadNow();
    if (hrUnload != S_OK)
        Fail(&outcome, "DllCanUnloadNow after Release: " + HrText(hrUnload));
    if (stream) {
        const ULONG refs = stream->AddRef();
        stream->Release();
        if (refs != 2)
            Fail(&outcome, std::to_string(refs - 2) + " references to the host's stream kept after Release");
    }
    // The DLL list keeps the reference its first probe took; any other is a child's, given back.
    for (const std::wstring &fixture : m_fixturePaths) {
        if (const LONG alive = FixtureObjects(fixture.c_str()))
            Fail(&outcome, std::to_string(alive) + " child filter objects alive after Release");
        if (ModuleLoadCount(fixture.c_str()) > 1)
            Fail(&outcome, "references to the child filter's DLL after Release: " +
                               std::to_string(ModuleLoadCount(fixture.c_str())));
    }
    m_jail.Check(false, inputs, &outcome);
    CheckOutsideJail(&outcome);
    return outcome;
}

// Every chunk with its whole text or all its values, each read bounded; the end must come.
void CFuzzHost::CheckStream(IFilter *filter, FuzzOutcome *pOutcome)
{
    PullOptions pull;
    pull.cwcBuffer = TEXT_BUFFER_CHARS;
    pull.maxChunks = MAX_GETCHUNK_CALLS;
    pull.allValues = true;
    pull.keepFailures = true;  // a chunk that could not be made; the stream moves on
    HRESULT hrEnd = S_OK;
    const std::vector<SeenChunk> chunks = ReadAllChunks(filter, pull, &hrEnd);
    ULONG lastId = 0;
    for (const SeenChunk &chunk : chunks) {
        if (FAILED(chunk.hr))
            continue;
        ++pOutcome->chunks;
        if (chunk.id <= lastId || chunk.source != chunk.id) {
            Fail(pOutcome, "chunk ids out of order: " + std::to_string(chunk.id) + " after " + std::to_string(lastId));
            return;
        }
        lastId = chunk.id;
        const bool own = chunk.propid == PROPID_TITLE || chunk.propid == PROPID_ENTRY_NAME;
        pOutcome->childChunks += own ? 0 : 1;
        std::string wrong;
        if (chunk.flags != CHUNK_TEXT && chunk.flags != CHUNK_VALUE)
            wrong = "chunk of kind " + std::to_string(chunk.flags);
        else if (chunk.overran)
            wrong = "GetText claimed more characters than a buffer of " + std::to_string(TEXT_BUFFER_CHARS) + " holds";
        else if (chunk.flags == CHUNK_TEXT && SUCCEEDED(chunk.textEnd) && chunk.textEnd != FILTER_S_LAST_TEXT)
            wrong = "GetText did not end within " + std::to_string(MAX_TEXT_CALLS) + " calls";
        else if (chunk.nullValue)
            wrong = "GetValue succeeded without a value";
        else if (chunk.flags == CHUNK_VALUE && SUCCEEDED(chunk.valueEnd))
            wrong = "GetValue did not end within " + std::to_string(MAX_VALUE_CALLS) + " calls";
        if (!wrong.empty()) {
            Fail(pOutcome, wrong);
            return;
        }
    }
    if (hrEnd != FILTER_E_END_OF_CHUNKS)
        Fail(pOutcome, "no end of chunks after " + std::to_string(MAX_GETCHUNK_CALLS) + " GetChunk calls");
}

void CFuzzHost::CheckOutsideJail(FuzzOutcome *pOutcome) const
{
    const struct {
        const std::wstring &folder;
        const std::vector<std::wstring> &before;
    } places[] = {{m_work, m_workNames}, {L"C:", m_driveRootNames}, {m_userTemp, m_userTempNames}};
    for (const auto &place : places) {
        for (const std::wstring &name : Added(place.before, NamesIn(place.folder)))
            Fail(pOutcome, "new outside the jail: " + Narrow(Join(place.folder, name)));
    }
}
