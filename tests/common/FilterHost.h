// The filter driven the way a search host drives it, through the real DLL: the class factory,
// CreateInstance, IPersistFile::Load, IFilter::Init and GetChunk until the stream's end.
#pragma once
#include <windows.h>
#include <filter.h>
#include <functional>
#include <string>
#include <vector>

#include "FilterStream.h"
#include "TestHelpers.h"
#include "support/Holders.h"

// Flags a search host passes to Init.
constexpr ULONG HOST_INIT_FLAGS = IFILTER_INIT_CANON_PARAGRAPHS | IFILTER_INIT_HARD_LINE_BREAKS |
                                  IFILTER_INIT_APPLY_INDEX_ATTRIBUTES;

// DllGetClassObject, CreateInstance(NULL, riid), Release of the factory.
HRESULT CreateFilter(const CProductDll &dll, REFIID riid, void **ppv);

// A new filter object's IFilter; reports a test failure and returns NULL when none is made.
CComPtr<IFilter> NewFilter(const CProductDll &dll);
// A filter object of the core library, made in this process without the COM module, as the
// class factory makes one: for tests that set the product's test seams.
CComPtr<IFilter> CreateFilterInProcess();

// IPersistFile::Load through the filter's IFilter.
HRESULT LoadFile(IFilter *pFilter, const std::wstring &path);

// Init with the host's flags and no attributes; the reported flags go to *pFlags when given.
HRESULT InitFilter(IFilter *pFilter, ULONG *pFlags = nullptr);

// GetChunk until FILTER_E_END_OF_CHUNKS, at most maxCalls calls. Returns the number of chunks
// handed out, or -1 when a GetChunk failed otherwise or the end did not come; what stopped the
// pull (the end, the failure, or S_OK when the calls ran out) goes to *phrStop when given.
// Reports nothing itself: helper programs and host threads call it too.
int PullToEnd(IFilter *pFilter, int maxCalls = 100000, HRESULT *phrStop = nullptr);

// PullToEnd in a test: a failed GetChunk or a stream without end fails the test with the result
// and the call it came from; with expectedChunks >= 0 the count must be that. Returns the count.
int ExpectPullToEnd(IFilter *pFilter, int expectedChunks = -1);

// Filters an archive through the product DLL, as a host does: a new filter object, Load, Init,
// every chunk with its text or value, Release. afterEachChunk runs after every chunk is read.
std::vector<SeenChunk> FilterArchive(const CProductDll &dll, const std::wstring &archive,
                                     const std::function<void(const SeenChunk &)> &afterEachChunk = {});

// Test archives made by tests/setup.d/30-filter-object.sh.
std::wstring FilterObjectArchive(const std::wstring &name);  // TEST_DATA_DIR\filter_object\name
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
