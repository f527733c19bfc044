#include "HostCalls.h"

#include <shlwapi.h>

#include "support/Guids.h"
#include "support/Holders.h"
#include "support/ProcAddress.h"

#include <filterr.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <sstream>

namespace {


void ReadText(IFilter *filter, const PullOptions &options, SeenChunk *pChunk)
{
    std::vector<WCHAR> buffer(options.cwcBuffer + 1);
    for (int i = 0; i < MAX_TEXT_CALLS; ++i) {
        std::fill(buffer.begin(), buffer.end(), L'\0');
        ULONG cwc = options.cwcBuffer;
        const HRESULT hr = filter->GetText(&cwc, buffer.data());
        pChunk->hrLast = pChunk->textEnd = hr;
        if (FAILED(hr))
            return;
        if (options.thorough)
            pChunk->pieces.push_back(cwc);
        if (cwc > options.cwcBuffer)
            pChunk->overran = true;
        else
            pChunk->text.append(buffer.data(), cwc);
        if (hr == FILTER_S_LAST_TEXT && !options.thorough)
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

void ReadValue(IFilter *filter, const PullOptions &options, SeenChunk *pChunk)
{
    const bool bAll = options.thorough || options.allValues;
    for (int i = 0; i < (bAll ? MAX_VALUE_CALLS : 1); ++i) {
        PROPVARIANT *pValue = static_cast<PROPVARIANT *>(MarkerPointer());
        const HRESULT hr = filter->GetValue(&pValue);
        pChunk->hrLast = pChunk->valueEnd = hr;
        if (FAILED(hr))
            return;
        if (pValue == nullptr)
            pChunk->nullValue = true;
        if (bAll) {
            const bool bString = pValue != nullptr && pValue->vt == VT_LPWSTR;
            pChunk->values.push_back(bString ? ValueText(*pValue) : L"vt=" + std::to_wstring(pValue != nullptr ? pValue->vt : 0));
        }
        if (!options.thorough && i == 0 && hr == S_OK && pValue != nullptr) {
            pChunk->vt = pValue->vt;
            pChunk->text = ValueText(*pValue);
        }
        if (pValue != nullptr) {
            PropVariantClear(pValue);
            CoTaskMemFree(pValue);
        }
    }
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

std::string HrText(HRESULT hr)
{
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(hr));
    return text;
}

CProductDll::CProductDll(const std::wstring &path) : m_hModule(LoadLibraryW(path.c_str())) {}

CProductDll::~CProductDll()
{
    if (m_hModule != nullptr)
        FreeLibrary(m_hModule);
}

HRESULT CProductDll::GetClassObject(REFCLSID clsid, REFIID iid, void **ppv) const
{
    auto pfn = GetProcAs<HRESULT(STDAPICALLTYPE *)(REFCLSID, REFIID, void **)>(m_hModule, "DllGetClassObject");
    return pfn != nullptr ? pfn(clsid, iid, ppv) : E_NOTIMPL;
}

HRESULT CProductDll::CanUnloadNow() const
{
    auto pfn = GetProcAs<HRESULT(STDAPICALLTYPE *)()>(m_hModule, "DllCanUnloadNow");
    return pfn != nullptr ? pfn() : E_NOTIMPL;
}

HRESULT CProductDll::RegisterServer() const
{
    auto pfn = GetProcAs<HRESULT(STDAPICALLTYPE *)()>(m_hModule, "DllRegisterServer");
    return pfn != nullptr ? pfn() : E_NOTIMPL;
}

HRESULT CProductDll::UnregisterServer() const
{
    auto pfn = GetProcAs<HRESULT(STDAPICALLTYPE *)()>(m_hModule, "DllUnregisterServer");
    return pfn != nullptr ? pfn() : E_NOTIMPL;
}

HRESULT CreateFilter(const CProductDll &dll, REFIID riid, void **ppv)
{
    CComPtr<IClassFactory> factory;
    const HRESULT hr = dll.GetClassObject(CLSID_PellucidorFilter, IID_IClassFactory, factory.PutVoid());
    if (FAILED(hr))
        return hr;
    return factory->CreateInstance(nullptr, riid, ppv);
}

HRESULT LoadFile(IFilter *pFilter, const std::wstring &path, LoadRoute route)
{
    if (route == LoadRoute::Stream) {
        CComPtr<IStream> stream;
        const HRESULT hr = SHCreateStreamOnFileEx(path.c_str(), STGM_READ | STGM_SHARE_DENY_NONE, FILE_ATTRIBUTE_NORMAL,
                                                  FALSE, nullptr, stream.Put());
        return FAILED(hr) ? hr : LoadStream(pFilter, stream.Get());
    }
    CComPtr<IPersistFile> persist;
    const HRESULT hr = pFilter->QueryInterface(IID_IPersistFile, persist.PutVoid());
    if (FAILED(hr))
        return hr;
    return persist->Load(path.c_str(), STGM_READ);
}

HRESULT LoadStream(IFilter *pFilter, IStream *pStream)
{
    CComPtr<IPersistStream> persist;
    const HRESULT hr = pFilter->QueryInterface(IID_IPersistStream, persist.PutVoid());
    return FAILED(hr) ? hr : persist->Load(pStream);
}

const std::vector<FULLPROPSPEC> &HostAttributes()
{
    static const std::vector<FULLPROPSPEC> attributes = [] {
        std::vector<FULLPROPSPEC> list(2);
        list[0].guidPropSet = PROPSET_STORAGE;
        list[0].psProperty.ulKind = PRSPEC_PROPID;
        list[0].psProperty.propid = PROPID_CONTENTS;
        list[1].guidPropSet = PROPSET_STORAGE;
        list[1].psProperty.ulKind = PRSPEC_LPWSTR;
        list[1].psProperty.lpwstr = const_cast<LPWSTR>(L"contents");
        return list;
    }();
    return attributes;
}

HRESULT InitFilter(IFilter *pFilter, ULONG *pFlags, bool withAttributes)
{
    ULONG flags = MARKER;
    const std::vector<FULLPROPSPEC> &attributes = HostAttributes();
    const HRESULT hr = withAttributes ? pFilter->Init(HOST_INIT_FLAGS, static_cast<ULONG>(attributes.size()), attributes.data(), &flags)
                                      : pFilter->Init(HOST_INIT_FLAGS, 0, nullptr, &flags);
    if (pFlags != nullptr)
        *pFlags = flags;
    return hr;
}

HRESULT LoadAndInit(IFilter *pFilter, const std::wstring &path, LoadRoute route)
{
    const HRESULT hr = LoadFile(pFilter, path, route);
    return FAILED(hr) ? hr : InitFilter(pFilter);
}

int CountChunks(IFilter *pFilter, int maxCalls, HRESULT *phrStop)
{
    *phrStop = S_OK;
    int chunks = 0;
    STAT_CHUNK stat;
    for (; chunks < maxCalls; ++chunks) {
        *phrStop = pFilter->GetChunk(&stat);
        if (FAILED(*phrStop))
            break;
    }
    return chunks;
}

int PullToEnd(IFilter *pFilter, int maxCalls, HRESULT *phrStop)
{
    HRESULT hr = S_OK;
    const int chunks = CountChunks(pFilter, maxCalls, &hr);
    if (phrStop != nullptr)
        *phrStop = hr;
    return hr == FILTER_E_END_OF_CHUNKS ? chunks : -1;
}

std::string Narrow(const std::wstring &text)
{
    int cb = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(cb), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), cb, nullptr, nullptr);
    return out;
}

std::wstring Widen(const std::string &text)
{
    int cch = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(cch), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), out.data(), cch);
    return out;
}

void ReadChunk(IFilter *filter, const PullOptions &options, SeenChunk *pChunk)
{
    if (options.thorough || pChunk->flags == CHUNK_TEXT)
        ReadText(filter, options, pChunk);
    if (options.thorough || pChunk->flags != CHUNK_TEXT)
        ReadValue(filter, options, pChunk);
}

PullOptions ThoroughPull()
{
    PullOptions options;
    options.cwcBuffer = 4096;
    options.maxChunks = 100;
    options.thorough = true;
    options.keepFailures = true;
    return options;
}

std::vector<SeenChunk> ReadAllChunks(IFilter *filter, const PullOptions &options, HRESULT *phrEnd)
{
    std::vector<SeenChunk> chunks;
    HRESULT hr = S_OK;
    for (size_t calls = 0; calls < options.maxChunks; ++calls) {
        SeenChunk chunk;
        memset(&chunk.stat, 0xde, sizeof(chunk.stat));
        hr = chunk.hr = filter->GetChunk(&chunk.stat);
        if (FAILED(hr) && (hr == FILTER_E_END_OF_CHUNKS || !options.keepFailures))
            break;
        if (SUCCEEDED(hr)) {
            const STAT_CHUNK &stat = chunk.stat;
            chunk.id = stat.idChunk;
            chunk.source = stat.idChunkSource;
            chunk.flags = stat.flags;
            chunk.fmtid = stat.attribute.guidPropSet;
            chunk.propid = stat.attribute.psProperty.ulKind == PRSPEC_PROPID ? stat.attribute.psProperty.propid : 0;
            ReadChunk(filter, options, &chunk);
        }
        if (options.afterEachChunk)
            options.afterEachChunk(chunk);
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

std::string DescribeStream(const std::vector<SeenChunk> &chunks)
{
    std::string text;
    for (const SeenChunk &c : chunks) {
        char line[200];
        std::snprintf(line, sizeof(line), "0x%08lX id=%lu src=%lu flags=%d prop=%08lX/%lu", static_cast<unsigned long>(c.hr),
                      c.stat.idChunk, c.stat.idChunkSource, static_cast<int>(c.stat.flags),
                      c.stat.attribute.guidPropSet.Data1, c.stat.attribute.psProperty.propid);
        text += line;
        if (!c.text.empty() || c.stat.flags == CHUNK_TEXT)
            text += " text=\"" + Narrow(c.text) + "\"";
        for (const std::wstring &v : c.values)
            text += " value=\"" + Narrow(v) + "\"";
        text += "\n";
    }
    return text;
}

std::vector<std::string> StreamLines(const std::vector<SeenChunk> &chunks)
{
    std::vector<std::string> lines;
    for (const SeenChunk &chunk : chunks) {
        if (chunk.text.size() <= 200) {
            lines.push_back(Narrow(FormatChunk(chunk)));
            continue;
        }
        SeenChunk head = chunk;
        head.text.resize(60);
        lines.push_back(Narrow(FormatChunk(head)) + "... (" + std::to_string(chunk.text.size()) + " characters, hash " +
                        std::to_string(std::hash<std::wstring>()(chunk.text)) + ")");
    }
    return lines;
}
