// The run's account at its edges: what fits exactly is charged and one byte more is not, and a
// document in memory stays charged while any stream over it is alive; the limits it starts from.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "TestHelpers.h"
#include "support/Holders.h"
#include "support/MemoryStream.h"
#include "support/RunBudget.h"
#include "support/RunLimits.h"

namespace {

CComPtr<CRunBudget> NewBudget(ULONGLONG cbMemory, ULONGLONG cbSkipWork = 0)
{
    CComPtr<CRunBudget> budget;
    budget.Attach(CRunBudget::Create(cbMemory, cbSkipWork));
    return budget;
}

} // namespace

TEST(RunBudget, ChargesUpToTheLimitAndNotOneByteMore)
{
    const struct {
        const char *row;
        ULONGLONG cbLimit, cbFirst, cbSecond;
        BOOL bSecondFits;
    } rows[] = {
        {"the whole limit, then one byte", 1000, 1000, 1, FALSE},
        {"one byte short, then one byte", 1000, 999, 1, TRUE},
        {"one byte short, then two", 1000, 999, 2, FALSE},
        {"nothing, then the limit and one", 1000, 0, 1001, FALSE},
    };
    for (const auto &row : rows) {
        CComPtr<CRunBudget> budget = NewBudget(row.cbLimit);
        ASSERT_TRUE(budget) << row.row;
        EXPECT_TRUE(budget->TryCharge(row.cbFirst)) << row.row;
        EXPECT_EQ(row.bSecondFits, budget->TryCharge(row.cbSecond)) << row.row;
        EXPECT_EQ(row.cbLimit - row.cbFirst - (row.bSecondFits ? row.cbSecond : 0), budget->Available()) << row.row;
    }
    CComPtr<CRunBudget> work = NewBudget(0, 1000);
    EXPECT_TRUE(work->SpendSkipWork(1000)) << "skip work up to the bound";
    EXPECT_FALSE(work->SpendSkipWork(1)) << "skip work one byte past the bound";
}

// The charge goes with the bytes: a child filter may release the stream it was given and keep a
// clone, or the other way round.
TEST(RunBudget, ADocumentStaysChargedUntilItsLastStreamGoes)
{
    for (const bool bOriginalFirst : {true, false}) {
        SCOPED_TRACE(bOriginalFirst ? "original released first" : "clone released first");
        CComPtr<CRunBudget> budget = NewBudget(100);
        CBudgetCharge charge(budget.Get());
        ASSERT_TRUE(charge.TryResize(40));
        CByteBuffer bytes;
        ASSERT_TRUE(bytes.Reserve(40) && bytes.Append(std::string(40, 'x').data(), 40));
        CComPtr<IStream> original;
        original.Attach(CreateMemoryDocumentStream(std::move(bytes), L"a.txt", std::move(charge)));
        ASSERT_TRUE(original);
        CComPtr<IStream> clone;
        ASSERT_EQ(S_OK, original->Clone(clone.Put()));
        (bOriginalFirst ? original : clone).Reset();
        EXPECT_EQ(60u, budget->Available()) << "refunded while a stream over the bytes is alive";
        (bOriginalFirst ? clone : original).Reset();
        EXPECT_EQ(100u, budget->Available()) << "not refunded when the last stream went";
    }
}

// The limits an administrator sets: absent or 0 is the default, and no value turns the limit off.
TEST(RunLimits, ValuesAboveTheMostCountAsTheMost)
{
    const struct {
        const wchar_t *value;  // NULL: none set
        DWORD dwSet;
        ULONGLONG cbMemory, cbSkipWork;
    } rows[] = {
        {nullptr, 0, 48ull << 20, 1024ull << 20},
        {L"MemoryBudgetMB", 0, 48ull << 20, 1024ull << 20},
        {L"MemoryBudgetMB", 100, 100ull << 20, 1024ull << 20},
        {L"MemoryBudgetMB", 4095, 1024ull << 20, 1024ull << 20},
        {L"MemoryBudgetMB", 0xFFFFFFFF, 1024ull << 20, 1024ull << 20},
        {L"SkipWorkMB", 1, 48ull << 20, 1ull << 20},
        {L"SkipWorkMB", 0xFFFFFFFF, 48ull << 20, 16384ull << 20},
    };
    for (const auto &row : rows) {
        const std::string name = row.value == nullptr ? "none set" : Narrow(row.value) + "=" + std::to_string(row.dwSet);
        std::unique_ptr<CLimitValue> set;
        if (row.value != nullptr)
            set = std::make_unique<CLimitValue>(row.value, row.dwSet);
        const RunLimits limits = ReadRunLimits();
        EXPECT_EQ(row.cbMemory, limits.cbMemory) << name;
        EXPECT_EQ(row.cbSkipWork, limits.cbSkipWork) << name;
    }
}

// What each host keeps of an item of 1 MB, read from the gatherer's settings (the key Windows
// Search uses, else the older one Microsoft's filter pages print) and the administrator's
// overrides, which hold for every host.
TEST(RunLimits, EachHostsAllowanceAndTheOverrides)
{
    const wchar_t *kSearch = L"SOFTWARE\\Microsoft\\Windows Search\\Gathering Manager";
    const wchar_t *kOlder = L"SOFTWARE\\Microsoft\\Gathering Manager";
    const struct {
        const char *name;
        SearchHost host;
        const wchar_t *key;  // a gatherer value set, or NULL
        const wchar_t *value;
        DWORD dwSet;
        const wchar_t *overrideName;  // a value of the product's key, or NULL
        DWORD dwOverride;
        ULONGLONG cchText;
        DWORD msRun, msCall;
    } rows[] = {
        {"another host", SearchHost::None, nullptr, nullptr, 0, nullptr, 0, 0, 0, 0},
        {"Windows Search", SearchHost::WindowsSearch, nullptr, nullptr, 0, nullptr, 0, 2u << 20, 0, 10000},
        {"grow factor 10", SearchHost::WindowsSearch, kSearch, L"MaxGrowFactor", 10, nullptr, 0, 5u << 20, 0, 10000},
        {"grow factor in the older key", SearchHost::WindowsSearch, kOlder, L"MaxGrowFactor", 6, nullptr, 0, 3u << 20, 0, 10000},
        {"data timeout 8 s", SearchHost::WindowsSearch, kSearch, L"DataTimeout", 8, nullptr, 0, 2u << 20, 0, 4000},
        {"connect timeout 30 s", SearchHost::WindowsSearch, kSearch, L"ConnectTimeout", 30, nullptr, 0, 2u << 20, 0, 15000},
        {"SharePoint", SearchHost::SharePoint, nullptr, nullptr, 0, nullptr, 0, 2000000, 30000, 15000},
        {"text override", SearchHost::SharePoint, nullptr, nullptr, 0, L"TextAllowanceChars", 5000, 5000, 30000, 15000},
        {"time override, another host", SearchHost::None, nullptr, nullptr, 0, L"TimeAllowanceSeconds", 8, 0, 8000, 4000},
        {"time override, Windows Search", SearchHost::WindowsSearch, nullptr, nullptr, 0, L"TimeAllowanceSeconds", 60, 2u << 20, 60000, 10000},
        {"call limit", SearchHost::WindowsSearch, nullptr, nullptr, 0, L"CallLimitMs", 250, 2u << 20, 0, 250},
    };
    for (const auto &row : rows) {
        std::unique_ptr<CGathererValue> gatherer;
        if (row.key != nullptr)
            gatherer = std::make_unique<CGathererValue>(row.key, row.value, row.dwSet);
        std::unique_ptr<CLimitValue> set;
        if (row.overrideName != nullptr)
            set = std::make_unique<CLimitValue>(row.overrideName, row.dwOverride);
        const RunLimits limits = ReadRunLimits(1u << 20, row.host);
        EXPECT_EQ(row.cchText, limits.cchText) << row.name;
        EXPECT_EQ(row.msRun, limits.msRun) << row.name;
        EXPECT_EQ(row.msCall, limits.msCall) << row.name;
    }
}

// What a host keeps of an item, and where it looks up filters, both follow from its image name.
TEST(RunLimits, TheHostIsKnownByItsImageName)
{
    using L = FilterLookup;
    const struct {
        const wchar_t *image;
        SearchHost host;
        FilterLookup lookup;
    } rows[] = {
        {L"C:\\Windows\\System32\\SearchFilterHost.exe", SearchHost::WindowsSearch, L::Standard},
        {L"searchprotocolhost.EXE", SearchHost::WindowsSearch, L::Standard},
        {L"C:\\Windows\\System32\\SearchIndexer.exe", SearchHost::WindowsSearch, L::Standard},
        {L"C:\\Program Files\\Microsoft Office Servers\\16.0\\Search\\Runtime\\1.0\\ParserServer.exe", SearchHost::SharePoint, L::Standard},
        {L"C:\\Program Files\\Microsoft SQL Server\\MSSQL\\Binn\\fdhost.exe", SearchHost::None, L::Standard},
        {L"C:\\Program Files\\MSN\\MsnGather.exe", SearchHost::None, L::DesktopSearch},
        {L"WINDOWSSEARCHFILTER.EXE", SearchHost::None, L::DesktopSearch},
        {L"C:\\Program Files\\SharePoint Portal Server\\Bin\\mssdmn.exe", SearchHost::None, L::ServerEngine},
        {L"filtdump.exe", SearchHost::None, L::ServerEngine},
        {L"SearchFilterHost.exe.bak", SearchHost::None, L::Standard},
        {L"pellucidor-dump.exe", SearchHost::None, L::Standard},
    };
    for (const auto &row : rows) {
        EXPECT_EQ(static_cast<int>(row.host), static_cast<int>(HostOfImage(row.image))) << Narrow(row.image);
        const KnownImage *pImage = KnownImageOf(row.image);
        EXPECT_EQ(static_cast<int>(row.lookup), static_cast<int>(pImage != nullptr ? pImage->lookup : L::Standard))
            << Narrow(row.image);
    }
}
