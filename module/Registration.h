// Self-registration: the platform's persistent-handler scheme for RAR archives, written under
// HKEY_CLASSES_ROOT by DllRegisterServer and removed by DllUnregisterServer.
//
// The filter class is reached through a persistent-handler class whose
// PersistentAddinsRegistered\{IID_IFilter} entry names it; the handler is linked from the
// extension key and from the document class the extension's ProgID names. From Windows 2000 on
// the links go only to ProgID and class keys that already exist; older systems also get the
// ProgID and the document class.
//
// A link that names another product's handler is replaced, not chained: the value it had is kept
// and written back at unregistration while the link still names our handler, or names none. The
// extension's is kept under our handler class (PREVIOUS_HANDLER_VALUE), a document class's under
// that class itself (PREVIOUS_CLASS_HANDLER_VALUE).
//
// The class keys are one table, written in order and deleted deepest first; the file-type links
// are steps run in order for each file type. The steps work in the registry's Win32 error codes
// (ERROR_DATATYPE_MISMATCH for a value of the wrong type), turned into the exported functions'
// HRESULT at the end. They run on the caller's thread and hold no state: each call starts again
// from the tables and the registry.
#pragma once
#include <windows.h>
#include <stddef.h>

// The filter class.
struct ClassEntry {
    const wchar_t *clsid;
    const wchar_t *description;
    const wchar_t *moduleName;      // base name of the loaded module that serves the class
    const wchar_t *threadingModel;  // NULL: no ThreadingModel value
};

// The persistent handler that leads from a file type to the filter class.
struct HandlerEntry {
    const wchar_t *clsid;
    const wchar_t *description;
    const wchar_t *filterClsid;
};

// One file type served: its extension, ProgID and document class.
struct FileTypeEntry {
    const wchar_t *extension;
    const wchar_t *progId;
    const wchar_t *progIdDescription;
    const wchar_t *classClsid;
    const wchar_t *classDescription;
};

// Value of the handler class that keeps the handler a file type named before ours (one file type).
#define PREVIOUS_HANDLER_VALUE L"PreviousPersistentHandler"
// Value of a document class that keeps the handler the class named before ours. It stays with the
// class, so each class linked (in each registry view) keeps its own, and it cannot meet the
// extension's: another key, and another name should a ProgID ever name our handler class.
#define PREVIOUS_CLASS_HANDLER_VALUE L"PellucidorPreviousPersistentHandler"

extern const ClassEntry c_FilterClass;
extern const HandlerEntry c_PersistentHandler;
extern const FileTypeEntry c_FileTypes[];
extern const size_t c_cFileTypes;
