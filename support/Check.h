// Early-return helpers: turn Win32 errors, FALSE results and failed allocations into HRESULTs
// so that functions read as a straight line of steps instead of nested SUCCEEDED() blocks.
#pragma once
#include <windows.h>

#define RETURN_IF_FAILED(expr)                                                                     \
    do {                                                                                           \
        const HRESULT hr_ = (expr);                                                                \
        if (FAILED(hr_))                                                                           \
            return hr_;                                                                            \
    } while (0)

// For Win32 calls that report through GetLastError().
#define RETURN_LAST_ERROR_IF(cond)                                                                 \
    do {                                                                                           \
        if (cond) {                                                                                \
            const DWORD err_ = GetLastError();                                                     \
            return err_ != 0 ? HRESULT_FROM_WIN32(err_) : E_FAIL;                                  \
        }                                                                                          \
    } while (0)

// For calls that return a Win32 error code directly (the registry functions).
#define RETURN_IF_WIN32_ERROR(expr)                                                                \
    do {                                                                                           \
        const LONG err_ = (expr);                                                                  \
        if (err_ != ERROR_SUCCESS)                                                                 \
            return HRESULT_FROM_WIN32(err_);                                                       \
    } while (0)

#define RETURN_HR_IF(hr, cond)                                                                     \
    do {                                                                                           \
        if (cond)                                                                                  \
            return (hr);                                                                           \
    } while (0)

#define RETURN_IF_NULL_ALLOC(ptr) RETURN_HR_IF(E_OUTOFMEMORY, (ptr) == nullptr)
#define RETURN_HR_IF_NULL(hr, ptr) RETURN_HR_IF(hr, (ptr) == nullptr)
