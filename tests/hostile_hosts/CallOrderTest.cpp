// A host that calls out of order, repeats itself or passes bad arguments: every call gets a clear
// result, and nothing of the stream is lost: after the bad call the host still gets every chunk,
// text and value a well-behaved host would have got from that point on, with the same ids.
// Each row drives one filter object through the real DLL and ends with its Release; the fixture
// then checks the run folders, the object count and that the child filter's DLL is gone.
#include "ThreadArchives.h"

#include <filterr.h>

namespace {

enum class Call {
    Load,           // Load the row's archive
    LoadOther,      // Load another archive
    LoadNull,       // Load(NULL)
    Init,           // Init with the host's flags and no attributes
    InitNullFlags,  // Init(..., pFlags NULL)
    InitNullArray,  // Init(cAttributes 2, aAttributes NULL)
    InitNullNames,  // Init with two PRSPEC_LPWSTR attributes whose names are NULL
    Chunk,          // GetChunk: `id` is the chunk id expected on success
    ChunkNull,      // GetChunk(NULL)
    Text,           // GetText with a 4-character buffer: one piece
    TextNullCount,  // GetText(NULL, buffer)
    TextNullBuffer, // GetText(&count, NULL)
    TextZero,       // GetText with a count of 0
    Value,          // GetValue
    ValueNull,      // GetValue(NULL)
    BindNull,       // BindRegion(..., NULL)
    ReadCurrent,    // the current chunk's whole text or value: that of expected chunk `id`
    ToEnd,          // GetChunk until the end
    ChildReleased,  // no child filter object alive, no reference to its DLL kept (no call to the filter)
};

struct Step {
    Call call;
    HRESULT expected = S_OK;
    ULONG id = 0;
    int repeat = 1;
};

struct Row {
    const char *name;
    int archive;         // thread-<archive>.rar
    std::vector<Step> steps;
    int restFrom;        // the stream then goes on with expected chunk restFrom (1-based); 0: not read
};

class CallOrder : public HostileHostTest
{
protected:
    // Runs one step; returns its result (S_OK for steps that are checks of their own).
    HRESULT Run(IFilter *filter, const Row &row, const Step &step, const std::vector<SeenChunk> &expected)
    {
        CComPtr<IPersistFile> persist;
        filter->QueryInterface(IID_IPersistFile, persist.PutVoid());
        ULONG flags = MARKER;
        FULLPROPSPEC namesNull[2] = {};
        for (FULLPROPSPEC &attribute : namesNull) {
            attribute.guidPropSet = {0xB725F130, 0x47EF, 0x101A, {0xA5, 0xF1, 0x02, 0x60, 0x8C, 0x9E, 0xEB, 0xAC}};
            attribute.psProperty.ulKind = PRSPEC_LPWSTR;
            attribute.psProperty.lpwstr = nullptr;
        }
        switch (step.call) {
        case Call::Load:
            return persist->Load(ThreadArchive(row.archive).c_str(), STGM_READ);
        case Call::LoadOther:
            return persist->Load(ThreadArchive((row.archive + 1) % THREAD_ARCHIVES).c_str(), STGM_READ);
        case Call::LoadNull:
            return persist->Load(nullptr, STGM_READ);
        case Call::Init:
            return filter->Init(HOST_INIT_FLAGS, 0, nullptr, &flags);
        case Call::InitNullFlags:
            return filter->Init(HOST_INIT_FLAGS, 0, nullptr, nullptr);
        case Call::InitNullArray:
            return filter->Init(HOST_INIT_FLAGS, 2, nullptr, &flags);
        case Call::InitNullNames:
            return filter->Init(HOST_INIT_FLAGS, 2, namesNull, &flags);
        case Call::Chunk: {
            STAT_CHUNK stat;
            memset(&stat, 0xde, sizeof(stat));
            const HRESULT hr = filter->GetChunk(&stat);
            if (hr == S_OK) {
                EXPECT_EQ(step.id, stat.idChunk) << "chunk id";
            }
            return hr;
        }
        case Call::ChunkNull:
            return filter->GetChunk(nullptr);
        case Call::Text: {
            WCHAR buffer[4] = {};
            ULONG cwc = 4;
            const HRESULT hr = filter->GetText(&cwc, buffer);
            EXPECT_LE(cwc, 4u) << "characters claimed";
            return hr;
        }
        case Call::TextNullCount: {
            WCHAR buffer[4] = {};
            return filter->GetText(nullptr, buffer);
        }
        case Call::TextNullBuffer: {
            ULONG cwc = 4;
            return filter->GetText(&cwc, nullptr);
        }
        case Call::TextZero: {
            WCHAR buffer[4] = {L'x', L'x', L'x', L'x'};
            ULONG cwc = 0;
            const HRESULT hr = filter->GetText(&cwc, buffer);
            EXPECT_EQ(0u, cwc) << "characters claimed in a buffer of 0";
            EXPECT_EQ(L'x', buffer[0]) << "written into a buffer of 0";
            return hr;
        }
        case Call::Value: {
            PROPVARIANT *pValue = static_cast<PROPVARIANT *>(MarkerPointer());
            const HRESULT hr = filter->GetValue(&pValue);
            if (hr == S_OK && pValue != nullptr && pValue != MarkerPointer()) {
                PropVariantClear(pValue);
                CoTaskMemFree(pValue);
            }
            return hr;
        }
        case Call::ValueNull:
            return filter->GetValue(nullptr);
        case Call::BindNull: {
            FILTERREGION region = {1, 0, 1};
            return filter->BindRegion(region, IID_IUnknown, nullptr);
        }
        case Call::ReadCurrent: {
            const SeenChunk &want = expected[step.id - 1];
            SeenChunk seen;
            seen.flags = want.flags;
            ReadChunk(filter, {}, &seen);
            EXPECT_EQ(Narrow(want.text), Narrow(seen.text)) << "the text or value of chunk " << step.id;
            EXPECT_HR(want.flags == CHUNK_TEXT ? FILTER_S_LAST_TEXT : S_OK, seen.hrLast) << "how chunk " << step.id << " ended";
            return S_OK;
        }
        case Call::ToEnd: {
            // What stopped the pull: the end, or the failure that came before it.
            HRESULT hrStop = S_OK;
            PullToEnd(filter, 100000, &hrStop);
            return FAILED(hrStop) ? hrStop : E_UNEXPECTED;
        }
        case Call::ChildReleased:
            return ChildObjects() == 0 && ChildDllReferences() <= PROBE_REFERENCES ? S_OK : E_UNEXPECTED;
        }
        return E_UNEXPECTED;
    }

    static void *MarkerPointer() { return reinterpret_cast<void *>(static_cast<UINT_PTR>(MARKER)); }

    void RunRows(const std::vector<Row> &rows)
    {
        for (const Row &row : rows) {
            SCOPED_TRACE(row.name);
            const std::vector<SeenChunk> expected = ExpectedStream(row.archive);
            {
                CComPtr<IFilter> filter = NewFilter(m_dll);
                ASSERT_TRUE(filter);
                for (size_t i = 0; i < row.steps.size(); ++i) {
                    const Step &step = row.steps[i];
                    for (int n = 0; n < step.repeat; ++n) {
                        const HRESULT hr = Run(filter.Get(), row, step, expected);
                        EXPECT_HR(step.expected, hr) << "step " << i + 1 << (step.repeat > 1 ? ", call " : "")
                                                     << (step.repeat > 1 ? std::to_string(n + 1) : "");
                        if (hr != step.expected)
                            break;
                    }
                }
                if (row.restFrom > 0) {
                    HRESULT hrEnd = S_OK;
                    const std::vector<SeenChunk> rest = ReadAllChunks(filter.Get(), {}, &hrEnd);
                    const std::vector<SeenChunk> want(expected.begin() + (row.restFrom - 1), expected.end());
                    EXPECT_EQ(StreamLines(want), StreamLines(rest)) << "the rest of the stream";
                    EXPECT_HR(FILTER_E_END_OF_CHUNKS, hrEnd);
                }
            }
            EXPECT_TRUE(RunFoldersNow().empty()) << "run folders left after Release";
            EXPECT_HR(S_OK, m_dll.CanUnloadNow()) << "an object keeps the DLL after Release";
            EXPECT_EQ(0, ChildObjects()) << "child filter objects alive after Release";
            EXPECT_LE(ChildDllReferences(), PROBE_REFERENCES) << "references to the child filter's DLL after Release";
        }
    }
};

constexpr HRESULT END = FILTER_E_END_OF_CHUNKS;

} // namespace

// Archive 0's title is its comment (text), archive 1's its name (a value). Chunks 3 to 5 are the
// child filter's paragraphs of one-<k>.txt, chunk 7 its long text of docs\two-<k>.txt.
TEST_F(CallOrder, OutOfOrderAndRepeatedCalls)
{
    RunRows({
        {"text, values and chunks before Load", 0,
         {{Call::Text, FILTER_E_NO_TEXT}, {Call::Value, FILTER_E_NO_VALUES}, {Call::Chunk, END},
          {Call::Load}, {Call::Init}},
         1},
        {"text and values after Init, before the first chunk", 1,
         {{Call::Load}, {Call::Init}, {Call::Text, FILTER_E_NO_TEXT}, {Call::Value, FILTER_E_NO_VALUES}},
         1},
        {"text, values and 1,000 chunks after the end", 0,
         {{Call::Load}, {Call::Init}, {Call::ToEnd, END}, {Call::Text, FILTER_E_NO_TEXT},
          {Call::Value, FILTER_E_NO_VALUES}, {Call::Chunk, END, 0, 1000}, {Call::Text, FILTER_E_NO_TEXT},
          {Call::Value, FILTER_E_NO_VALUES}},
         9},  // nothing follows the eighth and last chunk
        {"text read past its end, values read past their end", 1,
         {{Call::Load}, {Call::Init}, {Call::Chunk, S_OK, 1}, {Call::Value}, {Call::Value, FILTER_E_NO_MORE_VALUES},
          {Call::Value, FILTER_E_NO_VALUES}, {Call::Chunk, S_OK, 2}, {Call::ReadCurrent, S_OK, 2},
          {Call::Text, FILTER_E_NO_MORE_TEXT, 0, 3}},
         3},
        {"Init again mid-stream, a child filter held", 0,
         {{Call::Load}, {Call::Init}, {Call::Chunk, S_OK, 1}, {Call::Chunk, S_OK, 2}, {Call::Chunk, S_OK, 3},
          {Call::Init}, {Call::ChildReleased}},
         1},
        {"Init again in the middle of a child's text", 1,
         {{Call::Load}, {Call::Init}, {Call::Chunk, S_OK, 1}, {Call::Chunk, S_OK, 2}, {Call::Chunk, S_OK, 3},
          {Call::Chunk, S_OK, 4}, {Call::Chunk, S_OK, 5}, {Call::Chunk, S_OK, 6}, {Call::Chunk, S_OK, 7},
          {Call::Text, S_OK, 0, 5}, {Call::Init}, {Call::ChildReleased}},
         1},
        {"Init twice in a row", 0, {{Call::Load}, {Call::Init}, {Call::Init}}, 1},
        {"Init again after the end", 1, {{Call::Load}, {Call::Init}, {Call::ToEnd, END}, {Call::Init}}, 1},
        {"Load of another archive after Init: the run goes on with the archive Init opened", 0,
         {{Call::Load}, {Call::Init}, {Call::Chunk, S_OK, 1}, {Call::Chunk, S_OK, 2}, {Call::LoadOther}},
         3},
        {"Load of another archive after Init, before the first chunk: the title is still the run's", 0,
         {{Call::Load}, {Call::Init}, {Call::LoadOther}},
         1},
        {"Release with a child filter held, in the middle of its text", 1,
         {{Call::Load}, {Call::Init}, {Call::Chunk, S_OK, 1}, {Call::Chunk, S_OK, 2}, {Call::Chunk, S_OK, 3},
          {Call::Text}},
         0},
        {"Release with a child filter held, before its first chunk", 0,
         {{Call::Load}, {Call::Init}, {Call::Chunk, S_OK, 1}, {Call::Chunk, S_OK, 2}},
         0},
    });
}

TEST_F(CallOrder, BadArgumentsLoseNothing)
{
    RunRows({
        {"GetChunk(NULL) before the first chunk", 0,
         {{Call::Load}, {Call::Init}, {Call::ChunkNull, E_POINTER}},
         1},
        {"GetChunk(NULL) with a child filter held", 1,
         {{Call::Load}, {Call::Init}, {Call::Chunk, S_OK, 1}, {Call::Chunk, S_OK, 2}, {Call::Chunk, S_OK, 3},
          {Call::ChunkNull, E_POINTER}},
         4},
        {"GetChunk(NULL) after the end", 0,
         {{Call::Load}, {Call::Init}, {Call::ToEnd, END}, {Call::ChunkNull, E_POINTER}, {Call::Chunk, END}},
         0},
        {"GetText with NULL pointers and a count of 0 on the title", 0,
         {{Call::Load}, {Call::Init}, {Call::Chunk, S_OK, 1}, {Call::TextNullCount, E_POINTER},
          {Call::TextNullBuffer, E_POINTER}, {Call::TextZero, E_INVALIDARG}, {Call::ReadCurrent, S_OK, 1}},
         2},
        {"GetText with NULL pointers and a count of 0 on a child's chunk", 1,
         {{Call::Load}, {Call::Init}, {Call::Chunk, S_OK, 1}, {Call::Chunk, S_OK, 2}, {Call::Chunk, S_OK, 3},
          {Call::TextNullCount, E_POINTER}, {Call::TextNullBuffer, E_POINTER}, {Call::TextZero, E_INVALIDARG},
          {Call::ReadCurrent, S_OK, 3}},
         4},
        {"GetText with a count of 0 in the middle of a child's long text", 0,
         {{Call::Load}, {Call::Init}, {Call::Chunk, S_OK, 1}, {Call::Chunk, S_OK, 2}, {Call::Chunk, S_OK, 3},
          {Call::Chunk, S_OK, 4}, {Call::Chunk, S_OK, 5}, {Call::Chunk, S_OK, 6}, {Call::Chunk, S_OK, 7},
          {Call::TextZero, E_INVALIDARG}, {Call::ReadCurrent, S_OK, 7}},
         8},
        {"GetValue(NULL) on the title", 1,
         {{Call::Load}, {Call::Init}, {Call::Chunk, S_OK, 1}, {Call::ValueNull, E_POINTER},
          {Call::ReadCurrent, S_OK, 1}},
         2},
        {"Init with no place for the flags, mid-stream", 1,
         {{Call::Load}, {Call::Init}, {Call::Chunk, S_OK, 1}, {Call::InitNullFlags, E_FAIL}},
         2},
        {"Init with two attributes and no array", 0, {{Call::Load}, {Call::InitNullArray}}, 1},
        {"Init with attributes named by NULL strings", 1, {{Call::Load}, {Call::InitNullNames}}, 1},
        {"BindRegion(NULL) mid-stream", 1,
         {{Call::Load}, {Call::Init}, {Call::Chunk, S_OK, 1}, {Call::Chunk, S_OK, 2}, {Call::Chunk, S_OK, 3},
          {Call::BindNull, E_NOTIMPL}, {Call::ReadCurrent, S_OK, 3}},
         4},
        {"Load(NULL) mid-stream", 0,
         {{Call::Load}, {Call::Init}, {Call::Chunk, S_OK, 1}, {Call::LoadNull, E_INVALIDARG}},
         2},
    });
}
