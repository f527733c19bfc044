// Child filters seen through the archive's stream: a stand-in child filter is "found" for some
// extensions and "loaded" on the extracted file; its chunks must come renumbered into the one
// stream, its text and values passed through, and it must be dropped (before its file is
// deleted) as soon as it ends or fails.
#include <gtest/gtest.h>
#include "ArchiveTestHelpers.h"
#include "FilterHost.h"
#include "TestHelpers.h"
#include "childfilter/ChildFilterLoader.h"

#include <filterr.h>
#include <algorithm>
#include <cstring>
#include <cwchar>
#include <new>

namespace {

constexpr GUID PROPSET_STORAGE = {0xB725F130, 0x47EF, 0x101A, {0xA5, 0xF1, 0x02, 0x60, 0x8C, 0x9E, 0xEB, 0xAC}};

struct FakeChunk {
    CHUNKSTATE flags;
    std::wstring text;                     // for CHUNK_TEXT
    std::vector<PROPVARIANT> values;       // for CHUNK_VALUE (strings owned by the script)
};

// What the next loaded child does.
struct ChildScript {
    HRESULT initResult = S_OK;
    HRESULT firstGetChunk = S_OK;         // anything else: the first GetChunk fails with it
    HRESULT textResult = S_OK;             // anything else: every GetText fails with it
    // Text in pieces that end with a terminator, as our own filter gives it: N-1 characters to a
    // buffer of N, and E_INVALIDARG to a buffer of one.
    bool terminatedPieces = false;
    std::vector<FakeChunk> chunks;
};

// What the children did, for the checks.
struct ChildLog {
    LONG live = 0;                         // children not yet released
    std::vector<std::wstring> loadedFiles; // the extracted file each child was loaded with
    std::vector<size_t> filesAtLoad;       // files in the run folder at each load
    std::vector<bool> fileThereAtRelease;  // the child's file still existed at its last Release
    ULONG initFlags = 0;
    int textCallsAfterError = 0;
};

ChildScript g_script;
ChildLog g_log;

std::wstring FolderOf(const std::wstring &path) { return path.substr(0, path.find_last_of(L'\\')); }

class CFakeChild final : public IFilter
{
public:
    CFakeChild(const ChildScript &script, std::wstring file) : m_script(script), m_file(std::move(file))
    {
        InterlockedIncrement(&g_log.live);
    }

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IFilter)
            return E_NOINTERFACE;
        *ppv = static_cast<IFilter *>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_cRef)); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG c = InterlockedDecrement(&m_cRef);
        if (c == 0) {
            g_log.fileThereAtRelease.push_back(GetFileAttributesW(m_file.c_str()) != INVALID_FILE_ATTRIBUTES);
            InterlockedDecrement(&g_log.live);
            delete this;
        }
        return static_cast<ULONG>(c);
    }

    STDMETHODIMP Init(ULONG grfFlags, ULONG, const FULLPROPSPEC *, ULONG *pFlags) override
    {
        g_log.initFlags = grfFlags;
        *pFlags = 0;
        return m_script.initResult;
    }
    STDMETHODIMP GetChunk(STAT_CHUNK *pStat) override
    {
        if (m_next == 0 && m_script.firstGetChunk != S_OK) {
            ++m_next;
            return m_script.firstGetChunk;
        }
        if (m_next >= m_script.chunks.size())
            return FILTER_E_END_OF_CHUNKS;
        m_current = &m_script.chunks[m_next++];
        m_textDone = false;
        m_position = 0;
        m_valueIndex = 0;
        pStat->idChunk = 77 + static_cast<ULONG>(m_next);
        pStat->breakType = CHUNK_EOP;
        pStat->flags = m_current->flags;
        pStat->locale = 1031;
        pStat->attribute.guidPropSet = PROPSET_STORAGE;
        pStat->attribute.psProperty.ulKind = PRSPEC_PROPID;
        pStat->attribute.psProperty.propid = 19;
        pStat->idChunkSource = 55;
        pStat->cwcStartSource = 3;
        pStat->cwcLenSource = 4;
        return S_OK;
    }
    STDMETHODIMP GetText(ULONG *pcwcBuffer, WCHAR *awcBuffer) override
    {
        if (m_script.textResult != S_OK) {
            if (m_textFailed)
                ++g_log.textCallsAfterError;
            m_textFailed = true;
            return m_script.textResult;
        }
        if (m_current == nullptr || m_current->flags != CHUNK_TEXT)
            return FILTER_E_NO_TEXT;
        if (m_textDone)
            return FILTER_E_NO_MORE_TEXT;
        if (m_script.terminatedPieces) {
            if (*pcwcBuffer < 2)
                return E_INVALIDARG;
            const size_t cwcPiece = std::min<size_t>(*pcwcBuffer - 1, m_current->text.size() - m_position);
            std::wmemcpy(awcBuffer, m_current->text.c_str() + m_position, cwcPiece);
            awcBuffer[cwcPiece] = L'\0';
            *pcwcBuffer = static_cast<ULONG>(cwcPiece);
            m_position += cwcPiece;
            m_textDone = m_position == m_current->text.size();
            return S_OK;
        }
        const ULONG cwc = static_cast<ULONG>(m_current->text.size());
        if (*pcwcBuffer < cwc)
            return E_FAIL;  // the tests give large buffers
        std::wmemcpy(awcBuffer, m_current->text.c_str(), cwc);
        *pcwcBuffer = cwc;
        m_textDone = true;
        return S_OK;
    }
    STDMETHODIMP GetValue(PROPVARIANT **ppPropValue) override
    {
        if (m_current == nullptr || m_current->flags != CHUNK_VALUE)
            return FILTER_E_NO_VALUES;
        if (m_valueIndex >= m_current->values.size())
            return FILTER_E_NO_MORE_VALUES;
        auto *pValue = static_cast<PROPVARIANT *>(CoTaskMemAlloc(sizeof(PROPVARIANT)));
        PropVariantCopy(pValue, &m_current->values[m_valueIndex++]);
        *ppPropValue = pValue;
        return S_OK;
    }
    STDMETHODIMP BindRegion(FILTERREGION, REFIID, void **) override { return E_NOTIMPL; }

private:
    LONG m_cRef = 1;
    ChildScript m_script;
    std::wstring m_file;
    size_t m_next = 0;
    const FakeChunk *m_current = nullptr;
    bool m_textDone = false;
    size_t m_position = 0;  // terminated pieces: the text handed out
    bool m_textFailed = false;
    size_t m_valueIndex = 0;
};

HMODULE LoadFakeChild(const wchar_t *pszFilePath, IFilter **ppFilter)
{
    g_log.loadedFiles.emplace_back(pszFilePath);
    g_log.filesAtLoad.push_back(FilesIn(FolderOf(pszFilePath)).size());
    *ppFilter = new (std::nothrow) CFakeChild(g_script, pszFilePath);
    return nullptr;
}

PROPVARIANT StringValue(VARTYPE vt, const wchar_t *text)
{
    PROPVARIANT value;
    PropVariantInit(&value);
    value.vt = vt;
    if (vt == VT_BSTR) {
        value.bstrVal = SysAllocString(text);
    } else {
        const size_t cb = (std::wcslen(text) + 1) * sizeof(wchar_t);
        value.pwszVal = static_cast<wchar_t *>(CoTaskMemAlloc(cb));
        std::memcpy(value.pwszVal, text, cb);
    }
    return value;
}

// A filter object of the core library with stand-in children for the given extensions.
class ChildRelay : public ::testing::Test
{
protected:
    void SetUp() override
    {
        g_script = ChildScript();
        g_log = ChildLog();
        g_childFilterTestHooks.pfnLoadChildFilter = LoadFakeChild;
        m_runsBefore = RunFolders();
    }
    void TearDown() override
    {
        g_childFilterTestHooks.pfnLoadChildFilter = nullptr;
        for (FakeChunk &chunk : g_script.chunks)
            for (PROPVARIANT &value : chunk.values)
                PropVariantClear(&value);
        EXPECT_EQ(0, g_log.live) << "a child filter was never released";
        EXPECT_EQ(m_runsBefore, RunFolders()) << "a run folder was left behind";
    }
    std::string Stream(const wchar_t *archive, std::vector<std::wstring> extensions)
    {
        CFindFilterFor finder(std::move(extensions));
        CComPtr<IFilter> filter = CreateFilterInProcess();
        EXPECT_TRUE(filter);
        if (!filter)
            return "";
        EXPECT_HR(S_OK, LoadAndInit(filter.Get(), ArchivePath(archive)));
        m_chunks = ReadAllChunks(filter.Get(), ThoroughPull());
        return DescribeStream(m_chunks);
    }

    std::vector<std::wstring> m_runsBefore;
    std::vector<SeenChunk> m_chunks;
};

const char *const OK = "0x00000000 id=";
std::string Line(int id, const char *rest) { return OK + std::to_string(id) + " src=" + std::to_string(id) + rest + "\n"; }
std::string Name(int id, const char *text) { return Line(id, (std::string(" flags=1 prop=B725F130/10 text=\"") + text + "\"").c_str()); }
std::string ChildText(int id, const char *text) { return Line(id, (std::string(" flags=1 prop=B725F130/19 text=\"") + text + "\"").c_str()); }
const std::string kTitle = Line(1, " flags=2 prop=F29F85E0/2 value=\"plain\"");

TEST_F(ChildRelay, ChildChunksFollowTheirEntryRenumbered)
{
    g_script.chunks = {{CHUNK_TEXT, L"child one", {}}, {CHUNK_TEXT, L"child two", {}}};
    EXPECT_EQ(kTitle + Name(2, "a.txt") + Name(3, "docs\\2005\\report.doc") + ChildText(4, "child one") +
                  ChildText(5, "child two") + Name(6, "readme") + Name(7, "notes.") + Name(8, "docs\\a.txt"),
              Stream(L"plain.rar", {L".doc"}));
    // Every field but the ids is the child's own.
    ASSERT_GE(m_chunks.size(), 4u);
    const STAT_CHUNK &stat = m_chunks[3].stat;
    EXPECT_EQ(CHUNK_EOP, stat.breakType);
    EXPECT_EQ(1031u, stat.locale);
    EXPECT_EQ(3u, stat.cwcStartSource);
    EXPECT_EQ(4u, stat.cwcLenSource);
    // The child got the extracted entry, alone in the run folder, and the host's Init flags.
    ASSERT_EQ(1u, g_log.loadedFiles.size());
    EXPECT_EQ(L"report.doc", g_log.loadedFiles[0].substr(g_log.loadedFiles[0].size() - 10));
    EXPECT_EQ(std::vector<size_t>{1}, g_log.filesAtLoad);
    EXPECT_EQ(ULONG(IFILTER_INIT_CANON_PARAGRAPHS | IFILTER_INIT_HARD_LINE_BREAKS | IFILTER_INIT_APPLY_INDEX_ATTRIBUTES),
              g_log.initFlags);
    // Released before its file was deleted.
    EXPECT_EQ(std::vector<bool>{true}, g_log.fileThereAtRelease);
}

TEST_F(ChildRelay, EveryEntryWithAChildInTurnOneFileAtATime)
{
    g_script.chunks = {{CHUNK_TEXT, L"body", {}}};
    EXPECT_EQ(kTitle + Name(2, "a.txt") + ChildText(3, "body") + Name(4, "docs\\2005\\report.doc") +
                  ChildText(5, "body") + Name(6, "readme") + Name(7, "notes.") + Name(8, "docs\\a.txt") +
                  ChildText(9, "body"),
              Stream(L"plain.rar", {L".doc", L".txt"}));
    EXPECT_EQ((std::vector<size_t>{1, 1, 1}), g_log.filesAtLoad);
    EXPECT_EQ((std::vector<bool>{true, true, true}), g_log.fileThereAtRelease);
}

struct FailingChildCase {
    const char *what;
    HRESULT initResult;
    HRESULT firstGetChunk;
};

TEST_F(ChildRelay, AChildThatFailsLeavesTheNameChunkOnlyAndNoGap)
{
    const FailingChildCase cases[] = {
        {"Init fails", E_FAIL, S_OK},
        {"Init answers S_FALSE", S_FALSE, S_OK},
        {"first GetChunk fails", S_OK, E_FAIL},
        {"first GetChunk ends", S_OK, FILTER_E_END_OF_CHUNKS},
        {"first GetChunk answers S_FALSE", S_OK, S_FALSE},
    };
    for (const FailingChildCase &c : cases) {
        SetUp();
        g_script.initResult = c.initResult;
        g_script.firstGetChunk = c.firstGetChunk;
        g_script.chunks = {{CHUNK_TEXT, L"never seen", {}}};
        if (c.firstGetChunk != S_OK)
            g_script.chunks.clear();
        EXPECT_EQ(kTitle + Name(2, "a.txt") + Name(3, "docs\\2005\\report.doc") + Name(4, "readme") +
                      Name(5, "notes.") + Name(6, "docs\\a.txt"),
                  Stream(L"plain.rar", {L".doc"}))
            << c.what;
        EXPECT_EQ(0, g_log.live) << c.what;
        EXPECT_EQ(std::vector<bool>{true}, g_log.fileThereAtRelease) << c.what;
    }
}

TEST_F(ChildRelay, NoIndexValuesArriveEmpty)
{
    FakeChunk values{CHUNK_VALUE, L"", {}};
    values.values = {StringValue(VT_LPWSTR, L"NoIndex"), StringValue(VT_LPWSTR, L"none"),
                     StringValue(VT_LPWSTR, L"noindex, please"), StringValue(VT_BSTR, L"noindex"),
                     StringValue(VT_LPWSTR, L"Kept")};
    g_script.chunks = {values};
    Stream(L"plain.rar", {L".doc"});
    ASSERT_GE(m_chunks.size(), 4u);
    const SeenChunk &child = m_chunks[3];
    EXPECT_EQ(4u, child.stat.idChunk);
    EXPECT_EQ((std::vector<std::wstring>{L"", L"", L"noindex, please", L"vt=8", L"Kept"}), child.values);
    EXPECT_HR(FILTER_E_NO_MORE_VALUES, child.valueEnd);
    EXPECT_HR(FILTER_E_NO_TEXT, child.textEnd);
}

TEST_F(ChildRelay, AChildsTextErrorIsRepeatedWithoutAskingItAgain)
{
    g_script.textResult = E_UNEXPECTED;
    g_script.chunks = {{CHUNK_TEXT, L"unreadable", {}}};
    CFindFilterFor finder({L".doc"});
    CComPtr<IFilter> filter = CreateFilterInProcess();
    ASSERT_TRUE(filter);
    ASSERT_HR(S_OK, LoadAndInit(filter.Get(), ArchivePath(L"plain.rar")));
    STAT_CHUNK stat;
    for (ULONG id = 1; id <= 4; ++id) {
        ASSERT_HR(S_OK, filter->GetChunk(&stat));
        ASSERT_EQ(id, stat.idChunk);
    }
    WCHAR buffer[64];
    for (int i = 0; i < 3; ++i) {
        ULONG cwc = 64;
        EXPECT_HR(E_UNEXPECTED, filter->GetText(&cwc, buffer));
    }
    EXPECT_EQ(0, g_log.textCallsAfterError);
}

// A document cut at its share inside the host's buffer: a child that ends each piece with a
// terminator still gives the whole share, and is never asked for text with a buffer of one (which
// it cannot fill, and would answer outside GetText's codes).
TEST_F(ChildRelay, ACutInsideTheBufferLeavesNoRoomTheChildCannotFill)
{
    // 47 characters of names, the title's share; the report's share is the rest.
    const CLimitValue allowance(L"TextAllowanceChars", 100);
    g_script.terminatedPieces = true;
    g_script.chunks = {{CHUNK_TEXT, std::wstring(200, L'w'), {}}};
    Stream(L"plain.rar", {L".doc"});
    ASSERT_GE(m_chunks.size(), 4u);
    const SeenChunk &child = m_chunks[3];
    EXPECT_HR(FILTER_E_NO_MORE_TEXT, child.textEnd) << "the cut document's text ends as the protocol says";
    EXPECT_EQ(48u, child.text.size()) << "the whole share, and not one character more";
}

TEST_F(ChildRelay, ReleasingTheFilterWhileAChildIsHeldFreesBoth)
{
    g_script.chunks = {{CHUNK_TEXT, L"one", {}}, {CHUNK_TEXT, L"two", {}}};
    CFindFilterFor finder({L".txt"});
    {
        CComPtr<IFilter> filter = CreateFilterInProcess();
        ASSERT_TRUE(filter);
        ASSERT_HR(S_OK, LoadAndInit(filter.Get(), ArchivePath(L"plain.rar")));
        STAT_CHUNK stat;
        for (int i = 0; i < 3; ++i)
            ASSERT_HR(S_OK, filter->GetChunk(&stat));
        EXPECT_EQ(1, g_log.live);
    }
    EXPECT_EQ(std::vector<bool>{true}, g_log.fileThereAtRelease);
}

} // namespace
