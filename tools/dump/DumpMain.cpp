// pellucidor-dump: filters one file the way a search host does and prints what the host sees.
//
//   pellucidor-dump [--json] [--quiet] [--buffer N] [--dll PATH] [--stats] [--heap-cap MB] [--stream|--named-stream]
//                   [--host windows-search|sharepoint|none] FILE
//
// The filter comes from the standard registration of the file's extension (PersistentHandler,
// then its IFilter add-in), or with --dll straight from that DLL's class factory. Every chunk is
// pulled with all its text (GetText with a buffer of N characters, 4096 by default) and all its
// values. --quiet pulls the same and prints, after Init's line, only one line at the end: the
// chunks, characters and values pulled, the GetChunk failures, and how the stream ended.
// --stats (for the benchmark) prints on stderr at exit the process's peak working set and the
// most files seen at once in the filter's run folders (see IsEntryNameChunk). Exit codes: 0 the
// stream reached its end; 1 bad arguments; 2 the file could not be loaded or initialised; 3
// GetChunk failed 100 times in a row (or the stream never ended). --stream hands the filter the
// file's bytes through IPersistStream, as a memory stream with no name (as Windows Search's filter
// host does); --named-stream, a stream over the file that names it. --heap-cap MB counts what the
// filter's DLL itself allocates (its C runtime imports replaced, tools/common/CappedHeap.h) and
// refuses what would take it past MB megabytes (0: no cap), as a host's job limit would; at exit
// it prints on stderr the DLL's peak heap, the allocations refused and the threads it started.
//
// --host shows what a search host would keep: the tool runs again as a copy of itself under that
// host's image name (SearchFilterHost.exe, ParserServer.exe), which is how the filter knows its
// host, and ends with a summary line: names given, documents read whole, in part and named only
// (and of those, left out for want of share or time), the characters handed out against the
// host's allowance, GetText answers that are none of its codes, name chunks without text, the
// longest single call, and the time from Init to the stream's end.
//
// One thread, in the multithreaded apartment, where a search engine's filter host runs filters
// (they are registered "Both" for it): no apartment window, so no desktop to wait for.
#include <windows.h>
#include <filter.h>
#include <filterr.h>
#include <fcntl.h>
#include <shlwapi.h>
#include <io.h>

#include <cstdio>
#include <cwchar>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "filter/RunReportInterface.h"
#include "support/Guids.h"
#include "support/Holders.h"
#include "support/ProcAddress.h"
#include "support/RunLimits.h"
#include "tools/common/CappedHeap.h"
#include "tools/bench/BenchStats.h"

namespace {

constexpr ULONG DEFAULT_BUFFER = 4096;
constexpr ULONG MAX_BUFFER = 1 << 20;
constexpr int MAX_FAILED_CHUNKS = 100;       // consecutive GetChunk failures before giving up
constexpr ULONG MAX_CHUNKS = 10000000;       // a stream that never ends
constexpr int MAX_IDLE_PIECES = 100;         // GetText successes in a row that bring nothing
constexpr ULONG MAX_VALUES = 100000;         // values of one chunk
constexpr ULONG MAX_HEAP_CAP_MB = 1 << 20;   // a megabyte short of a terabyte
constexpr const wchar_t *IFILTER_ADDIN = L"{89BCB740-6119-101A-BCB7-00DD010655AF}";

enum ExitCode { EXIT_END = 0, EXIT_USAGE = 1, EXIT_NOT_LOADED = 2, EXIT_NO_END = 3 };

struct Options {
    bool json = false;
    bool stats = false;
    bool quiet = false;
    bool heapCount = false;  // --heap-cap given
    ULONG heapCapMB = 0;
    enum { BY_PATH, BY_STREAM, BY_NAMED_STREAM } load = BY_PATH;
    ULONG buffer = DEFAULT_BUFFER;
    std::wstring dll;
    std::wstring file;
    const wchar_t *hostImage = nullptr;  // --host: the image name to run under; empty for none
};

// The hosts --host knows: those of the filter's table of known images that have a --host name,
// and "none", which runs under the tool's own name.

// --- text -------------------------------------------------------------------------------------

// To stdout, which is fully buffered: it goes out at each Flush (see Dump) or when the buffer fills.
void Write(std::string_view text) { std::fwrite(text.data(), 1, text.size(), stdout); }
void Flush() { std::fflush(stdout); }

std::string Utf8(std::wstring_view text)
{
    if (text.empty())
        return std::string();
    const int cb = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(cb), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), cb, nullptr, nullptr);
    return out;
}

std::string Hex(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

std::string Number(unsigned long long n) { return std::to_string(n); }

std::string GuidText(const GUID &guid)
{
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return Utf8(text);
}

// Appends text as the inside of a JSON string: quotes, backslashes and control characters
// escaped, a surrogate without its other half as \uXXXX, everything else as UTF-8.
void AppendJson(std::string &out, std::wstring_view text)
{
    static const char hex[] = "0123456789abcdef";
    for (size_t i = 0; i < text.size(); ++i) {
        const unsigned ch = text[i];
        const bool pair = IS_HIGH_SURROGATE(ch) && i + 1 < text.size() && IS_LOW_SURROGATE(text[i + 1]);
        if (ch == '"' || ch == '\\') {
            out += '\\';
            out += static_cast<char>(ch);
        } else if (ch == '\n') {
            out += "\\n";
        } else if (ch == '\r') {
            out += "\\r";
        } else if (ch == '\t') {
            out += "\\t";
        } else if (ch < 0x20 || (ch >= 0xD800 && ch <= 0xDFFF && !pair)) {
            out += "\\u";
            for (int shift = 12; shift >= 0; shift -= 4)
                out += hex[(ch >> shift) & 0xF];
        } else if (ch < 0x80) {
            out += static_cast<char>(ch);
        } else if (ch < 0x800) {
            out += static_cast<char>(0xC0 | (ch >> 6));
            out += static_cast<char>(0x80 | (ch & 0x3F));
        } else if (!pair) {
            out += static_cast<char>(0xE0 | (ch >> 12));
            out += static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (ch & 0x3F));
        } else {
            const unsigned cp = 0x10000 + ((ch - 0xD800) << 10) + (text[++i] - 0xDC00u);
            out += static_cast<char>(0xF0 | (cp >> 18));
            out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (cp & 0x3F));
        }
    }
}

std::string JsonString(std::wstring_view text)
{
    std::string out = "\"";
    AppendJson(out, text);
    return out + "\"";
}

// --- creating the filter ----------------------------------------------------------------------

// The default value of HKCR\subkey, or empty.
std::wstring ClassesValue(const std::wstring &subkey)
{
    wchar_t value[256] = {};
    LONG cb = sizeof(value);
    if (RegQueryValueW(HKEY_CLASSES_ROOT, subkey.c_str(), value, &cb) != ERROR_SUCCESS)
        return std::wstring();
    value[ARRAYSIZE(value) - 1] = L'\0';
    return value;
}

// Extension -> PersistentHandler -> its IFilter add-in -> CoCreateInstance, as a host does.
HRESULT CreateRegisteredFilter(const std::wstring &file, IFilter **ppFilter, std::string *pWhy)
{
    const size_t slash = file.find_last_of(L"\\/");
    const size_t dot = file.find_last_of(L'.');
    if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash)) {
        *pWhy = "the file has no extension";
        return E_INVALIDARG;
    }
    const std::wstring extension = file.substr(dot);
    const std::wstring handler = ClassesValue(extension + L"\\PersistentHandler");
    if (handler.empty()) {
        *pWhy = "no persistent handler is registered for " + Utf8(extension);
        return REGDB_E_CLASSNOTREG;
    }
    const std::wstring filter = ClassesValue(L"CLSID\\" + handler + L"\\PersistentAddinsRegistered\\" + IFILTER_ADDIN);
    CLSID clsid;
    if (filter.empty() || FAILED(CLSIDFromString(filter.c_str(), &clsid))) {
        *pWhy = "persistent handler " + Utf8(handler) + " names no IFilter";
        return REGDB_E_CLASSNOTREG;
    }
    const HRESULT hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IFilter,
                                        reinterpret_cast<void **>(ppFilter));
    if (FAILED(hr))
        *pWhy = "CoCreateInstance of " + Utf8(filter) + " failed with " + Hex(hr);
    return hr;
}

// The filter class straight from a DLL's DllGetClassObject.
HRESULT CreateFilterFromDll(HMODULE hDll, IFilter **ppFilter, std::string *pWhy)
{
    using PFN_DllGetClassObject = HRESULT(STDAPICALLTYPE *)(REFCLSID, REFIID, void **);
    auto pfn = GetProcAs<PFN_DllGetClassObject>(hDll, "DllGetClassObject");
    if (pfn == nullptr) {
        *pWhy = "the DLL exports no DllGetClassObject";
        return E_NOINTERFACE;
    }
    CComPtr<IClassFactory> factory;
    HRESULT hr = pfn(CLSID_PellucidorFilter, IID_IClassFactory, factory.PutVoid());
    if (SUCCEEDED(hr))
        hr = factory->CreateInstance(nullptr, IID_IFilter, reinterpret_cast<void **>(ppFilter));
    if (FAILED(hr))
        *pWhy = "the DLL's class factory gave no filter: " + Hex(hr);
    return hr;
}

// --- printing one chunk -----------------------------------------------------------------------

std::wstring ValueText(const PROPVARIANT &value)
{
    switch (value.vt) {
    case VT_LPWSTR:
        return value.pwszVal != nullptr ? value.pwszVal : L"";
    case VT_BSTR:
        return value.bstrVal != nullptr ? std::wstring(value.bstrVal, SysStringLen(value.bstrVal)) : L"";
    case VT_LPSTR: {
        if (value.pszVal == nullptr)
            return L"";
        const int cch = MultiByteToWideChar(CP_ACP, 0, value.pszVal, -1, nullptr, 0);
        std::wstring out(static_cast<size_t>(cch > 0 ? cch : 1), L'\0');
        MultiByteToWideChar(CP_ACP, 0, value.pszVal, -1, out.data(), cch);
        out.resize(out.size() - 1);
        return out;
    }
    default:
        return L"";
    }
}

bool IsStringType(VARTYPE vt) { return vt == VT_LPWSTR || vt == VT_BSTR || vt == VT_LPSTR; }

const char *BreakName(CHUNK_BREAKTYPE type)
{
    switch (type) {
    case CHUNK_NO_BREAK: return "No Break";
    case CHUNK_EOW: return "End of Word";
    case CHUNK_EOS: return "End of Sentence";
    case CHUNK_EOP: return "End of Paragraph";
    case CHUNK_EOC: return "End of Chapter";
    default: return "?";
    }
}

// Prints a chunk as a block for people or as one JSON line: its head, its text piece by piece as
// GetText brings it (a chunk's text can be as long as a document), then its values.
class CChunkPrinter
{
public:
    explicit CChunkPrinter(bool bJson) : m_bJson(bJson) {}

    void Head(const STAT_CHUNK &stat)
    {
        m_values.clear();
        Write(m_bJson ? JsonHead(stat) : PeopleHead(stat));
    }

    // A surrogate pair can come split over two pieces: a high surrogate at a piece's end waits
    // for the next piece, to be printed with its low half.
    void Text(const WCHAR *text, size_t cch)
    {
        if (cch == 0)
            return;
        if (m_highSurrogate != 0 && IS_LOW_SURROGATE(text[0])) {
            const WCHAR pair[2] = {m_highSurrogate, text[0]};
            m_highSurrogate = 0;
            PrintText(pair, 2);
            ++text;
            --cch;
        }
        EndText();
        if (cch > 0 && IS_HIGH_SURROGATE(text[cch - 1]))
            m_highSurrogate = text[--cch];
        PrintText(text, cch);
    }

    void Value(VARTYPE vt, std::wstring text) { m_values.emplace_back(vt, std::move(text)); }

    void Tail(const STAT_CHUNK &stat)
    {
        EndText();
        Write(m_bJson ? JsonTail(stat) : PeopleTail(stat));
    }

private:
    // The text is over: a high surrogate still waiting goes out alone.
    void EndText()
    {
        if (m_highSurrogate == 0)
            return;
        const WCHAR lone = m_highSurrogate;
        m_highSurrogate = 0;
        PrintText(&lone, 1);
    }

    void PrintText(const WCHAR *text, size_t cch)
    {
        if (cch == 0)
            return;
        if (!m_bJson) {
            Write(Utf8(std::wstring_view(text, cch)));
            return;
        }
        std::string out;
        AppendJson(out, std::wstring_view(text, cch));
        Write(out);
    }

    static std::string JsonHead(const STAT_CHUNK &stat)
    {
        const FULLPROPSPEC &attr = stat.attribute;
        std::string line = "{\"id\":" + Number(stat.idChunk) + ",\"source\":" + Number(stat.idChunkSource) +
                           ",\"break\":" + Number(stat.breakType) + ",\"flags\":" + Number(stat.flags) +
                           ",\"locale\":" + Number(stat.locale) + ",\"propset\":\"" + GuidText(attr.guidPropSet) + "\"";
        if (attr.psProperty.ulKind == PRSPEC_PROPID)
            line += ",\"propid\":" + Number(attr.psProperty.propid);
        else if (attr.psProperty.ulKind == PRSPEC_LPWSTR)
            line += ",\"propname\":" + JsonString(attr.psProperty.lpwstr != nullptr ? attr.psProperty.lpwstr : L"");
        line += ",\"start\":" + Number(stat.cwcStartSource) + ",\"len\":" + Number(stat.cwcLenSource);
        if (stat.flags & CHUNK_TEXT)
            line += ",\"text\":\"";
        return line;
    }

    std::string JsonTail(const STAT_CHUNK &stat) const
    {
        std::string line = stat.flags & CHUNK_TEXT ? "\"" : "";  // the text's closing quote
        if (stat.flags & CHUNK_VALUE) {
            line += ",\"values\":[";
            for (size_t i = 0; i < m_values.size(); ++i) {
                const auto &[vt, text] = m_values[i];
                line += (i == 0 ? "{\"vt\":" : ",{\"vt\":") + std::to_string(vt);
                if (IsStringType(vt))
                    line += ",\"str\":" + JsonString(text);
                line += "}";
            }
            line += "]";
        }
        return line + "}\n";
    }

    static std::string PeopleHead(const STAT_CHUNK &stat)
    {
        const std::string rule(70, '-');
        const FULLPROPSPEC &attr = stat.attribute;
        const std::string property = attr.psProperty.ulKind == PRSPEC_LPWSTR
                                         ? Utf8(attr.psProperty.lpwstr != nullptr ? attr.psProperty.lpwstr : L"")
                                         : std::to_string(attr.psProperty.propid);
        const char *kind = (stat.flags & CHUNK_TEXT) && (stat.flags & CHUNK_VALUE) ? "Text and Value"
                           : (stat.flags & CHUNK_TEXT)                              ? "Text"
                           : (stat.flags & CHUNK_VALUE)                             ? "Value"
                                                                                    : "?";
        char flags[16];
        std::snprintf(flags, sizeof(flags), "0x%x", static_cast<unsigned>(stat.flags));
        char locale[16];
        std::snprintf(locale, sizeof(locale), "0x%lx", static_cast<unsigned long>(stat.locale));
        std::string block = rule + "\n";
        block += "Attribute = " + GuidText(attr.guidPropSet) + "\\" + property + "\n";
        block += "idChunk = " + std::to_string(stat.idChunk) + "\n";
        block += "BreakType = " + std::to_string(stat.breakType) + " (" + BreakName(stat.breakType) + ")\n";
        block += std::string("Flags(chunkstate) = ") + flags + " (" + kind + ")\n";
        block += "Locale = " + std::to_string(stat.locale) + " (" + locale + ")\n";
        block += "IdChunkSource = " + std::to_string(stat.idChunkSource) + "\n";
        block += "cwcStartSource = " + std::to_string(stat.cwcStartSource) + "\n";
        block += "cwcLenSource = " + std::to_string(stat.cwcLenSource) + "\n";
        block += rule + "\n";
        if (stat.flags & CHUNK_TEXT)
            block += "Text: ";
        return block;
    }

    std::string PeopleTail(const STAT_CHUNK &stat) const
    {
        std::string block = stat.flags & CHUNK_TEXT ? "\n" : "";
        for (const auto &[vt, text] : m_values)
            block += "Value (vt " + std::to_string(vt) + ")" + (IsStringType(vt) ? ": " + Utf8(text) : std::string()) + "\n";
        return block + "\n";
    }

    const bool m_bJson;
    std::vector<std::pair<VARTYPE, std::wstring>> m_values;  // type, and the text of string types
    WCHAR m_highSurrogate = 0;  // the last piece's last unit, held back
};

// What the stream brought, for --quiet's last line and the summary.
struct Counts {
    unsigned long long chunks = 0, characters = 0, values = 0, failures = 0;  // failures: of GetChunk
    unsigned long long textOffProtocol = 0;  // GetText answers none of its own codes
    unsigned long long emptyNames = 0;       // entry name chunks with no text
    bool timeCalls = false;    // --host: the summary shows the longest call
    double longestCallMs = 0;  // the longest GetChunk, GetText or GetValue
    ULONGLONG startMs = 0;     // when Init returned
};

// Times one call of the filter's into pCounts->longestCallMs, when the summary is asked for: the
// clock costs as much as a small call under Wine, and the other runs measure the filter alone.
template <class Call>
HRESULT Timed(Counts *pCounts, Call call)
{
    if (!pCounts->timeCalls)
        return call();
    LARGE_INTEGER frequency, start, end;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    const HRESULT hr = call();
    QueryPerformanceCounter(&end);
    const double ms = 1000.0 * static_cast<double>(end.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
    if (ms > pCounts->longestCallMs)
        pCounts->longestCallMs = ms;
    return hr;
}

bool IsEntryNameChunk(const STAT_CHUNK &stat);

// Pulls the chunk's text in pieces of at most buffer.size() characters and its values, counts
// them, and hands them to pPrinter unless it is null.
void ReadChunk(IFilter *pFilter, const STAT_CHUNK &stat, std::vector<WCHAR> &buffer, CChunkPrinter *pPrinter,
               Counts *pCounts)
{
    const ULONG cwcBuffer = static_cast<ULONG>(buffer.size());
    if (stat.flags & CHUNK_TEXT) {
        unsigned long long cwcChunk = 0;
        for (int idle = 0; idle < MAX_IDLE_PIECES;) {
            ULONG cwc = cwcBuffer;
            const HRESULT hr = Timed(pCounts, [&] { return pFilter->GetText(&cwc, buffer.data()); });
            if (hr != S_OK && hr != FILTER_S_LAST_TEXT && hr != FILTER_E_NO_MORE_TEXT && hr != FILTER_E_NO_TEXT)
                ++pCounts->textOffProtocol;
            if (FAILED(hr)) {
                if (cwcChunk == 0 && IsEntryNameChunk(stat))
                    ++pCounts->emptyNames;
                break;
            }
            cwc = cwc < cwcBuffer ? cwc : cwcBuffer;
            cwcChunk += cwc;
            pCounts->characters += cwc;
            if (pPrinter != nullptr)
                pPrinter->Text(buffer.data(), cwc);
            idle = cwc == 0 ? idle + 1 : 0;
        }
    }
    if (stat.flags & CHUNK_VALUE) {
        for (ULONG i = 0; i < MAX_VALUES; ++i) {
            PROPVARIANT *pValue = nullptr;
            if (FAILED(Timed(pCounts, [&] { return pFilter->GetValue(&pValue); })))
                break;
            if (pValue == nullptr)
                continue;
            ++pCounts->values;
            if (pPrinter != nullptr)
                pPrinter->Value(pValue->vt, ValueText(*pValue));
            PropVariantClear(pValue);
            CoTaskMemFree(pValue);
        }
    }
}

// --- the run ----------------------------------------------------------------------------------

// The archive filter's chunk naming an entry (PID_STG_NAME). Its extracted files appear and go
// only in the GetChunk calls that hand out such a chunk, the title or an error or the end; a
// relayed child chunk does no file work. So --stats counts files after those calls: the same
// states of the run folders that counting after every call would see, at a fraction of its cost.
bool IsEntryNameChunk(const STAT_CHUNK &stat)
{
    // {B725F130-47EF-101A-A5F1-02608C9EEBAC}: the storage property set.
    constexpr GUID PROPSET_STORAGE = {0xB725F130, 0x47EF, 0x101A, {0xA5, 0xF1, 0x02, 0x60, 0x8C, 0x9E, 0xEB, 0xAC}};
    constexpr PROPID PROPID_NAME = 10;
    return IsEqualGUID(stat.attribute.guidPropSet, PROPSET_STORAGE) &&
           stat.attribute.psProperty.ulKind == PRSPEC_PROPID && stat.attribute.psProperty.propid == PROPID_NAME;
}

void Usage(const char *why)
{
    std::fprintf(stderr,
                 "pellucidor-dump: %s\nusage: pellucidor-dump [--json] [--quiet] [--buffer N] [--dll PATH] [--stats] "
                 "[--heap-cap MB] [--stream|--named-stream] [--host windows-search|sharepoint|none] FILE\n",
                 why);
}

bool ParseArguments(int argc, wchar_t **argv, Options *pOptions)
{
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--json") {
            pOptions->json = true;
        } else if (arg == L"--stats") {
            pOptions->stats = true;
        } else if (arg == L"--quiet") {
            pOptions->quiet = true;
        } else if (arg == L"--stream") {
            pOptions->load = Options::BY_STREAM;
        } else if (arg == L"--named-stream") {
            pOptions->load = Options::BY_NAMED_STREAM;
        } else if (arg == L"--host") {
            if (i + 1 < argc && std::wcscmp(argv[i + 1], L"none") == 0)
                pOptions->hostImage = L"";
            for (const KnownImage &image : KNOWN_IMAGES)
                if (i + 1 < argc && image.pszDumpHost != nullptr && std::wcscmp(argv[i + 1], image.pszDumpHost) == 0)
                    pOptions->hostImage = image.pszImage;
            if (pOptions->hostImage == nullptr) {
                Usage("--host takes windows-search, sharepoint or none");
                return false;
            }
            ++i;
        } else if (arg == L"--buffer" || arg == L"--dll" || arg == L"--heap-cap") {
            if (i + 1 >= argc) {
                Usage("an option lacks its value");
                return false;
            }
            const std::wstring value = argv[++i];
            if (arg == L"--dll") {
                pOptions->dll = value;
                continue;
            }
            wchar_t *end = nullptr;
            const unsigned long n = std::wcstoul(value.c_str(), &end, 10);
            if (arg == L"--heap-cap") {
                if (value.empty() || *end != L'\0' || value[0] == L'-' || n > MAX_HEAP_CAP_MB) {
                    Usage("--heap-cap takes a number of megabytes from 0 (no cap) to 1048576");
                    return false;
                }
                pOptions->heapCount = true;
                pOptions->heapCapMB = static_cast<ULONG>(n);
                continue;
            }
            if (value.empty() || *end != L'\0' || value[0] == L'-' || n < 1 || n > MAX_BUFFER) {
                Usage("--buffer takes a number of characters from 1 to 1048576");
                return false;
            }
            pOptions->buffer = static_cast<ULONG>(n);
        } else if (arg.size() > 1 && arg[0] == L'-' && arg[1] == L'-') {
            Usage("unknown option");
            return false;
        } else if (pOptions->file.empty()) {
            pOptions->file = arg;
        } else {
            Usage("more than one file");
            return false;
        }
    }
    if (pOptions->file.empty()) {
        Usage("no file given");
        return false;
    }
    return true;
}

// A stream over the file that answers Stat with its name.
HRESULT OpenNamedStream(const wchar_t *pszPath, IStream **ppStream)
{
    return SHCreateStreamOnFileEx(pszPath, STGM_READ | STGM_SHARE_DENY_NONE, FILE_ATTRIBUTE_NORMAL, FALSE, nullptr,
                                  ppStream);
}

// The whole file in a memory stream without a name.
HRESULT ReadIntoMemoryStream(const wchar_t *pszPath, IStream **ppStream)
{
    CComPtr<IStream> file;
    HRESULT hr = OpenNamedStream(pszPath, file.Put());
    STATSTG stat = {};
    if (SUCCEEDED(hr))
        hr = file->Stat(&stat, STATFLAG_NONAME);
    if (FAILED(hr))
        return hr;
    if (stat.cbSize.QuadPart > 0x7FFFFFFF)
        return E_OUTOFMEMORY;
    std::string bytes(static_cast<size_t>(stat.cbSize.QuadPart), '\0');
    ULONG cbRead = 0;
    hr = file->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &cbRead);
    if (FAILED(hr))
        return hr;
    *ppStream = SHCreateMemStream(reinterpret_cast<const BYTE *>(bytes.data()), cbRead);
    return *ppStream != nullptr ? S_OK : E_OUTOFMEMORY;
}

int NotLoaded(const std::string &why)
{
    std::fprintf(stderr, "pellucidor-dump: %s\n", why.c_str());
    return EXIT_NOT_LOADED;
}

// How the stream ended (FILTER_E_END_OF_CHUNKS) or the failure it was given up at; with --quiet,
// followed by the counts.
std::string FinalLine(const Options &options, HRESULT hrLast, const Counts &counts)
{
    const bool bEnd = hrLast == FILTER_E_END_OF_CHUNKS;
    std::string line = options.json ? std::string(bEnd ? "{\"end\":\"" : "{\"error\":\"") + Hex(hrLast) + "\""
                                    : (bEnd ? "End: " : "GetChunk failed: ") + Hex(hrLast);
    if (options.quiet) {
        const std::pair<const char *, unsigned long long> figures[] = {
            {"chunks", counts.chunks}, {"characters", counts.characters}, {"values", counts.values},
            {"failures", counts.failures}};
        for (const auto &[name, n] : figures)
            line += options.json ? ",\"" + std::string(name) + "\":" + Number(n) : ", " + Number(n) + " " + name;
    }
    return line + (options.json ? "}\n" : bEnd ? "\n" : "\n\n");
}

// What the host kept, for --host: from the filter's own report when it gives one (ours does).
std::string SummaryLine(const Options &options, IFilter *pFilter, const Counts &counts)
{
    RunReport report{};
    report.cbSize = sizeof(report);
    CComPtr<IRunReport> reporter;
    const bool bReport = SUCCEEDED(pFilter->QueryInterface(IID_IRunReport, reporter.PutVoid())) &&
                         SUCCEEDED(reporter->GetRunReport(&report));
    const unsigned long long whole = report.cDocumentsWhole, inPart = report.cDocumentsInPart;
    const unsigned long long namedOnly = report.cNames > whole + inPart ? report.cNames - whole - inPart : 0;
    const unsigned long long longest = static_cast<unsigned long long>(counts.longestCallMs + 0.5);
    const std::pair<const char *, std::string> figures[] = {
        {"names", Number(report.cNames)},
        {"documents-whole", Number(whole)},
        {"documents-in-part", Number(inPart)},
        {"named-only", Number(namedOnly)},
        {"left-out", Number(report.cDocumentsLeftOut)},
        {"text-off-protocol", Number(counts.textOffProtocol)},
        {"empty-names", Number(counts.emptyNames)},
        {"characters", Number(report.cchEmitted)},
        {"allowance", report.cchAllowance != 0 ? Number(report.cchAllowance) : "none"},
        {"longest-call-ms", Number(longest)},
        {"run-ms", Number(GetTickCount64() - counts.startMs)},
    };
    if (!bReport)
        return options.json ? "{\"summary\":\"no report\"}\n" : "Summary: the filter gives no report\n";
    std::string line = options.json ? "{\"summary\":true" : "Summary:";
    for (const auto &[name, value] : figures) {
        const bool bNumber = value != "none";
        line += options.json ? ",\"" + std::string(name) + "\":" + (bNumber ? value : "null")
                             : " " + std::string(name) + " " + value;
    }
    return line + (options.json ? "}\n" : "\n");
}

// The DLL that holds the filter object's code: where its vtable lives.
HMODULE ModuleOf(IUnknown *pObject)
{
    HMODULE hModule = nullptr;
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       *reinterpret_cast<LPCWSTR *>(pObject), &hModule);
    return hModule;
}

int Dump(const Options &options, HMODULE hDll, CComPtr<IFilter> *pHolder, CFolderCounter *pCounter,
         std::unique_ptr<CCappedHeap> *pHeap)
{
    wchar_t fullPath[MAX_PATH * 4] = {};
    if (GetFullPathNameW(options.file.c_str(), ARRAYSIZE(fullPath), fullPath, nullptr) == 0)
        return NotLoaded("cannot make a full path of the file");

    std::string why;
    const HRESULT hrCreate = hDll != nullptr ? CreateFilterFromDll(hDll, pHolder->Put(), &why)
                                             : CreateRegisteredFilter(fullPath, pHolder->Put(), &why);
    if (FAILED(hrCreate) || !*pHolder)
        return NotLoaded(why.empty() ? "no filter" : why);
    IFilter *pFilter = pHolder->Get();
    if (options.heapCount) {
        // From here on: the filter object's creation is not counted, everything it does is.
        pHeap->reset(new CCappedHeap(ModuleOf(pFilter), static_cast<size_t>(options.heapCapMB) << 20));
        if (!(*pHeap)->Installed())
            return NotLoaded("cannot count the heap of the filter's DLL: it imports no malloc from msvcrt");
    }

    HRESULT hr = S_OK;
    if (options.load == Options::BY_PATH) {
        CComPtr<IPersistFile> persist;
        hr = pFilter->QueryInterface(IID_IPersistFile, persist.PutVoid());
        if (SUCCEEDED(hr))
            hr = persist->Load(fullPath, STGM_READ | STGM_SHARE_DENY_NONE);
        if (FAILED(hr))
            return NotLoaded("IPersistFile::Load failed with " + Hex(hr));
    } else {
        CComPtr<IStream> stream;
        hr = options.load == Options::BY_NAMED_STREAM ? OpenNamedStream(fullPath, stream.Put())
                                                      : ReadIntoMemoryStream(fullPath, stream.Put());
        if (FAILED(hr))
            return NotLoaded("cannot open a stream over the file: " + Hex(hr));
        CComPtr<IPersistStream> persist;
        hr = pFilter->QueryInterface(IID_IPersistStream, persist.PutVoid());
        if (SUCCEEDED(hr))
            hr = persist->Load(stream.Get());
        if (FAILED(hr))
            return NotLoaded("IPersistStream::Load failed with " + Hex(hr));
    }

    ULONG flags = 0;
    hr = pFilter->Init(IFILTER_INIT_CANON_PARAGRAPHS | IFILTER_INIT_HARD_LINE_BREAKS | IFILTER_INIT_APPLY_INDEX_ATTRIBUTES,
                       0, nullptr, &flags);
    if (options.json)
        Write("{\"init\":\"" + Hex(hr) + "\",\"flags\":" + Number(flags) + "}\n");
    else
        Write("Init: " + Hex(hr) + ", flags " + Number(flags) + "\n\n");
    if (FAILED(hr))
        return NotLoaded("IFilter::Init failed with " + Hex(hr));

    // The output is flushed at every chunk of the filter's own (title and entry names): a crash
    // inside a child filter still shows which entry it was in, and a large document does not go
    // out one paragraph at a time. On a console, at every chunk. A console, not any character
    // device: the null device is one too.
    DWORD consoleMode = 0;
    const bool bConsole = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &consoleMode) != FALSE;
    CChunkPrinter printer(options.json);
    std::vector<WCHAR> buffer(options.buffer);
    Counts counts;
    counts.timeCalls = options.hostImage != nullptr;
    counts.startMs = GetTickCount64();
    int failures = 0;
    for (ULONG chunks = 0; chunks < MAX_CHUNKS;) {
        STAT_CHUNK stat = {};
        hr = Timed(&counts, [&] { return pFilter->GetChunk(&stat); });
        if (options.stats && (hr != S_OK || stat.idChunk == 1 || IsEntryNameChunk(stat)))
            pCounter->Count();
        if (hr == FILTER_E_END_OF_CHUNKS) {
            Write(FinalLine(options, hr, counts));
            if (options.hostImage != nullptr)
                Write(SummaryLine(options, pFilter, counts));
            return EXIT_END;
        }
        if (FAILED(hr)) {
            ++counts.failures;
            const bool bGivingUp = ++failures == MAX_FAILED_CHUNKS;
            if (!options.quiet || bGivingUp) {
                Write(FinalLine(options, hr, counts));
                Flush();
            }
            if (bGivingUp) {
                std::fprintf(stderr, "pellucidor-dump: GetChunk failed %d times in a row\n", MAX_FAILED_CHUNKS);
                return EXIT_NO_END;
            }
            continue;
        }
        failures = 0;
        ++chunks;
        ++counts.chunks;
        if (options.quiet) {
            ReadChunk(pFilter, stat, buffer, nullptr, &counts);
            continue;
        }
        printer.Head(stat);
        ReadChunk(pFilter, stat, buffer, &printer, &counts);
        printer.Tail(stat);
        if (bConsole || stat.idChunk == 1 || IsEntryNameChunk(stat))
            Flush();
    }
    std::fprintf(stderr, "pellucidor-dump: the stream did not end after %lu chunks\n", static_cast<unsigned long>(MAX_CHUNKS));
    return EXIT_NO_END;
}

} // namespace

// The base name of this program's image.
std::wstring OwnImageName()
{
    wchar_t szPath[MAX_PATH * 4] = {};
    GetModuleFileNameW(nullptr, szPath, ARRAYSIZE(szPath));
    return PathFindFileNameW(szPath);
}

// Runs this program again with the same arguments, as a copy named pszImage in a folder of its
// own under the temporary folder; the copy's exit code, or -1 when it cannot be run.
int RunAs(const wchar_t *pszImage)
{
    wchar_t szSelf[MAX_PATH * 4] = {}, szTemp[MAX_PATH + 1] = {};
    if (GetModuleFileNameW(nullptr, szSelf, ARRAYSIZE(szSelf)) == 0 || GetTempPathW(ARRAYSIZE(szTemp), szTemp) == 0)
        return -1;
    const std::wstring folder = std::wstring(szTemp) + L"pellucidor-dump-host-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring copy = folder + L"\\" + pszImage;
    if (!CreateDirectoryW(folder.c_str(), nullptr) || !CopyFileW(szSelf, copy.c_str(), TRUE)) {
        RemoveDirectoryW(folder.c_str());
        return -1;
    }
    // The command line as given, behind the copy's own path.
    const wchar_t *pszArgs = PathGetArgsW(GetCommandLineW());
    std::wstring commandLine = L"\"" + copy + L"\" " + pszArgs;
    STARTUPINFOW startup = {};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process = {};
    std::fflush(stdout);
    int code = -1;
    if (CreateProcessW(copy.c_str(), commandLine.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process)) {
        WaitForSingleObject(process.hProcess, INFINITE);
        DWORD dwCode = 0;
        if (GetExitCodeProcess(process.hProcess, &dwCode))
            code = static_cast<int>(dwCode);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    DeleteFileW(copy.c_str());
    RemoveDirectoryW(folder.c_str());
    return code;
}

int wmain(int argc, wchar_t **argv)
{
    _setmode(_fileno(stdout), _O_BINARY);
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);  // Dump says when it goes out
    Options options;
    if (!ParseArguments(argc, argv, &options))
        return EXIT_USAGE;
    if (options.hostImage != nullptr && options.hostImage[0] != L'\0' &&
        lstrcmpiW(OwnImageName().c_str(), options.hostImage) != 0) {
        const int code = RunAs(options.hostImage);
        if (code < 0)
            return NotLoaded("cannot run as " + Utf8(options.hostImage));
        return code;
    }

    if (FAILED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)))
        return NotLoaded("COM did not start");
    CLibrary dll;
    if (!options.dll.empty()) {
        dll.Attach(LoadLibraryW(options.dll.c_str()));
        if (!dll) {
            CoUninitialize();
            return NotLoaded("cannot load " + Utf8(options.dll) + ", error " + std::to_string(GetLastError()));
        }
    }
    int code;
    CFolderCounter counter;
    std::unique_ptr<CCappedHeap> heap;
    {
        // The filter goes before its DLL and before COM.
        CComPtr<IFilter> filter;
        code = Dump(options, dll.Get(), &filter, &counter, &heap);
    }
    Flush();
    if (options.stats)
        PrintStats(counter);
    if (heap) {
        const HeapCounts counts = heap->Counts();
        std::fprintf(stderr, "dll-heap-peak=%llu dll-heap-refused=%lu dll-heap-largest-refused=%llu dll-threads=%lu\n",
                     static_cast<unsigned long long>(counts.cbPeak), counts.refusals,
                     static_cast<unsigned long long>(counts.cbLargestRefused), counts.threads);
        heap.reset();  // the DLL's imports back before it can be unloaded
    }
    dll.Close();
    CoUninitialize();
    return code;
}
