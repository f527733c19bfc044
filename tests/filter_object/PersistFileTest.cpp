// The object's identity and its IPersistFile side: what a host sees before it calls Init.
#include <gtest/gtest.h>

#include "FilterHost.h"
#include "support/Guids.h"

namespace {

CComPtr<IPersistFile> PersistOf(IFilter *pFilter)
{
    CComPtr<IPersistFile> persist;
    EXPECT_HR(S_OK, pFilter->QueryInterface(IID_IPersistFile, persist.PutVoid()));
    return persist;
}

// The path GetCurFile hands out, or the HRESULT as text.
std::wstring CurFile(IPersistFile *pPersist)
{
    LPOLESTR psz = static_cast<LPOLESTR>(MarkerPointer());
    const HRESULT hr = pPersist->GetCurFile(&psz);
    if (FAILED(hr)) {
        EXPECT_EQ(nullptr, psz) << "the out-parameter of a failed GetCurFile";
        return L"error " + Widen(HrText(hr));
    }
    std::wstring path(psz);
    CoTaskMemFree(psz);
    return path;
}

} // namespace

using Identity = FilterHostTest;

TEST_F(Identity, OneIdentityTwoInterfaces)
{
    CComPtr<IFilter> filter = NewFilter(m_dll);
    ASSERT_TRUE(filter);

    struct Case {
        const char *name;
        const IID *iid;
        HRESULT expected;
        int answer;  // 0: the IPersistFile pointer (the object's identity), 1: the IFilter one, 2: another
    };
    const Case cases[] = {
        {"IUnknown", &IID_IUnknown, S_OK, 0},     {"IPersistFile", &IID_IPersistFile, S_OK, 0},
        {"IPersist", &IID_IPersist, S_OK, 0},     {"IFilter", &IID_IFilter, S_OK, 1},
        {"IPersistStream", &IID_IPersistStream, S_OK, 2},  // for hosts that hand over a stream
        {"IStream", &IID_IStream, E_NOINTERFACE, 1},
        {"IPersistStorage", &IID_IPersistStorage, E_NOINTERFACE, 1},
        {"IClassFactory", &IID_IClassFactory, E_NOINTERFACE, 1},
    };
    CComPtr<IPersistFile> persist = PersistOf(filter.Get());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        for (IUnknown *from : {static_cast<IUnknown *>(filter.Get()), static_cast<IUnknown *>(persist.Get())}) {
            void *pv = MarkerPointer();
            EXPECT_HR(c.expected, from->QueryInterface(*c.iid, &pv));
            if (FAILED(c.expected)) {
                EXPECT_EQ(nullptr, pv);
                continue;
            }
            if (c.answer == 2) {
                CComPtr<IUnknown> identity;
                static_cast<IUnknown *>(pv)->QueryInterface(IID_IUnknown, identity.PutVoid());
                EXPECT_EQ(static_cast<IUnknown *>(persist.Get()), identity.Get()) << "one identity";
                EXPECT_NE(static_cast<void *>(persist.Get()), pv);
                EXPECT_NE(static_cast<void *>(filter.Get()), pv);
            } else {
                EXPECT_EQ(c.answer == 0 ? static_cast<void *>(persist.Get()) : static_cast<void *>(filter.Get()), pv);
            }
            static_cast<IUnknown *>(pv)->Release();
        }
    }
    EXPECT_HR(E_POINTER, filter->QueryInterface(IID_IUnknown, nullptr));
    EXPECT_HR(E_POINTER, persist->QueryInterface(IID_IFilter, nullptr));
}

TEST_F(Identity, BothInterfacesShareOneCount)
{
    CComPtr<IFilter> filter = NewFilter(m_dll);
    ASSERT_TRUE(filter);
    IFilter *pFilter = filter.Detach();
    IPersistFile *pPersist = nullptr;
    ASSERT_HR(S_OK, pFilter->QueryInterface(IID_IPersistFile, reinterpret_cast<void **>(&pPersist)));
    EXPECT_EQ(3u, pFilter->AddRef());
    EXPECT_EQ(4u, pPersist->AddRef());
    EXPECT_EQ(3u, pFilter->Release());
    EXPECT_EQ(2u, pPersist->Release());
    EXPECT_EQ(1u, pPersist->Release());
    EXPECT_HR(S_FALSE, m_dll.CanUnloadNow());
    EXPECT_EQ(0u, pFilter->Release());
}

using PersistFile = FilterHostTest;

TEST_F(PersistFile, FixedAnswers)
{
    CComPtr<IFilter> filter = NewFilter(m_dll);
    ASSERT_TRUE(filter);
    CComPtr<IPersistFile> persist = PersistOf(filter.Get());

    CLSID clsid;
    memset(&clsid, 0xde, sizeof(clsid));
    EXPECT_HR(S_OK, persist->GetClassID(&clsid));
    EXPECT_TRUE(IsEqualCLSID(CLSID_PellucidorFilter, clsid));
    EXPECT_HR(E_POINTER, persist->GetClassID(nullptr));
    EXPECT_HR(S_FALSE, persist->IsDirty());
    EXPECT_HR(E_FAIL, persist->Save(L"C:\\x.rar", TRUE));
    EXPECT_HR(E_FAIL, persist->Save(nullptr, FALSE));
    EXPECT_HR(S_OK, persist->SaveCompleted(L"C:\\x.rar"));
    EXPECT_HR(S_OK, persist->SaveCompleted(nullptr));
    EXPECT_HR(E_POINTER, persist->GetCurFile(nullptr));
    EXPECT_EQ(L"error 0x80004005", CurFile(persist.Get())) << "nothing loaded yet";
}

TEST_F(PersistFile, GetCurFileHandsOutTheHostsOwnCopy)
{
    CComPtr<IFilter> filter = NewFilter(m_dll);
    ASSERT_TRUE(filter);
    CComPtr<IPersistFile> persist = PersistOf(filter.Get());
    const std::wstring path = FilterObjectArchive(L"plain.rar");
    ASSERT_HR(S_OK, persist->Load(path.c_str(), STGM_READ));

    LPOLESTR first = nullptr, second = nullptr;
    ASSERT_HR(S_OK, persist->GetCurFile(&first));
    ASSERT_HR(S_OK, persist->GetCurFile(&second));
    EXPECT_EQ(path, first);
    EXPECT_NE(first, second) << "each call hands out a fresh copy";
    first[0] = L'?';  // the host owns it
    CoTaskMemFree(first);
    EXPECT_EQ(path, second);
    CoTaskMemFree(second);
    EXPECT_EQ(path, CurFile(persist.Get()));
}

TEST_F(PersistFile, LoadRejectsWhatIsNotAFileAndKeepsThePreviousPath)
{
    CScratchDir scratch;
    const std::wstring folder = scratch.Path() + L"\\";
    const size_t cchFolder = folder.size();
    ASSERT_LT(cchFolder + 10, 259u);
    // Files whose full paths have exactly 259 and 260 characters.
    const std::wstring path259 = scratch.MakeFile(std::wstring(259 - cchFolder - 4, L'n') + L".rar");
    const std::wstring path260 = scratch.MakeFile(std::wstring(260 - cchFolder - 4, L'n') + L".rar");
    ASSERT_EQ(259u, path259.size());
    ASSERT_EQ(260u, path260.size());
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesW(path260.c_str()));
    const std::wstring plain = FilterObjectArchive(L"plain.rar");
    const std::wstring second = FilterObjectArchive(L"second.rar");

    struct Case {
        const char *name;
        std::wstring path;
        HRESULT expected;
    };
    const Case cases[] = {
        {"an archive", plain, S_OK},
        {"a folder", TestDataPath(L"filter_object"), E_INVALIDARG},
        {"a folder with a backslash", TestDataPath(L"filter_object\\"), E_INVALIDARG},
        {"an empty path", L"", E_INVALIDARG},
        {"a missing file", scratch.Path() + L"\\missing.rar", E_INVALIDARG},
        {"260 characters", path260, E_INVALIDARG},
        {"259 characters", path259, S_OK},
        {"another archive", second, S_OK},
    };
    CComPtr<IFilter> filter = NewFilter(m_dll);
    ASSERT_TRUE(filter);
    CComPtr<IPersistFile> persist = PersistOf(filter.Get());
    std::wstring current = L"error 0x80004005";
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_HR(c.expected, persist->Load(c.path.c_str(), STGM_READ));
        if (SUCCEEDED(c.expected))
            current = c.path;
        EXPECT_EQ(current, CurFile(persist.Get()));
    }
    EXPECT_HR(E_INVALIDARG, persist->Load(nullptr, STGM_READ));
    EXPECT_EQ(second, CurFile(persist.Get()));
}
