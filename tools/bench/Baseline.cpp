// The floor the benchmark measures the filter against: the least any design that extracts entries
// can do, with the same UnRAR library. Every file entry is extracted to a temporary file, read back
// and deleted, one at a time; directories are passed over.
//
// Usage: pellucidor-bench-baseline [--stats] ARCHIVE
// Prints "entries=N bytes=M" (file entries extracted, bytes read back) on stdout; exit 0 when every
// entry came out, 1 otherwise, 2 on a usage error. --stats adds, on stderr, the process's peak
// working set and the largest number of files present in its temporary folder at any moment.
#include <windows.h>
#include <psapi.h>

#include <dll.hpp>

#include "tools/bench/Unbounded.h"

#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

#include "tools/bench/BenchStats.h"

namespace {

// The temporary folder of one run, removed with what is left in it.
class CTempFolder
{
public:
    CTempFolder()
    {
        wchar_t szTemp[MAX_PATH];
        const DWORD cch = GetTempPathW(MAX_PATH, szTemp);
        if (cch == 0 || cch >= MAX_PATH)
            return;
        wchar_t szName[64];
        swprintf(szName, 64, L"pellucidor-baseline-%lu", GetCurrentProcessId());
        m_path = std::wstring(szTemp) + szName;
        if (!CreateDirectoryW(m_path.c_str(), nullptr) && GetLastError() != ERROR_ALREADY_EXISTS)
            m_path.clear();
    }
    ~CTempFolder()
    {
        if (m_path.empty())
            return;
        WIN32_FIND_DATAW fd;
        HANDLE find = FindFirstFileW((m_path + L"\\*").c_str(), &fd);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
                    DeleteFileW((m_path + L"\\" + fd.cFileName).c_str());
            } while (FindNextFileW(find, &fd));
            FindClose(find);
        }
        RemoveDirectoryW(m_path.c_str());
    }
    CTempFolder(const CTempFolder &) = delete;
    CTempFolder &operator=(const CTempFolder &) = delete;

    const std::wstring &Path() const noexcept { return m_path; }

private:
    std::wstring m_path;
};

// Reads the whole file in blocks; the byte count, or -1 when it cannot be read.
long long ReadBack(const std::wstring &path, std::vector<char> &buffer)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return -1;
    long long total = 0;
    for (;;) {  // ends at the file's end or on a read error
        DWORD cbRead = 0;
        if (!ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &cbRead, nullptr)) {
            total = -1;
            break;
        }
        if (cbRead == 0)
            break;
        total += cbRead;
    }
    CloseHandle(file);
    return total;
}

// The entry's file name without its folder inside the archive.
std::wstring FileNamePart(const wchar_t *pszName)
{
    const wchar_t *start = pszName;
    for (const wchar_t *p = pszName; *p != L'\0'; ++p) {
        if (*p == L'\\' || *p == L'/')
            start = p + 1;
    }
    return start;
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    bool bStats = false;
    const wchar_t *pszArchive = ParseBenchCommandLine(argc, argv, L"pellucidor-bench-baseline", &bStats);
    if (pszArchive == nullptr)
        return 2;

    CTempFolder temp;
    if (temp.Path().empty()) {
        fwprintf(stderr, L"baseline: cannot make a temporary folder\n");
        return 1;
    }
    CFolderCounter counter(temp.Path());

    RAROpenArchiveDataEx open = {};
    open.ArcNameW = const_cast<wchar_t *>(pszArchive);
    open.OpenMode = RAR_OM_EXTRACT;
    HANDLE hArchive = OpenUnbounded(&open);
    if (hArchive == nullptr || open.OpenResult != 0) {
        fwprintf(stderr, L"baseline: cannot open %ls (%u)\n", pszArchive, open.OpenResult);
        return 1;
    }

    std::vector<char> buffer(64 * 1024);
    unsigned long long cEntries = 0;
    unsigned long long cbTotal = 0;
    int status = 0;
    RARHeaderDataEx header = {};
    while (RARReadHeaderEx(hArchive, &header) == 0) {  // ends at the archive's end
        if (header.Flags & RHDF_DIRECTORY) {
            RARProcessFileW(hArchive, RAR_SKIP, nullptr, nullptr);
            continue;
        }
        const std::wstring dest = temp.Path() + L"\\" + FileNamePart(header.FileNameW);
        if (RARProcessFileW(hArchive, RAR_EXTRACT, nullptr, const_cast<wchar_t *>(dest.c_str())) != 0) {
            status = 1;
            continue;
        }
        if (bStats)
            counter.Count();
        const long long cb = ReadBack(dest, buffer);
        DeleteFileW(dest.c_str());
        if (cb < 0) {
            status = 1;
            continue;
        }
        ++cEntries;
        cbTotal += static_cast<unsigned long long>(cb);
    }
    RARCloseArchive(hArchive);

    wprintf(L"entries=%llu bytes=%llu\n", cEntries, cbTotal);
    if (bStats)
        PrintStats(counter);
    return status;
}
