// A private interface of the filter object, for our own tools and tests: what the last run gave
// against what the host keeps. Hosts never ask for it.
#pragma once
#include <windows.h>
#include <objbase.h>

#include "filter/RunPlan.h"

// {6C0F3E52-8B1A-4D67-9A2E-3F5D1C7B8E49}
constexpr IID IID_IRunReport = {0x6C0F3E52, 0x8B1A, 0x4D67, {0x9A, 0x2E, 0x3F, 0x5D, 0x1C, 0x7B, 0x8E, 0x49}};

struct IRunReport : public IUnknown {
    // The run since the last Init; E_INVALIDARG when pReport->cbSize is not sizeof(RunReport).
    virtual HRESULT STDMETHODCALLTYPE GetRunReport(RunReport *pReport) = 0;
};
