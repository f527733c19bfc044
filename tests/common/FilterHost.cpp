#include "FilterHost.h"

#include <filterr.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <new>

#include "FixtureDll.h"
#include "ModuleProbe.h"
#include "filter/IFilterBase.h"
#include "support/Guids.h"

CComPtr<IFilter> NewFilter(const CProductDll &dll)
{
    CComPtr<IFilter> filter;
    const HRESULT hr = CreateFilter(dll, IID_IFilter, filter.PutVoid());
    EXPECT_HR(S_OK, hr) << "creating the filter object";
    return filter;
}

int ExpectPullToEnd(IFilter *pFilter, int expectedChunks)
{
    constexpr int kMaxCalls = 100000;
    HRESULT hrStop = S_OK;
    const int chunks = CountChunks(pFilter, kMaxCalls, &hrStop);
    EXPECT_HR(FILTER_E_END_OF_CHUNKS, hrStop) << "GetChunk call " << chunks + 1 << " after " << chunks << " chunks"
                                              << (hrStop == S_OK ? " (no end after 100000 calls)" : "");
    if (hrStop != FILTER_E_END_OF_CHUNKS)
        return -1;
    if (expectedChunks >= 0) {
        EXPECT_EQ(expectedChunks, chunks) << "chunks before the end";
    }
    return chunks;
}

std::vector<SeenChunk> FilterArchive(const CProductDll &dll, const std::wstring &archive, const HostOptions &options)
{
    CComPtr<IFilter> filter = NewFilter(dll);
    if (!filter)
        return {};
    EXPECT_HR(S_OK, LoadFile(filter.Get(), archive, options.route));
    EXPECT_HR(S_OK, InitFilter(filter.Get(), nullptr, options.withAttributes));
    HRESULT hrEnd = S_OK;
    std::vector<SeenChunk> chunks = ReadAllChunks(filter.Get(), options.pull, &hrEnd);
    EXPECT_HR(FILTER_E_END_OF_CHUNKS, hrEnd) << Narrow(archive);
    return chunks;
}

std::vector<SeenChunk> FilterArchive(const CProductDll &dll, const std::wstring &archive,
                                     const std::function<void(const SeenChunk &)> &afterEachChunk)
{
    HostOptions options;
    options.pull.afterEachChunk = afterEachChunk;
    return FilterArchive(dll, archive, options);
}

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

void ExpectStream(const std::vector<SeenChunk> &seen, const std::vector<ExpectedChunk> &expected, bool anyTitle)
{
    std::wstring seenText;
    for (const SeenChunk &chunk : seen)
        seenText += FormatChunk(chunk) + L"\n";
    SCOPED_TRACE("the stream seen:\n" + Narrow(seenText));
    const size_t first = anyTitle ? 1 : 0;  // where `expected` begins in `seen`
    if (anyTitle) {
        ASSERT_FALSE(seen.empty()) << "not even a title chunk";
        EXPECT_EQ(PROPID_TITLE, seen[0].propid);
    }
    EXPECT_EQ(first + expected.size(), seen.size());
    for (size_t i = 0; i < seen.size(); ++i) {
        SCOPED_TRACE(testing::Message() << "chunk " << i + 1);
        EXPECT_EQ(i + 1, seen[i].id);
        EXPECT_EQ(seen[i].id, seen[i].source);
        if (i < first || i - first >= expected.size())
            continue;
        const ExpectedChunk &want = expected[i - first];
        EXPECT_EQ(want.flags, seen[i].flags);
        EXPECT_EQ(want.propid, seen[i].propid);
        EXPECT_EQ(Narrow(want.text), Narrow(seen[i].text));
        EXPECT_EQ(want.vt, seen[i].vt);
    }
}

std::wstring FilterObjectArchive(const std::wstring &name) { return TestDataPath(L"filter_object\\" + name); }
std::wstring ChildArchive(const std::wstring &name) { return TestDataPath(L"child_filters\\" + name); }

std::vector<std::wstring> NewRunFolders(const std::vector<std::wstring> &before)
{
    std::vector<std::wstring> added;
    for (const std::wstring &name : RunFolders()) {
        if (std::find(before.begin(), before.end(), name) == before.end())
            added.push_back(name);
    }
    return added;
}

bool RemoveDirTree(const std::wstring &folder)
{
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &fd);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name(fd.cFileName);
            if (name == L"." || name == L"..")
                continue;
            const std::wstring full = folder + L"\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveDirTree(full);
            } else {
                SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(full.c_str());
            }
        } while (FindNextFileW(find, &fd));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
    return GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES;
}

CScratchDir::CScratchDir()
{
    static std::atomic<int> counter{0};
    m_path = TempFolder() + L"pellucidor-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
             std::to_wstring(++counter);
    RemoveDirTree(m_path);
    if (!CreateDirectoryW(m_path.c_str(), nullptr))
        ADD_FAILURE() << "scratch folder not made, error " << GetLastError();
}

std::wstring CScratchDir::MakeFile(const std::wstring &name, const std::string &contents) const
{
    const std::wstring path = m_path + L"\\" + name;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "file not made: " << Narrow(path) << ", error " << GetLastError();
        return path;
    }
    DWORD written = 0;
    WriteFile(file, contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr);
    CloseHandle(file);
    return path;
}

CEnvironmentOverride::CEnvironmentOverride(const wchar_t *name, const std::wstring &value) : m_name(name)
{
    std::vector<wchar_t> old(32768);
    const DWORD cch = GetEnvironmentVariableW(name, old.data(), static_cast<DWORD>(old.size()));
    m_had = cch > 0 && cch < old.size();
    if (m_had)
        m_old = old.data();
    SetEnvironmentVariableW(name, value.c_str());
}

CEnvironmentOverride::~CEnvironmentOverride() { SetEnvironmentVariableW(m_name, m_had ? m_old.c_str() : nullptr); }

CComPtr<IFilter> CreateFilterInProcess()
{
    CComPtr<IFilter> filter;
    CIFilterBase *object = new (std::nothrow) CIFilterBase;
    if (object != nullptr) {
        object->QueryInterface(IID_IFilter, filter.PutVoid());
        object->Release();
    }
    return filter;
}

namespace {
constexpr const wchar_t *SCRATCH_PARENT = L"Software\\PellucidorTest";
constexpr const wchar_t *SCRATCH_KEY = L"Software\\PellucidorTest\\NoChildFilters";
} // namespace

CNoChildFilters::CNoChildFilters()
{
    RegDeleteTreeW(HKEY_CURRENT_USER, SCRATCH_KEY);
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, SCRATCH_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             m_scratch.Put(), nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_scratch.Get()));
}

CNoChildFilters::~CNoChildFilters()
{
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    m_scratch.Close();
    RegDeleteTreeW(HKEY_CURRENT_USER, SCRATCH_KEY);
    RegDeleteKeyW(HKEY_CURRENT_USER, SCRATCH_PARENT);  // only when nothing else is in it
}

LONG ChildObjects() { return FixtureObjects(FixturePath(FIXTURE_ROW_TEXT).c_str()); }

int ChildDllReferences() { return std::max(0, ModuleLoadCount(FixturePath(FIXTURE_ROW_TEXT).c_str())); }

void FilterHostTest::SetUp()
{
    if (m_checks.com != -1) {
        ASSERT_HR(S_OK, CoInitializeEx(nullptr, static_cast<DWORD>(m_checks.com)));
        m_bComInitialised = true;
    }
    m_runFoldersBefore = RunFolders();
}

void FilterHostTest::TearDown()
{
    if (m_checks.runFolders) {
        EXPECT_TRUE(RunFoldersNow().empty()) << "run folders left in the temp folder";
    }
    if (m_checks.dllUnloads) {
        EXPECT_HR(S_OK, m_dll.CanUnloadNow()) << "an object, factory or lock is still alive";
    }
    if (m_checks.childFilters) {
        EXPECT_EQ(0, ChildObjects()) << "child filter objects alive";
        EXPECT_LE(ChildDllReferences(), PROBE_REFERENCES) << "references to the child filter's DLL";
    }
    if (m_bComInitialised)
        CoUninitialize();
    m_bComInitialised = false;
}

std::vector<std::wstring> FilterHostTest::RunFoldersNow() const
{
    std::vector<std::wstring> paths;
    for (const std::wstring &name : NewRunFolders(m_runFoldersBefore))
        paths.push_back(TempFolder() + name);
    return paths;
}

CComPtr<IFilter> FilterHostTest::StartRun(const std::wstring &archive)
{
    CComPtr<IFilter> filter = NewFilter(m_dll);
    if (!filter)
        return filter;
    EXPECT_HR(S_OK, LoadFile(filter.Get(), archive)) << Narrow(archive);
    EXPECT_HR(S_OK, InitFilter(filter.Get()));
    return filter;
}

std::wstring FilterHostTest::StartRun(CComPtr<IFilter> *pFilter)
{
    *pFilter = StartRun(FilterObjectArchive(L"plain.rar"));
    if (!*pFilter)
        return L"";
    const std::vector<std::wstring> made = RunFoldersNow();
    EXPECT_EQ(1u, made.size()) << "run folders made";
    return made.size() == 1 ? made[0] : L"";
}
