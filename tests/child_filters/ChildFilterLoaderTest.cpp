// The child-filter loader on its own, against the fixture filters registered in the test prefix
// (tests/setup.d/30-child-filters.sh): which names find a filter, what LoadChildFilter hands back
// for each kind of filter, and that every module reference it hands out is one of the caller's.
#include <gtest/gtest.h>
#include <filterr.h>
#include <string>

#include "FilterHost.h"
#include "ModuleProbe.h"
#include "RegistrySeed.h"
#include "TestHelpers.h"
#include "childfilter/ChildFilterLoader.h"
#include "FixtureDll.h"

namespace {

const FixtureInfo &Fixture(int row) { return g_fixtures[row]; }

std::wstring BaseName(const std::wstring &path) { return path.substr(path.find_last_of(L"\\/") + 1); }

// An IFilter the test owns, to see whether the loader releases or keeps what *ppFilter held.
class CCountedFilter final : public IFilter
{
public:
    LONG Refs() const { return m_cRef; }
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        *ppv = nullptr;
        if (riid != IID_IUnknown && riid != IID_IFilter)
            return E_NOINTERFACE;
        *ppv = this;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_cRef)); }
    STDMETHODIMP_(ULONG) Release() override { return static_cast<ULONG>(InterlockedDecrement(&m_cRef)); }
    STDMETHODIMP Init(ULONG, ULONG, const FULLPROPSPEC *, ULONG *) override { return E_FAIL; }
    STDMETHODIMP GetChunk(STAT_CHUNK *) override { return FILTER_E_END_OF_CHUNKS; }
    STDMETHODIMP GetText(ULONG *, WCHAR *) override { return FILTER_E_NO_TEXT; }
    STDMETHODIMP GetValue(PROPVARIANT **) override { return FILTER_E_NO_VALUES; }
    STDMETHODIMP BindRegion(FILTERREGION, REFIID, void **) override { return E_NOTIMPL; }

private:
    LONG m_cRef = 1;
};

class ChildFilterLoader : public testing::Test
{
protected:
    void SetUp() override { ASSERT_HR(S_OK, CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)); }
    void TearDown() override { CoUninitialize(); }
};

} // namespace

TEST_F(ChildFilterLoader, KnowsItsHost)
{
    CChildFilterLoader loader;
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    EXPECT_STREQ(path, loader.HostPath());
    EXPECT_STREQ(L"TEST_CHILD_FILTERS", loader.HostName());
}

TEST_F(ChildFilterLoader, FindsTheFilterRegisteredForTheExtension)
{
    struct Case {
        const wchar_t *path;
        int fixtureRow;  // -1: no filter
    };
    const Case cases[] = {
        {L"notes.txt", FIXTURE_ROW_TEXT},
        {L"C:\\some\\folder\\REPORT.FXVAL", FIXTURE_ROW_VALUES},
        {L"archive.tar.fxtxt", FIXTURE_ROW_TEXT},         // the last extension counts
        {L"C:values.FxVal", FIXTURE_ROW_VALUES},          // drive-relative, any case
        {L".fxtxt", FIXTURE_ROW_TEXT},                    // a name that is all extension
        {L"paper.pdf", FIXTURE_ROW_PDFFILT},
        {L"stream.fxstream", FIXTURE_ROW_STREAM_ONLY},    // found; whether it loads is another matter
        {L"readme", -1},                                  // no extension
        {L"notes.", -1},                                  // a bare dot
        {L"folder.fxtxt\\readme", -1},                    // a dot in the folder is no extension
        {L"folder.fxtxt/readme", -1},
        {L"x.nothing-registered-here", -1},
        {L"", -1},
    };
    CChildFilterLoader loader;
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "path " << Narrow(c.path));
        FilterRegistryInfo info;
        const BOOL found = loader.FindFilter(c.path, &info);
        EXPECT_EQ(c.fixtureRow >= 0, found != FALSE);
        if (c.fixtureRow < 0)
            continue;
        EXPECT_STRCASEEQ(Narrow(Fixture(c.fixtureRow).clsid).c_str(), Narrow(info.filterClsid).c_str());
        EXPECT_STRCASEEQ(Narrow(Fixture(c.fixtureRow).dllName).c_str(), Narrow(BaseName(info.modulePath)).c_str());
        EXPECT_NE(nullptr, info.dllList);
    }
}

TEST_F(ChildFilterLoader, ExtensionsLongerThan256CharactersFindNothing)
{
    CChildFilterLoader loader;
    FilterRegistryInfo info;
    EXPECT_FALSE(loader.FindFilter((L"x." + std::wstring(300, L'a')).c_str(), &info));
    EXPECT_FALSE(loader.FindFilter(nullptr, &info));
    EXPECT_FALSE(loader.FindFilter(L"notes.txt", nullptr));
}

// What LoadChildFilter gives for each kind of filter: a child and a module with one reference of
// the caller's own, or a failure, and then nothing held.
TEST_F(ChildFilterLoader, LoadsEachKindOfFilterOrNothing)
{
    struct Case {
        const wchar_t *name;
        int fixtureRow;  // the module a child comes from, -1 when none is loaded
        bool child;
        HRESULT hrInit;  // the child's Init
    };
    const Case cases[] = {
        {L"plain.fxtxt", FIXTURE_ROW_TEXT, true, S_OK},
        {L"values.fxval", FIXTURE_ROW_VALUES, true, S_OK},
        {L"broken.fxinit", FIXTURE_ROW_INIT_FAILS, true, E_FAIL},       // the caller's Init finds out
        {L"chunk.fxchunk", FIXTURE_ROW_CHUNK_FAILS, true, S_OK},
        {L"paper.pdf", FIXTURE_ROW_PDFFILT, true, S_OK},                // through LoadIFilter
        {L"stream.fxstream", FIXTURE_ROW_STREAM_ONLY, false, S_OK},     // no IPersistFile
        {L"all.fxall", FIXTURE_ROW_ALL_PERSIST, true, S_OK},
        {L"noentry.fxnoentry", FIXTURE_ROW_NO_ENTRY, false, S_OK},      // no DllGetClassObject
        {L"refused.fxrefuse", FIXTURE_ROW_REFUSES, false, S_OK},        // the factory refuses
        {L"acro.fxacro", FIXTURE_ROW_ACRORDIF, false, S_OK},            // LoadIFilter: no IPersistFile
    };
    CScratchDir dir;
    CChildFilterLoader loader;
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << "file " << Narrow(c.name));
        const std::wstring file = dir.MakeFile(c.name, "kilo lima\n");
        // The test holds the module itself, as a host or an earlier filter may: the loader must
        // neither take that reference away nor leave one of its own behind.
        const CFixtureDll held(c.fixtureRow);
        const int before = ModuleLoadCount(Fixture(c.fixtureRow).dllName);

        CCountedFilter previous;
        CChildFilterHolder child;
        previous.AddRef();
        child.Attach(&previous, nullptr);
        const HRESULT hr = loader.LoadChildFilter(file.c_str(), child);
        EXPECT_EQ(1, previous.Refs()) << "what the holder held is released";
        EXPECT_EQ(c.child, hr == S_OK) << "hr " << std::hex << hr;
        EXPECT_EQ(c.child, child.Get() != nullptr);
        if (!c.child) {
            EXPECT_TRUE(FAILED(hr)) << "a registered filter that cannot be had is a failure, hr " << std::hex << hr;
            EXPECT_EQ(nullptr, child.Module());
            EXPECT_LE(ModuleLoadCount(Fixture(c.fixtureRow).dllName), before + 1);  // a probe may keep one
            continue;
        }
        ASSERT_NE(nullptr, child.Module());
        EXPECT_EQ(held.Module(), child.Module());
        const int whileHeld = ModuleLoadCount(Fixture(c.fixtureRow).dllName);
        ULONG flags = MARKER;
        EXPECT_HR(c.hrInit, child.Get()->Init(HOST_INIT_FLAGS, 0, nullptr, &flags));
        child.Release();
        EXPECT_EQ(whileHeld - 1, ModuleLoadCount(Fixture(c.fixtureRow).dllName)) << "one reference of the caller's own";
        EXPECT_GE(ModuleLoadCount(Fixture(c.fixtureRow).dllName), before) << "the test's own reference stays";
    }
}

TEST_F(ChildFilterLoader, NoFilterRegisteredIsNotAFailure)
{
    CScratchDir dir;
    CChildFilterLoader loader;
    for (const wchar_t *name : {L"readme", L"notes.", L"x.nothing-registered-here"}) {
        SCOPED_TRACE(testing::Message() << "file " << Narrow(name));
        const std::wstring file = dir.MakeFile(name);
        CChildFilterHolder child;
        EXPECT_HR(S_FALSE, loader.LoadChildFilter(file.c_str(), child));
        EXPECT_EQ(nullptr, child.Get());
    }
    CChildFilterHolder child;
    EXPECT_HR(S_FALSE, loader.LoadChildFilter(nullptr, child));
}

TEST_F(ChildFilterLoader, AFileThatIsGoneGivesNoChild)
{
    CScratchDir dir;
    CChildFilterLoader loader;
    for (const wchar_t *name : {L"gone.fxtxt", L"gone.pdf"}) {
        SCOPED_TRACE(testing::Message() << "file " << Narrow(name));
        CChildFilterHolder child;
        EXPECT_TRUE(FAILED(loader.LoadChildFilter((dir.Path() + L"\\" + name).c_str(), child)));
        EXPECT_EQ(nullptr, child.Get());
        EXPECT_EQ(nullptr, child.Module());
    }
}

// Every child's module reference is given back with CoFreeLibrary: a hundred loads leave the
// module's count where it was, and the fixture has no object left.
TEST_F(ChildFilterLoader, ModuleReferencesBalanceOverManyLoads)
{
    CScratchDir dir;
    CChildFilterLoader loader;
    for (int row : {FIXTURE_ROW_TEXT, FIXTURE_ROW_PDFFILT}) {
        SCOPED_TRACE(testing::Message() << "module " << Narrow(Fixture(row).dllName));
        const std::wstring path =
            dir.MakeFile(row == FIXTURE_ROW_PDFFILT ? L"many.pdf" : L"many.fxtxt", "mike november\n");
        const CFixtureDll held(row);
        int first = -1;
        for (int i = 0; i < 100; ++i) {
            CChildFilterHolder child;
            ASSERT_HR(S_OK, loader.LoadChildFilter(path.c_str(), child));
            child.Release();
            if (first < 0)
                first = ModuleLoadCount(Fixture(row).dllName);
            ASSERT_EQ(first, ModuleLoadCount(Fixture(row).dllName)) << "after load " << i;
        }
        EXPECT_EQ(0, held.ObjectCount());
    }
}

// Within one run the answer for an extension, found or not, is remembered: the crawler asks for
// every entry, and the child filter is loaded with the same answer. ForgetLookups, called when a
// run begins, makes the next lookup read the registry again. A registration of a scratch
// extension that comes and goes in between shows which answer was used.
TEST_F(ChildFilterLoader, RemembersEachExtensionsAnswerUntilTheRunEnds)
{
    const std::wstring keyPath = L"SOFTWARE\\Classes\\.fxbenchreuse";
    const std::wstring before = SnapshotTree(HKEY_LOCAL_MACHINE, keyPath);
    CScratchDir dir;
    const std::wstring file = dir.MakeFile(L"entry.fxbenchreuse", "oscar papa\n");
    const auto loads = [&](CChildFilterLoader &loader) {
        CChildFilterHolder child;
        const bool bLoaded = loader.LoadChildFilter(file.c_str(), child) == S_OK && child.Module() != nullptr;
        if (child.Get() != nullptr) {
            ULONG flags = MARKER;
            EXPECT_HR(S_OK, child.Get()->Init(HOST_INIT_FLAGS, 0, nullptr, &flags));
        }
        return bLoaded;
    };

    CChildFilterLoader loader;
    FilterRegistryInfo info;
    {
        CRegistrySeed seed;
        ASSERT_TRUE(seed.SetString(HKEY_LOCAL_MACHINE, keyPath + L"\\PersistentHandler", L"",
                                   Fixture(FIXTURE_ROW_TEXT).handler));
        ASSERT_TRUE(loader.FindFilter(L"entry.fxbenchreuse", &info));
        EXPECT_EQ(FixturePath(FIXTURE_ROW_TEXT), std::wstring(info.modulePath));
    }  // the registration is gone again
    ASSERT_EQ(before, SnapshotTree(HKEY_LOCAL_MACHINE, keyPath));

    // Still this run: the remembered answer, for a bare name and an extracted file alike, in any
    // letter case of the extension.
    FilterRegistryInfo again;
    EXPECT_TRUE(loader.FindFilter(L"other.FXBENCHREUSE", &again));
    EXPECT_EQ(std::wstring(info.modulePath), std::wstring(again.modulePath));
    EXPECT_TRUE(loads(loader));
    EXPECT_TRUE(loads(loader));

    // A new run sees that nothing is registered, and remembers that too.
    loader.ForgetLookups();
    EXPECT_FALSE(loader.FindFilter(L"entry.fxbenchreuse", &again));
    {
        CRegistrySeed seed;
        ASSERT_TRUE(seed.SetString(HKEY_LOCAL_MACHINE, keyPath + L"\\PersistentHandler", L"",
                                   Fixture(FIXTURE_ROW_TEXT).handler));
        EXPECT_FALSE(loads(loader));
        loader.ForgetLookups();
        EXPECT_TRUE(loads(loader));
    }
    ASSERT_EQ(before, SnapshotTree(HKEY_LOCAL_MACHINE, keyPath));

    // Another loader (another filter object) has answers of its own.
    CChildFilterLoader other;
    EXPECT_FALSE(other.FindFilter(L"entry.fxbenchreuse", &again));
}

// The objects LoadIFilter made may run code of the platform's query library for as long as they
// live, so the loader keeps it loaded until the loader goes (after every child it handed out).
TEST_F(ChildFilterLoader, KeepsTheQueryLibraryWhileItsFiltersMayLive)
{
    ASSERT_EQ(nullptr, GetModuleHandleW(L"query.dll")) << "the test program holds none of its own";
    CScratchDir dir;
    const std::wstring file = dir.MakeFile(L"kept.pdf", "quebec romeo\n");
    {
        CChildFilterLoader loader;
        CChildFilterHolder child;
        ASSERT_HR(S_OK, loader.LoadChildFilter(file.c_str(), child));
        EXPECT_NE(nullptr, GetModuleHandleW(L"query.dll")) << "while the child lives";
        ULONG flags = MARKER;
        EXPECT_HR(S_OK, child.Get()->Init(HOST_INIT_FLAGS, 0, nullptr, &flags));
        STAT_CHUNK stat;
        EXPECT_HR(S_OK, child.Get()->GetChunk(&stat));
        child.Release();
        EXPECT_NE(nullptr, GetModuleHandleW(L"query.dll")) << "until the loader goes";
    }
    EXPECT_EQ(nullptr, GetModuleHandleW(L"query.dll")) << "no reference of the loader's is left";
}

// Which documents go to their filter from memory. The PDF modules, never asked by the DLL list,
// read streams only for an archive that came from the host's stream, and only when their class
// answers IPersistStream (asked through the module's class factory); other modules as the list
// recorded. A PDF module whose class reads files only stays on the file route.
TEST_F(ChildFilterLoader, PdfModulesReadStreamsOnlyForAStreamedArchiveAndOnlyWhenTheirClassCan)
{
    // A file-only class in a module named like the PDF filter: the file-only text fixture, copied.
    CScratchDir dir;
    const std::wstring fileOnlyPdf = dir.Path() + L"\\PDFFILT.dll";
    ASSERT_TRUE(CopyFileW(FixturePath(FIXTURE_ROW_TEXT_FILE_ONLY).c_str(), fileOnlyPdf.c_str(), FALSE));
    struct Case {
        const char *name;
        std::wstring module;
        const wchar_t *clsid;
        BOOL listedStream;  // what the DLL list recorded
        bool fromHostStream, fromPath;
    };
    const Case cases[] = {
        {"PDFFILT, file and stream", FixturePath(FIXTURE_ROW_PDFFILT), Fixture(FIXTURE_ROW_PDFFILT).clsid, FALSE, true, false},
        {"ACRORDIF, stream only", FixturePath(FIXTURE_ROW_ACRORDIF), Fixture(FIXTURE_ROW_ACRORDIF).clsid, FALSE, true, false},
        {"PDFFILT, file only", fileOnlyPdf, Fixture(FIXTURE_ROW_TEXT_FILE_ONLY).clsid, FALSE, false, false},
        {"text, listed with streams", FixturePath(FIXTURE_ROW_TEXT), Fixture(FIXTURE_ROW_TEXT).clsid, TRUE, true, true},
        {"text file-only, listed without", FixturePath(FIXTURE_ROW_TEXT_FILE_ONLY), Fixture(FIXTURE_ROW_TEXT_FILE_ONLY).clsid, FALSE, false, false},
    };
    {
        CChildFilterLoader loader;
        for (const Case &c : cases) {
            SCOPED_TRACE(c.name);
            FilterRegistryInfo info;
            wcscpy(info.modulePath, c.module.c_str());
            wcscpy(info.filterClsid, c.clsid);
            info.supportsFile = TRUE;
            info.supportsStream = c.listedStream;
            for (int pass = 0; pass < 2; ++pass) {  // the second answer comes from memory
                EXPECT_EQ(c.fromHostStream, loader.TakesStream(info, true)) << "archive from the host's stream, pass " << pass;
                EXPECT_EQ(c.fromPath, loader.TakesStream(info, false)) << "archive from its path, pass " << pass;
            }
        }
    }
    for (const wchar_t *module : {L"PDFFILT", L"ACRORDIF"})
        EXPECT_FALSE(IsModuleLoaded(module)) << "asking keeps no module loaded: " << Narrow(module);
}
