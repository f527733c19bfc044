// The server and desktop products: which of them count as installed, where their program folder
// is (read once per helper object, a failure too), and their DLL redirection: a product whose
// program folder holds <indexer>.exe.local loads the copy of a filter that lies beside it.
#include "HelperFixture.h"

namespace {

const Product &ByName(const char *name)
{
    for (const auto &p : ServerProducts())
        if (std::string(p.name) == name)
            return p;
    throw std::runtime_error(name);
}

class ServerProductsTest : public HelperTest
{
protected:
    std::wstring BinOf(const Product &p, const std::wstring &install) { return install + L"\\" + p.binSubfolder; }

    // GetEngineBinDirectory on the helper, as text ("FALSE" or the folder).
    static std::string BinDirectory(CIFilterRegistryHelperSQLServer2000 &helper, size_t cch = 2049)
    {
        std::vector<wchar_t> buffer(cch + 8, L'~');
        const BOOL ok = helper.GetEngineBinDirectory(buffer.data(), cch);
        for (size_t i = cch; i < buffer.size(); ++i)
            EXPECT_EQ(L'~', buffer[i]) << "written past the capacity at " << i;
        if (!ok) {
            EXPECT_EQ(L'\0', buffer[0]) << "a failure leaves the buffer empty";
            return "FALSE";
        }
        return Narrow(buffer.data());
    }
    static std::string BinDirectory(const Product &p, size_t cch = 2049)
    {
        std::unique_ptr<CIFilterRegistryHelperSQLServer2000> helper(p.make());
        return BinDirectory(*helper, cch);
    }
};

TEST_F(ServerProductsTest, InstalledBySharePointVersionValue)
{
    Seeded();
    const std::wstring key = L"SOFTWARE\\Microsoft\\Sharepoint Portal Server";
    const std::wstring one = L"1";
    const struct {
        const char *state;
        std::function<void(CRegistrySeed &)> seed;
        BOOL sp2001, sp2003;
    } rows[] = {
        {"no SharePoint key", [](CRegistrySeed &) {}, FALSE, FALSE},
        {"key without SPSV2", [&](CRegistrySeed &s) { ASSERT_TRUE(s.CreateKey(HKEY_LOCAL_MACHINE, key)); }, TRUE, FALSE},
        {"SPSV2 = 1", [&](CRegistrySeed &s) { ASSERT_TRUE(s.SetDword(HKEY_LOCAL_MACHINE, key, L"SPSV2", 1)); }, FALSE, TRUE},
        {"SPSV2 = 2", [&](CRegistrySeed &s) { ASSERT_TRUE(s.SetDword(HKEY_LOCAL_MACHINE, key, L"SPSV2", 2)); }, FALSE, FALSE},
        {"SPSV2 = 0", [&](CRegistrySeed &s) { ASSERT_TRUE(s.SetDword(HKEY_LOCAL_MACHINE, key, L"SPSV2", 0)); }, FALSE, FALSE},
        {"SPSV2 as text \"1\"", [&](CRegistrySeed &s) { ASSERT_TRUE(s.SetString(HKEY_LOCAL_MACHINE, key, L"SPSV2", one)); },
         TRUE, FALSE},
    };
    for (const auto &row : rows) {
        CRegistrySeed change;
        row.seed(change);
        for (const auto &p : ServerProducts()) {
            std::unique_ptr<CIFilterRegistryHelperSQLServer2000> helper(p.make());
            const std::string name = p.name;
            const BOOL expected = name == "Sharepoint2001" ? row.sp2001 : name == "Sharepoint2003" ? row.sp2003 : TRUE;
            EXPECT_EQ(expected, helper->IsEngineInstalled()) << row.state << ": " << p.name;
        }
    }
}

TEST_F(ServerProductsTest, BinDirectoryOfEachProduct)
{
    // SQL Server 2000 and SharePoint 2001 share their install key.
    for (const auto &p : ServerProducts())
        SeedInstall(p, m_dir + L"install-" + std::wstring(p.installKey).substr(19, 6));
    Seeded();
    for (const auto &p : ServerProducts()) {
        const std::wstring install = m_dir + L"install-" + std::wstring(p.installKey).substr(19, 6);
        EXPECT_EQ(Narrow(BinOf(p, install)), BinDirectory(p)) << p.name;
    }
}

TEST_F(ServerProductsTest, BinDirectoryValueForms)
{
    const Product &office = ByName("OfficeServer12");
    const Product &desktop = ByName("MSNDesktopSearch");
    Seeded();
    const std::wstring z(1, L'\0');
    const std::wstring longest(256, L'x');  // 256 + "\bin\" does not fit 261 characters
    const struct {
        const char *name;
        const Product &product;
        std::wstring value;
        DWORD type;
        std::string expected;
    } rows[] = {
        {"plain", office, L"C:\\Office", REG_SZ, "C:\\Office\\bin\\"},
        {"with its backslash", office, L"C:\\Office\\", REG_SZ, "C:\\Office\\bin\\"},
        {"expandable", office, L"%PELLUCIDOR_RH_DIR%\\Office", REG_EXPAND_SZ, Narrow(m_dir) + "Office\\bin\\"},
        {"no subfolder", desktop, L"C:\\Desktop Search", REG_SZ, "C:\\Desktop Search\\"},
        {"no subfolder, expandable", desktop, L"%PELLUCIDOR_RH_DIR%", REG_EXPAND_SZ, Narrow(m_dir)},
        {"empty", office, L"", REG_SZ, "FALSE"},
        {"multi-string", office, L"C:\\Office", REG_MULTI_SZ, "FALSE"},
        {"too long with its subfolder", office, L"C:\\" + longest, REG_SZ, "FALSE"},
    };
    for (const auto &row : rows) {
        CRegistrySeed change;
        ASSERT_TRUE(change.SetString(HKEY_LOCAL_MACHINE, row.product.installKey, row.product.installValue, row.value,
                                     row.type));
        EXPECT_EQ(row.expected, BinDirectory(row.product)) << row.name;
    }
    {
        CRegistrySeed change;
        ASSERT_TRUE(change.SetDword(HKEY_LOCAL_MACHINE, office.installKey, office.installValue, 1));
        EXPECT_EQ("FALSE", BinDirectory(office)) << "REG_DWORD";
    }
    {
        CRegistrySeed change;
        ASSERT_TRUE(change.SetString(HKEY_LOCAL_MACHINE, office.installKey, L"Other", L"C:\\Office"));
        EXPECT_EQ("FALSE", BinDirectory(office)) << "key without the value";
    }
    EXPECT_EQ("FALSE", BinDirectory(office)) << "no key";
}

TEST_F(ServerProductsTest, BinDirectoryMustFitTheCallersBuffer)
{
    const Product &office = ByName("OfficeServer12");
    const std::wstring location = L"C:\\Program Files\\Office Servers\\12.0";
    const std::string bin = Narrow(location) + "\\bin\\";
    const size_t n = location.size();
    SeedInstall(office, location);
    Seeded();
    // The stored location itself must fit: its value name (11 characters) is no measure of it.
    EXPECT_EQ("FALSE", BinDirectory(office, 20));
    EXPECT_EQ("FALSE", BinDirectory(office, n)) << "no room for the NUL";
    EXPECT_EQ("FALSE", BinDirectory(office, n + 5)) << "location fits, with \\bin\\ it does not";
    EXPECT_EQ(bin, BinDirectory(office, n + 6));

    // Once read, the folder is handed out to any caller whose buffer holds it.
    std::unique_ptr<CIFilterRegistryHelperSQLServer2000> helper(office.make());
    EXPECT_EQ(bin, BinDirectory(*helper));
    EXPECT_EQ("FALSE", BinDirectory(*helper, n + 5));
    EXPECT_EQ(bin, BinDirectory(*helper, n + 6));
}

TEST_F(ServerProductsTest, BinDirectoryIsReadOncePerObject)
{
    const Product &sp2003 = ByName("Sharepoint2003");
    Seeded();
    std::unique_ptr<CIFilterRegistryHelperSQLServer2000> failed(sp2003.make());
    EXPECT_EQ("FALSE", BinDirectory(*failed));
    {
        CRegistrySeed change;
        ASSERT_TRUE(change.SetString(HKEY_LOCAL_MACHINE, sp2003.installKey, sp2003.installValue, L"C:\\SPS"));
        EXPECT_EQ("FALSE", BinDirectory(*failed)) << "the failure is remembered";
        std::unique_ptr<CIFilterRegistryHelperSQLServer2000> fresh(sp2003.make());
        EXPECT_EQ("C:\\SPS\\bin\\", BinDirectory(*fresh));
        ASSERT_TRUE(change.SetString(HKEY_LOCAL_MACHINE, sp2003.installKey, sp2003.installValue, L"C:\\Moved"));
        EXPECT_EQ("C:\\SPS\\bin\\", BinDirectory(*fresh)) << "the folder is remembered";
    }
    std::unique_ptr<CIFilterRegistryHelperSQLServer2000> fresh(sp2003.make());
    EXPECT_EQ("FALSE", BinDirectory(*fresh));
}

// ---------------------------------------------------------------------------------------------
// .exe.local redirection

class ExeLocalTest : public ServerProductsTest
{
protected:
    // The product installed in m_dir\<folder>, with filter 1 found through its extension table.
    std::wstring Install(const Product &p, const std::wstring &folder)
    {
        MakeFolder(folder);
        if (p.binSubfolder[0] != L'\0')
            MakeFolder(folder + L"\\" + std::wstring(p.binSubfolder).substr(0, wcslen(p.binSubfolder) - 1));
        SeedInstall(p, m_dir + folder);
        SeedProductExt(p, L"pellrhl", FilterId(1));
        return BinOf(p, m_dir + folder);
    }
    Expected Module(const std::wstring &module)
    {
        Expected e = Found(L"", 1, ROUTE_PRODUCT_EXTENSION);
        e.module = module;
        return e;
    }
};

TEST_F(ExeLocalTest, EachProductLoadsTheCopyBesideItsIndexer)
{
    SeedFilter(1, ModuleFile(1));
    std::vector<std::wstring> bins;
    for (size_t i = 0; i < ServerProducts().size(); ++i) {
        const Product &p = ServerProducts()[i];
        bins.push_back(Install(p, L"product" + std::to_wstring(i)));
    }
    // SQL Server 2000 and SharePoint 2001 share their install key: the later seed wins for both.
    bins[0] = bins[1];
    for (size_t i = 1; i < ServerProducts().size(); ++i) {
        const Product &p = ServerProducts()[i];
        CopyFileW(ModuleFile(1).c_str(), (bins[i] + L"rhf1.dll").c_str(), FALSE);
        MakeFile(bins[i].substr(m_dir.size()) + p.hostExe + L".exe.local");
    }
    Seeded();
    for (size_t i = 0; i < ServerProducts().size(); ++i) {
        const Product &p = ServerProducts()[i];
        EXPECT_EQ(Describe(Module(bins[i] + L"rhf1.dll")), Lookup([&] { return p.make(); }, L"PELLRHL")) << p.name;
    }
}

TEST_F(ExeLocalTest, WhatRedirectsNothing)
{
    const Product &office = ByName("OfficeServer12");
    SeedFilter(1, ModuleFile(1));
    const std::wstring bin = Install(office, L"office");
    Seeded();
    const std::wstring copy = bin + L"rhf1.dll";
    const std::wstring local = bin + L"mssdmn.exe.local";
    auto lookup = [&] { return Lookup([&] { return office.make(); }, L"PELLRHL"); };

    EXPECT_EQ(Describe(Module(ModuleFile(1))), lookup()) << "no .exe.local, no copy";
    CopyFileW(ModuleFile(1).c_str(), copy.c_str(), FALSE);
    EXPECT_EQ(Describe(Module(ModuleFile(1))), lookup()) << "a copy but no .exe.local";
    ASSERT_TRUE(CreateDirectoryW(local.c_str(), nullptr));
    EXPECT_EQ(Describe(Module(ModuleFile(1))), lookup()) << ".exe.local is a folder";
    RemoveDirectoryW(local.c_str());
    MakeFile(bin.substr(m_dir.size()) + L"WindowsSearchFilter.exe.local");
    EXPECT_EQ(Describe(Module(ModuleFile(1))), lookup()) << "another indexer's .exe.local";
    MakeFile(local.substr(m_dir.size()));
    EXPECT_EQ(Describe(Module(copy)), lookup()) << ".exe.local and the copy";
    DeleteFileW(copy.c_str());
    EXPECT_EQ(Describe(Module(ModuleFile(1))), lookup()) << ".exe.local without the copy";
}

TEST_F(ExeLocalTest, ModuleAlreadyInTheProgramFolder)
{
    const Product &office = ByName("OfficeServer12");
    const std::wstring bin = Install(office, L"office");
    MakeFile(bin.substr(m_dir.size()) + L"mssdmn.exe.local");
    const std::wstring inBin = MakeFile(bin.substr(m_dir.size()) + L"rhf1.dll");
    // Registered with the folder in other letter case: still the program folder, left as it is.
    std::wstring registered = inBin;
    CharUpperW(&registered[0]);
    SeedFilter(1, registered);
    Seeded();
    // The module is taken in its long form (Wine mends the letter case of 8.3-sized components).
    wchar_t longForm[MAX_PATH];
    ASSERT_NE(0u, GetLongPathNameW(registered.c_str(), longForm, MAX_PATH));
    EXPECT_EQ(Describe(Module(longForm)), Lookup([&] { return office.make(); }, L"PELLRHL"));
}

TEST_F(ExeLocalTest, RedirectionIsCheckedOncePerObject)
{
    const Product &wss = ByName("WindowsServerExtensions12");
    SeedFilter(1, ModuleFile(1));
    const std::wstring bin = Install(wss, L"wss");
    const std::wstring copy = bin + L"rhf1.dll";
    CopyFileW(ModuleFile(1).c_str(), copy.c_str(), FALSE);
    const std::wstring local = MakeFile(bin.substr(m_dir.size()) + L"mssdmn.exe.local");
    Seeded();
    std::unique_ptr<CIFilterRegistryHelperBase> helper(wss.make());
    EXPECT_EQ(Describe(Module(copy)), Lookup(helper.get(), L"PELLRHL"));
    DeleteFileW(local.c_str());
    EXPECT_EQ(Describe(Module(copy)), Lookup(helper.get(), L"PELLRHL")) << "same object: still redirected";
    EXPECT_EQ(Describe(Module(ModuleFile(1))), Lookup([&] { return wss.make(); }, L"PELLRHL")) << "new object";
}

TEST_F(ExeLocalTest, IndexingServiceHasNoProgramFolder)
{
    SeedFilter(1, ModuleFile(1));
    SeedHandlerFilter(Handler(1), FilterId(1));
    SeedExtHandler(L"pellrhl", Handler(1));
    Seeded();
    EXPECT_EQ(Describe(Found(Handler(1), 1, ROUTE_EXTENSION_HANDLER)),
              Lookup([] { return new CIFilterRegistryHelperIndexingService30; }, L"PELLRHL"));
}

// ---------------------------------------------------------------------------------------------
// DefaultExtList

TEST_F(ServerProductsTest, DefaultExtListEntries)
{
    const Product &sp2001 = ByName("Sharepoint2001");
    const Product &desktop = ByName("MSNDesktopSearch");
    SeedFilter(5, ModuleFile(5));
    SeedProductDefault(sp2001, L"", FilterId(5));
    SeedProductDefault(desktop, L"", FilterId(5));
    Seeded();
    const std::wstring z(1, L'\0');
    const Expected listed = Found(L"", 5, ROUTE_DEFAULT_FILTER);
    const Expected unlisted{FALSE, L"", L"", L"", L"", 0, FILTER_STATUS_NOT_USABLE, FALSE};
    const struct {
        const char *name;
        std::wstring stored;  // raw, NUL included where wanted
        DWORD type;
        const wchar_t *ext;
        bool match;
    } rows[] = {
        {"second entry, asked in upper case", L"doc pellrhd" + z, REG_SZ, L"PELLRHD", true},
        {"entries in upper case, asked in lower case", L"DOC PELLRHD" + z, REG_SZ, L"pellrhd", true},
        {"only entry", L"pellrhd" + z, REG_SZ, L"PELLRHD", true},
        {"trailing space", L"doc pellrhd " + z, REG_SZ, L"PELLRHD", true},
        {"two spaces end the list", L"doc  pellrhd" + z, REG_SZ, L"PELLRHD", false},
        {"leading space: empty list", L" pellrhd" + z, REG_SZ, L"PELLRHD", false},
        {"whole entries only", L"pellrhdx pellrh" + z, REG_SZ, L"PELLRHD", false},
        {"stored without its NUL", L"doc pellrhd", REG_SZ, L"PELLRHD", true},
        {"multi-string: the walk goes on past the first string", L"doc" + z + L"pellrhd" + z + z, REG_MULTI_SZ,
         L"PELLRHD", true},
        {"REG_EXPAND_SZ is refused", L"pellrhd" + z, REG_EXPAND_SZ, L"PELLRHD", false},
    };
    for (const Product *p : {&sp2001, &desktop}) {
        for (const auto &row : rows) {
            CRegistrySeed change;
            // A character after the data that is no NUL, so the registry stores exactly these bytes.
            const std::wstring data = row.stored + L"X";
            ASSERT_TRUE(change.SetRaw(p->hive, std::wstring(p->root) + L"\\Filters\\Default", L"DefaultExtList", row.type,
                                      data.c_str(), static_cast<DWORD>(row.stored.size() * sizeof(wchar_t))));
            EXPECT_EQ(Describe(row.match ? listed : unlisted), Lookup([&] { return p->make(); }, row.ext))
                << p->name << ": " << row.name;
        }
    }
}

TEST_F(ServerProductsTest, DefaultExtListAsEntries)
{
    const Product &sp2003 = ByName("Sharepoint2003");
    SeedProductDefault(sp2003, L"Doc xls  ppt", FilterId(5));
    Seeded();
    std::unique_ptr<CIFilterRegistryHelperSQLServer2000> helper(sp2003.make());
    std::unique_ptr<wchar_t[]> list = helper->GetDefaultExtList();
    ASSERT_NE(nullptr, list);
    const wchar_t expected[] = L"Doc\0xls\0\0ppt\0";  // spaces become NULs; the empty entry ends the list
    EXPECT_EQ(0, memcmp(expected, list.get(), sizeof(expected)));

    std::unique_ptr<CIFilterRegistryHelperSQLServer2000> sql(new CIFilterRegistryHelperSQLServer2000);
    EXPECT_EQ(nullptr, sql->GetDefaultExtList()) << "SQL Server 2000 has no default filter";
    std::unique_ptr<CIFilterRegistryHelperBase> office(ByName("OfficeServer12").make());
    EXPECT_EQ(nullptr, office->GetDefaultExtList()) << "nothing seeded for Office Server 12";
}

// ---------------------------------------------------------------------------------------------
// Desktop search policy

TEST_F(ServerProductsTest, PreventedAddinsOfDesktopSearch)
{
    std::vector<std::wstring> addins = {L"left over"};
    CIFilterRegistryHelperMSNDesktopSearch helper;
    Seeded();
    EXPECT_TRUE(helper.ReadPreventedAddins(addins));
    EXPECT_TRUE(addins.empty()) << "no policy key";

    const std::wstring key = L"Software\\Policies\\Microsoft\\DesktopSearch\\PreventUnwantedAddins";
    CRegistrySeed policy;
    ASSERT_TRUE(policy.SetString(HKEY_CURRENT_USER, key, L"a", L"C:\\addins\\one.dll"));
    const wchar_t multi[] = L"first\0second\0";
    ASSERT_TRUE(policy.SetRaw(HKEY_CURRENT_USER, key, L"b", REG_MULTI_SZ, multi, sizeof(multi)));
    ASSERT_TRUE(policy.SetDword(HKEY_CURRENT_USER, key, L"c", 1));
    ASSERT_TRUE(policy.SetString(HKEY_CURRENT_USER, key, L"d", std::wstring(2047, L'k')));
    ASSERT_TRUE(policy.SetString(HKEY_CURRENT_USER, key, L"e", std::wstring(2048, L'l')));
    ASSERT_TRUE(policy.SetString(HKEY_CURRENT_USER, key, L"f", L"%SystemRoot%\\x.dll", REG_EXPAND_SZ));
    const std::wstring before = policy.Snapshot();
    EXPECT_TRUE(helper.ReadPreventedAddins(addins));
    EXPECT_EQ((std::vector<std::wstring>{L"C:\\addins\\one.dll", L"first", std::wstring(2047, L'k')}), addins);
    EXPECT_EQ(before, policy.Snapshot());
}

} // namespace
