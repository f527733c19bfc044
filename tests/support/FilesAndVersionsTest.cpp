// Files, paths and version facts, on both routes where the recorded versions pick a route.
#include <gtest/gtest.h>
#include <objbase.h>
#include <string>

#include "TestHelpers.h"
#include "support/FileUtil.h"
#include "support/Version.h"

namespace {

// A scratch folder in the temp folder with one file, removed afterwards.
class ScratchFiles : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_folder = TempFolder() + L"pellucidor-support-test";
        CreateDirectoryW(m_folder.c_str(), nullptr);
        m_file = m_folder + L"\\LongFileName.document";
        HANDLE h = CreateFileW(m_file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        CloseHandle(h);
    }
    void TearDown() override
    {
        DeleteFileW(m_file.c_str());
        RemoveDirectoryW(m_folder.c_str());
        InitializeVersionFacts();  // undo any override
    }
    std::wstring m_folder;
    std::wstring m_file;
};

} // namespace

TEST_F(ScratchFiles, FileExistsTable)
{
    const std::wstring tooLong = m_folder + L"\\" + std::wstring(260, L'a');
    struct {
        std::wstring path;
        BOOL expected;
    } cases[] = {
        {m_file, TRUE},
        {m_folder, FALSE},                              // a directory
        {L"", FALSE},
        {m_folder + L"\\nothing-here.txt", FALSE},
        {m_folder + L"\\*.document", TRUE},             // wild card whose first match is a file
        {tooLong, FALSE},                               // 260 characters or more
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.expected, FileExists(c.path.c_str())) << Narrow(c.path);
        // The exact test agrees, except that a pattern names no file.
        const bool bPattern = c.path.find(L'*') != std::wstring::npos;
        EXPECT_EQ(bPattern ? FALSE : c.expected, IsExistingFile(c.path.c_str())) << Narrow(c.path);
    }
    EXPECT_FALSE(FileExists(nullptr));
    EXPECT_FALSE(IsExistingFile(nullptr));
}

TEST_F(ScratchFiles, AppendPathOnBothRoutes)
{
    for (DWORD shellVersion : {0x00040046u /* 4.70: our fallback */, 0x00040047u /* 4.71: PathAppendW */}) {
        OverrideShellLibraryVersion(shellVersion);
        SCOPED_TRACE(shellVersion);
        wchar_t path[MAX_PATH] = L"C:\\dir";
        EXPECT_TRUE(AppendPath(path, L"x.dll"));
        EXPECT_EQ(std::wstring(L"C:\\dir\\x.dll"), path);

        wcscpy(path, L"C:\\dir\\");
        EXPECT_TRUE(AppendPath(path, L"x.dll"));
        EXPECT_EQ(std::wstring(L"C:\\dir\\x.dll"), path);

        wcscpy(path, L"C:\\dir");
        EXPECT_TRUE(AppendPath(path, L""));
        EXPECT_EQ(std::wstring(L"C:\\dir"), path);
    }
    // Only the fallback refuses a rooted component and keeps the path.
    OverrideShellLibraryVersion(0x00040046);
    wchar_t path[MAX_PATH] = L"C:\\dir";
    EXPECT_FALSE(AppendPath(path, L"\\x.dll"));
    EXPECT_EQ(std::wstring(L"C:\\dir"), path);

    // The fallback truncates at the path limit and stays terminated.
    wchar_t longPath[MAX_PATH + 1];
    std::wstring base(250, L'd');
    wcscpy(longPath, base.c_str());
    longPath[MAX_PATH] = L'#';
    EXPECT_TRUE(AppendPath(longPath, L"component.dll"));
    EXPECT_EQ(259u, wcslen(longPath));
    EXPECT_EQ(L'#', longPath[MAX_PATH]);
}

TEST_F(ScratchFiles, GetLongPathOnBothRoutes)
{
    wchar_t shortPath[MAX_PATH] = {};
    ASSERT_NE(0u, GetShortPathNameW(m_file.c_str(), shortPath, MAX_PATH));

    wchar_t longPath[MAX_PATH] = L"marker";
    DWORD length = GetLongPath(shortPath, longPath, MAX_PATH);
    EXPECT_EQ(wcslen(longPath), length);
    EXPECT_EQ(0, _wcsicmp(m_file.c_str(), longPath)) << Narrow(longPath);

    // An NT 4.0 record sends it through the shell's parsing of display names.
    OverrideVersionFacts(VER_PLATFORM_WIN32_NT, 4, 0, 6);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    wcscpy(longPath, L"marker");
    length = GetLongPath(shortPath, longPath, MAX_PATH);
    CoUninitialize();
    EXPECT_EQ(wcslen(longPath), length);
    EXPECT_EQ(0, _wcsicmp(m_file.c_str(), longPath)) << Narrow(longPath);

    wcscpy(longPath, L"marker");
    EXPECT_EQ(0u, GetLongPath(L"", longPath, MAX_PATH));
    EXPECT_EQ(std::wstring(), longPath);
}

TEST_F(ScratchFiles, UnsignedFilesAreNotTrusted)
{
    EXPECT_FALSE(IsFileTrusted(m_file.c_str(), FALSE));
    EXPECT_FALSE(IsFileTrusted(TestBinPath(L"Pellucidor.dll").c_str(), FALSE));
    EXPECT_FALSE(IsFileTrusted((m_folder + L"\\missing.dll").c_str(), FALSE));
}

TEST(VersionFacts, FlagsFollowTheRecordedSystem)
{
    struct {
        DWORD platform, major, minor;
        BOOL atLeast98, atLeast2000;
    } cases[] = {
        {VER_PLATFORM_WIN32_NT, 5, 1, FALSE, TRUE},       // XP
        {VER_PLATFORM_WIN32_NT, 4, 0, FALSE, FALSE},      // NT 4.0
        {VER_PLATFORM_WIN32_WINDOWS, 4, 90, TRUE, FALSE}, // Me
        {VER_PLATFORM_WIN32_WINDOWS, 4, 0, FALSE, FALSE}, // 95
        {VER_PLATFORM_WIN32_NT, 6, 0, FALSE, TRUE},       // a greater major wins whatever the minor
    };
    for (const auto &c : cases) {
        OverrideVersionFacts(c.platform, c.major, c.minor, 0);
        EXPECT_EQ(c.atLeast98, IsAtLeastWindows98()) << c.platform << " " << c.major << "." << c.minor;
        EXPECT_EQ(c.atLeast2000, IsAtLeastWindows2000()) << c.platform << " " << c.major << "." << c.minor;
    }
    OverrideVersionFacts(VER_PLATFORM_WIN32_NT, 5, 0, 3);
    EXPECT_TRUE(IsVersionAtLeast(5, 0, 3, VER_PLATFORM_WIN32_NT));
    EXPECT_FALSE(IsVersionAtLeast(5, 0, 4, VER_PLATFORM_WIN32_NT));
    InitializeVersionFacts();

    // Wine reports Windows 7 unless told otherwise.
    EXPECT_TRUE(OperatingSystem().IsFilled());
    EXPECT_TRUE(IsAtLeastWindows2000());
}

TEST(VersionFacts, DllVersions)
{
    DWORD version = MARKER;
    EXPECT_TRUE(GetDllVersion(L"SHLWAPI.DLL", &version));
    EXPECT_GE(version, 0x00040047u);
    EXPECT_EQ(version, ShellLibraryVersion());

    version = MARKER;
    EXPECT_FALSE(GetDllVersion(L"KERNEL32.DLL", &version));  // exports no DllGetVersion
    EXPECT_EQ(0u, version);
    version = MARKER;
    EXPECT_FALSE(GetDllVersion(L"no-such-library.dll", &version));
    EXPECT_FALSE(GetDllVersion(L"", &version));
    EXPECT_FALSE(GetDllVersion(nullptr, &version));
    EXPECT_FALSE(GetDllVersion(L"SHLWAPI.DLL", nullptr));
}
