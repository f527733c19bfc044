// How the helpers read each registry value: identifier lengths (a persistent handler exactly 38
// characters, other identifiers at most 38), over-long values failing instead of being cut into
// another identifier, REG_EXPAND_SZ refused where a plain string is read, and the module path:
// expanded, limited to 255 characters, a bare name looked for in the system directory first.
#include "HelperFixture.h"

namespace {

const HelperFactory IS20 = [] { return new CIFilterRegistryHelperIndexingService20; };
const HelperFactory IS30 = [] { return new CIFilterRegistryHelperIndexingService30; };
const HelperFactory SQL2000 = [] { return new CIFilterRegistryHelperSQLServer2000; };
const HelperFactory SP2001 = [] { return new CIFilterRegistryHelperSharepoint2001; };

// A stored value given as raw characters (so it may hold NULs of its own).
struct RawText {
    std::wstring text;
    DWORD type;
};

class ValueRulesTest : public HelperTest
{
protected:
    // A default value under HKLM, changed for a while after Seeded(): the change is undone
    // before the test ends, so the registry is compared with what was seeded.
    static void SeedRaw(CRegistrySeed &seed, const std::wstring &key, const RawText &value)
    {
        ASSERT_TRUE(seed.SetRaw(HKEY_LOCAL_MACHINE, key, L"", value.type, value.text.c_str(),
                                static_cast<DWORD>(value.text.size() * sizeof(wchar_t))));
    }
    Expected NotFound(DWORD route = 0, const std::wstring &handler = L"", const std::wstring &filter = L"")
    {
        return {FALSE, handler, filter, L"", L"", route, FILTER_STATUS_NOT_USABLE, FALSE};
    }
};

// Values as stored, NUL included; the variants of one identifier that must not pass for it.
std::vector<std::pair<const char *, RawText>> Variants(const std::wstring &id)
{
    const std::wstring z(1, L'\0');
    return {
        {"37 characters", {id.substr(0, 37) + z, REG_SZ}},
        {"39 characters", {id + L"0" + z, REG_SZ}},
        {"REG_EXPAND_SZ", {id + z, REG_EXPAND_SZ}},
        {"REG_DWORD", {std::wstring(L"\x0001\x0000", 2), REG_DWORD}},
        {"38 characters holding an earlier NUL", {id.substr(0, 10) + z + id.substr(11) + z, REG_SZ}},
    };
}

TEST_F(ValueRulesTest, ExtensionHandlerMustBeExactly38Characters)
{
    // The extension also has a ProgID whose class leads to handler 2: a rejected handler value
    // lets the chain go on to it.
    SeedFilter(1, ModuleFile(1));
    SeedFilter(2, ModuleFile(2));
    SeedHandlerFilter(Handler(1), FilterId(1));
    SeedHandlerFilter(Handler(2), FilterId(2));
    SeedExtProgId(L"pellrhv", L"Pellucidor.RH.V");
    SeedProgIdClass(L"Pellucidor.RH.V", ClassId(2));
    SeedClassHandler(ClassId(2), Handler(2));
    SeedExtHandler(L"pellrhv", Handler(1));
    Seeded();
    EXPECT_EQ(Describe(Found(Handler(1), 1, ROUTE_EXTENSION_HANDLER)), Lookup(IS30, L"PELLRHV"));
    for (const auto &[name, value] : Variants(Handler(1))) {
        CRegistrySeed change;
        SeedRaw(change, L"SOFTWARE\\Classes\\.pellrhv\\PersistentHandler", value);
        EXPECT_EQ(Describe(Found(Handler(2), 2, ROUTE_PROGID_CLASS_HANDLER)), Lookup(IS30, L"PELLRHV")) << name;
    }
}

TEST_F(ValueRulesTest, ClassHandlerMustBeExactly38Characters)
{
    SeedFilter(1, ModuleFile(1));
    SeedHandlerFilter(Handler(1), FilterId(1));
    SeedExtProgId(L"pellrhv", L"Pellucidor.RH.V");
    SeedProgIdClass(L"Pellucidor.RH.V", ClassId(1));
    SeedClassHandler(ClassId(1), Handler(1));
    Seeded();
    EXPECT_EQ(Describe(Found(Handler(1), 1, ROUTE_PROGID_CLASS_HANDLER)), Lookup(IS20, L"PELLRHV"));
    for (const auto &[name, value] : Variants(Handler(1))) {
        CRegistrySeed change;
        SeedRaw(change, L"SOFTWARE\\Classes\\CLSID\\" + ClassId(1) + L"\\PersistentHandler", value);
        EXPECT_EQ(Describe(NotFound()), Lookup(IS20, L"PELLRHV")) << name;
    }
}

TEST_F(ValueRulesTest, OtherIdentifiersAtMost38Characters)
{
    // A shorter identifier is taken as it is, wherever only "at most" applies.
    const std::wstring shortClass = L"{RH-short-class}";
    const std::wstring shortFilter = L"{RH-short-filter}";
    const std::wstring z(1, L'\0');
    SeedFilter(1, ModuleFile(1));
    ASSERT_TRUE(m_seed.SetString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\CLSID\\" + shortFilter, L"", L"short one"));
    ASSERT_TRUE(m_seed.SetString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\CLSID\\" + shortFilter + L"\\InprocServer32",
                                 L"", ModuleFile(2)));
    SeedExtProgId(L"pellrhs", L"Pellucidor.RH.S");
    SeedProgIdClass(L"Pellucidor.RH.S", shortClass);
    SeedClassHandler(shortClass, Handler(1));
    SeedClassHandler(ClassId(1), Handler(1));
    SeedHandlerFilter(Handler(1), shortFilter);
    Seeded();

    const std::wstring progIdClass = L"SOFTWARE\\Classes\\Pellucidor.RH.S\\CLSID";
    const std::wstring handlerFilter =
        L"SOFTWARE\\Classes\\CLSID\\" + Handler(1) + L"\\PersistentAddinsRegistered\\" + IFILTER_IID_TEXT;
    const Expected viaShort{TRUE, Handler(1), shortFilter, ModuleFile(2), L"short one", ROUTE_PROGID_CLASS_HANDLER, 0};
    const struct {
        const char *name;
        std::wstring key;
        RawText value;
        Expected expected;
    } rows[] = {
        {"short ProgID class", progIdClass, {shortClass + z, REG_SZ}, viaShort},
        {"38-character ProgID class", progIdClass, {ClassId(1) + z, REG_SZ}, viaShort},
        {"39-character ProgID class", progIdClass, {ClassId(1) + L"0" + z, REG_SZ}, NotFound()},
        {"REG_EXPAND_SZ ProgID class", progIdClass, {ClassId(1) + z, REG_EXPAND_SZ}, NotFound()},
        {"38-character filter", handlerFilter, {FilterId(1) + z, REG_SZ}, Found(Handler(1), 1, ROUTE_PROGID_CLASS_HANDLER)},
        // Not cut to the 38 characters that would name filter 1: no filter, so no module either.
        {"39-character filter", handlerFilter, {FilterId(1) + L"0" + z, REG_SZ},
         NotFound(ROUTE_PROGID_CLASS_HANDLER, Handler(1))},
        {"REG_EXPAND_SZ filter", handlerFilter, {FilterId(1) + z, REG_EXPAND_SZ},
         NotFound(ROUTE_PROGID_CLASS_HANDLER, Handler(1))},
    };
    for (const auto &row : rows) {
        CRegistrySeed change;
        SeedRaw(change, row.key, row.value);
        EXPECT_EQ(Describe(row.expected), Lookup(IS20, L"PELLRHS")) << row.name;
    }
}

TEST_F(ValueRulesTest, ContentTypeClassAtMost38Characters)
{
    SeedFilter(1, ModuleFile(1));
    SeedHandlerFilter(Handler(1), FilterId(1));
    SeedClassHandler(ClassId(1), Handler(1));
    SeedContentType(L"pellrhm", L"application/x-pellrh-m", ClassId(1));
    EXPECT_EQ(Describe(Found(Handler(1), 1, ROUTE_CONTENT_TYPE)), Lookup(SP2001, L"PELLRHM"));
    ASSERT_TRUE(m_seed.SetString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\MIME\\Database\\Content Type\\application/x-pellrh-m",
                                 L"CLSID", ClassId(1) + L"0"));
    Seeded();
    EXPECT_EQ(Describe(NotFound()), Lookup(SP2001, L"PELLRHM"));
}

TEST_F(ValueRulesTest, ProductTableValuesThatDoNotFitAreNotCut)
{
    const Product &sql = ServerProducts()[0];
    const Product &sp2001 = ServerProducts()[1];
    for (int n = 1; n <= 3; ++n)
        SeedFilter(n, ModuleFile(n));
    SeedHandlerFilter(Handler(3), FilterId(3));
    // Extension table: 39 characters, the first 38 of which name filter 1.
    SeedProductExt(sql, L"pellrht", FilterId(1) + L"0");
    SeedExtHandler(L"pellrht", Handler(3));
    SeedProductExt(sql, L"pellrhu", FilterId(1) + L"0");
    // Class table for handler 3, too long as well: the system registration is used instead.
    SeedProductClass(sql, Handler(3), FilterId(2) + L"0");
    // Handler 9 is known to the class table only, with a value too long: no filter at all, where
    // a cut value would name filter 1 and its module.
    SeedExtHandler(L"pellrhy", Handler(9));
    SeedProductClass(sql, Handler(9), FilterId(1) + L"0");
    // Default filter too long.
    SeedProductDefault(sp2001, L"pellrhw", FilterId(2) + L"0");
    // A shorter identifier in a product table is taken as it is.
    SeedProductExt(sql, L"pellrhx", L"{RH-short-filter}");
    ASSERT_TRUE(m_seed.SetString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\CLSID\\{RH-short-filter}\\InprocServer32",
                                 L"", ModuleFile(2)));
    Seeded();

    EXPECT_EQ(Describe(Found(Handler(3), 3, ROUTE_EXTENSION_HANDLER)), Lookup(SQL2000, L"PELLRHT"));
    EXPECT_EQ(Describe(NotFound()), Lookup(SQL2000, L"PELLRHU"));
    EXPECT_EQ(Describe(NotFound(ROUTE_EXTENSION_HANDLER, Handler(9))), Lookup(SQL2000, L"PELLRHY"));
    EXPECT_EQ(Describe(NotFound(ROUTE_DEFAULT_FILTER)), Lookup(SP2001, L"PELLRHW"));
    EXPECT_EQ(Describe(Expected{TRUE, L"", L"{RH-short-filter}", ModuleFile(2), L"", ROUTE_PRODUCT_EXTENSION, 0}),
              Lookup(SQL2000, L"PELLRHX"));
}

TEST_F(ValueRulesTest, ProgIdAndContentTypeMayBeExpandableButAreNotExpanded)
{
    SetEnvironmentVariableW(L"PELLUCIDOR_RH_PROG", L"Elsewhere");
    SeedFilter(1, ModuleFile(1));
    SeedHandlerFilter(Handler(1), FilterId(1));
    SeedClassHandler(ClassId(1), Handler(1));
    SeedExtProgId(L"pellrhe", L"Pellucidor.RH.%PELLUCIDOR_RH_PROG%", REG_EXPAND_SZ);
    SeedProgIdClass(L"Pellucidor.RH.%PELLUCIDOR_RH_PROG%", ClassId(1));
    ASSERT_TRUE(m_seed.SetString(HKEY_LOCAL_MACHINE, L"SOFTWARE\\Classes\\.pellrhc", L"Content Type",
                                 L"application/x-pellrh-%PELLUCIDOR_RH_PROG%", REG_EXPAND_SZ));
    ASSERT_TRUE(m_seed.SetString(HKEY_LOCAL_MACHINE,
                                 L"SOFTWARE\\Classes\\MIME\\Database\\Content Type\\application/x-pellrh-%PELLUCIDOR_RH_PROG%",
                                 L"CLSID", ClassId(1)));
    Seeded();
    EXPECT_EQ(Describe(Found(Handler(1), 1, ROUTE_PROGID_CLASS_HANDLER)), Lookup(IS30, L"PELLRHE"));
    EXPECT_EQ(Describe(Found(Handler(1), 1, ROUTE_CONTENT_TYPE)), Lookup(SP2001, L"PELLRHC"));
    SetEnvironmentVariableW(L"PELLUCIDOR_RH_PROG", nullptr);
}

class ModuleTest : public ValueRulesTest
{
protected:
    void SeedExt()
    {
        SeedHandlerFilter(Handler(1), FilterId(1));
        SeedExtHandler(L"pellrhmod", Handler(1));
    }
    Expected Module(const std::wstring &module)
    {
        Expected e = Found(Handler(1), 1, ROUTE_EXTENSION_HANDLER);
        e.module = module;
        if (module.empty()) {
            e.result = FALSE;  // nothing to ask the DLL list about
            e.status = FILTER_STATUS_NOT_USABLE;
            e.file = FALSE;
        }
        return e;
    }
    std::string LookupModule(const RawText &registered)
    {
        CRegistrySeed change;
        SeedRaw(change, L"SOFTWARE\\Classes\\CLSID\\" + FilterId(1) + L"\\InprocServer32", registered);
        return Lookup(IS30, L"PELLRHMOD");
    }
};

TEST_F(ModuleTest, RegisteredPathForms)
{
    SeedFilter(1, ModuleFile(1));
    SeedExt();
    const std::wstring filters = m_dir + L"filters\\";
    const std::wstring dotted = MakeFile(L"filters\\rh.multi.dot.dll");
    // 255 characters is the longest module path; the file exists in both cases.
    const std::wstring longest = filters + std::wstring(255 - filters.size() - 4, L'n') + L".dll";
    const std::wstring tooLong = filters + std::wstring(256 - filters.size() - 4, L'n') + L".dll";
    MakeFile(longest.substr(m_dir.size()));
    MakeFile(tooLong.substr(m_dir.size()));
    SetEnvironmentVariableW(L"PELLUCIDOR_RH_LONG", tooLong.c_str());
    Seeded();

    const std::wstring z(1, L'\0');
    const struct {
        const char *name;
        RawText registered;
        std::wstring module;  // empty: not found
    } rows[] = {
        {"full path", {ModuleFile(1) + z, REG_SZ}, ModuleFile(1)},
        {"expandable", {L"%PELLUCIDOR_RH_DIR%\\filters\\rhf1.dll" + z, REG_EXPAND_SZ}, ModuleFile(1)},
        {"unexpanded text is no path", {L"%PELLUCIDOR_RH_DIR%\\filters\\rhf1.dll" + z, REG_SZ}, L""},
        {"file name with dots", {dotted + z, REG_SZ}, dotted},
        {"255 characters", {longest + z, REG_SZ}, longest},
        {"256 characters", {tooLong + z, REG_SZ}, L""},
        {"256 characters once expanded", {L"%PELLUCIDOR_RH_LONG%" + z, REG_EXPAND_SZ}, L""},
        {"file that does not exist", {filters + L"absent.dll" + z, REG_SZ}, L""},
        {"folder instead of a file name", {filters + z, REG_SZ}, L""},
        {"empty", {z, REG_SZ}, L""},
        {"REG_DWORD", {std::wstring(L"\x0001\x0000", 2), REG_DWORD}, L""},
    };
    for (const auto &row : rows)
        EXPECT_EQ(Describe(Module(row.module)), LookupModule(row.registered)) << row.name;
    SetEnvironmentVariableW(L"PELLUCIDOR_RH_LONG", nullptr);
}

// A file of the test's own in the system directory, removed whatever happens.
struct CSystemFile {
    std::wstring path;
    explicit CSystemFile(const std::wstring &name)
    {
        wchar_t dir[MAX_PATH];
        GetSystemDirectoryW(dir, MAX_PATH);
        path = std::wstring(dir) + L"\\" + name;
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        if (file != INVALID_HANDLE_VALUE)
            CloseHandle(file);
    }
    ~CSystemFile() { DeleteFileW(path.c_str()); }
};

struct CCurrentDirectory {
    wchar_t saved[MAX_PATH] = {};
    explicit CCurrentDirectory(const std::wstring &dir)
    {
        GetCurrentDirectoryW(MAX_PATH, saved);
        SetCurrentDirectoryW(dir.c_str());
    }
    ~CCurrentDirectory() { SetCurrentDirectoryW(saved); }
};

TEST_F(ModuleTest, BareFileNameSystemDirectoryFirstThenSearchPath)
{
    SeedFilter(1, L"pellrhsys.dll");
    SeedExt();
    Seeded();
    const std::wstring search = MakeFolder(L"search");
    const std::wstring inSearch = MakeFile(L"search\\pellrhsys.dll");
    CCurrentDirectory cwd(search);
    {
        CSystemFile inSystem(L"pellrhsys.dll");
        ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(inSystem.path.c_str())) << GetLastError();
        EXPECT_EQ(Describe(Module(inSystem.path)), Lookup(IS30, L"PELLRHMOD")) << "in both places";
    }
    EXPECT_EQ(Describe(Module(inSearch)), Lookup(IS30, L"PELLRHMOD")) << "only in the current directory";
    DeleteFileW(inSearch.c_str());
    EXPECT_EQ(Describe(Module(L"")), Lookup(IS30, L"PELLRHMOD")) << "nowhere";
}

TEST_F(ModuleTest, ClassDescription)
{
    SeedFilter(1, ModuleFile(1));
    SeedExt();
    const std::wstring key = L"SOFTWARE\\Classes\\CLSID\\" + FilterId(1);
    const std::wstring z(1, L'\0');
    Seeded();
    const struct {
        const char *name;
        RawText value;
        std::wstring expected;
    } rows[] = {
        {"2047 characters", {std::wstring(2047, L'd') + z, REG_SZ}, std::wstring(2047, L'd')},
        {"2048 characters", {std::wstring(2048, L'd') + z, REG_SZ}, L""},
        {"REG_EXPAND_SZ", {L"RH %PATH%" + z, REG_EXPAND_SZ}, L""},
    };
    for (const auto &row : rows) {
        CRegistrySeed change;
        SeedRaw(change, key, row.value);
        Expected e = Found(Handler(1), 1, ROUTE_EXTENSION_HANDLER);
        e.className = row.expected;
        EXPECT_EQ(Describe(e), Lookup(IS30, L"PELLRHMOD")) << row.name;
    }
}

} // namespace
