// Helpers of the crawler and stream tests: a scratch folder in the temp directory, the files in
// a folder, the test archives, and a stand-in for the child-filter registry lookup.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

std::wstring ArchivePath(const std::wstring &name);  // TEST_DATA_DIR\archives\name

// A folder made in the temp directory for one test and removed with everything in it
// (CScratchDir of FilterHost.h, with control over the path's length).
class CScratchFolder
{
public:
    // The folder's full path (without a trailing backslash) gets exactly cchPath characters when
    // cchPath is not 0 (padded with 'p'); otherwise a short unique name.
    explicit CScratchFolder(size_t cchPath = 0);
    ~CScratchFolder();
    CScratchFolder(const CScratchFolder &) = delete;
    CScratchFolder &operator=(const CScratchFolder &) = delete;
    const std::wstring &Path() const { return m_path; }

private:
    std::wstring m_path;
};

// Names of the files (not folders) directly inside a folder.
std::vector<std::wstring> FilesIn(const std::wstring &folder);
// A whole file's bytes as text (ASCII/UTF-8 test contents); empty when it cannot be read.
std::string ReadFileText(const std::wstring &path);

// While alive, the child-filter loader "finds" a filter for names whose extension (from the
// last dot, case-insensitive) is in the list; "*" finds one for every name.
class CFindFilterFor
{
public:
    explicit CFindFilterFor(std::vector<std::wstring> extensions);
    ~CFindFilterFor();
    CFindFilterFor(const CFindFilterFor &) = delete;
    CFindFilterFor &operator=(const CFindFilterFor &) = delete;
    static const std::vector<std::wstring> &Asked();  // names asked about, in order
};

class CRarFileCrawler;
class CChildFilterLoader;

// The filter object's part in a walk, for the crawler's own tests: the next entry, and when the
// loader finds a filter for it, its document read into memory (bMemory, and that filter reads
// streams) or else extracted. S_OK: an entry, pszExtracted its file or empty; S_FALSE: an entry
// whose document could not be had; FILTER_E_END_OF_CHUNKS: no more; E_FAIL: a name did not fit.
HRESULT WalkOneEntry(CRarFileCrawler &crawler, CChildFilterLoader &loader, wchar_t *pszName, ULONG cchName,
                     wchar_t *pszFolder, ULONG cchFolder, wchar_t *pszExtracted, ULONG cchExtracted,
                     bool bMemory = false);
