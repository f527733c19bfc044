// pellucidor-dump: filters one file the way a search host does and prints what the host sees.
//
//   pellucidor-dump [--json] [--quiet] [--buffer N] [--dll PATH] [--stats] FILE
//
// The filter comes from the standard registration of the file's extension (PersistentHandler,
// then its IFilter add-in), or with --dll straight from that DLL's class factory. Every chunk is
// pulled with all its text (GetText with a buffer of N characters, 4096 by default) and all its
// values. --quiet pulls the same and prints, after Init's line, only one line at the end: the
// chunks, characters and values pulled, the GetChunk failures, and how the stream ended (the
// filter's cost without the printing's). --stats (for the benchmark) prints on stderr at exit
// the process's peak working set and the most files seen at once in the filter's run folders
// (see IsEntryNameChunk). Exit codes: 0 the stream reached its end; 1 bad arguments; 2 the file
// could not be loaded or initialised; 3 GetChunk failed 100 times in a row (or the stream never
// ended).
//
// Like a search host, whose filter side pulls the chunks and whose indexer consumes them in
// another process, the tool pulls on its main thread and formats and writes on a second one
// (CConsumer): the output's cost runs beside the filter's instead of after it. Its main thread is
// in the multithreaded apartment, where a search engine's filter host runs filters (they are
// registered "Both" for it): no apartment window, so no desktop to wait for.
#include <windows.h>
#include <filter.h>
#include <filterr.h>
#include <fcntl.h>
#include <io.h>
#include <emmintrin.h>  // SSE2: the build asks for it on x86

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <deque>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "support/Guids.h"
#include "support/Holders.h"
#include "support/ProcAddress.h"
#include "tools/bench/BenchStats.h"

namespace {

constexpr ULONG DEFAULT_BUFFER = 4096;
constexpr ULONG MAX_BUFFER = 1 << 20;
constexpr int MAX_FAILED_CHUNKS = 100;       // consecutive GetChunk failures before giving up
constexpr ULONG MAX_CHUNKS = 10000000;       // a stream that never ends
constexpr int MAX_IDLE_PIECES = 100;         // GetText successes in a row that bring nothing
constexpr ULONG MAX_VALUES = 100000;         // values of one chunk
constexpr const wchar_t *IFILTER_ADDIN = L"{89BCB740-6119-101A-BCB7-00DD010655AF}";

enum ExitCode { EXIT_END = 0, EXIT_USAGE = 1, EXIT_NOT_LOADED = 2, EXIT_NO_END = 3 };

struct Options {
    bool json = false;
    bool stats = false;
    bool quiet = false;
    ULONG buffer = DEFAULT_BUFFER;
    std::wstring dll;
    std::wstring file;
};

// --- output: UTF-8 on stdout, whatever the console --------------------------------------------

// Gathered here and handed to stdout in pieces of OUTPUT_PIECE bytes or more, and whatever there is
// at each Flush: a stream can have millions of lines of a few parts each, and the CRT takes the
// stream's lock for every fwrite. Text is encoded straight into the buffer (Reserve, then Commit).
class COutput
{
public:
    // Room for cb more bytes at the returned pointer; Commit says where the caller stopped.
    char *Reserve(size_t cb)
    {
        if (m_used + cb > m_capacity) {
            Pass();
            if (cb > m_capacity) {
                m_buffer.reset(new char[cb]);
                m_capacity = cb;
            }
        }
        return m_buffer.get() + m_used;
    }
    void Commit(const char *end)
    {
        m_used = static_cast<size_t>(end - m_buffer.get());
        if (m_used >= OUTPUT_PIECE)
            Pass();
    }
    void Write(std::string_view text)
    {
        char *p = Reserve(text.size());
        std::memcpy(p, text.data(), text.size());
        Commit(p + text.size());
    }
    // A literal: its length known to the compiler, it is copied without a call.
    template <size_t N>
    void Write(const char (&literal)[N])
    {
        char *p = Reserve(N - 1);
        std::memcpy(p, literal, N - 1);
        Commit(p + N - 1);
    }
    void Flush()
    {
        Pass();
        std::fflush(stdout);
    }

private:
    static constexpr size_t OUTPUT_PIECE = 1 << 16;

    void Pass()
    {
        if (m_used > 0)
            std::fwrite(m_buffer.get(), 1, m_used, stdout);
        m_used = 0;
    }

    std::unique_ptr<char[]> m_buffer{new char[2 * OUTPUT_PIECE]};
    size_t m_capacity = 2 * OUTPUT_PIECE;
    size_t m_used = 0;
};

COutput g_output;

void Write(std::string_view text) { g_output.Write(text); }
template <size_t N>
void Write(const char (&literal)[N]) { g_output.Write(literal); }

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

// A JSON string: quotes, backslashes and control characters escaped, a lone surrogate as \uXXXX,
// everything else as UTF-8. Encoded here rather than by WideCharToMultiByte, whose cost per call
// would dominate on text that is mostly short lines, and several characters at a time while they
// are plain ASCII, as most text is.
constexpr size_t JsonCapacity(size_t cch) { return 6 * cch + 2; }  // an escape is six bytes at most

// Sixteen units as bytes: UTF-16 saturated (a unit above 0xFF becomes 0xFF, one from 0x8000 on,
// negative, 0x00), ASCII as it is.
__m128i SixteenBytes(const wchar_t *text)
{
    return _mm_packus_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i *>(text)),
                            _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + 8)));
}
__m128i SixteenBytes(const char *text) { return _mm_loadu_si128(reinterpret_cast<const __m128i *>(text)); }

// Copies the leading units of text that need no escape and are ASCII to out, as bytes, sixteen at
// a time; returns how many. Writes up to 16 bytes beyond them, and stops up to fifteen units before
// the end of the text: the caller takes those.
template <class Unit>
size_t CopyPlainAscii(const Unit *text, size_t cch, char *out)
{
    size_t i = 0;
    const __m128i space = _mm_set1_epi8(0x20), quote = _mm_set1_epi8('"'), backslash = _mm_set1_epi8('\\');
    const auto escaped = [&](__m128i v) {  // as signed bytes, 0x80 to 0xFF are below the space
        return _mm_or_si128(_mm_cmplt_epi8(v, space), _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash)));
    };
    for (; i + 16 <= cch; i += 16) {
        const __m128i bytes = SixteenBytes(text + i);
        _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), bytes);
        const unsigned mask = static_cast<unsigned>(_mm_movemask_epi8(escaped(bytes)));
        if (mask != 0)  // the bytes from the first escaped unit on are not kept
            return i + static_cast<size_t>(__builtin_ctz(mask));
    }
    return i;
}

// Writes text, UTF-16 or ASCII bytes, as the inside of a JSON string at out, which has room for
// JsonCapacity(cch) bytes; returns its end.
template <class Unit>
char *EncodeJsonText(const Unit *text, size_t cch, char *out)
{
    char *p = out;
    size_t plainFrom = 0;  // the units from here to i went out as one byte each, unchanged
    for (size_t i = 0; i < cch; ++i) {
        const size_t plain = CopyPlainAscii(text + i, cch - i, p);
        i += plain;
        p += plain;
        if (i == cch)
            break;
        // Fewer than sixteen left: the last sixteen units at once, when those before i among them
        // went out unchanged (their bytes are written again as they are).
        if (cch - i < 16 && cch >= 16 && plainFrom + 16 <= cch) {
            const size_t behind = i - (cch - 16);
            const size_t more = CopyPlainAscii(text + cch - 16, 16, p - behind) - behind;  // from i
            i += more;
            p += more;
            if (i == cch)
                break;
        }
        const unsigned ch = static_cast<std::make_unsigned_t<Unit>>(text[i]);
        if (ch >= 0x20 && ch < 0x80 && ch != '"' && ch != '\\') {
            *p++ = static_cast<char>(ch);
            continue;
        }
        if (ch == '"' || ch == '\\' || ch == '\n' || ch == '\r' || ch == '\t') {
            *p++ = '\\';
            *p++ = ch == '\n' ? 'n' : ch == '\r' ? 'r' : ch == '\t' ? 't' : static_cast<char>(ch);
        } else if (ch < 0x20 || (ch >= 0xD800 && ch <= 0xDFFF &&
                                 !(IS_HIGH_SURROGATE(ch) && i + 1 < cch && IS_LOW_SURROGATE(text[i + 1])))) {
            static const char hex[] = "0123456789abcdef";
            *p++ = '\\';
            *p++ = 'u';
            for (int shift = 12; shift >= 0; shift -= 4)
                *p++ = hex[(ch >> shift) & 0xF];
        } else if (ch < 0x800) {
            *p++ = static_cast<char>(0xC0 | (ch >> 6));
            *p++ = static_cast<char>(0x80 | (ch & 0x3F));
        } else if (ch < 0xD800 || ch > 0xDFFF) {
            *p++ = static_cast<char>(0xE0 | (ch >> 12));
            *p++ = static_cast<char>(0x80 | ((ch >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (ch & 0x3F));
        } else {  // a surrogate pair
            const unsigned cp = 0x10000 + ((ch - 0xD800) << 10) + (static_cast<std::make_unsigned_t<Unit>>(text[++i]) - 0xDC00);
            *p++ = static_cast<char>(0xF0 | (cp >> 18));
            *p++ = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
            *p++ = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
            *p++ = static_cast<char>(0x80 | (cp & 0x3F));
        }
        plainFrom = i + 1;
    }
    return p;
}

std::string JsonString(const std::wstring &text)
{
    std::string out(JsonCapacity(text.size()), '\0');
    out[0] = '"';
    char *end = EncodeJsonText(text.data(), text.size(), out.data() + 1);
    *end++ = '"';
    out.resize(static_cast<size_t>(end - out.data()));
    return out;
}

std::wstring GuidText(const GUID &guid)
{
    wchar_t text[40] = {};
    StringFromGUID2(guid, text, 40);
    return text;
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

// --- one chunk --------------------------------------------------------------------------------

using ChunkValues = std::vector<std::pair<VARTYPE, std::wstring>>;  // type, and the text of string types

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

// Pulls the chunk's text in pieces of at most cwcBuffer characters and its values, and hands them
// to sink: WCHAR *TextRoom(cwc) for room for a piece, Text(cwc) for what GetText put there, and
// Value(vt, text) for each value.
template <class Sink>
void ReadChunk(IFilter *pFilter, const STAT_CHUNK &stat, ULONG cwcBuffer, Sink &sink)
{
    if (stat.flags & CHUNK_TEXT) {
        for (int idle = 0; idle < MAX_IDLE_PIECES;) {
            ULONG cwc = cwcBuffer;
            const HRESULT hr = pFilter->GetText(&cwc, sink.TextRoom(cwcBuffer));
            if (FAILED(hr))
                break;
            cwc = cwc < cwcBuffer ? cwc : cwcBuffer;
            sink.Text(cwc);
            idle = cwc == 0 ? idle + 1 : 0;
        }
    }
    if (stat.flags & CHUNK_VALUE) {
        for (ULONG i = 0; i < MAX_VALUES; ++i) {
            PROPVARIANT *pValue = nullptr;
            if (FAILED(pFilter->GetValue(&pValue)))
                break;
            if (pValue == nullptr)
                continue;
            sink.Value(pValue->vt, ValueText(*pValue));
            PropVariantClear(pValue);
            CoTaskMemFree(pValue);
        }
    }
}

// A chunk's fields up to its text or values, formatted straight into the output without the heap:
// there is one line per chunk, and a stream can have millions.
class CLineHead
{
public:
    // The most a head takes, its property name aside: four literals and two numbers before the
    // fields, the fields (see Fields), three literals and two numbers after them.
    static constexpr size_t ROOM = 256;

    CLineHead() : m_p(g_output.Reserve(ROOM)), m_end(m_p + ROOM) {}
    // What was formatted goes out; nothing more may be added.
    void Commit() { g_output.Commit(m_p); }

    // A literal, whose length the compiler knows, so it is copied without a call.
    template <size_t N>
    CLineHead &Text(const char (&literal)[N])
    {
        static_assert(N - 1 <= ROOM);
        if (static_cast<size_t>(m_end - m_p) >= N - 1) {
            std::memcpy(m_p, literal, N - 1);
            m_p += N - 1;
        }
        return *this;
    }
    CLineHead &Number(unsigned long long n)
    {
        // The fields are 32-bit: no 64-bit division for them where the machine word is 32 bits.
        m_p = n <= 0xFFFFFFFFu ? std::to_chars(m_p, m_end, static_cast<unsigned long>(n)).ptr
                               : std::to_chars(m_p, m_end, n).ptr;
        return *this;
    }
    // ,"break":..,"flags":..,"locale":..,"propset":"{...}" and, for a property named by its id,
    // ,"propid":.. . Chunk after chunk has the same: the text of the last ones is kept, and copied
    // whole with a length the compiler knows (the head's room holds it).
    CLineHead &Fields(const STAT_CHUNK &stat)
    {
        struct Key {
            CHUNK_BREAKTYPE breakType;
            DWORD flags;
            LCID locale;
            GUID propset;
            ULONG ulKind;
            PROPID propid;  // of PRSPEC_PROPID only
            bool operator==(const Key &other) const
            {
                return breakType == other.breakType && flags == other.flags && locale == other.locale &&
                       IsEqualGUID(propset, other.propset) && ulKind == other.ulKind && propid == other.propid;
            }
        };
        static constexpr size_t FIELDS_ROOM = 160;  // 129 at most
        static Key s_last;
        static char s_text[FIELDS_ROOM];
        static size_t s_cch = 0;  // 0 until the first
        const FULLPROPSPEC &attr = stat.attribute;
        const bool bId = attr.psProperty.ulKind == PRSPEC_PROPID;
        const Key key = {stat.breakType, stat.flags, stat.locale, attr.guidPropSet, attr.psProperty.ulKind,
                         bId ? attr.psProperty.propid : 0};
        if (s_cch == 0 || !(key == s_last)) {
            CLineHead fields(s_text, s_text + sizeof(s_text));
            fields.Text(",\"break\":").Number(stat.breakType).Text(",\"flags\":").Number(stat.flags);
            fields.Text(",\"locale\":").Number(stat.locale).Text(",\"propset\":").Guid(attr.guidPropSet);
            if (bId)
                fields.Text(",\"propid\":").Number(attr.psProperty.propid);
            s_cch = static_cast<size_t>(fields.m_p - s_text);
            s_last = key;
        }
        if (static_cast<size_t>(m_end - m_p) >= sizeof(s_text)) {
            std::memcpy(m_p, s_text, sizeof(s_text));
            m_p += s_cch;
        }
        return *this;
    }

private:
    // Formats into a buffer of the caller's.
    CLineHead(char *p, char *end) : m_p(p), m_end(end) {}

    // As StringFromGUID2 writes it, in quotes.
    CLineHead &Guid(const GUID &guid)
    {
        char text[] = "\"{00000000-0000-0000-0000-000000000000}\"";  // its length is fixed
        const std::wstring wide = GuidText(guid);
        for (size_t i = 0; i < wide.size() && i + 2 < sizeof(text) - 1; ++i)
            text[i + 1] = static_cast<char>(wide[i]);  // ASCII only
        return Text(text);
    }

    char *m_p;
    char *m_end;
};

// A chunk is printed in three steps: its head, its text in pieces (the text of a chunk can be as
// long as a document, and is never gathered whole), and its tail with the values.
void PrintJsonHead(const STAT_CHUNK &stat)
{
    const FULLPROPSPEC &attr = stat.attribute;
    CLineHead head;
    head.Text("{\"id\":").Number(stat.idChunk).Text(",\"source\":").Number(stat.idChunkSource).Fields(stat);
    if (attr.psProperty.ulKind == PRSPEC_LPWSTR) {
        head.Text(",\"propname\":").Commit();
        Write(JsonString(attr.psProperty.lpwstr != nullptr ? attr.psProperty.lpwstr : L""));
        head = CLineHead();
    }
    head.Text(",\"start\":").Number(stat.cwcStartSource).Text(",\"len\":").Number(stat.cwcLenSource);
    if (stat.flags & CHUNK_TEXT)
        head.Text(",\"text\":\"");
    head.Commit();
}

template <class Unit>
void PrintJsonText(const Unit *text, size_t cch)
{
    g_output.Commit(EncodeJsonText(text, cch, g_output.Reserve(JsonCapacity(cch))));
}

void PrintJsonTail(const STAT_CHUNK &stat, const ChunkValues &values)
{
    // The text's closing quote goes with the rest of the line.
    if (!(stat.flags & CHUNK_VALUE)) {
        if (stat.flags & CHUNK_TEXT)
            Write("\"}\n");
        else
            Write("}\n");
        return;
    }
    std::string line = stat.flags & CHUNK_TEXT ? "\",\"values\":[" : ",\"values\":[";
    for (size_t i = 0; i < values.size(); ++i) {
        const auto &value = values[i];
        line += (i == 0 ? "{\"vt\":" : ",{\"vt\":") + std::to_string(value.first);
        if (IsStringType(value.first))
            line += ",\"str\":" + JsonString(value.second);
        line += "}";
    }
    Write(line + "]}\n");
}

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

void PrintForPeopleHead(const STAT_CHUNK &stat)
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
    block += "Attribute = " + Utf8(GuidText(attr.guidPropSet)) + "\\" + property + "\n";
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
    Write(block);
}

void PrintForPeopleText(const wchar_t *text, size_t cch)
{
    Write(Utf8(std::wstring_view(text, cch)));
}

void PrintForPeopleTail(const STAT_CHUNK &stat, const ChunkValues &values)
{
    std::string block = stat.flags & CHUNK_TEXT ? "\n" : "";
    for (const auto &value : values)
        block += "Value (vt " + std::to_string(value.first) + ")" +
                 (IsStringType(value.first) ? ": " + Utf8(value.second) : std::string()) + "\n";
    Write(block + "\n");
}

// --- the consumer -----------------------------------------------------------------------------

// Formats and writes, on a thread of its own, what the pulling thread hands it: a chunk's fields,
// the pieces of its text (as bytes where they are ASCII), its values, its end, and whole lines.
// Blocks go over when one cannot take a whole piece or holds many events; at most BLOCKS exist,
// so a slow output holds the pulling thread back rather than the stream gathering in memory.
// Drain writes out everything so far before it returns.
class CConsumer
{
public:
    CConsumer(bool bJson, ULONG cwcPiece) : m_bJson(bJson), m_cwcPiece(cwcPiece)
    {
        m_current = NewBlock();
        m_thread.Attach(CreateThread(nullptr, 0, ThreadProc, this, 0, nullptr));
    }
    ~CConsumer() { Close(); }
    CConsumer(const CConsumer &) = delete;
    CConsumer &operator=(const CConsumer &) = delete;

    // For ReadChunk: room for a piece of cwc characters, and what was put there. GetText writes
    // into a buffer of this thread's, where the text is still in this core's cache when it is
    // taken into the block: ASCII as bytes, half what the printing thread's core has to read,
    // anything else as it came.
    WCHAR *TextRoom(ULONG cwc)
    {
        if (m_piece.size() < cwc)
            m_piece.resize(cwc);
        return m_piece.data();
    }
    void Text(ULONG cwc)
    {
        if (cwc == 0)
            return;
        Room(cwc);
        if (NarrowAscii(m_piece.data(), cwc, m_current->Bytes() + m_current->used)) {
            AddText(Event::ASCII, m_current->used, cwc, cwc);
            return;
        }
        Room(sizeof(WCHAR) * cwc + 1);
        const size_t offset = (m_current->used + 1) & ~size_t{1};  // WCHARs are two-byte aligned
        std::memcpy(m_current->Bytes() + offset, m_piece.data(), sizeof(WCHAR) * cwc);
        AddText(Event::TEXT, offset, cwc, sizeof(WCHAR) * cwc);
    }
    void Value(VARTYPE vt, std::wstring text)
    {
        Event &event = Add(Event::VALUE);
        event.vt = vt;
        event.index = m_current->texts.size();
        m_current->texts.push_back(std::move(text));
    }
    // The chunk's fields; its property name is copied, the filter owns it.
    void Chunk(const STAT_CHUNK &stat)
    {
        Event &event = Add(Event::CHUNK);
        event.stat = stat;
        if (stat.attribute.psProperty.ulKind == PRSPEC_LPWSTR) {
            const wchar_t *name = stat.attribute.psProperty.lpwstr;
            event.stat.attribute.psProperty.lpwstr = nullptr;  // propid shares its place
            event.index = m_current->texts.size();
            m_current->texts.emplace_back(name != nullptr ? name : L"");
        }
    }
    void EndChunk() { Add(Event::END_CHUNK); }
    void Line(std::string line)
    {
        Add(Event::LINE).index = m_current->lines.size();
        m_current->lines.push_back(std::move(line));
    }

    void Drain()
    {
        {
            CSrwExclusive lock(m_lock);
            while (m_cWritten != m_cHanded)
                SleepConditionVariableSRW(&m_changed, &m_lock, INFINITE, 0);
        }
        // The printing thread has caught up and waits for a block: the rest is written here,
        // without a round trip to it (a stream of small documents drains at every entry).
        WriteOut(*m_current);
    }
    // Everything written, and the thread gone.
    void Close()
    {
        Drain();
        if (!m_thread)
            return;
        {
            CSrwExclusive lock(m_lock);
            m_bClosing = true;
        }
        WakeAllConditionVariable(&m_changed);
        WaitForSingleObject(m_thread.Get(), INFINITE);
        m_thread.Close();
    }

private:
    static constexpr size_t BLOCKS = 4;
    static constexpr size_t BLOCK_TEXT = 1 << 18;     // characters
    static constexpr size_t BLOCK_EVENTS = 1 << 12;

    // Plain data, as there are millions, written in place without being cleared first: strings
    // are kept beside the events.
    struct Event {
        enum Kind { CHUNK, TEXT, ASCII, VALUE, END_CHUNK, LINE } kind;
        STAT_CHUNK stat;      // CHUNK
        VARTYPE vt;           // VALUE
        size_t offset, cch;   // TEXT, ASCII: where in the block's text (in bytes), how many units
        size_t index;         // CHUNK named by a string, VALUE: in texts; LINE: in lines
    };
    struct Block {
        std::unique_ptr<Event[]> events{new Event[BLOCK_EVENTS]};
        size_t cEvents = 0;
        std::vector<std::wstring> texts;  // property names, values' texts
        std::vector<std::string> lines;
        // The text, ASCII pieces as bytes and others as WCHARs; capacity and used count bytes.
        std::unique_ptr<WCHAR[]> text;
        size_t capacity = 0;
        size_t used = 0;

        char *Bytes() const { return reinterpret_cast<char *>(text.get()); }
    };
    // Holds an SRW lock exclusively for its scope.
    class CSrwExclusive
    {
    public:
        explicit CSrwExclusive(SRWLOCK &lock) : m_lock(lock) { AcquireSRWLockExclusive(&m_lock); }
        ~CSrwExclusive() { ReleaseSRWLockExclusive(&m_lock); }
        CSrwExclusive(const CSrwExclusive &) = delete;
        CSrwExclusive &operator=(const CSrwExclusive &) = delete;

    private:
        SRWLOCK &m_lock;
    };

    std::unique_ptr<Block> NewBlock() const
    {
        auto block = std::make_unique<Block>();
        const size_t cwc = std::max<size_t>(BLOCK_TEXT, m_cwcPiece) + 1;  // one more to align a piece
        block->text.reset(new WCHAR[cwc]);
        block->capacity = sizeof(WCHAR) * cwc;
        return block;
    }

    // Room for cb bytes of text and an event in the current block.
    void Room(size_t cb)
    {
        if (m_current->used + cb > m_current->capacity || m_current->cEvents == BLOCK_EVENTS)
            HandOver();
    }
    // Copies text to out as bytes if it is all ASCII; false, with out undefined, if it is not.
    static bool NarrowAscii(const WCHAR *text, size_t cch, char *out)
    {
        size_t i = 0;
        const __m128i above = _mm_set1_epi16(static_cast<short>(0xFF80));
        for (; i + 16 <= cch; i += 16) {
            const __m128i low = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + i));
            const __m128i high = _mm_loadu_si128(reinterpret_cast<const __m128i *>(text + i + 8));
            const __m128i beyond = _mm_and_si128(_mm_or_si128(low, high), above);
            if (_mm_movemask_epi8(_mm_cmpeq_epi16(beyond, _mm_setzero_si128())) != 0xFFFF)
                return false;
            _mm_storeu_si128(reinterpret_cast<__m128i *>(out + i), _mm_packus_epi16(low, high));
        }
        for (; i < cch; ++i) {
            if (text[i] >= 0x80)
                return false;
            out[i] = static_cast<char>(text[i]);
        }
        return true;
    }

    // A piece of text put at offset in the current block, cb bytes long.
    void AddText(Event::Kind kind, size_t offset, size_t cch, size_t cb)
    {
        Event &event = Add(kind);
        event.offset = offset;
        event.cch = cch;
        m_current->used = offset + cb;
    }
    Event &Add(Event::Kind kind)
    {
        if (m_current->cEvents == BLOCK_EVENTS)
            HandOver();
        Event &event = m_current->events[m_current->cEvents++];
        event.kind = kind;
        return event;
    }

    // The current block to the consumer, and a free one (or a new one while there are fewer
    // than BLOCKS) in its place.
    void HandOver()
    {
        if (!m_thread) {  // no second thread: written out here and now
            WriteOut(*m_current);
            return;
        }
        std::unique_ptr<Block> next;
        {
            CSrwExclusive lock(m_lock);
            m_full.push_back(std::move(m_current));
            ++m_cHanded;
            while (m_free.empty() && m_cBlocks >= BLOCKS)
                SleepConditionVariableSRW(&m_changed, &m_lock, INFINITE, 0);
            if (!m_free.empty()) {
                next = std::move(m_free.back());
                m_free.pop_back();
            }
        }
        WakeAllConditionVariable(&m_changed);
        if (!next) {
            next = NewBlock();
            ++m_cBlocks;
        }
        m_current = std::move(next);
    }

    static DWORD WINAPI ThreadProc(void *pThis)
    {
        static_cast<CConsumer *>(pThis)->Run();
        return 0;
    }

    void Run()
    {
        for (;;) {
            std::unique_ptr<Block> block;
            {
                CSrwExclusive lock(m_lock);
                while (m_full.empty() && !m_bClosing)
                    SleepConditionVariableSRW(&m_changed, &m_lock, INFINITE, 0);
                if (m_full.empty())
                    return;
                block = std::move(m_full.front());
                m_full.pop_front();
            }
            Consume(*block);
            Empty(*block);
            bool bIdle;
            {
                CSrwExclusive lock(m_lock);
                bIdle = m_full.empty();
            }
            if (bIdle)  // all there is so far: out it goes, so a crash later loses none of it
                g_output.Flush();
            {
                CSrwExclusive lock(m_lock);
                m_free.push_back(std::move(block));
                ++m_cWritten;
            }
            WakeAllConditionVariable(&m_changed);
        }
    }

    static void Empty(Block &block)
    {
        block.cEvents = 0;
        block.texts.clear();
        block.lines.clear();
        block.used = 0;
    }
    void WriteOut(Block &block)
    {
        Consume(block);
        Empty(block);
        g_output.Flush();
    }

    void Consume(const Block &block)
    {
        for (size_t i = 0; i < block.cEvents; ++i) {
            const Event &event = block.events[i];
            switch (event.kind) {
            case Event::CHUNK:
                m_stat = event.stat;
                if (m_stat.attribute.psProperty.ulKind == PRSPEC_LPWSTR) {
                    m_propertyName = block.texts[event.index];
                    m_stat.attribute.psProperty.lpwstr = m_propertyName.data();
                }
                m_values.clear();
                if (m_bJson)
                    PrintJsonHead(m_stat);
                else
                    PrintForPeopleHead(m_stat);
                break;
            case Event::TEXT:
                Text(block.text.get() + event.offset / sizeof(WCHAR), event.cch);
                break;
            case Event::ASCII:
                EndText();  // a held-back high surrogate has no low half here
                PrintAscii(block.Bytes() + event.offset, event.cch);
                break;
            case Event::VALUE:
                m_values.emplace_back(event.vt, block.texts[event.index]);
                break;
            case Event::END_CHUNK:
                EndText();
                if (m_bJson)
                    PrintJsonTail(m_stat, m_values);
                else
                    PrintForPeopleTail(m_stat, m_values);
                break;
            case Event::LINE:
                Write(block.lines[event.index]);
                break;
            }
        }
    }

    // A piece of the chunk's text. A surrogate pair can come split over two pieces: a high
    // surrogate at a piece's end waits for the next piece, to be printed with its low half.
    void Text(const WCHAR *text, size_t cch)
    {
        if (m_highSurrogate != 0 && cch > 0 && IS_LOW_SURROGATE(text[0])) {
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
        if (m_bJson)
            PrintJsonText(text, cch);
        else
            PrintForPeopleText(text, cch);
    }

    void PrintAscii(const char *text, size_t cch)
    {
        if (m_bJson)
            PrintJsonText(text, cch);
        else
            Write(std::string_view(text, cch));
    }

    const bool m_bJson;
    const ULONG m_cwcPiece;
    std::unique_ptr<Block> m_current;  // the pulling thread's
    std::vector<WCHAR> m_piece;        // the pulling thread's: GetText's buffer

    SRWLOCK m_lock = SRWLOCK_INIT;
    CONDITION_VARIABLE m_changed = CONDITION_VARIABLE_INIT;
    std::deque<std::unique_ptr<Block>> m_full;  // handed over, not yet written
    std::vector<std::unique_ptr<Block>> m_free;
    size_t m_cBlocks = 1;  // made so far
    unsigned long long m_cHanded = 0, m_cWritten = 0;
    bool m_bClosing = false;
    CHandle m_thread;

    // The consumer thread's: the chunk being printed.
    STAT_CHUNK m_stat = {};
    std::wstring m_propertyName;
    ChunkValues m_values;
    WCHAR m_highSurrogate = 0;  // the last piece's last unit, held back
};

// What --quiet keeps of the stream: counts. Text is pulled into one buffer, over and over.
struct CQuietCounts {
    WCHAR *TextRoom(ULONG cwc)
    {
        if (buffer.size() < cwc)
            buffer.resize(cwc);
        return buffer.data();
    }
    void Text(ULONG cwc) { characters += cwc; }
    void Value(VARTYPE, const std::wstring &) { ++values; }

    std::vector<WCHAR> buffer;
    unsigned long long chunks = 0, characters = 0, values = 0, failures = 0;  // failures: of GetChunk
};

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
    std::fprintf(stderr, "pellucidor-dump: %s\nusage: pellucidor-dump [--json] [--quiet] [--buffer N] [--dll PATH] [--stats] FILE\n", why);
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
        } else if (arg == L"--buffer" || arg == L"--dll") {
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

int NotLoaded(const std::string &why)
{
    std::fprintf(stderr, "pellucidor-dump: %s\n", why.c_str());
    return EXIT_NOT_LOADED;
}

int Dump(const Options &options, HMODULE hDll, CComPtr<IFilter> *pHolder, CFolderCounter *pCounter)
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

    CComPtr<IPersistFile> persist;
    HRESULT hr = pFilter->QueryInterface(IID_IPersistFile, persist.PutVoid());
    if (SUCCEEDED(hr))
        hr = persist->Load(fullPath, STGM_READ | STGM_SHARE_DENY_NONE);
    if (FAILED(hr))
        return NotLoaded("IPersistFile::Load failed with " + Hex(hr));

    ULONG flags = 0;
    hr = pFilter->Init(IFILTER_INIT_CANON_PARAGRAPHS | IFILTER_INIT_HARD_LINE_BREAKS | IFILTER_INIT_APPLY_INDEX_ATTRIBUTES,
                       0, nullptr, &flags);
    CConsumer consumer(options.json, options.buffer);
    if (options.json)
        consumer.Line("{\"init\":\"" + Hex(hr) + "\",\"flags\":" + std::to_string(flags) + "}\n");
    else
        consumer.Line("Init: " + Hex(hr) + ", flags " + std::to_string(flags) + "\n\n");
    if (FAILED(hr))
        return NotLoaded("IFilter::Init failed with " + Hex(hr));

    // Written out at every chunk of the filter's own (title and entry names) and at the end; a
    // console sees every chunk at once. So a crash inside a child filter still shows which entry
    // it was in, and a large document is not written out one paragraph at a time.
    // A console, not any character device: the null device is one too, and a run that throws its
    // output away must not pay for being watched.
    DWORD consoleMode = 0;
    const bool bConsole = GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &consoleMode) != FALSE;
    CQuietCounts pulled;
    // How the stream ended (FILTER_E_END_OF_CHUNKS) or the failure it was given up at.
    const auto finalLine = [&](HRESULT hrLast) {
        const char *key = hrLast == FILTER_E_END_OF_CHUNKS ? "end" : "error";
        std::string line = options.json ? "{\"" + std::string(key) + "\":\"" + Hex(hrLast) + "\""
                                        : (hrLast == FILTER_E_END_OF_CHUNKS ? "End: " : "GetChunk failed: ") + Hex(hrLast);
        if (options.quiet) {
            const std::pair<const char *, unsigned long long> counts[] = {
                {"chunks", pulled.chunks}, {"characters", pulled.characters}, {"values", pulled.values},
                {"failures", pulled.failures}};
            for (const auto &[name, n] : counts)
                line += options.json ? ",\"" + std::string(name) + "\":" + std::to_string(n)
                                     : ", " + std::to_string(n) + " " + name;
        }
        consumer.Line(line + (options.json ? "}\n" : hrLast == FILTER_E_END_OF_CHUNKS ? "\n" : "\n\n"));
    };
    int failures = 0;
    for (ULONG chunks = 0; chunks < MAX_CHUNKS;) {
        STAT_CHUNK stat = {};
        hr = pFilter->GetChunk(&stat);
        if (options.stats && (hr != S_OK || stat.idChunk == 1 || IsEntryNameChunk(stat)))
            pCounter->Count();
        if (hr == FILTER_E_END_OF_CHUNKS) {
            finalLine(hr);
            return EXIT_END;
        }
        if (FAILED(hr)) {
            ++pulled.failures;
            const bool bGivingUp = ++failures == MAX_FAILED_CHUNKS;
            if (!options.quiet || bGivingUp) {
                finalLine(hr);
                consumer.Drain();
            }
            if (bGivingUp) {
                std::fprintf(stderr, "pellucidor-dump: GetChunk failed %d times in a row\n", MAX_FAILED_CHUNKS);
                return EXIT_NO_END;
            }
            continue;
        }
        failures = 0;
        ++chunks;
        if (options.quiet) {
            ++pulled.chunks;
            ReadChunk(pFilter, stat, options.buffer, pulled);
            continue;
        }
        consumer.Chunk(stat);
        ReadChunk(pFilter, stat, options.buffer, consumer);
        consumer.EndChunk();
        if (bConsole || stat.idChunk == 1 || IsEntryNameChunk(stat))
            consumer.Drain();
    }
    std::fprintf(stderr, "pellucidor-dump: the stream did not end after %lu chunks\n", static_cast<unsigned long>(MAX_CHUNKS));
    return EXIT_NO_END;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    _setmode(_fileno(stdout), _O_BINARY);
    std::setvbuf(stdout, nullptr, _IONBF, 0);  // COutput gathers the pieces
    Options options;
    if (!ParseArguments(argc, argv, &options))
        return EXIT_USAGE;

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
    {
        // The filter goes before its DLL and before COM.
        CComPtr<IFilter> filter;
        code = Dump(options, dll.Get(), &filter, &counter);
    }
    g_output.Flush();
    if (options.stats)
        PrintStats(counter);
    dll.Close();
    CoUninitialize();
    return code;
}
