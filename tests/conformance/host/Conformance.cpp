// Conformance host: the checks that the platform's IFilter test tool (ifilttst.exe) makes of a
// filter handler, made of Pellucidor.dll over every archive the test set-up makes, each through
// IPersistFile::Load with its path and through IPersistStream::Load with a stream over its bytes.
// What the tool checks, as documented:
//   Testing Filter Handlers:
//     https://learn.microsoft.com/en-us/windows/win32/search/-search-ifilter-testing-filters
//   Validation test:
//     https://learn.microsoft.com/en-us/previous-versions/windows/desktop/indexsrv/validation-test
//   Consistency test:
//     https://msdn.microsoft.com/en-us/library/ms692599.aspx
//   Invalid input test:
//     https://learn.microsoft.com/en-us/previous-versions/windows/desktop/indexsrv/invalid-input-test
//   Configurations (the ifilttst.ini file, one Init configuration per section):
//     https://learn.microsoft.com/en-us/previous-versions/windows/desktop/indexsrv/the-ifilttst-ini-file
//   IFilter::Init (flags, attributes) and IFILTER_INIT:
//     https://learn.microsoft.com/en-us/windows/win32/api/filter/nf-filter-ifilter-init
//     https://learn.microsoft.com/en-us/windows/win32/api/filter/ne-filter-ifilter_init
// Where this filter answers otherwise on purpose, the check is marked KNOWN EXCEPTION: it still
// runs, what it sees must be exactly the known answer, and it is counted apart in the summary.
// Prints each failure (the first 200) and one summary line; exits 1 when any check failed.
#include <windows.h>
#include <filter.h>
#include <filterr.h>
#include <propidl.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "HostCalls.h"
#include "TestConfig.h"
#include "support/Guids.h"
#include "support/Holders.h"

namespace {

// --- the tally --------------------------------------------------------------------------------

// The route of the object a thread works with now (set when it is loaded): 0 the path, 1 a
// stream, 2 neither (checks of the whole run).
thread_local int t_route = 2;

class CTally
{
public:
    // One check: ok, or a failure printed with where it happened.
    bool Check(bool ok, const std::string &where, const std::string &what)
    {
        ++m_checks;
        ++m_routeChecks[t_route];
        if (!ok) {
            ++m_routeFailures[t_route];
            Fail(where, what);
        }
        return ok;
    }
    long RouteChecks(int route) const { return m_routeChecks[route]; }
    long RouteFailures(int route) const { return m_routeFailures[route]; }
    // A check of a known, justified difference from the documented expectation: the answer must
    // be exactly the known one (a failure otherwise), and it is counted as an exception.
    bool Known(bool asKnown, const std::string &where, const std::string &what)
    {
        if (asKnown)
            ++m_known;
        return Check(asKnown, where, "KNOWN EXCEPTION broken: " + what);
    }
    long Checks() const { return m_checks; }
    long Failures() const { return m_failures; }
    long KnownExceptions() const { return m_known; }

private:
    void Fail(const std::string &where, const std::string &what)
    {
        const long n = ++m_failures;
        if (n > 200)
            return;
        std::lock_guard<std::mutex> lock(m_print);
        std::printf("FAIL %s: %s\n", where.c_str(), what.c_str());
        std::fflush(stdout);
    }
    std::atomic<long> m_checks{0}, m_failures{0}, m_known{0};
    std::atomic<long> m_routeChecks[3] = {}, m_routeFailures[3] = {};
    std::mutex m_print;
};

CTally g_tally;

bool Check(bool ok, const std::string &where, const std::string &what) { return g_tally.Check(ok, where, what); }
bool Known(bool ok, const std::string &where, const std::string &what) { return g_tally.Known(ok, where, what); }

// --- what a host sees -------------------------------------------------------------------------

struct Chunk {
    STAT_CHUNK stat = {};   // attribute.psProperty.lpwstr cleared; the name is kept below
    std::wstring name;      // the attribute's name, when it is named by a string
    std::wstring content;   // the whole text, or "vt:" and the value's string
};
using Chunks = std::vector<Chunk>;

bool SameChunk(const Chunk &a, const Chunk &b)
{
    const STAT_CHUNK &x = a.stat, &y = b.stat;
    return x.idChunk == y.idChunk && x.breakType == y.breakType && x.flags == y.flags && x.locale == y.locale &&
           IsEqualGUID(x.attribute.guidPropSet, y.attribute.guidPropSet) &&
           x.attribute.psProperty.ulKind == y.attribute.psProperty.ulKind &&
           (x.attribute.psProperty.ulKind != PRSPEC_PROPID || x.attribute.psProperty.propid == y.attribute.psProperty.propid) &&
           a.name == b.name && x.idChunkSource == y.idChunkSource && x.cwcStartSource == y.cwcStartSource &&
           x.cwcLenSource == y.cwcLenSource && a.content == b.content;
}

std::string Describe(const Chunk &c)
{
    char head[160];
    const GUID &g = c.stat.attribute.guidPropSet;
    std::snprintf(head, sizeof(head), "id=%lu src=%lu flags=%d break=%d lcid=0x%lx set=%08lX prop=%lu",
                  static_cast<unsigned long>(c.stat.idChunk), static_cast<unsigned long>(c.stat.idChunkSource),
                  static_cast<int>(c.stat.flags), static_cast<int>(c.stat.breakType),
                  static_cast<unsigned long>(c.stat.locale), static_cast<unsigned long>(g.Data1),
                  static_cast<unsigned long>(c.stat.attribute.psProperty.ulKind == PRSPEC_PROPID ? c.stat.attribute.psProperty.propid : 0));
    std::string text = Narrow(c.content.substr(0, 60));
    return std::string(head) + (c.name.empty() ? "" : " name=" + Narrow(c.name)) + " \"" + text + "\"";
}

constexpr int MAX_CHUNKS = 2000;      // bound on one stream (the largest test archive has ~400)
constexpr int MAX_TEXT_CALLS = 20000; // bound on one chunk's GetText calls
constexpr ULONG TEXT_BUFFER = 61;     // small enough that long texts come in pieces

bool IsPointerError(HRESULT hr) { return hr == E_POINTER || hr == E_INVALIDARG; }

// GetChunk's answers the interface documents.
bool IsDocumentedChunkResult(HRESULT hr)
{
    return hr == S_OK || hr == FILTER_E_END_OF_CHUNKS || hr == FILTER_E_EMBEDDING_UNAVAILABLE ||
           hr == FILTER_E_LINK_UNAVAILABLE || hr == FILTER_E_PASSWORD || hr == FILTER_E_ACCESS;
}

// The filter's own title: a PIDSI_TITLE value first in the stream, or right after the name of a
// nested archive (whose title the nested filter gives).
bool IsOwnTitle(const Chunks &before, const STAT_CHUNK &stat)
{
    const bool bTitle = stat.flags == CHUNK_VALUE && IsEqualGUID(stat.attribute.guidPropSet, PROPSET_SUMMARY_INFORMATION) &&
                        stat.attribute.psProperty.ulKind == PRSPEC_PROPID && stat.attribute.psProperty.propid == 2;
    if (!bTitle || before.empty())
        return bTitle;
    const Chunk &last = before.back();
    const std::wstring &name = last.content;
    return last.stat.attribute.psProperty.ulKind == PRSPEC_PROPID && last.stat.attribute.psProperty.propid == 10 &&
           name.size() > 4 && _wcsicmp(name.c_str() + name.size() - 4, L".rar") == 0;
}

// The current chunk's text, read to its end as the validation test reads it.
std::wstring ReadText(IFilter *f, const std::string &where)
{
    std::wstring text;
    for (int call = 0; call < MAX_TEXT_CALLS; ++call) {
        WCHAR buffer[TEXT_BUFFER + 1];
        std::fill(std::begin(buffer), std::end(buffer), L'\xfffe');
        ULONG cwc = TEXT_BUFFER;
        const HRESULT hr = f->GetText(&cwc, buffer);
        if (!Check(hr == S_OK || hr == FILTER_S_LAST_TEXT || hr == FILTER_E_NO_MORE_TEXT, where,
                   "GetText answered " + HrText(hr) + " on a text chunk"))
            return text;
        if (hr == FILTER_E_NO_MORE_TEXT)
            return text;
        Check(cwc <= TEXT_BUFFER, where, "GetText claimed " + std::to_string(cwc) + " characters of a buffer of " +
                                             std::to_string(TEXT_BUFFER));
        text.append(buffer, std::min(cwc, TEXT_BUFFER));
        if (hr == FILTER_S_LAST_TEXT) {
            ULONG after = TEXT_BUFFER;
            const HRESULT hrAfter = f->GetText(&after, buffer);
            Check(hrAfter == FILTER_E_NO_MORE_TEXT, where,
                  "after FILTER_S_LAST_TEXT, GetText answered " + HrText(hrAfter) + ", not FILTER_E_NO_MORE_TEXT");
            return text;
        }
    }
    Check(false, where, "the text did not end within " + std::to_string(MAX_TEXT_CALLS) + " GetText calls");
    return text;
}

std::wstring ValueText(const PROPVARIANT &v)
{
    std::wstring text = std::to_wstring(v.vt) + L":";
    if (v.vt == VT_LPWSTR && v.pwszVal != nullptr)
        text += v.pwszVal;
    else if (v.vt == VT_BSTR && v.bstrVal != nullptr)
        text += v.bstrVal;
    return text;
}

// The current chunk's value, read as the validation test reads it: S_OK with a value, then
// FILTER_E_NO_MORE_VALUES.
std::wstring ReadValue(IFilter *f, const std::string &where)
{
    std::wstring content;
    for (int call = 0; call < 8; ++call) {
        PROPVARIANT *pValue = static_cast<PROPVARIANT *>(MarkerPointer());
        const HRESULT hr = f->GetValue(&pValue);
        if (!Check(hr == S_OK || hr == FILTER_E_NO_MORE_VALUES, where, "GetValue answered " + HrText(hr) + " on a value chunk"))
            return content;
        if (hr != S_OK)
            return content;
        if (!Check(pValue != nullptr && pValue != MarkerPointer(), where, "GetValue answered S_OK without a value"))
            continue;
        content += ValueText(*pValue);
        PropVariantClear(pValue);
        CoTaskMemFree(pValue);
    }
    Check(false, where, "the values did not end within 8 GetValue calls");
    return content;
}

// Copies what GetChunk handed out; the attribute's name is the filter's, kept as a copy.
Chunk Record(const STAT_CHUNK &stat)
{
    Chunk c;
    c.stat = stat;
    if (stat.attribute.psProperty.ulKind == PRSPEC_LPWSTR && stat.attribute.psProperty.lpwstr != nullptr)
        c.name = stat.attribute.psProperty.lpwstr;
    c.stat.attribute.psProperty.lpwstr = nullptr;
    if (stat.attribute.psProperty.ulKind == PRSPEC_PROPID)
        c.stat.attribute.psProperty.propid = stat.attribute.psProperty.propid;
    return c;
}

// The validation test: the stream chunk by chunk, every chunk and every answer checked.
Chunks Validate(IFilter *f, const std::string &where)
{
    Chunks chunks;
    for (int call = 0; call < MAX_CHUNKS; ++call) {
        STAT_CHUNK stat;
        std::memset(&stat, 0xde, sizeof(stat));
        const HRESULT hr = f->GetChunk(&stat);
        if (hr == FILTER_E_END_OF_CHUNKS)
            return chunks;
        const std::string at = where + " chunk " + std::to_string(chunks.size() + 1);
        if (!Check(IsDocumentedChunkResult(hr), at, "GetChunk answered " + HrText(hr)) || FAILED(hr))
            continue;
        Check(chunks.empty() || stat.idChunk > chunks.back().stat.idChunk, at,
              "chunk id " + std::to_string(stat.idChunk) + " after " + std::to_string(chunks.empty() ? 0 : chunks.back().stat.idChunk));
        Check(stat.flags == CHUNK_TEXT || stat.flags == CHUNK_VALUE, at, "flags " + std::to_string(stat.flags));
        Check(stat.breakType >= CHUNK_NO_BREAK && stat.breakType <= CHUNK_EOC, at, "breakType " + std::to_string(stat.breakType));
        // None of the chunks is derived from another: each is its own source.
        Check(stat.idChunkSource == stat.idChunk, at,
              "idChunkSource " + std::to_string(stat.idChunkSource) + " of chunk " + std::to_string(stat.idChunk));
        const PROPSPEC &property = stat.attribute.psProperty;
        Check(property.ulKind == PRSPEC_PROPID || (property.ulKind == PRSPEC_LPWSTR && property.lpwstr != nullptr), at,
              "attribute kind " + std::to_string(property.ulKind));
        Chunk c = Record(stat);
        if (stat.flags == CHUNK_TEXT)
            c.content = ReadText(f, at);
        else if (stat.flags == CHUNK_VALUE)
            c.content = ReadValue(f, at);
        chunks.push_back(c);
    }
    Check(false, where, "no end after " + std::to_string(MAX_CHUNKS) + " chunks");
    return chunks;
}

// Pulls the stream again and compares it with the validation test's, chunk by chunk.
void ExpectSame(const Chunks &reference, const Chunks &again, const std::string &where)
{
    if (!Check(reference.size() == again.size(), where,
               std::to_string(again.size()) + " chunks, the validation test saw " + std::to_string(reference.size())))
        return;
    for (size_t i = 0; i < reference.size(); ++i)
        Check(SameChunk(reference[i], again[i]), where + " chunk " + std::to_string(i + 1),
              Describe(again[i]) + " | validation saw " + Describe(reference[i]));
}

// The invalid input test: each chunk read the wrong way first, NULL out-pointers, and every end
// asked for again; the chunks must still be those of the validation test.
void InvalidUse(IFilter *f, const Chunks &reference, const std::string &where)
{
    Chunks seen;
    for (int call = 0; call < MAX_CHUNKS; ++call) {
        const HRESULT hrNull = f->GetChunk(nullptr);
        Check(IsPointerError(hrNull), where, "GetChunk(NULL) answered " + HrText(hrNull));
        STAT_CHUNK stat;
        std::memset(&stat, 0xde, sizeof(stat));
        const HRESULT hr = f->GetChunk(&stat);
        if (hr == FILTER_E_END_OF_CHUNKS) {
            for (int again = 0; again < 3; ++again) {
                const HRESULT hrAgain = f->GetChunk(&stat);
                Check(hrAgain == FILTER_E_END_OF_CHUNKS, where, "GetChunk after the end answered " + HrText(hrAgain));
            }
            break;
        }
        if (FAILED(hr))
            continue;
        const std::string at = where + " chunk " + std::to_string(seen.size() + 1);
        const bool ownTitle = IsOwnTitle(seen, stat);
        Chunk c = Record(stat);
        ULONG cwc = TEXT_BUFFER;
        WCHAR buffer[TEXT_BUFFER + 1];
        Check(IsPointerError(f->GetText(nullptr, buffer)), at, "GetText(NULL, buffer) is refused");
        Check(IsPointerError(f->GetText(&cwc, nullptr)), at, "GetText(&count, NULL) is refused");
        Check(IsPointerError(f->GetValue(nullptr)), at, "GetValue(NULL) is refused");
        if (stat.flags == CHUNK_TEXT) {
            PROPVARIANT *pValue = nullptr;
            const HRESULT hrValue = f->GetValue(&pValue);
            Check(hrValue == FILTER_E_NO_VALUES, at, "GetValue on a text chunk answered " + HrText(hrValue));
            c.content = ReadText(f, at);
            for (int again = 0; again < 3; ++again) {
                cwc = TEXT_BUFFER;
                const HRESULT hrAgain = f->GetText(&cwc, buffer);
                Check(hrAgain == FILTER_E_NO_MORE_TEXT, at, "GetText after FILTER_E_NO_MORE_TEXT answered " + HrText(hrAgain));
            }
        } else {
            cwc = TEXT_BUFFER;
            const HRESULT hrText = f->GetText(&cwc, buffer);
            Check(hrText == FILTER_E_NO_TEXT, at, "GetText on a value chunk answered " + HrText(hrText));
            c.content = ReadValue(f, at);
            for (int again = 0; again < 2; ++again) {
                PROPVARIANT *pValue = nullptr;
                const HRESULT hrAgain = f->GetValue(&pValue);
                if (ownTitle) {
                    // KNOWN EXCEPTION: the filter's own title value, once handed out and ended,
                    // is let go: the calls after FILTER_E_NO_MORE_VALUES find no value at all
                    // (FILTER_E_NO_VALUES), where the tool expects FILTER_E_NO_MORE_VALUES again.
                    Known(hrAgain == FILTER_E_NO_VALUES, at, "third GetValue on the title answered " + HrText(hrAgain));
                    continue;
                }
                Check(hrAgain == FILTER_E_NO_MORE_VALUES, at, "GetValue after FILTER_E_NO_MORE_VALUES answered " + HrText(hrAgain));
            }
        }
        seen.push_back(c);
    }
    ExpectSame(reference, seen, where + " (invalid input test)");
}

// --- configurations ---------------------------------------------------------------------------

// The IFILTER_INIT flags the documentation lists: the eight of the tool's time (0x1 to 0x80:
// CANON_PARAGRAPHS, HARD_LINE_BREAKS, CANON_HYPHENS, CANON_SPACES, APPLY_INDEX_ATTRIBUTES,
// APPLY_OTHER_ATTRIBUTES, INDEXING_ONLY, SEARCH_LINKS) and five later ones (0x100 to 0x1000:
// APPLY_CRAWL_ATTRIBUTES, FILTER_OWNED_VALUE_OK, FILTER_AGGRESSIVE_BREAK, DISABLE_EMBEDDED,
// EMIT_FORMATTING).
constexpr ULONG EARLY_FLAG_COMBINATIONS = 0x100;
constexpr ULONG LATER_FLAG_COMBINATIONS = 0x20;

FULLPROPSPEC ById(const GUID &set, PROPID id)
{
    FULLPROPSPEC p = {};
    p.guidPropSet = set;
    p.psProperty.ulKind = PRSPEC_PROPID;
    p.psProperty.propid = id;
    return p;
}
FULLPROPSPEC ByName(const GUID &set, const wchar_t *name)
{
    FULLPROPSPEC p = {};
    p.guidPropSet = set;
    p.psProperty.ulKind = PRSPEC_LPWSTR;
    p.psProperty.lpwstr = const_cast<LPWSTR>(name);
    return p;
}
// A property set none of the filters emits.
constexpr GUID kOtherSet = {0x3B1E09C5, 0x6E1D, 0x4C4E, {0x9A, 0x51, 0x21, 0x7F, 0x3C, 0x55, 0x0D, 0x42}};

struct Config {
    std::string name;
    ULONG flags;
    std::vector<FULLPROPSPEC> attributes;
    bool nullArray = false;  // cAttributes 1 with no array
    ULONG Count() const { return nullArray ? 1 : static_cast<ULONG>(attributes.size()); }
    const FULLPROPSPEC *Array() const { return attributes.empty() ? nullptr : attributes.data(); }
};

bool Requested(const Config &config, const Chunk &c)
{
    for (const FULLPROPSPEC &p : config.attributes) {
        if (!IsEqualGUID(p.guidPropSet, c.stat.attribute.guidPropSet) || p.psProperty.ulKind != c.stat.attribute.psProperty.ulKind)
            continue;
        if (p.psProperty.ulKind == PRSPEC_PROPID ? p.psProperty.propid == c.stat.attribute.psProperty.propid
                                                 : _wcsicmp(p.psProperty.lpwstr, c.name.c_str()) == 0)
            return true;
    }
    return false;
}

// --- one archive ------------------------------------------------------------------------------

struct Target {
    std::wstring path;
    std::string name;  // as printed: folder\file
};

CComPtr<IFilter> NewLoaded(const CProductDll &dll, const Target &t, LoadRoute route, const std::string &where)
{
    t_route = route == LoadRoute::File ? 0 : 1;
    CComPtr<IFilter> f;
    const HRESULT hr = CreateFilter(dll, IID_IFilter, f.PutVoid());
    if (!Check(SUCCEEDED(hr) && f, where, "no filter object: " + HrText(hr)))
        return CComPtr<IFilter>();
    const HRESULT hrLoad = LoadFile(f.Get(), t.path, route);
    if (!Check(hrLoad == S_OK, where, "Load answered " + HrText(hrLoad)))
        return CComPtr<IFilter>();
    return f;
}

bool InitAs(IFilter *f, const Config &config, const std::string &where)
{
    ULONG flags = MARKER;
    const HRESULT hr = f->Init(config.flags, config.Count(), config.Array(), &flags);
    if (config.nullArray) {
        // KNOWN EXCEPTION: a count without its array is taken as no attributes (the ifilttst.ini
        // sample's own [Test5] section does this), not refused with E_INVALIDARG.
        return Known(hr == S_OK, where, "Init with cAttributes 1 and no array answered " + HrText(hr));
    }
    return Check(hr == S_OK, where, "Init answered " + HrText(hr));
}

const char *RouteName(LoadRoute route) { return route == LoadRoute::File ? "path" : "stream"; }

// The tool's cycle for one archive and configuration: validation; consistency (Init again with
// the same parameters, or, as the tool does for IFILTER_INIT_INDEXING_ONLY, a new object);
// invalid input on that object, initialised once more. Returns the validation test's chunks.
Chunks RunCycle(const CProductDll &dll, const Target &t, LoadRoute route, const Config &config)
{
    const std::string where = t.name + " [" + RouteName(route) + ", " + config.name + "]";
    CComPtr<IFilter> f = NewLoaded(dll, t, route, where);
    if (!f || !InitAs(f.Get(), config, where))
        return Chunks();
    const Chunks reference = Validate(f.Get(), where);
    if (!config.nullArray && !config.attributes.empty()) {
        for (const Chunk &c : reference)
            Check(Requested(config, c), where, "a chunk the host did not ask for: " + Describe(c));
    }
    const bool rebind = (config.flags & IFILTER_INIT_INDEXING_ONLY) != 0;
    if (rebind) {
        f.Reset();
        f = NewLoaded(dll, t, route, where);
        if (!f)
            return reference;
    }
    const std::string again = where + (rebind ? " (new object)" : " (Init again)");
    if (InitAs(f.Get(), config, again))
        ExpectSame(reference, Validate(f.Get(), again), again);
    // KNOWN EXCEPTION: Init answers S_OK or E_FAIL only; without a place for the flags it fails
    // with E_FAIL (not E_INVALIDARG), and the object stays usable.
    const HRESULT hrNull = f->Init(config.flags, config.Count(), config.Array(), nullptr);
    Known(hrNull == E_FAIL, where, "Init(..., NULL) answered " + HrText(hrNull));
    if (InitAs(f.Get(), config, where))
        InvalidUse(f.Get(), reference, where);
    return reference;
}

// --- the corpus -------------------------------------------------------------------------------

std::vector<Target> Corpus()
{
    std::vector<Target> targets;
    for (const wchar_t *folder : {L"archives", L"child_filters", L"filter_object", L"hostile", L"hostile_hosts"}) {
        const std::wstring dir = std::wstring(TEST_DATA_DIR) + L"\\" + folder;
        WIN32_FIND_DATAW fd;
        HANDLE find = FindFirstFileW((dir + L"\\*.rar").c_str(), &fd);
        if (find == INVALID_HANDLE_VALUE)
            continue;
        do {
            if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
                targets.push_back({dir + L"\\" + fd.cFileName, Narrow(std::wstring(folder) + L"\\" + fd.cFileName)});
        } while (FindNextFileW(find, &fd));
        FindClose(find);
    }
    std::sort(targets.begin(), targets.end(), [](const Target &a, const Target &b) { return a.name < b.name; });
    return targets;
}

Target Named(const std::vector<Target> &corpus, const std::string &name)
{
    for (const Target &t : corpus)
        if (t.name == name)
            return t;
    Check(false, name, "not in the test data: run the setup first");
    return {L"", name};
}

// --- the parts ----------------------------------------------------------------------------------

// Every archive, both routes, as a search host initialises a filter.
void WholeCorpus(const CProductDll &dll, const std::vector<Target> &corpus)
{
    // What Windows Search passes, IFILTER_INIT_INDEXING_ONLY included: a new object for each pull.
    const Config host = {"host flags", HOST_INIT_FLAGS | IFILTER_INIT_INDEXING_ONLY, {}};
    for (const Target &t : corpus)
        for (LoadRoute route : {LoadRoute::File, LoadRoute::Stream})
            RunCycle(dll, t, route, host);
}

// Every combination of the documented Init flags, on the archive whose text filter reports what
// its Init was given: each run is validated and the child must have been given exactly the flags.
void EveryFlagCombination(const CProductDll &dll, const Target &report)
{
    for (LoadRoute route : {LoadRoute::File, LoadRoute::Stream}) {
        const std::string where = report.name + " [" + RouteName(route) + ", flag combinations]";
        CComPtr<IFilter> f = NewLoaded(dll, report, route, where);
        if (!f)
            return;
        // Every combination of the eight flags of the tool's time, each with one combination of
        // the five later ones, so that every combination of those comes too (all 8192 would
        // take minutes under Wine for no other answer: the flags only pass through to children).
        for (ULONG combination = 0; combination < EARLY_FLAG_COMBINATIONS; ++combination) {
            const ULONG flags = combination | ((combination % LATER_FLAG_COMBINATIONS) << 8);
            // One object, Init again for each; IFILTER_INIT_INDEXING_ONLY gets a fresh object,
            // as the tool re-binds such a filter before its next Init.
            if ((flags & IFILTER_INIT_INDEXING_ONLY) != 0) {
                f = NewLoaded(dll, report, route, where);
                if (!f)
                    return;
            }
            char at[64];
            std::snprintf(at, sizeof(at), " flags 0x%04lX", static_cast<unsigned long>(flags));
            const Config config = {at + 1, flags, {}};
            if (!InitAs(f.Get(), config, where + at))
                continue;
            const Chunks chunks = Validate(f.Get(), where + at);
            char want[32];
            std::snprintf(want, sizeof(want), "flags 0x%08lX\n", static_cast<unsigned long>(flags));
            bool found = false;
            for (const Chunk &c : chunks)
                found = found || c.content.rfind(Widen(want), 0) == 0;
            Check(found, where + at, "the child filter was not given the host's flags");
        }
    }
}

// Attribute lists of 0, 1 and several entries, a list the filters never answer, and a count
// without its array, each through the tool's whole cycle.
void AttributeLists(const CProductDll &dll, const std::vector<Target> &targets)
{
    const ULONG flags = IFILTER_INIT_CANON_PARAGRAPHS | IFILTER_INIT_HARD_LINE_BREAKS | IFILTER_INIT_APPLY_INDEX_ATTRIBUTES;
    const std::vector<Config> configs = {
        {"no attributes", flags, {}},
        {"contents", flags, {ById(PROPSET_STORAGE, 19)}},
        {"contents, no APPLY_INDEX_ATTRIBUTES", IFILTER_INIT_CANON_PARAGRAPHS, {ById(PROPSET_STORAGE, 19)}},
        {"several", flags | IFILTER_INIT_APPLY_OTHER_ATTRIBUTES,
         {ById(PROPSET_STORAGE, 19), ByName(PROPSET_STORAGE, L"contents"), ById(PROPSET_SUMMARY_INFORMATION, 2),
          ById(PROPSET_STORAGE, 10), ByName(PROPSET_SUMMARY_INFORMATION, L"Keywords"), ById(kOtherSet, 7),
          ById(PROPSET_SUMMARY_INFORMATION, 4)}},
        {"names and titles", flags | IFILTER_INIT_INDEXING_ONLY,
         {ById(PROPSET_STORAGE, 10), ById(PROPSET_SUMMARY_INFORMATION, 2)}},
        {"never emitted", flags, {ById(kOtherSet, 7), ByName(kOtherSet, L"nothing")}},
        {"count 1, no array", flags, {}, true},
    };
    for (const Target &t : targets) {
        for (LoadRoute route : {LoadRoute::File, LoadRoute::Stream}) {
            Chunks none;
            for (const Config &config : configs) {
                const Chunks chunks = RunCycle(dll, t, route, config);
                if (config.name == "no attributes")
                    none = chunks;
                if (config.nullArray)
                    ExpectSame(none, chunks, t.name + " [" + RouteName(route) + ", count 1 without an array is no attributes]");
            }
        }
    }
}

// Several threads, each with objects of its own, each filtering archives again and again through
// both routes: every stream as the single-threaded run saw it.
void ThreadsAndLoops(const CProductDll &dll, const std::vector<Target> &targets)
{
    const Config host = {"host flags", HOST_INIT_FLAGS, {}};
    std::vector<Chunks> reference[2];
    for (int r = 0; r < 2; ++r) {
        const LoadRoute route = r == 0 ? LoadRoute::File : LoadRoute::Stream;
        for (const Target &t : targets) {
            CComPtr<IFilter> f = NewLoaded(dll, t, route, t.name);
            reference[r].push_back(f && InitAs(f.Get(), host, t.name) ? Validate(f.Get(), t.name) : Chunks());
        }
    }
    constexpr int THREADS = 3, LOOPS = 2;
    std::vector<std::thread> threads;
    for (int n = 0; n < THREADS; ++n) {
        threads.emplace_back([&, n] {
            CoInitializeEx(nullptr, COINIT_MULTITHREADED);  // as a host's filtering threads are
            for (int loop = 0; loop < LOOPS; ++loop) {
                for (size_t i = 0; i < targets.size(); ++i) {
                    const size_t k = (i + static_cast<size_t>(n)) % targets.size();  // each thread its own order
                    const int r = (loop + n) % 2;
                    const LoadRoute route = r == 0 ? LoadRoute::File : LoadRoute::Stream;
                    const std::string where = targets[k].name + " [" + RouteName(route) + ", thread " +
                                              std::to_string(n) + ", loop " + std::to_string(loop) + "]";
                    CComPtr<IFilter> f = NewLoaded(dll, targets[k], route, where);
                    if (f && InitAs(f.Get(), host, where))
                        ExpectSame(reference[r][k], Validate(f.Get(), where), where);
                }
            }
            CoUninitialize();
        });
    }
    for (std::thread &t : threads)
        t.join();
}

} // namespace

int wmain()
{
    const auto start = std::chrono::steady_clock::now();
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    int status = 0;
    {
        CProductDll dll(std::wstring(TEST_BIN_DIR) + L"\\Pellucidor.dll");
        if (dll.Module() == nullptr) {
            std::printf("conformance: Pellucidor.dll did not load\n");
            return 2;
        }
        const std::vector<Target> corpus = Corpus();
        Check(corpus.size() > 100, "corpus", "only " + std::to_string(corpus.size()) + " test archives: run the setup first");

        auto lap = [&](const char *part) {
            std::printf("conformance: %s done at %.1f s\n", part,
                        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
            std::fflush(stdout);
        };
        WholeCorpus(dll, corpus);
        lap("whole corpus");
        EveryFlagCombination(dll, Named(corpus, "filter_object\\init-report.rar"));
        lap("flag combinations");
        AttributeLists(dll, {Named(corpus, "child_filters\\mixed.rar"), Named(corpus, "archives\\comment.rar"),
                             Named(corpus, "child_filters\\outer.rar"), Named(corpus, "child_filters\\pdf.rar")});
        lap("attribute lists");
        std::vector<Target> threaded;
        for (const Target &t : corpus)
            if (t.name.rfind("archives\\", 0) == 0 || t.name.rfind("child_filters\\", 0) == 0)
                threaded.push_back(t);
        ThreadsAndLoops(dll, threaded);

        t_route = 2;
        Check(dll.CanUnloadNow() == S_OK, "module", "DllCanUnloadNow after every object was released");
        for (int route = 0; route < 2; ++route)
            std::printf("conformance (%s): %ld checks, %ld failures\n", route == 0 ? "IPersistFile::Load" : "IPersistStream::Load",
                        g_tally.RouteChecks(route), g_tally.RouteFailures(route));
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::printf("conformance: %ld checks, %ld failures, %ld known exceptions (%u archives, both routes, %.1f s)\n",
                    g_tally.Checks(), g_tally.Failures(), g_tally.KnownExceptions(), static_cast<unsigned>(corpus.size()), seconds);
        status = g_tally.Failures() == 0 ? 0 : 1;
    }
    CoUninitialize();
    return status;
}
