// The record of one question "which filter serves this extension", filled by a registry helper
// and read when the child filter is created. The loader makes a fresh one for every lookup.
#pragma once
#include <windows.h>
#include "support/Capacities.h"

class CDLLsInformation;

// route flags: how the filter was found
enum : DWORD {
    ROUTE_PROGID_CLASS_HANDLER = 1,   // extension -> ProgID -> class -> persistent handler
    ROUTE_EXTENSION_HANDLER = 2,      // extension's own persistent handler
    ROUTE_PRODUCT_EXTENSION = 4,      // product's extension table
    ROUTE_CONTENT_TYPE = 16,          // MIME content type -> class
    ROUTE_DEFAULT_FILTER = 32,        // product's DefaultExtList default filter
    ROUTE_FILTER_KNOWN = 0x10000,     // filterClsid came from the product's class table
};

// status values
enum : DWORD {
    FILTER_STATUS_USABLE = 0,
    FILTER_STATUS_NOT_USABLE = 4,
    FILTER_STATUS_MODULE_NOT_FOUND = 8,
};

struct FilterRegistryInfo {
    wchar_t handlerClsid[CCH_CLSID] = {};
    wchar_t filterClsid[CCH_CLSID] = {};
    wchar_t modulePath[CCH_KEY_PATH] = {};
    wchar_t className[CCH_KEY_PATH] = {};
    DWORD route = 0;
    BOOL trusted = FALSE;
    DWORD status = FILTER_STATUS_NOT_USABLE;
    BOOL supportsFile = FALSE;
    BOOL supportsStream = FALSE;
    BOOL supportsStorage = FALSE;
    CDLLsInformation *dllList = nullptr;  // not owned
};
