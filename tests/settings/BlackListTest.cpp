// The black list as a host and a user see it: what IFilterProcess.ini holds after runs that end,
// runs let go early and runs refused, with this test program as the host.
#include <gtest/gtest.h>
#include <filterr.h>

#include "SettingsFiles.h"

namespace {

const std::wstring kOn = L"BlackList=1\r\n";

std::wstring ArchiveFolder() { return FilterObjectArchive(L""); }  // ends with a backslash

// Hand-written lines for this program's section.
std::wstring HostSectionText(const std::wstring &lines) { return L"[" + ThisHost() + L"]\r\n" + lines; }

} // namespace

using BlackList = SettingsTest;

TEST_F(BlackList, OffLeavesTheSettingsFileUntouched)
{
    struct Case {
        const char *name;
        bool file;
        std::wstring text;
    };
    const Case cases[] = {
        {"no settings file", false, L""},
        {"BlackList=0", true, L"[Debug]\r\nBlackList=0\r\n"},
        {"BlackList=2", true, L"[Debug]\r\nBlackList=2\r\nLogGuid=0\r\n"},
        {"BlackList=yes", true, L"[Debug]\r\nBlackList=yes\r\n"},
        {"BlackList=1 outside Debug", true, L"[Other]\r\nBlackList=1\r\n"},
    };
    const std::wstring archive = FilterObjectArchive(L"plain.rar");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        DeleteFileW(SettingsFilePath().c_str());
        if (c.file)
            WriteText(SettingsFilePath(), c.text, FileEncoding::Ansi);
        std::string before, after;
        ReadBytes(SettingsFilePath(), &before);

        RunEarly(archive, 6);
        RunToEnd(archive, 2);
        {
            CComPtr<IFilter> filter = StartRun(archive);
            EXPECT_EQ(1u, RunFoldersNow().size()) << "never refused";
        }

        EXPECT_EQ(c.file, ReadBytes(SettingsFilePath(), &after));
        EXPECT_EQ(before, after);
        EXPECT_FALSE(ReadIni(LogGuidFilePath()).exists);
    }
}

TEST_F(BlackList, LifeCycleOfOneArchive)
{
    const std::wstring archive = FilterObjectArchive(L"plain.rar");
    UseSettings(kOn);

    RunToEnd(archive);
    EXPECT_EQ(L"(none)", MarksOf(archive)) << "a run to the end leaves no key";

    RunEarly(archive, 3);
    EXPECT_EQ(L"xxx", MarksOf(archive));
    RunToEnd(archive);
    EXPECT_EQ(L"(none)", MarksOf(archive)) << "a run to the end clears earlier marks";

    RunEarly(archive, 5);
    EXPECT_EQ(L"xxxxx", MarksOf(archive)) << "five runs let go early";
    {
        CComPtr<IFilter> filter = StartRun(archive);  // S_OK, refused
        EXPECT_EQ(0u, RunFoldersNow().size()) << "a refused run makes no folder";
        STAT_CHUNK stat;
        EXPECT_HR(FILTER_E_END_OF_CHUNKS, filter->GetChunk(&stat));
        EXPECT_HR(FILTER_E_END_OF_CHUNKS, filter->GetChunk(&stat));
    }
    EXPECT_EQ(L"xxxxx", MarksOf(archive)) << "five marks stay, even when the refused stream ended";
}

TEST_F(BlackList, TheFifthMarkStaysEvenWhenItsRunEnds)
{
    const std::wstring archive = FilterObjectArchive(L"plain.rar");
    UseSettings(kOn);
    RunEarly(archive, 4);
    RunToEnd(archive);
    EXPECT_EQ(L"xxxxx", MarksOf(archive));
    RunToEnd(archive);
    EXPECT_EQ(0u, RunFoldersNow().size());
    EXPECT_EQ(L"xxxxx", MarksOf(archive));
}

TEST_F(BlackList, HandWrittenValues)
{
    struct Case {
        const char *name;
        std::wstring value;
        bool admitted;
        std::wstring after;  // after one run let go early
    };
    const Case cases[] = {
        {"one character", L"a", true, L"ax"},
        {"four marks", L"xxxx", true, L"xxxxx"},
        {"empty", L"", true, L"x"},
        {"five characters", L"abcde", false, L"abcde"},
        {"five digits", L"12345", false, L"12345"},
        {"twelve characters", L"xxxxxxxxxxxx", false, L"xxxxxxxxxxxx"},
    };
    const std::wstring archive = FilterObjectArchive(L"plain.rar");
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        UseSettings(kOn, FileEncoding::Ansi, HostSectionText(archive + L"=" + c.value + L"\r\n"));
        {
            CComPtr<IFilter> filter = StartRun(archive);
            EXPECT_EQ(c.admitted ? 1u : 0u, RunFoldersNow().size());
        }
        EXPECT_EQ(c.after, MarksOf(archive));
    }
}

TEST_F(BlackList, OneObjectInitialisedAgainIsOneRunAtATime)
{
    const std::wstring archive = FilterObjectArchive(L"plain.rar");
    UseSettings(kOn);
    CComPtr<IFilter> filter = StartRun(archive);
    for (int run = 1; run <= 7; ++run) {
        SCOPED_TRACE(run);
        ExpectPullToEnd(filter.Get(), kPlainChunks);
        EXPECT_HR(S_OK, InitFilter(filter.Get()));
        EXPECT_EQ(1u, RunFoldersNow().size()) << "every run ended, so none is refused";
        EXPECT_EQ(L"x", MarksOf(archive)) << "only the run in progress counts";
    }
    ExpectPullToEnd(filter.Get(), kPlainChunks);
    filter.Reset();
    EXPECT_EQ(L"(none)", MarksOf(archive));
}

// A host that reuses one object for the next archive: Load B comes after A's run ended and
// before the next Init. A's run leaves under A's key, whatever the object names by then.
TEST_F(BlackList, OneObjectReusedForAnotherArchiveLeavesUnderTheKeyItEnteredWith)
{
    const std::wstring a = FilterObjectArchive(L"plain.rar");
    const std::wstring b = FilterObjectArchive(L"second.rar");
    UseSettings(kOn);
    CComPtr<IFilter> filter = StartRun(a);
    ASSERT_TRUE(filter);
    for (int round = 1; round <= 5; ++round) {
        SCOPED_TRACE(round);
        EXPECT_EQ(3, PullToEnd(filter.Get())) << "the title, a.txt's name and its text";
        EXPECT_HR(S_OK, LoadFile(filter.Get(), b));
        EXPECT_HR(S_OK, InitFilter(filter.Get()));
        EXPECT_EQ(L"(none)", MarksOf(a)) << "A's run ended";
        EXPECT_EQ(L"x", MarksOf(b));
        EXPECT_EQ(3, PullToEnd(filter.Get()));
        EXPECT_HR(S_OK, LoadFile(filter.Get(), a));
        EXPECT_HR(S_OK, InitFilter(filter.Get()));
        EXPECT_EQ(L"(none)", MarksOf(b)) << "B's run ended";
        EXPECT_EQ(L"x", MarksOf(a));
    }
    // Loaded with B but never initialised with it: the release ends A's run.
    EXPECT_EQ(3, PullToEnd(filter.Get()));
    EXPECT_HR(S_OK, LoadFile(filter.Get(), b));
    filter.Reset();
    EXPECT_EQ(L"(none)", MarksOf(a));
    EXPECT_EQ(L"(none)", MarksOf(b));
}

TEST_F(BlackList, OneObjectInitialisedAgainWithoutReadingCountsEveryRun)
{
    const std::wstring archive = FilterObjectArchive(L"plain.rar");
    UseSettings(kOn);
    CComPtr<IFilter> filter = StartRun(archive);
    for (int run = 2; run <= 5; ++run)
        EXPECT_HR(S_OK, InitFilter(filter.Get()));
    EXPECT_EQ(L"xxxxx", MarksOf(archive));
    EXPECT_HR(S_OK, InitFilter(filter.Get()));
    EXPECT_EQ(0u, RunFoldersNow().size()) << "the sixth run is refused";
    filter.Reset();
    EXPECT_EQ(L"xxxxx", MarksOf(archive));
}

TEST_F(BlackList, ObjectsThatNeverReachedTheSettingsTouchNoFile)
{
    struct Case {
        const char *name;
        bool load;
        bool deleteBeforeInit;
    };
    const Case cases[] = {
        {"created and released", false, false},
        {"loaded and released", true, false},
        {"Init without a file", false, true},
        {"Init after the file went away", true, true},
    };
    CScratchDir scratch;
    UseSettings(kOn + L"LogGuid=1\r\n");
    std::string before, after;
    ReadBytes(SettingsFilePath(), &before);
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        const std::wstring path = scratch.MakeFile(L"going.rar");
        CComPtr<IFilter> filter = NewFilter(m_dll);
        ASSERT_TRUE(filter);
        if (c.load) {
            EXPECT_HR(S_OK, LoadFile(filter.Get(), path));
        }
        if (c.deleteBeforeInit) {
            DeleteFileW(path.c_str());
            EXPECT_HR(E_FAIL, InitFilter(filter.Get()));
            STAT_CHUNK stat;
            EXPECT_HR(FILTER_E_END_OF_CHUNKS, filter->GetChunk(&stat));
        }
        filter.Reset();
        ReadBytes(SettingsFilePath(), &after);
        EXPECT_EQ(before, after);
        EXPECT_FALSE(ReadIni(LogGuidFilePath()).exists);
    }
}

namespace {

struct NameCase {
    const char *name;
    std::wstring path;  // as given to Load
    std::wstring key;   // as it stands in the file
};

} // namespace

// Paths the INI format cannot hold as they are keep a count of their own, in a form that is read
// back as it was written, in a file made by the user in the ANSI code page as well as in UTF-16.
TEST_F(BlackList, EveryArchivePathGetsACountOfItsOwn)
{
    const std::wstring dir = ArchiveFolder();
    const NameCase fullPaths[] = {
        {"plain", dir + L"plain.rar", dir + L"plain.rar"},
        {"equals sign", dir + L"a=b.rar", dir + L"a%3Db.rar"},
        {"percent sign", dir + L"100%.rar", dir + L"100%25.rar"},
        {"brackets inside", dir + L"[bracket].rar", dir + L"[bracket].rar"},
        {"semicolon inside", dir + L";semi.rar", dir + L";semi.rar"},
        {"trailing space", dir + L"second.rar ", dir + L"second.rar%20"},
    };
    for (FileEncoding encoding : {FileEncoding::Ansi, FileEncoding::Utf16}) {
        for (const NameCase &c : fullPaths) {
            SCOPED_TRACE(std::string(c.name) + (encoding == FileEncoding::Ansi ? " (ANSI file)" : " (UTF-16 file)"));
            UseSettings(kOn, encoding);
            RunEarly(c.path, 2);
            EXPECT_EQ(L"xx", MarksOf(c.key)) << "one line, read back and counted up";
            RunToEnd(c.path);
            EXPECT_EQ(L"(none)", MarksOf(c.key)) << "found again and removed";
            EXPECT_EQ(encoding == FileEncoding::Utf16, ReadIni(SettingsFilePath()).utf16);
        }
    }
}

TEST_F(BlackList, RelativePathsThatLookLikeCommentsOrSections)
{
    const std::wstring dir = ArchiveFolder();
    const NameCase relative[] = {
        {"leading semicolon", L";semi.rar", L"%3Bsemi.rar"},
        {"leading bracket", L"[bracket].rar", L"%5Bbracket].rar"},
        {"leading space", L" lead.rar", L"%20lead.rar"},
    };
    wchar_t previous[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, previous);
    ASSERT_TRUE(SetCurrentDirectoryW(dir.c_str()));
    for (const NameCase &c : relative) {
        SCOPED_TRACE(c.name);
        UseSettings(kOn);
        RunEarly(c.path, 3);
        EXPECT_EQ(L"xxx", MarksOf(c.key));
        RunToEnd(c.path);
        EXPECT_EQ(L"(none)", MarksOf(c.key));
    }
    SetCurrentDirectoryW(previous);
}

TEST_F(BlackList, NamesBeyondTheAnsiCodePageStayApart)
{
    const std::wstring dir = ArchiveFolder();
    struct Case {
        FileEncoding encoding;
        std::wstring key1, key2;
    };
    const Case cases[] = {
        {FileEncoding::Utf16, dir + L"\x4E2D.rar", dir + L"\x6587.rar"},
        {FileEncoding::Ansi, dir + L"%u4E2D.rar", dir + L"%u6587.rar"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.encoding == FileEncoding::Ansi ? "ANSI file" : "UTF-16 file");
        UseSettings(kOn, c.encoding);
        RunEarly(dir + L"\x4E2D.rar", 1);
        RunEarly(dir + L"\x6587.rar", 2);
        EXPECT_EQ(L"x", MarksOf(c.key1));
        EXPECT_EQ(L"xx", MarksOf(c.key2));
        RunToEnd(dir + L"\x6587.rar");
        EXPECT_EQ(L"x", MarksOf(c.key1));
        EXPECT_EQ(L"(none)", MarksOf(c.key2));
    }
}
