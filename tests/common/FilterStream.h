// A host's view of a filter's chunk stream: every chunk GetChunk hands out, with its whole text
// (GetText until it ends) or its value (GetValue), pulled the way a search host pulls them.
// Free of GoogleTest, so that helper programs can print a stream as well.
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
    STAT_CHUNK stat = {};  // as GetChunk handed it out
    HRESULT hr = S_OK;     // GetChunk's answer (a failure is kept as a chunk only with keepFailures)
    // Thorough pulls only: every piece's count, every value ("vt=N" for other than VT_LPWSTR), and
    // the answers that ended GetText and GetValue.
    std::vector<ULONG> pieces;
    std::vector<std::wstring> values;
    HRESULT textEnd = S_OK;
    HRESULT valueEnd = S_OK;
};

struct PullOptions {
    ULONG cwcBuffer = 256;      // GetText's buffer
    size_t maxChunks = 100000;  // bound on GetChunk calls
    // Every chunk asked for text until GetText fails and for values until GetValue fails, whatever
    // its kind and past FILTER_S_LAST_TEXT, as a strict host does; otherwise by its kind.
    bool thorough = false;
    // A GetChunk failure other than the end kept as a chunk (hr set) and the pull going on.
    bool keepFailures = false;
    // Runs after every chunk has been read (GetChunk, then its whole text or its value).
    std::function<void(const SeenChunk &)> afterEachChunk;
};

// The strict host of the stream tests: a 4096-character buffer, every chunk read both ways,
// failures kept, at most 100 chunks.
PullOptions ThoroughPull();

// Pulls chunks until GetChunk fails (see PullOptions). The result that ended the stream is put in
// *phrEnd when given.
std::vector<SeenChunk> ReadAllChunks(IFilter *filter, const PullOptions &options = {}, HRESULT *phrEnd = nullptr);

// One line per chunk: "id source T|V propid vt text" with control characters escaped; the format
// the host program prints and the tests parse back.
std::wstring FormatChunk(const SeenChunk &chunk);
bool ParseChunk(const std::wstring &line, SeenChunk *pChunk);

// The whole stream as the stream tests compare it, a line per chunk:
// "0x00000000 id=N src=N flags=F prop=SET/PROPID text="..." value="..."" from its STAT_CHUNK.
std::string DescribeStream(const std::vector<SeenChunk> &chunks);
// FormatChunk lines, a long text shown by its start, its length and a hash so that a difference
// stays readable.
std::vector<std::string> StreamLines(const std::vector<SeenChunk> &chunks);

// Property ids of the filter's own chunks, and of the fixture filters' text.
constexpr PROPID PROPID_TITLE = 2;       // PIDSI_TITLE, FMTID_SummaryInformation
constexpr PROPID PROPID_ENTRY_NAME = 10; // PID_STG_NAME, FMTID_Storage
constexpr PROPID PROPID_CONTENTS = 19;   // PID_STG_CONTENTS

// UTF-8 and back, for messages and printed lines.
std::string Narrow(const std::wstring &text);
std::wstring Widen(const std::string &text);
