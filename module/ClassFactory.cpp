// The DLL's object-creation face: DllGetClassObject hands out the class factory for the one
// filter class, CreateInstance makes filter objects, and DllCanUnloadNow follows g_cObjects,
// which counts live filter objects, live factories and outstanding server locks.
#include "support/Guids.h"
#include "filter/IFilterBase.h"
#include "module/Module.h"

#include <new>

namespace {

// LockServer(TRUE) calls not yet matched; lets an unbalanced LockServer(FALSE) be ignored
// instead of driving g_cObjects below the objects that are still alive.
LONG g_cServerLocks = 0;

} // namespace

class CIFilterBaseCF final : public IClassFactory
{
public:
    CIFilterBaseCF() noexcept { InterlockedIncrement(&g_cObjects); }

    STDMETHODIMP QueryInterface(REFIID riid, void **ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (riid != IID_IClassFactory && riid != IID_IUnknown)
            return E_NOINTERFACE;
        *ppv = static_cast<IClassFactory *>(this);
        AddRef();
        return S_OK;
    }

    STDMETHODIMP_(ULONG) AddRef() override { return static_cast<ULONG>(InterlockedIncrement(&m_cRef)); }

    STDMETHODIMP_(ULONG) Release() override
    {
        const LONG cRef = InterlockedDecrement(&m_cRef);
        if (cRef == 0)
            delete this;
        return static_cast<ULONG>(cRef);
    }

    STDMETHODIMP CreateInstance(IUnknown *pUnkOuter, REFIID riid, void **ppv) override
    {
        if (ppv == nullptr)
            return E_POINTER;
        *ppv = nullptr;
        if (pUnkOuter != nullptr)
            return CLASS_E_NOAGGREGATION;

        CIFilterBase *pFilter = new (std::nothrow) CIFilterBase(&g_cObjects);
        if (pFilter == nullptr)
            return E_OUTOFMEMORY;
        // The creation reference goes either way: kept by the caller's QueryInterface
        // reference, or the object's last reference, which destroys it.
        const HRESULT hr = pFilter->QueryInterface(riid, ppv);
        pFilter->Release();
        return SUCCEEDED(hr) ? S_OK : E_UNEXPECTED;
    }

    STDMETHODIMP LockServer(BOOL fLock) override
    {
        if (fLock) {
            InterlockedIncrement(&g_cServerLocks);
            InterlockedIncrement(&g_cObjects);
            return S_OK;
        }
        // Takes one lock away only while there is one, in a single exchange: a count that went
        // below zero for a moment would let another thread's unlock pass as unmatched.
        LONG cLocks = g_cServerLocks;
        while (cLocks > 0) {
            const LONG cSeen = InterlockedCompareExchange(&g_cServerLocks, cLocks - 1, cLocks);
            if (cSeen == cLocks) {
                InterlockedDecrement(&g_cObjects);
                break;
            }
            cLocks = cSeen;
        }
        return S_OK;
    }

private:
    ~CIFilterBaseCF() { InterlockedDecrement(&g_cObjects); }

    LONG m_cRef = 1;
};

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void **ppv)
{
    if (ppv == nullptr)
        return E_POINTER;
    *ppv = nullptr;
    if (rclsid != CLSID_PellucidorFilter)
        return CLASS_E_CLASSNOTAVAILABLE;

    CIFilterBaseCF *pFactory = new (std::nothrow) CIFilterBaseCF();
    if (pFactory == nullptr)
        return E_OUTOFMEMORY;
    const HRESULT hr = pFactory->QueryInterface(riid, ppv);
    pFactory->Release();
    return SUCCEEDED(hr) ? S_OK : E_UNEXPECTED;
}

STDAPI DllCanUnloadNow()
{
    return InterlockedCompareExchange(&g_cObjects, 0, 0) > 0 ? S_FALSE : S_OK;
}
