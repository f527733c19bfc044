#include "module/Registration.h"
#include "support/Capacities.h"
#include "module/Module.h"
#include "support/Guids.h"
#include "support/Holders.h"
#include "support/SafeString.h"
#include "support/Version.h"

#include <olectl.h>
#include <wchar.h>
#include <initializer_list>

const ClassEntry c_FilterClass = {
    L"{B32C2A21-8912-48d0-B31D-D99CE9B5FC7C}",
    L"Quorvane RAR filter",
    PELLUCIDOR_MODULE_NAME,
    L"Both",
};

const HandlerEntry c_PersistentHandler = {
    L"{1D77BAD8-8F6A-4977-947E-133D5DEC961C}",
    L"Quorvane RAR filter Persistent Handler",
    L"{B32C2A21-8912-48d0-B31D-D99CE9B5FC7C}",
};

const FileTypeEntry c_FileTypes[] = {
    {
        L".rar",
        L"rar.file",
        L"RAR Archive",
        L"{65A63621-E82A-480d-87FB-EC98F151FBD2}",
        L"RAR Archive",
    },
};
const size_t c_cFileTypes = sizeof(c_FileTypes) / sizeof(c_FileTypes[0]);

namespace {

const wchar_t *const PERSISTENT_HANDLER_KEY = L"PersistentHandler";

// The row data that stands for this module's path, found when registration runs.
const wchar_t MODULE_PATH[] = L"(this module)";

// A key below HKEY_CLASSES_ROOT, name by name (unused names NULL), and one value in it.
struct RegistryRow {
    const wchar_t *names[4];
    const wchar_t *valueName;  // NULL: the key's default value
    const wchar_t *data;       // NULL: the key only; MODULE_PATH: this module's path
};

// The handler class and the filter class, written in this order and deleted deepest first.
const RegistryRow c_classRows[] = {
    {{L"CLSID", c_PersistentHandler.clsid}, nullptr, c_PersistentHandler.description},
    {{L"CLSID", c_PersistentHandler.clsid, L"PersistentAddinsRegistered"}, nullptr, nullptr},
    {{L"CLSID", c_PersistentHandler.clsid, L"PersistentAddinsRegistered", IID_IFILTER_KEY}, nullptr,
     c_PersistentHandler.filterClsid},
    {{L"CLSID", c_FilterClass.clsid}, nullptr, c_FilterClass.description},
    {{L"CLSID", c_FilterClass.clsid, L"InprocServer32"}, nullptr, MODULE_PATH},
    {{L"CLSID", c_FilterClass.clsid, L"InprocServer32"}, L"ThreadingModel", c_FilterClass.threadingModel},
};

// Is row's key an ancestor of below's (a proper prefix, name by name)?
bool IsKeyAbove(const RegistryRow &row, const RegistryRow &below)
{
    size_t i = 0;
    for (; i < ARRAYSIZE(row.names) && row.names[i] != nullptr; ++i) {
        if (below.names[i] == nullptr || _wcsicmp(row.names[i], below.names[i]) != 0)
            return false;
    }
    return i < ARRAYSIZE(below.names) && below.names[i] != nullptr;
}

constexpr size_t KEY_PATH_CCH = CCH_FILE_PATH;
constexpr DWORD VALUE_CCH = CCH_FILE_PATH;    // values that name a key we go on to open
constexpr DWORD COMPARE_CCH = 260;  // values only compared with a class or ProgID
constexpr size_t NAME_LIMIT = 260;  // a ProgID or extension this long cannot be a key name

// Key paths live in fixed buffers; a path that does not fit is an error, never a shorter key.
LONG AppendKeyName(wchar_t *pszPath, const wchar_t *pszName)
{
    if (pszPath[0] != L'\0' && FAILED(SafeStringCat(pszPath, KEY_PATH_CCH, L"\\")))
        return ERROR_INSUFFICIENT_BUFFER;
    return FAILED(SafeStringCat(pszPath, KEY_PATH_CCH, pszName)) ? ERROR_INSUFFICIENT_BUFFER : ERROR_SUCCESS;
}

template <class Names>
LONG MakeKeyPath(wchar_t *pszPath, const Names &names)
{
    pszPath[0] = L'\0';
    for (const wchar_t *pszName : names) {
        if (pszName == nullptr)
            break;
        const LONG err = AppendKeyName(pszPath, pszName);
        if (err != ERROR_SUCCESS)
            return err;
    }
    return ERROR_SUCCESS;
}

LONG MakeKeyPath(wchar_t *pszPath, std::initializer_list<const wchar_t *> names)
{
    return MakeKeyPath<std::initializer_list<const wchar_t *>>(pszPath, names);
}

LONG OpenKey(const wchar_t *pszPath, CRegKey &key)
{
    return RegOpenKeyExW(HKEY_CLASSES_ROOT, pszPath, 0, KEY_ALL_ACCESS, key.Put());
}

LONG CreateKey(const wchar_t *pszPath, CRegKey &key, BOOL *pbCreated = nullptr)
{
    DWORD dwDisposition = 0;
    const LONG err = RegCreateKeyExW(HKEY_CLASSES_ROOT, pszPath, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                                     nullptr, key.Put(), &dwDisposition);
    if (pbCreated != nullptr)
        *pbCreated = err == ERROR_SUCCESS && dwDisposition == REG_CREATED_NEW_KEY;
    return err;
}

// pszName NULL: the key's default value.
LONG WriteString(HKEY hKey, const wchar_t *pszName, const wchar_t *pszText)
{
    const DWORD cb = static_cast<DWORD>((wcslen(pszText) + 1) * sizeof(wchar_t));
    return RegSetValueExW(hKey, pszName, 0, REG_SZ, reinterpret_cast<const BYTE *>(pszText), cb);
}

// With bExistingOnly the key must already be there (ERROR_FILE_NOT_FOUND otherwise). Without, it
// is created, and pszDescription (unless NULL) becomes the default value of a key created now.
LONG OpenOrCreateKey(const wchar_t *pszPath, BOOL bExistingOnly, const wchar_t *pszDescription, CRegKey &key)
{
    if (bExistingOnly)
        return OpenKey(pszPath, key);
    BOOL bCreated = FALSE;
    const LONG err = CreateKey(pszPath, key, &bCreated);
    if (err == ERROR_SUCCESS && bCreated && pszDescription != nullptr)
        return WriteString(key.Get(), nullptr, pszDescription);
    return err;
}

// The key at pszPath gets a PersistentHandler subkey naming the handler (pszPath is extended).
LONG WriteHandlerLink(wchar_t *pszPath, const wchar_t *pszHandler)
{
    LONG err = AppendKeyName(pszPath, PERSISTENT_HANDLER_KEY);
    if (err != ERROR_SUCCESS)
        return err;
    CRegKey link;
    err = CreateKey(pszPath, link);
    if (err != ERROR_SUCCESS)
        return err;
    return WriteString(link.Get(), nullptr, pszHandler);
}

// The key's default value in a buffer of cch characters, always terminated; data that fills the
// buffer without its own NUL does not fit.
LONG ReadStringValue(HKEY hKey, const wchar_t *pszName, wchar_t *pszValue, DWORD cch, DWORD *pdwType)
{
    DWORD cb = cch * sizeof(wchar_t);
    *pdwType = REG_NONE;
    LONG err = RegQueryValueExW(hKey, pszName, nullptr, pdwType, reinterpret_cast<BYTE *>(pszValue), &cb);
    const DWORD cchRead = cb / sizeof(wchar_t);
    if (err == ERROR_SUCCESS) {
        if (cchRead < cch)
            pszValue[cchRead] = L'\0';
        else if (pszValue[cch - 1] != L'\0')
            err = ERROR_MORE_DATA;
    }
    if (err != ERROR_SUCCESS)
        pszValue[0] = L'\0';
    return err;
}

LONG ReadDefaultValue(HKEY hKey, wchar_t *pszValue, DWORD cch, DWORD *pdwType)
{
    return ReadStringValue(hKey, nullptr, pszValue, cch, pdwType);
}

// TRUE when the key's default value is a REG_SZ equal to pszExpected, ignoring case.
BOOL DefaultValueEquals(HKEY hKey, const wchar_t *pszExpected)
{
    wchar_t szValue[COMPARE_CCH];
    DWORD dwType = REG_NONE;
    return ReadDefaultValue(hKey, szValue, COMPARE_CCH, &dwType) == ERROR_SUCCESS && dwType == REG_SZ &&
           _wcsicmp(szValue, pszExpected) == 0;
}

// When the count cannot be read, the key is taken to have subkeys: it is then left alone.
BOOL HasSubkeys(HKEY hKey)
{
    DWORD cSubkeys = 0;
    if (RegQueryInfoKeyW(hKey, nullptr, nullptr, nullptr, &cSubkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
        return TRUE;
    return cSubkeys != 0;
}

BOOL IsShorterThan(const wchar_t *pszText, size_t cchLimit)
{
    size_t cch = 0;
    return SUCCEEDED(SafeStringLength(pszText, cchLimit, &cch));
}

// The first failure of a sequence of steps that all run.
void KeepFirstError(LONG &status, LONG err)
{
    if (status == ERROR_SUCCESS)
        status = err;
}

enum class WalkStep { Next, Restart };

// Visits the subkeys of hParent from the first. A visit that deleted a key asks for a restart,
// because the indexes after it have shifted; a visit that deleted nothing (or failed to) moves
// on, so a key that cannot be removed is not met again and again. Every restart follows the
// removal of one match, so the subkeys present at the start bound the restarts.
template <class Visit>
LONG WalkSubkeys(HKEY hParent, Visit visit)
{
    DWORD cSubkeys = 0;
    LONG err = RegQueryInfoKeyW(hParent, nullptr, nullptr, nullptr, &cSubkeys, nullptr, nullptr, nullptr, nullptr,
                                nullptr, nullptr, nullptr);
    if (err != ERROR_SUCCESS)
        return err;
    DWORD cRestartsLeft = cSubkeys + 1;
    wchar_t szName[KEY_PATH_CCH];
    DWORD dwIndex = 0;
    for (;;) {
        DWORD cchName = KEY_PATH_CCH;
        err = RegEnumKeyExW(hParent, dwIndex, szName, &cchName, nullptr, nullptr, nullptr, nullptr);
        if (err == ERROR_NO_MORE_ITEMS)
            return ERROR_SUCCESS;
        if (err != ERROR_SUCCESS)
            return err;
        if (visit(szName) == WalkStep::Next) {
            ++dwIndex;
            continue;
        }
        if (cRestartsLeft-- == 0)
            return ERROR_RETRY;
        dwIndex = 0;
    }
}

// One match of a walk: deletes the link below the key at pszKeyPath. When that fails the walk
// moves on; when it leaves the key empty, removeEmpty takes the key away too.
template <class RemoveEmpty>
WalkStep RemoveLink(const wchar_t *pszKeyPath, const wchar_t *pszLink, LONG &status, RemoveEmpty removeEmpty)
{
    CRegKey key;
    LONG err = OpenKey(pszKeyPath, key);
    if (err == ERROR_SUCCESS)
        err = RegDeleteKeyW(key.Get(), pszLink);
    KeepFirstError(status, err);
    if (err != ERROR_SUCCESS)
        return WalkStep::Next;
    if (!HasSubkeys(key.Get())) {
        key.Close();
        KeepFirstError(status, removeEmpty());
    }
    return WalkStep::Restart;
}

// The handler the PersistentHandler link below hParent names when it is another product's, in
// pszOther (cch characters); an empty string when the link names pszHandler, is empty, holds
// another type or is absent.
LONG ReadOtherHandler(HKEY hParent, const wchar_t *pszHandler, wchar_t *pszOther, DWORD cch)
{
    pszOther[0] = L'\0';
    CRegKey link;
    LONG err = RegOpenKeyExW(hParent, PERSISTENT_HANDLER_KEY, 0, KEY_QUERY_VALUE, link.Put());
    if (err == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    if (err != ERROR_SUCCESS)
        return err;
    DWORD dwType = REG_NONE;
    err = ReadDefaultValue(link.Get(), pszOther, cch, &dwType);
    if (err == ERROR_SUCCESS && (dwType != REG_SZ || _wcsicmp(pszOther, pszHandler) == 0))
        pszOther[0] = L'\0';
    return err == ERROR_FILE_NOT_FOUND ? ERROR_SUCCESS : err;
}

// A document class's kept handler at unregistration (hClass open for writing, szKept what it
// holds): written back when the link names ours or none, then the kept value goes. A link that
// another product has re-pointed since is left to it.
LONG PutBackClassHandler(HKEY hClass, const wchar_t *pszHandler, const wchar_t *pszKept)
{
    wchar_t szOther[COMPARE_CCH];
    LONG err = ReadOtherHandler(hClass, pszHandler, szOther, COMPARE_CCH);
    if (err == ERROR_SUCCESS && szOther[0] == L'\0') {
        CRegKey link;
        err = RegCreateKeyExW(hClass, PERSISTENT_HANDLER_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS,
                              nullptr, link.Put(), nullptr);
        if (err == ERROR_SUCCESS)
            err = WriteString(link.Get(), nullptr, pszKept);
    }
    LONG status = err;
    KeepFirstError(status, RegDeleteValueW(hClass, PREVIOUS_CLASS_HANDLER_VALUE));
    return status;
}

BOOL IsExistingOnly()
{
    return IsVersionAtLeast(5, 0, 0, VER_PLATFORM_WIN32_NT);
}

LONG RegisterHandlerOnClass(const FileTypeEntry &entry, const wchar_t *pszHandler, const wchar_t *pszClsid,
                            BOOL bExistingOnly)
{
    wchar_t szPath[KEY_PATH_CCH];
    LONG err = MakeKeyPath(szPath, {L"CLSID", pszClsid != nullptr ? pszClsid : entry.classClsid});
    if (err != ERROR_SUCCESS)
        return err;
    CRegKey classKey;
    err = OpenOrCreateKey(szPath, bExistingOnly, pszClsid == nullptr ? entry.classDescription : nullptr, classKey);
    if (bExistingOnly && err == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    if (err != ERROR_SUCCESS)
        return err;
    // Before the link is written: another product's handler that cannot be kept is not replaced.
    wchar_t szOther[COMPARE_CCH];
    err = ReadOtherHandler(classKey.Get(), pszHandler, szOther, COMPARE_CCH);
    if (err == ERROR_SUCCESS && szOther[0] != L'\0')
        err = WriteString(classKey.Get(), PREVIOUS_CLASS_HANDLER_VALUE, szOther);
    if (err != ERROR_SUCCESS)
        return err;
    classKey.Close();
    return WriteHandlerLink(szPath, pszHandler);
}

LONG RegisterHandlerThroughProgId(const FileTypeEntry &entry, const wchar_t *pszHandler, const wchar_t *pszProgId,
                                  BOOL bExistingOnly)
{
    const wchar_t *pszName = pszProgId != nullptr ? pszProgId : entry.progId;
    if (!IsShorterThan(pszName, NAME_LIMIT))
        return ERROR_INSUFFICIENT_BUFFER;
    wchar_t szPath[KEY_PATH_CCH];
    LONG err = MakeKeyPath(szPath, {pszName});
    if (err != ERROR_SUCCESS)
        return err;
    CRegKey progIdKey;
    err = OpenOrCreateKey(szPath, bExistingOnly, pszProgId == nullptr ? entry.progIdDescription : nullptr, progIdKey);
    if (bExistingOnly && err == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    if (err != ERROR_SUCCESS)
        return err;
    progIdKey.Close();

    err = AppendKeyName(szPath, L"CLSID");
    if (err != ERROR_SUCCESS)
        return err;
    CRegKey clsidKey;
    err = OpenOrCreateKey(szPath, bExistingOnly, nullptr, clsidKey);
    if (bExistingOnly && err == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    if (err != ERROR_SUCCESS)
        return err;

    wchar_t szClass[VALUE_CCH];
    DWORD dwType = REG_NONE;
    err = ReadDefaultValue(clsidKey.Get(), szClass, VALUE_CCH, &dwType);
    if (err == ERROR_SUCCESS && dwType != REG_SZ)
        return ERROR_DATATYPE_MISMATCH;
    // An empty class name would make "CLSID\" itself the document class: treat it as absent.
    if (err == ERROR_FILE_NOT_FOUND || (err == ERROR_SUCCESS && szClass[0] == L'\0')) {
        if (bExistingOnly)
            return ERROR_SUCCESS;
        err = WriteString(clsidKey.Get(), nullptr, entry.classClsid);
        if (err != ERROR_SUCCESS)
            return err;
        clsidKey.Close();
        return RegisterHandlerOnClass(entry, pszHandler, nullptr, bExistingOnly);
    }
    if (err != ERROR_SUCCESS)
        return err;
    clsidKey.Close();
    return RegisterHandlerOnClass(entry, pszHandler, szClass, bExistingOnly);
}

LONG RegisterHandlerOnExtension(const FileTypeEntry &entry, const wchar_t *pszHandler, BOOL bExistingOnly)
{
    if (!IsShorterThan(entry.extension, NAME_LIMIT))
        return ERROR_INSUFFICIENT_BUFFER;
    wchar_t szPath[KEY_PATH_CCH];
    LONG err = MakeKeyPath(szPath, {entry.extension});
    if (err != ERROR_SUCCESS)
        return err;
    CRegKey extensionKey;
    BOOL bCreated = FALSE;
    err = CreateKey(szPath, extensionKey, &bCreated);
    if (err != ERROR_SUCCESS)
        return err;

    wchar_t szProgId[VALUE_CCH];
    const wchar_t *pszProgId = nullptr;
    if (!bCreated) {
        DWORD dwType = REG_NONE;
        err = ReadDefaultValue(extensionKey.Get(), szProgId, VALUE_CCH, &dwType);
        if (err == ERROR_SUCCESS && dwType != REG_SZ)
            return ERROR_DATATYPE_MISMATCH;
        // An empty default names no ProgID (following it would open the root itself).
        if (err == ERROR_SUCCESS && szProgId[0] != L'\0')
            pszProgId = szProgId;
        else if (err != ERROR_SUCCESS && err != ERROR_FILE_NOT_FOUND && bExistingOnly)
            return err;
    }
    if (!bExistingOnly && pszProgId == nullptr) {
        err = WriteString(extensionKey.Get(), nullptr, entry.progId);
        if (err != ERROR_SUCCESS)
            return err;
    }
    extensionKey.Close();
    err = WriteHandlerLink(szPath, pszHandler);
    if (err != ERROR_SUCCESS)
        return err;

    if (pszProgId != nullptr || !bExistingOnly)
        return RegisterHandlerThroughProgId(entry, pszHandler, pszProgId, bExistingOnly);
    return ERROR_SUCCESS;
}

LONG RemoveProgIdAndReferences(const wchar_t *pszProgId)
{
    CRegKey root;
    if (RegOpenKeyExW(HKEY_CLASSES_ROOT, nullptr, 0, KEY_ALL_ACCESS, root.Put()) != ERROR_SUCCESS)
        return ERROR_SUCCESS;
    // While the ProgID stays, the keys that name it still lead somewhere: leave them.
    LONG status = RegDeleteKeyW(root.Get(), pszProgId);
    if (status != ERROR_SUCCESS)
        return status;

    const LONG err = WalkSubkeys(root.Get(), [&](const wchar_t *pszName) {
        CRegKey key;
        if (RegOpenKeyExW(root.Get(), pszName, 0, KEY_ALL_ACCESS, key.Put()) != ERROR_SUCCESS ||
            !DefaultValueEquals(key.Get(), pszProgId))
            return WalkStep::Next;
        KeepFirstError(status, RegDeleteValueW(key.Get(), nullptr));
        if (HasSubkeys(key.Get()))
            return WalkStep::Next;
        key.Close();
        const LONG errDelete = RegDeleteKeyW(root.Get(), pszName);
        KeepFirstError(status, errDelete);
        return errDelete == ERROR_SUCCESS ? WalkStep::Restart : WalkStep::Next;
    });
    KeepFirstError(status, err);
    return status;
}

LONG RemoveClassAndProgIds(const wchar_t *pszClsid)
{
    CRegKey clsidRoot;
    if (OpenKey(L"CLSID", clsidRoot) != ERROR_SUCCESS)
        return ERROR_SUCCESS;
    // While the class stays, the ProgIDs that name it still lead somewhere: leave them.
    LONG status = RegDeleteKeyW(clsidRoot.Get(), pszClsid);
    clsidRoot.Close();
    if (status != ERROR_SUCCESS)
        return status;

    const LONG err = WalkSubkeys(HKEY_CLASSES_ROOT, [&](const wchar_t *pszName) {
        wchar_t szPath[KEY_PATH_CCH];
        CRegKey clsidKey;
        if (MakeKeyPath(szPath, {pszName, L"CLSID"}) != ERROR_SUCCESS || OpenKey(szPath, clsidKey) != ERROR_SUCCESS ||
            !DefaultValueEquals(clsidKey.Get(), pszClsid))
            return WalkStep::Next;
        clsidKey.Close();
        return RemoveLink(pszName, L"CLSID", status, [&] { return RemoveProgIdAndReferences(pszName); });
    });
    KeepFirstError(status, err);
    return status;
}

LONG UnlinkDocumentClasses(const HandlerEntry &entry)
{
    LONG status = ERROR_SUCCESS;
    CRegKey clsidRoot;
    LONG err = OpenKey(L"CLSID", clsidRoot);
    if (err != ERROR_SUCCESS)
        return err;
    err = WalkSubkeys(clsidRoot.Get(), [&](const wchar_t *pszClass) {
        wchar_t szPath[KEY_PATH_CCH];
        CRegKey classKey;
        if (MakeKeyPath(szPath, {L"CLSID", pszClass}) != ERROR_SUCCESS || OpenKey(szPath, classKey) != ERROR_SUCCESS)
            return WalkStep::Next;
        wchar_t szKept[COMPARE_CCH];
        DWORD dwType = REG_NONE;
        const LONG errKept = ReadStringValue(classKey.Get(), PREVIOUS_CLASS_HANDLER_VALUE, szKept, COMPARE_CCH, &dwType);
        if (errKept == ERROR_SUCCESS && dwType == REG_SZ && szKept[0] != L'\0') {
            KeepFirstError(status, PutBackClassHandler(classKey.Get(), entry.clsid, szKept));
            return WalkStep::Next;
        }
        // A kept value that cannot be written back goes; the link is then removed as usual.
        if (errKept != ERROR_FILE_NOT_FOUND)
            KeepFirstError(status, RegDeleteValueW(classKey.Get(), PREVIOUS_CLASS_HANDLER_VALUE));
        CRegKey link;
        if (RegOpenKeyExW(classKey.Get(), PERSISTENT_HANDLER_KEY, 0, KEY_QUERY_VALUE, link.Put()) != ERROR_SUCCESS ||
            !DefaultValueEquals(link.Get(), entry.clsid))
            return WalkStep::Next;
        link.Close();
        classKey.Close();
        return RemoveLink(szPath, PERSISTENT_HANDLER_KEY, status, [&] { return RemoveClassAndProgIds(pszClass); });
    });
    KeepFirstError(status, err);
    return status;
}

// The handler class's own key, HKCR\CLSID\{handler}.
LONG OpenHandlerClassKey(const HandlerEntry &handler, CRegKey &key)
{
    wchar_t szPath[KEY_PATH_CCH];
    const LONG err = MakeKeyPath(szPath, {L"CLSID", handler.clsid});
    return err == ERROR_SUCCESS ? OpenKey(szPath, key) : err;
}

LONG KeepPreviousHandler(const FileTypeEntry &entry, const HandlerEntry &handler)
{
    CRegKey extensionKey;
    LONG err = RegOpenKeyExW(HKEY_CLASSES_ROOT, entry.extension, 0, KEY_QUERY_VALUE, extensionKey.Put());
    if (err == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    if (err != ERROR_SUCCESS)
        return err;
    wchar_t szPrevious[COMPARE_CCH];
    err = ReadOtherHandler(extensionKey.Get(), handler.clsid, szPrevious, COMPARE_CCH);
    if (err != ERROR_SUCCESS || szPrevious[0] == L'\0')
        return err;
    extensionKey.Close();
    CRegKey handlerKey;
    err = OpenHandlerClassKey(handler, handlerKey);
    if (err != ERROR_SUCCESS)
        return err;
    return WriteString(handlerKey.Get(), PREVIOUS_HANDLER_VALUE, szPrevious);
}

LONG ReadPreviousHandler(const HandlerEntry &handler, wchar_t *pszPrevious, DWORD cch)
{
    pszPrevious[0] = L'\0';
    CRegKey handlerKey;
    LONG err = OpenHandlerClassKey(handler, handlerKey);
    if (err == ERROR_FILE_NOT_FOUND)
        return ERROR_SUCCESS;
    if (err != ERROR_SUCCESS)
        return err;
    DWORD dwType = REG_NONE;
    err = ReadStringValue(handlerKey.Get(), PREVIOUS_HANDLER_VALUE, pszPrevious, cch, &dwType);
    if (err == ERROR_SUCCESS && dwType != REG_SZ)
        pszPrevious[0] = L'\0';
    return err == ERROR_FILE_NOT_FOUND || err == ERROR_SUCCESS ? ERROR_SUCCESS : err;
}

LONG RemoveExtensionHandler(const FileTypeEntry &entry, const wchar_t *pszHandler, const wchar_t *pszPrevious)
{
    CRegKey extensionKey;
    LONG err = OpenKey(entry.extension, extensionKey);
    if (err != ERROR_SUCCESS)
        return err;
    if (pszPrevious == nullptr || pszPrevious[0] == L'\0')
        return RegDeleteKeyW(extensionKey.Get(), PERSISTENT_HANDLER_KEY);

    CRegKey link;
    err = RegOpenKeyExW(extensionKey.Get(), PERSISTENT_HANDLER_KEY, 0, KEY_ALL_ACCESS, link.Put());
    if (err == ERROR_SUCCESS) {
        wchar_t szCurrent[COMPARE_CCH];
        DWORD dwType = REG_NONE;
        const LONG errRead = ReadDefaultValue(link.Get(), szCurrent, COMPARE_CCH, &dwType);
        // Re-pointed by yet another product since: not ours to restore; removed as before.
        if (errRead != ERROR_FILE_NOT_FOUND && (errRead != ERROR_SUCCESS || _wcsicmp(szCurrent, pszHandler) != 0)) {
            link.Close();
            return RegDeleteKeyW(extensionKey.Get(), PERSISTENT_HANDLER_KEY);
        }
    } else if (err == ERROR_FILE_NOT_FOUND) {
        // The other registry view's unregistration removed the shared link already.
        err = RegCreateKeyExW(extensionKey.Get(), PERSISTENT_HANDLER_KEY, 0, nullptr, REG_OPTION_NON_VOLATILE,
                              KEY_ALL_ACCESS, nullptr, link.Put(), nullptr);
    }
    if (err != ERROR_SUCCESS)
        return err;
    return WriteString(link.Get(), nullptr, pszPrevious);
}

// This module's path, for its class's InprocServer32 key.
LONG GetModulePath(const ClassEntry &entry, wchar_t (&szModule)[KEY_PATH_CCH])
{
    const HMODULE hModule = GetModuleHandleW(entry.moduleName);
    if (hModule == nullptr)
        return static_cast<LONG>(GetLastError());
    const DWORD cch = GetModuleFileNameW(hModule, szModule, KEY_PATH_CCH);
    if (cch == 0)
        return static_cast<LONG>(GetLastError());
    return cch < KEY_PATH_CCH ? ERROR_SUCCESS : ERROR_INSUFFICIENT_BUFFER;
}

// Writes one row of the class table; a key that is there already is kept as it is, its value set.
LONG WriteRow(const RegistryRow &row, const wchar_t *pszModulePath)
{
    wchar_t szPath[KEY_PATH_CCH];
    LONG err = MakeKeyPath(szPath, row.names);
    if (err != ERROR_SUCCESS)
        return err;
    CRegKey key;
    err = CreateKey(szPath, key);
    if (err != ERROR_SUCCESS || row.data == nullptr)
        return err;
    return WriteString(key.Get(), row.valueName, row.data == MODULE_PATH ? pszModulePath : row.data);
}

// Deletes the keys of the class table, deepest first. A key that cannot be deleted (also one that
// is gone already) keeps the keys above it, and its error is the first one returned.
LONG DeleteRows()
{
    LONG status = ERROR_SUCCESS;
    const RegistryRow *pFailed = nullptr;
    for (size_t i = ARRAYSIZE(c_classRows); i-- > 0;) {
        const RegistryRow &row = c_classRows[i];
        if (row.valueName != nullptr)
            continue;  // a value in a key of an earlier row: it goes with that key
        if (pFailed != nullptr && IsKeyAbove(row, *pFailed))
            continue;
        wchar_t szPath[KEY_PATH_CCH];
        LONG err = MakeKeyPath(szPath, row.names);
        if (err == ERROR_SUCCESS)
            err = RegDeleteKeyW(HKEY_CLASSES_ROOT, szPath);
        if (err != ERROR_SUCCESS) {
            KeepFirstError(status, err);
            pFailed = &row;
        }
    }
    return status;
}

// The file-type steps of registration, each made for every file type before the next begins.
using FileTypeStep = LONG (*)(const FileTypeEntry &entry, const HandlerEntry &handler, BOOL bExistingOnly);
const FileTypeStep c_fileTypeSteps[] = {
    // Before any link is written: another product's handler that cannot be kept is not replaced.
    [](const FileTypeEntry &entry, const HandlerEntry &handler, BOOL) { return KeepPreviousHandler(entry, handler); },
    [](const FileTypeEntry &entry, const HandlerEntry &handler, BOOL bExistingOnly) {
        return RegisterHandlerOnClass(entry, handler.clsid, nullptr, bExistingOnly);
    },
    [](const FileTypeEntry &entry, const HandlerEntry &handler, BOOL bExistingOnly) {
        return RegisterHandlerThroughProgId(entry, handler.clsid, nullptr, bExistingOnly);
    },
    [](const FileTypeEntry &entry, const HandlerEntry &handler, BOOL bExistingOnly) {
        return RegisterHandlerOnExtension(entry, handler.clsid, bExistingOnly);
    },
};

} // namespace

STDAPI DllRegisterServer()
{
    wchar_t szModule[KEY_PATH_CCH];
    if (GetModulePath(c_FilterClass, szModule) != ERROR_SUCCESS)
        return SELFREG_E_CLASS;
    for (const RegistryRow &row : c_classRows) {
        if (WriteRow(row, szModule) != ERROR_SUCCESS)
            return SELFREG_E_CLASS;
    }
    const BOOL bExistingOnly = IsExistingOnly();
    for (const FileTypeStep step : c_fileTypeSteps) {
        for (size_t i = 0; i < c_cFileTypes; ++i) {
            if (step(c_FileTypes[i], c_PersistentHandler, bExistingOnly) != ERROR_SUCCESS)
                return SELFREG_E_CLASS;
        }
    }
    return S_OK;
}

STDAPI DllUnregisterServer()
{
    // Read before the handler class, which holds it, goes.
    wchar_t szPrevious[COMPARE_CCH];
    LONG status = ReadPreviousHandler(c_PersistentHandler, szPrevious, COMPARE_CCH);
    KeepFirstError(status, DeleteRows());
    KeepFirstError(status, UnlinkDocumentClasses(c_PersistentHandler));
    for (size_t i = 0; i < c_cFileTypes; ++i)
        KeepFirstError(status, RemoveExtensionHandler(c_FileTypes[i], c_PersistentHandler.clsid, szPrevious));
    return status == ERROR_SUCCESS ? S_OK : S_FALSE;
}
