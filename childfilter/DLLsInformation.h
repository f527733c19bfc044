// Facts about filter DLLs (canonical spelling of the path, presence and signature, persistence
// interfaces of a class), each examined once per list and remembered in an in-memory XML
// document. Without an XML implementation every question is computed afresh. One thread, with
// COM initialised on it. A failure of the XML layer makes that answer missing (no filter).
#pragma once
#include <memory>
#include <windows.h>
#include <filter.h>

#include "support/Holders.h"
#include "support/Capacities.h"

class CXMLHelper;
struct IXMLDOMNode;

class CDLLsInformationBase
{
public:
    CDLLsInformationBase() noexcept = default;

    // pszPath is an in/out buffer of cchPath characters: it may be replaced by the spelling under
    // which the list first recorded that file (left as it is when that spelling does not fit).
    // FALSE for an empty path or one without its NUL within cchPath.
    virtual bool GetDisplayName(wchar_t *pszPath, ULONG cchPath);
    // *pbFound: the file exists; *pbTrusted: it also passed the signature check (only made while
    // m_bVerifyTrust is TRUE). FALSE, and nothing written, for an empty path.
    virtual bool GetFileStatus(const wchar_t *pszPath, BOOL *pbFound, BOOL *pbTrusted);
    // Which persistence interfaces the class pszClsid (registry form) in the module answers.
    // FALSE, and nothing written, for an empty path or CLSID or one that does not fit.
    virtual bool GetClassPersistence(const wchar_t *pszPath, const wchar_t *pszClsid, BOOL *pbSupportsFile,
                                     BOOL *pbSupportsStream, BOOL *pbSupportsStorage);

    // Loads the module if needed (from its own folder as the current directory, restored at once;
    // a module already loaded is used as it is) and creates the class in it for IFilter.
    // The result is the module, with one reference of the caller's own, even when no object was
    // created (no DllGetClassObject, class refused): free it with CoFreeLibrary after releasing
    // the filter. NULL when the CLSID is not valid or the module cannot be loaded. *ppFilter is
    // released first and then holds the object, or NULL.
    HMODULE CreateFilterFromDll(const wchar_t *pszModulePath, const wchar_t *pszClsid, IFilter **ppFilter);

    // Asks the class for IPersistFile, IPersistStream and IPersistStorage, loading its module.
    // TALVERINE, PDFFILT and ACRORDIF are never loaded: they are taken to answer IPersistFile only.
    // A module loaded for the probe stays loaded.
    void ProbePersistInterfaces(const wchar_t *pszPath, const wchar_t *pszClsid, BOOL *pbSupportsFile,
                                BOOL *pbSupportsStream, BOOL *pbSupportsStorage);

    BOOL m_bVerifyTrust = TRUE;  // check signatures of existing files with IsFileTrusted

protected:
    ~CDLLsInformationBase() = default;
};

class CDLLsInformation : public CDLLsInformationBase
{
public:
    CDLLsInformation();
    virtual ~CDLLsInformation();
    CDLLsInformation(const CDLLsInformation &) = delete;
    CDLLsInformation &operator=(const CDLLsInformation &) = delete;

    bool GetDisplayName(wchar_t *pszPath, ULONG cchPath) override;
    bool GetFileStatus(const wchar_t *pszPath, BOOL *pbFound, BOOL *pbTrusted) override;
    bool GetClassPersistence(const wchar_t *pszPath, const wchar_t *pszClsid, BOOL *pbSupportsFile,
                             BOOL *pbSupportsStream, BOOL *pbSupportsStorage) override;

    // The spelling under which the list first recorded the file pszPath names (the one
    // GetDisplayName would give it), when the list has a record of it; records nothing.
    // FALSE without a record, without the document, or when the spelling does not fit cchName.
    bool GetRecordedName(const wchar_t *pszPath, wchar_t *pszName, ULONG cchName);

    bool IsXmlAvailable() const noexcept { return m_bXmlAvailable; }  // read by the tests only
    // The document (root DLLS, DLL elements, GUID elements below them), or NULL without one; read
    // by the tests only.
    CXMLHelper *XmlDocument() const noexcept { return m_pXml.get(); }

private:
    // The DLL element of a path (key: upper-cased, backslashes as '_'), or of a class within it;
    // created and filled on first sight. Empty when the path or CLSID does not fit.
    CComPtr<IXMLDOMNode> FindOrCreateDll(const wchar_t *pszPath);
    // The DLL element of a path when there is one; its key in szKey. FALSE when the path does not
    // fit a key or no selection can be built for it: then no element may be created either.
    bool FindDll(const wchar_t *pszPath, wchar_t (&szKey)[CCH_KEY_PATH], CComPtr<IXMLDOMNode> &found);
    CComPtr<IXMLDOMNode> FindOrCreateClass(const wchar_t *pszPath, const wchar_t *pszClsid);

    std::unique_ptr<CXMLHelper> m_pXml;
    BOOL m_bXmlAvailable = FALSE;
};
