#include "SettingsFiles.h"
#include "ProcessStart.h"

#include <shlobj.h>
#include <filterr.h>

namespace {

bool SameName(const std::wstring &a, const std::wstring &b) { return lstrcmpiW(a.c_str(), b.c_str()) == 0; }

} // namespace

std::wstring SettingsFolder()
{
    wchar_t path[MAX_PATH] = {};
    SHGetSpecialFolderPathW(nullptr, path, CSIDL_APPDATA, FALSE);
    return std::wstring(path) + L"\\Quorvane";
}

std::wstring SettingsFilePath() { return SettingsFolder() + L"\\IFilterProcess.ini"; }
std::wstring LogGuidFilePath() { return SettingsFolder() + L"\\LogGuid.ini"; }

std::wstring ThisHost()
{
    wchar_t path[2048] = {};
    GetModuleFileNameW(nullptr, path, 2048);
    return path;
}

bool ReadBytes(const std::wstring &path, std::string *pBytes)
{
    pBytes->clear();
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return false;
    char buffer[4096];
    DWORD read = 0;
    while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0)
        pBytes->append(buffer, read);
    CloseHandle(file);
    return true;
}

void WriteBytes(const std::wstring &path, const std::string &bytes)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "cannot write " << Narrow(path) << ", error " << GetLastError();
        return;
    }
    DWORD written = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    CloseHandle(file);
}

void WriteText(const std::wstring &path, const std::wstring &text, FileEncoding encoding)
{
    std::string bytes;
    if (encoding == FileEncoding::Utf16) {
        bytes = "\xFF\xFE";
        bytes.append(reinterpret_cast<const char *>(text.data()), text.size() * sizeof(wchar_t));
    } else {
        const int cb = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                           nullptr);
        bytes.resize(static_cast<size_t>(cb));
        WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), bytes.data(), cb, nullptr, nullptr);
    }
    WriteBytes(path, bytes);
}

std::vector<IniLine> IniFile::InSection(const std::wstring &section) const
{
    std::vector<IniLine> found;
    for (const IniLine &line : lines) {
        if (SameName(line.section, section))
            found.push_back(line);
    }
    return found;
}

std::vector<std::wstring> IniFile::Values(const std::wstring &section, const std::wstring &key) const
{
    std::vector<std::wstring> found;
    for (const IniLine &line : InSection(section)) {
        if (SameName(line.key, key))
            found.push_back(line.value);
    }
    return found;
}

IniFile ReadIni(const std::wstring &path)
{
    IniFile ini;
    std::string bytes;
    ini.exists = ReadBytes(path, &bytes);
    std::wstring text;
    if (bytes.size() >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
        ini.utf16 = true;
        text.assign(reinterpret_cast<const wchar_t *>(bytes.data() + 2), (bytes.size() - 2) / sizeof(wchar_t));
    } else {
        const int cch = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
        text.resize(static_cast<size_t>(cch));
        MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), text.data(), cch);
    }
    std::wstring section;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos)
            end = text.size();
        std::wstring line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == L'\r')
            line.pop_back();
        if (line.empty())
            continue;
        const size_t close = line.rfind(L']');
        if (line[0] == L'[' && close != std::wstring::npos) {
            section = line.substr(1, close - 1);
            continue;
        }
        const size_t eq = line.find(L'=');
        ini.lines.push_back({section, line.substr(0, eq), eq == std::wstring::npos ? L"" : line.substr(eq + 1)});
    }
    return ini;
}

void SettingsTest::SetUp()
{
    CreateDirectoryW(SettingsFolder().c_str(), nullptr);
    m_settings.exists = ReadBytes(SettingsFilePath(), &m_settings.bytes);
    m_logGuid.exists = ReadBytes(LogGuidFilePath(), &m_logGuid.bytes);
    DeleteFileW(SettingsFilePath().c_str());
    DeleteFileW(LogGuidFilePath().c_str());
    FilterHostTest::SetUp();
}

void SettingsTest::TearDown()
{
    FilterHostTest::TearDown();
    for (const auto &[path, saved] : {std::pair{SettingsFilePath(), &m_settings}, std::pair{LogGuidFilePath(), &m_logGuid}}) {
        if (saved->exists)
            WriteBytes(path, saved->bytes);
        else
            DeleteFileW(path.c_str());
    }
}

void SettingsTest::UseSettings(const std::wstring &debugLines, FileEncoding encoding, const std::wstring &moreText)
{
    WriteText(SettingsFilePath(), L"[Debug]\r\n" + debugLines + moreText, encoding);
}

void SettingsTest::RunEarly(const std::wstring &path, int times)
{
    for (int i = 0; i < times; ++i)
        StartRun(path);
}

void SettingsTest::RunToEnd(const std::wstring &path, int times)
{
    for (int i = 0; i < times; ++i) {
        CComPtr<IFilter> filter = StartRun(path);
        if (filter)
            ExpectPullToEnd(filter.Get());
    }
}

std::wstring SettingsTest::MarksOf(const std::wstring &key) const
{
    const std::vector<std::wstring> values = ReadIni(SettingsFilePath()).Values(ThisHost(), key);
    if (values.empty())
        return L"(none)";
    std::wstring all = values[0];
    for (size_t i = 1; i < values.size(); ++i)
        all += L" | " + values[i];  // a second line for one key shows here
    return all;
}

int RunHelper(const std::wstring &program, const std::wstring &arguments)
{
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!StartProcess(nullptr, L"\"" + TestBinPath(program) + L"\" " + arguments, FALSE, si, pi)) {
        ADD_FAILURE() << "cannot start " << Narrow(program) << ", error " << GetLastError();
        return -1;
    }
    CloseHandle(pi.hThread);
    DWORD exitCode = static_cast<DWORD>(-1);
    if (WaitForSingleObject(pi.hProcess, 120000) == WAIT_OBJECT_0)
        GetExitCodeProcess(pi.hProcess, &exitCode);
    else
        TerminateProcess(pi.hProcess, 99);
    CloseHandle(pi.hProcess);
    return static_cast<int>(exitCode);
}

CMutexHolder::CMutexHolder(const wchar_t *mutexName, bool abandon)
{
    const std::wstring stem = L"Pellucidor.Test.MutexHolder." + std::to_wstring(GetCurrentProcessId()) + L".";
    const std::wstring readyName = stem + L"Ready", releaseName = stem + L"Release";
    m_ready = CreateEventW(nullptr, TRUE, FALSE, readyName.c_str());
    m_release = CreateEventW(nullptr, TRUE, FALSE, releaseName.c_str());
    std::wstring commandLine = L"\"" + TestBinPath(L"settings_mutex_holder.exe") + L"\" " + mutexName + L" " +
                               readyName + L" " + releaseName + (abandon ? L" abandon" : L" release");
    STARTUPINFOW si = {};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi = {};
    if (!StartProcess(nullptr, commandLine, FALSE, si, pi)) {
        ADD_FAILURE() << "cannot start the mutex holder, error " << GetLastError();
        return;
    }
    CloseHandle(pi.hThread);
    m_process = pi.hProcess;
    HANDLE waits[] = {m_ready, m_process};
    m_holding = WaitForMultipleObjects(2, waits, FALSE, 60000) == WAIT_OBJECT_0;
    if (!m_holding)
        ADD_FAILURE() << "the mutex holder did not take the mutex";
    m_mutex = OpenMutexW(SYNCHRONIZE, FALSE, mutexName);
}

CMutexHolder::~CMutexHolder()
{
    Release();
    if (m_mutex != nullptr)
        CloseHandle(m_mutex);
}

int CMutexHolder::Release()
{
    if (m_process != nullptr) {
        SetEvent(m_release);
        DWORD exitCode = static_cast<DWORD>(-1);
        if (WaitForSingleObject(m_process, 60000) == WAIT_OBJECT_0)
            GetExitCodeProcess(m_process, &exitCode);
        else
            TerminateProcess(m_process, 99);
        m_exitCode = static_cast<int>(exitCode);
        CloseHandle(m_process);
        m_process = nullptr;
    }
    for (HANDLE *p : {&m_ready, &m_release}) {
        if (*p != nullptr) {
            CloseHandle(*p);
            *p = nullptr;
        }
    }
    m_holding = false;
    return m_exitCode;
}
