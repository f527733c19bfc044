// The in-memory XML document as the DLL list uses it: a root, elements under it, attributes
// written and read back, selections, and what happens without an XML implementation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestHelpers.h"
#include "support/ComError.h"
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

} // namespace

TEST_F(XmlHelper, CreateDocumentGivesOneEmptyRootElement)
{
    for (BOOL freeThreaded : {TRUE, FALSE}) {
        SCOPED_TRACE(freeThreaded ? "free-threaded" : "apartment");
        CXMLHelper xml(freeThreaded, TRUE);
        EXPECT_FALSE(xml.GetDocumentElement()) << "a new document has no root";
        ASSERT_TRUE(xml.CreateDocument(L"DLLS"));
        CComPtr<IXMLDOMElement> root = xml.GetDocumentElement();
        ASSERT_TRUE(root);
        EXPECT_EQ(L"DLLS", NodeName(root.Get()));
        EXPECT_EQ(0, AttributeCount(root.Get()));
        EXPECT_EQ(0, CountSelected(root.Get(), L"*"));
    }
}

// Names that are no element names make the root text unparsable; the old content is gone too.
TEST_F(XmlHelper, CreateDocumentRefusesNamesThatAreNoElementNames)
{
    CXMLHelper xml(TRUE, TRUE);
    for (const wchar_t *name : {L"", L"1abc", L"a b", L"x><y", L"a&b", L"a\"b"}) {
        SCOPED_TRACE(Narrow(name));
        ASSERT_TRUE(xml.CreateDocument(L"DLLS"));
        EXPECT_FALSE(xml.CreateDocument(name));
        EXPECT_FALSE(xml.GetDocumentElement());
    }
    EXPECT_FALSE(xml.CreateDocument(nullptr));
}

TEST_F(XmlHelper, LoadXmlReplacesTheContentOnlyWithARootElement)
{
    const struct {
        const wchar_t *text;
        BOOL loaded;
        const wchar_t *rootAfter;  // root element name afterwards; empty: none
    } cases[] = {
        {L"", FALSE, L"OLD"},                       // empty text leaves the document alone
        {L"<A><B/></A>", TRUE, L"A"},               // replaced
        {L"<A><B></A>", FALSE, L""},                // not well-formed: the parser drops the old content
        {L"<?xml version=\"1.0\"?>", FALSE, L""},   // no root element
        {L"just text", FALSE, L""},
        {L"<A x=\"&amp;&lt;&quot;\"/>", TRUE, L"A"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(Narrow(c.text));
        CXMLHelper xml(TRUE, TRUE);
        ASSERT_TRUE(xml.LoadXml(L"<OLD/>"));
        EXPECT_EQ(c.loaded, xml.LoadXml(c.text));
        CComPtr<IXMLDOMElement> root = xml.GetDocumentElement();
        EXPECT_EQ(std::wstring(c.rootAfter), root ? NodeName(root.Get()) : L"");
    }
    CXMLHelper xml(TRUE, TRUE);
    EXPECT_FALSE(xml.LoadXml(nullptr));
}

// Values are stored as given and read back unchanged; the DOM does the escaping.
TEST_F(XmlHelper, AttributesKeepEveryCharacter)
{
    CXMLHelper xml(TRUE, TRUE);
    ASSERT_TRUE(xml.CreateDocument(L"DLLS"));
    CComPtr<IXMLDOMElement> root = xml.GetDocumentElement();
    const wchar_t *values[] = {L"a & b", L"<DLL path=\"x\">", L"\"quoted\"", L"it's", L"&amp;", L"C:\\Filters\\x.dll",
                               L"\u00E9\u4E2D", L"", L" spaced  "};
    for (const wchar_t *value : values) {
        SCOPED_TRACE(Narrow(value));
        CComPtr<IXMLDOMElement> element = xml.CreateElement(L"DLL");
        ASSERT_TRUE(element);
        ASSERT_HR(S_OK, root->appendChild(element.Get(), nullptr));
        CXMLAttributesHelper attributes(element.Get());
        attributes.SetAttribute(L"display", value);
        EXPECT_EQ(std::wstring(value), std::wstring(static_cast<const wchar_t *>(attributes.GetAttribute(L"display"))));
        EXPECT_EQ(1, AttributeCount(element.Get()));
    }
    // Escaped in the document's text, so the document still parses.
    const std::wstring text = XmlOf(root.Get());
    EXPECT_NE(std::wstring::npos, text.find(L"a &amp; b"));
    EXPECT_NE(std::wstring::npos, text.find(L"&lt;DLL"));
    CXMLHelper copy(TRUE, TRUE);
    EXPECT_TRUE(copy.LoadXml(text.c_str()));
}

TEST_F(XmlHelper, SetAttributeTwiceKeepsOneAttributeWithTheSecondValue)
{
    CXMLHelper xml(FALSE, FALSE);
    ASSERT_TRUE(xml.CreateDocument(L"DLLS"));
    CComPtr<IXMLDOMElement> element = xml.CreateElement(L"GUID");
    CXMLAttributesHelper attributes(element.Get());
    attributes.SetAttribute(L"guid", L"first");
    attributes.SetAttribute(L"guid", L"second");
    attributes.SetAttribute(L"ipersistfile", nullptr);
    EXPECT_EQ(2, AttributeCount(element.Get()));
    EXPECT_STREQ(L"second", static_cast<const wchar_t *>(attributes.GetAttribute(L"guid")));
    EXPECT_STREQ(L"", static_cast<const wchar_t *>(attributes.GetAttribute(L"ipersistfile")));
    EXPECT_EQ(0u, attributes.GetAttribute(L"never").length());
}

// The helper holds one reference of its own for its lifetime.
TEST_F(XmlHelper, AttributesHelperHoldsItsOwnReference)
{
    CXMLHelper xml(TRUE, TRUE);
    ASSERT_TRUE(xml.CreateDocument(L"DLLS"));
    CComPtr<IXMLDOMElement> element = xml.CreateElement(L"DLL");
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

// A null or unreadable node: writes do nothing, reads give empty text, nothing is raised.
TEST_F(XmlHelper, AttributesHelperOnNoNodeDoesNothing)
{
    for (IXMLDOMNode *node : {static_cast<IXMLDOMNode *>(nullptr), reinterpret_cast<IXMLDOMNode *>(static_cast<UINT_PTR>(8))}) {
        CXMLAttributesHelper attributes(node);
        EXPECT_NO_THROW(attributes.SetAttribute(L"path", L"x"));
        _bstr_t value(L"marker");
        EXPECT_NO_THROW(value = attributes.GetAttribute(L"path"));
        EXPECT_EQ(0u, value.length());
    }
}

// A node without an attribute map (a text node) raises E_POINTER as _com_error.
TEST_F(XmlHelper, NodeWithoutAttributesRaisesPointerError)
{
    CXMLHelper xml(TRUE, TRUE);
    ASSERT_TRUE(xml.LoadXml(L"<A>text</A>"));
    CComPtr<IXMLDOMNode> text;
    ASSERT_HR(S_OK, xml.GetDocumentElement()->get_firstChild(text.Put()));
    CXMLAttributesHelper attributes(text.Get());
    HRESULT raised = S_OK;
    try {
        attributes.SetAttribute(L"x", L"y");
    } catch (const _com_error &e) {
        raised = e.Error();
    }
    EXPECT_HR(E_POINTER, raised);
    raised = S_OK;
    try {
        attributes.GetAttribute(L"x");
    } catch (const _com_error &e) {
        raised = e.Error();
    }
    EXPECT_HR(E_POINTER, raised);
}

// The selection form the DLL list uses: element name and one attribute-equality predicate,
// matched exactly (letter case included), first match only.
TEST_F(XmlHelper, SelectionFindsTheFirstMatchingChild)
{
    for (BOOL freeThreaded : {TRUE, FALSE}) {
        CXMLHelper xml(freeThreaded, TRUE);
        ASSERT_TRUE(xml.CreateDocument(L"DLLS"));
        CComPtr<IXMLDOMElement> root = xml.GetDocumentElement();
        for (const wchar_t *path : {L"C:_A.DLL", L"C:_B&<.DLL", L"C:_A.DLL"}) {
            CComPtr<IXMLDOMElement> element = xml.CreateElement(L"DLL");
            ASSERT_HR(S_OK, root->appendChild(element.Get(), nullptr));
            CXMLAttributesHelper(element.Get()).SetAttribute(L"path", path);
            CXMLAttributesHelper(element.Get()).SetAttribute(L"display", path);
        }
        CComPtr<IXMLDOMNode> found;
        ASSERT_HR(S_OK, root->selectSingleNode(_bstr_t(L"DLL[@path=\"C:_B&<.DLL\"]"), found.Put()));
        EXPECT_STREQ(L"C:_B&<.DLL", static_cast<const wchar_t *>(CXMLAttributesHelper(found.Get()).GetAttribute(L"display")));
        found.Reset();
        EXPECT_HR(S_FALSE, root->selectSingleNode(_bstr_t(L"DLL[@path=\"c:_a.dll\"]"), found.Put()));
        EXPECT_FALSE(found);
    }
}

// Without any document class the constructor raises the creation failure itself; 4.0 comes first,
// 3.0 is the fallback, and the free-threaded flag picks the free-threaded classes.
TEST_F(XmlHelper, ConstructorTriesVersionFourThenThree)
{
    const struct {
        BOOL freeThreaded;
        bool fail40, fail30;
        std::vector<CLSID> asked;
        bool created;
    } cases[] = {
        {TRUE, false, false, {CLSID_FreeThreadedDOMDocument40}, true},
        {TRUE, true, false, {CLSID_FreeThreadedDOMDocument40, CLSID_FreeThreadedDOMDocument30}, true},
        {TRUE, true, true, {CLSID_FreeThreadedDOMDocument40, CLSID_FreeThreadedDOMDocument30}, false},
        {FALSE, false, false, {CLSID_DOMDocument40}, true},
        {FALSE, true, false, {CLSID_DOMDocument40, CLSID_DOMDocument30}, true},
        {FALSE, true, true, {CLSID_DOMDocument40, CLSID_DOMDocument30}, false},
    };
    SetXmlDocumentCreator(RecordingCreator);
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(&c - cases));
        g_asked.clear();
        g_failing[0] = c.fail40 ? (c.freeThreaded ? CLSID_FreeThreadedDOMDocument40 : CLSID_DOMDocument40) : GUID_NULL;
        g_failing[1] = c.fail30 ? (c.freeThreaded ? CLSID_FreeThreadedDOMDocument30 : CLSID_DOMDocument30) : GUID_NULL;
        bool created = false;
        HRESULT thrown = S_OK;
        try {
            CXMLHelper xml(c.freeThreaded, TRUE);
            created = xml.CreateDocument(L"DLLS") == TRUE;
        } catch (const _com_error &e) {
            thrown = e.Error();
        }
        EXPECT_EQ(c.created, created);
        EXPECT_HR(c.created ? S_OK : REGDB_E_CLASSNOTREG, thrown);
        ASSERT_EQ(c.asked.size(), g_asked.size());
        for (size_t i = 0; i < c.asked.size(); ++i)
            EXPECT_TRUE(IsEqualCLSID(c.asked[i], g_asked[i])) << i;
    }
}

// Without COM on the thread no document can be made: the constructor says so, nothing crashes.
TEST(XmlHelperWithoutCom, ConstructorRaisesNotInitialized)
{
    HRESULT thrown = S_OK;
    try {
        CXMLHelper xml(TRUE, TRUE);
    } catch (const _com_error &e) {
        thrown = e.Error();
    }
    EXPECT_HR(CO_E_NOTINITIALIZED, thrown);
}

namespace {

// An object that offers error information for one interface.
class CErrorSource : public ISupportErrorInfo
{
public:
    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        *ppv = nullptr;
        if (!IsEqualIID(riid, IID_IUnknown) && !IsEqualIID(riid, IID_ISupportErrorInfo))
            return E_NOINTERFACE;
        *ppv = static_cast<ISupportErrorInfo *>(this);
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override
    {
        return IsEqualIID(riid, IID_IXMLDOMDocument2) ? S_OK : S_FALSE;
    }
};

void SetDescription(const wchar_t *text)
{
    CComPtr<ICreateErrorInfo> create;
    ASSERT_HR(S_OK, CreateErrorInfo(create.Put()));
    create->SetDescription(const_cast<wchar_t *>(text));
    CComPtr<IErrorInfo> info;
    ASSERT_HR(S_OK, create->QueryInterface(IID_IErrorInfo, info.PutVoid()));
    SetErrorInfo(0, info.Get());
}

} // namespace

// The raised error carries the HRESULT, and the object's error information when it offers some.
TEST_F(XmlHelper, ComCheckRaisesTheErrorWithTheObjectsInformation)
{
    CErrorSource source;
    const struct {
        HRESULT hr;
        const IID &iid;
        const wchar_t *description;  // expected; nullptr: no error information
    } cases[] = {
        {E_FAIL, IID_IXMLDOMDocument2, L"from the object"},
        {E_ACCESSDENIED, IID_IXMLDOMNode, nullptr},
    };
    for (const auto &c : cases) {
        SetDescription(L"from the object");
        HRESULT raised = S_OK;
        bool hasInfo = false;
        std::wstring description;
        try {
            ComCheck(c.hr, &source, c.iid);
        } catch (const _com_error &e) {
            raised = e.Error();
            IErrorInfo *info = e.ErrorInfo();
            hasInfo = info != nullptr;
            SafeRelease(info);
            const _bstr_t text = e.Description();
            description = text.length() != 0 ? static_cast<const wchar_t *>(text) : L"";
        }
        EXPECT_HR(c.hr, raised);
        EXPECT_EQ(c.description != nullptr, hasInfo);
        EXPECT_EQ(std::wstring(c.description != nullptr ? c.description : L""), description);
        SetErrorInfo(0, nullptr);
    }
    EXPECT_NO_THROW(ComCheck(S_FALSE, &source, IID_IXMLDOMDocument2));
}
