// What each search host keeps of an archive: pellucidor-dump run under a host's image name
// (--host), so that the filter takes itself to be in that host's filter process, with the settings
// each case needs. The archives are made by tests/setup.d/70-host-allowance.sh.
#include <gtest/gtest.h>
#include "ProcessStart.h"
#include "TestHelpers.h"

#include <memory>
#include <string>
#include <vector>

namespace {

struct DumpRun {
    DWORD exitCode = MARKER;
    std::string output;
};

DumpRun RunDump(const std::vector<std::wstring> &args)
{
    std::wstring command = L"\"" + TestBinPath(L"pellucidor-dump.exe") + L"\"";
    for (const std::wstring &arg : args)
        command += L" \"" + arg + L"\"";
    const BoundedRun bounded = RunBounded(nullptr, command, ProgramOutputFolder(), 240000, false);
    EXPECT_TRUE(bounded.started) << Narrow(command);
    EXPECT_FALSE(bounded.hung) << Narrow(command) << " did not end within four minutes";
    return {bounded.exitCode, bounded.output};
}

// A figure of the dump's summary line ({"summary":true,...,"name":N,...}); -1 when it is absent
// or null.
long long Figure(const std::string &output, const std::string &name)
{
    const size_t summary = output.find("{\"summary\":true");
    const std::string key = "\"" + name + "\":";
    const size_t at = summary == std::string::npos ? std::string::npos : output.find(key, summary);
    if (at == std::string::npos || !isdigit(static_cast<unsigned char>(output[at + key.size()])))
        return -1;
    return std::stoll(output.substr(at + key.size()));
}

// How many of the 200 logs show the line "<which> line of access log NNN".
int LinesSeen(const std::string &output, const char *which)
{
    int seen = 0;
    for (int n = 0; n < 200; ++n) {
        char line[64];
        std::snprintf(line, sizeof(line), "%s line of access log %03d", which, n);
        seen += output.find(line) != std::string::npos ? 1 : 0;
    }
    return seen;
}

const wchar_t GATHERER_KEY[] = L"SOFTWARE\\Microsoft\\Windows Search\\Gathering Manager";

std::wstring DataPath(const wchar_t *name) { return TestDataPath(std::wstring(L"host-allowance\\") + name); }

ULONGLONG FileSize(const std::wstring &path)
{
    WIN32_FILE_ATTRIBUTE_DATA data{};
    EXPECT_TRUE(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) << Narrow(path);
    return (static_cast<ULONGLONG>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

} // namespace

// The 200-log archive (5 MB, 15:1) given as a stream, as each host would take it. Windows Search
// keeps size × MaxGrowFactor bytes, two a character; SharePoint two million characters; any other
// process everything, as before there was an allowance.
TEST(HostAllowance, EveryNameAndAShareOfEveryLogFitWhatTheHostKeeps)
{
    const std::wstring archive = DataPath(L"logs.rar");
    const long long cbArchive = static_cast<long long>(FileSize(archive));
    const DumpRun everything = RunDump({L"--json", L"--quiet", L"--stream", L"--dll", TestBinPath(L"Pellucidor.dll"), archive});
    const size_t at = everything.output.find("\"characters\":");
    ASSERT_NE(std::string::npos, at) << everything.output;
    const long long cchEverything = std::stoll(everything.output.substr(at + 13));
    ASSERT_GT(cchEverything, 80000000) << "the logs hold 80 million characters";

    const struct {
        const char *name;
        const wchar_t *host;
        DWORD dwGrowFactor;   // 0: Windows Search's default
        long long cchAllowance;  // -1: none
        bool quiet;           // only the summary is read (the whole text is too much to print)
        int firstLines, lastLines, whole;
    } rows[] = {
        {"Windows Search, default grow factor", L"windows-search", 0, cbArchive * 4 / 2, false, 200, 0, 0},
        {"Windows Search, grow factor 40", L"windows-search", 40, cbArchive * 40 / 2, true, -1, -1, 200},
        {"SharePoint", L"sharepoint", 0, 2000000, false, 200, 0, 0},
        {"another host", L"none", 0, -1, true, -1, -1, 200},
    };
    for (const auto &row : rows) {
        std::unique_ptr<CGathererValue> grow;
        if (row.dwGrowFactor != 0)
            grow = std::make_unique<CGathererValue>(GATHERER_KEY, L"MaxGrowFactor", row.dwGrowFactor);
        std::vector<std::wstring> args = {L"--json", L"--stream", L"--host", row.host, L"--dll", TestBinPath(L"Pellucidor.dll")};
        if (row.quiet)
            args.push_back(L"--quiet");
        args.push_back(archive);
        const DumpRun run = RunDump(args);
        ASSERT_EQ(0u, run.exitCode) << row.name << "\n" << run.output.substr(0, 2000);
        EXPECT_EQ(200, Figure(run.output, "names")) << row.name;
        EXPECT_EQ(row.cchAllowance, Figure(run.output, "allowance")) << row.name;
        const long long cch = Figure(run.output, "characters");
        if (row.cchAllowance > 0 && row.cchAllowance < cchEverything) {
            EXPECT_LE(cch, row.cchAllowance) << row.name;
            EXPECT_GE(cch, row.cchAllowance * 8 / 10) << row.name << ": the allowance is used";
        } else {
            EXPECT_EQ(cchEverything, cch) << row.name << ": everything fits";
        }
        EXPECT_EQ(row.whole, Figure(run.output, "documents-whole")) << row.name;
        if (!row.quiet) {
            EXPECT_EQ(row.firstLines, LinesSeen(run.output, "first")) << row.name;
            EXPECT_EQ(row.lastLines, LinesSeen(run.output, "last")) << row.name;
            EXPECT_EQ(200, Figure(run.output, "documents-in-part")) << row.name;
        }
    }
}

// A child that takes a second for each document, behind a time allowance of ten seconds: every
// entry is still named, and the run ends within the allowance and one document more.
TEST(HostAllowance, ASlowChildBehindATimeAllowanceLeavesNoNameOut)
{
    const CLimitValue allowance(L"TimeAllowanceSeconds", 10);
    const DumpRun run = RunDump({L"--json", L"--host", L"none", L"--dll", TestBinPath(L"Pellucidor.dll"), DataPath(L"slow.rar")});
    ASSERT_EQ(0u, run.exitCode) << run.output;
    EXPECT_EQ(20, Figure(run.output, "names"));
    EXPECT_LE(Figure(run.output, "run-ms"), 11000) << "ten seconds and one document";
    EXPECT_GE(Figure(run.output, "documents-whole"), 5) << "documents are read while there is time";
    EXPECT_GE(Figure(run.output, "named-only"), 8) << "the rest are named only";
}

// A solid archive whose document lies behind a gigabyte that nobody reads: passing it would hold
// one call for as long as decompressing a gigabyte takes. No call works longer than the limit; the
// document behind is named only. From the host's stream and from a path alike.
TEST(HostAllowance, NoCallOutlastsTheLimitOnAGigabyteOfUnreadData)
{
    const CLimitValue skipWork(L"SkipWorkMB", 4096);  // the run's own bound would stop at 1 GB
    const CLimitValue callLimit(L"CallLimitMs", 100);
    for (const wchar_t *route : {L"--stream", L"--named-stream", L""}) {
        std::vector<std::wstring> args = {L"--json", L"--host", L"none", L"--dll", TestBinPath(L"Pellucidor.dll")};
        if (route[0] != L'\0')
            args.push_back(route);
        args.push_back(DataPath(L"big.rar"));
        const DumpRun run = RunDump(args);
        const std::string name = route[0] != L'\0' ? Narrow(route) : "a path";
        ASSERT_EQ(0u, run.exitCode) << name << "\n" << run.output;
        EXPECT_EQ(2, Figure(run.output, "names")) << name;
        EXPECT_EQ(std::string::npos, run.output.find("after the gigabyte")) << name << ": read past the limit";
        EXPECT_LE(Figure(run.output, "longest-call-ms"), 400) << name;
    }
}

// An archive inside an archive is one document of the outer one: its share is the inner archive's
// own allowance, planned the same way, so that every inner name and a part of every inner log get
// in as well.
TEST(HostAllowance, AnArchiveInsideSpendsItsShareAsTheOuterDoes)
{
    const CLimitValue allowance(L"TextAllowanceChars", 200000);
    const DumpRun run = RunDump({L"--json", L"--stream", L"--host", L"windows-search", L"--dll",
                                 TestBinPath(L"Pellucidor.dll"), DataPath(L"nested.rar")});
    ASSERT_EQ(0u, run.exitCode) << run.output.substr(0, 2000);
    EXPECT_EQ(11, Figure(run.output, "names")) << "ten logs and the inner archive";
    EXPECT_LE(Figure(run.output, "characters"), 200000);
    for (int n = 0; n < 10; ++n) {
        char text[64];
        for (const char *what : {"first line of outer %03d", "first line of inner %03d", "inner-%03d.txt"}) {
            std::snprintf(text, sizeof(text), what, n);
            EXPECT_NE(std::string::npos, run.output.find(text)) << text;
        }
    }
}

// Archives made to break the plan (tests/setup.d/75-host-plan.sh), each by path and as a stream,
// under a bound of half a second a call: no call outlasts it by more than one step of work, nothing
// the host receives passes its allowance, GetText answers only its own codes, no name chunk is
// empty, and each row's own check holds (every name, the text that must get in).
TEST(HostAllowance, ArchivesMadeToBreakThePlanStayWithinItsBounds)
{
    constexpr long long CALL_LIMIT_MS = 500, CALL_SLACK_MS = 1000;
    const CLimitValue callLimit(L"CallLimitMs", static_cast<DWORD>(CALL_LIMIT_MS));
    std::string deepPath;
    for (int n = 0; n < 130; ++n)
        deepPath += "a\\\\";  // as the JSON output writes a backslash
    deepPath += "deep.txt";
    const std::string longFolder = std::string(300, 'f') + "\\\\mid.txt";
    const struct {
        const char *name;
        const wchar_t *archive;
        const wchar_t *host;
        DWORD cchAllowance;  // TextAllowanceChars, 0: the host's own
        bool quiet;          // only the summary is read
        long long names;
        std::vector<std::string> seen;  // in the output
        const char *each;    // a text with a number seen for each of 0..cEach-1, or NULL
        int cEach;
        int percentUsed;     // the characters reach this share of the allowance (0: any)
        int inPart;          // documents given in part, at least
    } rows[] = {
        {"directories before the document", L"dirs.rar", L"windows-search", 0, false, 1,
         {"read past the directories"}, nullptr, 0, 0, 0},
        {"a comment past the allowance", L"comment.rar", L"windows-search", 0, false, 50,
         {"note-01.txt", "note-50.txt", "note 50"}, nullptr, 0, 0, 0},
        {"a nested archive cut at its share", L"nested-cut.rar", L"windows-search", 0, false, 3,
         {"alpha text", "bravo text"}, nullptr, 0, 0, 1},
        {"a pass longer than a call", L"wide.rar", L"windows-search", 0, true, 200004, {}, nullptr, 0, 80, 4},
        {"long paths", L"long.rar", L"windows-search", 0, false, 4,
         {deepPath, longFolder, "first text", "mid text", "deep text", "after text"}, nullptr, 0, 0, 0},
        {"names past the allowance", L"names.rar", L"windows-search", 100000, false, 2000, {}, "\"%06d-", 2000, 0, 0},
        {"short notes before logs", L"mixed.rar", L"windows-search", 0, false, 10,
         {"first line of mixed/b-log-1.txt", "first line of mixed/b-log-5.txt"}, nullptr, 0, 90, 5},
        {"an archive first", L"inner-first.rar", L"windows-search", 200000, false, 11, {},
         "first line of inner/inner-%02d.txt", 10, 0, 0},
        {"an archive first, the logs after it", L"inner-first.rar", L"windows-search", 200000, false, 11, {},
         "first line of outer/outer-%02d.txt", 10, 0, 0},
        {"a document before many names", L"big-first.rar", L"windows-search", 0, true, 3001, {}, nullptr, 0, 0, 1},
    };
    for (const auto &row : rows) {
        std::unique_ptr<CLimitValue> allowance;
        if (row.cchAllowance != 0)
            allowance = std::make_unique<CLimitValue>(L"TextAllowanceChars", row.cchAllowance);
        for (const bool bStream : {false, true}) {
            const std::string name = std::string(row.name) + (bStream ? ", as a stream" : ", by path");
            std::vector<std::wstring> args = {L"--json", L"--host", row.host, L"--dll", TestBinPath(L"Pellucidor.dll")};
            if (bStream)
                args.push_back(L"--stream");
            if (row.quiet)
                args.push_back(L"--quiet");
            args.push_back(TestDataPath(std::wstring(L"host-plan\\") + row.archive));
            const DumpRun run = RunDump(args);
            ASSERT_EQ(0u, run.exitCode) << name << "\n" << run.output.substr(0, 2000);
            EXPECT_LE(Figure(run.output, "longest-call-ms"), CALL_LIMIT_MS + CALL_SLACK_MS) << name;
            EXPECT_EQ(0, Figure(run.output, "text-off-protocol")) << name;
            EXPECT_EQ(0, Figure(run.output, "empty-names")) << name;
            EXPECT_EQ(row.names, Figure(run.output, "names")) << name;
            const long long cchAllowance = Figure(run.output, "allowance");
            ASSERT_GT(cchAllowance, 0) << name;
            EXPECT_LE(Figure(run.output, "characters"), cchAllowance) << name;
            EXPECT_GE(Figure(run.output, "characters") * 100, cchAllowance * row.percentUsed) << name << ": the allowance is used";
            EXPECT_GE(Figure(run.output, "documents-in-part"), row.inPart) << name;
            for (const std::string &text : row.seen)
                EXPECT_NE(std::string::npos, run.output.find(text)) << name << ": " << text.substr(0, 60);
            for (int n = 0; n < row.cEach; ++n) {
                char text[80];
                std::snprintf(text, sizeof(text), row.each, n);
                EXPECT_NE(std::string::npos, run.output.find(text)) << name << ": " << text;
            }
        }
    }
}
