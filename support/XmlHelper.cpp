#include "support/XmlHelper.h"

#include "support/Check.h"
#include "support/ComError.h"

extern "C" const CLSID CLSID_DOMDocument30 = {0xF5078F32, 0xC551, 0x11D3, {0x89, 0xB9, 0x00, 0x00, 0xF8, 0x1F, 0xE2, 0x21}};
extern "C" const CLSID CLSID_DOMDocument40 = {0x88D969C0, 0xF192, 0x11D4, {0xA6, 0x5F, 0x00, 0x40, 0x96, 0x32, 0x51, 0xE5}};
extern "C" const CLSID CLSID_FreeThreadedDOMDocument30 = {0xF5078F33, 0xC551, 0x11D3, {0x89, 0xB9, 0x00, 0x00, 0xF8, 0x1F, 0xE2, 0x21}};
extern "C" const CLSID CLSID_FreeThreadedDOMDocument40 = {0x88D969C1, 0xF192, 0x11D4, {0xA6, 0x5F, 0x00, 0x40, 0x96, 0x32, 0x51, 0xE5}};
extern "C" const IID IID_IXMLDOMDocument2 = {0x2933BF95, 0x7B36, 0x11D2, {0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60}};

namespace {

// In-process server, in-process handler, local server and remote server.
constexpr DWORD kDocumentContext = CLSCTX_INPROC_SERVER | CLSCTX_INPROC_HANDLER | CLSCTX_LOCAL_SERVER | CLSCTX_REMOTE_SERVER;

PFN_CoCreateInstance s_pfnCoCreateInstance = CoCreateInstance;

// Root document text: opening tag, line feed, closing tag, line feed.
constexpr const wchar_t *kRootTemplate = L"<%1>\n</%1>\n";

} // namespace

PFN_CoCreateInstance SetXmlDocumentCreator(PFN_CoCreateInstance pfn) noexcept
{
    const PFN_CoCreateInstance previous = s_pfnCoCreateInstance;
    s_pfnCoCreateInstance = pfn != nullptr ? pfn : CoCreateInstance;
    return previous;
}

HRESULT CreateXmlDocumentObject(REFCLSID clsid, REFIID iid, void **ppv)
{
    RETURN_HR_IF_NULL(E_POINTER, ppv);
    *ppv = nullptr;
    // With local and remote servers in the context, ask for IUnknown and run the object first.
    CComPtr<IUnknown> unknown;
    RETURN_IF_FAILED(s_pfnCoCreateInstance(clsid, nullptr, kDocumentContext, IID_IUnknown, unknown.PutVoid()));
    RETURN_HR_IF_NULL(E_NOINTERFACE, unknown.Get());
    RETURN_IF_FAILED(OleRun(unknown.Get()));
    return unknown->QueryInterface(iid, ppv);
}

CXMLHelper::CXMLHelper(BOOL bFreeThreaded, BOOL bAsync)
{
    const CLSID &first = bFreeThreaded ? CLSID_FreeThreadedDOMDocument40 : CLSID_DOMDocument40;
    const CLSID &fallback = bFreeThreaded ? CLSID_FreeThreadedDOMDocument30 : CLSID_DOMDocument30;
    if (FAILED(CreateXmlDocumentObject(first, IID_IXMLDOMDocument2, m_document.PutVoid()))) {
        const HRESULT hr = CreateXmlDocumentObject(fallback, IID_IXMLDOMDocument2, m_document.PutVoid());
        if (FAILED(hr))
            _com_issue_error(hr);
    }
    if (!m_document)
        _com_issue_error(E_POINTER);
    ComCheck(m_document->put_async(bAsync ? VARIANT_TRUE : VARIANT_FALSE), m_document.Get(), IID_IXMLDOMDocument2);
}

CXMLHelper::~CXMLHelper() = default;

BOOL CXMLHelper::CreateDocument(const wchar_t *pszRootName)
{
    if (pszRootName == nullptr)
        return FALSE;
    DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>(pszRootName)};
    wchar_t *pszText = nullptr;
    const DWORD cch = FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                     kRootTemplate, 0, 0, reinterpret_cast<wchar_t *>(&pszText), 0,
                                     reinterpret_cast<va_list *>(args));
    if (cch == 0 || pszText == nullptr)
        return FALSE;
    const BOOL loaded = LoadXml(pszText);
    LocalFree(pszText);
    return loaded;
}

BOOL CXMLHelper::LoadXml(const wchar_t *pszXml)
{
    if (pszXml == nullptr || pszXml[0] == L'\0' || !m_document)
        return FALSE;
    try {
        const _bstr_t text(pszXml);
        VARIANT_BOOL parsed = VARIANT_FALSE;
        const HRESULT hr = m_document->loadXML(text, &parsed);
        ComCheck(hr, m_document.Get(), IID_IXMLDOMDocument2);
        if (hr != S_OK || parsed != VARIANT_TRUE)
            return FALSE;
        CComPtr<IXMLDOMElement> root;
        ComCheck(m_document->get_documentElement(root.Put()), m_document.Get(), IID_IXMLDOMDocument2);
        return root ? TRUE : FALSE;
    } catch (const _com_error &) {
        return FALSE;
    }
}

CComPtr<IXMLDOMElement> CXMLHelper::GetDocumentElement()
{
    if (!m_document)
        _com_issue_error(E_POINTER);
    CComPtr<IXMLDOMElement> root;
    ComCheck(m_document->get_documentElement(root.Put()), m_document.Get(), IID_IXMLDOMDocument2);
    return root;
}

CComPtr<IXMLDOMElement> CXMLHelper::CreateElement(const wchar_t *pszName)
{
    if (!m_document)
        _com_issue_error(E_POINTER);
    const _bstr_t name(pszName);
    CComPtr<IXMLDOMElement> element;
    ComCheck(m_document->createElement(name, element.Put()), m_document.Get(), IID_IXMLDOMDocument2);
    if (!element)
        _com_issue_error(E_POINTER);
    return element;
}

CXMLAttributesHelper::CXMLAttributesHelper(IXMLDOMNode *pNode)
{
    // An unreadable pointer is never touched: not even for a reference.
    if (pNode != nullptr && !IsBadReadPtr(pNode, 4)) {
        m_pNode = pNode;
        m_pNode->AddRef();
    }
}

CXMLAttributesHelper::~CXMLAttributesHelper() { SafeRelease(m_pNode); }

void CXMLAttributesHelper::SetAttribute(const wchar_t *pszName, const wchar_t *pszValue)
{
    if (m_pNode == nullptr || pszName == nullptr)
        return;
    CComPtr<IXMLDOMNamedNodeMap> map;
    ComCheck(m_pNode->get_attributes(map.Put()), m_pNode, IID_IXMLDOMNode);
    if (!map)
        _com_issue_error(E_POINTER);
    const _bstr_t name(pszName);
    CComPtr<IXMLDOMNode> attribute;
    ComCheck(map->getNamedItem(name, attribute.Put()), map.Get(), IID_IXMLDOMNamedNodeMap);
    if (!attribute) {
        CComPtr<IXMLDOMDocument> owner;
        ComCheck(m_pNode->get_ownerDocument(owner.Put()), m_pNode, IID_IXMLDOMNode);
        if (!owner)
            _com_issue_error(E_POINTER);
        CComPtr<IXMLDOMAttribute> created;
        ComCheck(owner->createAttribute(name, created.Put()), owner.Get(), IID_IXMLDOMDocument);
        if (!created)
            return;
        CComPtr<IXMLDOMNode> replaced;
        ComCheck(map->setNamedItem(created.Get(), replaced.Put()), map.Get(), IID_IXMLDOMNamedNodeMap);
        attribute = CComPtr<IXMLDOMNode>(created.Get());
    }
    const _bstr_t value(pszValue != nullptr ? pszValue : L"");
    ComCheck(attribute->put_text(value), attribute.Get(), IID_IXMLDOMNode);
}

_bstr_t CXMLAttributesHelper::GetAttribute(const wchar_t *pszName)
{
    if (m_pNode == nullptr || pszName == nullptr)
        return _bstr_t(L"");
    CComPtr<IXMLDOMNamedNodeMap> map;
    ComCheck(m_pNode->get_attributes(map.Put()), m_pNode, IID_IXMLDOMNode);
    if (!map)
        _com_issue_error(E_POINTER);
    CComPtr<IXMLDOMNode> attribute;
    ComCheck(map->getNamedItem(_bstr_t(pszName), attribute.Put()), map.Get(), IID_IXMLDOMNamedNodeMap);
    if (!attribute)
        return _bstr_t(L"");
    BSTR text = nullptr;
    ComCheck(attribute->get_text(&text), attribute.Get(), IID_IXMLDOMNode);
    return _bstr_t(text, false);
}
