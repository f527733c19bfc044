// The RAR crawler walks the test archives the way the filter drives it: NextEntry until the end,
// with WalkOneEntry doing the filter's part and a stand-in lookup deciding which entries have a
// child filter (and so are extracted). Each step records what the filter would see and what is
// on disk at that moment.
#include <gtest/gtest.h>
#include "ArchiveTestHelpers.h"
#include "TestHelpers.h"
#include "childfilter/ChildFilterLoader.h"
#include "crawler/RarFileCrawler.h"
#include "support/RunBudget.h"

#include <filterr.h>
#include <memory>

namespace {

struct Step {
    HRESULT hr;
    std::wstring name;
    std::wstring folder;
    std::wstring extractedFile;  // file name inside the temp folder, empty when not extracted
    std::string content;         // the extracted file's content at that moment
};

std::string Describe(const std::vector<Step> &steps)
{
    std::string text;
    for (const Step &s : steps)
        text += HrText(s.hr) + " [" + Narrow(s.folder) + "|" + Narrow(s.name) + "] -> [" + Narrow(s.extractedFile) +
                "] \"" + s.content + "\"\n";
    return text;
}

// Walks an archive to its end (at most 64 steps) and checks on every step that at most one
// extracted file exists in the temp folder, and that the one there is the current entry's.
std::vector<Step> Walk(const std::wstring &archive, const CScratchFolder &temp)
{
    std::vector<Step> steps;
    CChildFilterLoader loader;
    CRarFileCrawler crawler(archive.c_str(), temp.Path().c_str());
    for (int i = 0; i < 64; ++i) {
        wchar_t name[CRAWLER_NAME_CHARS], folder[CRAWLER_NAME_CHARS], extracted[CRAWLER_NAME_CHARS];
        name[0] = folder[0] = extracted[0] = L'\0';
        const HRESULT hr = WalkOneEntry(crawler, loader, name, CRAWLER_NAME_CHARS, folder, CRAWLER_NAME_CHARS, extracted,
                                        CRAWLER_NAME_CHARS);
        if (hr != S_OK && hr != S_FALSE) {
            steps.push_back({hr, L"", L"", L"", ""});
            break;
        }
        const std::vector<std::wstring> files = FilesIn(temp.Path());
        EXPECT_LE(files.size(), 1u) << "step " << i << " of " << Narrow(archive);
        Step step{hr, name, folder, L"", ""};
        if (hr == S_OK && extracted[0] != L'\0') {
            const std::wstring path = extracted;
            EXPECT_EQ(temp.Path() + L"\\", path.substr(0, temp.Path().size() + 1)) << Narrow(path);
            step.extractedFile = path.substr(temp.Path().size() + 1);
            step.content = ReadFileText(path);
            EXPECT_EQ(std::vector<std::wstring>{step.extractedFile}, files);
        } else {
            EXPECT_TRUE(files.empty()) << "step " << i << ": " << Narrow(files.empty() ? L"" : files[0]);
        }
        steps.push_back(step);
    }
    return steps;
}

const HRESULT END = FILTER_E_END_OF_CHUNKS;

struct WalkCase {
    const wchar_t *archive;
    std::vector<std::wstring> filterFor;  // extensions with a child filter
    std::vector<Step> expected;
};

class RarCrawlerWalk : public ::testing::TestWithParam<WalkCase>
{
};

TEST_P(RarCrawlerWalk, YieldsTheEntriesAndExtractsOneAtATime)
{
    const WalkCase &c = GetParam();
    CFindFilterFor finder(c.filterFor);
    CScratchFolder temp;
    const std::vector<Step> steps = Walk(ArchivePath(c.archive), temp);
    ASSERT_EQ(Describe(c.expected), Describe(steps)) << Narrow(c.archive);
    EXPECT_TRUE(FilesIn(temp.Path()).empty()) << "the crawler left a file behind";
}

const std::vector<WalkCase> kWalks = {
    // Root and folder entries; no extension and a bare dot find no filter and stay unextracted;
    // two entries of the same name in different folders share one temporary path in turn.
    {L"plain.rar", {L".txt", L".doc"}, {
        {S_OK, L"a.txt", L"", L"a.txt", "alpha text"},
        {S_OK, L"report.doc", L"docs\\2005\\", L"report.doc", "report body"},
        {S_OK, L"readme", L"", L"", ""},
        {S_OK, L"notes.", L"", L"", ""},
        {S_OK, L"a.txt", L"docs\\", L"a.txt", "second alpha"},
        {END, L"", L"", L"", ""}}},
    // Without any filter nothing is extracted, every entry is still reported.
    {L"comment.rar", {}, {
        {S_OK, L"a.txt", L"", L"", ""},
        {S_OK, L"report.doc", L"docs\\2005\\", L"", ""},
        {S_OK, L"readme", L"", L"", ""},
        {S_OK, L"notes.", L"", L"", ""},
        {S_OK, L"a.txt", L"docs\\", L"", ""},
        {END, L"", L"", L"", ""}}},
    // RAR 4 format made on Unix: directory entries (mode 0755) are passed over, the
    // group-writable file (mode 0664, bit 0x10 set) is not.
    {L"rar4.rar", {L".txt", L".doc"}, {
        {S_OK, L"a.txt", L"", L"a.txt", "alpha text"},
        {S_OK, L"report.doc", L"docs\\2005\\", L"report.doc", "report body"},
        {S_OK, L"groupw.txt", L"docs\\", L"groupw.txt", "group writable"},
        {END, L"", L"", L"", ""}}},
    {L"unix-modes.rar", {L".txt"}, {
        {S_OK, L"groupw.txt", L"folder\\", L"groupw.txt", "group writable"},
        {S_OK, L"private.txt", L"", L"private.txt", "private"},
        {END, L"", L"", L"", ""}}},
    // Solid: an entry passed over without extraction does not spoil the next one.
    {L"solid.rar", {L".txt"}, {
        {S_OK, L"first.dat", L"", L"", ""},
        {S_OK, L"second.txt", L"", L"second.txt",
         [] { std::string s; for (int i = 0; i < 200; ++i) s += "second entry text "; return s; }()},
        {S_OK, L"third.txt", L"", L"third.txt", "third entry text"},
        {END, L"", L"", L"", ""}}},
    {L"dirs-only.rar", {L"*"}, {{END, L"", L"", L"", ""}}},
    {L"empty.rar", {L"*"}, {{END, L"", L"", L"", ""}}},
    {L"not-an-archive.rar", {L"*"}, {{END, L"", L"", L"", ""}}},
    {L"no-such-archive.rar", {L"*"}, {{END, L"", L"", L"", ""}}},
    // Encrypted data: the names are there, the extraction fails; encrypted headers: nothing.
    {L"encrypted.rar", {L".txt"}, {
        {S_FALSE, L"one.txt", L"", L"", ""},
        {S_FALSE, L"two.txt", L"", L"", ""},
        {END, L"", L"", L"", ""}}},
    {L"encrypted-headers.rar", {L".txt"}, {{END, L"", L"", L"", ""}}},
    // The next volumes are found beside the first; the split entry comes whole, once.
    {L"multi.part1.rar", {L".txt"}, {
        {S_OK, L"big.bin", L"", L"", ""},
        {S_OK, L"small.txt", L"", L"small.txt", "after the split file"},
        {END, L"", L"", L"", ""}}},
    // A corrupted third header ends the walk after two entries; so does a cut-off archive.
    {L"damaged.rar", {L".txt"}, {
        {S_OK, L"one.txt", L"", L"one.txt", "one text"},
        {S_OK, L"two.txt", L"", L"two.txt", "two text"},
        {END, L"", L"", L"", ""}}},
    // Content that fails its CRC: not extracted, nothing of it left; the next entry is fine.
    {L"bad-data.rar", {L".txt"}, {
        {S_FALSE, L"one.txt", L"", L"", ""},
        {S_OK, L"two.txt", L"", L"two.txt", "two text"},
        {END, L"", L"", L"", ""}}},
    {L"truncated.rar", {L".txt", L".doc"}, {
        {S_OK, L"a.txt", L"", L"a.txt", "alpha text"},
        {S_OK, L"report.doc", L"docs\\2005\\", L"report.doc", "report body"},
        {END, L"", L"", L"", ""}}},
    {L"unicode.rar", {L".txt"}, {
        {S_OK, L"Übersicht.txt", L"", L"Übersicht.txt", "umlaut"},
        {S_OK, L"日本語.txt", L"", L"日本語.txt", "kanji"},
        {S_OK, L"κείμενο.txt", L"Ελληνικά\\", L"κείμενο.txt", "greek"},
        {END, L"", L"", L"", ""}}},
    // Names Windows reserves or cannot create are extracted under a safe name with the same
    // extension; the entry keeps its stored name.
    {L"odd-names.rar", {L"*"}, {
        {S_OK, L"CON.txt", L"", L"_CON.txt", "content of CON.txt"},
        {S_OK, L"aux.doc", L"", L"_aux.doc", "content of aux.doc"},
        {S_OK, L"lpt1.txt", L"", L"_lpt1.txt", "content of lpt1.txt"},
        {S_OK, L"what?.txt", L"", L"what_.txt", "content of what?.txt"},
        {S_OK, L"a<b>.txt", L"", L"a_b_.txt", "content of a<b>.txt"},
        {S_OK, L"q\"uote.txt", L"", L"q_uote.txt", "content of q\"uote.txt"},
        {S_OK, L"pipe|.txt", L"", L"pipe_.txt", "content of pipe|.txt"},
        {S_OK, L"star*.txt", L"", L"star_.txt", "content of star*.txt"},
        {S_OK, L"trail.txt.", L"", L"trail.txt", "content of trail.txt."},
        {S_OK, L"space.txt ", L"", L"space.txt", "content of space.txt "},
        {S_OK, L"ctl\x01.txt", L"", L"ctl_.txt", "content of ctl\x01.txt"},
        {S_OK, L"plain.txt", L"", L"plain.txt", "content of plain.txt"},
        {END, L"", L"", L"", ""}}},
    // Links and file references are never extracted: they count as a failed extraction.
    {L"symlink.rar", {L".txt"}, {
        {S_OK, L"target.txt", L"", L"target.txt", "link target"},
        {S_FALSE, L"symlink.txt", L"", L"", ""},
        {END, L"", L"", L"", ""}}},
    {L"hardlink.rar", {L".txt"}, {
        {S_OK, L"target.txt", L"", L"target.txt", "link target"},
        {S_FALSE, L"hardlink.txt", L"", L"", ""},
        {END, L"", L"", L"", ""}}},
    {L"filecopy.rar", {L".txt"}, {
        {S_OK, L"target.txt", L"", L"target.txt", "link target"},
        {S_FALSE, L"copy.txt", L"", L"", ""},
        {END, L"", L"", L"", ""}}},
};

INSTANTIATE_TEST_SUITE_P(Archives, RarCrawlerWalk, ::testing::ValuesIn(kWalks),
                         [](const ::testing::TestParamInfo<WalkCase> &info) {
                             std::string name;
                             for (char ch : Narrow(info.param.archive))
                                 name += std::isalnum(static_cast<unsigned char>(ch)) ? ch : '_';
                             return name;
                         });

TEST(RarCrawler, LongBaseNameIsCutToA255CharacterPathKeepingTheExtension)
{
    CFindFilterFor finder({L".txt"});
    CScratchFolder temp(60);
    ASSERT_EQ(60u, temp.Path().size());
    CChildFilterLoader loader;
    CRarFileCrawler crawler(ArchivePath(L"long-name.rar").c_str(), temp.Path().c_str());
    wchar_t name[CRAWLER_NAME_CHARS], folder[CRAWLER_NAME_CHARS], extracted[CRAWLER_NAME_CHARS];
    ASSERT_HR(S_OK, WalkOneEntry(crawler, loader, name, CRAWLER_NAME_CHARS, folder, CRAWLER_NAME_CHARS, extracted,
                                 CRAWLER_NAME_CHARS));
    EXPECT_EQ(254u, std::wstring(name).size());
    EXPECT_EQ(std::wstring(L"deep\\"), folder);
    const std::wstring path = extracted;
    EXPECT_EQ(255u, path.size());
    EXPECT_EQ(L".txt", path.substr(path.size() - 4));
    EXPECT_EQ("long name", ReadFileText(path));
}

TEST(RarCrawler, CurrentEntryCopiesCutToTheCallersBuffers)
{
    CFindFilterFor finder({L".doc"});
    CScratchFolder temp;
    CChildFilterLoader loader;
    CRarFileCrawler crawler(ArchivePath(L"plain.rar").c_str(), temp.Path().c_str());
    wchar_t name[CRAWLER_NAME_CHARS], folder[CRAWLER_NAME_CHARS], extracted[CRAWLER_NAME_CHARS];
    for (int i = 0; i < 2; ++i)
        ASSERT_HR(S_OK, WalkOneEntry(crawler, loader, name, CRAWLER_NAME_CHARS, folder, CRAWLER_NAME_CHARS, extracted,
                                     CRAWLER_NAME_CHARS));
    wchar_t shortFolder[5] = {L'?', L'?', L'?', L'?', L'?'};
    wchar_t name2[CRAWLER_NAME_CHARS], extracted2[CRAWLER_NAME_CHARS];
    EXPECT_HR(S_OK, crawler.GetCurrentEntry(name2, CRAWLER_NAME_CHARS, shortFolder, 5, extracted2, CRAWLER_NAME_CHARS));
    EXPECT_EQ(std::wstring(L"docs"), shortFolder);
    EXPECT_EQ(std::wstring(L"report.doc"), name2);
    EXPECT_EQ(temp.Path() + L"\\report.doc", extracted2);
}

TEST(RarCrawler, DeletingTheCrawlerMidWalkDeletesItsExtractedFile)
{
    CFindFilterFor finder({L".txt"});
    CScratchFolder temp;
    CChildFilterLoader loader;
    auto crawler = std::make_unique<CRarFileCrawler>(ArchivePath(L"plain.rar").c_str(), temp.Path().c_str());
    wchar_t name[CRAWLER_NAME_CHARS], folder[CRAWLER_NAME_CHARS], extracted[CRAWLER_NAME_CHARS];
    ASSERT_HR(S_OK, WalkOneEntry(*crawler, loader, name, CRAWLER_NAME_CHARS, folder, CRAWLER_NAME_CHARS, extracted,
                                 CRAWLER_NAME_CHARS));
    EXPECT_EQ(std::vector<std::wstring>{L"a.txt"}, FilesIn(temp.Path()));
    crawler.reset();
    EXPECT_TRUE(FilesIn(temp.Path()).empty());
}

TEST(RarCrawler, AsksTheLoaderWithTheEntryNameOnly)
{
    CFindFilterFor finder({});
    CScratchFolder temp;
    const std::vector<Step> steps = Walk(ArchivePath(L"plain.rar"), temp);
    EXPECT_EQ((std::vector<std::wstring>{L"a.txt", L"report.doc", L"readme", L"notes.", L"a.txt"}),
              CFindFilterFor::Asked());
}

// An entry whose name does not fit the caller's buffer costs that entry only.
TEST(RarCrawler, AnEntryWhoseNameDoesNotFitTheCallersBufferIsPassed)
{
    CRarFileCrawler crawler(ArchivePath(L"plain.rar").c_str(), nullptr);
    wchar_t name[7], folder[CRAWLER_NAME_CHARS];
    std::vector<std::wstring> names;
    while (crawler.NextEntry(name, ARRAYSIZE(name), folder, CRAWLER_NAME_CHARS) == S_OK)
        names.push_back(std::wstring(folder) + name);
    EXPECT_EQ((std::vector<std::wstring>{L"a.txt", L"readme", L"notes.", L"docs\\a.txt"}), names);
}

} // namespace

namespace {

TEST(RarCrawler, SplitEntryAcrossVolumesIsExtractedWhole)
{
    CFindFilterFor finder({L".bin", L".txt"});
    CScratchFolder temp;
    const std::vector<Step> steps = Walk(ArchivePath(L"multi.part1.rar"), temp);
    ASSERT_EQ(3u, steps.size());
    EXPECT_HR(S_OK, steps[0].hr);
    EXPECT_EQ(L"big.bin", steps[0].extractedFile);
    EXPECT_EQ(50000u, steps[0].content.size());
    EXPECT_EQ("after the split file", steps[1].content);
    EXPECT_HR(FILTER_E_END_OF_CHUNKS, steps[2].hr);
}

} // namespace

namespace {

// Everything a stream gives from where it stands, and what its last read answered.
std::string ReadToEnd(IStream *pStream, HRESULT *phrLast)
{
    std::string bytes;
    std::vector<char> buffer(1 << 20);
    ULONG cbRead = 0;
    do {
        *phrLast = pStream->Read(buffer.data(), static_cast<ULONG>(buffer.size()), &cbRead);
        bytes.append(buffer.data(), FAILED(*phrLast) ? 0 : cbRead);
    } while (*phrLast == S_OK);
    return bytes;
}

} // namespace

// A document read into memory gives exactly its entry. Where the whole entry lies in the decoder's
// window, the window is the document (with copies of what a filter rewrote), so its stream (a
// clone too) is withdrawn once the walk moves on; a stored entry is a copy of its own, which lasts
// as long as the stream.
TEST(RarCrawler, ADocumentInMemoryIsTheWholeEntryAndNothingPast)
{
    const struct {
        const wchar_t *archive;
        const wchar_t *document;
        bool bFromWindow;
    } rows[] = {
        {L"memory-packed.rar", L"text.txt", true},
        {L"memory-filtered.rar", L"mixed.txt", true},
        {L"memory-stored.rar", L"mixed.txt", false},
    };
    for (const auto &row : rows) {
        const std::string name = Narrow(row.archive);
        const std::string expected = ReadFileText(ArchivePath(row.document));
        ASSERT_LT(1000000u, expected.size()) << name;
        CRarFileCrawler crawler(ArchivePath(row.archive).c_str(), nullptr);
        wchar_t entry[CRAWLER_NAME_CHARS], folder[CRAWLER_NAME_CHARS];
        ASSERT_HR(S_OK, crawler.NextEntry(entry, CRAWLER_NAME_CHARS, folder, CRAWLER_NAME_CHARS)) << name;
        ASSERT_HR(S_OK, crawler.ReadEntryToMemory()) << name;
        CComPtr<IStream> stream, clone;
        stream.Attach(crawler.TakeEntryStream());
        ASSERT_TRUE(stream) << name;
        HRESULT hr = S_OK;
        EXPECT_TRUE(ReadToEnd(stream.Get(), &hr) == expected) << name << ": not the entry's bytes";
        EXPECT_HR(S_FALSE, hr) << name;
        LARGE_INTEGER back = {};
        back.QuadPart = -1;
        ULARGE_INTEGER at = {};
        ASSERT_HR(S_OK, stream->Seek(back, STREAM_SEEK_END, &at)) << name;
        EXPECT_EQ(expected.size() - 1, at.QuadPart) << name;
        ASSERT_HR(S_OK, stream->Clone(clone.Put())) << name;
        EXPECT_EQ(expected.substr(expected.size() - 1), ReadToEnd(clone.Get(), &hr)) << name << ": a read from the last byte";

        EXPECT_HR(FILTER_E_END_OF_CHUNKS, crawler.NextEntry(entry, CRAWLER_NAME_CHARS, folder, CRAWLER_NAME_CHARS))
            << name;
        for (IStream *pStream : {stream.Get(), clone.Get()}) {
            pStream->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr);
            char first = 0;
            ULONG cbRead = 0;
            EXPECT_HR(row.bFromWindow ? STG_E_REVERTED : S_OK, pStream->Read(&first, 1, &cbRead))
                << name << ": once the walk moved on";
        }
    }
}

// A filter's output needs a copy after all: where the run's account has no room for it beside the
// window, an entry outside a solid stream goes to the file route, which decodes it again, whole.
TEST(RarCrawler, AFilteredEntryWithoutRoomForItsCopyIsExtractedWhole)
{
    CComPtr<CRunBudget> budget;
    budget.Attach(CRunBudget::Create(6u << 20, 0));  // a 4 MB window and the handle, not the copy
    CrawlerOptions options;
    options.pBudget = budget.Get();
    CScratchFolder temp;
    CRarFileCrawler crawler(ArchivePath(L"memory-filtered.rar").c_str(), temp.Path().c_str(), options);
    wchar_t entry[CRAWLER_NAME_CHARS], folder[CRAWLER_NAME_CHARS], extracted[CRAWLER_NAME_CHARS];
    ASSERT_HR(S_OK, crawler.NextEntry(entry, CRAWLER_NAME_CHARS, folder, CRAWLER_NAME_CHARS));
    EXPECT_HR(S_FALSE, crawler.ReadEntryToMemory());
    ASSERT_HR(S_OK, crawler.ExtractEntry(extracted, CRAWLER_NAME_CHARS));
    EXPECT_TRUE(ReadFileText(extracted) == ReadFileText(ArchivePath(L"mixed.txt"))) << "the extracted file";
}
