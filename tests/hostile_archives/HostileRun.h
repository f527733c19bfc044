// What every hostile-archive test checks, whatever the archive: the filter is driven the way a
// search host drives it (COM creation, Load, Init, every chunk with its text or value, Release),
// and afterwards the stream has ended, nothing was written outside the run folder, no run folder
// or file is left and the DLL can unload.
#pragma once
#include <windows.h>
#include <filter.h>
#include <gtest/gtest.h>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "ArchiveTestHelpers.h"
#include "FilterHost.h"
#include "TestHelpers.h"

std::wstring HostileArchive(const std::wstring &name);  // TEST_DATA_DIR\hostile\name
// A test-case name from an archive's file name: "stream-dotdot.rar" gives "stream_dotdot".
std::string CaseName(const std::wstring &archive);

// The places a file escaping the run folder can reach, as "path|size" lines: the whole users tree
// (the temp folder, its parents and the profile), the top of the drive and of the Windows folder,
// the archive's own folder and the test data folder, and the current folder. Run folders (the
// filter's own, checked apart) are passed over.
std::set<std::wstring> EscapeTargets();
// Lines in `after` that are not in `before`, and lines gone, as "+ line" / "- line".
std::wstring SnapshotDiff(const std::set<std::wstring> &before, const std::set<std::wstring> &after);
// Every file or folder named escape-* anywhere on drive C: and below the test data folder: the name
// every would-be escape in the hostile archives carries.
std::vector<std::wstring> EscapeFilesAnywhere();

class HostileArchiveTest : public FilterHostTest
{
protected:
    // COM on the test's thread, as a search host's filter threads have it.
    HostileArchiveTest() : FilterHostTest({/*runFolders*/ true, /*dllUnloads*/ true, /*childFilters*/ false, /*com*/ COINIT_MULTITHREADED}) {}

    // Filters one archive as a host does, then checks the run left nothing behind (see above).
    // afterEachChunk runs after every chunk, while the run folder exists.
    std::vector<SeenChunk> FilterHostile(const std::wstring &archive,
                                         const std::function<void(const SeenChunk &)> &afterEachChunk = {});
};
