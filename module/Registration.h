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
// The internal steps return Win32 error codes (0 = success; E_FAIL for a value of the wrong type).
// They run on the caller's thread and hold no state: each call starts again from the tables
// and the registry.
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

// Keys below CLSID from a flat list name1, value1, name2, value2, ... (cItems counts names and
// values; a NULL value writes no default value). Creates them in order; the first error stops.
LONG CreateKeyChain(const wchar_t *const *ppszItems, size_t cItems);
// Deletes the keys of the same list, deepest first; the first error (also ERROR_FILE_NOT_FOUND
// when the deepest key is absent) stops and is returned.
LONG DeleteKeyChain(const wchar_t *const *ppszItems, size_t cItems);

LONG RegisterFilterClass(const ClassEntry &entry);
LONG SetThreadingModel(const wchar_t *pszClsid, const wchar_t *pszModel);
// pszClsid NULL: the entry's document class (described when it is created here). A link there to
// another handler is kept in the class's PREVIOUS_CLASS_HANDLER_VALUE before it is replaced.
LONG RegisterHandlerOnClass(const FileTypeEntry &entry, const wchar_t *pszHandler, const wchar_t *pszClsid,
                            BOOL bExistingOnly);
// pszProgId NULL: the entry's ProgID (described when it is created here).
LONG RegisterHandlerThroughProgId(const FileTypeEntry &entry, const wchar_t *pszHandler, const wchar_t *pszProgId,
                                  BOOL bExistingOnly);
LONG RegisterHandlerOnExtension(const FileTypeEntry &entry, const wchar_t *pszHandler, BOOL bExistingOnly);

// Removes the handler class and every document class's link to it; a class that keeps another
// handler gets that one back instead (unless another product has re-pointed the link since).
LONG UnregisterPersistentHandler(const HandlerEntry &entry);
LONG UnregisterFilterClass(const ClassEntry &entry);
LONG RemoveClassAndProgIds(const wchar_t *pszClsid);
LONG RemoveProgIdAndReferences(const wchar_t *pszProgId);
// Keeps the handler the extension names in the handler class's PREVIOUS_HANDLER_VALUE when it is
// another one; a link to ours, an empty one or none keeps nothing (an earlier kept value stays).
LONG KeepPreviousHandler(const FileTypeEntry &entry, const HandlerEntry &handler);
// The kept handler into pszPrevious (cch characters); an empty string when none is kept.
LONG ReadPreviousHandler(const HandlerEntry &handler, wchar_t *pszPrevious, DWORD cch);
// pszPrevious NULL or empty: the extension's link is deleted. Otherwise it is set back to
// pszPrevious when it names pszHandler or nothing, and deleted when it names yet another handler.
LONG RemoveExtensionHandler(const FileTypeEntry &entry, const wchar_t *pszHandler, const wchar_t *pszPrevious);
