#include "FilterStream.h"

#include <filterr.h>
#include <cwchar>
#include <sstream>

namespace {

constexpr ULONG TEXT_BUFFER_CHARS = 256;
constexpr int MAX_PIECES = 100000;  // bound on GetText / GetValue calls per chunk

void ReadText(IFilter *filter, SeenChunk *pChunk)
{
    for (int i = 0; i < MAX_PIECES; ++i) {
        WCHAR buffer[TEXT_BUFFER_CHARS] = {};
        ULONG cwc = TEXT_BUFFER_CHARS;
        const HRESULT hr = filter->GetText(&cwc, buffer);
        pChunk->hrLast = hr;
        if (FAILED(hr))
            return;
        if (cwc > TEXT_BUFFER_CHARS)
            pChunk->overran = true;
        else
            pChunk->text.append(buffer, cwc);
        if (hr == FILTER_S_LAST_TEXT)
            return;
    }
}

std::wstring ValueText(const PROPVARIANT &value)
{
    switch (value.vt) {
    case VT_LPWSTR:
        return value.pwszVal != nullptr ? value.pwszVal : L"";
    case VT_BSTR:
        return value.bstrVal != nullptr ? value.bstrVal : L"";
    case VT_LPSTR: {
        std::wstring text;
        for (const char *p = value.pszVal; p != nullptr && *p != '\0'; ++p)
            text += static_cast<wchar_t>(static_cast<unsigned char>(*p));
        return text;
    }
    case VT_I4:
        return std::to_wstring(value.lVal);
    case VT_UI4:
        return std::to_wstring(value.ulVal);
    default:
        return L"";
    }
}

void ReadValue(IFilter *filter, SeenChunk *pChunk)
{
    PROPVARIANT *pValue = reinterpret_cast<PROPVARIANT *>(static_cast<UINT_PTR>(0xdeadbeef));
    const HRESULT hr = filter->GetValue(&pValue);
    pChunk->hrLast = hr;
    if (hr != S_OK || pValue == nullptr)
        return;
    pChunk->vt = pValue->vt;
    pChunk->text = ValueText(*pValue);
    PropVariantClear(pValue);
    CoTaskMemFree(pValue);
}

std::wstring Escape(const std::wstring &text)
{
    std::wstring out;
    for (wchar_t ch : text) {
        switch (ch) {
        case L'\\': out += L"\\\\"; break;
        case L'\n': out += L"\\n"; break;
        case L'\r': out += L"\\r"; break;
        case L'\t': out += L"\\t"; break;
        default: out += ch; break;
        }
    }
    return out;
}

std::wstring Unescape(const std::wstring &text)
{
    std::wstring out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != L'\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const wchar_t next = text[++i];
        out += next == L'n' ? L'\n' : next == L'r' ? L'\r' : next == L't' ? L'\t' : next;
    }
    return out;
}

} // namespace

std::vector<SeenChunk> ReadAllChunks(IFilter *filter, const std::function<void(const SeenChunk &)> &afterEachChunk,
                                     HRESULT *phrEnd, size_t maxChunks)
{
    std::vector<SeenChunk> chunks;
    HRESULT hr = S_OK;
    while (chunks.size() < maxChunks) {
        STAT_CHUNK stat;
        memset(&stat, 0xde, sizeof(stat));
        hr = filter->GetChunk(&stat);
        if (FAILED(hr))
            break;
        SeenChunk chunk;
        chunk.id = stat.idChunk;
        chunk.source = stat.idChunkSource;
        chunk.flags = stat.flags;
        chunk.fmtid = stat.attribute.guidPropSet;
        chunk.propid = stat.attribute.psProperty.ulKind == PRSPEC_PROPID ? stat.attribute.psProperty.propid : 0;
        if (stat.flags == CHUNK_TEXT)
            ReadText(filter, &chunk);
        else
            ReadValue(filter, &chunk);
        if (afterEachChunk)
            afterEachChunk(chunk);
        chunks.push_back(chunk);
    }
    if (phrEnd != nullptr)
        *phrEnd = hr;
    return chunks;
}

std::wstring FormatChunk(const SeenChunk &chunk)
{
    std::wostringstream line;
    line << chunk.id << L'\t' << chunk.source << L'\t' << (chunk.flags == CHUNK_TEXT ? L'T' : L'V') << L'\t'
         << chunk.propid << L'\t' << chunk.vt << L'\t' << Escape(chunk.text);
    return line.str();
}

bool ParseChunk(const std::wstring &line, SeenChunk *pChunk)
{
    std::wistringstream in(line);
    wchar_t kind = 0;
    unsigned vt = 0;
    if (!(in >> pChunk->id >> pChunk->source >> kind >> pChunk->propid >> vt))
        return false;
    pChunk->flags = kind == L'T' ? CHUNK_TEXT : CHUNK_VALUE;
    pChunk->vt = static_cast<VARTYPE>(vt);
    std::wstring rest;
    std::getline(in, rest);
    if (!rest.empty() && rest[0] == L'\t')
        rest.erase(0, 1);
    pChunk->text = Unescape(rest);
    return true;
}
