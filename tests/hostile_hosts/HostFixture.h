// What every hostile-host test shares: the eight thread archives made by
// tests/setup.d/80-hostile-hosts.sh with the stream a host must see for each (the fixture text
// filter, which tests/setup.d/30-child-filters.sh registers for .txt, as the child filter), and
// the checks that end every test: no run folder left, no object keeping Pellucidor.dll, no child
// filter object alive and no reference to its DLL kept beyond the DLL list's own.
#pragma once
#include <filterr.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "FilterHost.h"
#include "FilterStream.h"
#include "TestHelpers.h"

constexpr int THREAD_ARCHIVES = 8;

// TEST_DATA_DIR\hostile_hosts\thread-<k>.rar
std::wstring ThreadArchive(int k);

// The chunks a host must see for thread-<k>.rar, as the archive was made: the title (the comment
// of every fourth archive, else the name), then per entry its name and the fixture's paragraphs.
std::vector<SeenChunk> ExpectedStream(int k);

// The chunk lines (FormatChunk) of a stream, for comparisons that print what differs.
std::vector<std::string> Lines(const std::vector<SeenChunk> &chunks);

// The fixture text filter's live objects (0 when its DLL is not loaded), and the references to
// its DLL. The DLL list keeps the one reference its first probe of the DLL took for the process;
// every other reference taken for a child filter is given back with the child.
LONG ChildObjects();
int ChildDllReferences();
constexpr int PROBE_REFERENCES = 1;

class HostileHostTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    CProductDll m_dll;
    std::vector<std::wstring> m_runFoldersBefore;
};
