#include "HostFixture.h"

#include <algorithm>
#include <functional>

#include "FixtureDll.h"
#include "ModuleProbe.h"
#include "support/ProcAddress.h"

namespace {

SeenChunk Chunk(ULONG id, DWORD flags, PROPID propid, const std::wstring &text)
{
    SeenChunk chunk;
    chunk.id = chunk.source = id;
    chunk.flags = flags;
    chunk.propid = propid;
    chunk.text = text;
    chunk.vt = flags == CHUNK_VALUE ? VT_LPWSTR : VT_EMPTY;
    return chunk;
}

constexpr PROPID PROPID_CONTENTS = 19;  // PID_STG_CONTENTS, the fixture's text chunks

} // namespace

std::wstring ThreadArchive(int k) { return TestDataPath(L"hostile_hosts\\thread-" + std::to_wstring(k) + L".rar"); }

std::vector<SeenChunk> ExpectedStream(int k)
{
    const std::wstring n = std::to_wstring(k);
    std::vector<SeenChunk> chunks;
    if (k % 4 == 0)
        chunks.push_back(Chunk(1, CHUNK_TEXT, PROPID_TITLE, L"comment of archive " + n));
    else
        chunks.push_back(Chunk(1, CHUNK_VALUE, PROPID_TITLE, L"thread-" + n));
    chunks.push_back(Chunk(2, CHUNK_TEXT, PROPID_ENTRY_NAME, L"one-" + n + L".txt"));
    for (const wchar_t *which : {L"first", L"second", L"third"})
        chunks.push_back(Chunk(static_cast<ULONG>(chunks.size() + 1), CHUNK_TEXT, PROPID_CONTENTS,
                               L"archive " + n + L" " + which + L" paragraph"));
    chunks.push_back(Chunk(6, CHUNK_TEXT, PROPID_ENTRY_NAME, L"docs\\two-" + n + L".txt"));
    std::wstring lines;
    for (int i = 1; i <= 2000; ++i)
        lines += (i > 1 ? L"\n" : L"") + (L"archive " + n + L" line " + std::to_wstring(i));
    chunks.push_back(Chunk(7, CHUNK_TEXT, PROPID_CONTENTS, lines));
    chunks.push_back(Chunk(8, CHUNK_TEXT, PROPID_ENTRY_NAME, L"data-" + n + L".bin"));
    return chunks;
}

std::vector<std::string> Lines(const std::vector<SeenChunk> &chunks)
{
    std::vector<std::string> lines;
    for (const SeenChunk &chunk : chunks) {
        std::string line = Narrow(FormatChunk(chunk));
        // A long text is shown by its start, its length and a hash, so that a difference stays readable.
        if (chunk.text.size() > 200)
            line = Narrow(FormatChunk([&] {
                       SeenChunk head = chunk;
                       head.text.resize(60);
                       return head;
                   }())) +
                   "... (" + std::to_string(chunk.text.size()) + " characters, hash " +
                   std::to_string(std::hash<std::wstring>()(chunk.text)) + ")";
        lines.push_back(line);
    }
    return lines;
}

LONG ChildObjects()
{
    // Read through the loaded module without a reference of ours, which would change the count.
    const HMODULE hModule = GetModuleHandleW(FixturePath(FIXTURE_ROW_TEXT).c_str());
    const auto pfn = hModule != nullptr ? GetProcAs<LONG(WINAPI *)()>(hModule, "FixtureObjectCount") : nullptr;
    return pfn != nullptr ? pfn() : 0;
}

int ChildDllReferences() { return std::max(0, ModuleLoadCount(FixturePath(FIXTURE_ROW_TEXT).c_str())); }

void HostileHostTest::SetUp() { m_runFoldersBefore = RunFolders(); }

void HostileHostTest::TearDown()
{
    EXPECT_TRUE(NewRunFolders(m_runFoldersBefore).empty()) << "run folders left in the temp folder";
    EXPECT_HR(S_OK, m_dll.CanUnloadNow()) << "an object, factory or lock is still alive";
    EXPECT_EQ(0, ChildObjects()) << "child filter objects alive";
    EXPECT_LE(ChildDllReferences(), PROBE_REFERENCES) << "references to the child filter's DLL";
}
