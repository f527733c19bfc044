// PellucidorFuzz: mutates seed archives deterministically and filters every mutant through
// Pellucidor.dll in-process, the way a search host drives it, once by its path and once as a
// stream over its bytes, checking after each run that
// nothing crashed, the stream ended, the run folder is gone, no object keeps the DLL and nothing
// was written outside the run folder (FuzzHost.h).
//
//   PellucidorFuzz --seeds DIR --work DIR [--count N] [--first K] [--seed S] [--batch B]
//       runs mutants K .. K+N-1 in child processes of B mutants each; prints how many ran, how
//       long it took and every mutant that failed, saved under <work>\failures for replay.
//       Exit code 0 when every mutant passed, 1 when one failed, 2 when the run could not start.
//   PellucidorFuzz --replay FILE [--work DIR]
//       filters one saved mutant (with the later parts of its volume set beside it) the same way.
//   --past-title P and --into-child P: the least share of mutants, in percent, whose stream must go
//   past the title and reach a child filter (defaults below); fewer fail the run, so that a
//   change that stops every mutant at the title cannot pass as "0 failed".
//   --dll PATH and --fixture PATH name Pellucidor.dll and the fixture text filter (default: beside
//   the program), which must be the filter registered for .txt, as tests/setup.sh leaves it.
//   --heap-cap MB caps the DLL's own heap (CCappedHeap), as a host's job limit would: allocations
//   past it fail wherever the run's budget allowed them.
//
// A crash kills the process that filters (catch(...) does not catch access violations): each child
// writes the mutant it is about to run to <work>\current.txt, so the parent can save the one that
// crashed and go on with the next in a new child.
#include <windows.h>
#include <objbase.h>
#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <cwctype>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "CappedHeap.h"
#include "FuzzHost.h"
#include "Mutator.h"
#include "ProcessStart.h"
#include "support/Holders.h"
#include "support/Registry.h"
#include "tools/fixtures/FixtureIds.h"

namespace {

constexpr int EXIT_PASSED = 0;
constexpr int EXIT_FAILED = 1;
constexpr int EXIT_SETUP = 2;
constexpr int EXIT_CHILD_SETUP = 20;     // a child that could not start; never a crash code
constexpr DWORD HANG_SECONDS = 300;      // a child whose current mutant does not change this long hangs
constexpr uint64_t DEFAULT_COUNT = 500;
constexpr uint64_t DEFAULT_BATCH = 250;
// Floors well below what the seeds reach (500 mutants of run seed 1: 83% past the title, 73% into
// a child filter), so that only a change in kind trips them; judged from 100 mutants on, fewer
// vary too much.
constexpr uint64_t DEFAULT_PAST_TITLE_PERCENT = 60;
constexpr uint64_t DEFAULT_CHILD_PERCENT = 50;
constexpr uint64_t FLOOR_MIN_COUNT = 100;

struct Options {
    std::wstring seeds, work, replay, dll, fixture;
    uint64_t count = DEFAULT_COUNT, first = 0, seed = 1, batch = DEFAULT_BATCH, heapCapMB = 0;
    uint64_t pastTitlePercent = DEFAULT_PAST_TITLE_PERCENT, childPercent = DEFAULT_CHILD_PERCENT;
    bool child = false;
};

struct Seed {
    std::wstring name;
    Bytes bytes;
    std::vector<std::wstring> companions;  // later parts of its volume set, beside it
};

// A crash ends the process at once with the exception's code, without a debugger.
LONG WINAPI EndOnCrash(EXCEPTION_POINTERS *) { return EXCEPTION_EXECUTE_HANDLER; }

void Print(const std::string &line)
{
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

std::wstring ProgramFolder()
{
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring folder(path);
    return folder.substr(0, folder.find_last_of(L'\\'));
}

std::wstring Join(const std::wstring &folder, const std::wstring &name) { return folder + L"\\" + name; }

bool WriteBytes(const std::wstring &path, const void *data, size_t size)
{
    CFileHandle file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && (size == 0 || (WriteFile(file.Get(), data, static_cast<DWORD>(size), &written, nullptr) &&
                                  written == size));
}

bool WriteText(const std::wstring &path, const std::string &text) { return WriteBytes(path, text.data(), text.size()); }

bool AppendText(const std::wstring &path, const std::string &text)
{
    CFileHandle file(CreateFileW(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    DWORD written = 0;
    return file && WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

std::string ReadText(const std::wstring &path)
{
    Bytes bytes;
    return ReadBytes(path, &bytes) ? std::string(bytes.begin(), bytes.end()) : std::string();
}

// "name.partN.rar": the volume-set name before ".partN" and the part number N; false otherwise.
bool SplitVolumeName(const std::wstring &name, std::wstring *pSet, unsigned *pPart)
{
    const size_t dotRar = name.size() >= 4 ? name.size() - 4 : std::wstring::npos;
    if (dotRar == std::wstring::npos || _wcsicmp(name.c_str() + dotRar, L".rar") != 0)
        return false;
    size_t digits = dotRar;
    while (digits > 0 && std::iswdigit(name[digits - 1]))
        --digits;
    if (digits == dotRar || digits < 5 || _wcsnicmp(name.c_str() + digits - 5, L".part", 5) != 0)
        return false;
    *pSet = name.substr(0, digits - 5);
    *pPart = static_cast<unsigned>(std::wcstoul(name.c_str() + digits, nullptr, 10));
    return true;
}

// The other parts of `name`'s volume set in the folder; none when it is not a volume.
std::vector<std::wstring> CompanionsOf(const std::wstring &folder, const std::wstring &name)
{
    std::vector<std::wstring> companions;
    std::wstring set, other;
    unsigned part = 0, otherPart = 0;
    if (!SplitVolumeName(name, &set, &part))
        return companions;
    for (const std::wstring &candidate : NamesIn(folder)) {
        if (candidate != name && SplitVolumeName(candidate, &other, &otherPart) && _wcsicmp(other.c_str(), set.c_str()) == 0)
            companions.push_back(candidate);
    }
    return companions;
}

// Seed archives: every .rar in the folder but the later parts of a volume set.
std::vector<Seed> LoadSeeds(const std::wstring &folder)
{
    std::vector<Seed> seeds;
    for (const std::wstring &name : NamesIn(folder)) {
        std::wstring set;
        unsigned part = 0;
        if (name.size() < 4 || _wcsicmp(name.c_str() + name.size() - 4, L".rar") != 0 ||
            (SplitVolumeName(name, &set, &part) && part != 1))
            continue;
        Seed seed;
        seed.name = name;
        seed.companions = CompanionsOf(folder, name);
        if (ReadBytes(Join(folder, name), &seed.bytes) && !seed.bytes.empty())
            seeds.push_back(seed);
    }
    return seeds;
}

bool CopyInto(const std::wstring &fromFolder, const std::vector<std::wstring> &names, const std::wstring &toFolder)
{
    for (const std::wstring &name : names) {
        if (!CopyFileW(Join(fromFolder, name).c_str(), Join(toFolder, name).c_str(), FALSE))
            return false;
    }
    return true;
}

// The default value of HKLM\SOFTWARE\Classes\<key> (this process's view), or an empty string.
std::wstring ClassesDefault(const std::wstring &key)
{
    CRegistry reg;
    wchar_t value[MAX_PATH] = {};
    if (!reg.Open(HKEY_LOCAL_MACHINE, (L"SOFTWARE\\Classes\\" + key).c_str()) || !reg.ReadString(nullptr, value, MAX_PATH))
        return std::wstring();
    return value;
}

// Is the fixture text filter at this path the filter the test prefix registers for .txt?
// Without it no entry would be extracted, and mutated data would never reach a child filter.
bool IsTextFixtureRegistered(const std::wstring &fixturePath)
{
    const FixtureInfo &info = g_fixtures[FIXTURE_ROW_TEXT];
    return _wcsicmp(ClassesDefault(L".txt\\PersistentHandler").c_str(), info.handler) == 0 &&
           _wcsicmp(ClassesDefault(std::wstring(L"CLSID\\") + info.clsid + L"\\InprocServer32").c_str(),
                    fixturePath.c_str()) == 0;
}

// --- the child: mutants in this process --------------------------------------------------------

void SaveFailure(const std::wstring &work, const std::wstring &inFolder, uint64_t index, const std::string &what)
{
    const std::wstring failures = Join(work, L"failures");
    const std::wstring folder = Join(failures, L"mutant-" + std::to_wstring(index));
    CreateDirectoryW(failures.c_str(), nullptr);
    CreateDirectoryW(folder.c_str(), nullptr);
    CopyInto(inFolder, NamesIn(inFolder), folder);
    WriteText(Join(folder, L"failure.txt"), what + "\n");
}

// The fixture text filter and its file-only twin beside it: the documents of the seeds reach one
// in memory and the other through a file in the run folder.
std::vector<std::wstring> ChildFilters(const std::wstring &textFixture)
{
    const std::wstring folder = textFixture.substr(0, textFixture.find_last_of(L'\\'));
    return {textFixture, Join(folder, g_fixtures[FIXTURE_ROW_TEXT_FILE_ONLY].dllName)};
}

// The archive by its path, then as a nameless stream over its bytes; attributes go to Init on one
// of the two runs when `turn` is 0 or 1. A failure of either fails the outcome.
FuzzOutcome FilterBothWays(CFuzzHost &host, const std::wstring &name, const std::vector<std::wstring> &companions,
                           uint64_t turn)
{
    FuzzOutcome outcome = host.FilterOnce(name, companions, turn == 0, FuzzRoute::File);
    const FuzzOutcome streamed = host.FilterOnce(name, companions, turn == 1, FuzzRoute::Stream);
    outcome.streamChunks = streamed.chunks;
    outcome.streamChildChunks = streamed.childChunks;
    if (!streamed.ok) {
        outcome.failure += std::string(outcome.ok ? "" : "; ") + "through IPersistStream: " + streamed.failure;
        outcome.ok = false;
    }
    return outcome;
}

int RunChild(const Options &options)
{
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);  // as a host's filtering thread is
    const std::vector<Seed> seeds = LoadSeeds(options.seeds);
    CFuzzHost host(options.work, options.dll, ChildFilters(options.fixture));
    std::string why;
    if (seeds.empty() || !host.Ready(&why)) {
        Print("fuzz child: " + (seeds.empty() ? "no seed archives in " + Narrow(options.seeds) : why));
        return EXIT_CHILD_SETUP;
    }
    std::unique_ptr<CCappedHeap> heap;
    if (options.heapCapMB != 0) {
        heap = std::make_unique<CCappedHeap>(host.Module(), static_cast<size_t>(options.heapCapMB) << 20);
        if (!heap->Installed()) {
            Print("fuzz child: the DLL's heap cannot be capped");
            return EXIT_CHILD_SETUP;
        }
    }
    const std::wstring current = Join(options.work, L"current.txt");
    const std::wstring results = Join(options.work, L"results.txt");
    for (uint64_t index = options.first; index < options.first + options.count; ++index) {
        const Seed &seed = seeds[index % seeds.size()];
        std::string ops;
        const Bytes mutant = Mutate(seed.bytes, options.seed, index, &ops);
        const std::string what = "mutant " + std::to_string(index) + " of " + Narrow(seed.name) + " (run seed " +
                                 std::to_string(options.seed) + "): " + ops;
        host.Jail().Clean();
        if (!CopyInto(options.seeds, seed.companions, host.Jail().In()) ||
            !WriteBytes(Join(host.Jail().In(), seed.name), mutant.data(), mutant.size())) {
            Print("fuzz child: cannot write " + what);
            return EXIT_CHILD_SETUP;
        }
        // Recorded before the run: after a crash this names the mutant that caused it.
        WriteText(current, std::to_string(index) + "\n" + what + "\n");
        const FuzzOutcome outcome = FilterBothWays(host, seed.name, seed.companions, index % 3);
        AppendText(results, std::to_string(index) + " " + std::to_string(outcome.chunks) + " " +
                                std::to_string(outcome.childChunks) + " " + std::to_string(outcome.streamChunks) +
                                " " + std::to_string(outcome.streamChildChunks) + "\n");
        if (!outcome.ok) {
            SaveFailure(options.work, host.Jail().In(), index, what + "\n" + outcome.failure);
            host.Jail().Clean();
        }
    }
    host.Jail().Clean();
    CoUninitialize();
    return EXIT_PASSED;
}

// --- the parent: children in turn ------------------------------------------------------------

std::wstring Quote(const std::wstring &arg) { return L"\"" + arg + L"\""; }

// Runs one child for mutants [first, first + count); returns its exit code. A child whose current
// mutant stays the same for HANG_SECONDS is ended and reported as hanging.
DWORD RunChildProcess(const Options &options, uint64_t first, uint64_t count, bool *pHung)
{
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring command = Quote(exe) + L" --child --seeds " + Quote(options.seeds) + L" --work " +
                           Quote(options.work) + L" --dll " + Quote(options.dll) + L" --fixture " +
                           Quote(options.fixture) + L" --first " + std::to_wstring(first) + L" --count " +
                           std::to_wstring(count) + L" --seed " + std::to_wstring(options.seed) + L" --heap-cap " +
                           std::to_wstring(options.heapCapMB);
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!StartProcess(exe, command, FALSE, si, pi))
        return EXIT_CHILD_SETUP;
    CHandle process(pi.hProcess), thread(pi.hThread);
    const std::wstring current = Join(options.work, L"current.txt");
    std::string lastSeen = ReadText(current);
    DWORD quietSeconds = 0;
    *pHung = false;
    while (WaitForSingleObject(process.Get(), 1000) == WAIT_TIMEOUT) {
        const std::string now = ReadText(current);
        quietSeconds = now == lastSeen ? quietSeconds + 1 : 0;
        lastSeen = now;
        if (quietSeconds >= HANG_SECONDS) {
            TerminateProcess(process.Get(), 0xDEAD);
            WaitForSingleObject(process.Get(), 30000);
            *pHung = true;
            break;
        }
    }
    DWORD code = 0;
    GetExitCodeProcess(process.Get(), &code);
    return code;
}

// Only a folder that holds nothing but what a fuzz run makes is emptied for the next.
bool IsWorkFolder(const std::wstring &work)
{
    for (const std::wstring &name : NamesIn(work)) {
        if (name != L"jail" && name != L"failures" && name != L"current.txt" && name != L"results.txt")
            return false;
    }
    return true;
}

int RunParent(const Options &options)
{
    const size_t seeds = LoadSeeds(options.seeds).size();
    if (seeds == 0) {
        Print("fuzz: no seed archives in " + Narrow(options.seeds));
        return EXIT_SETUP;
    }
    if (!IsWorkFolder(options.work)) {
        Print("fuzz: " + Narrow(options.work) + " holds more than an earlier run's work; not touched");
        return EXIT_SETUP;
    }
    // A fresh work folder: what it reports afterwards is this run's.
    RemoveTree(options.work);
    CreateDirectoryW(options.work.c_str(), nullptr);
    CreateDirectoryW(Join(options.work, L"failures").c_str(), nullptr);
    const std::wstring current = Join(options.work, L"current.txt");
    WriteText(current, "");
    WriteText(Join(options.work, L"results.txt"), "");  // per mutant: index, chunks, child chunks, both twice
    if (!IsTextFixtureRegistered(options.fixture)) {
        Print("fuzz: " + Narrow(options.fixture) + " is not the filter registered for .txt (tests/setup.sh registers it)");
        return EXIT_SETUP;
    }
    Print("fuzz: " + std::to_string(options.count) + " mutants of " + std::to_string(seeds) +
          " seed archives from mutant " + std::to_string(options.first) + ", run seed " + std::to_string(options.seed) +
          ", " + std::to_string(options.batch) + " per process");

    const ULONGLONG started = GetTickCount64();
    const uint64_t end = options.first + options.count;
    uint64_t next = options.first;
    while (next < end) {
        const uint64_t count = std::min(options.batch, end - next);
        bool hung = false;
        const DWORD code = RunChildProcess(options, next, count, &hung);
        if (code == EXIT_PASSED) {
            next += count;
            continue;
        }
        if (code == EXIT_CHILD_SETUP) {
            Print("fuzz: a child process could not start its run");
            return EXIT_SETUP;
        }
        // The child died on the mutant it recorded last: keep that one and go on after it.
        const std::string record = ReadText(current);
        const uint64_t crashed = std::strtoull(record.c_str(), nullptr, 10);
        const std::string what = record.substr(std::min(record.size(), record.find('\n') + 1));
        char text[64];
        std::snprintf(text, sizeof(text), "exit code 0x%08lX", static_cast<unsigned long>(code));
        const CJail jail(options.work);
        SaveFailure(options.work, jail.In(), crashed,
                    what + (hung ? "hung: no progress in " + std::to_string(HANG_SECONDS) + " s" : "crashed, " + std::string(text)));
        jail.Clean();
        next = std::max(crashed + 1, next + 1);
    }
    const double seconds = static_cast<double>(GetTickCount64() - started) / 1000.0;

    const std::wstring failures = Join(options.work, L"failures");
    const std::vector<std::wstring> failed = NamesIn(failures);
    char summary[256];
    std::snprintf(summary, sizeof(summary), "fuzz: %llu mutants ran in %.1f s (%.1f a second), %u failed",
                  static_cast<unsigned long long>(options.count), seconds,
                  seconds > 0 ? static_cast<double>(options.count) / seconds : 0.0, static_cast<unsigned>(failed.size()));
    Print(summary);
    // What the mutants reached: a stream that ends at once tests little.
    uint64_t withChunks = 0, withChildChunks = 0, chunks = 0, streamWithChunks = 0, streamWithChildChunks = 0;
    const std::string results = ReadText(Join(options.work, L"results.txt"));
    for (size_t pos = 0; pos < results.size();) {
        unsigned long long index = 0, n = 0, child = 0, streamN = 0, streamChild = 0;
        if (std::sscanf(results.c_str() + pos, "%llu %llu %llu %llu %llu", &index, &n, &child, &streamN, &streamChild) == 5) {
            chunks += n;
            withChunks += n > 1 ? 1 : 0;
            withChildChunks += child > 0 ? 1 : 0;
            streamWithChunks += streamN > 1 ? 1 : 0;
            streamWithChildChunks += streamChild > 0 ? 1 : 0;
        }
        pos = results.find('\n', pos);
        pos = pos == std::string::npos ? results.size() : pos + 1;
    }
    std::snprintf(summary, sizeof(summary),
                  "fuzz: %llu chunks in all by path; %llu mutants got past the title, %llu reached a child filter; "
                  "as streams %llu and %llu",
                  static_cast<unsigned long long>(chunks), static_cast<unsigned long long>(withChunks),
                  static_cast<unsigned long long>(withChildChunks), static_cast<unsigned long long>(streamWithChunks),
                  static_cast<unsigned long long>(streamWithChildChunks));
    Print(summary);
    bool bReachedEnough = true;
    for (const auto &[reached, percent, what] :
         {std::tuple{withChunks, options.pastTitlePercent, "got past the title"},
          std::tuple{withChildChunks, options.childPercent, "reached a child filter"}}) {
        if (options.count >= FLOOR_MIN_COUNT && reached * 100 < percent * options.count) {
            std::snprintf(summary, sizeof(summary), "fuzz: FAILED only %llu of %llu mutants %s; at least %llu%% must",
                          static_cast<unsigned long long>(reached), static_cast<unsigned long long>(options.count),
                          what, static_cast<unsigned long long>(percent));
            Print(summary);
            bReachedEnough = false;
        }
    }
    wchar_t exe[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    for (const std::wstring &folder : failed) {
        const std::wstring path = Join(failures, folder);
        std::wstring archive;
        for (const std::wstring &name : NamesIn(path)) {
            std::wstring set;
            unsigned part = 0;
            if (name != L"failure.txt" && (!SplitVolumeName(name, &set, &part) || part == 1))
                archive = name;
        }
        // failure.txt: the mutant on its first line, what went wrong on the next.
        const std::string text = ReadText(Join(path, L"failure.txt"));
        const size_t newline = std::min(text.size(), text.find('\n'));
        Print("fuzz: FAILED " + text.substr(0, newline));
        Print("      " + text.substr(std::min(text.size(), newline + 1), text.find('\n', newline + 1) - newline - 1));
        Print("      replay: " + Narrow(exe) + " --replay " + Narrow(Join(path, archive)));
    }
    return failed.empty() && bReachedEnough ? EXIT_PASSED : EXIT_FAILED;
}

int RunReplay(const Options &options)
{
    const std::wstring folder = options.replay.substr(0, options.replay.find_last_of(L'\\'));
    const std::wstring name = options.replay.substr(options.replay.find_last_of(L'\\') + 1);
    std::wstring work = options.work;
    const bool ownWork = work.empty();
    if (ownWork) {
        wchar_t temp[MAX_PATH + 1] = {};
        GetTempPathW(MAX_PATH + 1, temp);
        work = std::wstring(temp) + L"pellucidor-fuzz-replay";
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    CreateDirectoryW(work.c_str(), nullptr);
    const std::vector<std::wstring> companions = CompanionsOf(folder, name);
    int result = EXIT_SETUP;
    {
        CFuzzHost host(work, options.dll, ChildFilters(options.fixture));
        std::string why;
        if (!host.Ready(&why)) {
            Print("fuzz: " + why);
        } else if (!CopyInto(folder, companions, host.Jail().In()) || !CopyInto(folder, {name}, host.Jail().In())) {
            Print("fuzz: cannot copy " + Narrow(options.replay));
        } else {
            const FuzzOutcome outcome = FilterBothWays(host, name, companions, 1);
            Print("fuzz: " + Narrow(name) + ": " + std::to_string(outcome.chunks) + " chunks, " +
                  (outcome.ok ? "passed" : "FAILED: " + outcome.failure));
            result = outcome.ok ? EXIT_PASSED : EXIT_FAILED;
        }
        host.Jail().Clean();
    }
    if (ownWork)
        RemoveTree(work);
    CoUninitialize();
    return result;
}

bool ParseOptions(int argc, wchar_t **argv, Options *pOptions)
{
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        if (arg == L"--child") {
            pOptions->child = true;
            continue;
        }
        if (i + 1 >= argc)
            return false;
        const std::wstring value = argv[++i];
        if (arg == L"--seeds")
            pOptions->seeds = value;
        else if (arg == L"--work")
            pOptions->work = value;
        else if (arg == L"--replay")
            pOptions->replay = value;
        else if (arg == L"--dll")
            pOptions->dll = value;
        else if (arg == L"--fixture")
            pOptions->fixture = value;
        else if (arg == L"--count")
            pOptions->count = std::wcstoull(value.c_str(), nullptr, 10);
        else if (arg == L"--first")
            pOptions->first = std::wcstoull(value.c_str(), nullptr, 10);
        else if (arg == L"--seed")
            pOptions->seed = std::wcstoull(value.c_str(), nullptr, 10);
        else if (arg == L"--past-title")
            pOptions->pastTitlePercent = std::wcstoull(value.c_str(), nullptr, 10);
        else if (arg == L"--into-child")
            pOptions->childPercent = std::wcstoull(value.c_str(), nullptr, 10);
        else if (arg == L"--heap-cap")
            pOptions->heapCapMB = std::wcstoull(value.c_str(), nullptr, 10);
        else if (arg == L"--batch")
            pOptions->batch = std::max<uint64_t>(1, std::wcstoull(value.c_str(), nullptr, 10));
        else
            return false;
    }
    if (pOptions->dll.empty())
        pOptions->dll = Join(ProgramFolder(), L"Pellucidor.dll");
    if (pOptions->fixture.empty())
        pOptions->fixture = Join(Join(ProgramFolder(), FIXTURE_FOLDER), g_fixtures[FIXTURE_ROW_TEXT].dllName);
    return !pOptions->replay.empty() || (!pOptions->seeds.empty() && !pOptions->work.empty());
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        Print("usage: PellucidorFuzz --seeds DIR --work DIR [--count N] [--first K] [--seed S] [--batch B]\n"
              "       [--past-title PERCENT] [--into-child PERCENT] [--heap-cap MB]\n"
              "       PellucidorFuzz --replay FILE [--work DIR]\n"
              "       [--dll Pellucidor.dll] [--fixture FixtureText.dll]");
        return EXIT_SETUP;
    }
    if (!options.replay.empty())
        return RunReplay(options);  // a crash here shows where, through the system's debugger
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
    SetUnhandledExceptionFilter(EndOnCrash);
    return options.child ? RunChild(options) : RunParent(options);
}
