// NTFS stream records that follow an extracted file. UnRAR appends a stream's name from the
// archive to the extracted file's name and writes the stream there; Wine resolves such a path
// lexically, "a.txt:.." being one folder level, so <run>\a.txt:..\..\..\x would be <temp>\x.
// Archives: tests/setup.d/40-hostile.sh (rar5.py writes the "STM" records).
#include "HostileRun.h"

namespace {

struct StreamCase {
    const wchar_t *archive;
    const char *streamName;  // as stored, for the report
};

// Every run folder, at every chunk, holds at most the one extracted file, by its own name: no
// stream of it (a separate "a.txt:name" file under Wine) and nothing big.
void ExpectOnlyExtractedFiles(const std::vector<std::wstring> &runFolders)
{
    for (const std::wstring &folder : runFolders) {
        const std::vector<std::wstring> files = FilesIn(folder);
        EXPECT_LE(files.size(), 1u) << "files in " << Narrow(folder);
        for (const std::wstring &name : files) {
            EXPECT_EQ(std::wstring::npos, name.find(L':')) << "a stream was written: " << Narrow(name);
            WIN32_FILE_ATTRIBUTE_DATA data = {};
            if (GetFileAttributesExW((folder + L"\\" + name).c_str(), GetFileExInfoStandard, &data)) {
                EXPECT_LT(data.nFileSizeLow, 4096u) << Narrow(name);
            }
        }
    }
}

class StreamNameTest : public HostileArchiveTest, public ::testing::WithParamInterface<StreamCase>
{
};

} // namespace

// The host file and the entry after it are read as usual; the stream is written nowhere.
TEST_P(StreamNameTest, TheStreamIsWrittenNowhere)
{
    SCOPED_TRACE(std::string("stream name ") + GetParam().streamName);
    const std::vector<SeenChunk> chunks = FilterHostile(HostileArchive(GetParam().archive), [&](const SeenChunk &) {
        ExpectOnlyExtractedFiles(RunFoldersNow());
    });
    ExpectStream(chunks, {EntryName(L"a.txt"), Text(L"host file"), EntryName(L"after.txt"), Text(L"after text")}, true);
}

INSTANTIATE_TEST_SUITE_P(
    Archives, StreamNameTest,
    ::testing::Values(StreamCase{L"stream-dotdot.rar", R"(:..\..\escape-stream-dotdot.txt)"},
                      StreamCase{L"stream-up.rar", R"(:..\..\..\escape-stream-up.txt)"},
                      StreamCase{L"stream-deep.rar", R"(:..\..\..\..\..\..\..\..\escape-stream-deep.txt)"},
                      StreamCase{L"stream-slash.rar", ":../../../escape-stream-slash.txt"},
                      StreamCase{L"stream-drive.rar", R"(:C:\escape-stream-drive.txt)"},
                      // The harmless control: a plain stream name is not written either.
                      StreamCase{L"stream-ok.rar", ":ok"},
                      // 16 MB of zeros packed into a few hundred bytes.
                      StreamCase{L"stream-bomb.rar", ":bomb"}),
    [](const ::testing::TestParamInfo<StreamCase> &info) { return CaseName(info.param.archive); });
