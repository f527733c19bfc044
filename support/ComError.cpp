#include "support/ComError.h"

#include "support/Holders.h"

// The documented behaviour: the error information of the failing call is attached when the
// object says it provides some for that interface.
void WINAPI _com_issue_errorex(HRESULT hr, IUnknown *pObject, REFIID iid)
{
    IErrorInfo *pErrorInfo = nullptr;
    if (pObject != nullptr) {
        CComPtr<ISupportErrorInfo> support;
        if (SUCCEEDED(pObject->QueryInterface(IID_ISupportErrorInfo, support.PutVoid())) &&
            support->InterfaceSupportsErrorInfo(iid) == S_OK && GetErrorInfo(0, &pErrorInfo) != S_OK)
            pErrorInfo = nullptr;
    }
    // _com_raise_error hands the reference over to the exception.
    _com_raise_error(hr, pErrorInfo);
}
