// Which content filter a search engine would use for an extension, read the way each product reads
// its own registrations. One class per product, in one straight chain; each adds or replaces
// lookup steps of its base. Usage (one object per lookup, same thread, reads the registry only):
//   std::unique_ptr<CIFilterRegistryHelperBase> helper(new CIFilterRegistryHelperIndexingService30);
//   FilterRegistryInfo info;                    // fresh record, dllList set by the caller
//   info.dllList = &dllList;
//   if (helper->FindFilterForExtension(L"DOC", &info)) ... info.filterClsid, info.modulePath
// A server product also tells where it is installed: IsEngineInstalled, GetEngineBinDirectory.
// Memory comes from operator new: std::bad_alloc passes to the caller, which catches around the lookup.
#pragma once
#include <windows.h>
#include <memory>
#include <string>
#include <vector>

#include "childfilter/FilterRegistryInfo.h"
#include "support/Capacities.h"

class CIFilterRegistryHelperBase
{
public:
    CIFilterRegistryHelperBase() = default;
    virtual ~CIFilterRegistryHelperBase() = default;
    CIFilterRegistryHelperBase(const CIFilterRegistryHelperBase &) = delete;
    CIFilterRegistryHelperBase &operator=(const CIFilterRegistryHelperBase &) = delete;

    // ext: the extension without its dot. TRUE when the lookup ran to an end: the record then
    // holds the filter class and its module (status tells whether the module may be used).
    // FALSE: nothing registered, or the DLL list gave no answer.
    virtual bool FindFilterForExtension(const wchar_t *pszExt, FilterRegistryInfo *pInfo);
    // The product's DefaultExtList as NUL-separated entries ended by an empty one; null when none.
    virtual std::unique_ptr<wchar_t[]> GetDefaultExtList();
    // filterClsid for a persistent handler.
    virtual bool GetFilterFromHandler(const wchar_t *pszHandler, FilterRegistryInfo *pInfo);
    virtual bool FindFilterByDefaultExtList(const wchar_t *pszExt, FilterRegistryInfo *pInfo);
    // filterClsid (if still unknown), className and modulePath from what the route found. FALSE
    // only for a route it does not know; a module that is not found leaves status alone.
    virtual bool ResolveFilterModule(FilterRegistryInfo *pInfo);
    virtual bool FindHandlerForExtension(const wchar_t *pszExt, FilterRegistryInfo *pInfo) = 0;
    // Replaces modulePath by the product's own copy of the module when the product redirects DLLs.
    virtual bool UseEngineModuleCopy(FilterRegistryInfo *pInfo);

    // Asks the record's DLL list about modulePath and filterClsid; sets trusted, status and the
    // three persistence flags. FALSE when there is no list or it gave no answer.
    bool CheckFilterModule(FilterRegistryInfo *pInfo);
};

// Indexing Service 2.0: extension -> ProgID -> class -> persistent handler.
class CIFilterRegistryHelperIndexingService20 : public CIFilterRegistryHelperBase
{
public:
    bool FindHandlerForExtension(const wchar_t *pszExt, FilterRegistryInfo *pInfo) override;
    virtual bool FindHandlerForClass(const wchar_t *pszClass, FilterRegistryInfo *pInfo);
};

// Indexing Service 3.0 (also the default): the extension's own persistent handler first.
class CIFilterRegistryHelperIndexingService30 : public CIFilterRegistryHelperIndexingService20
{
public:
    bool FindHandlerForExtension(const wchar_t *pszExt, FilterRegistryInfo *pInfo) override;
};

// SQL Server 2000 full-text search: the product's own filter tables come first; the product has
// an install folder, and may run with DLL redirection (.exe.local) from it.
class CIFilterRegistryHelperSQLServer2000 : public CIFilterRegistryHelperIndexingService30
{
public:
    CIFilterRegistryHelperSQLServer2000();

    bool GetFilterFromHandler(const wchar_t *pszHandler, FilterRegistryInfo *pInfo) override;
    bool FindHandlerForExtension(const wchar_t *pszExt, FilterRegistryInfo *pInfo) override;
    bool UseEngineModuleCopy(FilterRegistryInfo *pInfo) override;
    // Hive and key of the product's ContentIndexCommon (its tables are under \Filters).
    virtual bool GetEngineRegistryRoot(HKEY *phHive, wchar_t *pszKey, size_t cchKey);
    // The product's program folder, ending in a backslash. Read once per object, failure included.
    virtual bool GetEngineBinDirectory(wchar_t *pszBuffer, size_t cchBuffer);
    virtual bool IsEngineInstalled();
    // Is there a file hostExeName.exe.local in the program folder? Checked once per object.
    virtual bool HasExeLocal();

protected:
    void SetProductValues(const wchar_t *pszEngineKey, const wchar_t *pszInstallKey,
                          const wchar_t *pszInstallValueName, const wchar_t *pszBinSubfolder,
                          const wchar_t *pszHostExeName);
    // The product's filter table pszTable ("\\Extension\\." or "\\CLSID\\") entry pszEntry into
    // an identifier field; a value that does not fit fails and leaves the field empty.
    bool ReadFilterTable(const wchar_t *pszTable, const wchar_t *pszEntry, wchar_t *pszField);

    wchar_t hostExeName[CCH_FILE_PATH];
    BOOL exeLocalChecked;
    BOOL exeLocalPresent;
    BOOL binDirectoryRead;
    wchar_t binDirectory[CCH_FILE_PATH];
    wchar_t installKey[CCH_KEY_PATH];
    wchar_t installValueName[CCH_KEY_PATH];
    wchar_t binSubfolder[CCH_KEY_PATH];
    wchar_t engineKey[CCH_PROGID];

private:
    bool ReadInstallLocation(wchar_t *pszBuffer, size_t cchBuffer);
};

// SharePoint Portal Server 2001: adds the MIME content type and the product's default filter.
class CIFilterRegistryHelperSharepoint2001 : public CIFilterRegistryHelperSQLServer2000
{
public:
    CIFilterRegistryHelperSharepoint2001();

    std::unique_ptr<wchar_t[]> GetDefaultExtList() override;
    bool FindFilterByDefaultExtList(const wchar_t *pszExt, FilterRegistryInfo *pInfo) override;
    bool FindHandlerForExtension(const wchar_t *pszExt, FilterRegistryInfo *pInfo) override;
    bool IsEngineInstalled() override;  // only while SPSV2 is absent
};

class CIFilterRegistryHelperSharepoint2003 : public CIFilterRegistryHelperSharepoint2001
{
public:
    CIFilterRegistryHelperSharepoint2003();
    bool IsEngineInstalled() override;  // only when SPSV2 is 1
};

// MSN / Windows Desktop Search: its filter tables are per user (HKEY_CURRENT_USER).
class CIFilterRegistryHelperMSNDesktopSearch : public CIFilterRegistryHelperSharepoint2003
{
public:
    CIFilterRegistryHelperMSNDesktopSearch();
    bool GetEngineRegistryRoot(HKEY *phHive, wchar_t *pszKey, size_t cchKey) override;
    bool IsEngineInstalled() override;
    // The data of every value of the PreventUnwantedAddins policy. TRUE also when there is none.
    virtual bool ReadPreventedAddins(std::vector<std::wstring> &addins);
};

class CIFilterRegistryHelperOfficeServer12 : public CIFilterRegistryHelperSharepoint2003
{
public:
    CIFilterRegistryHelperOfficeServer12();
    bool IsEngineInstalled() override;
};

// Windows SharePoint Services 3 search (Web Server Extensions 12).
class CIFilterRegistryHelperWindowsServerExtensions12 : public CIFilterRegistryHelperSharepoint2003
{
public:
    CIFilterRegistryHelperWindowsServerExtensions12();
    bool IsEngineInstalled() override;
};
