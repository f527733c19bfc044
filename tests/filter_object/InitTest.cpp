// IFilter::Init and the object's teardown as a host sees them: the reported flags, the run's
// folder in the temp folder (its name, its removal by the next Init and by the last Release),
// and every way of letting an object go.
#include <gtest/gtest.h>
#include <filterr.h>
#include <cwctype>
#include <functional>
#include <vector>

#include "FilterHost.h"

namespace {

// 32 hexadecimal digits: the 13th to 16th lower-case, all others upper-case.
bool IsRunFolderName(const std::wstring &name)
{
    if (name.size() != 32)
        return false;
    for (size_t i = 0; i < name.size(); ++i) {
        const wchar_t ch = name[i];
        const bool lower = i >= 12 && i < 16;
        const bool ok = std::iswdigit(ch) || (lower ? (ch >= L'a' && ch <= L'f') : (ch >= L'A' && ch <= L'F'));
        if (!ok)
            return false;
    }
    return true;
}

bool Exists(const std::wstring &path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

// Nested folders "name\name\name..." below `root`, a file in the deepest; returns the deepest.
std::wstring MakeNestedFolders(const std::wstring &root, int depth, const std::wstring &name = L"d")
{
    std::wstring path = root;
    for (int i = 0; i < depth; ++i) {
        path += L"\\" + name;
        if (!CreateDirectoryW(path.c_str(), nullptr)) {
            ADD_FAILURE() << "nested folder " << i << " not made, error " << GetLastError();
            break;
        }
    }
    HANDLE file = CreateFileW((path + L"\\deep.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file != INVALID_HANDLE_VALUE)
        CloseHandle(file);
    return path;
}

} // namespace

using Init = FilterHostTest;

TEST_F(Init, ResultsFlagsAndRunFolders)
{
    CScratchDir scratch;
    struct Case {
        const char *name;
        std::function<std::wstring()> prepare;  // the path to load, or empty for no Load
        bool nullFlags;
        HRESULT expected;
        size_t runFolders;  // made by this Init
    };
    const Case cases[] = {
        {"not loaded", [] { return std::wstring(); }, false, E_FAIL, 0},
        {"loaded", [] { return FilterObjectArchive(L"plain.rar"); }, false, S_OK, 1},
        {"file gone since Load", [&] { return scratch.MakeFile(L"gone.rar"); }, false, E_FAIL, 0},
        {"NULL pFlags", [] { return FilterObjectArchive(L"plain.rar"); }, true, E_FAIL, 0},
        {"not an archive", [&] { return scratch.MakeFile(L"text.rar", "not a rar archive"); }, false, S_OK, 1},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        CComPtr<IFilter> filter = NewFilter(m_dll);
        ASSERT_TRUE(filter);
        const std::wstring path = c.prepare();
        if (!path.empty()) {
            ASSERT_HR(S_OK, LoadFile(filter.Get(), path));
        }
        if (c.name == std::string("file gone since Load")) {
            ASSERT_TRUE(DeleteFileW(path.c_str()));
        }

        ULONG flags = MARKER;
        EXPECT_HR(c.expected, filter->Init(HOST_INIT_FLAGS, 0, nullptr, c.nullFlags ? nullptr : &flags));
        if (!c.nullFlags) {
            EXPECT_EQ(static_cast<ULONG>(IFILTER_FLAGS_OLE_PROPERTIES), flags) << "set before anything can fail";
        }
        EXPECT_EQ(c.runFolders, RunFoldersNow().size());
        if (c.expected == E_FAIL) {
            STAT_CHUNK stat;
            EXPECT_HR(FILTER_E_END_OF_CHUNKS, filter->GetChunk(&stat)) << "no stream after a failed Init";
        }
        filter.Reset();
        EXPECT_TRUE(RunFoldersNow().empty()) << "the last Release removes the run folder";
        EXPECT_HR(S_OK, m_dll.CanUnloadNow());
    }
}

TEST_F(Init, RunFolderNamesAre32HexDigitsWithLowerCaseData3)
{
    for (int i = 0; i < 16; ++i) {
        CComPtr<IFilter> filter;
        const std::wstring runFolder = StartRun(&filter);
        ASSERT_FALSE(runFolder.empty());
        const std::wstring name = runFolder.substr(TempFolder().size());
        EXPECT_TRUE(IsRunFolderName(name)) << Narrow(name);
    }
}

TEST_F(Init, SecondInitRemovesTheFirstRunFolderWithEverythingInIt)
{
    CComPtr<IFilter> filter;
    const std::wstring first = StartRun(&filter);
    ASSERT_FALSE(first.empty());

    // What a run may leave: files (one read-only), a hidden file, folders within folders.
    for (const wchar_t *name : {L"\\a.txt", L"\\readonly.txt", L"\\hidden.txt"}) {
        HANDLE file = CreateFileW((first + name).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, file);
        CloseHandle(file);
    }
    SetFileAttributesW((first + L"\\readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    SetFileAttributesW((first + L"\\hidden.txt").c_str(), FILE_ATTRIBUTE_HIDDEN);
    MakeNestedFolders(first, 5);
    ASSERT_TRUE(CreateDirectoryW((first + L"\\no extension").c_str(), nullptr));

    EXPECT_HR(S_OK, InitFilter(filter.Get()));
    EXPECT_FALSE(Exists(first)) << "the second Init removes the first run's folder";
    const std::vector<std::wstring> made = RunFoldersNow();
    ASSERT_EQ(1u, made.size());
    EXPECT_NE(first, made[0]);
    filter.Reset();
}

TEST_F(Init, DeepFoldersAreRemovedAsFarAsTheirPathsFit)
{
    struct Case {
        const char *name;
        int depth;
        size_t cchFolderName;
        bool removed;  // a path beyond 2048 characters is passed over, and its folders stay
    };
    const Case cases[] = {
        {"200 levels", 200, 1, true},
        {"up to 1900 characters", 7, 250, true},
        {"beyond 2048 characters", 9, 250, false},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        CComPtr<IFilter> filter;
        const std::wstring runFolder = StartRun(&filter);
        ASSERT_FALSE(runFolder.empty());
        const std::wstring deepest = MakeNestedFolders(runFolder, c.depth, std::wstring(c.cchFolderName, L'd'));
        ASSERT_TRUE(Exists(deepest + L"\\deep.txt"));

        filter.Reset();
        EXPECT_EQ(c.removed, !Exists(runFolder));
        RemoveDirTree(runFolder);
    }
}

TEST_F(Init, AFileHeldOpenByAnotherProgramStaysWithItsFolder)
{
    CComPtr<IFilter> filter;
    const std::wstring runFolder = StartRun(&filter);
    ASSERT_FALSE(runFolder.empty());
    const std::wstring held = runFolder + L"\\held.txt";
    const std::wstring free = runFolder + L"\\free.txt";
    HANDLE file = CreateFileW(held.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, file);
    CloseHandle(CreateFileW(free.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr));

    filter.Reset();
    EXPECT_TRUE(Exists(held));
    EXPECT_FALSE(Exists(free)) << "everything else goes";
    EXPECT_HR(S_OK, m_dll.CanUnloadNow());
    CloseHandle(file);
    EXPECT_TRUE(RemoveDirTree(runFolder));
}

TEST_F(Init, TempFolderThatCannotBeMadeFailsInit)
{
    CScratchDir scratch;
    const std::wstring missing = scratch.Path() + L"\\missing";
    {
        CEnvironmentOverride tmp(L"TMP", missing);
        CEnvironmentOverride temp(L"TEMP", missing);
        CComPtr<IFilter> filter = NewFilter(m_dll);
        ASSERT_TRUE(filter);
        ASSERT_HR(S_OK, LoadFile(filter.Get(), FilterObjectArchive(L"plain.rar")));
        ULONG flags = MARKER;
        EXPECT_HR(E_FAIL, InitFilter(filter.Get(), &flags));
        EXPECT_EQ(static_cast<ULONG>(IFILTER_FLAGS_OLE_PROPERTIES), flags);
        STAT_CHUNK stat;
        EXPECT_HR(FILTER_E_END_OF_CHUNKS, filter->GetChunk(&stat));
    }
    EXPECT_FALSE(Exists(missing));
}

TEST_F(Init, EveryWayOfLettingGoLeavesNothing)
{
    struct Case {
        const char *name;
        bool load;
        int inits;
        bool pull;
    };
    const Case cases[] = {
        {"never loaded", false, 0, false},
        {"loaded, never initialised", true, 0, false},
        {"Init failed", false, 1, false},
        {"initialised", true, 1, false},
        {"initialised, stream pulled to its end", true, 1, true},
        {"initialised three times", true, 3, false},
        {"initialised twice, then pulled to its end", true, 2, true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        CComPtr<IFilter> filter = NewFilter(m_dll);
        ASSERT_TRUE(filter);
        if (c.load) {
            ASSERT_HR(S_OK, LoadFile(filter.Get(), FilterObjectArchive(L"plain.rar")));
        }
        for (int i = 0; i < c.inits; ++i) {
            EXPECT_HR(c.load ? S_OK : E_FAIL, InitFilter(filter.Get()));
        }
        if (c.pull)
            ExpectPullToEnd(filter.Get(), kPlainChunks);
        EXPECT_EQ(c.load && c.inits > 0 ? 1u : 0u, RunFoldersNow().size());
        EXPECT_EQ(0u, filter.Detach()->Release());
        EXPECT_TRUE(RunFoldersNow().empty());
        EXPECT_HR(S_OK, m_dll.CanUnloadNow());
    }
}

// The filter keeps its own copy of the host's flags and attributes: the child filter, initialised
// when the host has long freed its array, is given what the host gave, run after run.
TEST_F(Init, TheHostsAttributeArrayMayGoAwayAfterInit)
{
    CComPtr<IFilter> filter = NewFilter(m_dll);
    ASSERT_TRUE(filter);
    ASSERT_HR(S_OK, LoadFile(filter.Get(), FilterObjectArchive(L"init-report.rar")));

    constexpr GUID kStorage = {0xb725f130, 0x47ef, 0x101a, {0xa5, 0xf1, 0x02, 0x60, 0x8c, 0x9e, 0xeb, 0xac}};
    constexpr GUID kSummary = {0xf29f85e0, 0x4ff9, 0x1068, {0xab, 0x91, 0x08, 0x00, 0x2b, 0x27, 0xb3, 0xd9}};
    struct Attribute {
        GUID set;
        PROPID propid;       // when name is NULL
        const wchar_t *name;
    };
    struct Case {
        const char *name;
        ULONG flags;
        ULONG count;
        std::vector<Attribute> attributes;  // empty: no array
        const char *report;                  // what the child filter's Init was given
        std::vector<PROPID> stream;          // the properties of the chunks the host is given
    };
    // With a list, the host is given only what it asked for: the report (PID_STG_CONTENTS) is on
    // every list, the title and the entry's name only on some.
    const Case cases[] = {
        {"three attributes, one named by a string", HOST_INIT_FLAGS | IFILTER_INIT_APPLY_OTHER_ATTRIBUTES, 3,
         {{kStorage, 10, nullptr}, {kStorage, 0, L"HostProperty"}, {kStorage, 19, nullptr}},
         "flags 0x00000033\nattributes 3\n{B725F130-47EF-101A-A5F1-02608C9EEBAC} propid 10\n"
         "{B725F130-47EF-101A-A5F1-02608C9EEBAC} name HostProperty\n{B725F130-47EF-101A-A5F1-02608C9EEBAC} propid 19",
         {PROPID_ENTRY_NAME, PROPID_CONTENTS}},
        {"a count without an array", IFILTER_INIT_CANON_PARAGRAPHS, 3, {}, "flags 0x00000001\nattributes 0",
         {PROPID_TITLE, PROPID_ENTRY_NAME, PROPID_CONTENTS}},
        {"no attributes", HOST_INIT_FLAGS | IFILTER_INIT_INDEXING_ONLY, 0, {}, "flags 0x00000053\nattributes 0",
         {PROPID_TITLE, PROPID_ENTRY_NAME, PROPID_CONTENTS}},
        {"three other attributes", IFILTER_INIT_APPLY_INDEX_ATTRIBUTES | IFILTER_INIT_CANON_HYPHENS, 3,
         {{kSummary, 2, nullptr}, {kStorage, 0, L"Other \u00e9"}, {kStorage, 19, nullptr}},
         "flags 0x00000014\nattributes 3\n{F29F85E0-4FF9-1068-AB91-08002B27B3D9} propid 2\n"
         "{B725F130-47EF-101A-A5F1-02608C9EEBAC} name Other \u00e9\n{B725F130-47EF-101A-A5F1-02608C9EEBAC} propid 19",
         {PROPID_TITLE, PROPID_CONTENTS}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        FULLPROPSPEC *aSpecs = nullptr;
        std::vector<wchar_t *> names;
        if (!c.attributes.empty()) {
            aSpecs = new FULLPROPSPEC[c.attributes.size()];
            for (size_t i = 0; i < c.attributes.size(); ++i) {
                const Attribute &a = c.attributes[i];
                aSpecs[i].guidPropSet = a.set;
                if (a.name == nullptr) {
                    aSpecs[i].psProperty.ulKind = PRSPEC_PROPID;
                    aSpecs[i].psProperty.propid = a.propid;
                } else {
                    wchar_t *pszName = new wchar_t[wcslen(a.name) + 1];
                    wcscpy(pszName, a.name);
                    names.push_back(pszName);
                    aSpecs[i].psProperty.ulKind = PRSPEC_LPWSTR;
                    aSpecs[i].psProperty.lpwstr = pszName;
                }
            }
        }
        ULONG flags = MARKER;
        EXPECT_HR(S_OK, filter->Init(c.flags, c.count, aSpecs, &flags));
        // The host frees its array (and scribbles over it first) before it pulls the stream.
        for (wchar_t *pszName : names) {
            wmemset(pszName, L'#', wcslen(pszName));
            delete[] pszName;
        }
        if (aSpecs != nullptr) {
            memset(aSpecs, 0xcd, c.attributes.size() * sizeof(FULLPROPSPEC));
            delete[] aSpecs;
        }
        HRESULT hrEnd = S_OK;
        const std::vector<SeenChunk> chunks = ReadAllChunks(filter.Get(), {}, &hrEnd);
        EXPECT_HR(FILTER_E_END_OF_CHUNKS, hrEnd);
        std::vector<PROPID> stream;
        for (const SeenChunk &chunk : chunks)
            stream.push_back(chunk.propid);
        ASSERT_EQ(c.stream, stream) << "the title, the entry's name and the child filter's report, as asked for";
        for (const SeenChunk &chunk : chunks) {
            if (chunk.propid == PROPID_ENTRY_NAME) {
                EXPECT_EQ(L"report.txt", chunk.text);
            }
        }
        EXPECT_EQ(c.report, Narrow(chunks.back().text));
    }
    filter.Reset();
}
