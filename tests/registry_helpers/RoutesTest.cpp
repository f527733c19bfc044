// Which filter each product's helper finds, and by which route, when an extension is registered
// in several of the places the products look: the product's extension table, the MIME content
// type, the extension's own persistent handler, its ProgID's class, and the product's default
// filter. Every route of the record is reached, and each family shows its own precedence.
#include "HelperFixture.h"

#include <set>

namespace {

struct Family {
    const char *name;
    HelperFactory make;
};

const Family IS20{"IndexingService20", [] { return new CIFilterRegistryHelperIndexingService20; }};
const Family IS30{"IndexingService30", [] { return new CIFilterRegistryHelperIndexingService30; }};

std::vector<Family> AllFamilies()
{
    std::vector<Family> families = {IS20, IS30};
    for (const auto &p : ServerProducts()) {
        ServerFactory make = p.make;
        families.push_back({p.name, [make] { return make(); }});
    }
    return families;
}

class RoutesTest : public HelperTest
{
protected:
    // Layered registrations: each extension from A to E lacks one more of the places.
    void SeedLayers()
    {
        std::set<std::pair<HKEY, std::wstring>> roots;
        for (const auto &p : ServerProducts()) {
            if (!roots.insert({p.hive, p.root}).second)
                continue;  // SQL Server 2000 and SharePoint 2001 share their tables
            SeedProductExt(p, L"pellrha", FilterId(1));
            SeedProductDefault(p, L"pellrha pellrhb pellrhc pellrhd pellrhe", FilterId(5));
            SeedProductClass(p, ClassId(6), FilterId(6));
            SeedProductClass(p, Handler(7), FilterId(6));
        }
        for (int n = 1; n <= 6; ++n)
            SeedFilter(n, ModuleFile(n));
        SeedHandlerFilter(Handler(2), FilterId(2));
        SeedHandlerFilter(Handler(3), FilterId(3));
        SeedHandlerFilter(Handler(4), FilterId(4));
        SeedHandlerFilter(Handler(7), FilterId(3));
        SeedClassHandler(ClassId(2), Handler(2));
        SeedClassHandler(ClassId(4), Handler(4));
        SeedClassHandler(ClassId(6), Handler(2));
        SeedProgIdClass(L"Pellucidor.RH.A", ClassId(4));

        SeedContentType(L"pellrha", L"application/x-pellrh-a", ClassId(2));
        SeedExtHandler(L"pellrha", Handler(3));
        SeedExtProgId(L"pellrha", L"Pellucidor.RH.A");
        SeedContentType(L"pellrhb", L"application/x-pellrh-b", ClassId(2));
        SeedExtHandler(L"pellrhb", Handler(3));
        SeedExtProgId(L"pellrhb", L"Pellucidor.RH.A");
        SeedExtHandler(L"pellrhc", Handler(3));
        SeedExtProgId(L"pellrhc", L"Pellucidor.RH.A");
        SeedExtProgId(L"pellrhd", L"Pellucidor.RH.A");
        // F: a content type whose class the product's class table knows (its handler is ignored).
        SeedContentType(L"pellrhf", L"application/x-pellrh-f", ClassId(6));
        // G: an extension handler that the product's class table knows.
        SeedExtHandler(L"pellrhg", Handler(7));
    }

    Expected None() { return {FALSE, L"", L"", L"", L"", 0, FILTER_STATUS_NOT_USABLE, FALSE}; }
};

TEST_F(RoutesTest, EachFamilyTakesItsOwnPrecedence)
{
    SeedLayers();
    Seeded();
    const Expected progId = Found(Handler(4), 4, ROUTE_PROGID_CLASS_HANDLER);
    const Expected extHandler = Found(Handler(3), 3, ROUTE_EXTENSION_HANDLER);
    const Expected productExt = Found(L"", 1, ROUTE_PRODUCT_EXTENSION);
    const Expected contentType = Found(Handler(2), 2, ROUTE_CONTENT_TYPE);
    const Expected defaultFilter = Found(L"", 5, ROUTE_DEFAULT_FILTER);
    const Expected contentTypeTable = Found(L"", 6, ROUTE_CONTENT_TYPE | ROUTE_FILTER_KNOWN);
    const Expected handlerTable = Found(Handler(7), 6, ROUTE_EXTENSION_HANDLER | ROUTE_FILTER_KNOWN);
    const Expected handlerSystem = Found(Handler(7), 3, ROUTE_EXTENSION_HANDLER);

    const std::vector<std::wstring> exts = {L"PELLRHA", L"PELLRHB", L"PELLRHC", L"PELLRHD",
                                            L"PELLRHE", L"PELLRHF", L"PELLRHG"};
    struct Row {
        const char *family;
        std::vector<Expected> expected;  // one per extension above
    };
    const std::vector<Row> rows = {
        {"IndexingService20", {progId, progId, progId, progId, None(), None(), None()}},
        {"IndexingService30", {extHandler, extHandler, extHandler, progId, None(), None(), handlerSystem}},
        {"SQLServer2000", {productExt, extHandler, extHandler, progId, None(), None(), handlerTable}},
        {"Sharepoint2001", {productExt, contentType, extHandler, progId, defaultFilter, contentTypeTable, handlerTable}},
        {"Sharepoint2003", {productExt, contentType, extHandler, progId, defaultFilter, contentTypeTable, handlerTable}},
        {"MSNDesktopSearch", {productExt, contentType, extHandler, progId, defaultFilter, contentTypeTable, handlerTable}},
        {"OfficeServer12", {productExt, contentType, extHandler, progId, defaultFilter, contentTypeTable, handlerTable}},
        {"WindowsServerExtensions12",
         {productExt, contentType, extHandler, progId, defaultFilter, contentTypeTable, handlerTable}},
    };
    const auto families = AllFamilies();
    ASSERT_EQ(rows.size(), families.size());
    for (size_t f = 0; f < rows.size(); ++f) {
        ASSERT_STREQ(rows[f].family, families[f].name);
        for (size_t e = 0; e < exts.size(); ++e)
            EXPECT_EQ(Describe(rows[f].expected[e]), Lookup(families[f].make, exts[e]))
                << rows[f].family << " " << Narrow(exts[e]);
    }
}

TEST_F(RoutesTest, ExtensionsCompareWithoutRegardToCase)
{
    SeedLayers();
    Seeded();
    for (const wchar_t *ext : {L"pellrha", L"PellRhA", L"PELLRHA"}) {
        EXPECT_EQ(Describe(Found(L"", 1, ROUTE_PRODUCT_EXTENSION)),
                  Lookup([] { return new CIFilterRegistryHelperOfficeServer12; }, ext))
            << Narrow(ext);
        EXPECT_EQ(Describe(Found(Handler(3), 3, ROUTE_EXTENSION_HANDLER)),
                  Lookup([] { return new CIFilterRegistryHelperIndexingService30; }, ext))
            << Narrow(ext);
    }
}

TEST_F(RoutesTest, ProgIdClassWithHandlerInProductClassTable)
{
    // Route 1 with the class-table flag: the ProgID's class handler is known to the product.
    const Product &sql = ServerProducts()[0];
    SeedFilter(1, ModuleFile(1));
    SeedFilter(2, ModuleFile(2));
    SeedExtProgId(L"pellrhh", L"Pellucidor.RH.H");
    SeedProgIdClass(L"Pellucidor.RH.H", ClassId(8));
    SeedClassHandler(ClassId(8), Handler(8));
    SeedHandlerFilter(Handler(8), FilterId(2));
    SeedProductClass(sql, Handler(8), FilterId(1));
    Seeded();
    EXPECT_EQ(Describe(Found(Handler(8), 1, ROUTE_PROGID_CLASS_HANDLER | ROUTE_FILTER_KNOWN)),
              Lookup(sql.make, L"PELLRHH"));
    EXPECT_EQ(Describe(Found(Handler(8), 2, ROUTE_PROGID_CLASS_HANDLER)), Lookup(IS30.make, L"PELLRHH"));
}

TEST_F(RoutesTest, EachProductReadsItsOwnTables)
{
    const auto &products = ServerProducts();
    SeedFilter(1, ModuleFile(1));
    for (size_t i = 0; i < products.size(); ++i)
        SeedProductExt(products[i], L"pellrhp" + std::to_wstring(i), FilterId(1));
    Seeded();
    for (size_t i = 0; i < products.size(); ++i) {
        for (const auto &asked : products) {
            const bool shared = asked.hive == products[i].hive && std::wstring(asked.root) == products[i].root;
            const Expected expected =
                shared ? Found(L"", 1, ROUTE_PRODUCT_EXTENSION)
                       : Expected{FALSE, L"", L"", L"", L"", 0, FILTER_STATUS_NOT_USABLE, FALSE};
            EXPECT_EQ(Describe(expected), Lookup([&] { return asked.make(); }, L"PELLRHP" + std::to_wstring(i)))
                << "seeded for " << products[i].name << ", asked " << asked.name;
        }
    }
}

TEST_F(RoutesTest, EngineRegistryRootOfEachProduct)
{
    Seeded();
    for (const auto &p : ServerProducts()) {
        std::unique_ptr<CIFilterRegistryHelperSQLServer2000> helper(p.make());
        HKEY hive = nullptr;
        wchar_t key[2048] = L"~";
        ASSERT_TRUE(helper->GetEngineRegistryRoot(&hive, key, 2048)) << p.name;
        EXPECT_EQ(p.hive, hive) << p.name;
        EXPECT_EQ(std::wstring(p.root), std::wstring(key)) << p.name;
        // A buffer too small for the whole key fails rather than naming a shorter key.
        const size_t cch = wcslen(p.root);
        EXPECT_FALSE(helper->GetEngineRegistryRoot(&hive, key, cch)) << p.name;
        EXPECT_TRUE(helper->GetEngineRegistryRoot(&hive, key, cch + 1)) << p.name;
    }
}

TEST_F(RoutesTest, NothingRegisteredFindsNothing)
{
    Seeded();
    for (const auto &family : AllFamilies()) {
        EXPECT_EQ(Describe(Expected{FALSE, L"", L"", L"", L"", 0, FILTER_STATUS_NOT_USABLE, FALSE}),
                  Lookup(family.make, L"PELLRHNONE"))
            << family.name;
        EXPECT_TRUE(m_list.calls.empty()) << family.name;
        std::unique_ptr<CIFilterRegistryHelperBase> helper(family.make());
        FilterRegistryInfo info;
        EXPECT_FALSE(helper->FindFilterForExtension(L"", &info)) << family.name;
        EXPECT_FALSE(helper->FindFilterForExtension(nullptr, &info)) << family.name;
        EXPECT_FALSE(helper->FindFilterForExtension(L"PELLRHNONE", nullptr)) << family.name;
    }
}

} // namespace
