// The in-memory XML document as the DLL list uses it: a root, elements under it, attributes
// written and read back, selections, and what happens without an XML implementation.
#include <gtest/gtest.h>
#include <comdef.h>

#include <string>
#include <vector>

#include "TestHelpers.h"
#include "support/XmlHelper.h"

namespace {

class XmlHelper : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_HR(S_OK, CoInitializeEx(nullptr, COINIT_MULTITHREADED)); }
    void TearDown() override
    {
        SetXmlDocumentCreator(nullptr);
        CoUninitialize();
    }
};

std::wstring XmlOf(IXMLDOMNode *node)
{
    BSTR xml = nullptr;
    EXPECT_HR(S_OK, node->get_xml(&xml));
    const std::wstring text = xml != nullptr ? xml : L"";
    SysFreeString(xml);
    return text;
}

long CountSelected(IXMLDOMNode *node, const wchar_t *query)
{
    CComPtr<IXMLDOMNodeList> list;
    EXPECT_HR(S_OK, node->selectNodes(_bstr_t(query), list.Put()));
    long count = -1;
    if (list)
        list->get_length(&count);
    return count;
}

long AttributeCount(IXMLDOMNode *node)
{
    CComPtr<IXMLDOMNamedNodeMap> map;
    EXPECT_HR(S_OK, node->get_attributes(map.Put()));
    long count = -1;
    if (map)
        map->get_length(&count);
    return count;
}

std::wstring NodeName(IXMLDOMNode *node)
{
    BSTR name = nullptr;
    node->get_nodeName(&name);
    const std::wstring text = name != nullptr ? name : L"";
    SysFreeString(name);
    return text;
}

// Which document classes were asked for, and which of them fail.
std::vector<CLSID> g_asked;
CLSID g_failing[2] = {GUID_NULL, GUID_NULL};
HRESULT WINAPI RecordingCreator(REFCLSID clsid, LPUNKNOWN outer, DWORD context, REFIID iid, LPVOID *ppv)
{
    g_asked.push_back(clsid);
    EXPECT_EQ(0x17u, context);
    EXPECT_TRUE(IsEqualIID(iid, IID_IUnknown));
    for (const CLSID &failing : g_failing) {
        if (IsEqualCLSID(clsid, failing)) {
            *ppv = nullptr;
            return REGDB_E_CLASSNOTREG;
        }
    }
    return CoCreateInstance(clsid, outer, context, iid, ppv);
}

std::unique_ptr<CXMLHelper> NewDocument(bool freeThreaded = true, bool async = true)
{
    std::unique_ptr<CXMLHelper> xml;
    EXPECT_HR(S_OK, CXMLHelper::Create(freeThreaded, async, xml));
    return xml;
}

CComPtr<IXMLDOMElement> NewElement(CXMLHelper &xml, const wchar_t *name)
{
    CComPtr<IXMLDOMElement> element;
    EXPECT_HR(S_OK, xml.CreateElement(name, element));
    return element;
}

std::wstring AttributeOf(IXMLDOMNode *node, const wchar_t *name, HRESULT expected = S_OK)
{
    CBstr value;
    EXPECT_HR(expected, CXMLAttributesHelper(node).GetAttribute(name, value)) << Narrow(name);
    return value.Get() != nullptr ? value.Get() : L"";
}

} // namespace

TEST_F(XmlHelper, CreateDocumentGivesOneEmptyRootElement)
{
    for (bool freeThreaded : {true, false}) {
        SCOPED_TRACE(freeThreaded ? "free-threaded" : "apartment");
        std::unique_ptr<CXMLHelper> xml = NewDocument(freeThreaded);
        ASSERT_TRUE(xml);
        EXPECT_FALSE(xml->GetDocumentElement()) << "a new document has no root";
        ASSERT_TRUE(xml->CreateDocument(L"DLLS"));
        CComPtr<IXMLDOMElement> root = xml->GetDocumentElement();
        ASSERT_TRUE(root);
        EXPECT_EQ(L"DLLS", NodeName(root.Get()));
        EXPECT_EQ(0, AttributeCount(root.Get()));
        EXPECT_EQ(0, CountSelected(root.Get(), L"*"));
    }
}

// Names that are no element names make the root text unparsable; the old content is gone too.
TEST_F(XmlHelper, CreateDocumentRefusesNamesThatAreNoElementNames)
{
    std::unique_ptr<CXMLHelper> xml = NewDocument();
    ASSERT_TRUE(xml);
    for (const wchar_t *name : {L"", L"1abc", L"a b", L"x><y", L"a&b", L"a\"b"}) {
        SCOPED_TRACE(Narrow(name));
        ASSERT_TRUE(xml->CreateDocument(L"DLLS"));
        EXPECT_FALSE(xml->CreateDocument(name));
        EXPECT_FALSE(xml->GetDocumentElement());
    }
    EXPECT_FALSE(xml->CreateDocument(nullptr));
}

TEST_F(XmlHelper, LoadXmlReplacesTheContentOnlyWithARootElement)
{
    const struct {
        const wchar_t *text;
        bool loaded;
        const wchar_t *rootAfter;  // root element name afterwards; empty: none
    } cases[] = {
        {L"", false, L"OLD"},                       // empty text leaves the document alone
        {L"<A><B/></A>", true, L"A"},               // replaced
        {L"<A><B></A>", false, L""},                // not well-formed: the parser drops the old content
        {L"<?xml version=\"1.0\"?>", false, L""},   // no root element
        {L"just text", false, L""},
        {L"<A x=\"&amp;&lt;&quot;\"/>", true, L"A"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(Narrow(c.text));
        std::unique_ptr<CXMLHelper> xml = NewDocument();
        ASSERT_TRUE(xml);
        ASSERT_TRUE(xml->LoadXml(L"<OLD/>"));
        EXPECT_EQ(c.loaded, xml->LoadXml(c.text));
        CComPtr<IXMLDOMElement> root = xml->GetDocumentElement();
        EXPECT_EQ(std::wstring(c.rootAfter), root ? NodeName(root.Get()) : L"");
    }
    EXPECT_FALSE(NewDocument()->LoadXml(nullptr));
}

// Values are stored as given and read back unchanged; the DOM does the escaping.
TEST_F(XmlHelper, AttributesKeepEveryCharacter)
{
    std::unique_ptr<CXMLHelper> xml = NewDocument();
    ASSERT_TRUE(xml && xml->CreateDocument(L"DLLS"));
    CComPtr<IXMLDOMElement> root = xml->GetDocumentElement();
    const wchar_t *values[] = {L"a & b", L"<DLL path=\"x\">", L"\"quoted\"", L"it's", L"&amp;", L"C:\\Filters\\x.dll",
                               L"\u00E9\u4E2D", L"", L" spaced  "};
    for (const wchar_t *value : values) {
        SCOPED_TRACE(Narrow(value));
        CComPtr<IXMLDOMElement> element = NewElement(*xml, L"DLL");
        ASSERT_TRUE(element);
        ASSERT_HR(S_OK, root->appendChild(element.Get(), nullptr));
        EXPECT_HR(S_OK, CXMLAttributesHelper(element.Get()).SetAttribute(L"display", value));
        EXPECT_EQ(std::wstring(value), AttributeOf(element.Get(), L"display"));
        EXPECT_EQ(1, AttributeCount(element.Get()));
    }
    // Escaped in the document's text, so the document still parses.
    const std::wstring text = XmlOf(root.Get());
    EXPECT_NE(std::wstring::npos, text.find(L"a &amp; b"));
    EXPECT_NE(std::wstring::npos, text.find(L"&lt;DLL"));
    EXPECT_TRUE(NewDocument()->LoadXml(text.c_str()));
}

TEST_F(XmlHelper, SetAttributeTwiceKeepsOneAttributeWithTheSecondValue)
{
    std::unique_ptr<CXMLHelper> xml = NewDocument(false, false);
    ASSERT_TRUE(xml && xml->CreateDocument(L"DLLS"));
    CComPtr<IXMLDOMElement> element = NewElement(*xml, L"GUID");
    CXMLAttributesHelper attributes(element.Get());
    EXPECT_HR(S_OK, attributes.SetAttribute(L"guid", L"first"));
    EXPECT_HR(S_OK, attributes.SetAttribute(L"guid", L"second"));
    EXPECT_HR(S_OK, attributes.SetAttribute(L"ipersistfile", nullptr));
    EXPECT_EQ(2, AttributeCount(element.Get()));
    EXPECT_EQ(L"second", AttributeOf(element.Get(), L"guid"));
    EXPECT_EQ(L"", AttributeOf(element.Get(), L"ipersistfile"));
    EXPECT_EQ(L"", AttributeOf(element.Get(), L"never", S_FALSE));
}

// The helper holds one reference of its own for its lifetime.
TEST_F(XmlHelper, AttributesHelperHoldsItsOwnReference)
{
    std::unique_ptr<CXMLHelper> xml = NewDocument();
    ASSERT_TRUE(xml && xml->CreateDocument(L"DLLS"));
    CComPtr<IXMLDOMElement> element = NewElement(*xml, L"DLL");
    element->AddRef();
    const ULONG before = element->Release();
    {
        CXMLAttributesHelper attributes(element.Get());
        element->AddRef();
        EXPECT_EQ(before + 1, element->Release());
    }
    element->AddRef();
    EXPECT_EQ(before, element->Release());
}

// A null or unreadable node: writes do nothing, reads give empty text.
TEST_F(XmlHelper, AttributesHelperOnNoNodeDoesNothing)
{
    for (IXMLDOMNode *node : {static_cast<IXMLDOMNode *>(nullptr), reinterpret_cast<IXMLDOMNode *>(static_cast<UINT_PTR>(8))}) {
        CXMLAttributesHelper attributes(node);
        EXPECT_HR(S_FALSE, attributes.SetAttribute(L"path", L"x"));
        CBstr value(SysAllocString(L"marker"));
        EXPECT_HR(S_FALSE, attributes.GetAttribute(L"path", value));
        EXPECT_EQ(nullptr, value.Get());
    }
}

// A node without an attribute map (a text node) answers E_POINTER.
TEST_F(XmlHelper, NodeWithoutAttributesGivesPointerError)
{
    std::unique_ptr<CXMLHelper> xml = NewDocument();
    ASSERT_TRUE(xml && xml->LoadXml(L"<A>text</A>"));
    CComPtr<IXMLDOMNode> text;
    ASSERT_HR(S_OK, xml->GetDocumentElement()->get_firstChild(text.Put()));
    CXMLAttributesHelper attributes(text.Get());
    EXPECT_HR(E_POINTER, attributes.SetAttribute(L"x", L"y"));
    CBstr value;
    EXPECT_HR(E_POINTER, attributes.GetAttribute(L"x", value));
}

// The selection form the DLL list uses: element name and one attribute-equality predicate,
// matched exactly (letter case included), first match only.
TEST_F(XmlHelper, SelectionFindsTheFirstMatchingChild)
{
    for (bool freeThreaded : {true, false}) {
        std::unique_ptr<CXMLHelper> xml = NewDocument(freeThreaded);
        ASSERT_TRUE(xml && xml->CreateDocument(L"DLLS"));
        CComPtr<IXMLDOMElement> root = xml->GetDocumentElement();
        for (const wchar_t *path : {L"C:_A.DLL", L"C:_B&<.DLL", L"C:_A.DLL"}) {
            CComPtr<IXMLDOMElement> element = NewElement(*xml, L"DLL");
            ASSERT_HR(S_OK, root->appendChild(element.Get(), nullptr));
            CXMLAttributesHelper(element.Get()).SetAttribute(L"path", path);
            CXMLAttributesHelper(element.Get()).SetAttribute(L"display", path);
        }
        CComPtr<IXMLDOMNode> found;
        ASSERT_HR(S_OK, root->selectSingleNode(_bstr_t(L"DLL[@path=\"C:_B&<.DLL\"]"), found.Put()));
        EXPECT_EQ(L"C:_B&<.DLL", AttributeOf(found.Get(), L"display"));
        found.Reset();
        EXPECT_HR(S_FALSE, root->selectSingleNode(_bstr_t(L"DLL[@path=\"c:_a.dll\"]"), found.Put()));
        EXPECT_FALSE(found);
    }
}

// Without any document class Create gives the creation failure itself; 4.0 comes first,
// 3.0 is the fallback, and the free-threaded flag picks the free-threaded classes.
TEST_F(XmlHelper, ConstructorTriesVersionFourThenThree)
{
    const struct {
        bool freeThreaded;
        bool fail40, fail30;
        std::vector<CLSID> asked;
        bool created;
    } cases[] = {
        {true, false, false, {CLSID_FreeThreadedDOMDocument40}, true},
        {true, true, false, {CLSID_FreeThreadedDOMDocument40, CLSID_FreeThreadedDOMDocument30}, true},
        {true, true, true, {CLSID_FreeThreadedDOMDocument40, CLSID_FreeThreadedDOMDocument30}, false},
        {false, false, false, {CLSID_DOMDocument40}, true},
        {false, true, false, {CLSID_DOMDocument40, CLSID_DOMDocument30}, true},
        {false, true, true, {CLSID_DOMDocument40, CLSID_DOMDocument30}, false},
    };
    SetXmlDocumentCreator(RecordingCreator);
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(&c - cases));
        g_asked.clear();
        g_failing[0] = c.fail40 ? (c.freeThreaded ? CLSID_FreeThreadedDOMDocument40 : CLSID_DOMDocument40) : GUID_NULL;
        g_failing[1] = c.fail30 ? (c.freeThreaded ? CLSID_FreeThreadedDOMDocument30 : CLSID_DOMDocument30) : GUID_NULL;
        std::unique_ptr<CXMLHelper> xml;
        EXPECT_HR(c.created ? S_OK : REGDB_E_CLASSNOTREG, CXMLHelper::Create(c.freeThreaded, true, xml));
        EXPECT_EQ(c.created, xml && xml->CreateDocument(L"DLLS"));
        ASSERT_EQ(c.asked.size(), g_asked.size());
        for (size_t i = 0; i < c.asked.size(); ++i)
            EXPECT_TRUE(IsEqualCLSID(c.asked[i], g_asked[i])) << i;
    }
}

// Without COM on the thread no document can be made: Create says so, nothing crashes.
TEST(XmlHelperWithoutCom, CreateGivesNotInitialized)
{
    std::unique_ptr<CXMLHelper> xml;
    EXPECT_HR(CO_E_NOTINITIALIZED, CXMLHelper::Create(true, true, xml));
    EXPECT_FALSE(xml);
}
