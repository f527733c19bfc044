// The in-memory document stream that child filters reading streams are given: what Read, Seek,
// Clone, Stat and CopyTo answer at every position, the end and past it included, as a child
// filter would call them.
#include <gtest/gtest.h>
#include <shlwapi.h>

#include <cstring>
#include <string>
#include <vector>

#include "TestHelpers.h"
#include "support/Holders.h"
#include "support/MemoryStream.h"

namespace {

const std::string kDocument = "0123456789abcdefghij";  // 20 bytes

CComPtr<IStream> NewDocumentStream(const wchar_t *pszName = L"docs\\entry.txt")
{
    CByteBuffer bytes;
    EXPECT_TRUE(bytes.Reserve(kDocument.size()) && bytes.Append(kDocument.data(), kDocument.size()));
    CComPtr<IStream> stream;
    stream.Attach(CreateMemoryDocumentStream(std::move(bytes), pszName));
    return stream;
}

HRESULT SeekTo(IStream *pStream, LONGLONG move, DWORD origin, ULONGLONG *pNew = nullptr)
{
    LARGE_INTEGER li;
    li.QuadPart = move;
    ULARGE_INTEGER position;
    position.QuadPart = MARKER;
    const HRESULT hr = pStream->Seek(li, origin, &position);
    if (pNew != nullptr)
        *pNew = position.QuadPart;
    return hr;
}

struct ReadResult {
    HRESULT hr;
    std::string bytes;
};

// One Read of up to cb bytes into a buffer whose bytes past the count must stay untouched.
ReadResult ReadBytes(IStream *pStream, ULONG cb)
{
    std::vector<char> buffer(cb + 16, '#');
    ULONG cbRead = MARKER;
    const HRESULT hr = pStream->Read(buffer.data(), cb, &cbRead);
    if (cbRead > cb)
        return {hr, "count " + std::to_string(cbRead) + " beyond the buffer"};
    for (size_t i = cbRead; i < buffer.size(); ++i)
        if (buffer[i] != '#')
            return {hr, "written past the count"};
    return {hr, std::string(buffer.data(), cbRead)};
}

} // namespace

// Past the end is a place a stream may be moved to; reading there gives nothing, never bytes
// from outside the document.
TEST(MemoryDocumentStream, ReadsNothingAtOrPastTheEnd)
{
    struct Case {
        const char *what;
        LONGLONG move;
        DWORD origin;
        ULONGLONG position;
    };
    const Case cases[] = {
        {"SET to the end", 20, STREAM_SEEK_SET, 20},
        {"SET one past the end", 21, STREAM_SEEK_SET, 21},
        {"SET far past the end", 0x10000000, STREAM_SEEK_SET, 0x10000000},
        {"END", 0, STREAM_SEEK_END, 20},
        {"END+1", 1, STREAM_SEEK_END, 21},
        {"END+4096", 4096, STREAM_SEEK_END, 20 + 4096},
        {"CUR+100 from the start", 100, STREAM_SEEK_CUR, 100},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        CComPtr<IStream> stream = NewDocumentStream();
        ASSERT_TRUE(stream);
        ULONGLONG position = 0;
        ASSERT_HR(S_OK, SeekTo(stream.Get(), c.move, c.origin, &position));
        EXPECT_EQ(c.position, position);
        for (ULONG cb : {0u, 1u, 7u, 4096u}) {
            const ReadResult read = ReadBytes(stream.Get(), cb);
            EXPECT_HR(cb == 0 ? S_OK : S_FALSE, read.hr) << cb << " bytes asked";
            EXPECT_EQ("", read.bytes) << cb << " bytes asked";
        }
        // The position stays where it was put, and the document is all there from the start.
        EXPECT_HR(S_OK, SeekTo(stream.Get(), 0, STREAM_SEEK_CUR, &position));
        EXPECT_EQ(c.position, position);
        ASSERT_HR(S_OK, SeekTo(stream.Get(), 0, STREAM_SEEK_SET));
        EXPECT_EQ(kDocument, ReadBytes(stream.Get(), 64).bytes);
    }
}

TEST(MemoryDocumentStream, ReadsWhatIsLeftAndRefusesBadSeeks)
{
    CComPtr<IStream> stream = NewDocumentStream();
    ASSERT_TRUE(stream);
    ASSERT_HR(S_OK, SeekTo(stream.Get(), -3, STREAM_SEEK_END));
    const ReadResult tail = ReadBytes(stream.Get(), 10);
    EXPECT_HR(S_FALSE, tail.hr);
    EXPECT_EQ("hij", tail.bytes);
    ASSERT_HR(S_OK, SeekTo(stream.Get(), 5, STREAM_SEEK_SET));
    const ReadResult middle = ReadBytes(stream.Get(), 5);
    EXPECT_HR(S_OK, middle.hr);
    EXPECT_EQ("56789", middle.bytes);
    ULONGLONG position = 0;
    EXPECT_HR(STG_E_INVALIDFUNCTION, SeekTo(stream.Get(), -21, STREAM_SEEK_END));
    EXPECT_HR(STG_E_INVALIDFUNCTION, SeekTo(stream.Get(), -11, STREAM_SEEK_CUR));
    EXPECT_HR(STG_E_INVALIDFUNCTION, SeekTo(stream.Get(), 0, 3));
    EXPECT_HR(STG_E_INVALIDFUNCTION, SeekTo(stream.Get(), MAXLONGLONG, STREAM_SEEK_END));
    EXPECT_HR(S_OK, SeekTo(stream.Get(), 0, STREAM_SEEK_CUR, &position));
    EXPECT_EQ(10u, position) << "a refused seek moves nothing";
    ULONG cbWritten = MARKER;
    EXPECT_HR(STG_E_ACCESSDENIED, stream->Write("x", 1, &cbWritten));
}

// Clones read the same bytes, each at a position of its own, starting where the stream was; the
// name goes with them and outlives the stream they came from.
TEST(MemoryDocumentStream, ClonesKeepTheirOwnPositionsOverTheSameBytes)
{
    for (LONGLONG start : {0LL, 7LL, 20LL, 25LL, 0x100000LL}) {
        SCOPED_TRACE("cloned at " + std::to_string(start));
        CComPtr<IStream> stream = NewDocumentStream();
        ASSERT_TRUE(stream);
        ASSERT_HR(S_OK, SeekTo(stream.Get(), start, STREAM_SEEK_SET));
        CComPtr<IStream> clone;
        ASSERT_HR(S_OK, stream->Clone(clone.Put()));
        ASSERT_TRUE(clone);
        ULONGLONG position = 0;
        EXPECT_HR(S_OK, SeekTo(clone.Get(), 0, STREAM_SEEK_CUR, &position));
        EXPECT_EQ(static_cast<ULONGLONG>(start), position);
        const std::string expected = start < 20 ? kDocument.substr(static_cast<size_t>(start)) : "";
        const ReadResult read = ReadBytes(clone.Get(), 64);
        EXPECT_HR(S_FALSE, read.hr);
        EXPECT_EQ(expected, read.bytes);
        // The stream has not moved; a clone of the clone is at the clone's position.
        EXPECT_HR(S_OK, SeekTo(stream.Get(), 0, STREAM_SEEK_CUR, &position));
        EXPECT_EQ(static_cast<ULONGLONG>(start), position);
        CComPtr<IStream> second;
        ASSERT_HR(S_OK, clone->Clone(second.Put()));
        stream.Reset();
        clone.Reset();
        ASSERT_HR(S_OK, SeekTo(second.Get(), 2, STREAM_SEEK_SET));
        EXPECT_EQ("23456", ReadBytes(second.Get(), 5).bytes);
        STATSTG stat = {};
        ASSERT_HR(S_OK, second->Stat(&stat, STATFLAG_DEFAULT));
        const CCoTaskMem name(stat.pwcsName);
        EXPECT_EQ(20u, stat.cbSize.QuadPart);
        ASSERT_NE(nullptr, stat.pwcsName);
        EXPECT_EQ(L"docs\\entry.txt", std::wstring(stat.pwcsName));
    }
    IStream *pMarked = static_cast<IStream *>(MarkerPointer());
    EXPECT_HR(STG_E_INVALIDPOINTER, NewDocumentStream()->Clone(nullptr));
    CComPtr<IStream> nameless = NewDocumentStream(nullptr);
    ASSERT_HR(S_OK, nameless->Clone(&pMarked));
    CComPtr<IStream> namelessClone;
    namelessClone.Attach(pMarked);
    STATSTG stat = {};
    stat.pwcsName = static_cast<LPOLESTR>(MarkerPointer());
    ASSERT_HR(S_OK, namelessClone->Stat(&stat, STATFLAG_DEFAULT));
    EXPECT_EQ(nullptr, stat.pwcsName);
}

// Stat tells the size and, unless told not to, the name, whatever the position.
TEST(MemoryDocumentStream, StatTellsSizeAndNameAtAnyPosition)
{
    CComPtr<IStream> stream = NewDocumentStream();
    ASSERT_TRUE(stream);
    for (LONGLONG at : {0LL, 20LL, 21LL, 5000LL}) {
        SCOPED_TRACE("at " + std::to_string(at));
        ASSERT_HR(S_OK, SeekTo(stream.Get(), at, STREAM_SEEK_SET));
        STATSTG stat;
        std::memset(&stat, 0xEF, sizeof(stat));
        ASSERT_HR(S_OK, stream->Stat(&stat, STATFLAG_DEFAULT));
        const CCoTaskMem name(stat.pwcsName);
        EXPECT_EQ(static_cast<DWORD>(STGTY_STREAM), stat.type);
        EXPECT_EQ(20u, stat.cbSize.QuadPart);
        ASSERT_NE(nullptr, stat.pwcsName);
        EXPECT_EQ(L"docs\\entry.txt", std::wstring(stat.pwcsName));
        std::memset(&stat, 0xEF, sizeof(stat));
        ASSERT_HR(S_OK, stream->Stat(&stat, STATFLAG_NONAME));
        EXPECT_EQ(nullptr, stat.pwcsName);
        EXPECT_EQ(20u, stat.cbSize.QuadPart);
    }
    EXPECT_HR(STG_E_INVALIDPOINTER, stream->Stat(nullptr, STATFLAG_DEFAULT));
}

// CopyTo copies what is left from the position, nothing from past the end.
TEST(MemoryDocumentStream, CopyToCopiesWhatIsLeftAndNothingPastTheEnd)
{
    struct Case {
        LONGLONG at;
        ULONGLONG cb;
        std::string copied;
    };
    const Case cases[] = {
        {0, 1000, kDocument}, {15, 1000, "fghij"}, {3, 4, "3456"}, {20, 1000, ""}, {21, 1000, ""}, {4096, 1, ""},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE("at " + std::to_string(c.at) + ", " + std::to_string(c.cb) + " bytes");
        CComPtr<IStream> stream = NewDocumentStream();
        ASSERT_TRUE(stream);
        CComPtr<IStream> target;
        target.Attach(SHCreateMemStream(nullptr, 0));
        ASSERT_TRUE(target);
        ASSERT_HR(S_OK, SeekTo(stream.Get(), c.at, STREAM_SEEK_SET));
        ULARGE_INTEGER cb, cbRead, cbWritten;
        cb.QuadPart = c.cb;
        cbRead.QuadPart = cbWritten.QuadPart = MARKER;
        EXPECT_HR(S_OK, stream->CopyTo(target.Get(), cb, &cbRead, &cbWritten));
        EXPECT_EQ(c.copied.size(), cbRead.QuadPart);
        EXPECT_EQ(c.copied.size(), cbWritten.QuadPart);
        ASSERT_HR(S_OK, SeekTo(target.Get(), 0, STREAM_SEEK_SET));
        EXPECT_EQ(c.copied, ReadBytes(target.Get(), 4096).bytes);
        ULONGLONG position = 0;
        EXPECT_HR(S_OK, SeekTo(stream.Get(), 0, STREAM_SEEK_CUR, &position));
        EXPECT_EQ(static_cast<ULONGLONG>(c.at) + c.copied.size(), position);
    }
}
