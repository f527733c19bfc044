// The fuzz program's host: loads Pellucidor.dll once and filters one archive after another the
// way a search host does (class factory, Load, Init, every chunk with its text or values,
// Release), checking after each that the stream ended, that no object keeps the DLL, that no
// child filter object or reference to its DLL is left (but the one reference the DLL list's
// first probe keeps), and that nothing was written outside the run's folder.
//
// Every run happens in a "jail" below the work folder, whose temp folder is the process's TMP:
//   <work>\jail\l1\l2\l3\tmp\<run folder>   what the filter makes
//   <work>\jail\l1\l2\l3\in\<archive>       the archive (and the later parts of a volume set)
// The levels above catch an extraction that climbs out of the run folder with "..\".
#pragma once
#include <windows.h>
#include <filter.h>
#include <memory>
#include <string>
#include <vector>

#include "HostCalls.h"
#include "support/Holders.h"

struct FuzzOutcome {
    bool ok = true;
    std::string failure;  // what went wrong, when not ok
    unsigned chunks = 0;       // chunks handed out
    unsigned childChunks = 0;  // of them, chunks of a child filter (not the title or an entry name)
    unsigned streamChunks = 0, streamChildChunks = 0;  // the same through IPersistStream, when both ran
};

// How the archive reaches the filter: by its path (IPersistFile), or as a stream over its bytes
// with no name (IPersistStream), as Windows Search hands it over.
enum class FuzzRoute { File, Stream };

// The jail's folders below a work folder.
class CJail
{
public:
    explicit CJail(const std::wstring &work);
    void Make() const;   // creates the folders
    void Clean() const;  // removes everything in it but its own folders
    const std::wstring &Tmp() const { return m_tmp; }
    const std::wstring &In() const { return m_in; }
    // Anything in the jail but its folders, `inputs` in In() and, when allowed, one run folder
    // with its contents in Tmp() fails the outcome.
    void Check(bool runFolderAllowed, const std::vector<std::wstring> &inputs, FuzzOutcome *pOutcome) const;

private:
    std::wstring m_root, m_tmp, m_in;
};

class CFuzzHost
{
public:
    // Makes the jail below `work` and points the process's TMP and TEMP into it. `fixturePaths`:
    // the child filters whose objects and module references are counted after each run.
    CFuzzHost(const std::wstring &work, const std::wstring &dllPath, const std::vector<std::wstring> &fixturePaths);
    bool Ready(std::string *pWhy) const;
    const CJail &Jail() const { return m_jail; }
    HMODULE Module() const { return m_dll ? m_dll->Module() : nullptr; }

    // Filters the archive at Jail().In()\name; `companions` are the other files expected beside
    // it. `withAttributes` passes an attribute list to Init, as some hosts do.
    FuzzOutcome FilterOnce(const std::wstring &name, const std::vector<std::wstring> &companions,
                           bool withAttributes, FuzzRoute route);

private:
    void CheckStream(IFilter *filter, FuzzOutcome *pOutcome);
    void CheckOutsideJail(FuzzOutcome *pOutcome) const;

    std::wstring m_work;
    CJail m_jail;
    std::vector<std::wstring> m_fixturePaths;
    std::wstring m_userTemp;  // the temp folder before TMP was changed
    std::vector<std::wstring> m_workNames, m_driveRootNames, m_userTempNames;
    std::unique_ptr<CProductDll> m_dll;
    std::string m_setupError;
};

// The whole content of a file; false when it cannot be read.
bool ReadBytes(const std::wstring &path, std::vector<uint8_t> *pBytes);
// Names directly in a folder (no "." and ".."), sorted.
std::vector<std::wstring> NamesIn(const std::wstring &folder);
// Removes a folder tree; true when it is gone.
bool RemoveTree(const std::wstring &folder);
