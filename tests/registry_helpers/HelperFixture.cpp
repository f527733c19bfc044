#include "HelperFixture.h"

#include <cstdio>

namespace {

const std::wstring CLASSES = L"SOFTWARE\\Classes\\";

// Removes a folder tree of the test's own; bounded by the depth of what the tests make.
void RemoveTree(const std::wstring &folder, int depth = 0)
{
    if (depth > 8)
        return;
    WIN32_FIND_DATAW fd;
    HANDLE find = FindFirstFileW((folder + L"*").c_str(), &fd);
    if (find != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = fd.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring path = folder + name;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                RemoveTree(path + L"\\", depth + 1);
            else
                DeleteFileW(path.c_str());
        } while (FindNextFileW(find, &fd));
        FindClose(find);
    }
    RemoveDirectoryW(folder.c_str());
}

} // namespace

std::wstring TestId(wchar_t kind, int n)
{
    wchar_t text[40];
    std::swprintf(text, 40, L"{7E57%c000-0000-4000-8000-%012X}", kind, n);
    return text;
}

bool CFakeDllList::GetDisplayName(wchar_t *pszPath, ULONG cchPath)
{
    calls.push_back(L"display " + std::wstring(pszPath));
    if (pszPath[0] == L'\0' && !answerEmpty)
        return FALSE;
    if (displayResult && !displayName.empty())
        lstrcpynW(pszPath, displayName.c_str(), static_cast<int>(cchPath));
    return displayResult;
}

bool CFakeDllList::GetFileStatus(const wchar_t *pszPath, BOOL *pbFound, BOOL *pbTrusted)
{
    calls.push_back(L"status " + std::wstring(pszPath));
    if (pszPath[0] == L'\0' && !answerEmpty)
        return FALSE;
    *pbFound = found.has_value() ? *found : GetFileAttributesW(pszPath) != INVALID_FILE_ATTRIBUTES;
    *pbTrusted = *pbFound && trusted;
    return statusResult;
}

bool CFakeDllList::GetClassPersistence(const wchar_t *pszPath, const wchar_t *pszClsid, BOOL *pbSupportsFile,
                                       BOOL *pbSupportsStream, BOOL *pbSupportsStorage)
{
    calls.push_back(L"class " + std::wstring(pszPath) + L" " + pszClsid);
    if ((pszPath[0] == L'\0' || pszClsid[0] == L'\0') && !answerEmpty)
        return FALSE;
    const bool noClass = pszClsid[0] == L'\0';  // no class, no interface
    *pbSupportsFile = supportsFile && !noClass;
    *pbSupportsStream = supportsStream && !noClass;
    *pbSupportsStorage = supportsStorage && !noClass;
    return persistenceResult;
}

std::string Describe(BOOL result, const FilterRegistryInfo &info)
{
    char route[16];
    std::snprintf(route, sizeof(route), "0x%lX", static_cast<unsigned long>(info.route));
    return std::string(result ? "TRUE" : "FALSE") + " handler=" + Narrow(info.handlerClsid) +
           " filter=" + Narrow(info.filterClsid) + " module=" + Narrow(info.modulePath) + " class=\"" +
           Narrow(info.className) + "\" route=" + route + " status=" + std::to_string(info.status) +
           " trusted=" + std::to_string(info.trusted) + " persist=" + std::to_string(info.supportsFile) +
           std::to_string(info.supportsStream) + std::to_string(info.supportsStorage);
}

std::string Describe(const Expected &e)
{
    FilterRegistryInfo info;
    lstrcpynW(info.handlerClsid, e.handler.c_str(), 39);
    lstrcpynW(info.filterClsid, e.filter.c_str(), 39);
    lstrcpynW(info.modulePath, e.module.c_str(), 2048);
    lstrcpynW(info.className, e.className.c_str(), 2048);
    info.route = e.route;
    info.status = e.status;
    info.trusted = e.trusted;
    info.supportsFile = e.file;
    info.supportsStream = e.stream;
    info.supportsStorage = e.storage;
    return Describe(e.result, info);
}

const std::vector<Product> &ServerProducts()
{
    static const std::vector<Product> products = {
        {"SQLServer2000", [] { return new CIFilterRegistryHelperSQLServer2000; }, HKEY_LOCAL_MACHINE,
         L"SOFTWARE\\Microsoft\\ContentIndexCommon", L"SOFTWARE\\Microsoft\\Search\\1.0", L"InstallDirectory",
         L"bin\\", L"mssdmn"},
        {"Sharepoint2001", [] { return new CIFilterRegistryHelperSharepoint2001; }, HKEY_LOCAL_MACHINE,
         L"SOFTWARE\\Microsoft\\ContentIndexCommon", L"SOFTWARE\\Microsoft\\Search\\1.0", L"InstallDirectory",
         L"bin\\", L"mssdmn"},
        {"Sharepoint2003", [] { return new CIFilterRegistryHelperSharepoint2003; }, HKEY_LOCAL_MACHINE,
         L"SOFTWARE\\Microsoft\\SPSSearch\\ContentIndexCommon", L"SOFTWARE\\Microsoft\\Sharepoint Portal Server",
         L"InstallPath", L"bin\\", L"mssdmn"},
        {"MSNDesktopSearch", [] { return new CIFilterRegistryHelperMSNDesktopSearch; }, HKEY_CURRENT_USER,
         L"SOFTWARE\\Microsoft\\RSSearch\\ContentIndexCommon", L"SOFTWARE\\Microsoft\\RSSearch\\InstallDirectory",
         L"", L"", L"WindowsSearchFilter"},
        {"OfficeServer12", [] { return new CIFilterRegistryHelperOfficeServer12; }, HKEY_LOCAL_MACHINE,
         L"SOFTWARE\\Microsoft\\Office Server\\12.0\\Search\\Setup\\ContentIndexCommon",
         L"SOFTWARE\\Microsoft\\Office Server\\12.0", L"InstallPath", L"bin\\", L"mssdmn"},
        {"WindowsServerExtensions12", [] { return new CIFilterRegistryHelperWindowsServerExtensions12; },
         HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Shared Tools\\Web Server Extensions\\12.0\\Search\\Setup\\ContentIndexCommon",
         L"SOFTWARE\\Microsoft\\Shared Tools\\Web Server Extensions\\12.0", L"Location", L"bin\\", L"mssdmn"},
    };
    return products;
}

// The parts of the registry a lookup could touch: the lists of class registrations and product
// keys, and the product keys' whole trees.
std::wstring HelperTest::AreaSnapshot()
{
    std::wstring text = SnapshotNames(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes") +
                        SnapshotNames(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\CLSID") +
                        SnapshotNames(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\MIME\\Database\\Content Type") +
                        SnapshotNames(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft") +
                        SnapshotNames(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Microsoft\\Shared Tools") +
                        SnapshotNames(HKEY_CURRENT_USER, L"Software") +
                        SnapshotNames(HKEY_CURRENT_USER, L"Software\\Microsoft");
    for (const wchar_t *key : {L"Search", L"ContentIndexCommon", L"Sharepoint Portal Server", L"SPSSearch",
                               L"Office Server", L"Shared Tools\\Web Server Extensions", L"RSSearch"})
        text += SnapshotTree(HKEY_LOCAL_MACHINE, std::wstring(L"SOFTWARE\\Microsoft\\") + key);
    text += SnapshotTree(HKEY_CURRENT_USER, L"Software\\Microsoft\\RSSearch");
    text += SnapshotTree(HKEY_CURRENT_USER, L"Software\\Policies\\Microsoft\\DesktopSearch");
    return text;
}

void HelperTest::SetUp()
{
    m_before = AreaSnapshot();
    m_dir = TempFolder() + L"pellucidor-rh-" + std::to_wstring(GetCurrentProcessId()) + L"\\";
    RemoveTree(m_dir);
    ASSERT_TRUE(CreateDirectoryW(m_dir.c_str(), nullptr)) << GetLastError();
    MakeFolder(L"filters");
    for (int n = 1; n <= 8; ++n)
        MakeFile(L"filters\\rhf" + std::to_wstring(n) + L".dll");
    // Without a trailing backslash, as an installer would put it in a REG_EXPAND_SZ.
    SetEnvironmentVariableW(L"PELLUCIDOR_RH_DIR", m_dir.substr(0, m_dir.size() - 1).c_str());
}

void HelperTest::TearDown()
{
    if (m_seeded) {
        EXPECT_EQ(*m_seeded, AreaSnapshot() + m_seed.Snapshot()) << "the registry changed during the lookups";
    }
    m_seed.Undo();
    EXPECT_EQ(m_before, AreaSnapshot()) << "the test left registry changes behind";
    SetEnvironmentVariableW(L"PELLUCIDOR_RH_DIR", nullptr);
    RemoveTree(m_dir);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(m_dir.c_str()));
}

void HelperTest::Seeded() { m_seeded = AreaSnapshot() + m_seed.Snapshot(); }

void HelperTest::SeedFilter(int filter, const std::wstring &module, DWORD type)
{
    SeedFilterClass(FilterId(filter), L"RH filter " + std::to_wstring(filter), module, type);
}

void HelperTest::SeedFilterClass(const std::wstring &filter, const std::wstring &description,
                                 const std::wstring &module, DWORD type)
{
    const std::wstring key = CLASSES + L"CLSID\\" + filter;
    ASSERT_TRUE(m_seed.SetString(HKEY_LOCAL_MACHINE, key, L"", description));
    ASSERT_TRUE(m_seed.SetString(HKEY_LOCAL_MACHINE, key + L"\\InprocServer32", L"", module, type));
}

void HelperTest::SeedHandlerFilter(const std::wstring &handler, const std::wstring &filter)
{
    ASSERT_TRUE(m_seed.SetString(HKEY_LOCAL_MACHINE,
                                 CLASSES + L"CLSID\\" + handler + L"\\PersistentAddinsRegistered\\" + IFILTER_IID_TEXT,
                                 L"", filter));
}

void HelperTest::SeedExtHandler(const std::wstring &ext, const std::wstring &handler, DWORD type)
{
    ASSERT_TRUE(m_seed.SetString(HKEY_LOCAL_MACHINE, CLASSES + L"." + ext + L"\\PersistentHandler", L"", handler, type));
}

void HelperTest::SeedExtProgId(const std::wstring &ext, const std::wstring &progId, DWORD type)
{
    ASSERT_TRUE(m_seed.SetString(HKEY_LOCAL_MACHINE, CLASSES + L"." + ext, L"", progId, type));
}

void HelperTest::SeedProgIdClass(const std::wstring &progId, const std::wstring &cls, DWORD type)
{
    ASSERT_TRUE(m_seed.SetString(HKEY_LOCAL_MACHINE, CLASSES + progId + L"\\CLSID", L"", cls, type));
}

void HelperTest::SeedClassHandler(const std::wstring &cls, const std::wstring &handler)
{
    ASSERT_TRUE(m_seed.SetString(HKEY_LOCAL_MACHINE, CLASSES + L"CLSID\\" + cls + L"\\PersistentHandler", L"", handler));
}

void HelperTest::SeedContentType(const std::wstring &ext, const std::wstring &contentType, const std::wstring &cls)
{
    ASSERT_TRUE(m_seed.SetString(HKEY_LOCAL_MACHINE, CLASSES + L"." + ext, L"Content Type", contentType));
    ASSERT_TRUE(m_seed.SetString(HKEY_LOCAL_MACHINE, CLASSES + L"MIME\\Database\\Content Type\\" + contentType,
                                 L"CLSID", cls));
}

void HelperTest::SeedProductExt(const Product &p, const std::wstring &ext, const std::wstring &filter)
{
    ASSERT_TRUE(m_seed.SetString(p.hive, std::wstring(p.root) + L"\\Filters\\Extension\\." + ext, L"", filter));
}

void HelperTest::SeedProductClass(const Product &p, const std::wstring &id, const std::wstring &filter)
{
    ASSERT_TRUE(m_seed.SetString(p.hive, std::wstring(p.root) + L"\\Filters\\CLSID\\" + id, L"", filter));
}

void HelperTest::SeedProductDefault(const Product &p, const std::wstring &list, const std::wstring &filter)
{
    const std::wstring key = std::wstring(p.root) + L"\\Filters\\Default";
    ASSERT_TRUE(m_seed.SetString(p.hive, key, L"DefaultExtList", list));
    ASSERT_TRUE(m_seed.SetString(p.hive, key, L"", filter));
}

void HelperTest::SeedInstall(const Product &p, const std::wstring &location, DWORD type)
{
    ASSERT_TRUE(m_seed.SetString(HKEY_LOCAL_MACHINE, p.installKey, p.installValue, location, type));
}

std::wstring HelperTest::MakeFile(const std::wstring &relative)
{
    const std::wstring path = m_dir + relative;
    HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    EXPECT_NE(INVALID_HANDLE_VALUE, file) << Narrow(path) << " error " << GetLastError();
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, "MZ", 2, &written, nullptr);
        CloseHandle(file);
    }
    return path;
}

std::wstring HelperTest::MakeFolder(const std::wstring &relative)
{
    const std::wstring path = m_dir + relative;
    EXPECT_TRUE(CreateDirectoryW(path.c_str(), nullptr)) << Narrow(path) << " error " << GetLastError();
    return path + L"\\";
}

std::string HelperTest::Lookup(CIFilterRegistryHelperBase *helper, const std::wstring &ext, CDLLsInformation *list)
{
    FilterRegistryInfo info;
    info.dllList = list != nullptr ? list : &m_list;
    const BOOL result = helper->FindFilterForExtension(ext.c_str(), &info);
    return Describe(result, info);
}

std::string HelperTest::Lookup(const HelperFactory &make, const std::wstring &ext, CDLLsInformation *list)
{
    std::unique_ptr<CIFilterRegistryHelperBase> helper(make());
    return Lookup(helper.get(), ext, list);
}

Expected HelperTest::Found(const std::wstring &handler, int filter, DWORD route)
{
    return {TRUE, handler, FilterId(filter), ModuleFile(filter), L"RH filter " + std::to_wstring(filter), route,
            FILTER_STATUS_USABLE};
}
