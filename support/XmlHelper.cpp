#include "support/XmlHelper.h"

#include "support/Check.h"

#include <new>

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

HRESULT CXMLHelper::Create(bool bFreeThreaded, bool bAsync, std::unique_ptr<CXMLHelper> &xml)
{
    xml.reset();
    std::unique_ptr<CXMLHelper> made(new (std::nothrow) CXMLHelper);
    RETURN_IF_NULL_ALLOC(made);
    const CLSID &first = bFreeThreaded ? CLSID_FreeThreadedDOMDocument40 : CLSID_DOMDocument40;
    const CLSID &fallback = bFreeThreaded ? CLSID_FreeThreadedDOMDocument30 : CLSID_DOMDocument30;
    if (FAILED(CreateXmlDocumentObject(first, IID_IXMLDOMDocument2, made->m_document.PutVoid())))
        RETURN_IF_FAILED(CreateXmlDocumentObject(fallback, IID_IXMLDOMDocument2, made->m_document.PutVoid()));
    RETURN_HR_IF_NULL(E_POINTER, made->m_document.Get());
    RETURN_IF_FAILED(made->m_document->put_async(bAsync ? VARIANT_TRUE : VARIANT_FALSE));
    xml = std::move(made);
    return S_OK;
}

CXMLHelper::~CXMLHelper() = default;

bool CXMLHelper::CreateDocument(const wchar_t *pszRootName)
{
    if (pszRootName == nullptr)
        return false;
    DWORD_PTR args[] = {reinterpret_cast<DWORD_PTR>(pszRootName)};
    wchar_t *pszText = nullptr;
    const DWORD cch = FormatMessageW(FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                     kRootTemplate, 0, 0, reinterpret_cast<wchar_t *>(&pszText), 0,
                                     reinterpret_cast<va_list *>(args));
    if (cch == 0 || pszText == nullptr)
        return false;
    const bool loaded = LoadXml(pszText);
    LocalFree(pszText);
    return loaded;
}

bool CXMLHelper::LoadXml(const wchar_t *pszXml)
{
    if (pszXml == nullptr || pszXml[0] == L'\0' || !m_document)
        return false;
    const CBstr text(SysAllocString(pszXml));
    if (!text)
        return false;
    VARIANT_BOOL parsed = VARIANT_FALSE;
    if (m_document->loadXML(text.Get(), &parsed) != S_OK || parsed != VARIANT_TRUE)
        return false;
    return static_cast<bool>(GetDocumentElement());
}

CComPtr<IXMLDOMElement> CXMLHelper::GetDocumentElement()
{
    CComPtr<IXMLDOMElement> root;
    if (m_document && FAILED(m_document->get_documentElement(root.Put())))
        root.Reset();
    return root;
}

HRESULT CXMLHelper::CreateElement(const wchar_t *pszName, CComPtr<IXMLDOMElement> &element)
{
    element.Reset();
    RETURN_HR_IF_NULL(E_POINTER, m_document.Get());
    const CBstr name(SysAllocString(pszName));
    RETURN_IF_NULL_ALLOC(name.Get());
    RETURN_IF_FAILED(m_document->createElement(name.Get(), element.Put()));
    RETURN_HR_IF_NULL(E_POINTER, element.Get());
    return S_OK;
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

HRESULT CXMLAttributesHelper::Attributes(CComPtr<IXMLDOMNamedNodeMap> &map)
{
    RETURN_IF_FAILED(m_pNode->get_attributes(map.Put()));
    RETURN_HR_IF_NULL(E_POINTER, map.Get());
    return S_OK;
}

HRESULT CXMLAttributesHelper::SetAttribute(const wchar_t *pszName, const wchar_t *pszValue)
{
    if (m_pNode == nullptr || pszName == nullptr)
        return S_FALSE;
    CComPtr<IXMLDOMNamedNodeMap> map;
    RETURN_IF_FAILED(Attributes(map));
    const CBstr name(SysAllocString(pszName));
    RETURN_IF_NULL_ALLOC(name.Get());
    CComPtr<IXMLDOMNode> attribute;
    RETURN_IF_FAILED(map->getNamedItem(name.Get(), attribute.Put()));
    if (!attribute) {
        CComPtr<IXMLDOMDocument> owner;
        RETURN_IF_FAILED(m_pNode->get_ownerDocument(owner.Put()));
        RETURN_HR_IF_NULL(E_POINTER, owner.Get());
        CComPtr<IXMLDOMAttribute> created;
        RETURN_IF_FAILED(owner->createAttribute(name.Get(), created.Put()));
        RETURN_HR_IF_NULL(E_POINTER, created.Get());
        CComPtr<IXMLDOMNode> replaced;
        RETURN_IF_FAILED(map->setNamedItem(created.Get(), replaced.Put()));
        attribute = CComPtr<IXMLDOMNode>(created.Get());
    }
    const CBstr value(SysAllocString(pszValue != nullptr ? pszValue : L""));
    RETURN_IF_NULL_ALLOC(value.Get());
    return attribute->put_text(value.Get());
}

HRESULT CXMLAttributesHelper::GetAttribute(const wchar_t *pszName, CBstr &value)
{
    value.Close();
    if (m_pNode == nullptr || pszName == nullptr)
        return S_FALSE;
    CComPtr<IXMLDOMNamedNodeMap> map;
    RETURN_IF_FAILED(Attributes(map));
    const CBstr name(SysAllocString(pszName));
    RETURN_IF_NULL_ALLOC(name.Get());
    CComPtr<IXMLDOMNode> attribute;
    RETURN_IF_FAILED(map->getNamedItem(name.Get(), attribute.Put()));
    if (!attribute)
        return S_FALSE;
    return attribute->get_text(value.Put());
}
