// The module as a host meets it: DllGetClassObject, the class factory, CreateInstance and
// LockServer, with DllCanUnloadNow checked after every path that creates or releases something.
#include <gtest/gtest.h>
#include <filter.h>
#include <atomic>
#include <vector>

#include "FilterHost.h"
#include "TestHelpers.h"
#include "support/Guids.h"
#include "module/Module.h"

namespace {

void *Marker() { return reinterpret_cast<void *>(static_cast<UINT_PTR>(MARKER)); }

struct ClassObjectCase {
    const char *name;
    const CLSID *clsid;
    const IID *iid;
    HRESULT expected;
};

const ClassObjectCase kClassObjectCases[] = {
    {"factory for IClassFactory", &CLSID_PellucidorFilter, &IID_IClassFactory, S_OK},
    {"factory for IUnknown", &CLSID_PellucidorFilter, &IID_IUnknown, S_OK},
    {"IFilter is not the factory's", &CLSID_PellucidorFilter, &IID_IFilter, E_UNEXPECTED},
    {"IPersistFile is not the factory's", &CLSID_PellucidorFilter, &IID_IPersistFile, E_UNEXPECTED},
    {"IStream is not the factory's", &CLSID_PellucidorFilter, &IID_IStream, E_UNEXPECTED},
    {"persistent handler is not served", &CLSID_PellucidorPersistentHandler, &IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE},
    {"document class is not served", &CLSID_RarDocument, &IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE},
    {"IID passed as the class", &IID_IFilter, &IID_IClassFactory, CLASS_E_CLASSNOTAVAILABLE},
};

} // namespace

TEST(ClassFactory, DllGetClassObjectAnswersByClassAndInterface)
{
    for (const ClassObjectCase &c : kClassObjectCases) {
        SCOPED_TRACE(c.name);
        CProductDll dll;
        void *pv = Marker();
        const HRESULT hr = dll.GetClassObject(*c.clsid, *c.iid, &pv);
        EXPECT_HR(c.expected, hr);
        if (FAILED(c.expected)) {
            EXPECT_EQ(nullptr, pv);
        } else {
            ASSERT_NE(nullptr, pv);
            ASSERT_NE(Marker(), pv);
            EXPECT_HR(S_FALSE, dll.CanUnloadNow()) << "a live factory counts";
            EXPECT_EQ(0u, static_cast<IUnknown *>(pv)->Release());
        }
        EXPECT_HR(S_OK, dll.CanUnloadNow());
    }
}

TEST(ClassFactory, NullOutPointerGetsEPointer)
{
    CProductDll dll;
    EXPECT_HR(E_POINTER, dll.GetClassObject(CLSID_PellucidorFilter, IID_IClassFactory, nullptr));
    EXPECT_HR(E_POINTER, dll.GetClassObject(CLSID_RarDocument, IID_IClassFactory, nullptr));
    EXPECT_HR(S_OK, dll.CanUnloadNow());

    CComPtr<IClassFactory> factory;
    ASSERT_HR(S_OK, dll.GetClassObject(CLSID_PellucidorFilter, IID_IClassFactory, factory.PutVoid()));
    EXPECT_HR(E_POINTER, factory->CreateInstance(nullptr, IID_IFilter, nullptr));
    EXPECT_HR(E_POINTER, factory->QueryInterface(IID_IUnknown, nullptr));
    factory.Reset();
    EXPECT_HR(S_OK, dll.CanUnloadNow());
}

TEST(ClassFactory, FactoryIdentityAndReferenceCount)
{
    CProductDll dll;
    CComPtr<IClassFactory> factory;
    ASSERT_HR(S_OK, dll.GetClassObject(CLSID_PellucidorFilter, IID_IClassFactory, factory.PutVoid()));

    void *pUnknown = Marker();
    ASSERT_HR(S_OK, factory->QueryInterface(IID_IUnknown, &pUnknown));
    EXPECT_EQ(static_cast<void *>(factory.Get()), pUnknown);
    void *pOther = Marker();
    EXPECT_HR(E_NOINTERFACE, factory->QueryInterface(IID_IFilter, &pOther));
    EXPECT_EQ(nullptr, pOther);

    // One reference from DllGetClassObject, one from the QueryInterface above.
    EXPECT_EQ(3u, factory->AddRef());
    EXPECT_EQ(2u, factory->Release());
    EXPECT_EQ(1u, static_cast<IUnknown *>(pUnknown)->Release());
    EXPECT_HR(S_FALSE, dll.CanUnloadNow());
    EXPECT_EQ(0u, factory.Detach()->Release());
    EXPECT_HR(S_OK, dll.CanUnloadNow());
}

namespace {

struct CreateCase {
    const char *name;
    const IID *iid;
    HRESULT expected;
};

const CreateCase kCreateCases[] = {
    {"IFilter", &IID_IFilter, S_OK},
    {"IPersistFile", &IID_IPersistFile, S_OK},
    {"IPersist", &IID_IPersist, S_OK},
    {"IUnknown", &IID_IUnknown, S_OK},
    {"IClassFactory is not the filter's", &IID_IClassFactory, E_UNEXPECTED},
    {"IStream is not the filter's", &IID_IStream, E_UNEXPECTED},
    {"IPersistStream", &IID_IPersistStream, S_OK},
};

} // namespace

TEST(ClassFactory, CreateInstanceAnswersByInterface)
{
    for (const CreateCase &c : kCreateCases) {
        SCOPED_TRACE(c.name);
        CProductDll dll;
        CComPtr<IClassFactory> factory;
        ASSERT_HR(S_OK, dll.GetClassObject(CLSID_PellucidorFilter, IID_IClassFactory, factory.PutVoid()));
        void *pv = Marker();
        EXPECT_HR(c.expected, factory->CreateInstance(nullptr, *c.iid, &pv));
        factory.Reset();
        if (FAILED(c.expected)) {
            // The object was made and destroyed again: nothing counts any more.
            EXPECT_EQ(nullptr, pv);
            EXPECT_HR(S_OK, dll.CanUnloadNow());
            continue;
        }
        ASSERT_NE(nullptr, pv);
        ASSERT_NE(Marker(), pv);
        EXPECT_HR(S_FALSE, dll.CanUnloadNow()) << "a live filter object counts without its factory";
        EXPECT_EQ(0u, static_cast<IUnknown *>(pv)->Release()) << "one reference, the caller's";
        EXPECT_HR(S_OK, dll.CanUnloadNow());
    }
}

TEST(ClassFactory, AggregationIsRefused)
{
    CProductDll dll;
    CComPtr<IClassFactory> factory;
    ASSERT_HR(S_OK, dll.GetClassObject(CLSID_PellucidorFilter, IID_IClassFactory, factory.PutVoid()));
    for (const IID *iid : {&IID_IUnknown, &IID_IFilter}) {
        void *pv = Marker();
        // Any non-NULL outer object: the factory itself stands in for one.
        EXPECT_HR(CLASS_E_NOAGGREGATION, factory->CreateInstance(factory.Get(), *iid, &pv));
        EXPECT_EQ(nullptr, pv);
    }
    EXPECT_EQ(2u, factory->AddRef()) << "the refused calls kept no reference to the factory";
    factory->Release();
    factory.Reset();
    EXPECT_HR(S_OK, dll.CanUnloadNow());
}

namespace {

// LockServer on a factory of its own, released again at once: locks outlive their factory.
HRESULT LockServerOnce(const CProductDll &dll, BOOL fLock)
{
    CComPtr<IClassFactory> factory;
    const HRESULT hr = dll.GetClassObject(CLSID_PellucidorFilter, IID_IClassFactory, factory.PutVoid());
    return FAILED(hr) ? hr : factory->LockServer(fLock);
}

struct LockStep {
    const char *name;
    BOOL fLock;
    HRESULT canUnload;  // afterwards
};

void RunLockSteps(const CProductDll &dll, const std::vector<LockStep> &steps)
{
    for (const LockStep &step : steps) {
        SCOPED_TRACE(step.name);
        EXPECT_HR(S_OK, LockServerOnce(dll, step.fLock));
        EXPECT_HR(step.canUnload, dll.CanUnloadNow());
    }
}

} // namespace

TEST(ClassFactory, LockServerKeepsTheModule)
{
    CProductDll dll;
    RunLockSteps(dll, {
                          {"one lock", TRUE, S_FALSE},
                          {"two locks", TRUE, S_FALSE},
                          {"one lock left", FALSE, S_FALSE},
                          {"no lock left", FALSE, S_OK},
                      });
}

TEST(ClassFactory, UnbalancedUnlockDoesNotHideALiveObject)
{
    CProductDll dll;
    CComPtr<IFilter> filter = NewFilter(dll);
    ASSERT_TRUE(filter);
    RunLockSteps(dll, {
                          {"unlock without a lock", FALSE, S_FALSE},
                          {"again", FALSE, S_FALSE},
                          {"a later lock", TRUE, S_FALSE},
                      });
    filter.Reset();
    EXPECT_HR(S_FALSE, dll.CanUnloadNow()) << "the lock still counts once";
    RunLockSteps(dll, {{"its unlock", FALSE, S_OK}});
}

TEST(ClassFactory, OneFactoryMakesIndependentObjects)
{
    CProductDll dll;
    CComPtr<IClassFactory> factory;
    ASSERT_HR(S_OK, dll.GetClassObject(CLSID_PellucidorFilter, IID_IClassFactory, factory.PutVoid()));
    CComPtr<IFilter> first, second;
    ASSERT_HR(S_OK, factory->CreateInstance(nullptr, IID_IFilter, first.PutVoid()));
    ASSERT_HR(S_OK, factory->CreateInstance(nullptr, IID_IFilter, second.PutVoid()));
    EXPECT_NE(first.Get(), second.Get());
    factory.Reset();
    first.Reset();
    EXPECT_HR(S_FALSE, dll.CanUnloadNow());
    second.Reset();
    EXPECT_HR(S_OK, dll.CanUnloadNow());
}

// A host thread sends unlocks it never locked while another locks and unlocks the server. The
// class factory of the core library, in process, so that the object count itself can be read:
// the second thread's pairs come while the first is suspended at random points of its unlock,
// hundreds of times, and each must leave the count as it found it. An unmatched unlock must take
// nothing away, not even for the moment in which another thread's unlock would look unmatched
// (a later unmatched unlock would hide that, so the count is read between the calls).
TEST(ClassFactory, UnmatchedUnlocksFromOtherThreadsLeaveTheCountRight)
{
    CComPtr<IClassFactory> factory;
    ASSERT_HR(S_OK, DllGetClassObject(CLSID_PellucidorFilter, IID_IClassFactory, factory.PutVoid()));
    struct Stray {
        IClassFactory *factory;
        std::atomic<bool> stop{false};
        std::atomic<long> calls{0};
        static DWORD WINAPI Run(void *p)
        {
            auto *self = static_cast<Stray *>(p);
            while (!self->stop) {
                self->factory->LockServer(FALSE);
                ++self->calls;
            }
            return 0;
        }
    } stray;
    stray.factory = factory.Get();
    const LONG cObjects = g_cObjects;
    CHandle thread(CreateThread(nullptr, 0, Stray::Run, &stray, 0, nullptr));
    ASSERT_TRUE(thread);
    int changed = 0;
    for (int i = 0; i < 400; ++i) {
        if (SuspendThread(thread.Get()) == static_cast<DWORD>(-1))
            break;
        CONTEXT context = {};
        context.ContextFlags = CONTEXT_CONTROL;
        GetThreadContext(thread.Get(), &context);  // returns once the thread has stopped
        factory->LockServer(TRUE);
        factory->LockServer(FALSE);
        changed += g_cObjects != cObjects;
        // Running again, and some way into its calls, before it is stopped the next time.
        const long calls = stray.calls;
        ResumeThread(thread.Get());
        for (int spin = 0; spin < 100000000 && stray.calls < calls + 50 + 7 * (i % 13); ++spin) {
        }
    }
    stray.stop = true;
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(thread.Get(), 30000));
    EXPECT_EQ(0, changed) << "times a lock and its unlock left the count changed";
}
