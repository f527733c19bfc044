// The version resource as Explorer's properties page and inventory tools read it: the fixed
// file and product versions, and the strings of the first translation the file lists.
#include <gtest/gtest.h>
#include <ostream>
#include <string>
#include <vector>

#include "PellucidorVersion.h"
#include "TestHelpers.h"

namespace {

// The whole version block of a file; empty when the file has none.
std::vector<BYTE> ReadVersionBlock(const std::wstring &path)
{
    DWORD handle = MARKER;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    std::vector<BYTE> block(size);
    if (size == 0 || !GetFileVersionInfoW(path.c_str(), 0, size, block.data()))
        block.clear();
    return block;
}

// One string of the first translation listed under \VarFileInfo\Translation.
std::wstring QueryString(std::vector<BYTE> &block, const wchar_t *name)
{
    struct Translation {
        WORD language;
        WORD codePage;
    } *translations = nullptr;
    UINT length = MARKER;
    if (!VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", reinterpret_cast<void **>(&translations), &length) ||
        length < sizeof(Translation))
        return L"(no translation)";
    wchar_t subBlock[64];
    swprintf(subBlock, 64, L"\\StringFileInfo\\%04x%04x\\%ls", translations[0].language, translations[0].codePage, name);
    wchar_t *value = nullptr;
    length = MARKER;
    if (!VerQueryValueW(block.data(), subBlock, reinterpret_cast<void **>(&value), &length) || value == nullptr)
        return L"(missing)";
    return std::wstring(value);
}

struct BinaryCase {
    const wchar_t *file;
    const wchar_t *description;
    DWORD fileType;
};

void PrintTo(const BinaryCase &c, std::ostream *os)
{
    *os << Narrow(c.file);
}

class VersionResource : public ::testing::TestWithParam<BinaryCase>
{
};

const DWORD kVersionMS = MAKELONG(PELLUCIDOR_VERSION_MINOR, PELLUCIDOR_VERSION_MAJOR);
const DWORD kVersionLS = MAKELONG(0, PELLUCIDOR_VERSION_PATCH);

} // namespace

TEST_P(VersionResource, FixedPartCarriesTheProductVersion)
{
    std::vector<BYTE> block = ReadVersionBlock(TestBinPath(GetParam().file));
    ASSERT_FALSE(block.empty()) << "no version resource, error " << GetLastError();
    VS_FIXEDFILEINFO *fixed = nullptr;
    UINT length = MARKER;
    ASSERT_TRUE(VerQueryValueW(block.data(), L"\\", reinterpret_cast<void **>(&fixed), &length));
    ASSERT_EQ(sizeof(VS_FIXEDFILEINFO), length);
    EXPECT_EQ(VS_FFI_SIGNATURE, fixed->dwSignature);
    EXPECT_EQ(kVersionMS, fixed->dwFileVersionMS);
    EXPECT_EQ(kVersionLS, fixed->dwFileVersionLS);
    EXPECT_EQ(kVersionMS, fixed->dwProductVersionMS);
    EXPECT_EQ(kVersionLS, fixed->dwProductVersionLS);
    EXPECT_EQ(GetParam().fileType, fixed->dwFileType);
    EXPECT_EQ(0u, fixed->dwFileFlags & fixed->dwFileFlagsMask) << "no debug, pre-release or patched flags";
}

TEST_P(VersionResource, StringsAsAdministratorsSeeThem)
{
    std::vector<BYTE> block = ReadVersionBlock(TestBinPath(GetParam().file));
    ASSERT_FALSE(block.empty()) << "no version resource, error " << GetLastError();
    const struct {
        const wchar_t *name;
        std::wstring expected;
    } strings[] = {
        {L"CompanyName", L"Quorvane"},
        {L"FileDescription", GetParam().description},
        {L"OriginalFilename", GetParam().file},
        {L"FileVersion", PELLUCIDOR_VERSION_TEXT_W},
        {L"ProductName", L"Quorvane RAR filter"},
        {L"ProductVersion", PELLUCIDOR_VERSION_TEXT_W},
    };
    for (const auto &s : strings)
        EXPECT_EQ(Narrow(s.expected), Narrow(QueryString(block, s.name))) << Narrow(s.name);
}

INSTANTIATE_TEST_SUITE_P(Binaries, VersionResource,
                         ::testing::Values(BinaryCase{L"Pellucidor.dll", L"Quorvane RAR filter", VFT_DLL},
                                           BinaryCase{L"pellucidor-dump.exe", L"Quorvane RAR filter dump tool", VFT_APP}),
                         [](const ::testing::TestParamInfo<BinaryCase> &info) {
                             std::string name = Narrow(info.param.file);
                             for (char &ch : name)
                                 if (!isalnum(static_cast<unsigned char>(ch)))
                                     ch = '_';
                             return name;
                         });
