// The fixture filter DLLs as a search host meets them: class factory, persistence interfaces,
// chunks, text and values, object counts, and their own registration.
#include <gtest/gtest.h>
#include <filterr.h>
#include <propidl.h>

#include <algorithm>
#include <string>
#include <vector>

#include "FixtureDll.h"
#include "TestHelpers.h"
#include "support/Holders.h"
#include "support/ProcAddress.h"

namespace {

// A file in the temp folder, removed again at scope end.
class CTempFile
{
public:
    CTempFile(const std::wstring &name, const std::string &bytes) : m_path(TempFolder() + name)
    {
        HANDLE file = CreateFileW(m_path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        EXPECT_NE(INVALID_HANDLE_VALUE, file);
        DWORD cb = 0;
        WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &cb, nullptr);
        CloseHandle(file);
    }
    ~CTempFile() { DeleteFileW(m_path.c_str()); }
    const std::wstring &Path() const { return m_path; }

private:
    std::wstring m_path;
};

struct Chunk {
    STAT_CHUNK stat;
    std::wstring text;
    std::vector<HRESULT> textResults;  // every GetText result, the final FILTER_E_NO_MORE_TEXT included
};

// Pulls every chunk and all its text with GetText buffers of cchBuffer characters.
std::vector<Chunk> PullText(IFilter *filter, ULONG cchBuffer, HRESULT *pEnd)
{
    std::vector<Chunk> chunks;
    for (int i = 0; i < 1000; ++i) {
        Chunk chunk = {};
        const HRESULT hr = filter->GetChunk(&chunk.stat);
        if (hr != S_OK) {
            *pEnd = hr;
            return chunks;
        }
        for (int j = 0; j < 100000; ++j) {
            std::vector<WCHAR> buffer(cchBuffer + 1, L'#');
            ULONG cch = cchBuffer;
            const HRESULT hrText = filter->GetText(&cch, buffer.data());
            chunk.textResults.push_back(hrText);
            if (FAILED(hrText))
                break;
            EXPECT_LE(cch, cchBuffer);
            EXPECT_EQ(L'#', buffer[cchBuffer]) << "GetText wrote past the buffer";
            chunk.text.append(buffer.data(), cch);
        }
        chunks.push_back(chunk);
    }
    *pEnd = E_ABORT;
    return chunks;
}

// A new filter of the fixture, loaded from the file and initialised, as a host opens a document.
HRESULT OpenFile(CFixtureDll &dll, const std::wstring &path, CComPtr<IFilter> *pFilter)
{
    HRESULT hr = dll.CreateFilter(pFilter->Put());
    if (SUCCEEDED(hr))
        hr = LoadFile(pFilter->Get(), path);
    return SUCCEEDED(hr) ? InitFilter(pFilter->Get()) : hr;
}

} // namespace

// Every fixture: which exports, which interfaces, and counts back to zero after release.
TEST(Fixtures, ClassFactoryInterfacesAndCounts)
{
    for (int row = 0; row < FIXTURE_ROW_COUNT; ++row) {
        SCOPED_TRACE(Narrow(g_fixtures[row].dllName));
        CFixtureDll dll(row);
        ASSERT_NE(nullptr, dll.Module());
        const FixtureInfo &info = dll.Info();
        EXPECT_EQ(info.hasClassObject, GetProcAddress(dll.Module(), "DllGetClassObject") != nullptr);
        EXPECT_EQ(0, dll.ObjectCount());
        if (!info.hasClassObject)
            continue;

        void *pv = reinterpret_cast<void *>(static_cast<UINT_PTR>(MARKER));
        EXPECT_HR(CLASS_E_CLASSNOTAVAILABLE, dll.GetClassObject(IID_IFilter, IID_IClassFactory, &pv));
        EXPECT_EQ(nullptr, pv);

        IFilter *filter = reinterpret_cast<IFilter *>(static_cast<UINT_PTR>(MARKER));
        const HRESULT hr = dll.CreateFilter(&filter);
        if (info.factoryRefuses) {
            EXPECT_HR(CLASS_E_CLASSNOTAVAILABLE, hr);
            EXPECT_EQ(nullptr, filter);
            EXPECT_EQ(0, dll.CreatedCount());
        } else {
            ASSERT_HR(S_OK, hr);
            EXPECT_EQ(1, dll.ObjectCount());
            EXPECT_EQ(1, dll.CreatedCount());
            EXPECT_HR(S_FALSE, dll.CanUnloadNow());
            const struct {
                const IID &iid;
                unsigned flag;
            } persist[] = {{IID_IPersistFile, FIXTURE_PERSIST_FILE},
                           {IID_IPersistStream, FIXTURE_PERSIST_STREAM},
                           {IID_IPersistStorage, FIXTURE_PERSIST_STORAGE}};
            for (const auto &p : persist) {
                IUnknown *unk = reinterpret_cast<IUnknown *>(static_cast<UINT_PTR>(MARKER));
                const HRESULT hrQi = filter->QueryInterface(p.iid, reinterpret_cast<void **>(&unk));
                EXPECT_HR((info.persist & p.flag) ? S_OK : E_NOINTERFACE, hrQi);
                if (SUCCEEDED(hrQi))
                    unk->Release();
                else
                    EXPECT_EQ(nullptr, unk);
            }
            EXPECT_EQ(0u, filter->Release());
        }
        EXPECT_EQ(0, dll.ObjectCount());
        EXPECT_HR(S_OK, dll.CanUnloadNow());
    }
}

// The plain-text behaviour: paragraphs as chunks, from each encoding, whatever the buffer size. The
// second paragraph's accented letters come after its first sixteen bytes.
TEST(Fixtures, TextFilterGivesOneChunkPerParagraph)
{
    const std::string body = "first line\r\nstill first\r\n\r\nsecond paragraph, \xC3\xA9t\xC3\xA9\n\n\n  \nthird";
    const std::wstring second = L"second paragraph, \u00E9t\u00E9";
    const struct {
        const char *name;
        std::string bytes;
    } files[] = {
        {"UTF-8 without BOM", body},
        {"UTF-8 with BOM", "\xEF\xBB\xBF" + body},
        {"ANSI", "first line\r\nstill first\r\n\r\nsecond paragraph, \xE9t\xE9\n\n\n  \nthird"},
        {"ANSI after a UTF-8 mark", "\xEF\xBB\xBF" "first line\r\nstill first\r\n\r\nsecond paragraph, \xE9t\xE9\n\n\n  \nthird"},
        {"UTF-16LE with BOM", Narrow(L"") + std::string("\xFF\xFE", 2) +
                                  [] {
                                      std::wstring w = L"first line\r\nstill first\r\n\r\nsecond paragraph, \u00E9t\u00E9\n\n\n  \nthird";
                                      return std::string(reinterpret_cast<const char *>(w.data()), w.size() * 2);
                                  }()},
    };
    CFixtureDll dll(FIXTURE_ROW_TEXT);
    for (const auto &file : files) {
        for (ULONG cchBuffer : {1u, 3u, 4096u}) {
            SCOPED_TRACE(std::string(file.name) + ", buffer " + std::to_string(cchBuffer));
            CTempFile temp(L"pellucidor-fixture.fxtxt", file.bytes);
            CComPtr<IFilter> filter;
            ASSERT_HR(S_OK, OpenFile(dll, temp.Path(), &filter));
            HRESULT end = S_OK;
            const std::vector<Chunk> chunks = PullText(filter.Get(), cchBuffer, &end);
            EXPECT_HR(FILTER_E_END_OF_CHUNKS, end);
            ASSERT_EQ(3u, chunks.size());
            EXPECT_EQ(L"first line\nstill first", chunks[0].text);
            EXPECT_EQ(second, chunks[1].text);
            EXPECT_EQ(L"third", chunks[2].text);
            for (size_t i = 0; i < chunks.size(); ++i) {
                EXPECT_EQ(i + 1, chunks[i].stat.idChunk);
                EXPECT_EQ(i + 1, chunks[i].stat.idChunkSource);
                EXPECT_EQ(static_cast<DWORD>(CHUNK_TEXT), static_cast<DWORD>(chunks[i].stat.flags));
                EXPECT_EQ(i == 0 ? CHUNK_NO_BREAK : CHUNK_EOP, chunks[i].stat.breakType);
                EXPECT_EQ(19u, chunks[i].stat.attribute.psProperty.propid);
                const std::vector<HRESULT> &results = chunks[i].textResults;
                ASSERT_GE(results.size(), 2u);
                EXPECT_HR(FILTER_S_LAST_TEXT, results[results.size() - 2]);
                EXPECT_HR(FILTER_E_NO_MORE_TEXT, results.back());
            }
            PROPVARIANT *value = reinterpret_cast<PROPVARIANT *>(static_cast<UINT_PTR>(MARKER));
            EXPECT_HR(FILTER_E_NO_VALUES, filter->GetValue(&value));
        }
    }
    EXPECT_EQ(0, dll.ObjectCount());
}

// A file is read 64 KB at a time: a first line of 65,535 units puts its "\r\n" across the first
// block's end, a 100,000-unit line outgrows a block, and lines of every break kind follow. Pulled
// twice, as a second Init starts over from the document's first block.
TEST(Fixtures, TextFilterReadsALargeDocumentBlockByBlock)
{
    std::wstring document = std::wstring(65535, L'x') + L"\r\nsecond\r\n\r\n" + std::wstring(100000, L'y') + L"\n \t\n";
    std::vector<std::wstring> expected = {std::wstring(65535, L'x') + L"\nsecond", std::wstring(100000, L'y')};
    std::wstring paragraph;
    const wchar_t *breaks[] = {L"\r\n", L"\n", L"\r"};
    for (int i = 0; i < 20000; ++i) {
        const std::wstring line = L"line " + std::to_wstring(i);
        document += line + (i % 100 == 99 ? L"\n\n" : breaks[i % 3]);
        paragraph += (paragraph.empty() ? L"" : L"\n") + line;
        if (i % 100 == 99) {
            expected.push_back(paragraph);
            paragraph.clear();
        }
    }
    const std::string utf16 = std::string("\xFF\xFE", 2) + std::string(reinterpret_cast<const char *>(document.data()),
                                                                       document.size() * sizeof(wchar_t));
    CFixtureDll dll(FIXTURE_ROW_TEXT);
    for (const std::string &bytes : {Narrow(document), utf16}) {
        SCOPED_TRACE(bytes[0] == '\xFF' ? "UTF-16LE" : "UTF-8");
        CTempFile temp(L"pellucidor-fixture-large.fxtxt", bytes);
        CComPtr<IFilter> filter;
        ASSERT_HR(S_OK, dll.CreateFilter(filter.Put()));
        ASSERT_HR(S_OK, LoadFile(filter.Get(), temp.Path()));
        for (int run = 0; run < 2; ++run) {
            ASSERT_HR(S_OK, InitFilter(filter.Get()));
            HRESULT end = S_OK;
            const std::vector<Chunk> chunks = PullText(filter.Get(), 4096, &end);
            EXPECT_HR(FILTER_E_END_OF_CHUNKS, end);
            ASSERT_EQ(expected.size(), chunks.size()) << "run " << run;
            for (size_t i = 0; i < expected.size(); ++i)
                EXPECT_EQ(expected[i], chunks[i].text) << "run " << run << ", paragraph " << i;
        }
    }
    EXPECT_EQ(0, dll.ObjectCount());
}

// Text of every kind of line, checked against the paragraph rule applied line by line: plain
// ASCII lines with "\n" (most of them, which the filter passes sixteen bytes at a time), lines that
// begin with spaces, tabs or control characters or end with spaces and tabs, blank lines of spaces and tabs, "\r\n" and lone
// "\r" breaks, letters beyond ASCII, a paragraph of 150,000 bytes across several 64 KB blocks, and
// no break after the last line.
TEST(Fixtures, TextFilterSplitsMixedTextAsLineByLine)
{
    unsigned seed = 12345;
    const auto next = [&seed](unsigned n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 16) % n;
    };
    const wchar_t *words[] = {L"alpha", L"beta", L"gamma", L"delta", L"\u00E9t\u00E9", L"x", L"0123456789abcdef"};
    const wchar_t *starts[] = {L"", L"", L"", L"", L" ", L"\t", L"  \t", L"\x01", L"\x1F"};
    const std::wstring padding(40, L' ');
    const wchar_t *ends[] = {L"", L"", L"", L" ", L" \t", padding.c_str()};
    const wchar_t *blanks[] = {L"", L" ", L"\t", L" \t "};
    const wchar_t *breaks[] = {L"\n", L"\n", L"\n", L"\n", L"\n", L"\n", L"\r\n", L"\r"};
    std::wstring document;
    for (int paragraph = 0; paragraph < 600; ++paragraph) {
        const bool bLong = paragraph == 300;
        const unsigned cLines = bLong ? 4000 : 1 + next(12);
        for (unsigned line = 0; line < cLines; ++line) {
            document += bLong ? L"" : starts[next(ARRAYSIZE(starts))];
            const unsigned cWords = 1 + next(bLong ? 8 : 14);
            for (unsigned w = 0; w < cWords; ++w) {
                const wchar_t *word = words[next(ARRAYSIZE(words))];
                document += (w > 0 ? L" " : L"") + std::wstring(bLong && word[0] > 0x7F ? L"e" : word);
            }
            document += std::wstring(ends[next(ARRAYSIZE(ends))]) + (bLong ? L"\n" : breaks[next(ARRAYSIZE(breaks))]);
        }
        for (unsigned blank = 1 + next(2); blank > 0; --blank)
            document += std::wstring(blanks[next(ARRAYSIZE(blanks))]) + breaks[next(ARRAYSIZE(breaks))];
    }
    document += L"the last line";

    // The rule, line by line: a line ends at "\r\n", "\r" or "\n"; paragraphs are the groups of
    // lines that are not blank, joined by "\n".
    std::vector<std::wstring> expected;
    std::wstring paragraph;
    for (size_t at = 0; at <= document.size();) {
        const size_t end = std::min(document.find_first_of(L"\r\n", at), document.size());
        const std::wstring line = document.substr(at, end - at);
        if (line.find_first_not_of(L" \t") == std::wstring::npos) {
            if (!paragraph.empty())
                expected.push_back(paragraph);
            paragraph.clear();
        } else {
            paragraph += (paragraph.empty() ? L"" : L"\n") + line;
        }
        at = end + (document.compare(end, 2, L"\r\n") == 0 ? 2 : 1);
    }
    if (!paragraph.empty())
        expected.push_back(paragraph);
    ASSERT_LT(expected.size(), 1000u);
    ASSERT_GT(document.size(), 4u * 65536u);  // several times the start the filter tells the encoding from

    // Leading blank lines move the text against that start's end.
    CFixtureDll dll(FIXTURE_ROW_TEXT);
    for (int shift = 0; shift < 24; ++shift) {
        const ULONG cchBuffer = shift == 0 ? 13 : 4096;
        SCOPED_TRACE("shift " + std::to_string(shift) + ", buffer " + std::to_string(cchBuffer));
        CTempFile temp(L"pellucidor-fixture-mixed.fxtxt", Narrow(std::wstring(shift, L'\n') + document));
        CComPtr<IFilter> filter;
        ASSERT_HR(S_OK, OpenFile(dll, temp.Path(), &filter));
        HRESULT end = S_OK;
        const std::vector<Chunk> chunks = PullText(filter.Get(), cchBuffer, &end);
        EXPECT_HR(FILTER_E_END_OF_CHUNKS, end);
        ASSERT_EQ(expected.size(), chunks.size());
        for (size_t i = 0; i < expected.size(); ++i)
            ASSERT_EQ(expected[i], chunks[i].text) << "paragraph " << i;
    }
    EXPECT_EQ(0, dll.ObjectCount());
}

// PDFFILT never gives the last-text hint: S_OK for every piece, then FILTER_E_NO_MORE_TEXT.
TEST(Fixtures, PdfFixtureEndsTextWithoutTheHint)
{
    CFixtureDll dll(FIXTURE_ROW_PDFFILT);
    CTempFile temp(L"pellucidor-fixture.pdf", "one\n\ntwo");
    CComPtr<IFilter> filter;
    ASSERT_HR(S_OK, OpenFile(dll, temp.Path(), &filter));
    HRESULT end = S_OK;
    const std::vector<Chunk> chunks = PullText(filter.Get(), 2, &end);
    EXPECT_HR(FILTER_E_END_OF_CHUNKS, end);
    ASSERT_EQ(2u, chunks.size());
    EXPECT_EQ(L"two", chunks[1].text);
    const std::vector<HRESULT> expected = {S_OK, S_OK, FILTER_E_NO_MORE_TEXT};
    EXPECT_EQ(expected, chunks[1].textResults);
}

TEST(Fixtures, ValueFilterGivesTheSixValues)
{
    CFixtureDll dll(FIXTURE_ROW_VALUES);
    CTempFile temp(L"pellucidor-fixture.fxval", "ignored");
    CComPtr<IFilter> filter;
    ASSERT_HR(S_OK, OpenFile(dll, temp.Path(), &filter));
    const struct {
        PROPID pid;
        VARTYPE vt;
        const wchar_t *text;
    } expected[] = {{2, VT_LPWSTR, L"Fixture values"}, {3, VT_LPWSTR, L"noindex"}, {4, VT_LPWSTR, L"NoIndex"},
                    {5, VT_LPWSTR, L"none"},           {6, VT_LPWSTR, L"none of these"}, {7, VT_BSTR, L"none"}};
    for (const auto &e : expected) {
        SCOPED_TRACE(Narrow(e.text));
        STAT_CHUNK stat = {};
        ASSERT_HR(S_OK, filter->GetChunk(&stat));
        EXPECT_EQ(static_cast<DWORD>(CHUNK_VALUE), static_cast<DWORD>(stat.flags));
        EXPECT_EQ(e.pid, stat.attribute.psProperty.propid);
        WCHAR text[8];
        ULONG cch = ARRAYSIZE(text);
        EXPECT_HR(FILTER_E_NO_TEXT, filter->GetText(&cch, text));
        PROPVARIANT *value = reinterpret_cast<PROPVARIANT *>(static_cast<UINT_PTR>(MARKER));
        ASSERT_HR(S_OK, filter->GetValue(&value));
        ASSERT_NE(nullptr, value);
        EXPECT_EQ(e.vt, value->vt);
        EXPECT_STREQ(e.text, e.vt == VT_BSTR ? value->bstrVal : value->pwszVal);
        PropVariantClear(value);
        CoTaskMemFree(value);
        value = reinterpret_cast<PROPVARIANT *>(static_cast<UINT_PTR>(MARKER));
        EXPECT_HR(FILTER_E_NO_MORE_VALUES, filter->GetValue(&value));
        EXPECT_EQ(nullptr, value);
    }
    STAT_CHUNK stat = {};
    EXPECT_HR(FILTER_E_END_OF_CHUNKS, filter->GetChunk(&stat));
}

// The failing fixtures fail where they say, and only there.
TEST(Fixtures, FailingFiltersFailWhereTheySay)
{
    CTempFile temp(L"pellucidor-fixture.fxtxt", "text");
    {
        CFixtureDll dll(FIXTURE_ROW_INIT_FAILS);
        CComPtr<IFilter> filter;
        ASSERT_HR(S_OK, dll.CreateFilter(filter.Put()));
        EXPECT_HR(S_OK, LoadFile(filter.Get(), temp.Path()));
        EXPECT_HR(E_FAIL, InitFilter(filter.Get()));
    }
    {
        CFixtureDll dll(FIXTURE_ROW_CHUNK_FAILS);
        CComPtr<IFilter> filter;
        ASSERT_HR(S_OK, dll.CreateFilter(filter.Put()));
        EXPECT_HR(S_OK, LoadFile(filter.Get(), temp.Path()));
        EXPECT_HR(S_OK, InitFilter(filter.Get()));
        STAT_CHUNK stat = {};
        EXPECT_HR(E_FAIL, filter->GetChunk(&stat));
    }
    {
        CFixtureDll dll(FIXTURE_ROW_TEXT);
        CComPtr<IFilter> filter;
        ASSERT_HR(S_OK, dll.CreateFilter(filter.Put()));
        EXPECT_HR(E_UNEXPECTED, InitFilter(filter.Get()));
        EXPECT_HR(STG_E_FILENOTFOUND, LoadFile(filter.Get(), TempFolder() + L"pellucidor-no-such-file.fxtxt"));
    }
}

// The stream-only class reads its text from a stream.
TEST(Fixtures, StreamOnlyFilterLoadsFromAStream)
{
    CFixtureDll dll(FIXTURE_ROW_STREAM_ONLY);
    CComPtr<IFilter> filter;
    ASSERT_HR(S_OK, dll.CreateFilter(filter.Put()));
    CComPtr<IPersistStream> persist;
    ASSERT_HR(S_OK, filter->QueryInterface(IID_IPersistStream, persist.PutVoid()));
    const char text[] = "streamed";
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, sizeof(text) - 1);
    CopyMemory(GlobalLock(memory), text, sizeof(text) - 1);
    GlobalUnlock(memory);
    CComPtr<IStream> stream;
    ASSERT_HR(S_OK, CreateStreamOnHGlobal(memory, TRUE, stream.Put()));
    ASSERT_HR(S_OK, persist->Load(stream.Get()));
    ASSERT_HR(S_OK, InitFilter(filter.Get()));
    HRESULT end = S_OK;
    const std::vector<Chunk> chunks = PullText(filter.Get(), 100, &end);
    ASSERT_EQ(1u, chunks.size());
    EXPECT_EQ(L"streamed", chunks[0].text);
}

namespace {

// HKEY_LOCAL_MACHINE redirected, for this process, to a scratch key under HKCU; undone and the
// scratch key removed at scope end.
class CScratchMachineKey
{
public:
    static constexpr const wchar_t *kPath = L"Software\\PellucidorTest\\FixtureRegistration";
    CScratchMachineKey()
    {
        RegDeleteTreeW(HKEY_CURRENT_USER, kPath);
        EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, kPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                                 m_key.Put(), nullptr));
        EXPECT_EQ(ERROR_SUCCESS, RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_key.Get()));
    }
    ~CScratchMachineKey()
    {
        RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
        m_key.Close();
        RegDeleteTreeW(HKEY_CURRENT_USER, kPath);
        RegDeleteKeyW(HKEY_CURRENT_USER, L"Software\\PellucidorTest");
    }

private:
    CRegKey m_key;
};

// Default value of HKLM\SOFTWARE\Classes\<subkey>, or "(none)" when the key is missing.
std::wstring ClassesValue(const std::wstring &subkey, const wchar_t *name = nullptr)
{
    wchar_t value[MAX_PATH] = {};
    DWORD cb = sizeof(value) - sizeof(wchar_t);
    const LONG err = RegGetValueW(HKEY_LOCAL_MACHINE, (L"SOFTWARE\\Classes\\" + subkey).c_str(), name,
                                  RRF_RT_REG_SZ, nullptr, value, &cb);
    return err == ERROR_SUCCESS ? std::wstring(value) : L"(none)";
}

bool ClassesKeyExists(const std::wstring &subkey)
{
    CRegKey key;
    return RegOpenKeyExW(HKEY_LOCAL_MACHINE, (L"SOFTWARE\\Classes\\" + subkey).c_str(), 0, KEY_READ, key.Put()) ==
           ERROR_SUCCESS;
}

HRESULT CallExport(HMODULE module, const char *name)
{
    auto pfn = GetProcAs<HRESULT(STDAPICALLTYPE *)()>(module, name);
    return pfn != nullptr ? pfn() : E_NOTIMPL;
}

} // namespace

// Registration the platform's way, and unregistration that leaves other keys as they were.
TEST(Fixtures, RegisterAndUnregisterThePersistentHandlerChain)
{
    CScratchMachineKey scratch;
    CRegKey pdf;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\.pdf", 0, nullptr, 0,
                                             KEY_ALL_ACCESS, nullptr, pdf.Put(), nullptr));
    const wchar_t pdfFile[] = L"pdffile";
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(pdf.Get(), nullptr, 0, REG_SZ, reinterpret_cast<const BYTE *>(pdfFile),
                                            sizeof(pdfFile)));
    pdf.Close();

    const struct {
        int row;
        std::vector<std::wstring> extensions;
    } cases[] = {{FIXTURE_ROW_TEXT, {L".fxtxt", L".txt"}}, {FIXTURE_ROW_PDFFILT, {L".pdf"}}};
    for (const auto &c : cases) {
        const FixtureInfo &info = g_fixtures[c.row];
        SCOPED_TRACE(Narrow(info.dllName));
        CFixtureDll dll(c.row);
        const std::wstring filterKey = std::wstring(L"CLSID\\") + info.clsid;
        const std::wstring handlerKey = std::wstring(L"CLSID\\") + info.handler;
        ASSERT_HR(S_OK, CallExport(dll.Module(), "DllRegisterServer"));
        for (const std::wstring &ext : c.extensions)
            EXPECT_EQ(info.handler, ClassesValue(ext + L"\\PersistentHandler")) << Narrow(ext);
        EXPECT_EQ(info.clsid,
                  ClassesValue(handlerKey + L"\\PersistentAddinsRegistered\\{89BCB740-6119-101A-BCB7-00DD010655AF}"));
        EXPECT_EQ(info.description, ClassesValue(filterKey));
        EXPECT_EQ(0, _wcsicmp(FixturePath(c.row).c_str(), ClassesValue(filterKey + L"\\InprocServer32").c_str()));
        EXPECT_EQ(L"Both", ClassesValue(filterKey + L"\\InprocServer32", L"ThreadingModel"));

        ASSERT_HR(S_OK, CallExport(dll.Module(), "DllUnregisterServer"));
        EXPECT_FALSE(ClassesKeyExists(filterKey));
        EXPECT_FALSE(ClassesKeyExists(handlerKey));
        for (const std::wstring &ext : c.extensions)
            EXPECT_FALSE(ClassesKeyExists(ext + L"\\PersistentHandler")) << Narrow(ext);
    }
    EXPECT_FALSE(ClassesKeyExists(L".fxtxt"));
    EXPECT_FALSE(ClassesKeyExists(L".txt"));
    EXPECT_EQ(L"pdffile", ClassesValue(L".pdf"));
}
