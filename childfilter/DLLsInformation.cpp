#include "childfilter/DLLsInformation.h"
#include "support/Capacities.h"

#include "support/Check.h"
#include "support/FileUtil.h"
#include "support/Holders.h"
#include "support/ProcAddress.h"
#include "support/SafeString.h"
#include "support/XmlHelper.h"

#include <cwchar>
#include <initializer_list>
#include <utility>
#include <mutex>
#include <new>

namespace {

// Held around the change of the current directory for a module's load.
std::mutex g_directoryChangeLock;

constexpr size_t CCH_KEY = CCH_KEY_PATH;         // key of a path, and every selection text
constexpr size_t CCH_BASE_NAME = CCH_FILE_NAME;    // a module's base name, at most 256 characters
constexpr size_t CCH_FOLDER = MAX_PATH + 1;

constexpr const wchar_t *YES = L"yes";
constexpr const wchar_t *NO = L"no";

// The folder part of a path, with its closing separator; FALSE when there is none or it does not fit.
bool ModuleFolder(const wchar_t *pszPath, wchar_t (&szFolder)[CCH_FOLDER]) noexcept
{
    const size_t cch = static_cast<size_t>(PathFileName(pszPath) - pszPath);
    if (cch == 0 || cch >= CCH_FOLDER)
        return false;
    wmemcpy(szFolder, pszPath, cch);
    szFolder[cch] = L'\0';
    return true;
}

bool IsEmpty(const wchar_t *psz) noexcept { return psz == nullptr || psz[0] == L'\0'; }

// The selection `element[@attribute="value"]`. A value holding a double quote is refused: it
// would end the quoted literal early, and one version of the DOM crashes on it.
bool BuildSelection(const wchar_t *pszElement, const wchar_t *pszAttribute, const wchar_t *pszValue,
                    wchar_t (&szQuery)[CCH_KEY]) noexcept
{
    if (wcschr(pszValue, L'"') != nullptr)
        return false;
    szQuery[0] = L'\0';
    for (const wchar_t *part : {pszElement, L"[@", pszAttribute, L"=\"", pszValue, L"\"]"}) {
        if (SafeStringCat(szQuery, CCH_KEY, part) != S_OK)
            return false;
    }
    return true;
}

// The first child of pParent selected by `element[@attribute="value"]` into found (empty when
// none matches). A failure when the selection cannot be built or made: then nothing may be
// created either.
HRESULT SelectChild(IXMLDOMNode *pParent, const wchar_t *pszElement, const wchar_t *pszAttribute,
                    const wchar_t *pszValue, CComPtr<IXMLDOMNode> &found)
{
    found.Reset();
    wchar_t szQuery[CCH_KEY];
    RETURN_HR_IF(E_INVALIDARG, !BuildSelection(pszElement, pszAttribute, pszValue, szQuery));
    const CBstr query(SysAllocString(szQuery));
    RETURN_IF_NULL_ALLOC(query.Get());
    RETURN_IF_FAILED(pParent->selectSingleNode(query.Get(), found.Put()));
    return S_OK;
}

// A new element with its attributes, appended to pParent only once complete, so that a failure
// on the way leaves no half-made entry. Empty on failure.
CComPtr<IXMLDOMNode> AppendElement(CXMLHelper &xml, IXMLDOMNode *pParent, const wchar_t *pszName,
                                   std::initializer_list<std::pair<const wchar_t *, const wchar_t *>> attributes)
{
    CComPtr<IXMLDOMElement> element;
    if (FAILED(xml.CreateElement(pszName, element)))
        return CComPtr<IXMLDOMNode>();
    CXMLAttributesHelper helper(element.Get());
    for (const auto &attribute : attributes) {
        if (FAILED(helper.SetAttribute(attribute.first, attribute.second)))
            return CComPtr<IXMLDOMNode>();
    }
    if (FAILED(pParent->appendChild(element.Get(), nullptr)))
        return CComPtr<IXMLDOMNode>();
    return CComPtr<IXMLDOMNode>(element.Get());
}

bool AttributeIsYes(IXMLDOMNode *pNode, const wchar_t *pszName)
{
    CBstr value;
    return CXMLAttributesHelper(pNode).GetAttribute(pszName, value) == S_OK && value.Get() != nullptr &&
           wcscmp(value.Get(), YES) == 0;
}

// The attribute's text into pszText; false when it is absent, empty or does not fit.
bool CopyAttribute(IXMLDOMNode *pNode, const wchar_t *pszName, wchar_t *pszText, ULONG cchText)
{
    CBstr value;
    if (CXMLAttributesHelper(pNode).GetAttribute(pszName, value) != S_OK || value.Get() == nullptr)
        return false;
    const UINT cch = SysStringLen(value.Get());
    return cch != 0 && cch < cchText && SafeStringCopy(pszText, cchText, value.Get()) == S_OK;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Without the document: every answer computed on the spot.

bool CDLLsInformationBase::GetDisplayName(wchar_t *pszPath, ULONG cchPath)
{
    size_t cch = 0;
    return pszPath != nullptr && SafeStringLength(pszPath, cchPath, &cch) == S_OK && cch > 0;
}

bool CDLLsInformationBase::GetFileStatus(const wchar_t *pszPath, BOOL *pbFound, BOOL *pbTrusted)
{
    if (IsEmpty(pszPath) || pbFound == nullptr || pbTrusted == nullptr)
        return false;
    *pbFound = FileExists(pszPath);
    *pbTrusted = *pbFound && m_bVerifyTrust && IsFileTrusted(pszPath, FALSE);
    return true;
}

bool CDLLsInformationBase::GetClassPersistence(const wchar_t *pszPath, const wchar_t *pszClsid, BOOL *pbSupportsFile,
                                               BOOL *pbSupportsStream, BOOL *pbSupportsStorage)
{
    if (IsEmpty(pszPath) || IsEmpty(pszClsid) || pbSupportsFile == nullptr || pbSupportsStream == nullptr ||
        pbSupportsStorage == nullptr)
        return false;
    ProbePersistInterfaces(pszPath, pszClsid, pbSupportsFile, pbSupportsStream, pbSupportsStorage);
    return true;
}

void CDLLsInformationBase::ProbePersistInterfaces(const wchar_t *pszPath, const wchar_t *pszClsid, BOOL *pbSupportsFile,
                                                  BOOL *pbSupportsStream, BOOL *pbSupportsStorage)
{
    *pbSupportsFile = FALSE;
    *pbSupportsStream = FALSE;
    *pbSupportsStorage = FALSE;

    // These modules are known to load files and must not be loaded just to be asked.
    wchar_t szName[CCH_BASE_NAME];
    GetUpperBaseName(pszPath, szName, CCH_BASE_NAME);
    if (wcscmp(szName, L"TALVERINE") == 0 || wcscmp(szName, L"PDFFILT") == 0 || wcscmp(szName, L"ACRORDIF") == 0) {
        *pbSupportsFile = TRUE;
        return;
    }

    // A module that the probe itself loads stays loaded for the process (its reference is kept);
    // for one that was loaded already, the reference taken for the probe is given back.
    const bool bWasLoaded = GetModuleHandleW(pszPath) != nullptr;
    IFilter *pFilter = nullptr;
    const HMODULE hModule = CreateFilterFromDll(pszPath, pszClsid, &pFilter);
    if (pFilter != nullptr) {
        const struct {
            const IID &iid;
            BOOL *pbFlag;
        } persist[] = {{IID_IPersistFile, pbSupportsFile},
                       {IID_IPersistStream, pbSupportsStream},
                       {IID_IPersistStorage, pbSupportsStorage}};
        for (const auto &p : persist) {
            IUnknown *pUnknown = nullptr;
            *p.pbFlag = SUCCEEDED(pFilter->QueryInterface(p.iid, reinterpret_cast<void **>(&pUnknown))) &&
                        pUnknown != nullptr;
            SafeRelease(pUnknown);
        }
        SafeRelease(pFilter);
    }
    if (hModule != nullptr && bWasLoaded)
        CoFreeLibrary(hModule);
}

HMODULE CDLLsInformationBase::CreateFilterFromDll(const wchar_t *pszModulePath, const wchar_t *pszClsid,
                                                  IFilter **ppFilter)
{
    if (ppFilter == nullptr)
        return nullptr;
    SafeRelease(*ppFilter);
    if (IsEmpty(pszModulePath) || IsEmpty(pszClsid))
        return nullptr;

    wchar_t szClsid[CCH_CLSID];
    CLSID clsid;
    if (SafeStringCopy(szClsid, CCH_CLSID, pszClsid) != S_OK || FAILED(CLSIDFromString(szClsid, &clsid)))
        return nullptr;

    // Every handle handed out carries one reference of the caller's own, also for a module that
    // the host, a probe or a live object already holds.
    HMODULE hModule = nullptr;
    if (GetModuleHandleW(pszModulePath) != nullptr) {
        if (!GetModuleHandleExW(0, pszModulePath, &hModule))
            return nullptr;
    } else {
        wchar_t szPath[CCH_KEY];
        if (SafeStringCopy(szPath, CCH_KEY, pszModulePath) != S_OK)
            return nullptr;
        // Loaded from its own folder as the current directory, so that its dependencies there are
        // found; the directory is changed only when it can be put back.
        // The current directory is the process's: host threads loading filters at once would
        // otherwise save each other's change and leave the process in a filter's folder.
        const std::lock_guard<std::mutex> directoryChange(g_directoryChangeLock);
        wchar_t szFolder[CCH_FOLDER];
        wchar_t szSaved[MAX_PATH];
        const DWORD cchSaved = GetCurrentDirectoryW(MAX_PATH, szSaved);
        const bool bChanged = ModuleFolder(pszModulePath, szFolder) && cchSaved > 0 && cchSaved < MAX_PATH &&
                              SetCurrentDirectoryW(szFolder);
        hModule = CoLoadLibrary(szPath, TRUE);
        if (bChanged)
            SetCurrentDirectoryW(szSaved);
        if (hModule == nullptr)
            return nullptr;
    }

    auto pfnGetClassObject = GetProcAs<LPFNGETCLASSOBJECT>(hModule, "DllGetClassObject");
    if (pfnGetClassObject == nullptr)
        return hModule;
    IClassFactory *pFactory = nullptr;
    if (SUCCEEDED(pfnGetClassObject(clsid, IID_IClassFactory, reinterpret_cast<void **>(&pFactory))) &&
        pFactory != nullptr) {
        if (FAILED(pFactory->CreateInstance(nullptr, IID_IFilter, reinterpret_cast<void **>(ppFilter))))
            *ppFilter = nullptr;
    }
    SafeRelease(pFactory);
    return hModule;
}

// ---------------------------------------------------------------------------------------------
// With the document.

CDLLsInformation::CDLLsInformation()
{
    // Is there any DOM document class at all?
    CComPtr<IXMLDOMDocument2> probe;
    if (FAILED(CreateXmlDocumentObject(CLSID_DOMDocument40, IID_IXMLDOMDocument2, probe.PutVoid())) &&
        FAILED(CreateXmlDocumentObject(CLSID_DOMDocument30, IID_IXMLDOMDocument2, probe.PutVoid())))
        return;
    // The free-threaded classes may still be missing: then the list works without a document.
    if (FAILED(CXMLHelper::Create(true, true, m_pXml)))
        return;
    m_pXml->CreateDocument(L"DLLS");
    m_bXmlAvailable = TRUE;
}

CDLLsInformation::~CDLLsInformation() = default;

bool CDLLsInformation::FindDll(const wchar_t *pszPath, wchar_t (&szKey)[CCH_KEY], CComPtr<IXMLDOMNode> &found)
{
    if (SafeStringCopy(szKey, CCH_KEY, pszPath) != S_OK)
        return false;
    CharUpperW(szKey);
    ReplaceChar(szKey, L'\\', L'_');
    CComPtr<IXMLDOMElement> root = m_pXml->GetDocumentElement();
    return root && SUCCEEDED(SelectChild(root.Get(), L"DLL", L"path", szKey, found));
}

CComPtr<IXMLDOMNode> CDLLsInformation::FindOrCreateDll(const wchar_t *pszPath)
{
    CComPtr<IXMLDOMNode> result;
    wchar_t szKey[CCH_KEY];
    if (!FindDll(pszPath, szKey, result) || result)
        return result;
    CComPtr<IXMLDOMElement> root = m_pXml->GetDocumentElement();
    if (!root)
        return result;

    BOOL bFound = FALSE;
    BOOL bTrusted = FALSE;
    CDLLsInformationBase::GetFileStatus(pszPath, &bFound, &bTrusted);
    return AppendElement(*m_pXml, root.Get(), L"DLL",
                         {{L"path", szKey}, {L"display", pszPath}, {L"found", bFound ? YES : NO},
                          {L"trusted", bTrusted ? YES : NO}});
}

CComPtr<IXMLDOMNode> CDLLsInformation::FindOrCreateClass(const wchar_t *pszPath, const wchar_t *pszClsid)
{
    CComPtr<IXMLDOMNode> result;
    CComPtr<IXMLDOMNode> dll = FindOrCreateDll(pszPath);
    if (!dll)
        return result;
    wchar_t szClsid[CCH_CLSID];
    if (SafeStringCopy(szClsid, CCH_CLSID, pszClsid) != S_OK)
        return result;
    CharLowerW(szClsid);
    if (FAILED(SelectChild(dll.Get(), L"GUID", L"guid", szClsid, result)) || result)
        return result;

    BOOL bFile = FALSE;
    BOOL bStream = FALSE;
    BOOL bStorage = FALSE;
    ProbePersistInterfaces(pszPath, szClsid, &bFile, &bStream, &bStorage);
    return AppendElement(*m_pXml, dll.Get(), L"GUID",
                         {{L"guid", szClsid}, {L"ipersistfile", bFile ? YES : NO},
                          {L"ipersiststream", bStream ? YES : NO}, {L"ipersiststorage", bStorage ? YES : NO}});
}

bool CDLLsInformation::GetDisplayName(wchar_t *pszPath, ULONG cchPath)
{
    if (!CDLLsInformationBase::GetDisplayName(pszPath, cchPath))
        return false;
    if (!m_bXmlAvailable)
        return true;
    CComPtr<IXMLDOMNode> dll = FindOrCreateDll(pszPath);
    if (!dll)
        return false;
    // The caller's path stays as it was when the first spelling does not fit its buffer.
    wchar_t szDisplay[CCH_KEY];
    if (!CopyAttribute(dll.Get(), L"display", szDisplay, CCH_KEY) || std::wcslen(szDisplay) >= cchPath)
        return false;
    return SafeStringCopy(pszPath, cchPath, szDisplay) == S_OK;
}

bool CDLLsInformation::GetRecordedName(const wchar_t *pszPath, wchar_t *pszName, ULONG cchName)
{
    if (!m_bXmlAvailable || IsEmpty(pszPath) || pszName == nullptr)
        return false;
    wchar_t szKey[CCH_KEY];
    CComPtr<IXMLDOMNode> dll;
    if (!FindDll(pszPath, szKey, dll) || !dll)
        return false;
    return CopyAttribute(dll.Get(), L"display", pszName, cchName);
}

bool CDLLsInformation::GetFileStatus(const wchar_t *pszPath, BOOL *pbFound, BOOL *pbTrusted)
{
    if (!m_bXmlAvailable)
        return CDLLsInformationBase::GetFileStatus(pszPath, pbFound, pbTrusted);
    if (IsEmpty(pszPath) || pbFound == nullptr || pbTrusted == nullptr)
        return false;
    CComPtr<IXMLDOMNode> dll = FindOrCreateDll(pszPath);
    if (!dll)
        return false;
    *pbFound = AttributeIsYes(dll.Get(), L"found");
    *pbTrusted = AttributeIsYes(dll.Get(), L"trusted");
    return true;
}

bool CDLLsInformation::GetClassPersistence(const wchar_t *pszPath, const wchar_t *pszClsid, BOOL *pbSupportsFile,
                                           BOOL *pbSupportsStream, BOOL *pbSupportsStorage)
{
    if (!m_bXmlAvailable)
        return CDLLsInformationBase::GetClassPersistence(pszPath, pszClsid, pbSupportsFile, pbSupportsStream,
                                                         pbSupportsStorage);
    if (IsEmpty(pszPath) || IsEmpty(pszClsid) || pbSupportsFile == nullptr || pbSupportsStream == nullptr ||
        pbSupportsStorage == nullptr)
        return false;
    CComPtr<IXMLDOMNode> guid = FindOrCreateClass(pszPath, pszClsid);
    if (!guid)
        return false;
    *pbSupportsFile = AttributeIsYes(guid.Get(), L"ipersistfile");
    *pbSupportsStream = AttributeIsYes(guid.Get(), L"ipersiststream");
    *pbSupportsStorage = AttributeIsYes(guid.Get(), L"ipersiststorage");
    return true;
}
