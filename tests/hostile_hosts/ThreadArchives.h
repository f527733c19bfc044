// What every hostile-host test shares: the eight thread archives made by
// tests/setup.d/80-hostile-hosts.sh with the stream a host must see for each (the fixture text
// filter, which tests/setup.d/30-child-filters.sh registers for .txt, as the child filter), and
// the fixture whose end checks, besides the run folders and the DLL, that no child filter object
// is alive and no reference to its DLL is kept beyond the DLL list's own.
#pragma once
#include <filterr.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "FilterHost.h"
#include "TestHelpers.h"

constexpr int THREAD_ARCHIVES = 8;

// TEST_DATA_DIR\hostile_hosts\thread-<k>.rar
std::wstring ThreadArchive(int k);

// The chunks a host must see for thread-<k>.rar, as the archive was made: the title (the comment
// of every fourth archive, else the name), then per entry its name and the fixture's paragraphs.
std::vector<SeenChunk> ExpectedStream(int k);

class HostileHostTest : public FilterHostTest
{
protected:
    HostileHostTest() : FilterHostTest({/*runFolders*/ true, /*dllUnloads*/ true, /*childFilters*/ true, /*com*/ -1}) {}
};
