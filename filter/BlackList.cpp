// Placeholder settings until the black list and the temp-folder log land.
#include "filter/IFilterBase.h"

BOOL CIFilterBase::EnterBlackList() { return TRUE; }
BOOL CIFilterBase::LeaveBlackList() { return TRUE; }
BOOL CIFilterBase::LogTempFolderGuid(const wchar_t *) { return TRUE; }
