// The DLL information list as the registry lookups and the loader use it: the display name,
// file status and persistence interfaces of filter DLLs, each examined once per list, with and
// without an XML implementation; filter objects created straight from a DLL, the current
// directory around the load, and the module references handed to callers.
//
// Modules loaded by a probe stay loaded for the process, so each test expects to start in a
// fresh process (ctest runs every test on its own).
#include <gtest/gtest.h>
#include <comdef.h>

#include <algorithm>
#include <atomic>
#include <cwctype>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FixtureDll.h"
#include "TestHelpers.h"
#include "childfilter/DLLsInformation.h"
#include "support/ProcAddress.h"
#include "support/XmlHelper.h"

namespace {

HRESULT WINAPI NoXmlImplementation(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID *ppv)
{
    *ppv = nullptr;
    return REGDB_E_CLASSNOTREG;
}

// Only DOM document 3.0: the 4.0 classes are missing.
HRESULT WINAPI OnlyVersionThree(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID *ppv)
{
    if (IsEqualCLSID(clsid, CLSID_DOMDocument40) || IsEqualCLSID(clsid, CLSID_FreeThreadedDOMDocument40)) {
        *ppv = nullptr;
        return REGDB_E_CLASSNOTREG;
    }
    return CoCreateInstance(clsid, outer, context, iid, ppv);
}

enum XmlMode { WITH_XML, WITHOUT_XML, WITH_XML_30 };
const char *ModeName(XmlMode mode)
{
    return mode == WITH_XML ? "with XML" : mode == WITH_XML_30 ? "with DOM document 3.0" : "without XML";
}

class DllList : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_HR(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
        wchar_t dir[MAX_PATH] = {};
        GetCurrentDirectoryW(MAX_PATH, dir);
        m_savedDirectory = dir;
    }
    void TearDown() override
    {
        SetCurrentDirectoryW(m_savedDirectory.c_str());
        SetXmlDocumentCreator(nullptr);
        CoUninitialize();
    }

    // A list made while the document classes are as the mode says.
    static std::unique_ptr<CDLLsInformation> MakeList(XmlMode mode)
    {
        SetXmlDocumentCreator(mode == WITHOUT_XML ? NoXmlImplementation : mode == WITH_XML_30 ? OnlyVersionThree : nullptr);
        std::unique_ptr<CDLLsInformation> list(new CDLLsInformation());
        SetXmlDocumentCreator(nullptr);
        EXPECT_EQ(mode != WITHOUT_XML, list->IsXmlAvailable() == TRUE);
        EXPECT_EQ(mode != WITHOUT_XML, list->XmlDocument() != nullptr);
        return list;
    }

    std::wstring m_savedDirectory;
};

std::wstring Lower(std::wstring text)
{
    for (wchar_t &ch : text)
        ch = static_cast<wchar_t>(std::towlower(ch));
    return text;
}
std::wstring Upper(std::wstring text)
{
    for (wchar_t &ch : text)
        ch = static_cast<wchar_t>(std::towupper(ch));
    return text;
}

// A counter exported by a fixture already loaded in the process; -1 when it is not loaded.
LONG LoadedFixtureCount(int row, const char *counter)
{
    const HMODULE module = GetModuleHandleW(FixturePath(row).c_str());
    auto pfn = module != nullptr ? GetProcAs<LONG(WINAPI *)()>(module, counter) : nullptr;
    return pfn != nullptr ? pfn() : -1;
}

std::wstring CurrentDirectory()
{
    wchar_t dir[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, dir);
    return dir;
}

std::wstring Folder(const std::wstring &path) { return path.substr(0, path.find_last_of(L'\\')); }

// The document as elements: how many DLL elements, and the selected element's attributes.
long CountNodes(IXMLDOMNode *node, const wchar_t *query)
{
    CComPtr<IXMLDOMNodeList> list;
    EXPECT_HR(S_OK, node->selectNodes(_bstr_t(query), list.Put()));
    long count = -1;
    if (list)
        list->get_length(&count);
    return count;
}

std::wstring Attribute(IXMLDOMNode *node, const wchar_t *name)
{
    CBstr value;
    CXMLAttributesHelper(node).GetAttribute(name, value);
    return value.Get() != nullptr ? std::wstring(value.Get()) : std::wstring();
}

struct Persistence {
    BOOL file, stream, storage;
    bool operator==(const Persistence &o) const { return file == o.file && stream == o.stream && storage == o.storage; }
};
std::ostream &operator<<(std::ostream &os, const Persistence &p)
{
    return os << "{file " << p.file << ", stream " << p.stream << ", storage " << p.storage << "}";
}
constexpr BOOL Y = TRUE;
constexpr BOOL N = FALSE;

Persistence AskPersistence(CDLLsInformation &list, const std::wstring &path, const wchar_t *clsid, BOOL *pbResult)
{
    Persistence p = {static_cast<BOOL>(MARKER), static_cast<BOOL>(MARKER), static_cast<BOOL>(MARKER)};
    *pbResult = list.GetClassPersistence(path.c_str(), clsid, &p.file, &p.stream, &p.storage);
    return p;
}

} // namespace

// Two spellings of one file give one DLL element, and the display name is the first spelling;
// a CLSID in either case gives one GUID element; the class is created once.
TEST_F(DllList, ExaminesEachDllAndClassOnce)
{
    auto list = MakeList(WITH_XML);
    list->m_bVerifyTrust = FALSE;
    const std::wstring first = FixturePath(FIXTURE_ROW_ALL_PERSIST);
    const std::wstring clsid = g_fixtures[FIXTURE_ROW_ALL_PERSIST].clsid;
    const std::vector<std::wstring> spellings = {first, Lower(first), Upper(first)};
    for (const std::wstring &spelling : spellings) {
        SCOPED_TRACE(Narrow(spelling));
        wchar_t path[2048];
        wcscpy(path, spelling.c_str());
        EXPECT_TRUE(list->GetDisplayName(path, ARRAYSIZE(path)));
        EXPECT_EQ(first, std::wstring(path));
        BOOL found = MARKER, trusted = MARKER;
        EXPECT_TRUE(list->GetFileStatus(spelling.c_str(), &found, &trusted));
        EXPECT_EQ(TRUE, found);
        EXPECT_EQ(FALSE, trusted);
        for (const std::wstring &clsidSpelling : {Upper(clsid), Lower(clsid)}) {
            BOOL ok = FALSE;
            EXPECT_EQ((Persistence{Y, Y, Y}), AskPersistence(*list, spelling, clsidSpelling.c_str(), &ok));
            EXPECT_TRUE(ok);
        }
    }
    EXPECT_EQ(1, LoadedFixtureCount(FIXTURE_ROW_ALL_PERSIST, "FixtureCreatedCount"));
    EXPECT_EQ(0, LoadedFixtureCount(FIXTURE_ROW_ALL_PERSIST, "FixtureObjectCount"));

    CComPtr<IXMLDOMElement> root = list->XmlDocument()->GetDocumentElement();
    ASSERT_TRUE(root);
    ASSERT_EQ(1, CountNodes(root.Get(), L"DLL"));
    CComPtr<IXMLDOMNode> dll;
    ASSERT_HR(S_OK, root->selectSingleNode(_bstr_t(L"DLL"), dll.Put()));
    std::wstring key = Upper(first);
    for (wchar_t &ch : key)
        ch = ch == L'\\' ? L'_' : ch;
    EXPECT_EQ(key, Attribute(dll.Get(), L"path"));
    EXPECT_EQ(first, Attribute(dll.Get(), L"display"));
    EXPECT_EQ(L"yes", Attribute(dll.Get(), L"found"));
    EXPECT_EQ(L"no", Attribute(dll.Get(), L"trusted"));
    ASSERT_EQ(1, CountNodes(dll.Get(), L"GUID"));
    CComPtr<IXMLDOMNode> guid;
    ASSERT_HR(S_OK, dll->selectSingleNode(_bstr_t(L"GUID"), guid.Put()));
    EXPECT_EQ(Lower(clsid), Attribute(guid.Get(), L"guid"));
    EXPECT_EQ(L"yes", Attribute(guid.Get(), L"ipersistfile"));
    EXPECT_EQ(L"yes", Attribute(guid.Get(), L"ipersiststream"));
    EXPECT_EQ(L"yes", Attribute(guid.Get(), L"ipersiststorage"));
}

// What each kind of module and class answers: the same with and without the document.
TEST_F(DllList, PersistenceOfEachKindOfClass)
{
    const std::wstring missing = TestBinPath(FIXTURE_FOLDER L"\\NoSuchFilter.dll");
    const struct {
        const char *what;
        std::wstring path;
        const wchar_t *clsid;
        BOOL found;
        Persistence expected;
    } cases[] = {
        {"IPersistFile only", FixturePath(FIXTURE_ROW_TEXT_FILE_ONLY), g_fixtures[FIXTURE_ROW_TEXT_FILE_ONLY].clsid, Y, {Y, N, N}},
        {"IPersistStream only", FixturePath(FIXTURE_ROW_STREAM_ONLY), g_fixtures[FIXTURE_ROW_STREAM_ONLY].clsid, Y, {N, Y, N}},
        {"all three", FixturePath(FIXTURE_ROW_ALL_PERSIST), g_fixtures[FIXTURE_ROW_ALL_PERSIST].clsid, Y, {Y, Y, Y}},
        {"no DllGetClassObject", FixturePath(FIXTURE_ROW_NO_ENTRY), g_fixtures[FIXTURE_ROW_NO_ENTRY].clsid, Y, {N, N, N}},
        {"factory refuses", FixturePath(FIXTURE_ROW_REFUSES), g_fixtures[FIXTURE_ROW_REFUSES].clsid, Y, {N, N, N}},
        {"class of another DLL", FixturePath(FIXTURE_ROW_VALUES), g_fixtures[FIXTURE_ROW_TEXT].clsid, Y, {N, N, N}},
        {"CLSID not valid", FixturePath(FIXTURE_ROW_VALUES), L"{not-a-clsid}", Y, {N, N, N}},
        {"path naming no file", missing, g_fixtures[FIXTURE_ROW_TEXT].clsid, N, {N, N, N}},
    };
    for (XmlMode mode : {WITH_XML, WITHOUT_XML}) {
        auto list = MakeList(mode);
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(ModeName(mode)) + ": " + c.what);
            BOOL found = MARKER, trusted = MARKER;
            EXPECT_TRUE(list->GetFileStatus(c.path.c_str(), &found, &trusted));
            EXPECT_EQ(c.found, found);
            EXPECT_EQ(FALSE, trusted);  // nothing is signed under Wine
            BOOL ok = FALSE;
            EXPECT_EQ(c.expected, AskPersistence(*list, c.path, c.clsid, &ok));
            EXPECT_TRUE(ok);
        }
        for (int row : {FIXTURE_ROW_TEXT_FILE_ONLY, FIXTURE_ROW_STREAM_ONLY, FIXTURE_ROW_ALL_PERSIST, FIXTURE_ROW_REFUSES}) {
            EXPECT_TRUE(IsModuleLoaded(FixturePath(row))) << "a probed module stays loaded";
            EXPECT_EQ(0, LoadedFixtureCount(row, "FixtureObjectCount")) << "the probe released everything";
        }
    }
    // The missing file's element, with the document.
    auto list = MakeList(WITH_XML);
    BOOL found = MARKER, trusted = MARKER;
    ASSERT_TRUE(list->GetFileStatus(missing.c_str(), &found, &trusted));
    CComPtr<IXMLDOMElement> root = list->XmlDocument()->GetDocumentElement();
    CComPtr<IXMLDOMNode> dll;
    ASSERT_HR(S_OK, root->selectSingleNode(_bstr_t(L"DLL"), dll.Put()));
    EXPECT_EQ(L"no", Attribute(dll.Get(), L"found"));
    EXPECT_EQ(L"no", Attribute(dll.Get(), L"trusted"));
}

// TALVERINE, PDFFILT and ACRORDIF answer IPersistFile without being loaded; the real fixtures
// of those names answer otherwise (TALVERINE and ACRORDIF are IPersistStream only), so a load
// would show in the answer as well as in the module list.
TEST_F(DllList, NamedModulesAreNeverLoadedByAProbe)
{
    for (XmlMode mode : {WITH_XML, WITHOUT_XML}) {
        auto list = MakeList(mode);
        for (int row : {FIXTURE_ROW_TALVERINE, FIXTURE_ROW_PDFFILT, FIXTURE_ROW_ACRORDIF}) {
            for (const std::wstring &path : {FixturePath(row), Lower(FixturePath(row))}) {
                SCOPED_TRACE(std::string(ModeName(mode)) + ": " + Narrow(path));
                BOOL ok = FALSE;
                EXPECT_EQ((Persistence{Y, N, N}), AskPersistence(*list, path, g_fixtures[row].clsid, &ok));
                EXPECT_TRUE(ok);
            }
        }
    }
    for (const wchar_t *name : {L"TALVERINE", L"PDFFILT", L"ACRORDIF"})
        EXPECT_FALSE(IsModuleLoaded(name)) << Narrow(name);
}

// The recorded spelling of a file, as the registry lookup asks for it instead of the long form of
// a module path it found: only what the list has recorded, in the first spelling, and asking
// records nothing; without the document nothing is recorded, so there is never an answer.
TEST_F(DllList, RecordedNameIsTheFirstSpellingAndRecordsNothing)
{
    const std::wstring first = FixturePath(FIXTURE_ROW_TEXT);
    const std::wstring other = FixturePath(FIXTURE_ROW_VALUES);
    const std::wstring marker = L"untouched";
    for (XmlMode mode : {WITH_XML, WITH_XML_30, WITHOUT_XML}) {
        auto list = MakeList(mode);
        wchar_t path[2048];
        wcscpy(path, first.c_str());
        ASSERT_TRUE(list->GetDisplayName(path, ARRAYSIZE(path)));
        const bool recorded = mode != WITHOUT_XML;
        const struct {
            const char *what;
            std::wstring path;
            ULONG chars;
            bool found;
        } cases[] = {
            {"the path as recorded", first, 2048, recorded},
            {"another spelling of it", Lower(first), 2048, recorded},
            {"a buffer just too small for it", Upper(first), static_cast<ULONG>(first.size()), false},
            {"a file never recorded", other, 2048, false},
            {"a path naming no file", TestBinPath(FIXTURE_FOLDER L"\\NoSuchFilter.dll"), 2048, false},
            {"an empty path", L"", 2048, false},
            {"a path holding a double quote", L"C:\\Filters\\a\"b.dll", 2048, false},
            {"a path too long for a key", L"C:\\" + std::wstring(2050, L'a') + L".dll", 2048, false},
        };
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(ModeName(mode)) + ": " + c.what);
            std::vector<wchar_t> name(2048, L'\0');
            std::copy(marker.begin(), marker.end(), name.begin());
            EXPECT_EQ(c.found ? TRUE : FALSE, list->GetRecordedName(c.path.c_str(), name.data(), c.chars));
            EXPECT_EQ(c.found ? first : marker, std::wstring(name.data()));
        }
        if (recorded) {
            CComPtr<IXMLDOMElement> root = list->XmlDocument()->GetDocumentElement();
            ASSERT_TRUE(root);
            EXPECT_EQ(1, CountNodes(root.Get(), L"DLL")) << ModeName(mode) << ": asking recorded nothing";
        }
    }
}

// With the document an answer is fixed at first sight; without it every call looks again.
TEST_F(DllList, WithoutXmlEveryAnswerIsComputedAgain)
{
    const std::wstring temp = TempFolder() + L"pellucidor-dll-list-status.dll";
    const std::wstring clsid = g_fixtures[FIXTURE_ROW_TEXT_FILE_ONLY].clsid;
    const std::wstring text = FixturePath(FIXTURE_ROW_TEXT_FILE_ONLY);
    for (XmlMode mode : {WITH_XML, WITHOUT_XML}) {
        SCOPED_TRACE(ModeName(mode));
        auto list = MakeList(mode);
        CloseHandle(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
        BOOL found = MARKER, trusted = MARKER;
        EXPECT_TRUE(list->GetFileStatus(temp.c_str(), &found, &trusted));
        EXPECT_EQ(TRUE, found);
        DeleteFileW(temp.c_str());
        EXPECT_TRUE(list->GetFileStatus(temp.c_str(), &found, &trusted));
        EXPECT_EQ(mode == WITH_XML ? TRUE : FALSE, found) << "a file deleted later";

        const LONG created = std::max<LONG>(0, LoadedFixtureCount(FIXTURE_ROW_TEXT_FILE_ONLY, "FixtureCreatedCount"));
        BOOL ok = FALSE;
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ((Persistence{Y, N, N}), AskPersistence(*list, text, clsid.c_str(), &ok));
        EXPECT_EQ(created + (mode == WITH_XML ? 1 : 3), LoadedFixtureCount(FIXTURE_ROW_TEXT_FILE_ONLY, "FixtureCreatedCount"));

        // The display name: the first spelling with the document, the path as given without.
        wchar_t path[MAX_PATH];
        wcscpy(path, text.c_str());
        EXPECT_TRUE(list->GetDisplayName(path, ARRAYSIZE(path)));
        wcscpy(path, Lower(text).c_str());
        EXPECT_TRUE(list->GetDisplayName(path, ARRAYSIZE(path)));
        EXPECT_EQ(mode == WITH_XML ? text : Lower(text), std::wstring(path));
    }
}

// Bad input of every kind: FALSE, out-parameters untouched, nothing recorded.
TEST_F(DllList, BadInputFailsAndWritesNothing)
{
    const std::wstring valid = FixturePath(FIXTURE_ROW_TEXT);
    const std::wstring clsid = g_fixtures[FIXTURE_ROW_TEXT].clsid;
    const std::wstring tooLong = L"C:\\" + std::wstring(2050, L'a') + L".dll";
    const std::wstring queryTooLong = L"C:\\" + std::wstring(2035, L'a') + L".dll";  // fits the key, not the query
    const std::wstring quoted = L"C:\\Filters\\a\"b.dll";
    const struct {
        const char *what;
        std::wstring path;
        std::wstring clsid;
        bool statusFails;  // with the document
    } cases[] = {
        {"empty path", L"", clsid, true},
        {"path too long for the key", tooLong, clsid, true},
        {"selection too long", queryTooLong, clsid, true},
        {"path holding a double quote", quoted, clsid, true},
        {"empty CLSID", valid, L"", false},
        {"CLSID too long", valid, clsid + L"0", false},
        {"CLSID holding a double quote", valid, L"{80E50241-C48E-4303-BD17-7C8FD2D6A8E\"}", false},
    };
    for (XmlMode mode : {WITH_XML_30, WITH_XML}) {
        auto list = MakeList(mode);
        for (const auto &c : cases) {
            SCOPED_TRACE(std::string(ModeName(mode)) + ": " + c.what);
            BOOL found = MARKER, trusted = MARKER;
            EXPECT_EQ(c.statusFails ? FALSE : TRUE, list->GetFileStatus(c.path.c_str(), &found, &trusted));
            if (c.statusFails) {
                EXPECT_EQ(static_cast<BOOL>(MARKER), found);
                EXPECT_EQ(static_cast<BOOL>(MARKER), trusted);
                std::vector<wchar_t> buffer(c.path.begin(), c.path.end());
                buffer.push_back(L'\0');
                EXPECT_FALSE(list->GetDisplayName(buffer.data(), static_cast<ULONG>(buffer.size())));
                EXPECT_EQ(c.path, std::wstring(buffer.data()));
            }
            BOOL ok = TRUE;
            EXPECT_EQ((Persistence{static_cast<BOOL>(MARKER), static_cast<BOOL>(MARKER), static_cast<BOOL>(MARKER)}),
                      AskPersistence(*list, c.path, c.clsid.c_str(), &ok));
            EXPECT_FALSE(ok);
        }
        // Only the valid path was recorded, and no class within it.
        CComPtr<IXMLDOMElement> root = list->XmlDocument()->GetDocumentElement();
        EXPECT_EQ(1, CountNodes(root.Get(), L"DLL"));
        EXPECT_EQ(0, CountNodes(root.Get(), L"DLL/GUID"));
    }
    // Without the document only emptiness is refused.
    auto list = MakeList(WITHOUT_XML);
    wchar_t empty[4] = L"";
    EXPECT_FALSE(list->GetDisplayName(empty, ARRAYSIZE(empty)));
    wchar_t unterminated[3] = {L'a', L'b', L'c'};
    EXPECT_FALSE(list->GetDisplayName(unterminated, ARRAYSIZE(unterminated)));
    BOOL found = MARKER, trusted = MARKER;
    EXPECT_FALSE(list->GetFileStatus(L"", &found, &trusted));
    EXPECT_EQ(static_cast<BOOL>(MARKER), found);
    BOOL ok = TRUE;
    AskPersistence(*list, valid, L"", &ok);
    EXPECT_FALSE(ok);
}

// Paths with characters the document must escape come back as they were given.
TEST_F(DllList, DisplayNameKeepsSpecialCharacters)
{
    auto list = MakeList(WITH_XML);
    const std::wstring first = L"C:\\R&D <Filters>\\it's.dll";
    wchar_t path[MAX_PATH];
    wcscpy(path, first.c_str());
    EXPECT_TRUE(list->GetDisplayName(path, ARRAYSIZE(path)));
    wcscpy(path, Upper(first).c_str());
    EXPECT_TRUE(list->GetDisplayName(path, ARRAYSIZE(path)));
    EXPECT_EQ(first, std::wstring(path));
}

// A module not yet loaded is loaded with its own folder as the current directory, which is
// put back afterwards; a module already loaded is used without touching the directory.
TEST_F(DllList, CreateFilterFromDllRestoresTheCurrentDirectory)
{
    CDLLsInformation list;
    const std::wstring start = Folder(TempFolder());
    ASSERT_TRUE(SetCurrentDirectoryW(start.c_str()));
    const std::wstring path = FixturePath(FIXTURE_ROW_TEXT);
    ASSERT_FALSE(IsModuleLoaded(path));

    IFilter *filter = reinterpret_cast<IFilter *>(static_cast<UINT_PTR>(0));
    HMODULE module = list.CreateFilterFromDll(path.c_str(), g_fixtures[FIXTURE_ROW_TEXT].clsid, &filter);
    ASSERT_NE(nullptr, module);
    ASSERT_NE(nullptr, filter);
    EXPECT_EQ(start, CurrentDirectory());
    auto loadDirectory = GetProcAs<const wchar_t *(WINAPI *)()>(module, "FixtureLoadDirectory");
    ASSERT_NE(nullptr, loadDirectory);
    EXPECT_EQ(0, _wcsicmp(Folder(path).c_str(), Folder(std::wstring(loadDirectory()) + L"\\x").c_str()))
        << "loaded with " << Narrow(loadDirectory()) << " as the current directory";

    // Already loaded: same module, directory untouched (the fixture's DllGetClassObject sees the
    // caller's directory, which it records nowhere, so the result is what tells).
    const std::wstring other = TestBinPath(L"");
    ASSERT_TRUE(SetCurrentDirectoryW(other.c_str()));
    HMODULE again = list.CreateFilterFromDll(path.c_str(), g_fixtures[FIXTURE_ROW_TEXT].clsid, &filter);
    EXPECT_EQ(module, again);
    EXPECT_NE(nullptr, filter) << "the previous object was released and a new one made";
    EXPECT_EQ(CurrentDirectory(), Folder(other + L"x"));
    SafeRelease(filter);
    CoFreeLibrary(again);
    CoFreeLibrary(module);
    EXPECT_FALSE(IsModuleLoaded(path));

    // Loads that fail put the directory back as well.
    ASSERT_TRUE(SetCurrentDirectoryW(start.c_str()));
    for (const std::wstring &bad : {TestBinPath(FIXTURE_FOLDER L"\\NoSuchFilter.dll"), std::wstring(L"C:\\no\\such\\folder\\x.dll")}) {
        filter = reinterpret_cast<IFilter *>(static_cast<UINT_PTR>(0));
        EXPECT_EQ(nullptr, list.CreateFilterFromDll(bad.c_str(), g_fixtures[FIXTURE_ROW_TEXT].clsid, &filter));
        EXPECT_EQ(nullptr, filter);
        EXPECT_EQ(start, CurrentDirectory());
    }
}

// The current directory is the process's: host threads loading modules at once (each a copy of
// a fixture in a folder of its own, so that every load changes the directory) leave it where it
// was, whatever the order of their changes.
TEST_F(DllList, ThreadsLoadingModulesAtOnceLeaveTheCurrentDirectory)
{
    const std::wstring start = Folder(TempFolder());
    ASSERT_TRUE(SetCurrentDirectoryW(start.c_str()));
    constexpr int COPIES = 24;
    const std::wstring scratch = TempFolder() + L"pellucidor-test-directory-race";
    CreateDirectoryW(scratch.c_str(), nullptr);
    std::vector<std::wstring> copies[2];
    for (int thread = 0; thread < 2; ++thread) {
        for (int i = 0; i < COPIES; ++i) {
            const std::wstring folder = scratch + L"\\t" + std::to_wstring(thread) + L"-" + std::to_wstring(i);
            const std::wstring copy = folder + L"\\Race" + std::to_wstring(thread) + L"x" + std::to_wstring(i) + L".dll";
            CreateDirectoryW(folder.c_str(), nullptr);
            ASSERT_TRUE(CopyFileW(FixturePath(FIXTURE_ROW_TEXT).c_str(), copy.c_str(), FALSE)) << Narrow(copy);
            copies[thread].push_back(copy);
        }
    }
    std::atomic<int> failures{0};
    const auto loadAll = [&](const std::vector<std::wstring> &paths) {
        CoInitializeEx(nullptr, COINIT_MULTITHREADED);
        {
            CDLLsInformation list;
            for (const std::wstring &path : paths) {
                IFilter *filter = nullptr;
                const HMODULE module = list.CreateFilterFromDll(path.c_str(), g_fixtures[FIXTURE_ROW_TEXT].clsid, &filter);
                failures += module == nullptr || filter == nullptr;
                SafeRelease(filter);
                if (module != nullptr)
                    CoFreeLibrary(module);
            }
        }
        CoUninitialize();
    };
    std::thread first(loadAll, std::cref(copies[0])), second(loadAll, std::cref(copies[1]));
    first.join();
    second.join();
    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(start, CurrentDirectory());
    SetCurrentDirectoryW(start.c_str());
    for (const std::vector<std::wstring> &paths : copies) {
        for (const std::wstring &path : paths) {
            DeleteFileW(path.c_str());
            RemoveDirectoryW(Folder(path).c_str());
        }
    }
    RemoveDirectoryW(scratch.c_str());
}

// Every handle handed out carries one reference of the caller's own: the caller's CoFreeLibrary
// unloads the module only when nobody else (host, probe, live object) holds it.
TEST_F(DllList, ModuleReferencesBalance)
{
    CDLLsInformation list;
    const struct {
        int row;
    } rows[] = {{FIXTURE_ROW_TEXT}, {FIXTURE_ROW_STREAM_ONLY}, {FIXTURE_ROW_ALL_PERSIST}, {FIXTURE_ROW_VALUES},
                {FIXTURE_ROW_NO_ENTRY}, {FIXTURE_ROW_REFUSES}};
    for (const auto &r : rows)
        ASSERT_FALSE(IsModuleLoaded(FixturePath(r.row))) << Narrow(g_fixtures[r.row].dllName);

    auto create = [&list](int row, IFilter **ppFilter) {
        *ppFilter = nullptr;
        return list.CreateFilterFromDll(FixturePath(row).c_str(), g_fixtures[row].clsid, ppFilter);
    };
    IFilter *filter = nullptr;

    {
        SCOPED_TRACE("nobody else holds it: the caller's release unloads it");
        HMODULE module = create(FIXTURE_ROW_TEXT, &filter);
        ASSERT_NE(nullptr, module);
        ASSERT_NE(nullptr, filter);
        SafeRelease(filter);
        CoFreeLibrary(module);
        EXPECT_FALSE(IsModuleLoaded(FixturePath(FIXTURE_ROW_TEXT)));
    }
    {
        SCOPED_TRACE("the host holds it");
        HMODULE host = LoadLibraryW(FixturePath(FIXTURE_ROW_TEXT).c_str());
        ASSERT_NE(nullptr, host);
        HMODULE module = create(FIXTURE_ROW_TEXT, &filter);
        EXPECT_EQ(host, module);
        SafeRelease(filter);
        CoFreeLibrary(module);
        EXPECT_TRUE(IsModuleLoaded(FixturePath(FIXTURE_ROW_TEXT)));
        FreeLibrary(host);
        EXPECT_FALSE(IsModuleLoaded(FixturePath(FIXTURE_ROW_TEXT)));
    }
    {
        SCOPED_TRACE("a probe loaded it and keeps it");
        BOOL ok = FALSE;
        EXPECT_EQ((Persistence{N, Y, N}), AskPersistence(list, FixturePath(FIXTURE_ROW_STREAM_ONLY),
                                                         g_fixtures[FIXTURE_ROW_STREAM_ONLY].clsid, &ok));
        ASSERT_TRUE(IsModuleLoaded(FixturePath(FIXTURE_ROW_STREAM_ONLY)));
        HMODULE module = create(FIXTURE_ROW_STREAM_ONLY, &filter);
        ASSERT_NE(nullptr, module);
        SafeRelease(filter);
        CoFreeLibrary(module);
        EXPECT_TRUE(IsModuleLoaded(FixturePath(FIXTURE_ROW_STREAM_ONLY)));
    }
    {
        SCOPED_TRACE("a live object of another caller holds it");
        IFilter *first = nullptr;
        IFilter *second = nullptr;
        HMODULE firstModule = create(FIXTURE_ROW_ALL_PERSIST, &first);
        HMODULE secondModule = create(FIXTURE_ROW_ALL_PERSIST, &second);
        ASSERT_NE(nullptr, first);
        ASSERT_NE(nullptr, second);
        SafeRelease(first);
        CoFreeLibrary(firstModule);
        ASSERT_TRUE(IsModuleLoaded(FixturePath(FIXTURE_ROW_ALL_PERSIST)));
        EXPECT_EQ(1, LoadedFixtureCount(FIXTURE_ROW_ALL_PERSIST, "FixtureObjectCount"));
        ULONG flags = MARKER;
        EXPECT_HR(E_UNEXPECTED, second->Init(0, 0, nullptr, &flags)) << "the live object still answers";
        SafeRelease(second);
        CoFreeLibrary(secondModule);
        EXPECT_FALSE(IsModuleLoaded(FixturePath(FIXTURE_ROW_ALL_PERSIST)));
    }
    {
        SCOPED_TRACE("a probe of a module the host holds keeps nothing of its own");
        HMODULE host = LoadLibraryW(FixturePath(FIXTURE_ROW_VALUES).c_str());
        BOOL ok = FALSE;
        AskPersistence(list, FixturePath(FIXTURE_ROW_VALUES), g_fixtures[FIXTURE_ROW_VALUES].clsid, &ok);
        EXPECT_TRUE(ok);
        FreeLibrary(host);
        EXPECT_FALSE(IsModuleLoaded(FixturePath(FIXTURE_ROW_VALUES)));
    }
    for (int row : {FIXTURE_ROW_NO_ENTRY, FIXTURE_ROW_REFUSES}) {
        SCOPED_TRACE(std::string("no object: ") + Narrow(g_fixtures[row].dllName));
        filter = reinterpret_cast<IFilter *>(static_cast<UINT_PTR>(0));
        HMODULE module = create(row, &filter);
        ASSERT_NE(nullptr, module) << "the module is handed out even without an object";
        EXPECT_EQ(nullptr, filter);
        CoFreeLibrary(module);
        EXPECT_FALSE(IsModuleLoaded(FixturePath(row)));
    }
}

namespace {
HRESULT WINAPI NoFreeThreadedDocuments(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID *ppv)
{
    if (IsEqualCLSID(clsid, CLSID_FreeThreadedDOMDocument40) || IsEqualCLSID(clsid, CLSID_FreeThreadedDOMDocument30)) {
        *ppv = nullptr;
        return REGDB_E_CLASSNOTREG;
    }
    return CoCreateInstance(clsid, outer, context, iid, ppv);
}
} // namespace

// The plain document classes exist but the free-threaded ones the list keeps do not: the list
// is built all the same and answers without a document, instead of failing its constructor.
TEST_F(DllList, WithoutFreeThreadedDocumentsTheListWorksWithoutXml)
{
    SetXmlDocumentCreator(NoFreeThreadedDocuments);
    CDLLsInformation list;
    SetXmlDocumentCreator(nullptr);
    EXPECT_FALSE(list.IsXmlAvailable());
    EXPECT_EQ(nullptr, list.XmlDocument());
    BOOL found = MARKER, trusted = MARKER;
    EXPECT_TRUE(list.GetFileStatus(FixturePath(FIXTURE_ROW_TEXT).c_str(), &found, &trusted));
    EXPECT_EQ(TRUE, found);
}
