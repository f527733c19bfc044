// Lookups with the real DLL information list over the fixture filter DLLs: the record a lookup
// leaves is what the filter class in the module really answers, each module is probed once per
// list, and the list's first view of a file (its spelling, its absence) is what the record shows.
#include "HelperFixture.h"
#include "support/ProcAddress.h"
#include "tools/fixtures/FixtureIds.h"

namespace {

const HelperFactory IS30 = [] { return new CIFilterRegistryHelperIndexingService30; };

std::wstring FixturePath(int row) { return TestBinPath(std::wstring(FIXTURE_FOLDER) + L"\\" + g_fixtures[row].dllName); }

std::wstring LongForm(const std::wstring &path)
{
    wchar_t longPath[2048];
    const DWORD cch = GetLongPathNameW(path.c_str(), longPath, 2048);
    return cch > 0 && cch < 2048 ? std::wstring(longPath) : path;
}

// Filter objects the fixture module has created since it was loaded (0 when it is not loaded).
LONG CreatedCount(const std::wstring &module)
{
    HMODULE loaded = GetModuleHandleW(module.c_str());
    if (loaded == nullptr)
        return 0;
    auto count = GetProcAs<LONG(WINAPI *)()>(loaded, "FixtureCreatedCount");
    return count != nullptr ? count() : -1;
}

class RealListTest : public HelperTest
{
protected:
    void SetUp() override
    {
        HelperTest::SetUp();
        m_hrCom = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    }
    void TearDown() override
    {
        // The list keeps the modules it probed loaded; copies in the test's folder are let go
        // here so that the folder can be removed.
        for (const auto &copy : m_copies) {
            for (int i = 0; i < 16 && GetModuleHandleW(copy.c_str()) != nullptr; ++i)
                FreeLibrary(GetModuleHandleW(copy.c_str()));
        }
        HelperTest::TearDown();
        if (SUCCEEDED(m_hrCom))
            CoUninitialize();
    }

    // ext -> handler n -> the fixture row's filter class, registered at module.
    void SeedFixture(int row, const std::wstring &ext, int n, const std::wstring &module)
    {
        SeedFilterClass(g_fixtures[row].clsid, g_fixtures[row].description, module);
        SeedHandlerFilter(Handler(n), g_fixtures[row].clsid);
        SeedExtHandler(ext, Handler(n));
    }
    Expected FixtureFound(int row, int n, const std::wstring &module, unsigned persist)
    {
        const bool any = persist != 0;
        return {TRUE, Handler(n), g_fixtures[row].clsid, module, g_fixtures[row].description, ROUTE_EXTENSION_HANDLER,
                any ? FILTER_STATUS_USABLE : FILTER_STATUS_NOT_USABLE, (persist & FIXTURE_PERSIST_FILE) != 0,
                (persist & FIXTURE_PERSIST_STREAM) != 0, (persist & FIXTURE_PERSIST_STORAGE) != 0};
    }
    // The list as the loader sets it up for a lookup.
    static void PrepareList(CDLLsInformation &list) { list.m_bVerifyTrust = FALSE; }

    // A copy of a fixture DLL in the test's folder.
    std::wstring Copy(int row, const std::wstring &path)
    {
        EXPECT_TRUE(CopyFileW(FixturePath(row).c_str(), path.c_str(), FALSE)) << GetLastError();
        m_copies.push_back(path);
        return path;
    }

    HRESULT m_hrCom = E_FAIL;
    std::vector<std::wstring> m_copies;
};

TEST_F(RealListTest, RecordShowsWhatTheClassAnswers)
{
    const struct {
        int row;
        unsigned persist;  // what the list records for the class
    } rows[] = {
        {FIXTURE_ROW_TEXT, FIXTURE_PERSIST_FILE | FIXTURE_PERSIST_STREAM},
        {FIXTURE_ROW_STREAM_ONLY, FIXTURE_PERSIST_STREAM},
        {FIXTURE_ROW_ALL_PERSIST, FIXTURE_PERSIST_ALL},
        {FIXTURE_ROW_NO_ENTRY, 0},          // no DllGetClassObject: no interface, not usable
        {FIXTURE_ROW_REFUSES, 0},           // the factory refuses the class
        {FIXTURE_ROW_TALVERINE, FIXTURE_PERSIST_FILE},  // taken by name, never loaded
    };
    for (const auto &r : rows)
        SeedFixture(r.row, L"pellrhr" + std::to_wstring(r.row), 20 + r.row, FixturePath(r.row));
    Seeded();
    CDLLsInformation list;
    PrepareList(list);
    for (const auto &r : rows) {
        EXPECT_EQ(Describe(FixtureFound(r.row, 20 + r.row, LongForm(FixturePath(r.row)), r.persist)),
                  Lookup(IS30, L"PELLRHR" + std::to_wstring(r.row), &list))
            << Narrow(g_fixtures[r.row].dllName);
    }
    EXPECT_EQ(nullptr, GetModuleHandleW(FixturePath(FIXTURE_ROW_TALVERINE).c_str()));
}

TEST_F(RealListTest, EachModuleIsProbedOncePerList)
{
    const std::wstring module = FixturePath(FIXTURE_ROW_ALL_PERSIST);
    SeedFixture(FIXTURE_ROW_ALL_PERSIST, L"pellrhq", 30, module);
    Seeded();
    const Expected found = FixtureFound(FIXTURE_ROW_ALL_PERSIST, 30, LongForm(module), FIXTURE_PERSIST_ALL);
    const LONG before = CreatedCount(module);
    {
        CDLLsInformation list;
        PrepareList(list);
        EXPECT_EQ(Describe(found), Lookup(IS30, L"PELLRHQ", &list));
        EXPECT_EQ(before + 1, CreatedCount(module)) << "the first lookup probes the class";
        EXPECT_EQ(Describe(found), Lookup(IS30, L"PELLRHQ", &list));
        EXPECT_EQ(before + 1, CreatedCount(module)) << "the second answers from the list";
    }
    CDLLsInformation fresh;
    PrepareList(fresh);
    EXPECT_EQ(Describe(found), Lookup(IS30, L"PELLRHQ", &fresh));
    EXPECT_EQ(before + 2, CreatedCount(module)) << "a new list probes again";
}

TEST_F(RealListTest, TheListsFirstViewOfTheFileWins)
{
    const std::wstring late = m_dir + L"filters\\late.dll";
    const std::wstring spelled = m_dir + L"filters\\spelled.dll";
    Copy(FIXTURE_ROW_TEXT, spelled);
    SeedFixture(FIXTURE_ROW_TEXT, L"pellrhlate", 40, late);
    Seeded();
    CDLLsInformation list;
    PrepareList(list);

    // Asked about before the file existed: recorded as missing, which the record then shows.
    BOOL found = static_cast<BOOL>(MARKER), trusted = static_cast<BOOL>(MARKER);
    ASSERT_TRUE(list.GetFileStatus(late.c_str(), &found, &trusted));
    EXPECT_FALSE(found);
    Copy(FIXTURE_ROW_TEXT, late);
    Expected missing = FixtureFound(FIXTURE_ROW_TEXT, 40, LongForm(late), 0);
    missing.status = FILTER_STATUS_MODULE_NOT_FOUND;
    EXPECT_EQ(Describe(missing), Lookup(IS30, L"PELLRHLATE", &list));

    // First seen in upper case: the record carries that spelling.
    std::wstring upper = spelled;
    CharUpperW(&upper[0]);
    wchar_t path[2048];
    lstrcpynW(path, upper.c_str(), 2048);
    ASSERT_TRUE(list.GetDisplayName(path, 2048));
    CRegistrySeed change;
    ASSERT_TRUE(change.SetString(HKEY_LOCAL_MACHINE,
                                 std::wstring(L"SOFTWARE\\Classes\\CLSID\\") + g_fixtures[FIXTURE_ROW_TEXT].clsid +
                                     L"\\InprocServer32",
                                 L"", spelled));
    EXPECT_EQ(Describe(FixtureFound(FIXTURE_ROW_TEXT, 40, upper, g_fixtures[FIXTURE_ROW_TEXT].persist)),
              Lookup(IS30, L"PELLRHLATE", &list));
}

TEST_F(RealListTest, RedirectedModuleIsTheOneProbed)
{
    const Product &office = ServerProducts()[4];
    ASSERT_STREQ("OfficeServer12", office.name);
    // The same DLL registered at one copy, with the product's own copy in its program folder.
    const std::wstring registered = m_dir + L"filters\\shared.dll";
    Copy(FIXTURE_ROW_ALL_PERSIST, registered);
    const std::wstring bin = MakeFolder(L"office") + L"bin\\";
    MakeFolder(L"office\\bin");
    Copy(FIXTURE_ROW_ALL_PERSIST, bin + L"shared.dll");
    MakeFile(L"office\\bin\\mssdmn.exe.local");
    SeedInstall(office, m_dir + L"office");
    SeedFilterClass(g_fixtures[FIXTURE_ROW_ALL_PERSIST].clsid, L"shared", registered);
    SeedProductExt(office, L"pellrhshared", g_fixtures[FIXTURE_ROW_ALL_PERSIST].clsid);
    Seeded();
    CDLLsInformation list;
    PrepareList(list);
    const Expected expected{TRUE, L"", g_fixtures[FIXTURE_ROW_ALL_PERSIST].clsid, bin + L"shared.dll", L"shared",
                            ROUTE_PRODUCT_EXTENSION, FILTER_STATUS_USABLE, TRUE, TRUE, TRUE};
    EXPECT_EQ(Describe(expected), Lookup([&] { return office.make(); }, L"PELLRHSHARED", &list));
    EXPECT_NE(nullptr, GetModuleHandleW((bin + L"shared.dll").c_str())) << "the copy was probed";
    EXPECT_EQ(nullptr, GetModuleHandleW(registered.c_str())) << "the registered module was not";
}

} // namespace
