// The one host of the test programs (HostCalls.h) in GoogleTest's terms: a filter object made,
// an archive filtered and its stream compared with what is expected, failures reported; and the
// test fixture that checks what a run leaves behind. The areas choose among its options.
#pragma once
#include <windows.h>
#include <filter.h>
#include <gtest/gtest.h>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "HostCalls.h"
#include "TestHelpers.h"
#include "support/Holders.h"

// A new filter object's IFilter; reports a test failure and returns NULL when none is made.
CComPtr<IFilter> NewFilter(const CProductDll &dll);
// A filter object of the core library, made in this process without the COM module, as the
// class factory makes one: for tests that set the product's test seams.
CComPtr<IFilter> CreateFilterInProcess();

// PullToEnd in a test: a failed GetChunk or a stream without end fails the test with the result
// and the call it came from; with expectedChunks >= 0 the count must be that. Returns the count.
int ExpectPullToEnd(IFilter *pFilter, int expectedChunks = -1);

// How FilterArchive runs.
struct HostOptions {
    LoadRoute route = LoadRoute::File;
    bool withAttributes = false;  // Init gets HostAttributes()
    PullOptions pull;
};

// Filters an archive through the product DLL, as a host does: a new filter object, Load, Init
// (both must give S_OK), every chunk with its text or value until the end (which must come),
// Release. afterEachChunk runs after every chunk is read.
std::vector<SeenChunk> FilterArchive(const CProductDll &dll, const std::wstring &archive, const HostOptions &options);
std::vector<SeenChunk> FilterArchive(const CProductDll &dll, const std::wstring &archive,
                                     const std::function<void(const SeenChunk &)> &afterEachChunk = {});

// One expected chunk. Ids are not written: they must run 1, 2, 3, ... and each chunk be its own source.
struct ExpectedChunk {
    DWORD flags;
    PROPID propid;
    std::wstring text;
    VARTYPE vt = VT_EMPTY;
};
ExpectedChunk Title(const std::wstring &name);      // an archive without comment: its base name as a value
ExpectedChunk EntryName(const std::wstring &path);  // the entry's path inside the archive
ExpectedChunk Text(const std::wstring &text);       // a fixture filter's paragraph
// The value fixture's six values as a host receives them ("noindex" and "none" strings emptied).
std::vector<ExpectedChunk> FixtureValues();
// Concatenates pieces of an expected stream.
std::vector<ExpectedChunk> Stream(std::initializer_list<std::vector<ExpectedChunk>> parts);

// Compares what the host saw with what was expected, chunk by chunk, and the numbering. With
// anyTitle the first chunk must be a title, whatever its form, and `expected` is the rest.
void ExpectStream(const std::vector<SeenChunk> &seen, const std::vector<ExpectedChunk> &expected,
                  bool anyTitle = false);

// Test archives made by tests/setup.d/30-filter-object.sh.
std::wstring FilterObjectArchive(const std::wstring &name);  // TEST_DATA_DIR\filter_object\name
std::wstring ChildArchive(const std::wstring &name);         // TEST_DATA_DIR\child_filters\name
// The stream of plain.rar (and of its copies under other names): the title, the entry's name and
// the one paragraph the plain-text fixture filter reads from it.
constexpr int kPlainChunks = 3;

// The run folders that appeared since `before` (an earlier RunFolders() result).
std::vector<std::wstring> NewRunFolders(const std::vector<std::wstring> &before);

// Removes a folder tree a test made, at any depth and path length; true when it is gone.
bool RemoveDirTree(const std::wstring &folder);

// A uniquely named folder in the temp directory (never 32 hexadecimal digits), removed with
// everything in it at scope end.
class CScratchDir
{
public:
    CScratchDir();
    ~CScratchDir() { RemoveDirTree(m_path); }
    CScratchDir(const CScratchDir &) = delete;
    CScratchDir &operator=(const CScratchDir &) = delete;
    const std::wstring &Path() const { return m_path; }  // without a trailing backslash
    // Creates a file below the folder with the given contents; returns its full path.
    std::wstring MakeFile(const std::wstring &name, const std::string &contents = "x") const;

private:
    std::wstring m_path;
};

// Sets an environment variable for one scope, as a host started with it would have it (TMP and
// TEMP steer the run folders).
class CEnvironmentOverride
{
public:
    CEnvironmentOverride(const wchar_t *name, const std::wstring &value);
    ~CEnvironmentOverride();
    CEnvironmentOverride(const CEnvironmentOverride &) = delete;
    CEnvironmentOverride &operator=(const CEnvironmentOverride &) = delete;

private:
    const wchar_t *m_name;
    bool m_had = false;
    std::wstring m_old;
};

// While alive, HKEY_LOCAL_MACHINE is an empty scratch key for this process, so no child filter is
// found for any extension, whatever the prefix registers (tests/setup.d/30-child-filters.sh
// registers the plain-text filter for .txt): the stream holds the archive's own chunks only.
class CNoChildFilters
{
public:
    CNoChildFilters();
    ~CNoChildFilters();
    CNoChildFilters(const CNoChildFilters &) = delete;
    CNoChildFilters &operator=(const CNoChildFilters &) = delete;

private:
    CRegKey m_scratch;
};

// The fixture text filter's live objects (0 when its DLL is not loaded), and the references to
// its DLL. The DLL list keeps the one reference its first probe of the DLL took for the process;
// every other reference taken for a child filter is given back with the child.
LONG ChildObjects();
int ChildDllReferences();
constexpr int PROBE_REFERENCES = 1;

// What a test's end checks besides its own assertions.
struct HostChecks {
    bool runFolders = true;     // no run folder of its own left in the temp folder
    bool dllUnloads = true;     // DllCanUnloadNow: no object, factory or lock keeps the DLL
    bool childFilters = false;  // no fixture text filter object alive, no reference to its DLL kept
    // COM initialised on the test's thread with these COINIT flags, as a host's filter threads
    // have it (the child-filter loader needs it); -1: not at all.
    int com = -1;
};

// A test that drives the product DLL as a host does, and ends where it started.
class FilterHostTest : public ::testing::Test
{
protected:
    explicit FilterHostTest(HostChecks checks = {}) : m_checks(checks) {}
    void SetUp() override;
    void TearDown() override;

    // Full paths of the run folders made since the test began.
    std::vector<std::wstring> RunFoldersNow() const;
    // A new object with the archive loaded and initialised (both must give S_OK).
    CComPtr<IFilter> StartRun(const std::wstring &archive);
    // The same with plain.rar into *pFilter; the full path of the one run folder it made, or
    // empty (with a failure reported) when it made none.
    std::wstring StartRun(CComPtr<IFilter> *pFilter);

    CProductDll m_dll;
    std::vector<std::wstring> m_runFoldersBefore;

private:
    HostChecks m_checks;
    bool m_bComInitialised = false;
};
