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
