// Placeholder list: answers nothing until the DLL information list lands.
#include "childfilter/DLLsInformation.h"

BOOL CDLLsInformationBase::GetDisplayName(wchar_t *, ULONG) { return FALSE; }
BOOL CDLLsInformationBase::GetFileStatus(const wchar_t *, BOOL *, BOOL *) { return FALSE; }
BOOL CDLLsInformationBase::GetClassPersistence(const wchar_t *, const wchar_t *, BOOL *, BOOL *, BOOL *) { return FALSE; }
HMODULE CDLLsInformationBase::CreateFilterFromDll(const wchar_t *, const wchar_t *, IFilter **ppFilter)
{
    if (ppFilter != nullptr)
        *ppFilter = nullptr;
    return nullptr;
}
void CDLLsInformationBase::ProbePersistInterfaces(const wchar_t *, const wchar_t *, BOOL *, BOOL *, BOOL *) {}

CDLLsInformation::CDLLsInformation() {}
CDLLsInformation::~CDLLsInformation() {}
BOOL CDLLsInformation::GetDisplayName(wchar_t *, ULONG) { return FALSE; }
BOOL CDLLsInformation::GetFileStatus(const wchar_t *, BOOL *, BOOL *) { return FALSE; }
BOOL CDLLsInformation::GetClassPersistence(const wchar_t *, const wchar_t *, BOOL *, BOOL *, BOOL *) { return FALSE; }
