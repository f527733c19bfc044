#include "ThreadArchives.h"

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
