#include "childfilter/RegistryHelpers.h"
#include "support/Capacities.h"
#include "childfilter/DLLsInformation.h"
#include "support/Guids.h"
#include "support/FileUtil.h"
#include "support/Holders.h"
#include "support/Registry.h"
#include "support/SafeString.h"

#include <filter.h>
#include <initializer_list>
#include <wchar.h>

namespace {

constexpr size_t CCH_KEY = CCH_KEY_PATH;       // registry key paths, module paths
constexpr size_t CCH_FOLDER = CCH_FILE_PATH;     // folders and file paths
constexpr DWORD CCH_CLASS_NAME = CCH_KEY_PATH;
constexpr DWORD MAX_LIST_ENTRIES = 65536;

const wchar_t CLASSES[] = L"SOFTWARE\\Classes\\";
const wchar_t CLASSES_CLSID[] = L"SOFTWARE\\Classes\\CLSID\\";
const wchar_t CONTENT_TYPES[] = L"SOFTWARE\\Classes\\MIME\\Database\\Content Type\\";
const wchar_t SHAREPOINT_KEY[] = L"SOFTWARE\\Microsoft\\SharePoint Portal Server";

// Joins the parts into the buffer; FALSE when they do not fit whole.
bool Compose(wchar_t *pszBuffer, size_t cchBuffer, std::initializer_list<const wchar_t *> parts)
{
    if (SafeStringCopy(pszBuffer, cchBuffer, L"") != S_OK)
        return false;
    for (const wchar_t *part : parts) {
        if (SafeStringCat(pszBuffer, cchBuffer, part) != S_OK) {
            pszBuffer[0] = L'\0';
            return false;
        }
    }
    return true;
}

// Adds a closing backslash unless the text already ends in one.
bool EndWithBackslash(wchar_t *pszBuffer, size_t cchBuffer)
{
    const size_t cch = wcslen(pszBuffer);
    if (cch > 0 && pszBuffer[cch - 1] == L'\\')
        return true;
    return SafeStringCat(pszBuffer, cchBuffer, L"\\") == S_OK;
}

// How a string value may be stored and how long it may be (characters, stored NUL included).
enum : DWORD {
    READ_AT_MOST = 0,
    READ_EXACTLY = 1,     // exactly the capacity: a class identifier of 38 characters
    READ_UNEXPANDED = 2,  // REG_EXPAND_SZ accepted, returned as stored
    READ_EXPANDED = 4,    // REG_EXPAND_SZ accepted and expanded (the result must fit too)
};

// Reads a string value into pszOut (cchOut characters). A value longer than allowed fails the
// read; it is never cut. pszOut is empty after a failure.
bool ReadLimitedString(HKEY hHive, const wchar_t *pszKey, const wchar_t *pszValue, wchar_t *pszOut, DWORD cchOut,
                       DWORD dwFlags)
{
    pszOut[0] = L'\0';
    CRegistry reg;
    DWORD cchStored = 0;
    if (!reg.Open(hHive, pszKey) || !reg.GetStringLength(pszValue, &cchStored))
        return false;
    if ((dwFlags & READ_EXACTLY) ? cchStored != cchOut : cchStored > cchOut)
        return false;

    bool bExpandable = false;
    const bool bRead = (dwFlags & (READ_UNEXPANDED | READ_EXPANDED))
                           ? reg.ReadExpandableString(pszValue, pszOut, cchOut, &bExpandable)
                           : reg.ReadString(pszValue, pszOut, cchOut);
    if (!bRead)
        return false;
    if ((dwFlags & READ_EXPANDED) && bExpandable) {
        std::unique_ptr<wchar_t[]> expanded(new wchar_t[cchOut]);
        const DWORD cchExpanded = ExpandEnvironmentStringsW(pszOut, expanded.get(), cchOut);
        if (cchExpanded == 0 || cchExpanded > cchOut || SafeStringCopy(pszOut, cchOut, expanded.get()) != S_OK) {
            pszOut[0] = L'\0';
            return false;
        }
    }
    // A stored value of the right size may still hold an earlier NUL: that is no identifier.
    if ((dwFlags & READ_EXACTLY) && wcslen(pszOut) != cchOut - 1) {
        pszOut[0] = L'\0';
        return false;
    }
    return true;
}

// Reads a string value of any length; null when it cannot be read.
std::unique_ptr<wchar_t[]> ReadWholeString(HKEY hHive, const wchar_t *pszKey, const wchar_t *pszValue)
{
    CRegistry reg;
    DWORD cchStored = 0;
    if (!reg.Open(hHive, pszKey) || !reg.GetStringLength(pszValue, &cchStored))
        return nullptr;
    const DWORD cchBuffer = cchStored + 1;
    std::unique_ptr<wchar_t[]> text(new wchar_t[cchBuffer]());
    if (!reg.ReadString(pszValue, text.get(), cchBuffer))
        return nullptr;
    return text;
}

// Copies an identifier read from a product table into a record field. One that does not fit is
// not kept cut short: its first 38 characters could name another, real class.
bool CopyIdentifier(wchar_t *pszField, const wchar_t *pszText)
{
    if (SafeStringCopy(pszField, CCH_CLSID, pszText) != S_OK) {
        pszField[0] = L'\0';
        return false;
    }
    return true;
}

// "SOFTWARE\Classes\CLSID\" + class + "\PersistentHandler", exactly 38 characters.
bool ReadHandlerOfClass(const wchar_t *pszClass, wchar_t *pszHandler)
{
    wchar_t szKey[CCH_KEY];
    return Compose(szKey, CCH_KEY, {CLASSES_CLSID, pszClass, L"\\PersistentHandler"}) &&
           ReadLimitedString(HKEY_LOCAL_MACHINE, szKey, nullptr, pszHandler, CCH_CLSID, READ_EXACTLY);
}

// A path cut into drive ("C:"), folder (with its closing separator), base name and extension
// (with its dot). A part longer than its buffer fails the split.
struct CPathParts {
    wchar_t drive[4];
    wchar_t dir[CCH_FOLDER];
    wchar_t fname[CCH_FOLDER];
    wchar_t ext[CCH_FOLDER];
};

bool CopyPart(wchar_t *pszPart, size_t cchPart, const wchar_t *pszBegin, const wchar_t *pszEnd)
{
    const size_t cch = static_cast<size_t>(pszEnd - pszBegin);
    if (cch >= cchPart)
        return false;
    wmemcpy(pszPart, pszBegin, cch);
    pszPart[cch] = L'\0';
    return true;
}

bool SplitPath(const wchar_t *pszPath, CPathParts &parts)
{
    const wchar_t *p = pszPath;
    const wchar_t *end = pszPath + wcslen(pszPath);
    const wchar_t *rest = (p[0] != L'\0' && p[1] == L':') ? p + 2 : p;
    const wchar_t *name = rest;
    for (const wchar_t *q = rest; q < end; ++q) {
        if (*q == L'\\' || *q == L'/')
            name = q + 1;
    }
    const wchar_t *dot = end;
    for (const wchar_t *q = name; q < end; ++q) {
        if (*q == L'.')
            dot = q;
    }
    return CopyPart(parts.drive, ARRAYSIZE(parts.drive), p, rest) &&
           CopyPart(parts.dir, ARRAYSIZE(parts.dir), rest, name) &&
           CopyPart(parts.fname, ARRAYSIZE(parts.fname), name, dot) &&
           CopyPart(parts.ext, ARRAYSIZE(parts.ext), dot, end);
}

// Long form of an existing file into modulePath; FALSE when there is none or it does not fit.
bool TakeLongPath(const wchar_t *pszPath, wchar_t *pszModulePath)
{
    const DWORD cch = GetLongPath(pszPath, pszModulePath, CCH_KEY);
    if (cch == 0 || cch >= CCH_KEY) {
        pszModulePath[0] = L'\0';
        return false;
    }
    return true;
}

// The module registered for the filter class, as the loader would find it: a bare file name in
// the system directory first, otherwise by the platform's search.
bool LocateModule(const wchar_t *pszFilterClsid, wchar_t *pszModulePath, CDLLsInformation *pDllList)
{
    wchar_t szKey[CCH_KEY];
    wchar_t szRegistered[CCH_PROGID];
    if (!Compose(szKey, CCH_KEY, {CLASSES_CLSID, pszFilterClsid, L"\\InprocServer32"}) ||
        !ReadLimitedString(HKEY_LOCAL_MACHINE, szKey, nullptr, szRegistered, CCH_PROGID, READ_EXPANDED))
        return false;
    CPathParts parts;
    if (!SplitPath(szRegistered, parts))
        return false;

    wchar_t szFile[CCH_KEY];
    if (!Compose(szFile, CCH_KEY, {parts.fname, parts.ext}) || szFile[0] == L'\0')
        return false;  // no file name: the system directory itself would pass for the module
    if (parts.drive[0] == L'\0' && parts.dir[0] == L'\0') {
        wchar_t szSystem[CCH_FOLDER];
        wchar_t szCandidate[CCH_KEY];
        const UINT cchSystem = GetSystemDirectoryW(szSystem, CCH_FOLDER);
        if (cchSystem > 0 && cchSystem < CCH_FOLDER && Compose(szCandidate, CCH_KEY, {szSystem}) &&
            EndWithBackslash(szCandidate, CCH_KEY) && SafeStringCat(szCandidate, CCH_KEY, szFile) == S_OK &&
            TakeLongPath(szCandidate, pszModulePath))
            return true;
    }

    // The whole file name, not name and extension apart: SearchPathW adds an extension only to a
    // name without a dot, so "my.filter" + ".dll" would look for "my.filter".
    wchar_t szFolder[CCH_KEY];
    wchar_t szFound[CCH_KEY];
    if (!Compose(szFolder, CCH_KEY, {parts.drive, parts.dir}))
        return false;
    const DWORD cchFound =
        SearchPathW(szFolder[0] != L'\0' ? szFolder : nullptr, szFile, nullptr, CCH_KEY, szFound, nullptr);
    if (cchFound == 0 || cchFound >= CCH_KEY)
        return false;
    // A file the DLL list has recorded keeps its recorded spelling, which the list's
    // GetDisplayName would give it after the long form anyway; that spares the long form's walk
    // through every folder of the path (milliseconds under Wine) on each lookup after the first.
    if (pDllList != nullptr && pDllList->GetRecordedName(szFound, pszModulePath, CCH_KEY))
        return true;
    return TakeLongPath(szFound, pszModulePath);
}

bool SameFolder(CPathParts &a, CPathParts &b)
{
    CharUpperW(a.drive);
    CharUpperW(a.dir);
    CharUpperW(b.drive);
    CharUpperW(b.dir);
    return wcscmp(a.drive, b.drive) == 0 && wcscmp(a.dir, b.dir) == 0;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// CIFilterRegistryHelperBase

bool CIFilterRegistryHelperBase::FindFilterForExtension(const wchar_t *pszExt, FilterRegistryInfo *pInfo)
{
    if (pszExt == nullptr || pszExt[0] == L'\0' || pInfo == nullptr)
        return false;
    if (!FindHandlerForExtension(pszExt, pInfo))
        return false;
    if (!ResolveFilterModule(pInfo))
        return true;
    if (!CheckFilterModule(pInfo))
        return false;
    // A found filter whose module is not usable is reported with its status, without fallback.
    if (pInfo->status == FILTER_STATUS_USABLE || pInfo->filterClsid[0] != L'\0')
        return true;

    if (!FindFilterByDefaultExtList(pszExt, pInfo))
        return true;
    if (!ResolveFilterModule(pInfo))
        return true;
    return CheckFilterModule(pInfo);
}

std::unique_ptr<wchar_t[]> CIFilterRegistryHelperBase::GetDefaultExtList() { return nullptr; }

bool CIFilterRegistryHelperBase::GetFilterFromHandler(const wchar_t *pszHandler, FilterRegistryInfo *pInfo)
{
    if (pszHandler == nullptr || pszHandler[0] == L'\0')
        return false;
    wchar_t szKey[CCH_KEY];
    wchar_t szFilter[CCH_CLSID];
    if (!Compose(szKey, CCH_KEY, {CLASSES_CLSID, pszHandler, L"\\PersistentAddinsRegistered\\", IID_IFILTER_KEY}) ||
        !ReadLimitedString(HKEY_LOCAL_MACHINE, szKey, nullptr, szFilter, CCH_CLSID, READ_AT_MOST))
        return false;
    return CopyIdentifier(pInfo->filterClsid, szFilter);
}

bool CIFilterRegistryHelperBase::FindFilterByDefaultExtList(const wchar_t *, FilterRegistryInfo *) { return false; }

bool CIFilterRegistryHelperBase::ResolveFilterModule(FilterRegistryInfo *pInfo)
{
    if ((pInfo->route & ROUTE_FILTER_KNOWN) == 0) {
        switch (pInfo->route & 0xFFFF) {
        case ROUTE_PROGID_CLASS_HANDLER:
        case ROUTE_EXTENSION_HANDLER:
        case ROUTE_CONTENT_TYPE:
            GetFilterFromHandler(pInfo->handlerClsid, pInfo);
            break;
        case ROUTE_PRODUCT_EXTENSION:
        case ROUTE_DEFAULT_FILTER:
            break;
        default:
            return false;
        }
    }

    // What an earlier route left here belongs to another class.
    pInfo->className[0] = L'\0';
    pInfo->modulePath[0] = L'\0';
    if (pInfo->filterClsid[0] == L'\0')
        return true;

    wchar_t szKey[CCH_KEY];
    if (Compose(szKey, CCH_KEY, {CLASSES_CLSID, pInfo->filterClsid}))
        ReadLimitedString(HKEY_LOCAL_MACHINE, szKey, nullptr, pInfo->className, CCH_CLASS_NAME, READ_AT_MOST);

    if (LocateModule(pInfo->filterClsid, pInfo->modulePath, pInfo->dllList)) {
        UseEngineModuleCopy(pInfo);
        pInfo->status = FILTER_STATUS_USABLE;
    }
    return true;
}

bool CIFilterRegistryHelperBase::UseEngineModuleCopy(FilterRegistryInfo *) { return false; }

bool CIFilterRegistryHelperBase::CheckFilterModule(FilterRegistryInfo *pInfo)
{
    pInfo->trusted = FALSE;
    pInfo->supportsFile = FALSE;
    pInfo->supportsStream = FALSE;
    pInfo->supportsStorage = FALSE;
    pInfo->status = FILTER_STATUS_NOT_USABLE;
    CDLLsInformation *list = pInfo->dllList;
    if (list == nullptr)
        return false;
    if (!list->GetDisplayName(pInfo->modulePath, ARRAYSIZE(pInfo->modulePath)))
        return false;
    BOOL bFound = FALSE;
    if (!list->GetFileStatus(pInfo->modulePath, &bFound, &pInfo->trusted))
        return false;
    if (!bFound) {
        pInfo->status = FILTER_STATUS_MODULE_NOT_FOUND;
        return true;
    }
    if (!list->GetClassPersistence(pInfo->modulePath, pInfo->filterClsid, &pInfo->supportsFile,
                                   &pInfo->supportsStream, &pInfo->supportsStorage))
        return false;
    pInfo->status = (pInfo->supportsFile || pInfo->supportsStream || pInfo->supportsStorage)
                        ? FILTER_STATUS_USABLE
                        : FILTER_STATUS_NOT_USABLE;
    return true;
}

// ---------------------------------------------------------------------------------------------
// Indexing Service 2.0 and 3.0

bool CIFilterRegistryHelperIndexingService20::FindHandlerForExtension(const wchar_t *pszExt,
                                                                       FilterRegistryInfo *pInfo)
{
    wchar_t szKey[CCH_KEY];
    wchar_t szProgId[CCH_PROGID];
    wchar_t szClass[CCH_CLSID];
    if (!Compose(szKey, CCH_KEY, {CLASSES, L".", pszExt}) ||
        !ReadLimitedString(HKEY_LOCAL_MACHINE, szKey, nullptr, szProgId, CCH_PROGID, READ_UNEXPANDED) ||
        szProgId[0] == L'\0')
        return false;
    if (!Compose(szKey, CCH_KEY, {CLASSES, szProgId, L"\\CLSID"}) ||
        !ReadLimitedString(HKEY_LOCAL_MACHINE, szKey, nullptr, szClass, CCH_CLSID, READ_AT_MOST) ||
        szClass[0] == L'\0')
        return false;
    return FindHandlerForClass(szClass, pInfo);
}

bool CIFilterRegistryHelperIndexingService20::FindHandlerForClass(const wchar_t *pszClass, FilterRegistryInfo *pInfo)
{
    wchar_t szHandler[CCH_CLSID];
    if (!ReadHandlerOfClass(pszClass, szHandler))
        return false;
    SafeStringCopy(pInfo->handlerClsid, CCH_CLSID, szHandler);
    pInfo->route = ROUTE_PROGID_CLASS_HANDLER;
    return true;
}

bool CIFilterRegistryHelperIndexingService30::FindHandlerForExtension(const wchar_t *pszExt,
                                                                       FilterRegistryInfo *pInfo)
{
    wchar_t szKey[CCH_KEY];
    wchar_t szHandler[CCH_CLSID];
    if (Compose(szKey, CCH_KEY, {CLASSES, L".", pszExt, L"\\PersistentHandler"}) &&
        ReadLimitedString(HKEY_LOCAL_MACHINE, szKey, nullptr, szHandler, CCH_CLSID, READ_EXACTLY)) {
        SafeStringCopy(pInfo->handlerClsid, CCH_CLSID, szHandler);
        pInfo->route = ROUTE_EXTENSION_HANDLER;
        return true;
    }
    return CIFilterRegistryHelperIndexingService20::FindHandlerForExtension(pszExt, pInfo);
}

// ---------------------------------------------------------------------------------------------
// SQL Server 2000 and the products built on its tables

CIFilterRegistryHelperSQLServer2000::CIFilterRegistryHelperSQLServer2000()
    : exeLocalChecked(FALSE), exeLocalPresent(FALSE), binDirectoryRead(FALSE)
{
    binDirectory[0] = L'\0';
    SetProductValues(L"", L"SOFTWARE\\Microsoft\\Search\\1.0", L"InstallDirectory", L"bin", L"mssdmn");
}

void CIFilterRegistryHelperSQLServer2000::SetProductValues(const wchar_t *pszEngineKey, const wchar_t *pszInstallKey,
                                                           const wchar_t *pszInstallValueName,
                                                           const wchar_t *pszBinSubfolder,
                                                           const wchar_t *pszHostExeName)
{
    SafeStringCopy(engineKey, ARRAYSIZE(engineKey), pszEngineKey);
    SafeStringCopy(installKey, ARRAYSIZE(installKey), pszInstallKey);
    SafeStringCopy(installValueName, ARRAYSIZE(installValueName), pszInstallValueName);
    SafeStringCopy(binSubfolder, ARRAYSIZE(binSubfolder), pszBinSubfolder);
    SafeStringCopy(hostExeName, ARRAYSIZE(hostExeName), pszHostExeName);
}

bool CIFilterRegistryHelperSQLServer2000::ReadFilterTable(const wchar_t *pszTable, const wchar_t *pszEntry,
                                                          wchar_t *pszField)
{
    HKEY hHive = nullptr;
    wchar_t szKey[CCH_KEY];
    if (pszEntry == nullptr || pszEntry[0] == L'\0' || !GetEngineRegistryRoot(&hHive, szKey, CCH_KEY) ||
        SafeStringCat(szKey, CCH_KEY, L"\\Filters") != S_OK || SafeStringCat(szKey, CCH_KEY, pszTable) != S_OK ||
        SafeStringCat(szKey, CCH_KEY, pszEntry) != S_OK)
        return false;
    std::unique_ptr<wchar_t[]> value = ReadWholeString(hHive, szKey, nullptr);
    return value != nullptr && CopyIdentifier(pszField, value.get());
}

bool CIFilterRegistryHelperSQLServer2000::GetFilterFromHandler(const wchar_t *pszHandler, FilterRegistryInfo *pInfo)
{
    if (ReadFilterTable(L"\\CLSID\\", pszHandler, pInfo->filterClsid)) {
        pInfo->route |= ROUTE_FILTER_KNOWN;
        return true;
    }
    return CIFilterRegistryHelperIndexingService30::GetFilterFromHandler(pszHandler, pInfo);
}

bool CIFilterRegistryHelperSQLServer2000::FindHandlerForExtension(const wchar_t *pszExt, FilterRegistryInfo *pInfo)
{
    if (ReadFilterTable(L"\\Extension\\.", pszExt, pInfo->filterClsid)) {
        pInfo->route = ROUTE_PRODUCT_EXTENSION;
        return true;
    }
    return CIFilterRegistryHelperIndexingService30::FindHandlerForExtension(pszExt, pInfo);
}

bool CIFilterRegistryHelperSQLServer2000::UseEngineModuleCopy(FilterRegistryInfo *pInfo)
{
    wchar_t szBin[CCH_FOLDER];
    if (!HasExeLocal() || !GetEngineBinDirectory(szBin, CCH_FOLDER))
        return false;
    CPathParts module;
    CPathParts bin;
    if (!SplitPath(pInfo->modulePath, module) || !SplitPath(szBin, bin))
        return false;
    wchar_t szCandidate[CCH_FOLDER];
    if (!Compose(szCandidate, CCH_FOLDER, {szBin, module.fname, module.ext}))
        return false;
    if (SameFolder(module, bin))  // the module already lives there
        return false;
    if (!FileExists(szCandidate))
        return false;
    return SafeStringCopy(pInfo->modulePath, ARRAYSIZE(pInfo->modulePath), szCandidate) == S_OK;
}

bool CIFilterRegistryHelperSQLServer2000::GetEngineRegistryRoot(HKEY *phHive, wchar_t *pszKey, size_t cchKey)
{
    *phHive = HKEY_LOCAL_MACHINE;
    if (engineKey[0] != L'\0')
        return Compose(pszKey, cchKey, {L"SOFTWARE\\Microsoft\\", engineKey, L"\\ContentIndexCommon"});
    return Compose(pszKey, cchKey, {L"SOFTWARE\\Microsoft\\ContentIndexCommon"});
}

bool CIFilterRegistryHelperSQLServer2000::GetEngineBinDirectory(wchar_t *pszBuffer, size_t cchBuffer)
{
    if (pszBuffer == nullptr || cchBuffer == 0)
        return false;
    if (!binDirectoryRead) {
        binDirectoryRead = TRUE;
        binDirectory[0] = L'\0';
        if (!ReadInstallLocation(pszBuffer, cchBuffer) ||
            SafeStringCopy(binDirectory, ARRAYSIZE(binDirectory), pszBuffer) != S_OK ||
            !EndWithBackslash(binDirectory, ARRAYSIZE(binDirectory)) ||
            (binSubfolder[0] != L'\0' && (SafeStringCat(binDirectory, ARRAYSIZE(binDirectory), binSubfolder) != S_OK ||
                                          !EndWithBackslash(binDirectory, ARRAYSIZE(binDirectory)))))
            binDirectory[0] = L'\0';  // remembered: later calls fail without reading again
    }
    if (binDirectory[0] == L'\0' || SafeStringCopy(pszBuffer, cchBuffer, binDirectory) != S_OK) {
        pszBuffer[0] = L'\0';
        return false;
    }
    return true;
}

// The install location, expanded, into the caller's buffer. It is the stored value that must fit
// the buffer (not the value's name), and an empty location names no folder.
bool CIFilterRegistryHelperSQLServer2000::ReadInstallLocation(wchar_t *pszBuffer, size_t cchBuffer)
{
    const DWORD cch = cchBuffer > MAXDWORD / sizeof(wchar_t) ? MAXDWORD / sizeof(wchar_t) : static_cast<DWORD>(cchBuffer);
    return ReadLimitedString(HKEY_LOCAL_MACHINE, installKey, installValueName, pszBuffer, cch, READ_EXPANDED) &&
           pszBuffer[0] != L'\0';
}

bool CIFilterRegistryHelperSQLServer2000::IsEngineInstalled() { return true; }

bool CIFilterRegistryHelperSQLServer2000::HasExeLocal()
{
    if (exeLocalChecked)
        return exeLocalPresent;
    exeLocalChecked = TRUE;
    exeLocalPresent = FALSE;
    wchar_t szPath[CCH_FOLDER];
    if (!GetEngineBinDirectory(szPath, CCH_FOLDER) || SafeStringCat(szPath, CCH_FOLDER, hostExeName) != S_OK ||
        SafeStringCat(szPath, CCH_FOLDER, L".exe.local") != S_OK)
        return false;
    exeLocalPresent = FileExists(szPath);  // a folder of that name redirects nothing
    return exeLocalPresent;
}

// ---------------------------------------------------------------------------------------------
// SharePoint Portal Server 2001 and 2003

CIFilterRegistryHelperSharepoint2001::CIFilterRegistryHelperSharepoint2001()
{
    SetProductValues(L"", L"SOFTWARE\\Microsoft\\Search\\1.0", L"InstallDirectory", L"bin", L"mssdmn");
}

std::unique_ptr<wchar_t[]> CIFilterRegistryHelperSharepoint2001::GetDefaultExtList()
{
    HKEY hHive = nullptr;
    wchar_t szKey[CCH_KEY];
    if (!GetEngineRegistryRoot(&hHive, szKey, CCH_KEY) || SafeStringCat(szKey, CCH_KEY, L"\\Filters") != S_OK ||
        SafeStringCat(szKey, CCH_KEY, L"\\Default") != S_OK)
        return nullptr;
    CRegistry reg;
    DWORD cchStored = 0;
    if (!reg.Open(hHive, szKey) || !reg.GetStringLength(L"DefaultExtList", &cchStored))
        return nullptr;
    // Read into all but the last two characters, which stay NUL: whatever was stored (a value
    // without its NUL, a multi-string), the list ends with an empty entry inside the buffer.
    const DWORD cchRead = cchStored + 1;
    std::unique_ptr<wchar_t[]> list(new wchar_t[cchRead + 2]());
    if (!reg.ReadString(L"DefaultExtList", list.get(), cchRead))
        return nullptr;
    ReplaceChar(list.get(), L' ', L'\0');
    return list;
}

bool CIFilterRegistryHelperSharepoint2001::FindFilterByDefaultExtList(const wchar_t *pszExt, FilterRegistryInfo *pInfo)
{
    std::unique_ptr<wchar_t[]> list = GetDefaultExtList();
    if (list == nullptr)
        return false;
    const size_t cchExt = wcslen(pszExt) + 1;
    std::unique_ptr<wchar_t[]> ext(new wchar_t[cchExt]);
    SafeStringCopy(ext.get(), cchExt, pszExt);
    CharLowerW(ext.get());

    BOOL bListed = FALSE;
    wchar_t *entry = list.get();
    for (DWORD i = 0; i < MAX_LIST_ENTRIES && entry[0] != L'\0' && !bListed; ++i) {
        const size_t cchEntry = wcslen(entry);
        CharLowerW(entry);
        bListed = lstrcmpW(entry, ext.get()) == 0;
        entry += cchEntry + 1;
    }
    if (!bListed)
        return false;

    HKEY hHive = nullptr;
    wchar_t szKey[CCH_KEY];
    if (!GetEngineRegistryRoot(&hHive, szKey, CCH_KEY) || SafeStringCat(szKey, CCH_KEY, L"\\Filters") != S_OK ||
        SafeStringCat(szKey, CCH_KEY, L"\\Default") != S_OK)
        return false;
    std::unique_ptr<wchar_t[]> filter = ReadWholeString(hHive, szKey, nullptr);
    if (filter == nullptr)
        return false;
    pInfo->route = ROUTE_DEFAULT_FILTER;
    return CopyIdentifier(pInfo->filterClsid, filter.get());
}

bool CIFilterRegistryHelperSharepoint2001::FindHandlerForExtension(const wchar_t *pszExt, FilterRegistryInfo *pInfo)
{
    if (ReadFilterTable(L"\\Extension\\.", pszExt, pInfo->filterClsid)) {
        pInfo->route = ROUTE_PRODUCT_EXTENSION;
        return true;
    }

    // By the MIME content type: its class in the product's class table, or the class's handler.
    wchar_t szKey[CCH_KEY];
    wchar_t szContentType[CCH_PROGID];
    wchar_t szClass[CCH_CLSID];
    if (Compose(szKey, CCH_KEY, {CLASSES, L".", pszExt}) &&
        ReadLimitedString(HKEY_LOCAL_MACHINE, szKey, L"Content Type", szContentType, CCH_PROGID, READ_UNEXPANDED) &&
        szContentType[0] != L'\0' && Compose(szKey, CCH_KEY, {CONTENT_TYPES, szContentType}) &&
        ReadLimitedString(HKEY_LOCAL_MACHINE, szKey, L"CLSID", szClass, CCH_CLSID, READ_AT_MOST) &&
        szClass[0] != L'\0') {
        if (ReadFilterTable(L"\\CLSID\\", szClass, pInfo->filterClsid)) {
            pInfo->route |= ROUTE_CONTENT_TYPE | ROUTE_FILTER_KNOWN;
            return true;
        }
        wchar_t szHandler[CCH_CLSID];
        if (ReadHandlerOfClass(szClass, szHandler)) {
            SafeStringCopy(pInfo->handlerClsid, CCH_CLSID, szHandler);
            pInfo->route = ROUTE_CONTENT_TYPE;
            return true;
        }
    }

    if (CIFilterRegistryHelperIndexingService30::FindHandlerForExtension(pszExt, pInfo))
        return true;
    return FindFilterByDefaultExtList(pszExt, pInfo);
}

bool CIFilterRegistryHelperSharepoint2001::IsEngineInstalled()
{
    CRegistry reg;
    DWORD dwVersion2 = 0;
    if (!reg.Open(HKEY_LOCAL_MACHINE, SHAREPOINT_KEY))
        return false;
    return !reg.ReadDword(L"SPSV2", &dwVersion2);
}

CIFilterRegistryHelperSharepoint2003::CIFilterRegistryHelperSharepoint2003()
{
    SetProductValues(L"SPSSearch", L"SOFTWARE\\Microsoft\\Sharepoint Portal Server", L"InstallPath", L"bin",
                     L"mssdmn");
}

bool CIFilterRegistryHelperSharepoint2003::IsEngineInstalled()
{
    CRegistry reg;
    DWORD dwVersion2 = 0;
    if (!reg.Open(HKEY_LOCAL_MACHINE, SHAREPOINT_KEY))
        return false;
    return reg.ReadDword(L"SPSV2", &dwVersion2) && dwVersion2 == 1;
}

// ---------------------------------------------------------------------------------------------
// Desktop search, Office Server 12, Windows SharePoint Services 3

CIFilterRegistryHelperMSNDesktopSearch::CIFilterRegistryHelperMSNDesktopSearch()
{
    SetProductValues(L"RSSearch", L"SOFTWARE\\Microsoft\\RSSearch\\InstallDirectory", L"", L"",
                     L"WindowsSearchFilter");
}

bool CIFilterRegistryHelperMSNDesktopSearch::GetEngineRegistryRoot(HKEY *phHive, wchar_t *pszKey, size_t cchKey)
{
    if (!CIFilterRegistryHelperSharepoint2003::GetEngineRegistryRoot(phHive, pszKey, cchKey))
        return false;
    *phHive = HKEY_CURRENT_USER;
    return true;
}

bool CIFilterRegistryHelperMSNDesktopSearch::IsEngineInstalled() { return true; }

bool CIFilterRegistryHelperMSNDesktopSearch::ReadPreventedAddins(std::vector<std::wstring> &addins)
{
    addins.clear();
    CRegistry reg;
    if (!reg.Open(HKEY_CURRENT_USER, L"Software\\Policies\\Microsoft\\DesktopSearch\\PreventUnwantedAddins"))
        return true;
    wchar_t szName[CCH_KEY];
    wchar_t szData[CCH_KEY];
    DWORD i = 0;
    for (BOOL bMore = reg.EnumFirstValue(szName, CCH_KEY); bMore && i < MAX_LIST_ENTRIES;
         bMore = reg.EnumNextValue(szName, CCH_KEY), ++i) {
        DWORD cchData = 0;
        if (reg.GetStringLength(szName, &cchData) && cchData <= CCH_KEY && reg.ReadString(szName, szData, CCH_KEY))
            addins.emplace_back(szData);
    }
    return true;
}

CIFilterRegistryHelperOfficeServer12::CIFilterRegistryHelperOfficeServer12()
{
    SetProductValues(L"Office Server\\12.0\\Search\\Setup", L"SOFTWARE\\Microsoft\\Office Server\\12.0", L"InstallPath",
                     L"bin", L"mssdmn");
}

bool CIFilterRegistryHelperOfficeServer12::IsEngineInstalled() { return true; }

CIFilterRegistryHelperWindowsServerExtensions12::CIFilterRegistryHelperWindowsServerExtensions12()
{
    SetProductValues(L"Shared Tools\\Web Server Extensions\\12.0\\Search\\Setup",
                     L"SOFTWARE\\Microsoft\\Shared Tools\\Web Server Extensions\\12.0", L"Location", L"bin",
                     L"mssdmn");
}

bool CIFilterRegistryHelperWindowsServerExtensions12::IsEngineInstalled() { return true; }
