// What every hostile-host test shares: the fixture text filter registered as the child filter for
// .txt, the eight thread archives made by tests/setup.d/80-hostile-hosts.sh with the stream a host
// must see for each, and the checks that end every test: no run folder left, no object keeping
// Pellucidor.dll, the child filter's DLL unloaded, the registry as it was.
#pragma once
#include <filterr.h>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

#include "FilterHost.h"
#include "FilterStream.h"
#include "FixtureRegistration.h"
#include "TestHelpers.h"

constexpr int THREAD_ARCHIVES = 8;

// TEST_DATA_DIR\hostile_hosts\thread-<k>.rar
std::wstring ThreadArchive(int k);

// The chunks a host must see for thread-<k>.rar, as the archive was made: the title (the comment
// of every fourth archive, else the name), then per entry its name and the fixture's paragraphs.
std::vector<SeenChunk> ExpectedStream(int k);

// The whole stream of one archive, filtered alone: a new object, Load, Init, every chunk, Release.
std::vector<SeenChunk> FilterAlone(const CProductDll &dll, const std::wstring &archive);

// The chunk lines (FormatChunk) of a stream, for comparisons that print what differs.
std::vector<std::string> Lines(const std::vector<SeenChunk> &chunks);

// Is the fixture text filter's DLL loaded in this process?
bool ChildDllLoaded();

class HostileHostTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    CProductDll m_dll;
    std::vector<std::wstring> m_runFoldersBefore;
    std::wstring m_registryBefore;
    std::unique_ptr<CFixtureRegistration> m_registration;
};
