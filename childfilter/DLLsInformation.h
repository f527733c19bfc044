// Facts about filter DLLs (canonical spelling of the path, presence and signature, persistence
// interfaces of a class), each examined once per list and remembered in an in-memory XML
// document. Without an XML implementation every question is computed afresh. One thread.
#pragma once
#include <windows.h>
#include <filter.h>

class CXMLHelper;

class CDLLsInformationBase
{
public:
    CDLLsInformationBase() noexcept = default;

    // pszPath is an in/out buffer of cchPath characters: it may be replaced by the spelling under
    // which the list first recorded that file.
    virtual BOOL GetDisplayName(wchar_t *pszPath, ULONG cchPath);
    virtual BOOL GetFileStatus(const wchar_t *pszPath, BOOL *pbFound, BOOL *pbTrusted);
    virtual BOOL GetClassPersistence(const wchar_t *pszPath, const wchar_t *pszClsid, BOOL *pbSupportsFile,
                                     BOOL *pbSupportsStream, BOOL *pbSupportsStorage);

    // Loads the module if needed and creates the filter class in it. The result is the module,
    // with one reference of the caller's own (free it with CoFreeLibrary), or NULL; *ppFilter
    // holds the object, or NULL when none could be created.
    HMODULE CreateFilterFromDll(const wchar_t *pszModulePath, const wchar_t *pszClsid, IFilter **ppFilter);

    // Loads and asks the class for IPersistFile, IPersistStream and IPersistStorage.
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

    BOOL GetDisplayName(wchar_t *pszPath, ULONG cchPath) override;
    BOOL GetFileStatus(const wchar_t *pszPath, BOOL *pbFound, BOOL *pbTrusted) override;
    BOOL GetClassPersistence(const wchar_t *pszPath, const wchar_t *pszClsid, BOOL *pbSupportsFile,
                             BOOL *pbSupportsStream, BOOL *pbSupportsStorage) override;

    BOOL IsXmlAvailable() const noexcept { return m_bXmlAvailable; }

private:
    CXMLHelper *m_pXml = nullptr;
    BOOL m_bXmlAvailable = FALSE;
};
