// Raising COM errors as _com_error exceptions. MinGW's comdef.h carries _com_error and
// _com_issue_error inline but only declares _com_issue_errorex, which lives in a COM-support
// library that MinGW does not ship; ComError.cpp provides it.
#pragma once
#include <windows.h>
#include <comdef.h>

// Raises _com_error(hr) when hr is a failure, with pObject's error information when pObject
// answers ISupportErrorInfo for iid; returns otherwise.
inline void ComCheck(HRESULT hr, IUnknown *pObject, REFIID iid)
{
    if (FAILED(hr))
        _com_issue_errorex(hr, pObject, iid);
}
