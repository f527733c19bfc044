#include "FilterHost.h"

#include <filterr.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <new>

#include "filter/IFilterBase.h"
#include "support/Guids.h"

HRESULT CreateFilter(const CProductDll &dll, REFIID riid, void **ppv)
{
    CComPtr<IClassFactory> factory;
    const HRESULT hr = dll.GetClassObject(CLSID_PellucidorFilter, IID_IClassFactory, factory.PutVoid());
    if (FAILED(hr))
        return hr;
    return factory->CreateInstance(nullptr, riid, ppv);
}

CComPtr<IFilter> NewFilter(const CProductDll &dll)
{
    CComPtr<IFilter> filter;
    const HRESULT hr = CreateFilter(dll, IID_IFilter, filter.PutVoid());
    EXPECT_HR(S_OK, hr) << "creating the filter object";
    return filter;
}

HRESULT LoadFile(IFilter *pFilter, const std::wstring &path)
{
    CComPtr<IPersistFile> persist;
    const HRESULT hr = pFilter->QueryInterface(IID_IPersistFile, persist.PutVoid());
    if (FAILED(hr))
        return hr;
    return persist->Load(path.c_str(), STGM_READ);
}

HRESULT InitFilter(IFilter *pFilter, ULONG *pFlags)
{
    ULONG flags = MARKER;
    const HRESULT hr = pFilter->Init(HOST_INIT_FLAGS, 0, nullptr, &flags);
    if (pFlags != nullptr)
        *pFlags = flags;
    return hr;
}

int PullToEnd(IFilter *pFilter, int maxCalls, HRESULT *phrStop)
{
    HRESULT hr = S_OK;
    int chunks = 0;
    for (int i = 0; i < maxCalls; ++i) {
        STAT_CHUNK stat;
        hr = pFilter->GetChunk(&stat);
        if (FAILED(hr))
            break;
        ++chunks;
    }
    if (phrStop != nullptr)
        *phrStop = hr;
    return hr == FILTER_E_END_OF_CHUNKS ? chunks : -1;
}

int ExpectPullToEnd(IFilter *pFilter, int expectedChunks)
{
    HRESULT hrStop = S_OK;
    int chunks = 0;
    STAT_CHUNK stat;
    constexpr int kMaxCalls = 100000;
    for (; chunks < kMaxCalls; ++chunks) {
        hrStop = pFilter->GetChunk(&stat);
        if (FAILED(hrStop))
            break;
    }
    EXPECT_HR(FILTER_E_END_OF_CHUNKS, hrStop) << "GetChunk call " << chunks + 1 << " after " << chunks << " chunks"
                                              << (hrStop == S_OK ? " (no end after 100000 calls)" : "");
    if (hrStop != FILTER_E_END_OF_CHUNKS)
        return -1;
    if (expectedChunks >= 0) {
        EXPECT_EQ(expectedChunks, chunks) << "chunks before the end";
    }
    return chunks;
}

std::vector<SeenChunk> FilterArchive(const CProductDll &dll, const std::wstring &archive,
                                     const std::function<void(const SeenChunk &)> &afterEachChunk)
{
    CComPtr<IFilter> filter = NewFilter(dll);
    if (!filter)
        return {};
    EXPECT_HR(S_OK, LoadFile(filter.Get(), archive));
    EXPECT_HR(S_OK, InitFilter(filter.Get()));
    HRESULT hrEnd = S_OK;
    std::vector<SeenChunk> chunks = ReadAllChunks(filter.Get(), afterEachChunk, &hrEnd);
    EXPECT_HR(FILTER_E_END_OF_CHUNKS, hrEnd) << Narrow(archive);
    return chunks;
}

std::wstring FilterObjectArchive(const std::wstring &name) { return TestDataPath(L"filter_object\\" + name); }

std::vector<std::wstring> NewRunFolders(const std::vector<std::wstring> &before)
{
    std::vector<std::wstring> added;
    for (const std::wstring &name : RunFolders()) {
        if (std::find(before.begin(), before.end(), name) == before.end())
            added.push_back(name);
    }
    return added;
}

bool RemoveDirTree(const std::wstring &folder)
{
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &fd);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name(fd.cFileName);
            if (name == L"." || name == L"..")
                continue;
            const std::wstring full = folder + L"\\" + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                RemoveDirTree(full);
            } else {
                SetFileAttributesW(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileW(full.c_str());
            }
        } while (FindNextFileW(find, &fd));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
    return GetFileAttributesW(folder.c_str()) == INVALID_FILE_ATTRIBUTES;
}

CScratchDir::CScratchDir()
{
    static std::atomic<int> counter{0};
    m_path = TempFolder() + L"pellucidor-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
             std::to_wstring(++counter);
    RemoveDirTree(m_path);
    if (!CreateDirectoryW(m_path.c_str(), nullptr))
        ADD_FAILURE() << "scratch folder not made, error " << GetLastError();
}

std::wstring CScratchDir::MakeFile(const std::wstring &name, const std::string &contents) const
{
    const std::wstring path = m_path + L"\\" + name;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "file not made: " << Narrow(path) << ", error " << GetLastError();
        return path;
    }
    DWORD written = 0;
    WriteFile(file, contents.data(), static_cast<DWORD>(contents.size()), &written, nullptr);
    CloseHandle(file);
    return path;
}

CEnvironmentOverride::CEnvironmentOverride(const wchar_t *name, const std::wstring &value) : m_name(name)
{
    std::vector<wchar_t> old(32768);
    const DWORD cch = GetEnvironmentVariableW(name, old.data(), static_cast<DWORD>(old.size()));
    m_had = cch > 0 && cch < old.size();
    if (m_had)
        m_old = old.data();
    SetEnvironmentVariableW(name, value.c_str());
}

CEnvironmentOverride::~CEnvironmentOverride() { SetEnvironmentVariableW(m_name, m_had ? m_old.c_str() : nullptr); }

CComPtr<IFilter> CreateFilterInProcess()
{
    CComPtr<IFilter> filter;
    CIFilterBase *object = new (std::nothrow) CIFilterBase;
    if (object != nullptr) {
        object->QueryInterface(IID_IFilter, filter.PutVoid());
        object->Release();
    }
    return filter;
}
