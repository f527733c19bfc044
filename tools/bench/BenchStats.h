// Figures the benchmark's untimed runs print at exit: the process's peak working set, and the
// largest number of files seen at once in the temporary folders of interest (counted whenever
// the program calls Count, e.g. after every GetChunk). Header only, for the baseline and the dump
// tool alike.
#pragma once
#include <windows.h>
#include <psapi.h>

#include <cstdio>
#include <cwchar>
#include <string>

// Counts files in one folder, or in every folder directly under the temporary directory whose
// name is 32 hexadecimal digits (the filter's run folders) when no folder is given.
class CFolderCounter
{
public:
    CFolderCounter() = default;
    explicit CFolderCounter(std::wstring folder) : m_folder(std::move(folder)) {}

    void Count()
    {
        unsigned long c = 0;
        if (!m_folder.empty()) {
            c = CountFiles(m_folder);
        } else {
            wchar_t szTemp[MAX_PATH];
            const DWORD cch = GetTempPathW(MAX_PATH, szTemp);
            if (cch == 0 || cch >= MAX_PATH)
                return;
            const std::wstring temp(szTemp);
            WIN32_FIND_DATAW fd;
            HANDLE find = FindFirstFileW((temp + L"*").c_str(), &fd);
            if (find == INVALID_HANDLE_VALUE)
                return;
            do {
                if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && IsRunFolderName(fd.cFileName))
                    c += CountFiles(temp + fd.cFileName);
            } while (FindNextFileW(find, &fd));
            FindClose(find);
        }
        if (c > m_cMax)
            m_cMax = c;
    }
    unsigned long Max() const noexcept { return m_cMax; }

private:
    static bool IsRunFolderName(const wchar_t *pszName)
    {
        if (wcslen(pszName) != 32)
            return false;
        for (const wchar_t *p = pszName; *p != L'\0'; ++p) {
            if (!iswxdigit(*p))
                return false;
        }
        return true;
    }
    static unsigned long CountFiles(const std::wstring &folder)
    {
        unsigned long c = 0;
        WIN32_FIND_DATAW fd;
        HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &fd);
        if (find == INVALID_HANDLE_VALUE)
            return 0;
        do {
            if ((fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0)
                ++c;
        } while (FindNextFileW(find, &fd));
        FindClose(find);
        return c;
    }

    std::wstring m_folder;
    unsigned long m_cMax = 0;
};

// "peak-working-set=<bytes> max-temp-files=<n>" on stderr.
inline void PrintStats(const CFolderCounter &counter)
{
    PROCESS_MEMORY_COUNTERS pmc = {};
    pmc.cb = sizeof(pmc);
    unsigned long long cbPeak = 0;
    if (GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof(pmc)))
        cbPeak = pmc.PeakWorkingSetSize;
    fwprintf(stderr, L"peak-working-set=%llu max-temp-files=%lu\n", cbPeak, counter.Max());
}

// The bench programs' command line, "[--stats] ARCHIVE": the archive, or NULL (after printing the
// usage line) when the line is anything else.
inline const wchar_t *ParseBenchCommandLine(int argc, wchar_t **argv, const wchar_t *pszProgram, bool *pbStats)
{
    *pbStats = false;
    const wchar_t *pszArchive = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (wcscmp(argv[i], L"--stats") == 0)
            *pbStats = true;
        else if (pszArchive == nullptr)
            pszArchive = argv[i];
        else
            pszArchive = nullptr, i = argc;
    }
    if (pszArchive == nullptr)
        fwprintf(stderr, L"usage: %ls [--stats] ARCHIVE\n", pszProgram);
    return pszArchive;
}
