// What a search host does with a filter, and what it sees: the DLL loaded and a filter object made
// through its class factory, Load by path or stream, Init with the host's flags, and every chunk
// GetChunk hands out, with its whole text (GetText until it ends) or its value (GetValue).
// Free of GoogleTest: the host programs (SearchHost, the fuzz driver) use it as the tests do.
#pragma once
#include <windows.h>
#include <filter.h>
#include <functional>
#include <string>
#include <vector>

// The product DLL, loaded with LoadLibraryW, and its exports.
class CProductDll
{
public:
    CProductDll();  // from the build folder; a test failure when it does not load
    explicit CProductDll(const std::wstring &path);
    ~CProductDll();
    CProductDll(const CProductDll &) = delete;
    CProductDll &operator=(const CProductDll &) = delete;

    HMODULE Module() const { return m_hModule; }
    HRESULT GetClassObject(REFCLSID clsid, REFIID iid, void **ppv) const;
    HRESULT CanUnloadNow() const;
    HRESULT RegisterServer() const;
    HRESULT UnregisterServer() const;

private:
    HMODULE m_hModule = nullptr;
};

// DllGetClassObject, CreateInstance(NULL, riid), Release of the factory.
HRESULT CreateFilter(const CProductDll &dll, REFIID riid, void **ppv);

// How a host hands the archive over: IPersistFile::Load with its path, or IPersistStream::Load
// with a stream on the file that names it (as Windows Search's filter host does).
enum class LoadRoute { File, Stream };

// Load through the filter's IFilter.
HRESULT LoadFile(IFilter *pFilter, const std::wstring &path, LoadRoute route = LoadRoute::File);
HRESULT LoadStream(IFilter *pFilter, IStream *pStream);

// Flags a search host passes to Init.
constexpr ULONG HOST_INIT_FLAGS = IFILTER_INIT_CANON_PARAGRAPHS | IFILTER_INIT_HARD_LINE_BREAKS |
                                  IFILTER_INIT_APPLY_INDEX_ATTRIBUTES;
// What some hosts ask for: PID_STG_CONTENTS by its id and by a name.
const std::vector<FULLPROPSPEC> &HostAttributes();
// Init with the host's flags, with no attributes or with HostAttributes(); the reported flags go
// to *pFlags when given.
HRESULT InitFilter(IFilter *pFilter, ULONG *pFlags = nullptr, bool withAttributes = false);

// LoadFile, then InitFilter; returns Init's answer, or Load's when it failed.
HRESULT LoadAndInit(IFilter *pFilter, const std::wstring &path, LoadRoute route = LoadRoute::File);

// GetChunk until it fails, at most maxCalls calls; the chunks handed out, and what stopped the pull
// (the end, the failure, or S_OK when the calls ran out) in *phrStop.
int CountChunks(IFilter *pFilter, int maxCalls, HRESULT *phrStop);
// The same to FILTER_E_END_OF_CHUNKS: the number of chunks, or -1 when a GetChunk failed otherwise
// or the end did not come. Reports nothing itself: helper programs and host threads call it too.
int PullToEnd(IFilter *pFilter, int maxCalls = 100000, HRESULT *phrStop = nullptr);

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
    std::vector<ULONG> pieces;         // every piece's count (thorough pulls)
    std::vector<std::wstring> values;  // every value, "vt=N" for other than VT_LPWSTR (all values read)
    bool nullValue = false;            // a GetValue succeeded without a value
    HRESULT textEnd = S_OK;            // the answers that ended GetText and GetValue
    HRESULT valueEnd = S_OK;
};

// Bounds on the calls for one chunk's text and values.
constexpr int MAX_TEXT_CALLS = 100000;
constexpr int MAX_VALUE_CALLS = 100;

struct PullOptions {
    ULONG cwcBuffer = 256;      // GetText's buffer
    size_t maxChunks = 100000;  // bound on GetChunk calls
    // Every chunk asked for text until GetText fails and for values until GetValue fails, whatever
    // its kind and past FILTER_S_LAST_TEXT, as a strict host does; otherwise by its kind.
    bool thorough = false;
    // A value chunk asked for values until GetValue fails, not once only.
    bool allValues = false;
    // A GetChunk failure other than the end kept as a chunk (hr set) and the pull going on.
    bool keepFailures = false;
    // Runs after every chunk has been read (GetChunk, then its whole text or its value).
    std::function<void(const SeenChunk &)> afterEachChunk;
};

// The strict host of the stream tests: a 4096-character buffer, every chunk read both ways,
// failures kept, at most 100 chunks.
PullOptions ThoroughPull();

// Reads the chunk GetChunk handed out last into *pChunk, whose flags say its kind: its whole text
// or its value (see PullOptions).
void ReadChunk(IFilter *filter, const PullOptions &options, SeenChunk *pChunk);

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

// A marker that shows when an out-parameter was left untouched.
constexpr DWORD MARKER = 0xdeadbeef;
inline void *MarkerPointer() { return reinterpret_cast<void *>(static_cast<UINT_PTR>(MARKER)); }

// Prints an HRESULT as 0x8XXXXXXX.
std::string HrText(HRESULT hr);
// UTF-8 and back, for messages and printed lines.
std::string Narrow(const std::wstring &text);
std::wstring Widen(const std::string &text);
