// The chunk stream as a search host sees it through the built DLL: the archive's title, one
// name chunk per file entry, then the end; text handed out in terminated pieces; nothing left in
// the temp folder once the object is released.
#include <gtest/gtest.h>
#include "ArchiveTestHelpers.h"
#include "FilterHost.h"
#include "TestHelpers.h"

#include <filterr.h>

namespace {

const char *const T = "0x00000000 id=";  // every chunk of these streams comes with S_OK

std::string Title(const char *value) { return std::string(T) + "1 src=1 flags=2 prop=F29F85E0/2 value=\"" + value + "\"\n"; }
std::string Comment(const char *text) { return std::string(T) + "1 src=1 flags=1 prop=F29F85E0/2 text=\"" + text + "\"\n"; }
std::string Name(int id, const char *text)
{
    return T + std::to_string(id) + " src=" + std::to_string(id) + " flags=1 prop=B725F130/10 text=\"" + text + "\"\n";
}

struct StreamCase {
    const wchar_t *archive;
    std::string expected;
};

class DllStream : public ::testing::TestWithParam<StreamCase>
{
    CNoChildFilters m_noChildFilters;
};

TEST_P(DllStream, HostSeesTitleThenEntryNamesThenTheEnd)
{
    const StreamCase &c = GetParam();
    const std::vector<std::wstring> runsBefore = RunFolders();
    CProductDll dll;
    {
        CComPtr<IFilter> filter = NewFilter(dll);
        ASSERT_TRUE(filter);
        ASSERT_HR(S_OK, LoadAndInit(filter.Get(), ArchivePath(c.archive)));
        EXPECT_EQ(c.expected, DescribeStream(ReadAllChunks(filter.Get(), ThoroughPull()))) << Narrow(c.archive);
        // The end is final.
        STAT_CHUNK stat;
        EXPECT_HR(FILTER_E_END_OF_CHUNKS, filter->GetChunk(&stat));
        ULONG cwc = 10;
        WCHAR buffer[10];
        EXPECT_HR(FILTER_E_NO_TEXT, filter->GetText(&cwc, buffer));
        PROPVARIANT *pValue = reinterpret_cast<PROPVARIANT *>(static_cast<uintptr_t>(MARKER));
        EXPECT_HR(FILTER_E_NO_VALUES, filter->GetValue(&pValue));
    }
    EXPECT_EQ(runsBefore, RunFolders()) << "a run folder was left behind";
    EXPECT_HR(S_OK, dll.CanUnloadNow());
}

const StreamCase kStreams[] = {
    {L"plain.rar", Title("plain") + Name(2, "a.txt") + Name(3, "docs\\2005\\report.doc") + Name(4, "readme") +
                       Name(5, "notes.") + Name(6, "docs\\a.txt")},
    {L"comment.rar", Comment("Quarterly reports\r\nfor 2005") + Name(2, "a.txt") + Name(3, "docs\\2005\\report.doc") +
                         Name(4, "readme") + Name(5, "notes.") + Name(6, "docs\\a.txt")},
    {L"rar4.rar", Comment("RAR4 comment") + Name(2, "a.txt") + Name(3, "docs\\2005\\report.doc") +
                      Name(4, "docs\\groupw.txt")},
    {L"solid.rar", Title("solid") + Name(2, "first.dat") + Name(3, "second.txt") + Name(4, "third.txt")},
    {L"unix-modes.rar", Title("unix-modes") + Name(2, "folder\\groupw.txt") + Name(3, "private.txt")},
    {L"empty.rar", Title("empty")},
    {L"dirs-only.rar", Title("dirs-only")},
    {L"not-an-archive.rar", Title("not-an-archive")},
    {L"encrypted.rar", Title("encrypted") + Name(2, "one.txt") + Name(3, "two.txt")},
    {L"encrypted-headers.rar", Title("encrypted-headers")},
    {L"multi.part1.rar", Title("multi.part1") + Name(2, "big.bin") + Name(3, "small.txt")},
    {L"damaged.rar", Title("damaged") + Name(2, "one.txt") + Name(3, "two.txt")},
    {L"truncated.rar", Title("truncated") + Name(2, "a.txt") + Name(3, "docs\\2005\\report.doc")},
    {L"unicode.rar", Title("unicode") + Name(2, "Übersicht.txt") + Name(3, "日本語.txt") +
                         Name(4, "Ελληνικά\\κείμενο.txt")},
    // A file name the ANSI code page cannot carry still gives its own name as the title.
    {L"日本語.rar", Title("日本語") + Name(2, "a.txt") + Name(3, "docs\\2005\\report.doc") + Name(4, "readme") +
                        Name(5, "notes.") + Name(6, "docs\\a.txt")},
    {L"odd-names.rar", Title("odd-names") + Name(2, "CON.txt") + Name(3, "aux.doc") + Name(4, "lpt1.txt") +
                           Name(5, "what?.txt") + Name(6, "a<b>.txt") + Name(7, "q\"uote.txt") + Name(8, "pipe|.txt") +
                           Name(9, "star*.txt") + Name(10, "trail.txt.") + Name(11, "space.txt ") +
                           Name(12, "ctl\x01.txt") + Name(13, "plain.txt")},
    {L"symlink.rar", Title("symlink") + Name(2, "target.txt") + Name(3, "symlink.txt")},
};

INSTANTIATE_TEST_SUITE_P(Archives, DllStream, ::testing::ValuesIn(kStreams),
                         [](const ::testing::TestParamInfo<StreamCase> &info) {
                             std::string name;
                             for (char ch : Narrow(info.param.archive))
                                 name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                             return name + "_" + std::to_string(info.index);
                         });

// A filter from the DLL, loaded with plain.rar and initialised, for the step-by-step cases.
class DllFilter : public FilterHostTest
{
protected:
    void SetUp() override
    {
        FilterHostTest::SetUp();
        m_filter = NewFilter(m_dll);
        ASSERT_TRUE(m_filter);
        ASSERT_HR(S_OK, LoadAndInit(m_filter.Get(), ArchivePath(L"plain.rar")));
    }
    void TearDown() override
    {
        m_filter.Reset();
        FilterHostTest::TearDown();
    }
    HRESULT Next()
    {
        m_stat.idChunk = MARKER;
        return m_filter->GetChunk(&m_stat);
    }
    // One GetText call with a buffer of cwc characters; the piece lands in m_piece.
    HRESULT Text(ULONG cwc)
    {
        m_buffer.assign(cwc + 8, L'#');
        m_cwc = cwc;
        const HRESULT hr = m_filter->GetText(&m_cwc, m_buffer.data());
        m_piece = (SUCCEEDED(hr) && m_cwc <= cwc) ? std::wstring(m_buffer.data(), m_cwc) : L"";
        m_terminated = SUCCEEDED(hr) && m_cwc < cwc && m_buffer[m_cwc] == L'\0';
        return hr;
    }

    CNoChildFilters m_noChildFilters;
    CComPtr<IFilter> m_filter;
    STAT_CHUNK m_stat = {};
    std::vector<WCHAR> m_buffer;
    ULONG m_cwc = 0;
    std::wstring m_piece;
    bool m_terminated = false;
};

TEST_F(DllFilter, TextComesInTerminatedPiecesOfAtMostNMinusOne)
{
    ASSERT_HR(S_OK, Next());  // title
    ASSERT_HR(S_OK, Next());  // a.txt
    struct { HRESULT hr; ULONG count; const wchar_t *piece; } steps[] = {
        {S_OK, 3, L"a.t"}, {FILTER_S_LAST_TEXT, 2, L"xt"}, {FILTER_E_NO_MORE_TEXT, 0, L""}, {FILTER_E_NO_MORE_TEXT, 0, L""},
    };
    for (const auto &s : steps) {
        EXPECT_HR(s.hr, Text(4));
        EXPECT_EQ(s.count, m_cwc);
        EXPECT_EQ(std::wstring(s.piece), m_piece);
        EXPECT_EQ(SUCCEEDED(s.hr), m_terminated);
    }
    // docs\2005\report.doc: a text of exactly N characters takes an N-1 piece and a last one.
    ASSERT_HR(S_OK, Next());
    EXPECT_HR(S_OK, Text(20));
    EXPECT_EQ(L"docs\\2005\\report.do", m_piece);
    EXPECT_HR(FILTER_S_LAST_TEXT, Text(20));
    EXPECT_EQ(L"c", m_piece);
    EXPECT_HR(FILTER_E_NO_MORE_TEXT, Text(20));
    // A buffer larger than the text: all of it at once.
    ASSERT_HR(S_OK, Next());
    EXPECT_HR(FILTER_S_LAST_TEXT, Text(100));
    EXPECT_EQ(L"readme", m_piece);
    EXPECT_TRUE(m_terminated);
}

TEST_F(DllFilter, TitleValueOnceThenNoMoreThenNone)
{
    ASSERT_HR(S_OK, Next());
    EXPECT_EQ(CHUNK_VALUE, m_stat.flags);
    EXPECT_EQ(1u, m_stat.idChunk);
    EXPECT_EQ(CHUNK_NO_BREAK, m_stat.breakType);
    EXPECT_EQ(GetSystemDefaultLCID(), m_stat.locale);
    EXPECT_EQ(0u, m_stat.cwcStartSource);
    EXPECT_EQ(0u, m_stat.cwcLenSource);
    EXPECT_HR(FILTER_E_NO_TEXT, Text(10));
    PROPVARIANT *pValue = reinterpret_cast<PROPVARIANT *>(static_cast<uintptr_t>(MARKER));
    ASSERT_HR(S_OK, m_filter->GetValue(&pValue));
    ASSERT_NE(nullptr, pValue);
    EXPECT_EQ(VT_LPWSTR, pValue->vt);
    EXPECT_EQ(std::wstring(L"plain"), pValue->pwszVal);
    PropVariantClear(pValue);
    CoTaskMemFree(pValue);
    pValue = reinterpret_cast<PROPVARIANT *>(static_cast<uintptr_t>(MARKER));
    EXPECT_HR(FILTER_E_NO_MORE_VALUES, m_filter->GetValue(&pValue));
    EXPECT_EQ(nullptr, pValue);
    EXPECT_HR(FILTER_E_NO_VALUES, m_filter->GetValue(&pValue));
    // A name chunk has text only.
    ASSERT_HR(S_OK, Next());
    EXPECT_HR(FILTER_E_NO_VALUES, m_filter->GetValue(&pValue));
}

TEST_F(DllFilter, BadArgumentsGetAnErrorAndLoseNothing)
{
    EXPECT_HR(E_POINTER, m_filter->GetChunk(nullptr));
    ASSERT_HR(S_OK, Next());
    EXPECT_EQ(1u, m_stat.idChunk) << "a refused GetChunk used up a chunk";
    EXPECT_HR(E_POINTER, m_filter->GetValue(nullptr));
    ASSERT_HR(S_OK, Next());
    EXPECT_EQ(2u, m_stat.idChunk);

    WCHAR buffer[16];
    EXPECT_HR(E_POINTER, m_filter->GetText(nullptr, buffer));
    ULONG cwc = 16;
    EXPECT_HR(E_POINTER, m_filter->GetText(&cwc, nullptr));
    // No room for a character and its terminator: nothing copied, nothing used up.
    for (ULONG tooSmall : {0u, 1u}) {
        buffer[0] = L'#';
        cwc = tooSmall;
        EXPECT_HR(E_INVALIDARG, m_filter->GetText(&cwc, buffer)) << tooSmall;
        EXPECT_EQ(0u, cwc);
        EXPECT_EQ(L'#', buffer[0]);
    }
    EXPECT_HR(FILTER_S_LAST_TEXT, Text(16));
    EXPECT_EQ(L"a.txt", m_piece);

    IUnknown *pUnk = reinterpret_cast<IUnknown *>(static_cast<uintptr_t>(MARKER));
    FILTERREGION region = {};
    EXPECT_HR(E_NOTIMPL, m_filter->BindRegion(region, IID_IUnknown, reinterpret_cast<void **>(&pUnk)));
}

TEST(DllStreamLife, ALongCommentIsCutToTheTitlesSize)
{
    const CNoChildFilters noChildFilters;
    CProductDll dll;
    CComPtr<IFilter> filter = NewFilter(dll);
    ASSERT_TRUE(filter);
    ASSERT_HR(S_OK, LoadAndInit(filter.Get(), ArchivePath(L"long-comment.rar")));
    const std::vector<SeenChunk> chunks = ReadAllChunks(filter.Get(), ThoroughPull());
    ASSERT_EQ(6u, chunks.size());
    EXPECT_EQ(CHUNK_TEXT, chunks[0].stat.flags);
    EXPECT_EQ(16383u, chunks[0].text.size());
    EXPECT_EQ(L"long comment line long", chunks[0].text.substr(0, 22));
    EXPECT_HR(FILTER_E_NO_MORE_TEXT, chunks[0].textEnd);
}

TEST(DllStreamLife, GetChunkBeforeInitEndsAtOnce)
{
    CProductDll dll;
    CComPtr<IFilter> filter = NewFilter(dll);
    ASSERT_TRUE(filter);
    STAT_CHUNK stat = {};
    EXPECT_HR(FILTER_E_END_OF_CHUNKS, filter->GetChunk(&stat));
    ULONG cwc = 4;
    WCHAR buffer[4];
    EXPECT_HR(FILTER_E_NO_TEXT, filter->GetText(&cwc, buffer));
}

TEST(DllStreamLife, ReleaseMidStreamLeavesNothing)
{
    const std::vector<std::wstring> runsBefore = RunFolders();
    CProductDll dll;
    {
        CComPtr<IFilter> filter = NewFilter(dll);
        ASSERT_TRUE(filter);
        ASSERT_HR(S_OK, LoadAndInit(filter.Get(), ArchivePath(L"plain.rar")));
        STAT_CHUNK stat;
        ASSERT_HR(S_OK, filter->GetChunk(&stat));
        ASSERT_HR(S_OK, filter->GetChunk(&stat));
        EXPECT_EQ(runsBefore.size() + 1, RunFolders().size());
        // A second Init starts the stream again, in a new run folder.
        ULONG flags = 0;
        ASSERT_HR(S_OK, filter->Init(0, 0, nullptr, &flags));
        EXPECT_EQ(runsBefore.size() + 1, RunFolders().size());
        ASSERT_HR(S_OK, filter->GetChunk(&stat));
        EXPECT_EQ(1u, stat.idChunk);
    }
    EXPECT_EQ(runsBefore, RunFolders());
    EXPECT_HR(S_OK, dll.CanUnloadNow());
}

} // namespace
