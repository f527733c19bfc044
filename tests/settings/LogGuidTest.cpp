// The temporary-folder log as a user reads it: LogGuid.ini maps every run folder's name to the
// archive it was made for, under this program's section.
#include <gtest/gtest.h>
#include <filterr.h>

#include "SettingsFiles.h"

using LogGuid = SettingsTest;

TEST_F(LogGuid, EveryRunFolderGetsOneLine)
{
    UseSettings(L"LogGuid=1\r\n");
    const std::wstring plain = FilterObjectArchive(L"plain.rar");
    const std::wstring equals = FilterObjectArchive(L"a=b.rar");
    const std::wstring wide = FilterObjectArchive(L"\x4E2D.rar");
    std::vector<std::pair<std::wstring, std::wstring>> expected;  // folder name, logged value

    // Folders another program left in the temp folder are not this test's runs.
    const std::vector<std::wstring> before = RunFolders();
    auto expectNewFolder = [&](const std::wstring &value) {
        const std::vector<std::wstring> made = NewRunFolders(before);
        std::wstring name;
        for (const std::wstring &folder : made) {
            bool known = false;
            for (const auto &e : expected)
                known = known || e.first == folder;
            if (!known && name.empty())
                name = folder;
        }
        EXPECT_FALSE(name.empty()) << "a run folder was made";
        expected.push_back({name, value});
    };
    {
        CComPtr<IFilter> filter = StartRun(plain);
        expectNewFolder(plain);
        EXPECT_HR(S_OK, InitFilter(filter.Get()));  // a second run of one object
        expectNewFolder(plain);
        CComPtr<IFilter> other = StartRun(equals);
        expectNewFolder(FilterObjectArchive(L"a%3Db.rar"));
        CComPtr<IFilter> third = StartRun(wide);
        expectNewFolder(wide);
    }

    const IniFile log = ReadIni(LogGuidFilePath());
    EXPECT_TRUE(log.utf16) << "a log the filter creates is UTF-16, so every path stays whole";
    const std::vector<IniLine> lines = log.InSection(ThisHost());
    ASSERT_EQ(expected.size(), lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(expected[i].first, lines[i].key);
        EXPECT_EQ(expected[i].second, lines[i].value);
    }
    EXPECT_EQ(lines.size(), log.lines.size()) << "nothing outside this program's section";
}

TEST_F(LogGuid, AFolderThatCannotBeMadeIsLoggedToo)
{
    UseSettings(L"LogGuid=1\r\n");
    CScratchDir scratch;
    const std::wstring archive = FilterObjectArchive(L"plain.rar");
    {
        CEnvironmentOverride tmp(L"TMP", scratch.Path() + L"\\missing");
        CEnvironmentOverride temp(L"TEMP", scratch.Path() + L"\\missing");
        CComPtr<IFilter> filter = NewFilter(m_dll);
        ASSERT_TRUE(filter);
        ASSERT_HR(S_OK, LoadFile(filter.Get(), archive));
        EXPECT_HR(E_FAIL, InitFilter(filter.Get()));
    }
    const std::vector<IniLine> lines = ReadIni(LogGuidFilePath()).InSection(ThisHost());
    ASSERT_EQ(1u, lines.size());
    EXPECT_EQ(32u, lines[0].key.size());
    EXPECT_EQ(archive, lines[0].value);
}

TEST_F(LogGuid, RunsThatStopBeforeTheFolderStepAreNotLogged)
{
    const std::wstring archive = FilterObjectArchive(L"plain.rar");
    UseSettings(L"BlackList=1\r\nLogGuid=1\r\n", FileEncoding::Utf16,
                L"[" + ThisHost() + L"]\r\n" + archive + L"=xxxxx\r\n");
    RunEarly(archive, 2);  // refused
    CComPtr<IFilter> filter = NewFilter(m_dll);
    ASSERT_TRUE(filter);
    EXPECT_HR(E_FAIL, InitFilter(filter.Get()));  // nothing loaded
    filter.Reset();
    EXPECT_FALSE(ReadIni(LogGuidFilePath()).exists);
}

TEST_F(LogGuid, AnExistingAnsiLogKeepsItsLinesAndGetsWholePaths)
{
    UseSettings(L"LogGuid=1\r\n");
    WriteText(LogGuidFilePath(), L"[C:\\other\\host.exe]\r\n00000000000000000000000000000000=C:\\old.rar\r\n",
              FileEncoding::Ansi);
    RunEarly(FilterObjectArchive(L"\x4E2D.rar"));
    RunEarly(FilterObjectArchive(L"\x6587.rar"));

    const IniFile log = ReadIni(LogGuidFilePath());
    EXPECT_FALSE(log.utf16) << "the user's file keeps its encoding";
    EXPECT_EQ(std::vector<std::wstring>{L"C:\\old.rar"},
              log.Values(L"C:\\other\\host.exe", L"00000000000000000000000000000000"));
    const std::vector<IniLine> lines = log.InSection(ThisHost());
    ASSERT_EQ(2u, lines.size());
    EXPECT_EQ(FilterObjectArchive(L"%u4E2D.rar"), lines[0].value) << "not collapsed to '?'";
    EXPECT_EQ(FilterObjectArchive(L"%u6587.rar"), lines[1].value);
}

TEST_F(LogGuid, OffWritesNoLog)
{
    for (const wchar_t *settings : {L"", L"LogGuid=0\r\n", L"LogGuid=2\r\n"}) {
        SCOPED_TRACE(Narrow(settings));
        UseSettings(settings);
        RunEarly(FilterObjectArchive(L"plain.rar"), 2);
        EXPECT_FALSE(ReadIni(LogGuidFilePath()).exists);
    }
}
