// The per-user settings of the filter, in the folder "Quorvane" under the application-data
// folder: IFilterProcess.ini holds the two Debug switches and the black list (one "x" per run
// of an archive that did not reach its end, per host program), LogGuid.ini maps temporary
// folder names to archives. Every host process of the user shares both files, so each
// read-modify-write happens under a named mutex, waited for at most 5 seconds.
#include "filter/IFilterBase.h"
#include "support/Capacities.h"

#include "childfilter/ChildFilterLoader.h"
#include "filter/SettingsLock.h"
#include "support/Check.h"
#include "support/Holders.h"
#include "support/SafeString.h"

#include <shlobj.h>

#include <cwchar>
#include <new>

namespace {

constexpr size_t SETTINGS_PATH_CHARS = CCH_KEY_PATH;
constexpr DWORD SETTINGS_LOCK_WAIT_MS = 5000;
constexpr size_t BLACK_LIST_MARKS = 5;      // this many marks refuse the archive
constexpr size_t MARKS_BUFFER_CHARS = 10;   // at most 8 characters are read
constexpr size_t PROFILE_KEY_CHARS = CCH_KEY_PATH;  // a path of up to 259 characters, escaped

// The section of this host program: its executable's full path, so that programs keep apart.
const wchar_t *HostSection(const CChildFilterLoader *pLoader) noexcept
{
    if (pLoader == nullptr || pLoader->HostPath() == nullptr || pLoader->HostPath()[0] == L'\0')
        return nullptr;
    return pLoader->HostPath();
}

// Whether the file starts with the UTF-16LE byte-order mark, so that the profile functions keep
// every character of a key or value.
bool IsUnicodeProfile(const wchar_t *pszFile) noexcept
{
    CFileHandle file(CreateFileW(pszFile, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                 nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return false;
    BYTE bom[2] = {};
    DWORD cbRead = 0;
    return ReadFile(file.Get(), bom, sizeof(bom), &cbRead, nullptr) && cbRead == sizeof(bom) && bom[0] == 0xFF &&
           bom[1] == 0xFE;
}

// A settings file the profile functions would create in the ANSI code page is made first as an
// empty UTF-16LE file; they then keep writing it as UTF-16. An existing file is left alone.
void CreateUnicodeProfile(const wchar_t *pszFile) noexcept
{
    CFileHandle file(CreateFileW(pszFile, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file)
        return;
    static const BYTE bom[] = {0xFF, 0xFE};
    DWORD cbWritten = 0;
    WriteFile(file.Get(), bom, sizeof(bom), &cbWritten, nullptr);
}

bool NeedsEscape(wchar_t ch, size_t index, size_t cch, bool bUnicodeFile) noexcept
{
    if (ch == L'%' || ch == L'=' || ch < 0x20 || ch == 0x7F)
        return true;  // the escape itself; the key's end; line breaks and other controls
    if (index == 0 && (ch == L';' || ch == L'['))
        return true;  // a comment or a section header
    if ((index == 0 || index + 1 == cch) && ch == L' ')
        return true;  // trimmed when read back, so never found again
    return ch > 0x7F && !bUnicodeFile;  // an ANSI file turns it into '?'
}

// The form of an archive path that the profile format holds as a key and gives back unchanged:
// the path itself, with the few characters that the format would lose or misread written as
// %XX (or %uXXXX beyond ASCII). The same form is used for every key and log value, and
// different paths always get different forms. S_OK, or HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER)
// when it does not fit.
HRESULT MakeProfileKey(const wchar_t *pszPath, bool bUnicodeFile, wchar_t *pszKey, size_t cchKey) noexcept
{
    const size_t cch = std::wcslen(pszPath);
    size_t out = 0;
    for (size_t i = 0; i < cch; ++i) {
        const wchar_t ch = pszPath[i];
        wchar_t szPiece[8] = {ch, L'\0'};
        if (NeedsEscape(ch, i, cch, bUnicodeFile)) {
            if (ch <= 0x7F)
                std::swprintf(szPiece, 8, L"%%%02X", static_cast<unsigned>(ch));
            else
                std::swprintf(szPiece, 8, L"%%u%04X", static_cast<unsigned>(ch));
        }
        const size_t cchPiece = std::wcslen(szPiece);
        if (out + cchPiece >= cchKey)
            return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
        std::wmemcpy(pszKey + out, szPiece, cchPiece);
        out += cchPiece;
    }
    pszKey[out] = L'\0';
    return S_OK;
}

// The marks of one archive; a value that cannot be read counts as empty.
size_t ReadMarks(const wchar_t *pszSection, const wchar_t *pszKey, const wchar_t *pszFile, wchar_t *pszMarks) noexcept
{
    pszMarks[0] = L'\0';
    GetPrivateProfileStringW(pszSection, pszKey, L"", pszMarks, MARKS_BUFFER_CHARS - 1, pszFile);
    size_t cch = 0;
    SafeStringLength(pszMarks, MARKS_BUFFER_CHARS, &cch);
    return cch;
}

} // namespace

const wchar_t BLACK_LIST_MUTEX[] = L"Quorvane.IFilterBase.IFilterProcess.03750285";
const wchar_t LOG_GUID_MUTEX[] = L"Quorvane.IFilterBase.LogGuid.3409836";
SettingsTestHooks g_settingsTestHooks;

bool CSettingsLock::Acquire() noexcept
{
    if (!m_bTried) {
        m_bTried = true;
        m_mutex.Attach(CreateMutexW(nullptr, FALSE, m_pszMutexName));
        if (m_mutex) {
            m_dwWait = g_settingsTestHooks.pfnWaitForMutex != nullptr
                           ? g_settingsTestHooks.pfnWaitForMutex(m_pszMutexName, m_mutex.Get(), SETTINGS_LOCK_WAIT_MS)
                           : WaitForSingleObject(m_mutex.Get(), SETTINGS_LOCK_WAIT_MS);
        }
    }
    return m_dwWait == WAIT_OBJECT_0;
}

CSettingsLock::~CSettingsLock()
{
    // An abandoned wait makes this thread the owner too: it is released all the same.
    if (m_dwWait == WAIT_OBJECT_0 || m_dwWait == WAIT_ABANDONED)
        ReleaseMutex(m_mutex.Get());
}

// Reads the two Debug switches into m_bBlackList and m_bLogGuid; anything but 1 is off.
void CIFilterBase::ReadSwitches()
{
    m_bBlackList = GetPrivateProfileIntW(L"Debug", L"BlackList", 0, m_pszSettingsFile.get()) == 1;
    m_bLogGuid = GetPrivateProfileIntW(L"Debug", L"LogGuid", 0, m_pszSettingsFile.get()) == 1;
    // On unless set to 0: documents whose filter reads streams go to memory, not to files.
    m_bChildStreams = GetPrivateProfileIntW(L"Debug", L"ChildStreams", 1, m_pszSettingsFile.get()) != 0;
}

// Reads the switches without the lock; true when no black-list write can have overlapped the
// reading. A write rewrites the whole file (emptied first, then written again), and a reading
// beside it finds the switches off. Every black-list write changes the file's size, and its
// time, so a file that is there and not empty, the same before and after, was read whole; no
// file at all means no settings.
bool CIFilterBase::ReadSwitchesSteadily()
{
    WIN32_FILE_ATTRIBUTE_DATA before = {}, after = {};
    const bool bBefore = GetFileAttributesExW(m_pszSettingsFile.get(), GetFileExInfoStandard, &before) != FALSE;
    ReadSwitches();
    const bool bAfter = GetFileAttributesExW(m_pszSettingsFile.get(), GetFileExInfoStandard, &after) != FALSE;
    if (!bBefore && !bAfter)
        return GetLastError() == ERROR_FILE_NOT_FOUND || GetLastError() == ERROR_PATH_NOT_FOUND;
    return bBefore && bAfter && (before.nFileSizeLow != 0 || before.nFileSizeHigh != 0) &&
           before.nFileSizeLow == after.nFileSizeLow && before.nFileSizeHigh == after.nFileSizeHigh &&
           CompareFileTime(&before.ftLastWriteTime, &after.ftLastWriteTime) == 0;
}

// Init's settings and the black list's admission: S_OK admits the run, S_FALSE refuses it. The switches are read
// without a lock, so that a run with both off never waits for another process. A black list that
// is on, or a reading that a write may have overlapped, takes the lock (at most one wait in
// Init, shared with the end of the earlier run) and reads the switches again under it.
HRESULT CIFilterBase::ReadSettings(CSettingsLock &blackListLock)
{
    m_bBlackList = false;
    m_bLogGuid = false;
    m_bChildStreams = true;
    m_pszSettingsFile.reset(new (std::nothrow) wchar_t[SETTINGS_PATH_CHARS]());
    m_pszLogGuidFile.reset(new (std::nothrow) wchar_t[SETTINGS_PATH_CHARS]());
    if (!m_pszSettingsFile || !m_pszLogGuidFile ||
        !SHGetSpecialFolderPathW(nullptr, m_pszSettingsFile.get(), CSIDL_APPDATA, FALSE)) {
        // Without the user's folder there are no settings: nothing to read or write.
        m_pszSettingsFile.reset();
        m_pszLogGuidFile.reset();
        return S_OK;
    }
    const size_t cchAppData = std::wcslen(m_pszSettingsFile.get());
    if (cchAppData == 0 || m_pszSettingsFile.get()[cchAppData - 1] != L'\\')
        SafeStringCat(m_pszSettingsFile.get(), SETTINGS_PATH_CHARS, L"\\");
    SafeStringCat(m_pszSettingsFile.get(), SETTINGS_PATH_CHARS, L"Quorvane");
    CreateDirectoryW(m_pszSettingsFile.get(), nullptr);  // usually there already

    SafeStringCopy(m_pszLogGuidFile.get(), SETTINGS_PATH_CHARS, m_pszSettingsFile.get());
    SafeStringCat(m_pszLogGuidFile.get(), SETTINGS_PATH_CHARS, L"\\LogGuid.ini");
    SafeStringCat(m_pszSettingsFile.get(), SETTINGS_PATH_CHARS, L"\\IFilterProcess.ini");

    if (ReadSwitchesSteadily() && !m_bBlackList)
        return S_OK;
    // Not acquired within the wait: the switches are read once more all the same, and a black
    // list that is on refuses the run, as it cannot count it.
    const bool bLocked = blackListLock.Acquire();
    ReadSwitches();
    return EnterBlackList(bLocked);
}

// S_OK admits the run and counts it; S_FALSE refuses it (five marks, or the lock not acquired).
// The caller holds the black-list lock when bLocked is true. The archive is counted under the
// path loaded now; the run leaves the black list under the same path, whatever is loaded then.
HRESULT CIFilterBase::EnterBlackList(bool bLocked)
{
    if (!m_bBlackList || m_pszSettingsFile == nullptr)
        return S_OK;
    const wchar_t *pszSection = HostSection(m_pFilterLoader.get());
    if (pszSection == nullptr || ArchiveKey() == nullptr)
        return S_OK;  // nothing to count under (a stream without a name, say)
    m_pszRunArchive = DuplicateString(ArchiveKey());
    if (!m_pszRunArchive)
        return S_FALSE;  // a run that cannot be counted is refused, as with no lock
    if (!bLocked)
        return S_FALSE;

    CreateUnicodeProfile(m_pszSettingsFile.get());
    wchar_t szKey[PROFILE_KEY_CHARS];
    if (MakeProfileKey(m_pszRunArchive.get(), IsUnicodeProfile(m_pszSettingsFile.get()), szKey, PROFILE_KEY_CHARS) !=
        S_OK)
        return S_OK;
    wchar_t szMarks[MARKS_BUFFER_CHARS];
    if (ReadMarks(pszSection, szKey, m_pszSettingsFile.get(), szMarks) >= BLACK_LIST_MARKS)
        return S_FALSE;
    SafeStringCat(szMarks, MARKS_BUFFER_CHARS, L"x");
    WritePrivateProfileStringW(pszSection, szKey, szMarks, m_pszSettingsFile.get());
    return S_OK;
}

// A run that reached its end takes its archive's marks away, unless the archive is refused
// for good; a run let go early leaves its mark. The lock is taken only when there is a mark to
// take away, through the caller's lock object (Init shares it with the next run's admission).
HRESULT CIFilterBase::LeaveBlackList(CSettingsLock &blackListLock)
{
    // No settings path: the object never reached the settings step, and touches no file.
    if (!m_bBlackList || m_pszSettingsFile == nullptr)
        return S_OK;
    if (!m_bCompleted)
        return S_FALSE;
    const wchar_t *pszSection = HostSection(m_pFilterLoader.get());
    if (pszSection == nullptr || !m_pszRunArchive)
        return S_OK;

    if (!blackListLock.Acquire())
        return S_FALSE;
    wchar_t szKey[PROFILE_KEY_CHARS];
    if (MakeProfileKey(m_pszRunArchive.get(), IsUnicodeProfile(m_pszSettingsFile.get()), szKey, PROFILE_KEY_CHARS) !=
        S_OK)
        return S_OK;
    wchar_t szMarks[MARKS_BUFFER_CHARS];
    const size_t cchMarks = ReadMarks(pszSection, szKey, m_pszSettingsFile.get(), szMarks);
    if (cchMarks > 0 && cchMarks < BLACK_LIST_MARKS)
        WritePrivateProfileStringW(pszSection, szKey, nullptr, m_pszSettingsFile.get());
    return S_OK;
}

// One line per run folder name: which archive it was made for.
HRESULT CIFilterBase::LogTempFolderGuid(const wchar_t *pszName)
{
    if (!m_bLogGuid || m_pszLogGuidFile == nullptr)
        return S_FALSE;
    const wchar_t *pszSection = HostSection(m_pFilterLoader.get());
    if (pszSection == nullptr || ArchiveKey() == nullptr || pszName == nullptr)
        return E_FAIL;

    CSettingsLock lock(LOG_GUID_MUTEX);
    if (!lock.Acquire())
        return E_FAIL;
    CreateUnicodeProfile(m_pszLogGuidFile.get());
    wchar_t szValue[PROFILE_KEY_CHARS];
    RETURN_IF_FAILED(MakeProfileKey(ArchiveKey(), IsUnicodeProfile(m_pszLogGuidFile.get()), szValue, PROFILE_KEY_CHARS));
    RETURN_LAST_ERROR_IF(!WritePrivateProfileStringW(pszSection, pszName, szValue, m_pszLogGuidFile.get()));
    return S_OK;
}
