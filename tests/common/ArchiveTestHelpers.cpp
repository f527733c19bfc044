#include "ArchiveTestHelpers.h"
#include "FilterHost.h"
#include "TestHelpers.h"
#include "childfilter/ChildFilterLoader.h"
#include "crawler/RarFileCrawler.h"

#include <atomic>
#include <cwchar>

namespace {
std::vector<std::wstring> g_extensions;
std::vector<std::wstring> g_asked;

bool FindByExtension(const wchar_t *pszFilePath, FilterRegistryInfo *)
{
    g_asked.emplace_back(pszFilePath);
    const wchar_t *dot = std::wcsrchr(pszFilePath, L'.');
    for (const std::wstring &ext : g_extensions)
        if (ext == L"*" || (dot != nullptr && _wcsicmp(dot, ext.c_str()) == 0))
            return true;
    return false;
}
} // namespace

std::wstring ArchivePath(const std::wstring &name) { return TestDataPath(L"archives\\" + name); }

CScratchFolder::CScratchFolder(size_t cchPath)
{
    static std::atomic<unsigned> counter{0};
    m_path = TempFolder() + L"pellucidor-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
             std::to_wstring(++counter);
    if (cchPath > m_path.size())
        m_path.append(cchPath - m_path.size(), L'p');
    CreateDirectoryW(m_path.c_str(), nullptr);
}

CScratchFolder::~CScratchFolder() { RemoveDirTree(m_path); }

std::vector<std::wstring> FilesIn(const std::wstring &folder)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &fd);
    if (find == INVALID_HANDLE_VALUE)
        return names;
    do {
        if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
            names.emplace_back(fd.cFileName);
    } while (FindNextFileW(find, &fd));
    FindClose(find);
    return names;
}

std::string ReadFileText(const std::wstring &path)
{
    std::string text;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return text;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        text.append(buffer, read);
    CloseHandle(file);
    return text;
}

CFindFilterFor::CFindFilterFor(std::vector<std::wstring> extensions)
{
    g_extensions = std::move(extensions);
    g_asked.clear();
    g_childFilterTestHooks.pfnFindFilter = FindByExtension;
}

CFindFilterFor::~CFindFilterFor()
{
    g_childFilterTestHooks.pfnFindFilter = nullptr;
    g_extensions.clear();
}

const std::vector<std::wstring> &CFindFilterFor::Asked() { return g_asked; }

HRESULT WalkOneEntry(CRarFileCrawler &crawler, CChildFilterLoader &loader, wchar_t *pszName, ULONG cchName,
                     wchar_t *pszFolder, ULONG cchFolder, wchar_t *pszExtracted, ULONG cchExtracted, bool bMemory)
{
    if (cchExtracted != 0)
        pszExtracted[0] = L'\0';
    const HRESULT hr = crawler.NextEntry(pszName, cchName, pszFolder, cchFolder);
    if (hr != S_OK)
        return hr;
    FilterRegistryInfo info;
    if (!loader.FindFilter(pszName, &info))
        return S_OK;
    HRESULT hrMemory = S_FALSE;
    if (bMemory && loader.TakesStream(info, crawler.ArchiveStream() != nullptr))
        hrMemory = crawler.ReadEntryToMemory();
    if (hrMemory == S_OK)
        return S_OK;
    if (hrMemory != S_FALSE)
        return S_FALSE;
    return crawler.ExtractEntry(pszExtracted, cchExtracted) == S_OK ? S_OK : S_FALSE;
}
