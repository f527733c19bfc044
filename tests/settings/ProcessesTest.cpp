// Several host processes share the settings files: each host program keeps its own counts, and
// processes filtering at once lose and duplicate no line of either file.
#include <gtest/gtest.h>
#include <set>

#include "ProcessStart.h"
#include "SettingsFiles.h"

namespace {

std::wstring Quoted(const std::wstring &path) { return L"\"" + path + L"\""; }

// Starts the helper processes at once and waits for all of them; their exit codes.
std::vector<int> RunTogether(const std::vector<std::pair<std::wstring, std::wstring>> &programs)
{
    std::vector<HANDLE> processes;
    for (const auto &[program, arguments] : programs) {
        STARTUPINFOW si = {};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi = {};
        if (!StartProcess(nullptr, Quoted(TestBinPath(program)) + L" " + arguments, FALSE, si, pi)) {
            ADD_FAILURE() << "cannot start " << Narrow(program) << ", error " << GetLastError();
            continue;
        }
        CloseHandle(pi.hThread);
        processes.push_back(pi.hProcess);
    }
    std::vector<int> exitCodes;
    for (HANDLE process : processes) {
        DWORD exitCode = static_cast<DWORD>(-1);
        if (WaitForSingleObject(process, 180000) == WAIT_OBJECT_0)
            GetExitCodeProcess(process, &exitCode);
        else
            TerminateProcess(process, 99);
        CloseHandle(process);
        exitCodes.push_back(static_cast<int>(exitCode));
    }
    return exitCodes;
}

} // namespace

using Processes = SettingsTest;

TEST_F(Processes, TwoHostProgramsKeepTheirOwnCounts)
{
    UseSettings(L"BlackList=1\r\nLogGuid=1\r\n");
    const std::wstring archive = FilterObjectArchive(L"plain.rar");
    EXPECT_EQ(0, RunHelper(L"settings_host.exe", L"early 2 " + Quoted(archive)));
    EXPECT_EQ(0, RunHelper(L"settings_host_b.exe", L"early 4 " + Quoted(archive)));
    EXPECT_EQ(0, RunHelper(L"settings_host_b.exe", L"early 3 " + Quoted(archive)));  // 2 admitted

    const IniFile settings = ReadIni(SettingsFilePath());
    EXPECT_EQ(std::vector<std::wstring>{L"xx"}, settings.Values(TestBinPath(L"settings_host.exe"), archive));
    EXPECT_EQ(std::vector<std::wstring>{L"xxxxx"}, settings.Values(TestBinPath(L"settings_host_b.exe"), archive));

    // The first program is still admitted, and its finished run clears only its own count.
    EXPECT_EQ(0, RunHelper(L"settings_host.exe", L"end 1 " + Quoted(archive)));
    const IniFile after = ReadIni(SettingsFilePath());
    EXPECT_TRUE(after.Values(TestBinPath(L"settings_host.exe"), archive).empty());
    EXPECT_EQ(std::vector<std::wstring>{L"xxxxx"}, after.Values(TestBinPath(L"settings_host_b.exe"), archive));

    const IniFile log = ReadIni(LogGuidFilePath());
    EXPECT_EQ(3u, log.InSection(TestBinPath(L"settings_host.exe")).size());
    EXPECT_EQ(5u, log.InSection(TestBinPath(L"settings_host_b.exe")).size());
}

TEST_F(Processes, FourProcessesOfFourThreadsLoseNoMark)
{
    struct Case {
        const char *name;
        std::vector<std::wstring> archivesPerProcess;  // one thread each
        std::vector<std::wstring> marks;               // per archive afterwards
    };
    const std::wstring a = FilterObjectArchive(L"plain.rar"), b = FilterObjectArchive(L"second.rar"),
                       c = FilterObjectArchive(L"a=b.rar"), d = FilterObjectArchive(L"\x4E2D.rar");
    const Case cases[] = {
        {"four archives, each run once by every process", {a, b, c, d}, {L"xxxx", L"xxxx", L"xxxx", L"xxxx"}},
        {"one archive, sixteen runs at once", {a, a, a, a}, {L"xxxxx"}},
    };
    for (const Case &cs : cases) {
        SCOPED_TRACE(cs.name);
        UseSettings(L"BlackList=1\r\nLogGuid=1\r\n");
        DeleteFileW(LogGuidFilePath().c_str());
        std::wstring arguments = L"early 1";
        for (const std::wstring &archive : cs.archivesPerProcess)
            arguments += L" " + Quoted(archive);
        const std::vector<int> exitCodes = RunTogether(std::vector<std::pair<std::wstring, std::wstring>>(
            4, {L"settings_host.exe", arguments}));
        EXPECT_EQ(std::vector<int>(4, 0), exitCodes);

        const std::wstring host = TestBinPath(L"settings_host.exe");
        const IniFile settings = ReadIni(SettingsFilePath());
        std::set<std::wstring> archives(cs.archivesPerProcess.begin(), cs.archivesPerProcess.end());
        size_t admitted = 0;
        for (size_t i = 0; i < archives.size(); ++i) {
            const std::wstring &archive = cs.archivesPerProcess[i];
            const std::wstring key = archive == c ? FilterObjectArchive(L"a%3Db.rar") : archive;
            EXPECT_EQ(std::vector<std::wstring>{cs.marks[i]}, settings.Values(host, key)) << Narrow(key);
            admitted += cs.marks[i].size();
        }
        EXPECT_EQ(archives.size(), settings.InSection(host).size()) << "one line per archive";

        // Every admitted run logged its folder once.
        const std::vector<IniLine> lines = ReadIni(LogGuidFilePath()).InSection(host);
        EXPECT_EQ(admitted, lines.size());
        std::set<std::wstring> names;
        for (const IniLine &line : lines)
            names.insert(line.key);
        EXPECT_EQ(lines.size(), names.size()) << "no folder name twice";
    }
}

TEST_F(Processes, FourProcessesOfFourThreadsLoseNoLogLine)
{
    UseSettings(L"LogGuid=1\r\n");
    const std::wstring a = FilterObjectArchive(L"plain.rar"), b = FilterObjectArchive(L"second.rar");
    const std::wstring arguments = L"early 10 " + Quoted(a) + L" " + Quoted(b) + L" " + Quoted(a) + L" " + Quoted(b);
    const std::vector<int> exitCodes =
        RunTogether(std::vector<std::pair<std::wstring, std::wstring>>(4, {L"settings_host.exe", arguments}));
    EXPECT_EQ(std::vector<int>(4, 0), exitCodes);

    const std::vector<IniLine> lines = ReadIni(LogGuidFilePath()).InSection(TestBinPath(L"settings_host.exe"));
    EXPECT_EQ(160u, lines.size());
    std::set<std::wstring> names;
    size_t forA = 0;
    for (const IniLine &line : lines) {
        names.insert(line.key);
        forA += line.value == a ? 1 : 0;
    }
    EXPECT_EQ(160u, names.size());
    EXPECT_EQ(80u, forA);
    EXPECT_FALSE(ReadIni(SettingsFilePath()).lines.size() > 1) << "IFilterProcess.ini gains nothing";
}
