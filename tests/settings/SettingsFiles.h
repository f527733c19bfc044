// The per-user settings files as the tests see them: saved before and restored after every test
// (they are the user's), written the way a user writes them, read back line by line, and the
// helper processes that share them.
#pragma once
#include <windows.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

#include "FilterHost.h"
#include "TestHelpers.h"

std::wstring SettingsFolder();    // <application data>\Quorvane
std::wstring SettingsFilePath();  // ...\IFilterProcess.ini
std::wstring LogGuidFilePath();   // ...\LogGuid.ini
std::wstring ThisHost();          // this program's full path: its section in both files

enum class FileEncoding { Ansi, Utf16 };

// A whole file: its bytes, or its text in the ANSI code page or as UTF-16LE with a byte-order mark.
bool ReadBytes(const std::wstring &path, std::string *pBytes);
void WriteBytes(const std::wstring &path, const std::string &bytes);
void WriteText(const std::wstring &path, const std::wstring &text, FileEncoding encoding);

// One "key=value" line of an INI file, with the section it is in.
struct IniLine {
    std::wstring section;
    std::wstring key;
    std::wstring value;
};

struct IniFile {
    bool exists = false;
    bool utf16 = false;  // starts with the UTF-16LE byte-order mark
    std::vector<IniLine> lines;

    // Every line of that section (and key), in file order; names compare case-insensitively.
    std::vector<IniLine> InSection(const std::wstring &section) const;
    std::vector<std::wstring> Values(const std::wstring &section, const std::wstring &key) const;
};
IniFile ReadIni(const std::wstring &path);

// Starts each test without either settings file and puts the user's files back afterwards;
// checks that no run folder stayed and nothing keeps the DLL.
class SettingsTest : public FilterHostTest
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Writes IFilterProcess.ini: a [Debug] section with these lines, then any further text.
    void UseSettings(const std::wstring &debugLines, FileEncoding encoding = FileEncoding::Utf16,
                     const std::wstring &moreText = L"");

    // A run let go right after Init, and a run pulled to its end before it is let go.
    void RunEarly(const std::wstring &path, int times = 1);
    void RunToEnd(const std::wstring &path, int times = 1);

    // The marks of an archive key in this program's section; "(none)" without a line.
    std::wstring MarksOf(const std::wstring &key) const;

private:
    struct Saved {
        bool exists = false;
        std::string bytes;
    };
    Saved m_settings, m_logGuid;
};

// A helper program of this folder, run to its end (at most two minutes); its exit code, or -1.
int RunHelper(const std::wstring &program, const std::wstring &arguments);

// Another process holding one of the filter's named mutexes until Release() (or until it ends
// without releasing it, when made with abandon = true). This process keeps the mutex open as
// well, as other host processes would, so that an abandoned mutex lives on as abandoned.
class CMutexHolder
{
public:
    CMutexHolder(const wchar_t *mutexName, bool abandon);
    ~CMutexHolder();
    CMutexHolder(const CMutexHolder &) = delete;
    CMutexHolder &operator=(const CMutexHolder &) = delete;

    bool Holding() const { return m_holding; }
    int Release();  // lets the holder go; its exit code

private:
    HANDLE m_ready = nullptr;
    HANDLE m_release = nullptr;
    HANDLE m_process = nullptr;
    HANDLE m_mutex = nullptr;
    bool m_holding = false;
    int m_exitCode = -1;
};

// The filter's mutexes, by their system names.
constexpr const wchar_t *BLACK_LIST_MUTEX_NAME = L"Quorvane.IFilterBase.IFilterProcess.03750285";
constexpr const wchar_t *LOG_GUID_MUTEX_NAME = L"Quorvane.IFilterBase.LogGuid.3409836";
