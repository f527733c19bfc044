// Shared set-up of the registry helper tests: registrations seeded in Wine's registry the way the
// products lay them out, filter module files in a folder of the test's own, a DLL list whose
// answers the test controls, and the whole lookup record printed on one line for comparison.
#pragma once
#include <gtest/gtest.h>
#include <windows.h>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "RegistrySeed.h"
#include "TestHelpers.h"
#include "childfilter/DLLsInformation.h"
#include "childfilter/FilterRegistryInfo.h"
#include "childfilter/RegistryHelpers.h"

// Made-up identifiers nothing else uses: {7E57k000-0000-4000-8000-00000000000n}.
std::wstring TestId(wchar_t kind, int n);  // kind: 'A' handler, 'F' filter, 'C' document class
inline std::wstring Handler(int n) { return TestId(L'A', n); }
inline std::wstring FilterId(int n) { return TestId(L'F', n); }
inline std::wstring ClassId(int n) { return TestId(L'C', n); }
const wchar_t IFILTER_IID_TEXT[] = L"{89BCB740-6119-101A-BCB7-00DD010655AF}";

// The DLL list as the lookup sees it, with answers chosen by the test. By default it answers like
// the real list: no answer for an empty path or class, found = the file exists, and every class
// supports IPersistFile only.
class CFakeDllList : public CDLLsInformation
{
public:
    bool GetDisplayName(wchar_t *pszPath, ULONG cchPath) override;
    bool GetFileStatus(const wchar_t *pszPath, BOOL *pbFound, BOOL *pbTrusted) override;
    bool GetClassPersistence(const wchar_t *pszPath, const wchar_t *pszClsid, BOOL *pbSupportsFile,
                             BOOL *pbSupportsStream, BOOL *pbSupportsStorage) override;

    bool answerEmpty = false;        // answer for an empty path or class too (no interface without a class)
    BOOL displayResult = TRUE;
    std::wstring displayName;        // when set: the spelling "first recorded"
    BOOL statusResult = TRUE;
    std::optional<BOOL> found;       // unset: whether the file exists
    BOOL trusted = FALSE;
    BOOL persistenceResult = TRUE;
    BOOL supportsFile = TRUE, supportsStream = FALSE, supportsStorage = FALSE;
    std::vector<std::wstring> calls;  // "display <path>", "status <path>", "class <path> <clsid>"
};

// What the record holds after a lookup, on one line.
std::string Describe(BOOL result, const FilterRegistryInfo &info);
struct Expected {
    BOOL result;
    std::wstring handler;
    std::wstring filter;
    std::wstring module;
    std::wstring className;
    DWORD route;
    DWORD status;
    BOOL file = TRUE;
    BOOL stream = FALSE;
    BOOL storage = FALSE;
    BOOL trusted = FALSE;
};
std::string Describe(const Expected &e);

using HelperFactory = std::function<CIFilterRegistryHelperBase *()>;
using ServerFactory = std::function<CIFilterRegistryHelperSQLServer2000 *()>;

// One search product: its class and where it keeps its tables and its install location.
struct Product {
    const char *name;
    ServerFactory make;
    HKEY hive;              // of the filter tables
    const wchar_t *root;    // ContentIndexCommon of the product
    const wchar_t *installKey;
    const wchar_t *installValue;
    const wchar_t *binSubfolder;  // with its closing backslash, or empty
    const wchar_t *hostExe;
};
const std::vector<Product> &ServerProducts();  // SQL2000, SP2001, SP2003, MSN, Office12, WSS12

class HelperTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // From here on the registry must not change until the test ends.
    void Seeded();

    // Seeding (HKLM SOFTWARE\Classes unless a product is named).
    void SeedFilter(int filter, const std::wstring &module, DWORD type = REG_SZ);  // "RH filter <n>"
    void SeedFilterClass(const std::wstring &filter, const std::wstring &description, const std::wstring &module,
                         DWORD type = REG_SZ);
    void SeedHandlerFilter(const std::wstring &handler, const std::wstring &filter);
    void SeedExtHandler(const std::wstring &ext, const std::wstring &handler, DWORD type = REG_SZ);
    void SeedExtProgId(const std::wstring &ext, const std::wstring &progId, DWORD type = REG_SZ);
    void SeedProgIdClass(const std::wstring &progId, const std::wstring &cls, DWORD type = REG_SZ);
    void SeedClassHandler(const std::wstring &cls, const std::wstring &handler);
    void SeedContentType(const std::wstring &ext, const std::wstring &contentType, const std::wstring &cls);
    void SeedProductExt(const Product &p, const std::wstring &ext, const std::wstring &filter);
    void SeedProductClass(const Product &p, const std::wstring &id, const std::wstring &filter);
    void SeedProductDefault(const Product &p, const std::wstring &list, const std::wstring &filter);
    void SeedInstall(const Product &p, const std::wstring &location, DWORD type = REG_SZ);

    // Files in the test's own folder (m_dir ends with a backslash).
    std::wstring MakeFile(const std::wstring &relative);
    std::wstring MakeFolder(const std::wstring &relative);
    std::wstring ModuleFile(int filter) { return m_dir + L"filters\\rhf" + std::to_wstring(filter) + L".dll"; }

    // One lookup with a fresh record, as the loader makes it.
    std::string Lookup(CIFilterRegistryHelperBase *helper, const std::wstring &ext,
                       CDLLsInformation *list = nullptr);
    std::string Lookup(const HelperFactory &make, const std::wstring &ext, CDLLsInformation *list = nullptr);

    // Expected record of a filter seeded with SeedFilter(n, ModuleFile(n)).
    Expected Found(const std::wstring &handler, int filter, DWORD route);

    CRegistrySeed m_seed;
    CFakeDllList m_list;
    std::wstring m_dir;

private:
    static std::wstring AreaSnapshot();
    std::wstring m_before;
    std::optional<std::wstring> m_seeded;
};
