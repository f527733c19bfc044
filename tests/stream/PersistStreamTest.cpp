// The archive handed over as a stream (IPersistStream::Load), as Windows Search's filter host
// does: a stream that names its file gives the same chunks as the file loaded by its path; a
// stream without a name gives them without the title (unless the archive has a comment), the
// entries numbered from 1; later volumes cannot be reached; a host stream that fails part-way
// ends the walk as a damaged archive does; and nothing touches the disk unless an entry's
// filter needs a file.
#include <gtest/gtest.h>
#include "ArchiveTestHelpers.h"
#include "FilterHost.h"
#include "FixtureDll.h"
#include "TestHelpers.h"

#include <filterr.h>
#include <shlwapi.h>

#include "support/Guids.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <fstream>
#include <iterator>

namespace {

std::string Bytes(const std::wstring &path)
{
    std::ifstream in(Narrow(path), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

CComPtr<IStream> NamelessStream(const std::string &bytes)
{
    CComPtr<IStream> stream;
    stream.Attach(SHCreateMemStream(reinterpret_cast<const BYTE *>(bytes.data()), static_cast<UINT>(bytes.size())));
    return stream;
}

// A host's stream over other bytes that fails every Read, or every Seek, once this many bytes
// have been read through it.
class CFailingStream final : public IStream
{
public:
    CFailingStream(IStream *inner, ULONGLONG cbGood, bool failSeek) : m_inner(inner), m_cbGood(cbGood), m_failSeek(failSeek) {}
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IStream && riid != IID_ISequentialStream)
            return E_NOINTERFACE;
        *ppv = static_cast<IStream *>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(++m_cRef); }
    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG cRef = --m_cRef;
        if (cRef == 0)
            delete this;
        return static_cast<ULONG>(cRef);
    }
    STDMETHODIMP Read(void *pv, ULONG cb, ULONG *pcbRead) override
    {
        if (!m_failSeek && m_cbRead >= m_cbGood)
            return STG_E_READFAULT;
        ULONG cbRead = 0;
        const HRESULT hr = m_inner->Read(pv, cb, &cbRead);
        m_cbRead += cbRead;
        if (pcbRead != nullptr)
            *pcbRead = cbRead;
        return hr;
    }
    STDMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER *pNew) override
    {
        if (m_failSeek && m_cbRead >= m_cbGood)
            return STG_E_SEEKERROR;
        return m_inner->Seek(move, origin, pNew);
    }
    STDMETHODIMP Stat(STATSTG *pStat, DWORD flags) override { return m_inner->Stat(pStat, flags); }
    STDMETHODIMP Write(const void *, ULONG, ULONG *) override { return STG_E_ACCESSDENIED; }
    STDMETHODIMP SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    STDMETHODIMP CopyTo(IStream *, ULARGE_INTEGER, ULARGE_INTEGER *, ULARGE_INTEGER *) override { return E_NOTIMPL; }
    STDMETHODIMP Commit(DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Revert() override { return E_NOTIMPL; }
    STDMETHODIMP LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override { return E_NOTIMPL; }
    STDMETHODIMP Clone(IStream **) override { return E_NOTIMPL; }

private:
    std::atomic<LONG> m_cRef{1};
    CComPtr<IStream> m_inner;
    ULONGLONG m_cbGood;
    bool m_failSeek;
    ULONGLONG m_cbRead = 0;
};

// Loads the filter from the stream, initialises it and pulls everything; the stream is
// released by the filter with the object.
std::string FilterStream(const CProductDll &dll, IStream *stream)
{
    CComPtr<IFilter> filter = NewFilter(dll);
    if (!filter)
        return "no filter";
    EXPECT_HR(S_OK, LoadStream(filter.Get(), stream));
    EXPECT_HR(S_OK, InitFilter(filter.Get()));
    return DescribeStream(ReadAllChunks(filter.Get(), ThoroughPull()));
}

// The same through the archive's path, or a stream that names its file.
std::string FilterFile(const CProductDll &dll, const std::wstring &path, LoadRoute route = LoadRoute::File)
{
    CComPtr<IFilter> filter = NewFilter(dll);
    if (!filter)
        return "no filter";
    EXPECT_HR(S_OK, LoadAndInit(filter.Get(), path, route));
    return DescribeStream(ReadAllChunks(filter.Get(), ThoroughPull()));
}

// The chunks without the first (the title), each id and source one lower.
std::string WithoutTitle(const std::string &described)
{
    std::string result;
    size_t start = described.find('\n');
    while (start != std::string::npos && start + 1 < described.size()) {
        const size_t end = described.find('\n', start + 1);
        std::string line = described.substr(start + 1, end - start - 1);
        for (const char *field : {"id=", "src="}) {
            const size_t at = line.find(field);
            if (at == std::string::npos)
                continue;
            const size_t digits = at + std::strlen(field);
            const size_t stop = line.find(' ', digits);
            const unsigned long id = std::stoul(line.substr(digits, stop - digits));
            line.replace(digits, stop - digits, std::to_string(id - 1));
        }
        result += line + "\n";
        start = end;
    }
    return result;
}

const wchar_t *const kArchives[] = {
    L"plain.rar",      L"comment.rar",   L"rar4.rar",  L"solid.rar",           L"unix-modes.rar",
    L"empty.rar",      L"dirs-only.rar", L"encrypted.rar", L"encrypted-headers.rar", L"damaged.rar",
    L"truncated.rar",  L"unicode.rar",   L"odd-names.rar", L"symlink.rar",     L"not-an-archive.rar",
};

class PersistStream : public FilterHostTest
{
protected:
    PersistStream() : FilterHostTest({/*runFolders*/ true, /*dllUnloads*/ true, /*childFilters*/ false, /*com*/ COINIT_MULTITHREADED}) {}
};

} // namespace

// With the prefix's child filters (the plain-text filter reads the .txt entries from files in a
// run folder made on first need), each archive through a named stream and through its path.
TEST_F(PersistStream, ANamedStreamGivesWhatTheFileGives)
{
    for (const wchar_t *name : kArchives) {
        SCOPED_TRACE(Narrow(name));
        const std::vector<std::wstring> runsBefore = RunFolders();
        const std::wstring path = ArchivePath(name);
        const std::string byPath = FilterFile(m_dll, path);
        EXPECT_EQ(byPath, FilterFile(m_dll, path, LoadRoute::Stream));
        EXPECT_EQ(runsBefore, RunFolders()) << "a run folder was left behind";
    }
}

// Without a name there is nothing to title the archive by but its comment.
TEST_F(PersistStream, ANamelessStreamHasNoTitleButItsComment)
{
    for (const wchar_t *name : kArchives) {
        SCOPED_TRACE(Narrow(name));
        const std::wstring path = ArchivePath(name);
        const std::string byPath = FilterFile(m_dll, path);
        const bool commented = byPath.find("prop=F29F85E0/2 text=") != std::string::npos;
        CComPtr<IStream> stream = NamelessStream(Bytes(path));
        ASSERT_TRUE(stream);
        EXPECT_EQ(commented ? byPath : WithoutTitle(byPath), FilterStream(m_dll, stream.Get()));
    }
}

// Later volumes are not in the stream: the first volume's entries, then the end.
TEST_F(PersistStream, OnlyTheFirstVolumeIsReachable)
{
    const std::wstring path = ArchivePath(L"multi.part1.rar");
    const std::string byPath = FilterFile(m_dll, path);
    const std::string byStream = FilterFile(m_dll, path, LoadRoute::Stream);
    EXPECT_EQ(0u, byPath.find(byStream)) << byStream;
    EXPECT_NE(std::string::npos, byStream.find("text=\"big.bin\"")) << byStream;
}

// Without child filters nothing needs a file: no run folder is ever made.
TEST_F(PersistStream, NothingTouchesTheDiskWhenNoEntryNeedsAFile)
{
    CNoChildFilters noChildFilters;
    for (const wchar_t *name : {L"plain.rar", L"solid.rar", L"unicode.rar"}) {
        SCOPED_TRACE(Narrow(name));
        const std::vector<std::wstring> runsBefore = RunFolders();
        CComPtr<IStream> stream = NamelessStream(Bytes(ArchivePath(name)));
        ASSERT_TRUE(stream);
        CComPtr<IFilter> filter = NewFilter(m_dll);
        ASSERT_TRUE(filter);
        ASSERT_HR(S_OK, LoadStream(filter.Get(), stream.Get()));
        ASSERT_HR(S_OK, InitFilter(filter.Get()));
        STAT_CHUNK stat;
        int chunks = 0;
        while (filter->GetChunk(&stat) == S_OK && chunks < 100) {
            ++chunks;
            EXPECT_EQ(runsBefore, RunFolders()) << "a folder made at chunk " << chunks;
        }
        EXPECT_GT(chunks, 0);
    }
}

// A host's stream that fails part-way: the walk ends as at a damaged archive, the object goes
// cleanly and leaves nothing.
TEST_F(PersistStream, AStreamThatFailsPartWayEndsTheWalk)
{
    const std::string bytes = Bytes(ArchivePath(L"plain.rar"));
    for (bool failSeek : {false, true}) {
        for (ULONGLONG cbGood : {0ull, 7ull, 20ull, 64ull, 200ull, 400ull}) {
            SCOPED_TRACE(testing::Message() << (failSeek ? "Seek" : "Read") << " fails after " << cbGood << " bytes");
            const std::vector<std::wstring> runsBefore = RunFolders();
            CComPtr<IStream> inner = NamelessStream(bytes);
            ASSERT_TRUE(inner);
            CComPtr<IStream> failing;
            failing.Attach(new CFailingStream(inner.Get(), cbGood, failSeek));
            const std::string seen = FilterStream(m_dll, failing.Get());
            EXPECT_EQ(std::string::npos, seen.find("0x8")) << "only whole chunks, then the end:\n" << seen;
            EXPECT_EQ(runsBefore, RunFolders());
        }
    }
}

// The filter's interfaces, as a host asks for them.
TEST_F(PersistStream, AnswersAsAPersistentStreamThatSavesNothing)
{
    CComPtr<IFilter> filter = NewFilter(m_dll);
    ASSERT_TRUE(filter);
    CComPtr<IPersistStream> persist;
    ASSERT_HR(S_OK, filter->QueryInterface(IID_IPersistStream, persist.PutVoid()));
    CLSID clsid = {};
    EXPECT_HR(S_OK, persist->GetClassID(&clsid));
    EXPECT_TRUE(IsEqualCLSID(CLSID_PellucidorFilter, clsid));
    EXPECT_HR(S_FALSE, persist->IsDirty());
    EXPECT_HR(E_NOTIMPL, persist->Save(nullptr, FALSE));
    ULARGE_INTEGER size = {};
    EXPECT_HR(E_NOTIMPL, persist->GetSizeMax(&size));
    EXPECT_HR(E_POINTER, persist->Load(nullptr));
    CComPtr<IUnknown> viaStream, viaFilter;
    persist->QueryInterface(IID_IUnknown, viaStream.PutVoid());
    filter->QueryInterface(IID_IUnknown, viaFilter.PutVoid());
    EXPECT_EQ(viaFilter.Get(), viaStream.Get()) << "one identity";
    // A stream loaded, then a path: the path is what the next run reads, and GetCurFile names it.
    CComPtr<IStream> stream = NamelessStream(Bytes(ArchivePath(L"plain.rar")));
    ASSERT_HR(S_OK, persist->Load(stream.Get()));
    CComPtr<IPersistFile> file;
    ASSERT_HR(S_OK, filter->QueryInterface(IID_IPersistFile, file.PutVoid()));
    LPOLESTR name = nullptr;
    EXPECT_HR(E_FAIL, file->GetCurFile(&name)) << "a stream is no file";
    ASSERT_HR(S_OK, file->Load(ArchivePath(L"solid.rar").c_str(), STGM_READ));
    ASSERT_HR(S_OK, InitFilter(filter.Get()));
    EXPECT_NE(std::string::npos, DescribeStream(ReadAllChunks(filter.Get(), ThoroughPull())).find("value=\"solid\""));
}

namespace {

// Every path below `folder` (directories with a trailing backslash), bounded.
void WalkTree(const std::wstring &folder, std::vector<std::wstring> *pPaths)
{
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        const std::wstring name = fd.cFileName;
        if (name == L"." || name == L".." || pPaths->size() >= 200000)
            continue;
        const bool isDir = (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
        pPaths->push_back(folder + L"\\" + name + (isDir ? L"\\" : L""));
        if (isDir && (fd.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
            WalkTree(folder + L"\\" + name, pPaths);
    } while (FindNextFileW(find, &fd));
    FindClose(find);
}

std::vector<std::wstring> DriveTree(const wchar_t *pszRoot)
{
    std::vector<std::wstring> paths;
    WalkTree(pszRoot, &paths);
    std::sort(paths.begin(), paths.end());
    return paths;
}

} // namespace

// A filter host with no disk: the temporary folder is on a drive that does not exist. A
// stream-loaded archive is still filtered completely where its entries' filters read streams
// (the text filter's too); a file-only filter's entry gives its name only; nothing appears
// anywhere on the prefix's drive.
TEST_F(PersistStream, WithoutATemporaryFolderStreamFiltersStillReadTheirDocuments)
{
    std::wstring missing;
    for (wchar_t letter = L'Q'; letter <= L'Y' && missing.empty(); ++letter) {
        const wchar_t root[] = {letter, L':', L'\\', L'\0'};
        if (GetDriveTypeW(root) == DRIVE_NO_ROOT_DIR)
            missing = std::wstring(root) + L"pellucidor-temp";
    }
    ASSERT_FALSE(missing.empty()) << "no free drive letter from Q: to Y:";
    const std::string bytes = Bytes(TestDataPath(L"child_filters\\mixed.rar"));
    const std::vector<std::wstring> driveBefore = DriveTree(L"C:");
    std::string seen;
    {
        CEnvironmentOverride tmp(L"TMP", missing);
        CEnvironmentOverride temp(L"TEMP", missing);
        CComPtr<IStream> stream = NamelessStream(bytes);
        ASSERT_TRUE(stream);
        seen = FilterStream(m_dll, stream.Get());
    }
    // The chunks' properties and texts in order, without the ids.
    std::string order;
    for (size_t at = seen.find("prop="); at != std::string::npos; at = seen.find("prop=", at + 1))
        order += seen.substr(at + 5, seen.find('\n', at) - at - 5) + "|";
    EXPECT_NE(std::string::npos, order.find("B725F130/10 text=\"stream.fxstream\"|B725F130/19 text=\"stream only\"|")) << seen;
    EXPECT_NE(std::string::npos, order.find("B725F130/10 text=\"notes.txt\"|B725F130/19 text=\"alpha bravo")) << seen;
    EXPECT_NE(std::string::npos, order.find("B725F130/10 text=\"values.fxval\"|B725F130/10 text=\"broken.fxinit\"|")) << seen;
    std::vector<std::wstring> made;
    const std::vector<std::wstring> driveAfter = DriveTree(L"C:");
    std::set_difference(driveAfter.begin(), driveAfter.end(), driveBefore.begin(), driveBefore.end(), std::back_inserter(made));
    EXPECT_EQ(std::vector<std::wstring>(), made) << "made on the prefix's drive";
}

// A PDF inside an archive that came as a stream is made as Windows Search makes every filter:
// the PDF module's class from its class factory, loaded from the document in memory; no run
// folder, and the platform's LoadIFilter (query.dll) is not asked. Through the path, the PDF
// still goes to a file and LoadIFilter.
TEST_F(PersistStream, PdfEntriesOfAStreamedArchiveAreReadFromMemory)
{
    const std::vector<ExpectedChunk> expected =
        Stream({{Title(L"pdf"), EntryName(L"before.txt"), Text(L"before pdf")},
                {EntryName(L"paper.pdf"), Text(L"papa quebec"), Text(L"sierra tango")},
                {EntryName(L"after.txt"), Text(L"after pdf")}});
    for (LoadRoute route : {LoadRoute::Stream, LoadRoute::File}) {
        const bool streamed = route == LoadRoute::Stream;
        SCOPED_TRACE(streamed ? "IPersistStream" : "IPersistFile");
        const std::vector<std::wstring> runsBefore = RunFolders();
        bool pdfTextSeen = false;
        HostOptions options;
        options.route = route;
        options.pull.afterEachChunk = [&](const SeenChunk &chunk) {
            if (chunk.text != L"papa quebec")
                return;
            pdfTextSeen = true;
            EXPECT_EQ(!streamed, IsModuleLoaded(L"query.dll")) << "LoadIFilter's library while the PDF is read";
            if (streamed)
                EXPECT_EQ(runsBefore, RunFolders()) << "a run folder for the PDF";
            else
                EXPECT_EQ(runsBefore.size() + 1, RunFolders().size()) << "the PDF's run folder";
        };
        ExpectStream(FilterArchive(m_dll, ChildArchive(L"pdf.rar"), options), expected);
        EXPECT_TRUE(pdfTextSeen);
    }
}
