// Asks the product's own trust check, IsFileTrusted, about each file named on the command line and
// prints one line per file: "trusted=0|1 winverifytrust=0x........ PATH". The second figure is
// WinVerifyTrust's own answer under the same policy, which says why a file is not trusted.
// Exit code 0 when every file was asked about, 2 for no arguments.
#include <windows.h>
#include <softpub.h>
#include <wintrust.h>
#include <cstdio>

#include "support/FileUtil.h"

namespace {

LONG VerifyTrust(const wchar_t *pszPath)
{
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof(file);
    file.pcwszFilePath = pszPath;
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    return WinVerifyTrust(nullptr, &action, &data);
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    if (argc < 2) {
        fprintf(stderr, "usage: trust-probe FILE...\n");
        return 2;
    }
    for (int i = 1; i < argc; ++i) {
        const BOOL bTrusted = IsFileTrusted(argv[i], FALSE);
        printf("trusted=%d winverifytrust=0x%08lx %ls\n", bTrusted ? 1 : 0,
               static_cast<unsigned long>(VerifyTrust(argv[i])), argv[i]);
    }
    return 0;
}
