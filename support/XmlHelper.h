// An in-memory XML document (MSXML's DOM through COM) and access to the attributes of one of its
// elements. The document is never read from or written to disk. COM must be initialised on the
// calling thread. Usage:
//   CXMLHelper xml(TRUE, TRUE);   // raises _com_error with the creation error if no DOM document class can be made
//   xml.CreateDocument(L"DLLS");
//   CComPtr<IXMLDOMElement> root = xml.GetDocumentElement();
//   CComPtr<IXMLDOMElement> item = xml.CreateElement(L"DLL");
//   root->appendChild(item.Get(), nullptr);
//   CXMLAttributesHelper(item.Get()).SetAttribute(L"path", L"C:_X.DLL");
// Errors of DOM calls are raised as _com_error carrying the HRESULT (support/ComError.h); only
// LoadXml and CreateDocument turn them into FALSE.
#pragma once
#include <windows.h>
#include <comdef.h>
#include <msxml2.h>

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
    // Creates DOM document 4.0, else 3.0 (their free-threaded classes when bFreeThreaded is
    // non-zero) and sets its async property from bAsync. Raises the creation failure as a plain
    // HRESULT exception; a failure to set the property as _com_error.
    CXMLHelper(BOOL bFreeThreaded, BOOL bAsync);
    virtual ~CXMLHelper();
    CXMLHelper(const CXMLHelper &) = delete;
    CXMLHelper &operator=(const CXMLHelper &) = delete;

    // Replaces the content with an empty root element of that name; FALSE when the name is not a
    // valid element name.
    BOOL CreateDocument(const wchar_t *pszRootName);
    // Replaces the content with the parsed text; TRUE when it parsed and has a root element.
    // Empty text: FALSE, the document is left as it was.
    BOOL LoadXml(const wchar_t *pszXml);
    // The root element, or an empty reference when there is none.
    CComPtr<IXMLDOMElement> GetDocumentElement();
    // A new element owned by the document and attached nowhere.
    CComPtr<IXMLDOMElement> CreateElement(const wchar_t *pszName);

private:
    CComPtr<IXMLDOMDocument2> m_document;
};

// Reads and writes attributes of one node. A null or unreadable node makes writes do nothing and
// reads give empty text.
class CXMLAttributesHelper
{
public:
    explicit CXMLAttributesHelper(IXMLDOMNode *pNode);  // adds its own reference
    virtual ~CXMLAttributesHelper();
    CXMLAttributesHelper(const CXMLAttributesHelper &) = delete;
    CXMLAttributesHelper &operator=(const CXMLAttributesHelper &) = delete;

    // Sets the attribute, creating it when absent. The value is stored as given (the DOM escapes).
    void SetAttribute(const wchar_t *pszName, const wchar_t *pszValue);
    // The attribute's value, or empty text when it is absent.
    _bstr_t GetAttribute(const wchar_t *pszName);

private:
    bool IsUsable() const noexcept;

    IXMLDOMNode *m_pNode = nullptr;
};
