// CRegistry against Wine's real registry: a scratch key under HKCU holds one value of every kind the
// lookups meet; each read is checked for its result, what it leaves in the caller's buffer, and
// that nothing in the registry changed.
#include <gtest/gtest.h>
#include <set>
#include <string>

#include "RegistrySeed.h"
#include "TestHelpers.h"
#include "support/Registry.h"

namespace {

const wchar_t SCRATCH[] = L"Software\\Pellucidor.Tests.Registry";

class RegistryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        m_before = SnapshotNames(HKEY_CURRENT_USER, L"Software") + SnapshotTree(HKEY_CURRENT_USER, SCRATCH);
        ASSERT_EQ(L"[HKCU\\" + std::wstring(SCRATCH) + L"] <absent>\n", SnapshotTree(HKEY_CURRENT_USER, SCRATCH));
        const std::wstring key = SCRATCH;
        ASSERT_TRUE(m_seed.SetString(HKEY_CURRENT_USER, key, L"", L"default text"));
        ASSERT_TRUE(m_seed.SetString(HKEY_CURRENT_USER, key, L"sz", L"abc"));
        ASSERT_TRUE(m_seed.SetString(HKEY_CURRENT_USER, key, L"expand", L"%PELLUCIDOR_NOT_SET%\\x.dll", REG_EXPAND_SZ));
        const wchar_t multi[] = L"one\0two\0";
        ASSERT_TRUE(m_seed.SetRaw(HKEY_CURRENT_USER, key, L"multi", REG_MULTI_SZ, multi, sizeof(multi)));
        ASSERT_TRUE(m_seed.SetDword(HKEY_CURRENT_USER, key, L"dword", 7));
        const BYTE bin4[] = {7, 0, 0, 0};
        ASSERT_TRUE(m_seed.SetRaw(HKEY_CURRENT_USER, key, L"bin4", REG_BINARY, bin4, sizeof(bin4)));
        // Stored without NUL. The character after the data is not NUL either: the registry (Wine
        // and NT alike) adds the NUL itself when the data is followed by one in memory.
        ASSERT_TRUE(m_seed.SetRaw(HKEY_CURRENT_USER, key, L"noNul", REG_SZ, L"abcdX", 8));
        const BYTE odd[] = {'a', 0, 'b', 0, 'c', 'x', 'y', 'z'};  // five bytes: "ab" and half a character
        ASSERT_TRUE(m_seed.SetRaw(HKEY_CURRENT_USER, key, L"odd", REG_SZ, odd, 5));
        ASSERT_TRUE(m_seed.SetRaw(HKEY_CURRENT_USER, key, L"empty", REG_SZ, nullptr, 0));
        ASSERT_TRUE(m_seed.CreateKey(HKEY_CURRENT_USER, key + L"\\novalues"));
        m_seeded = m_seed.Snapshot();
    }

    void TearDown() override
    {
        // Reading never writes: the seeded tree is exactly as it was seeded.
        EXPECT_EQ(m_seeded, m_seed.Snapshot());
        m_seed.Undo();
        EXPECT_EQ(m_before, SnapshotNames(HKEY_CURRENT_USER, L"Software") + SnapshotTree(HKEY_CURRENT_USER, SCRATCH));
    }

    BOOL OpenScratch(CRegistry &reg) { return reg.Open(HKEY_CURRENT_USER, SCRATCH); }

    CRegistrySeed m_seed;
    std::wstring m_before;
    std::wstring m_seeded;
};

TEST_F(RegistryTest, TypesAndSizesOfEachValue)
{
    CRegistry reg;
    ASSERT_TRUE(OpenScratch(reg));
    struct Case {
        const wchar_t *name;
        BOOL exists;
        DWORD type;
        DWORD cb;
        DWORD cch;
    } cases[] = {
        {nullptr, TRUE, REG_SZ, 26, 13},      // default value through a null name
        {L"", TRUE, REG_SZ, 26, 13},          // and through an empty one
        {L"sz", TRUE, REG_SZ, 8, 4},          // abc with its NUL: 4 characters
        {L"expand", TRUE, REG_EXPAND_SZ, 54, 27},
        {L"multi", TRUE, REG_MULTI_SZ, 18, 9},
        {L"dword", TRUE, REG_DWORD, 4, 2},
        {L"bin4", TRUE, REG_BINARY, 4, 2},
        {L"noNul", TRUE, REG_SZ, 8, 4},
        {L"odd", TRUE, REG_SZ, 5, 3},         // the half character counts as one
        {L"empty", TRUE, REG_SZ, 0, 0},
        {L"missing", FALSE, MARKER, MARKER, MARKER},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name == nullptr ? "(null)" : Narrow(c.name));
        DWORD type = MARKER, cb = MARKER, cch = MARKER;
        EXPECT_EQ(c.exists, reg.GetValueType(c.name, &type));
        EXPECT_EQ(c.type, type);
        EXPECT_EQ(c.exists, reg.GetValueSize(c.name, &cb));
        EXPECT_EQ(c.cb, cb);
        EXPECT_EQ(c.exists, reg.GetStringLength(c.name, &cch));
        EXPECT_EQ(c.cch, cch);
        EXPECT_EQ(c.exists, reg.ReadValue(c.name, nullptr, 0));  // null buffer: does it exist
    }
    EXPECT_FALSE(reg.GetValueType(L"sz", nullptr));
    EXPECT_FALSE(reg.GetValueSize(L"sz", nullptr));
    EXPECT_FALSE(reg.GetStringLength(L"sz", nullptr));
}

TEST_F(RegistryTest, ReadStringTakesPlainAndMultiStringsOnly)
{
    CRegistry reg;
    ASSERT_TRUE(OpenScratch(reg));
    struct Case {
        const wchar_t *name;
        DWORD cch;
        BOOL ok;
        const wchar_t *text;  // what the buffer holds afterwards
    } cases[] = {
        {L"sz", 64, TRUE, L"abc"},
        {L"sz", 4, TRUE, L"abc"},           // exactly fits, NUL included
        {L"sz", 3, FALSE, L""},             // too small: fails, nothing cut
        {L"multi", 64, TRUE, L"one"},       // first string of the list
        {L"expand", 64, FALSE, L"~~~~"},    // REG_EXPAND_SZ refused, buffer untouched
        {L"dword", 64, FALSE, L"~~~~"},
        {L"bin4", 64, FALSE, L"~~~~"},
        {L"missing", 64, FALSE, L"~~~~"},
        {L"noNul", 5, TRUE, L"abcd"},       // stored without NUL: terminated inside the buffer
        {L"noNul", 4, FALSE, L""},          // no room for the NUL
        {L"odd", 3, TRUE, L"ab"},           // the half character is dropped
        {L"empty", 1, TRUE, L""},
        {nullptr, 64, TRUE, L"default text"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(Narrow(c.name == nullptr ? L"(null)" : c.name) + " cch " + std::to_string(c.cch));
        wchar_t buffer[72];
        wmemset(buffer, L'~', 72);
        buffer[4] = L'\0';
        EXPECT_EQ(c.ok, reg.ReadString(c.name, buffer, c.cch));
        EXPECT_EQ(std::wstring(c.text), std::wstring(buffer));
        for (DWORD i = c.cch; i < 72; ++i)  // nothing written past the capacity
            ASSERT_EQ(i == 4 ? L'\0' : L'~', buffer[i]) << "index " << i;
    }
    wchar_t buffer[8];
    EXPECT_FALSE(reg.ReadString(L"sz", nullptr, 8));
    EXPECT_FALSE(reg.ReadString(L"sz", buffer, 0));
}

TEST_F(RegistryTest, ReadExpandableStringReportsTheKindAndDoesNotExpand)
{
    CRegistry reg;
    ASSERT_TRUE(OpenScratch(reg));
    struct Case {
        const wchar_t *name;
        BOOL ok;
        DWORD expandable;
        const wchar_t *text;
    } cases[] = {
        {L"expand", TRUE, TRUE, L"%PELLUCIDOR_NOT_SET%\\x.dll"},
        {L"sz", TRUE, FALSE, L"abc"},
        {L"multi", FALSE, FALSE, L"~"},
        {L"dword", FALSE, FALSE, L"~"},
        {L"missing", FALSE, TRUE, L"~"},  // left as it was
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(Narrow(c.name));
        wchar_t buffer[64] = L"~";
        bool expandable = true;
        EXPECT_EQ(c.ok, reg.ReadExpandableString(c.name, buffer, 64, &expandable));
        EXPECT_EQ(c.expandable, static_cast<DWORD>(expandable));
        EXPECT_EQ(std::wstring(c.text), std::wstring(buffer));
    }
    wchar_t small[26];
    bool expandable = false;
    EXPECT_FALSE(reg.ReadExpandableString(L"expand", small, 26, &expandable));  // needs 27 with its NUL
    EXPECT_FALSE(reg.ReadExpandableString(L"expand", small, 26, nullptr));
}

TEST_F(RegistryTest, ReadDwordOnlyForDwordValues)
{
    CRegistry reg;
    ASSERT_TRUE(OpenScratch(reg));
    const struct {
        const wchar_t *name;
        BOOL ok;
        DWORD value;
    } cases[] = {
        {L"dword", TRUE, 7},
        {L"bin4", FALSE, MARKER},  // four bytes, but not a REG_DWORD
        {L"sz", FALSE, MARKER},
        {L"missing", FALSE, MARKER},
    };
    for (const auto &c : cases) {
        DWORD value = MARKER;
        EXPECT_EQ(c.ok, reg.ReadDword(c.name, &value)) << Narrow(c.name);
        EXPECT_EQ(c.value, value) << Narrow(c.name);
    }
    EXPECT_FALSE(reg.ReadDword(L"dword", nullptr));
}

TEST_F(RegistryTest, ReadValueNeedsRoomForTheWholeValue)
{
    CRegistry reg;
    ASSERT_TRUE(OpenScratch(reg));
    BYTE buffer[16];
    memset(buffer, 0xcc, sizeof(buffer));
    EXPECT_FALSE(reg.ReadValue(L"sz", buffer, 7));
    for (BYTE b : buffer)
        ASSERT_EQ(0xcc, b);
    EXPECT_TRUE(reg.ReadValue(L"sz", buffer, 8));
    EXPECT_EQ(std::wstring(L"abc"), std::wstring(reinterpret_cast<wchar_t *>(buffer)));
    EXPECT_EQ(0xcc, buffer[8]);
    EXPECT_FALSE(reg.ReadValue(L"missing", buffer, 16));
}

TEST_F(RegistryTest, EnumeratesValueNames)
{
    CRegistry reg;
    ASSERT_TRUE(OpenScratch(reg));
    std::set<std::wstring> names;
    wchar_t name[64] = L"";
    int steps = 0;
    for (BOOL more = reg.EnumFirstValue(name, 64); more && steps < 100; more = reg.EnumNextValue(name, 64), ++steps)
        names.insert(name);
    const std::set<std::wstring> expected = {L"", L"sz", L"expand", L"multi", L"dword", L"bin4", L"noNul", L"odd", L"empty"};
    EXPECT_EQ(expected, names);
    EXPECT_FALSE(reg.EnumNextValue(name, 64));  // stays at the end

    // A name longer than the capacity ends the walk ("expand" needs 7 characters).
    std::set<std::wstring> shortNames;
    for (BOOL more = reg.EnumFirstValue(name, 6); more && steps < 200; more = reg.EnumNextValue(name, 6), ++steps)
        shortNames.insert(name);
    EXPECT_LT(shortNames.size(), expected.size());
    EXPECT_EQ(0u, shortNames.count(L"expand"));

    CRegistry empty;
    ASSERT_TRUE(empty.Open(HKEY_CURRENT_USER, (std::wstring(SCRATCH) + L"\\novalues").c_str()));
    EXPECT_FALSE(empty.EnumFirstValue(name, 64));
    EXPECT_FALSE(empty.EnumNextValue(name, 64));
    EXPECT_FALSE(reg.EnumFirstValue(nullptr, 64));
    EXPECT_FALSE(reg.EnumFirstValue(name, 0));
}

TEST_F(RegistryTest, OpenAndCloseStates)
{
    CRegistry reg;
    EXPECT_EQ(nullptr, reg.Key());
    EXPECT_EQ(nullptr, reg.Subkey());
    ASSERT_TRUE(OpenScratch(reg));
    EXPECT_NE(nullptr, reg.Key());
    EXPECT_EQ(HKEY_CURRENT_USER, reg.Root());
    EXPECT_EQ(std::wstring(SCRATCH), std::wstring(reg.Subkey()));

    // Rejected arguments change nothing: the key stays open and readable.
    EXPECT_FALSE(reg.Open(nullptr, L"Software"));
    EXPECT_FALSE(reg.Open(HKEY_CURRENT_USER, nullptr));
    DWORD value = MARKER;
    EXPECT_TRUE(reg.ReadDword(L"dword", &value));
    EXPECT_EQ(7u, value);
    EXPECT_EQ(std::wstring(SCRATCH), std::wstring(reg.Subkey()));

    // Opening another key closes the first.
    ASSERT_TRUE(reg.Open(HKEY_CURRENT_USER, (std::wstring(SCRATCH) + L"\\novalues").c_str()));
    EXPECT_FALSE(reg.ReadDword(L"dword", &value));

    // A key that does not exist leaves the object closed.
    EXPECT_FALSE(reg.Open(HKEY_CURRENT_USER, L"Software\\Pellucidor.Tests.Registry\\absent"));
    EXPECT_EQ(nullptr, reg.Key());
    EXPECT_EQ(nullptr, reg.Subkey());

    // Closed: every read fails and leaves its out-parameters alone.
    value = MARKER;
    DWORD type = MARKER, size = MARKER;
    wchar_t text[8] = L"~";
    bool expandable = true;
    EXPECT_FALSE(reg.GetValueType(L"sz", &type));
    EXPECT_FALSE(reg.GetValueSize(L"sz", &size));
    EXPECT_FALSE(reg.GetStringLength(L"sz", &size));
    EXPECT_FALSE(reg.ReadValue(L"sz", nullptr, 0));
    EXPECT_FALSE(reg.ReadDword(L"dword", &value));
    EXPECT_FALSE(reg.ReadString(L"sz", text, 8));
    EXPECT_FALSE(reg.ReadExpandableString(L"sz", text, 8, &expandable));
    EXPECT_FALSE(reg.EnumFirstValue(text, 8));
    EXPECT_EQ(MARKER, value);
    EXPECT_EQ(MARKER, type);
    EXPECT_EQ(MARKER, size);
    EXPECT_TRUE(expandable);
    EXPECT_EQ(std::wstring(L"~"), std::wstring(text));
    reg.Close();  // closing twice is harmless
    reg.Close();
}

TEST_F(RegistryTest, EmptySubkeyOpensAHandleOfItsOwn)
{
    HKEY root = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(HKEY_CURRENT_USER, SCRATCH, 0, KEY_READ, &root));
    {
        CRegistry reg;
        ASSERT_TRUE(reg.Open(root, L""));
        EXPECT_NE(root, reg.Key());
        wchar_t text[8];
        EXPECT_TRUE(reg.ReadString(L"sz", text, 8));
    }
    // The caller's key is still open after the object closed its own.
    DWORD type = 0;
    EXPECT_EQ(ERROR_SUCCESS, RegQueryValueExW(root, L"sz", nullptr, &type, nullptr, nullptr));
    RegCloseKey(root);
}

} // namespace
