// The per-user settings of the filter, in the folder "Quorvane" under the application-data
// folder: IFilterProcess.ini holds the two Debug switches. The black list and the temp-folder
// log are placeholders that admit every run and write nothing.
#include "filter/IFilterBase.h"

#include "support/SafeString.h"

#include <shlobj.h>

#include <cwchar>
#include <new>

namespace {

constexpr size_t SETTINGS_PATH_CHARS = 2048;

} // namespace

// Init's settings: the folder is made when missing; missing files or values read as off.
void CIFilterBase::ReadSettings()
{
    m_bBlackList = FALSE;
    m_bLogGuid = FALSE;
    m_pszSettingsFile = new (std::nothrow) wchar_t[SETTINGS_PATH_CHARS]();
    m_pszLogGuidFile = new (std::nothrow) wchar_t[SETTINGS_PATH_CHARS]();
    if (m_pszSettingsFile == nullptr || m_pszLogGuidFile == nullptr ||
        !SHGetSpecialFolderPathW(nullptr, m_pszSettingsFile, CSIDL_APPDATA, FALSE)) {
        // Without the user's folder there are no settings: nothing to read or write.
        delete[] m_pszSettingsFile;
        m_pszSettingsFile = nullptr;
        delete[] m_pszLogGuidFile;
        m_pszLogGuidFile = nullptr;
        return;
    }
    const size_t cchAppData = std::wcslen(m_pszSettingsFile);
    if (cchAppData == 0 || m_pszSettingsFile[cchAppData - 1] != L'\\')
        SafeStringCat(m_pszSettingsFile, SETTINGS_PATH_CHARS, L"\\");
    SafeStringCat(m_pszSettingsFile, SETTINGS_PATH_CHARS, L"Quorvane");
    CreateDirectoryW(m_pszSettingsFile, nullptr);  // usually there already

    SafeStringCopy(m_pszLogGuidFile, SETTINGS_PATH_CHARS, m_pszSettingsFile);
    SafeStringCat(m_pszLogGuidFile, SETTINGS_PATH_CHARS, L"\\LogGuid.ini");
    SafeStringCat(m_pszSettingsFile, SETTINGS_PATH_CHARS, L"\\IFilterProcess.ini");

    m_bBlackList = GetPrivateProfileIntW(L"Debug", L"BlackList", 0, m_pszSettingsFile) == 1;
    m_bLogGuid = GetPrivateProfileIntW(L"Debug", L"LogGuid", 0, m_pszSettingsFile) == 1;
}

BOOL CIFilterBase::EnterBlackList() { return TRUE; }
BOOL CIFilterBase::LeaveBlackList() { return TRUE; }
BOOL CIFilterBase::LogTempFolderGuid(const wchar_t *) { return TRUE; }
