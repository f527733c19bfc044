// An in-memory XML document (MSXML's DOM through COM) and access to the attributes of one of its
// elements. The document is never read from or written to disk. COM must be initialised on the
// calling thread. Usage:
//   std::unique_ptr<CXMLHelper> xml;
//   RETURN_IF_FAILED(CXMLHelper::Create(true, true, xml));
//   xml->CreateDocument(L"DLLS");
//   CComPtr<IXMLDOMElement> item;
//   RETURN_IF_FAILED(xml->CreateElement(L"DLL", item));
//   RETURN_IF_FAILED(CXMLAttributesHelper(item.Get()).SetAttribute(L"path", L"C:_X.DLL"));
//   xml->GetDocumentElement()->appendChild(item.Get(), nullptr);
// Every failure of a DOM call comes back as its HRESULT; nothing is raised.
#pragma once
#include <windows.h>
#include <msxml2.h>

#include <memory>

#include "support/Holders.h"

// MinGW's uuid library lacks these; defined in XmlHelper.cpp.
extern "C" const CLSID CLSID_DOMDocument30;             // {F5078F32-C551-11D3-89B9-0000F81FE221}
extern "C" const CLSID CLSID_DOMDocument40;             // {88D969C0-F192-11D4-A65F-0040963251E5}
extern "C" const CLSID CLSID_FreeThreadedDOMDocument30; // {F5078F33-C551-11D3-89B9-0000F81FE221}
extern "C" const CLSID CLSID_FreeThreadedDOMDocument40; // {88D969C1-F192-11D4-A65F-0040963251E5}
extern "C" const IID IID_IXMLDOMDocument2;              // {2933BF95-7B36-11D2-B20E-00C04F983E60}
__CRT_UUID_DECL(IXMLDOMDocument2, 0x2933BF95, 0x7B36, 0x11D2, 0xB2, 0x0E, 0x00, 0xC0, 0x4F, 0x98, 0x3E, 0x60)

// Creates a DOM document object of class clsid for interface iid: CoCreateInstance in every
// context (in-process, handler, local, remote) for IUnknown, OleRun, then QueryInterface.
HRESULT CreateXmlDocumentObject(REFCLSID clsid, REFIID iid, void **ppv);

// Replaces the CoCreateInstance that CreateXmlDocumentObject calls (NULL: the real one again) and
// returns the previous one. Tests use it to act out a system without MSXML; nothing else does.
using PFN_CoCreateInstance = HRESULT(WINAPI *)(REFCLSID, LPUNKNOWN, DWORD, REFIID, LPVOID *);
PFN_CoCreateInstance SetXmlDocumentCreator(PFN_CoCreateInstance pfn) noexcept;

class CXMLHelper
{
public:
    // A document of DOM 4.0, else 3.0 (their free-threaded classes when bFreeThreaded), with its
    // async property set from bAsync. A failure leaves xml empty: the 3.0 class's creation error
    // when neither class can be made, else the property's.
    static HRESULT Create(bool bFreeThreaded, bool bAsync, std::unique_ptr<CXMLHelper> &xml);
    ~CXMLHelper();
    CXMLHelper(const CXMLHelper &) = delete;
    CXMLHelper &operator=(const CXMLHelper &) = delete;

    // Replaces the content with an empty root element of that name; false when the name is not a
    // valid element name.
    bool CreateDocument(const wchar_t *pszRootName);
    // Replaces the content with the parsed text; true when it parsed and has a root element.
    // Empty text: false, the document is left as it was.
    bool LoadXml(const wchar_t *pszXml);
    // The root element, or an empty reference when there is none.
    CComPtr<IXMLDOMElement> GetDocumentElement();
    // A new element owned by the document and attached nowhere.
    HRESULT CreateElement(const wchar_t *pszName, CComPtr<IXMLDOMElement> &element);

private:
    CXMLHelper() noexcept = default;

    CComPtr<IXMLDOMDocument2> m_document;
};

// Reads and writes attributes of one node. A null or unreadable node makes writes do nothing and
// reads give empty text (S_FALSE for both).
class CXMLAttributesHelper
{
public:
    explicit CXMLAttributesHelper(IXMLDOMNode *pNode);  // adds its own reference
    ~CXMLAttributesHelper();
    CXMLAttributesHelper(const CXMLAttributesHelper &) = delete;
    CXMLAttributesHelper &operator=(const CXMLAttributesHelper &) = delete;

    // Sets the attribute, creating it when absent. The value is stored as given (the DOM escapes).
    // E_POINTER for a node that has no attributes (a text node).
    HRESULT SetAttribute(const wchar_t *pszName, const wchar_t *pszValue);
    // The attribute's value; S_FALSE and empty text (NULL) when it is absent. E_POINTER for a node
    // that has no attributes.
    HRESULT GetAttribute(const wchar_t *pszName, CBstr &value);

private:
    HRESULT Attributes(CComPtr<IXMLDOMNamedNodeMap> &map);

    IXMLDOMNode *m_pNode = nullptr;
};
