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
#include <string>
#include <vector>

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

// A host's stream over other bytes: every call goes to the inner stream unless a test's stream
// below answers it itself; the rest of IStream is refused.
class CWrappedStream : public IStream
{
public:
    explicit CWrappedStream(IStream *inner) : m_inner(inner) {}
    virtual ~CWrappedStream() = default;
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
    STDMETHODIMP Read(void *pv, ULONG cb, ULONG *pcbRead) override { return m_inner->Read(pv, cb, pcbRead); }
    STDMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER *pNew) override
    {
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

protected:
    CComPtr<IStream> m_inner;

private:
    std::atomic<LONG> m_cRef{1};
};

// A host's stream that fails every Read, or every Seek, once this many bytes have been read
// through it.
class CFailingStream final : public CWrappedStream
{
public:
    CFailingStream(IStream *inner, ULONGLONG cbGood, bool failSeek) : CWrappedStream(inner), m_cbGood(cbGood), m_failSeek(failSeek) {}
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

private:
    ULONGLONG m_cbGood;
    bool m_failSeek;
    ULONGLONG m_cbRead = 0;
};

// A host's stream over an archive's bytes, as a host that shares its stream may hand it over:
// Stat names it as the test says (a name handed out even when STATFLAG_NONAME asks for none,
// when told), every Read and Seek is counted, and after every Read the stream's position is put
// back to the start, so that a reader which does not seek before each read gets wrong bytes.
class CHostStream final : public CWrappedStream
{
public:
    CHostStream(IStream *inner, std::wstring name, bool nameAlways)
        : CWrappedStream(inner), m_name(std::move(name)), m_nameAlways(nameAlways)
    {
    }
    STDMETHODIMP Read(void *pv, ULONG cb, ULONG *pcbRead) override
    {
        ++m_reads;
        const HRESULT hr = m_inner->Read(pv, cb, pcbRead);
        LARGE_INTEGER zero = {};
        m_inner->Seek(zero, STREAM_SEEK_SET, nullptr);
        return hr;
    }
    STDMETHODIMP Seek(LARGE_INTEGER move, DWORD origin, ULARGE_INTEGER *pNew) override
    {
        ++m_seeks;
        return m_inner->Seek(move, origin, pNew);
    }
    STDMETHODIMP Stat(STATSTG *pStat, DWORD flags) override
    {
        const HRESULT hr = m_inner->Stat(pStat, STATFLAG_NONAME);
        if (FAILED(hr) || m_name.empty() || ((flags & STATFLAG_NONAME) != 0 && !m_nameAlways))
            return hr;
        const size_t cb = (m_name.size() + 1) * sizeof(wchar_t);
        pStat->pwcsName = static_cast<LPOLESTR>(CoTaskMemAlloc(cb));
        if (pStat->pwcsName == nullptr)
            return STG_E_INSUFFICIENTMEMORY;
        std::memcpy(pStat->pwcsName, m_name.c_str(), cb);
        m_namesGiven.push_back(pStat->pwcsName);
        return S_OK;
    }

    int Reads() const { return m_reads; }
    int Seeks() const { return m_seeks; }
    const std::vector<void *> &NamesGiven() const { return m_namesGiven; }

private:
    std::wstring m_name;
    bool m_nameAlways;
    int m_reads = 0;
    int m_seeks = 0;
    std::vector<void *> m_namesGiven;
};

// A host's stream that counts the reads starting at its beginning: each open of the archive reads
// its signature there (an archive smaller than one read-ahead block is read once per open).
class COpenCountingStream final : public CWrappedStream
{
public:
    using CWrappedStream::CWrappedStream;
    STDMETHODIMP Read(void *pv, ULONG cb, ULONG *pcbRead) override
    {
        LARGE_INTEGER zero = {};
        ULARGE_INTEGER position = {};
        if (SUCCEEDED(m_inner->Seek(zero, STREAM_SEEK_CUR, &position)) && position.QuadPart == 0)
            ++m_opens;
        return m_inner->Read(pv, cb, pcbRead);
    }
    int Opens() const { return m_opens; }

private:
    int m_opens = 0;
};

// The strict host's pull, with room for more chunks when asked.
PullOptions Pull(size_t maxChunks)
{
    PullOptions options = ThoroughPull();
    options.maxChunks = std::max(options.maxChunks, maxChunks);
    return options;
}

// Loads the filter from the stream, initialises it and pulls everything; the stream is
// released by the filter with the object.
std::string FilterStream(const CProductDll &dll, IStream *stream, size_t maxChunks = 0)
{
    CComPtr<IFilter> filter = NewFilter(dll);
    if (!filter)
        return "no filter";
    EXPECT_HR(S_OK, LoadStream(filter.Get(), stream));
    EXPECT_HR(S_OK, InitFilter(filter.Get()));
    return DescribeStream(ReadAllChunks(filter.Get(), Pull(maxChunks)));
}

// The same through the archive's path, or a stream that names its file.
std::string FilterFile(const CProductDll &dll, const std::wstring &path, LoadRoute route = LoadRoute::File,
                       size_t maxChunks = 0)
{
    CComPtr<IFilter> filter = NewFilter(dll);
    if (!filter)
        return "no filter";
    EXPECT_HR(S_OK, LoadAndInit(filter.Get(), path, route));
    return DescribeStream(ReadAllChunks(filter.Get(), Pull(maxChunks)));
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

// A stream named so that no title is left of its name (".rar", a folder) is read as a nameless
// one: no title chunk, the first entry's name is chunk 1. A file named ".rar" loaded by its path
// gives the same.
TEST_F(PersistStream, ANameThatLeavesNoTitleGivesNoTitleChunk)
{
    const std::wstring path = ArchivePath(L"plain.rar");
    const std::string expected = WithoutTitle(FilterFile(m_dll, path));
    for (const wchar_t *name : {L".rar", L"C:\\dir\\", L"C:\\dir\\.rar", L"C:", L"dir/.RAR"}) {
        SCOPED_TRACE(Narrow(name));
        CComPtr<IStream> inner = NamelessStream(Bytes(path));
        ASSERT_TRUE(inner);
        CComPtr<IStream> named;
        named.Attach(new CHostStream(inner.Get(), name, false));
        EXPECT_EQ(expected, FilterStream(m_dll, named.Get()));
    }
    CScratchDir scratch;
    const std::wstring dotRar = scratch.Path() + L"\\.rar";
    ASSERT_TRUE(CopyFileW(path.c_str(), dotRar.c_str(), FALSE)) << GetLastError();
    EXPECT_EQ(expected, FilterFile(m_dll, dotRar));
}

namespace {

// Every block the product DLL hands to CoTaskMemFree while a CFreeWatch lives: the DLL's import
// of it is pointed at a recorder (Wine's IMallocSpy crashes in the allocator's GetSize).
std::vector<void *> g_freed;
void(WINAPI *g_pfnRealFree)(void *) = nullptr;

void WINAPI RecordFree(void *p)
{
    g_freed.push_back(p);
    g_pfnRealFree(p);
}

// The import address slot of dll!function in a loaded module, or NULL.
ULONG_PTR *FindImport(HMODULE module, const char *dll, const char *function)
{
    auto *base = reinterpret_cast<BYTE *>(module);
    const auto *nt = reinterpret_cast<const IMAGE_NT_HEADERS *>(base + reinterpret_cast<IMAGE_DOS_HEADER *>(base)->e_lfanew);
    const IMAGE_DATA_DIRECTORY &imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
    for (auto *desc = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR *>(base + imports.VirtualAddress); desc->Name != 0; ++desc) {
        if (_stricmp(reinterpret_cast<const char *>(base + desc->Name), dll) != 0)
            continue;
        auto *names = reinterpret_cast<IMAGE_THUNK_DATA *>(base + desc->OriginalFirstThunk);
        auto *slots = reinterpret_cast<IMAGE_THUNK_DATA *>(base + desc->FirstThunk);
        for (; names->u1.AddressOfData != 0; ++names, ++slots) {
            if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal))
                continue;
            const auto *byName = reinterpret_cast<const IMAGE_IMPORT_BY_NAME *>(base + names->u1.AddressOfData);
            if (std::strcmp(reinterpret_cast<const char *>(byName->Name), function) == 0)
                return reinterpret_cast<ULONG_PTR *>(&slots->u1.Function);
        }
    }
    return nullptr;
}

class CFreeWatch
{
public:
    explicit CFreeWatch(HMODULE module) : m_pSlot(FindImport(module, "ole32.dll", "CoTaskMemFree"))
    {
        g_freed.clear();
        if (m_pSlot != nullptr) {
            g_pfnRealFree = reinterpret_cast<void(WINAPI *)(void *)>(*m_pSlot);
            Write(reinterpret_cast<ULONG_PTR>(&RecordFree));
        }
    }
    ~CFreeWatch()
    {
        if (m_pSlot != nullptr)
            Write(reinterpret_cast<ULONG_PTR>(g_pfnRealFree));
    }
    CFreeWatch(const CFreeWatch &) = delete;
    CFreeWatch &operator=(const CFreeWatch &) = delete;
    bool Watching() const { return m_pSlot != nullptr; }

private:
    void Write(ULONG_PTR value)
    {
        DWORD old = 0;
        VirtualProtect(m_pSlot, sizeof(*m_pSlot), PAGE_READWRITE, &old);
        *m_pSlot = value;
        VirtualProtect(m_pSlot, sizeof(*m_pSlot), old, &old);
    }
    ULONG_PTR *m_pSlot;
};

} // namespace

// A host's Stat that hands out the name although the filter asked for none (the archive's size
// is read that way): every name it gets is freed, and the stream reads as a named one.
TEST_F(PersistStream, NamesHandedOutUnaskedAreFreed)
{
    const std::wstring path = ArchivePath(L"plain.rar");
    const std::string byPath = FilterFile(m_dll, path);
    CComPtr<IStream> inner = NamelessStream(Bytes(path));
    ASSERT_TRUE(inner);
    auto *pHost = new CHostStream(inner.Get(), path, true);
    CComPtr<IStream> host;
    host.Attach(pHost);
    {
        const CFreeWatch watch(m_dll.Module());
        ASSERT_TRUE(watch.Watching()) << "the DLL imports no CoTaskMemFree from ole32.dll";
        EXPECT_EQ(byPath, FilterStream(m_dll, host.Get()));
    }
    EXPECT_GT(pHost->NamesGiven().size(), 1u) << "Stat was asked for the name at Load, and for the size";
    for (void *pName : pHost->NamesGiven())
        EXPECT_NE(g_freed.end(), std::find(g_freed.begin(), g_freed.end(), pName)) << "a name was not freed";
}

// UnRAR reads headers a few bytes at a time; over a host's stream they are served from a
// read-ahead block. Archives of many blocks, stored and packed: the stream gives what the path
// gives, and the host's stream is read about once per 64 KB block per archive handle, not once
// per header field.
TEST_F(PersistStream, AnArchiveOfManyBlocksIsReadAboutOncePerBlock)
{
    for (const wchar_t *name : {L"blocks-stored.rar", L"blocks-packed.rar"}) {
        SCOPED_TRACE(Narrow(name));
        const std::wstring path = ArchivePath(name);
        const std::string bytes = Bytes(path);
        const int blocks = static_cast<int>((bytes.size() + 0xFFFF) / 0x10000);
        ASSERT_GE(blocks, 4) << "the archive must span several read-ahead blocks";
        const std::string byPath = FilterFile(m_dll, path, LoadRoute::File, 1000);
        EXPECT_NE(std::string::npos, byPath.find("text=\"b239.txt\"")) << byPath.substr(0, 400);
        CComPtr<IStream> inner = NamelessStream(bytes);
        ASSERT_TRUE(inner);
        auto *pHost = new CHostStream(inner.Get(), path, false);
        CComPtr<IStream> host;
        host.Attach(pHost);
        EXPECT_EQ(byPath, FilterStream(m_dll, host.Get(), 1000));
        // Two archive handles walk it: the list handle (which reads the comment) and the extract handle.
        EXPECT_LE(pHost->Reads(), 2 * (blocks + 4)) << blocks << " blocks";
        EXPECT_LE(pHost->Seeks(), 2 * pHost->Reads() + 16) << pHost->Reads() << " reads";
    }
}

// The title's comment comes with the crawler's open of the archive for listing: a run opens an
// archive twice, to list it and to extract from it, whether it has a comment or not.
TEST_F(PersistStream, AnArchiveIsOpenedOnceToListAndOnceToExtract)
{
    for (const wchar_t *name : {L"comment.rar", L"plain.rar"}) {
        SCOPED_TRACE(Narrow(name));
        const std::string bytes = Bytes(ArchivePath(name));
        ASSERT_LT(bytes.size(), 0x10000u) << "one read-ahead block must hold the archive";
        CComPtr<IStream> inner = NamelessStream(bytes);
        ASSERT_TRUE(inner);
        auto *pCounting = new COpenCountingStream(inner.Get());
        CComPtr<IStream> counting;
        counting.Attach(pCounting);
        const std::string seen = FilterStream(m_dll, counting.Get());
        EXPECT_EQ(2, pCounting->Opens()) << seen.substr(0, 300);
    }
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
