// UnRAR's RAROpenArchiveStream (cmake/patches/0005): an archive read through the caller's
// callbacks gives the headers, results and data the same archive gives opened by name, on a list
// handle and a test handle open at once, each with a stream of its own. A stream whose reads or
// seeks fail ends with an error code; a stream never reaches another volume.
#include <gtest/gtest.h>
#include "ArchiveTestHelpers.h"
#include "TestHelpers.h"

#include <windows.h>
#include "dll.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

// An archive's bytes in memory. Reads at or past failReadAt fail, and so do the seeks after the
// first seeksBeforeFailure ones (-1: none fails).
struct MemoryStream {
    const std::string *bytes;
    long long failReadAt;
    int seeksBeforeFailure;
    long long pos = 0;
    int seeks = 0;
    bool failed = false;  // a callback has answered -1
};

int PASCAL StreamRead(void *user, void *buffer, unsigned int size)
{
    auto *s = static_cast<MemoryStream *>(user);
    if (s->failReadAt >= 0 && s->pos >= s->failReadAt)
        return s->failed = true, -1;
    const long long end = std::min<long long>(s->bytes->size(), s->failReadAt < 0 ? LLONG_MAX : s->failReadAt);
    const long long count = std::max(0LL, std::min<long long>(size, end - s->pos));
    if (count > 0)
        memcpy(buffer, s->bytes->data() + s->pos, static_cast<size_t>(count));
    s->pos += count;
    return static_cast<int>(count);
}

int PASCAL StreamSeek(void *user, long long offset, int method)
{
    auto *s = static_cast<MemoryStream *>(user);
    const long long base = method == 0 ? 0 : method == 1 ? s->pos : static_cast<long long>(s->bytes->size());
    if ((s->seeksBeforeFailure >= 0 && s->seeks++ >= s->seeksBeforeFailure) || base + offset < 0)
        return s->failed = true, -1;
    s->pos = base + offset;
    return 0;
}

long long PASCAL StreamTell(void *user) { return static_cast<MemoryStream *>(user)->pos; }
long long PASCAL StreamSize(void *user) { return static_cast<MemoryStream *>(user)->bytes->size(); }

// Hashes what RAR_TEST hands to UCM_PROCESSDATA; any other request (a password, the next
// volume) is noted and refused.
struct Sink {
    uint64_t hash = 14695981039346656037ull;
    uint64_t bytes = 0;
    std::string asked;
};

int CALLBACK OnUnrar(UINT msg, LPARAM user, LPARAM p1, LPARAM p2)
{
    auto *sink = reinterpret_cast<Sink *>(user);
    if (msg != UCM_PROCESSDATA) {
        sink->asked += " ask" + std::to_string(msg);
        return -1;
    }
    for (LPARAM i = 0; i < p2; ++i)
        sink->hash = (sink->hash ^ reinterpret_cast<const unsigned char *>(p1)[i]) * 1099511628211ull;
    sink->bytes += static_cast<uint64_t>(p2);
    return 1;
}

struct Outcome {
    std::string text;            // everything both handles gave, a line a step
    bool error = false;          // a result other than success and the archive's end
    int testedOk = 0;            // entries RAR_TEST passed
    bool streamsFailed = false;  // both streams answered -1 at least once
};

void Note(Outcome &out, const char *what, int result)
{
    out.text += std::string(" ") + what + "=" + std::to_string(result);
    out.error |= result != ERAR_SUCCESS && result != ERAR_END_ARCHIVE;
}

// Opens a handle by name (stream NULL) or through the stream, naming it by path either way.
HANDLE Open(std::wstring &path, MemoryStream *stream, unsigned int mode, RAROpenArchiveDataEx &open, char *comment,
            Sink &sink)
{
    ZeroMemory(&open, sizeof(open));
    open.ArcNameW = path.empty() ? nullptr : &path[0];
    open.OpenMode = mode;
    open.CmtBuf = comment;
    open.CmtBufSize = comment != nullptr ? 1024 : 0;
    open.Callback = OnUnrar;
    open.UserData = reinterpret_cast<LPARAM>(&sink);
    RARArchiveStream callbacks{stream, StreamRead, StreamSeek, StreamTell, StreamSize, {}};
    return stream == nullptr ? RAROpenArchiveEx(&open) : RAROpenArchiveStream(&open, &callbacks);
}

// Lists every header on one handle and tests every entry on another, step by step (at most 64).
// Given the bytes, each handle reads a stream of its own over them, failing as told; otherwise
// both open the archive by name.
Outcome Walk(std::wstring path, const std::string *bytes = nullptr, long long failReadAt = -1,
             int seeksBeforeFailure = -1)
{
    Outcome out;
    Sink listSink, testSink;
    MemoryStream listStream{bytes, failReadAt, seeksBeforeFailure}, testStream = listStream;
    RAROpenArchiveDataEx listOpen, testOpen;
    char comment[1024] = {};
    HANDLE list = Open(path, bytes ? &listStream : nullptr, RAR_OM_LIST, listOpen, comment, listSink);
    HANDLE test = Open(path, bytes ? &testStream : nullptr, RAR_OM_EXTRACT, testOpen, nullptr, testSink);
    Note(out, "open", static_cast<int>(listOpen.OpenResult));
    Note(out, "open", static_cast<int>(testOpen.OpenResult));
    out.text += " flags=" + std::to_string(listOpen.Flags) + " comment=" + std::to_string(listOpen.CmtState) + ":" +
                std::string(comment, listOpen.CmtState == 1 ? listOpen.CmtSize : 0) + "\n";
    for (int step = 0; step < 64 && (list != nullptr || test != nullptr); ++step) {
        RARHeaderDataEx header{};
        if (list != nullptr) {
            const int result = RARReadHeaderEx(list, &header);
            Note(out, "list", result);
            if (result == ERAR_SUCCESS) {
                // FileCRC is left as it was in UnRAR's heap when an entry has no CRC (a folder).
                char line[160];
                snprintf(line, sizeof(line), " %s|%x %x:%x %x:%x crc=%u:%x time=%x attr=%x os=%u m=%u redir=%u |",
                         Narrow(header.ArcNameW).c_str(), header.Flags, header.PackSizeHigh, header.PackSize,
                         header.UnpSizeHigh, header.UnpSize, header.HashType,
                         header.HashType == RAR_HASH_CRC32 ? header.FileCRC : 0, header.FileTime, header.FileAttr,
                         header.HostOS, header.Method, header.RedirType);
                out.text += Narrow(header.FileNameW) + line;
                Note(out, "skip", RARProcessFileW(list, RAR_SKIP, nullptr, nullptr));
            } else {
                Note(out, "close", RARCloseArchive(list));
                list = nullptr;
            }
        }
        if (test != nullptr) {
            header = RARHeaderDataEx{};
            const int result = RARReadHeaderEx(test, &header);
            Note(out, "next", result);
            if (result == ERAR_SUCCESS) {
                testSink.hash = Sink{}.hash;
                testSink.bytes = 0;
                const int tested = RARProcessFileW(test, RAR_TEST, nullptr, nullptr);
                out.text += " " + Narrow(header.FileNameW);
                Note(out, "test", tested);
                out.text += " " + std::to_string(testSink.bytes) + "#" + std::to_string(testSink.hash);
                out.testedOk += tested == ERAR_SUCCESS;
            } else {
                Note(out, "close", RARCloseArchive(test));
                test = nullptr;
            }
        }
        out.text += "\n";
    }
    out.text += "asked:" + listSink.asked + " |" + testSink.asked + "\n";
    out.streamsFailed = listStream.failed && testStream.failed;
    return out;
}

struct SameCase {
    const wchar_t *archive;
    int testedOk;  // entries (folders too) that pass RAR_TEST, by name and through a stream
};

class RarStreamSame : public ::testing::TestWithParam<SameCase> {};

TEST_P(RarStreamSame, GivesWhatOpeningByNameGives)
{
    const std::wstring path = ArchivePath(GetParam().archive);
    const std::string bytes = ReadFileText(path);
    const Outcome byName = Walk(path);
    EXPECT_EQ(byName.text, Walk(path, &bytes).text);
    EXPECT_EQ(GetParam().testedOk, byName.testedOk) << byName.text;
}

// RAR 1.5-4 (rar4.rar) and RAR5; solid, encrypted data and headers, a broken header, bad data,
// a cut-off archive, comments (the open record's), names beyond ASCII, links, no entries, none.
INSTANTIATE_TEST_SUITE_P(Archives, RarStreamSame, ::testing::Values(
    SameCase{L"rar4.rar", 5}, SameCase{L"plain.rar", 5}, SameCase{L"comment.rar", 5},
    SameCase{L"long-comment.rar", 5}, SameCase{L"solid.rar", 3}, SameCase{L"encrypted.rar", 0},
    SameCase{L"encrypted-headers.rar", 0}, SameCase{L"damaged.rar", 2}, SameCase{L"bad-data.rar", 1},
    SameCase{L"truncated.rar", 2}, SameCase{L"unicode.rar", 3}, SameCase{L"astral.rar", 1},
    SameCase{L"日本語.rar", 5}, SameCase{L"symlink.rar", 2}, SameCase{L"hardlink.rar", 2},
    SameCase{L"filecopy.rar", 2}, SameCase{L"unix-modes.rar", 3}, SameCase{L"dirs-only.rar", 3},
    SameCase{L"empty.rar", 0}, SameCase{L"not-an-archive.rar", 0}));

struct FailCase {
    const wchar_t *archive;
    bool seek;                   // seeks fail after `points` good ones, else reads at `points` bytes
    std::vector<long long> points;
};

class RarStreamFails : public ::testing::TestWithParam<FailCase> {};

// Each point makes both streams fail there; the walk must end with an error code, and close.
TEST_P(RarStreamFails, EndsWithAnErrorCode)
{
    const FailCase &c = GetParam();
    const std::string bytes = ReadFileText(ArchivePath(c.archive));
    ASSERT_FALSE(bytes.empty());
    for (long long point : c.points) {
        const long long readAt = point < 0 ? static_cast<long long>(bytes.size()) + point : point;
        const Outcome out = c.seek ? Walk(L"", &bytes, -1, static_cast<int>(point)) : Walk(L"", &bytes, readAt);
        EXPECT_TRUE(out.streamsFailed && out.error) << "point " << point << "\n" << out.text;
    }
}

// Negative read points count from the end: the end record, the last header.
INSTANTIATE_TEST_SUITE_P(Streams, RarStreamFails, ::testing::Values(
    FailCase{L"rar4.rar", false, {0, 6, 20, 60, 150, -40, -1}},
    FailCase{L"plain.rar", false, {0, 7, 30, 100, 300, -100, -1}},
    FailCase{L"solid.rar", false, {0, 7, 60, 200, -60, -1}},
    FailCase{L"rar4.rar", true, {0, 1, 2, 4}},
    FailCase{L"solid.rar", true, {0, 1, 2, 4}}));

TEST(RarStream, NeedsReadSeekAndTell)
{
    RAROpenArchiveDataEx open{};
    open.OpenResult = MARKER;
    RARArchiveStream callbacks{nullptr, StreamRead, nullptr, StreamTell, StreamSize, {}};
    EXPECT_EQ(nullptr, RAROpenArchiveStream(&open, &callbacks));
    EXPECT_EQ(static_cast<unsigned>(ERAR_EOPEN), open.OpenResult);
}

// The stream holds the first volume only. Named as the file beside its later volumes, it still
// opens none of them (they would give small.txt): it gives what the first volume alone gives by
// name, except that no other volume is asked for (UCM_CHANGEVOLUMEW, 3).
TEST(RarStream, ReachesNoOtherVolume)
{
    const std::wstring path = ArchivePath(L"multi.part1.rar");
    const std::string bytes = ReadFileText(path);
    CScratchFolder folder;
    const std::wstring alone = folder.Path() + L"\\multi.part1.rar";
    ASSERT_TRUE(CopyFileW(path.c_str(), alone.c_str(), TRUE)) << GetLastError();
    std::string expected = Walk(alone).text;
    for (size_t at; (at = expected.find(Narrow(alone))) != std::string::npos;)
        expected.replace(at, Narrow(alone).size(), Narrow(path));
    const size_t asked = expected.find("asked:");
    EXPECT_EQ("asked: ask3 | ask3 ask3\n", expected.substr(asked));
    expected = expected.substr(0, asked) + "asked: |\n";
    const Outcome out = Walk(path, &bytes);
    EXPECT_EQ(expected, out.text);
    EXPECT_TRUE(out.error);
    EXPECT_EQ(std::string::npos, out.text.find("small.txt"));
    EXPECT_TRUE(DeleteFileW(alone.c_str()));
}

} // namespace
