// Self-registration as a setup program and the platform's regsvr32 drive it: what lands under
// HKEY_CLASSES_ROOT (in this build's registry view) on each Windows version, what unregistration
// removes and what it leaves alone. Every test starts from a registry it arranges itself and puts
// back the keys it touched, so the registration made by the test set-up is there again afterwards.
#include <gtest/gtest.h>
#include <olectl.h>
#include <cctype>
#include <cwctype>

#include "Registrars.h"
#include "RegistryTree.h"
#include "TestHelpers.h"

namespace {

const std::wstring HANDLER = L"{1D77BAD8-8F6A-4977-947E-133D5DEC961C}";
const std::wstring FILTER = L"{B32C2A21-8912-48d0-B31D-D99CE9B5FC7C}";
const std::wstring DOCUMENT = L"{65A63621-E82A-480d-87FB-EC98F151FBD2}";
const std::wstring IFILTER = L"{89BCB740-6119-101A-BCB7-00DD010655AF}";

// Another product's registrations, made and removed by the tests.
const std::wstring OTHER_PROGID = L"PellucidorTest.OtherArchive";
const std::wstring OTHER_CLASS = L"{3C5E2B7A-91D4-4F0E-A6B8-2D7C1E9F4A03}";
const std::wstring OTHER_HANDLER = L"{6B0D4E21-7A3C-4E59-8F12-C4D3B2A19E87}";
const std::wstring BARE_EXTENSION = L".pellucidortest-bare";  // names OTHER_PROGID, nothing else
const std::wstring KEPT_EXTENSION = L".pellucidortest-kept";  // names OTHER_PROGID, has more
// Enumeration is alphabetical: the blocked class comes before the linked one.
const std::wstring BLOCKED_CLASS = L"{00D1F2A3-5B6C-4D7E-8F90-A1B2C3D4E5F6}";
const std::wstring LINKED_CLASS = L"{F7E3A9C1-2D4B-4E6F-9A8B-7C6D5E4F3A2B}";
const std::wstring BLOCKED_PROGID = L"PellucidorTest.Blocked";

std::wstring Clsid(const std::wstring &clsid) { return L"CLSID\\" + clsid; }

std::wstring Lower(std::wstring text)
{
    for (wchar_t &ch : text)
        ch = static_cast<wchar_t>(std::towlower(ch));
    return text;
}

// Every key the registration or these tests may touch, in this build's view of HKEY_CLASSES_ROOT.
const std::vector<std::wstring> &WatchedKeys()
{
    static const std::vector<std::wstring> keys = {
        L".rar", L"rar.file", Clsid(DOCUMENT), Clsid(HANDLER), Clsid(FILTER), Clsid(L"PersistentHandler"),
        OTHER_PROGID, Clsid(OTHER_CLASS), BARE_EXTENSION, KEPT_EXTENSION, Clsid(BLOCKED_CLASS),
        Clsid(LINKED_CLASS), BLOCKED_PROGID,
    };
    return keys;
}

// Watched key -> its tree; a watched key not listed is absent.
using CRegistryState = std::map<std::wstring, CRegTree>;

CRegValue ExpandSzValue(const std::wstring &text)
{
    CRegValue value = SzValue(text);
    value.type = REG_EXPAND_SZ;
    return value;
}

CRegTree HandlerClass()
{
    return SzTree({{L"", {{L"", L"Quorvane RAR filter Persistent Handler"}}},
                   {L"PersistentAddinsRegistered", {}},
                   {L"PersistentAddinsRegistered\\" + IFILTER, {{L"", FILTER}}}});
}

CRegTree FilterClass()
{
    return SzTree({{L"", {{L"", L"Quorvane RAR filter"}}},
                   {L"InprocServer32", {{L"", TestBinPath(L"Pellucidor.dll")}, {L"ThreadingModel", L"Both"}}}});
}

CRegTree HandlerLink(const std::wstring &handler = HANDLER) { return SzTree({{L"", {{L"", handler}}}}); }

// A tree with one more subtree below relativePath.
CRegTree With(CRegTree tree, const std::wstring &relativePath, const CRegTree &subtree)
{
    for (const auto &key : subtree.keys) {
        const std::wstring path = key.first.empty() ? relativePath : relativePath + L"\\" + key.first;
        tree.AddKey(path);
        tree.keys[path] = key.second;
    }
    return tree;
}

CRegTree WithLink(const CRegTree &tree) { return With(tree, L"PersistentHandler", HandlerLink()); }

// Both classes of the module, as every successful registration writes them, on top of a state.
CRegistryState Registered(CRegistryState state)
{
    state[Clsid(HANDLER)] = HandlerClass();
    state[Clsid(FILTER)] = FilterClass();
    return state;
}

const CRegTree EMPTY_KEY = SzTree({{L"", {}}});

// What a system before Windows 2000 adds when nothing names another ProgID.
CRegistryState FullChain(CRegistryState state)
{
    state[L"rar.file"] = SzTree({{L"", {{L"", L"RAR Archive"}}}, {L"CLSID", {{L"", DOCUMENT}}}});
    state[Clsid(DOCUMENT)] = WithLink(SzTree({{L"", {{L"", L"RAR Archive"}}}}));
    return state;
}

// The other product's file type: .rar names its ProgID, whose CLSID names its document class.
CRegistryState OtherFileType(bool bWithClass)
{
    CRegistryState state;
    state[L".rar"] = SzTree({{L"", {{L"", OTHER_PROGID}}}});
    state[OTHER_PROGID] = SzTree({{L"", {{L"", L"Other archive"}}}, {L"CLSID", {{L"", OTHER_CLASS}}}});
    if (bWithClass)
        state[Clsid(OTHER_CLASS)] = SzTree({{L"", {{L"", L"Other archive document"}}}});
    return state;
}

const CRegistrar EXPORT_WIN7 = {"export", CRegistrar::Export, nullptr, false};
const CRegistrar REGSVR32_WIN7 = {"regsvr32", CRegistrar::Tool, nullptr, false};
const CRegistrar HELPER_NT40 = {"helper as nt40", CRegistrar::Helper, L"nt40", true};

class RegistrationTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        for (const std::wstring &path : WatchedKeys())
            m_saved[path] = CRegTree::Capture(HKEY_CLASSES_ROOT, path);
        m_clsidValues = CaptureValues(HKEY_CLASSES_ROOT, L"CLSID");
    }

    void TearDown() override
    {
        for (const auto &saved : m_saved)
            saved.second.Restore(HKEY_CLASSES_ROOT, saved.first);
        for (const auto &saved : m_saved) {
            SCOPED_TRACE("restoring " + Narrow(saved.first));
            EXPECT_TREE(saved.second, CRegTree::Capture(HKEY_CLASSES_ROOT, saved.first));
        }
    }

    // The watched keys replaced by the given state (absent where it lists nothing).
    static void Arrange(const CRegistryState &state)
    {
        for (const std::wstring &path : WatchedKeys()) {
            auto it = state.find(path);
            (it != state.end() ? it->second : CRegTree()).Restore(HKEY_CLASSES_ROOT, path);
        }
    }

    void ExpectState(const CRegistryState &expected, const std::string &when)
    {
        for (const std::wstring &path : WatchedKeys()) {
            SCOPED_TRACE(when + ": " + Narrow(path));
            auto it = expected.find(path);
            EXPECT_TREE(it != expected.end() ? it->second : CRegTree(), CRegTree::Capture(HKEY_CLASSES_ROOT, path));
        }
        // An empty name followed as a ProgID or class would land on CLSID itself.
        EXPECT_TRUE(m_clsidValues == CaptureValues(HKEY_CLASSES_ROOT, L"CLSID"))
            << when << ": the values of HKEY_CLASSES_ROOT\\CLSID changed";
    }

    static void ExpectOutcome(const CRegistrar &registrar, HRESULT expected, bool bUnregister)
    {
        EXPECT_HR(static_cast<HRESULT>(ExpectedOutcome(registrar, expected)),
                  static_cast<HRESULT>(RunRegistration(registrar, bUnregister)))
            << registrar.name << (bUnregister ? " unregistering" : " registering");
    }

private:
    std::map<std::wstring, CRegTree> m_saved;
    CRegValues m_clsidValues;
};

// --- Registration from nothing, by every route and Windows version --------------------------

struct FromNothingCase {
    CRegistrar registrar;
    DWORD reportedVersion;  // GetVersionExW as the helper sees it (platform, major, minor); 0: not checked
};

class RegistrationFromNothing : public RegistrationTest, public ::testing::WithParamInterface<FromNothingCase>
{
};

TEST_P(RegistrationFromNothing, WritesTheLayoutOfItsSystemAndUnregistrationTakesItAway)
{
    const FromNothingCase &c = GetParam();
    if (c.reportedVersion != 0) {
        ASSERT_EQ(c.reportedVersion, HelperVersion(c.registrar.version)) << "Wine does not report this version";
    }
    Arrange({});

    CRegistryState layout = Registered({{L".rar", WithLink(EMPTY_KEY)}});
    if (c.registrar.fullChain) {
        layout = FullChain(layout);
        layout[L".rar"] = WithLink(SzTree({{L"", {{L"", L"rar.file"}}}}));
    }
    ExpectOutcome(c.registrar, S_OK, false);
    ExpectState(layout, "registered");
    ExpectOutcome(c.registrar, S_OK, false);
    ExpectState(layout, "registered twice");

    // The extension key stays; its default value went with the ProgID it named.
    ExpectOutcome(c.registrar, S_OK, true);
    ExpectState({{L".rar", EMPTY_KEY}}, "unregistered");
    ExpectOutcome(c.registrar, S_FALSE, true);
    ExpectState({{L".rar", EMPTY_KEY}}, "unregistered twice");
}

INSTANTIATE_TEST_SUITE_P(
    Routes, RegistrationFromNothing,
    ::testing::Values(FromNothingCase{EXPORT_WIN7, 0}, FromNothingCase{REGSVR32_WIN7, 0},
                      FromNothingCase{{"regsvr32 as nt40", CRegistrar::Tool, L"nt40", true}, 0x20400},
                      FromNothingCase{{"helper as win2k", CRegistrar::Helper, L"win2k", false}, 0x20500},
                      FromNothingCase{{"helper as winxp", CRegistrar::Helper, L"winxp", false}, 0x20501},
                      FromNothingCase{HELPER_NT40, 0x20400},
                      FromNothingCase{{"helper as win98", CRegistrar::Helper, L"win98", true}, 0x1040A}),
    [](const ::testing::TestParamInfo<FromNothingCase> &info) {
        std::string name;
        for (const char *p = info.param.registrar.name; *p != '\0'; ++p)
            if (std::isalnum(static_cast<unsigned char>(*p)))
                name += *p;
        return name;
    });

// --- Registrations of other products already present -----------------------------------------

struct ExistingCase {
    const char *name;
    CRegistrar registrar;
    CRegistryState given;
    CRegistryState registered;    // the module's own two classes are added to it
    CRegistryState unregistered;
};

class RegistrationWithExistingKeys : public RegistrationTest, public ::testing::WithParamInterface<ExistingCase>
{
};

TEST_P(RegistrationWithExistingKeys, LinksWhatExistsAndRemovesOnlyWhatItEmptied)
{
    const ExistingCase &c = GetParam();
    Arrange(c.given);
    ExpectOutcome(c.registrar, S_OK, false);
    ExpectState(Registered(c.registered), "registered");
    ExpectOutcome(c.registrar, S_OK, false);
    ExpectState(Registered(c.registered), "registered twice");
    ExpectOutcome(c.registrar, S_OK, true);
    ExpectState(c.unregistered, "unregistered");
}

std::vector<ExistingCase> ExistingCases()
{
    std::vector<ExistingCase> cases;
    {
        // The other class gets the link; unregistration then removes the class (its only subkey
        // was the link), the ProgID left empty, and the defaults that named the ProgID: the bare
        // extension key goes, the other keeps its value and subkey.
        ExistingCase c{"OtherClassOnlyLinked", EXPORT_WIN7, OtherFileType(true), {}, {}};
        c.given[BARE_EXTENSION] = SzTree({{L"", {{L"", Lower(OTHER_PROGID)}}}});
        c.given[KEPT_EXTENSION] =
            SzTree({{L"", {{L"", OTHER_PROGID}, {L"Content Type", L"application/x-other"}}}, {L"ShellNew", {}}});
        c.registered = c.given;
        c.registered[L".rar"] = WithLink(c.given[L".rar"]);
        c.registered[Clsid(OTHER_CLASS)] = WithLink(c.given[Clsid(OTHER_CLASS)]);
        c.unregistered[L".rar"] = EMPTY_KEY;
        c.unregistered[KEPT_EXTENSION] = SzTree({{L"", {{L"Content Type", L"application/x-other"}}}, {L"ShellNew", {}}});
        cases.push_back(c);
    }
    {
        // From Windows 2000 on a missing class is not created. A link to the handler that is not
        // below a class (here on the ProgID) is left alone.
        ExistingCase c{"OtherClassMissing", EXPORT_WIN7, OtherFileType(false), {}, {}};
        c.given[OTHER_PROGID] = WithLink(c.given[OTHER_PROGID]);
        c.registered = c.given;
        c.registered[L".rar"] = WithLink(c.given[L".rar"]);
        c.unregistered = c.given;
        cases.push_back(c);
    }
    {
        // Before Windows 2000 the missing class is created (without description) and linked, and
        // the own chain is written too; .rar keeps naming the other ProgID.
        ExistingCase c{"OtherClassMissingBefore2000", HELPER_NT40, OtherFileType(false), {}, {}};
        c.registered = FullChain(c.given);
        c.registered[L".rar"] = WithLink(c.given[L".rar"]);
        c.registered[Clsid(OTHER_CLASS)] = WithLink(EMPTY_KEY);
        c.unregistered[L".rar"] = EMPTY_KEY;
        cases.push_back(c);
    }
    {
        // A class with other subkeys keeps them, and so its ProgID and .rar's value stay.
        ExistingCase c{"OtherClassWithMoreSubkeys", EXPORT_WIN7, OtherFileType(true), {}, {}};
        c.given[Clsid(OTHER_CLASS)] = With(c.given[Clsid(OTHER_CLASS)], L"DefaultIcon", SzTree({{L"", {{L"", L"other.dll,1"}}}}));
        c.registered = c.given;
        c.registered[L".rar"] = WithLink(c.given[L".rar"]);
        c.registered[Clsid(OTHER_CLASS)] = WithLink(c.given[Clsid(OTHER_CLASS)]);
        c.unregistered = c.given;
        cases.push_back(c);
    }
    {
        // A ProgID with other subkeys loses only its CLSID key; .rar still names it.
        ExistingCase c{"OtherProgIdWithMoreSubkeys", EXPORT_WIN7, OtherFileType(true), {}, {}};
        c.given[OTHER_PROGID] = With(c.given[OTHER_PROGID], L"shell\\open\\command", SzTree({{L"", {{L"", L"other.exe \"%1\""}}}}));
        c.registered = c.given;
        c.registered[L".rar"] = WithLink(c.given[L".rar"]);
        c.registered[Clsid(OTHER_CLASS)] = WithLink(c.given[Clsid(OTHER_CLASS)]);
        c.unregistered = c.given;
        c.unregistered.erase(Clsid(OTHER_CLASS));
        c.unregistered[OTHER_PROGID] = c.given[OTHER_PROGID].Without(L"CLSID");
        cases.push_back(c);
    }
    {
        // Our own ProgID and document class from an older registration: linked, descriptions kept.
        ExistingCase c{"OwnChainPresent", EXPORT_WIN7, {}, {}, {}};
        c.given[L"rar.file"] = SzTree({{L"", {{L"", L"Old archive"}}}, {L"CLSID", {{L"", DOCUMENT}}}});
        c.given[Clsid(DOCUMENT)] = SzTree({{L"", {{L"", L"Old document"}}}});
        c.registered = c.given;
        c.registered[L".rar"] = WithLink(EMPTY_KEY);
        c.registered[Clsid(DOCUMENT)] = WithLink(c.given[Clsid(DOCUMENT)]);
        c.unregistered[L".rar"] = EMPTY_KEY;
        cases.push_back(c);
    }
    {
        // An empty default names no ProgID: following it would open the root and CLSID itself.
        ExistingCase c{"EmptyExtensionDefault", EXPORT_WIN7, {{L".rar", SzTree({{L"", {{L"", L""}}}})}}, {}, {}};
        c.registered[L".rar"] = WithLink(c.given[L".rar"]);
        c.unregistered = c.given;
        cases.push_back(c);
    }
    {
        ExistingCase c{"EmptyExtensionDefaultBefore2000", HELPER_NT40, {{L".rar", SzTree({{L"", {{L"", L""}}}})}}, {}, {}};
        c.registered = FullChain({});
        c.registered[L".rar"] = WithLink(SzTree({{L"", {{L"", L"rar.file"}}}}));
        c.unregistered[L".rar"] = EMPTY_KEY;
        cases.push_back(c);
    }
    {
        // An empty class name under the ProgID is no class.
        ExistingCase c{"EmptyProgIdClass", EXPORT_WIN7, OtherFileType(false), {}, {}};
        c.given[OTHER_PROGID].keys[L"CLSID"][L""] = SzValue(L"");
        c.registered = c.given;
        c.registered[L".rar"] = WithLink(c.given[L".rar"]);
        c.unregistered = c.given;
        cases.push_back(c);
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Cases, RegistrationWithExistingKeys, ::testing::ValuesIn(ExistingCases()),
                         [](const ::testing::TestParamInfo<ExistingCase> &info) { return std::string(info.param.name); });

// --- Another product's handler on the extension ---------------------------------------------

// The handler class as registration leaves it when .rar named another handler before.
CRegTree HandlerClassKeeping(const std::wstring &previous)
{
    CRegTree tree = HandlerClass();
    tree.keys[L""][L"PreviousPersistentHandler"] = SzValue(previous);
    return tree;
}

struct PreviousHandlerCase {
    const char *name;
    CRegistrar registrar;
    CRegTree givenLink;   // .rar\PersistentHandler before registration
    bool kept;            // registration keeps its value and unregistration puts it back
};

class RegistrationOverAnotherHandler : public RegistrationTest, public ::testing::WithParamInterface<PreviousHandlerCase>
{
};

TEST_P(RegistrationOverAnotherHandler, KeepsItAndPutsItBack)
{
    const PreviousHandlerCase &c = GetParam();
    const CRegistryState given = {{L".rar", With(EMPTY_KEY, L"PersistentHandler", c.givenLink)}};
    Arrange(given);
    CRegistryState registered = Registered({{L".rar", WithLink(EMPTY_KEY)}});
    if (c.registrar.fullChain) {
        registered = FullChain(registered);
        registered[L".rar"] = WithLink(SzTree({{L"", {{L"", L"rar.file"}}}}));
    }
    if (c.kept)
        registered[Clsid(HANDLER)] = HandlerClassKeeping(OTHER_HANDLER);

    ExpectOutcome(c.registrar, S_OK, false);
    ExpectState(registered, "registered");
    // The second registration finds its own handler on .rar: the kept one stays.
    ExpectOutcome(c.registrar, S_OK, false);
    ExpectState(registered, "registered twice");

    ExpectOutcome(c.registrar, S_OK, true);
    CRegistryState unregistered = {{L".rar", EMPTY_KEY}};
    if (c.kept)
        unregistered = given;
    ExpectState(unregistered, "unregistered");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegistrationOverAnotherHandler,
    ::testing::Values(PreviousHandlerCase{"OtherHandler", EXPORT_WIN7, HandlerLink(OTHER_HANDLER), true},
                      PreviousHandlerCase{"OtherHandlerRegsvr32", REGSVR32_WIN7, HandlerLink(OTHER_HANDLER), true},
                      PreviousHandlerCase{"OtherHandlerBefore2000", HELPER_NT40, HandlerLink(OTHER_HANDLER), true},
                      PreviousHandlerCase{"OwnHandlerOtherCase", EXPORT_WIN7, HandlerLink(Lower(HANDLER)), false},
                      PreviousHandlerCase{"EmptyLink", EXPORT_WIN7, HandlerLink(L""), false},
                      PreviousHandlerCase{"LinkWithoutValue", REGSVR32_WIN7, EMPTY_KEY, false}),
    [](const ::testing::TestParamInfo<PreviousHandlerCase> &info) { return std::string(info.param.name); });

// The shared .rar link was removed meanwhile (by the other architecture's unregistration): the
// kept handler comes back all the same.
TEST_F(RegistrationTest, KeptHandlerReturnsWhenTheLinkIsGone)
{
    Arrange({{L".rar", With(EMPTY_KEY, L"PersistentHandler", HandlerLink(OTHER_HANDLER))}});
    ExpectOutcome(REGSVR32_WIN7, S_OK, false);
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_CLASSES_ROOT, L".rar\\PersistentHandler"));
    ExpectOutcome(REGSVR32_WIN7, S_OK, true);
    ExpectState({{L".rar", With(EMPTY_KEY, L"PersistentHandler", HandlerLink(OTHER_HANDLER))}}, "unregistered");
}

// A third product re-pointed .rar after registration: that link is removed as before, and the
// kept handler is not written over it.
TEST_F(RegistrationTest, KeptHandlerDoesNotReplaceAThirdOne)
{
    const std::wstring third = L"{9A8B7C6D-5E4F-4A3B-9C2D-1E0F9A8B7C6D}";
    Arrange({{L".rar", With(EMPTY_KEY, L"PersistentHandler", HandlerLink(OTHER_HANDLER))}});
    ExpectOutcome(EXPORT_WIN7, S_OK, false);
    ASSERT_EQ(ERROR_SUCCESS, SetRegValue(HKEY_CLASSES_ROOT, L".rar\\PersistentHandler", nullptr, REG_SZ, third));
    ExpectOutcome(EXPORT_WIN7, S_OK, true);
    ExpectState({{L".rar", EMPTY_KEY}}, "unregistered");
}

// --- Another product's handler on the document class -----------------------------------------

// The other product's handler linked from its document class, apart from the one on .rar.
const std::wstring OTHER_CLASS_HANDLER = L"{2F4E6A8C-0B1D-4C3E-8A5F-7D9B1C3E5A70}";

struct ClassHandlerCase {
    const char *name;
    CRegistrar registrar;
    CRegTree givenClassLink;  // CLSID\{other class}\PersistentHandler before registration
    bool extensionLinked;     // .rar\PersistentHandler names OTHER_HANDLER as well
    bool kept;                // registration keeps the class's value and unregistration puts it back
};

class RegistrationOverAnotherClassHandler : public RegistrationTest,
                                            public ::testing::WithParamInterface<ClassHandlerCase>
{
};

// .rar names the other ProgID, whose class links the given handler.
CRegistryState OtherClassLinked(const CRegTree &classLink, bool bExtensionLinked)
{
    CRegistryState state = OtherFileType(true);
    state[Clsid(OTHER_CLASS)] = With(state[Clsid(OTHER_CLASS)], L"PersistentHandler", classLink);
    if (bExtensionLinked)
        state[L".rar"] = With(state[L".rar"], L"PersistentHandler", HandlerLink(OTHER_HANDLER));
    return state;
}

CRegTree ClassKeeping(CRegTree tree, const std::wstring &previous)
{
    tree.keys[L""][L"PellucidorPreviousPersistentHandler"] = SzValue(previous);
    return tree;
}

TEST_P(RegistrationOverAnotherClassHandler, KeepsEachWhereItWasAndPutsThemBack)
{
    const ClassHandlerCase &c = GetParam();
    const CRegistryState given = OtherClassLinked(c.givenClassLink, c.extensionLinked);
    Arrange(given);
    CRegistryState registered = Registered(given);
    if (c.registrar.fullChain)
        registered = FullChain(registered);
    registered[L".rar"] = WithLink(given.at(L".rar"));
    registered[Clsid(OTHER_CLASS)] = WithLink(given.at(Clsid(OTHER_CLASS)));
    if (c.kept)
        registered[Clsid(OTHER_CLASS)] = ClassKeeping(registered[Clsid(OTHER_CLASS)], OTHER_CLASS_HANDLER);
    if (c.extensionLinked)
        registered[Clsid(HANDLER)] = HandlerClassKeeping(OTHER_HANDLER);

    ExpectOutcome(c.registrar, S_OK, false);
    ExpectState(registered, "registered");
    // The second registration finds its own handler on the class: the kept one stays.
    ExpectOutcome(c.registrar, S_OK, false);
    ExpectState(registered, "registered twice");

    ExpectOutcome(c.registrar, S_OK, true);
    // Not kept: the link was ours to remove, and the class, the ProgID and .rar's value went with it.
    CRegistryState unregistered = given;
    if (!c.kept) {
        unregistered = {{L".rar", c.extensionLinked ? With(EMPTY_KEY, L"PersistentHandler", HandlerLink(OTHER_HANDLER))
                                                    : EMPTY_KEY}};
    }
    ExpectState(unregistered, "unregistered");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegistrationOverAnotherClassHandler,
    ::testing::Values(
        ClassHandlerCase{"OtherHandlers", EXPORT_WIN7, HandlerLink(OTHER_CLASS_HANDLER), true, true},
        ClassHandlerCase{"OtherHandlersRegsvr32", REGSVR32_WIN7, HandlerLink(OTHER_CLASS_HANDLER), true, true},
        ClassHandlerCase{"OtherHandlersBefore2000", HELPER_NT40, HandlerLink(OTHER_CLASS_HANDLER), true, true},
        ClassHandlerCase{"OtherClassHandlerOnly", EXPORT_WIN7, HandlerLink(OTHER_CLASS_HANDLER), false, true},
        ClassHandlerCase{"OwnHandlerOtherCase", EXPORT_WIN7, HandlerLink(Lower(HANDLER)), true, false},
        ClassHandlerCase{"EmptyLink", REGSVR32_WIN7, HandlerLink(L""), false, false}),
    [](const ::testing::TestParamInfo<ClassHandlerCase> &info) { return std::string(info.param.name); });

// The class's link was removed meanwhile: the kept handler comes back all the same.
TEST_F(RegistrationTest, KeptClassHandlerReturnsWhenTheLinkIsGone)
{
    const CRegistryState given = OtherClassLinked(HandlerLink(OTHER_CLASS_HANDLER), false);
    Arrange(given);
    ExpectOutcome(REGSVR32_WIN7, S_OK, false);
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_CLASSES_ROOT, Clsid(OTHER_CLASS + L"\\PersistentHandler").c_str()));
    ExpectOutcome(REGSVR32_WIN7, S_OK, true);
    ExpectState(given, "unregistered");
}

// A third product re-pointed the class after registration: its link stays, the kept handler is
// not written over it, and the kept value goes.
TEST_F(RegistrationTest, KeptClassHandlerDoesNotReplaceAThirdOne)
{
    const std::wstring third = L"{9A8B7C6D-5E4F-4A3B-9C2D-1E0F9A8B7C6D}";
    Arrange(OtherClassLinked(HandlerLink(OTHER_CLASS_HANDLER), false));
    ExpectOutcome(EXPORT_WIN7, S_OK, false);
    ASSERT_EQ(ERROR_SUCCESS,
              SetRegValue(HKEY_CLASSES_ROOT, Clsid(OTHER_CLASS + L"\\PersistentHandler"), nullptr, REG_SZ, third));
    ExpectOutcome(EXPORT_WIN7, S_OK, true);
    ExpectState(OtherClassLinked(HandlerLink(third), false), "unregistered");
}

// --- Values registration cannot follow ------------------------------------------------------

struct BadValueCase {
    const char *name;
    CRegistrar registrar;
    CRegistryState given;
};

class RegistrationWithBadValues : public RegistrationTest, public ::testing::WithParamInterface<BadValueCase>
{
};

TEST_P(RegistrationWithBadValues, FailsWithSelfregEClass)
{
    const BadValueCase &c = GetParam();
    Arrange(c.given);
    ExpectOutcome(c.registrar, SELFREG_E_CLASS, false);
    // Nothing written before the failure is rolled back, but the given values are untouched.
    for (const auto &given : c.given) {
        const CRegTree now = CRegTree::Capture(HKEY_CLASSES_ROOT, given.first);
        for (const auto &key : given.second.keys) {
            auto found = now.keys.find(key.first);
            ASSERT_TRUE(found != now.keys.end()) << Narrow(given.first + L"\\" + key.first);
            EXPECT_TRUE(key.second == found->second) << Narrow(given.first + L"\\" + key.first);
        }
    }
}

std::vector<BadValueCase> BadValueCases()
{
    CRegistryState expandClass = OtherFileType(true);
    expandClass[OTHER_PROGID].keys[L"CLSID"][L""] = ExpandSzValue(L"%OTHER_CLASS%");
    CRegistryState expandExtension;
    expandExtension[L".rar"] = EMPTY_KEY;
    expandExtension[L".rar"].keys[L""][L""] = ExpandSzValue(L"%PROGID%");
    CRegistryState expandOwnClass = {{L"rar.file", SzTree({{L"", {}}, {L"CLSID", {}}})}};
    expandOwnClass[L"rar.file"].keys[L"CLSID"][L""] = ExpandSzValue(L"%DOCUMENT%");
    CRegistryState longProgId = {{L".rar", SzTree({{L"", {{L"", std::wstring(300, L'p')}}}})}};
    // Another product's class handler too long to keep is not replaced.
    CRegistryState longClassLink = OtherFileType(true);
    longClassLink[Clsid(OTHER_CLASS)] =
        With(longClassLink[Clsid(OTHER_CLASS)], L"PersistentHandler", HandlerLink(std::wstring(300, L'h')));
    return {
        {"ProgIdClassExpandSz", EXPORT_WIN7, expandClass},
        {"ProgIdClassExpandSzRegsvr32", REGSVR32_WIN7, expandClass},
        {"ProgIdClassExpandSzBefore2000", HELPER_NT40, expandClass},
        {"ExtensionDefaultExpandSz", EXPORT_WIN7, expandExtension},
        {"OwnProgIdClassExpandSz", EXPORT_WIN7, expandOwnClass},
        {"ExtensionDefaultTooLong", EXPORT_WIN7, longProgId},
        {"ClassLinkTooLong", EXPORT_WIN7, longClassLink},
        {"ClassLinkTooLongRegsvr32", REGSVR32_WIN7, longClassLink},
    };
}

INSTANTIATE_TEST_SUITE_P(Cases, RegistrationWithBadValues, ::testing::ValuesIn(BadValueCases()),
                         [](const ::testing::TestParamInfo<BadValueCase> &info) { return std::string(info.param.name); });

// --- Unregistration ---------------------------------------------------------------------------

// Register and unregister with other products' keys present: compared over the whole of
// HKEY_CLASSES_ROOT, exactly the keys and values the removal rules name are gone.
TEST_F(RegistrationTest, UnregistrationRemovesNothingElse)
{
    CRegistryState given = OtherFileType(true);
    given[BARE_EXTENSION] = SzTree({{L"", {{L"", OTHER_PROGID}}}});
    given[KEPT_EXTENSION] = SzTree({{L"", {{L"", OTHER_PROGID}}}, {L"ShellNew", {}}});
    Arrange(given);
    const CRegTree before = CRegTree::Capture(HKEY_CLASSES_ROOT, L"");

    ExpectOutcome(EXPORT_WIN7, S_OK, false);
    ExpectOutcome(EXPORT_WIN7, S_OK, true);

    // A 32-bit process also sees its own classes under Wow6432Node.
    CRegTree expected = before.Without(Clsid(OTHER_CLASS))
                            .Without(L"Wow6432Node\\" + Clsid(OTHER_CLASS))
                            .Without(OTHER_PROGID)
                            .Without(BARE_EXTENSION);
    expected.keys[KEPT_EXTENSION].erase(L"");
    expected.keys[L".rar"].erase(L"");
    EXPECT_TREE(expected, CRegTree::Capture(HKEY_CLASSES_ROOT, L""));
}

// A link that cannot be deleted (its key has a subkey) and a ProgID whose CLSID key cannot be
// deleted are passed over: unregistration ends, reports S_FALSE, and removes everything else.
TEST_F(RegistrationTest, UnregistrationMovesPastKeysItCannotDelete)
{
    Arrange({});
    ExpectOutcome(EXPORT_WIN7, S_OK, false);
    CRegistryState given = Registered({{L".rar", WithLink(EMPTY_KEY)}});
    given[Clsid(BLOCKED_CLASS)] = SzTree(
        {{L"", {{L"", L"Blocked document"}}}, {L"PersistentHandler", {{L"", HANDLER}}}, {L"PersistentHandler\\Extra", {}}});
    given[Clsid(LINKED_CLASS)] = SzTree({{L"", {{L"", L"Linked document"}}}, {L"PersistentHandler", {{L"", Lower(HANDLER)}}}});
    given[BLOCKED_PROGID] = SzTree({{L"CLSID", {{L"", LINKED_CLASS}}}, {L"CLSID\\Extra", {}}});
    Arrange(given);

    const CRegistrar child = {"helper", CRegistrar::Helper, nullptr, false};
    EXPECT_HR(S_FALSE, static_cast<HRESULT>(RunRegistration(child, true)));
    CRegistryState expected = {{L".rar", EMPTY_KEY}};
    expected[Clsid(BLOCKED_CLASS)] = given[Clsid(BLOCKED_CLASS)];
    expected[BLOCKED_PROGID] = given[BLOCKED_PROGID];
    ExpectState(expected, "unregistered");
}

// Another product re-pointed .rar's handler after registration: the link is removed anyway.
TEST_F(RegistrationTest, UnregistrationRemovesARePointedExtensionHandler)
{
    Arrange({});
    ExpectOutcome(EXPORT_WIN7, S_OK, false);
    ASSERT_EQ(ERROR_SUCCESS, SetRegValue(HKEY_CLASSES_ROOT, L".rar\\PersistentHandler", nullptr, REG_SZ, OTHER_HANDLER));
    ExpectOutcome(EXPORT_WIN7, S_OK, true);
    ExpectState({{L".rar", EMPTY_KEY}}, "unregistered");
}

// The test set-up registered this build with regsvr32, the way hosts then find the filter: COM
// loads this build's DLL for the filter class through the registration alone.
TEST_F(RegistrationTest, SetUpRegisteredThisBuild)
{
    EXPECT_TREE(FilterClass(), CRegTree::Capture(HKEY_CLASSES_ROOT, Clsid(FILTER)));
    EXPECT_TREE(HandlerClass(), CRegTree::Capture(HKEY_CLASSES_ROOT, Clsid(HANDLER)));
    EXPECT_TREE(HandlerLink(), CRegTree::Capture(HKEY_CLASSES_ROOT, L".rar\\PersistentHandler"));

    ASSERT_HR(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED));
    CLSID clsid = {};
    ASSERT_HR(S_OK, CLSIDFromString(FILTER.c_str(), &clsid));
    IClassFactory *pFactory = reinterpret_cast<IClassFactory *>(static_cast<UINT_PTR>(MARKER));
    const HRESULT hr = CoGetClassObject(clsid, CLSCTX_INPROC_SERVER, nullptr, IID_IClassFactory,
                                        reinterpret_cast<void **>(&pFactory));
    EXPECT_NE(HrText(REGDB_E_CLASSNOTREG), HrText(hr));
    EXPECT_NE(HrText(CO_E_DLLNOTFOUND), HrText(hr));
    wchar_t szModule[MAX_PATH] = {};
    HMODULE hModule = GetModuleHandleW(L"Pellucidor.dll");
    ASSERT_NE(nullptr, hModule) << "COM did not load the DLL, " << HrText(hr);
    GetModuleFileNameW(hModule, szModule, MAX_PATH);
    EXPECT_EQ(Narrow(TestBinPath(L"Pellucidor.dll")), Narrow(szModule));
    if (SUCCEEDED(hr))
        pFactory->Release();
    else
        EXPECT_EQ(nullptr, pFactory);
    CoUninitialize();
}

} // namespace
