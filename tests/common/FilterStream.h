// A host's view of a filter's chunk stream: every chunk GetChunk hands out, with its whole text
// (GetText until it ends) or its value (GetValue), pulled the way a search host pulls them.
#pragma once
#include <windows.h>
#include <filter.h>
#include <functional>
#include <string>
#include <vector>

struct SeenChunk {
    ULONG id = 0;
    ULONG source = 0;
    DWORD flags = 0;       // CHUNK_TEXT or CHUNK_VALUE
    GUID fmtid = {};
    PROPID propid = 0;     // the attribute's property id (PRSPEC_PROPID)
    std::wstring text;     // the whole text, or the value's string
    VARTYPE vt = VT_EMPTY; // the value's type; VT_EMPTY for text chunks
    HRESULT hrLast = S_OK; // what ended the GetText / GetValue reading
    bool overran = false;  // GetText claimed more characters than the buffer holds (none are kept)
};

// Pulls chunks until GetChunk fails (at most maxChunks), calling afterEachChunk after every
// chunk has been read (GetChunk, then its whole text or its value). The result that ended the
// stream is put in *phrEnd when given.
std::vector<SeenChunk> ReadAllChunks(IFilter *filter, const std::function<void(const SeenChunk &)> &afterEachChunk = {},
                                     HRESULT *phrEnd = nullptr, size_t maxChunks = 100000);

// One line per chunk: "id source T|V propid vt text" with control characters escaped; the format
// the host program prints and the tests parse back.
std::wstring FormatChunk(const SeenChunk &chunk);
bool ParseChunk(const std::wstring &line, SeenChunk *pChunk);

// Property ids of the filter's own chunks.
constexpr PROPID PROPID_TITLE = 2;       // PIDSI_TITLE, FMTID_SummaryInformation
constexpr PROPID PROPID_ENTRY_NAME = 10; // PID_STG_NAME, FMTID_Storage
