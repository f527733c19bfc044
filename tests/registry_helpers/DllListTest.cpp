// What the lookup does with the DLL list's answers about the module it found: the record's
// status and persistence flags, the list's spelling of the path, and when the lookup gives up or
// falls back to the product's default filter.
#include "HelperFixture.h"

namespace {

class DllListTest : public HelperTest
{
protected:
    void SetUp() override
    {
        HelperTest::SetUp();
        // Extension with handler 1 -> filter 1, and a default filter 2 that lists the extension.
        const Product &sp2001 = ServerProducts()[1];
        SeedFilter(1, ModuleFile(1));
        SeedFilter(2, ModuleFile(2));
        SeedHandlerFilter(Handler(1), FilterId(1));
        SeedExtHandler(L"pellrhk", Handler(1));
        SeedProductDefault(sp2001, L"pellrhk pellrhn", FilterId(2));
        // pellrhn: a handler without any filter registered.
        SeedExtHandler(L"pellrhn", Handler(2));
        Seeded();
    }
    std::string LookupSP2001(const wchar_t *ext)
    {
        return Lookup([] { return new CIFilterRegistryHelperSharepoint2001; }, ext);
    }
    Expected First() { return Found(Handler(1), 1, ROUTE_EXTENSION_HANDLER); }
};

TEST_F(DllListTest, AsksAboutTheModuleAndTheClassInOrder)
{
    EXPECT_EQ(Describe(First()), LookupSP2001(L"PELLRHK"));
    const std::vector<std::wstring> expected = {L"display " + ModuleFile(1), L"status " + ModuleFile(1),
                                                L"class " + ModuleFile(1) + L" " + FilterId(1)};
    EXPECT_EQ(expected, m_list.calls);
}

TEST_F(DllListTest, StatusAndFlagsFromTheListsAnswers)
{
    struct Row {
        const char *name;
        std::function<void(CFakeDllList &)> set;
        std::function<void(Expected &)> expect;
    };
    const Row rows[] = {
        {"module not found: status 8, no fallback", [](CFakeDllList &l) { l.found = FALSE; },
         [](Expected &e) { e.status = FILTER_STATUS_MODULE_NOT_FOUND, e.file = FALSE; }},
        {"no persistence interface: status 4, no fallback", [](CFakeDllList &l) { l.supportsFile = FALSE; },
         [](Expected &e) { e.status = FILTER_STATUS_NOT_USABLE, e.file = FALSE; }},
        {"stream only", [](CFakeDllList &l) { l.supportsFile = FALSE, l.supportsStream = TRUE; },
         [](Expected &e) { e.file = FALSE, e.stream = TRUE; }},
        {"storage only", [](CFakeDllList &l) { l.supportsFile = FALSE, l.supportsStorage = TRUE; },
         [](Expected &e) { e.file = FALSE, e.storage = TRUE; }},
        {"all three, trusted", [](CFakeDllList &l) { l.supportsStream = l.supportsStorage = l.trusted = TRUE; },
         [](Expected &e) { e.stream = e.storage = e.trusted = TRUE; }},
        {"first recorded spelling", [](CFakeDllList &l) { l.displayName = L"C:\\FILTERS\\RHF1.DLL", l.found = TRUE; },
         [](Expected &e) { e.module = L"C:\\FILTERS\\RHF1.DLL"; }},
        {"no display name answer", [](CFakeDllList &l) { l.displayResult = FALSE; },
         [](Expected &e) { e.result = FALSE, e.status = FILTER_STATUS_NOT_USABLE, e.file = FALSE; }},
        {"no file status answer", [](CFakeDllList &l) { l.statusResult = FALSE; },
         [](Expected &e) { e.result = FALSE, e.status = FILTER_STATUS_NOT_USABLE, e.file = FALSE; }},
        {"no persistence answer", [](CFakeDllList &l) { l.persistenceResult = FALSE; },
         [](Expected &e) { e.result = FALSE, e.status = FILTER_STATUS_NOT_USABLE; }},
    };
    for (const auto &row : rows) {
        CFakeDllList list;
        row.set(list);
        Expected expected = First();
        row.expect(expected);
        EXPECT_EQ(Describe(expected), Lookup([] { return new CIFilterRegistryHelperSharepoint2001; }, L"PELLRHK", &list))
            << row.name;
    }
}

TEST_F(DllListTest, NoListNoAnswer)
{
    CIFilterRegistryHelperSharepoint2001 helper;
    FilterRegistryInfo info;
    info.dllList = nullptr;
    Expected expected = First();
    expected.result = FALSE;
    expected.status = FILTER_STATUS_NOT_USABLE;
    expected.file = FALSE;
    EXPECT_EQ(Describe(expected), Describe(helper.FindFilterForExtension(L"PELLRHK", &info), info));
}

TEST_F(DllListTest, HandlerWithoutFilter)
{
    // With a list that, like the real one, does not answer for an empty module path, the lookup
    // ends there.
    EXPECT_EQ(Describe(Expected{FALSE, Handler(2), L"", L"", L"", ROUTE_EXTENSION_HANDLER, FILTER_STATUS_NOT_USABLE,
                                FALSE}),
              LookupSP2001(L"PELLRHN"));

    // A list that answers anyway (module "found", no interface): nothing usable and no filter
    // class known, so the product's default filter is tried.
    CFakeDllList lenient;
    lenient.answerEmpty = true;
    lenient.found = TRUE;
    Expected fallback = Found(Handler(2), 2, ROUTE_DEFAULT_FILTER);
    EXPECT_EQ(Describe(fallback),
              Lookup([] { return new CIFilterRegistryHelperSharepoint2001; }, L"PELLRHN", &lenient));
    const std::vector<std::wstring> calls = {
        L"display ", L"status ", L"class  ",
        L"display " + ModuleFile(2), L"status " + ModuleFile(2), L"class " + ModuleFile(2) + L" " + FilterId(2)};
    EXPECT_EQ(calls, lenient.calls);

    // Indexing Service has no default filter: the lookup ends with the first answer.
    lenient.calls.clear();
    EXPECT_EQ(Describe(Expected{TRUE, Handler(2), L"", L"", L"", ROUTE_EXTENSION_HANDLER, FILTER_STATUS_NOT_USABLE,
                                FALSE}),
              Lookup([] { return new CIFilterRegistryHelperIndexingService30; }, L"PELLRHN", &lenient));
}

} // namespace
