// The file-name part and the upper-cased base name of a path, as the child-filter loader and the
// DLL list take them from host paths, module paths and entry names.
#include <gtest/gtest.h>
#include "TestHelpers.h"
#include "support/FileUtil.h"

TEST(PathNames, FileNamePartAndUpperBaseName)
{
    const struct {
        const wchar_t *path;
        const wchar_t *fileName;
        const wchar_t *baseName;
    } cases[] = {
        {L"C:\\Program Files\\Search\\bin\\mssdmn.exe", L"mssdmn.exe", L"MSSDMN"},
        {L"c:/filters/pdffilt.dll", L"pdffilt.dll", L"PDFFILT"},
        {L"archive.tar.gz", L"archive.tar.gz", L"ARCHIVE.TAR"},
        {L"C:readme", L"readme", L"README"},
        {L"folder.ext\\noext", L"noext", L"NOEXT"},
        {L".fxtxt", L".fxtxt", L""},
        {L"trailing\\", L"", L""},
        {L"", L"", L""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(Narrow(c.path));
        EXPECT_STREQ(c.fileName, PathFileName(c.path));
        wchar_t name[MAX_PATH];
        wmemset(name, L'#', MAX_PATH);
        GetUpperBaseName(c.path, name, MAX_PATH);
        EXPECT_STREQ(c.baseName, name);
    }
}

TEST(PathNames, ALongBaseNameIsCutToTheBuffer)
{
    wchar_t name[5];
    GetUpperBaseName(L"C:\\x\\filtdump.exe", name, 5);
    EXPECT_STREQ(L"FILT", name);
    wchar_t untouched = L'#';
    GetUpperBaseName(L"a.dll", &untouched, 0);
    EXPECT_EQ(L'#', untouched);
}
