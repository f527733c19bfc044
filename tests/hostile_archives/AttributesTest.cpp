// Attributes an archive made on Windows gives its files: UnRAR sets them on the extracted file,
// read-only among them, which Wine's DeleteFileW refuses (error 5) as Windows does. Each
// extracted file still goes before the next entry is read. Archive: tests/setup.d/40-hostile.sh.
#include "HostileRun.h"

#include "FixtureDll.h"

TEST_F(HostileArchiveTest, ReadOnlyFilesAreDeletedBeforeTheNextEntry)
{
    const CFixtureDll fixture(FIXTURE_ROW_TEXT_FILE_ONLY);
    std::vector<std::wstring> seenFiles;
    const std::vector<SeenChunk> chunks = FilterHostile(HostileArchive(L"attr-readonly.rar"), [&](const SeenChunk &chunk) {
        if (chunk.propid != PROPID_ENTRY_NAME)
            return;
        // At each entry's name: at most its own file, never the one before it.
        for (const std::wstring &folder : RunFoldersNow()) {
            const std::vector<std::wstring> files = FilesIn(folder);
            for (const std::wstring &name : files) {
                seenFiles.push_back(name);
                EXPECT_EQ(chunk.text, name) << "left from an entry before " << Narrow(chunk.text);
                if (name == L"ro1.fxfile") {
                    EXPECT_NE(0u, GetFileAttributesW((folder + L"\\" + name).c_str()) & FILE_ATTRIBUTE_READONLY)
                        << "the archive's read-only attribute was not set: the test would prove nothing";
                }
            }
        }
    });
    ExpectStream(chunks,
                 {EntryName(L"ro1.fxfile"), Text(L"read only one"), EntryName(L"ro2.fxfile"), Text(L"read only two"),
                  EntryName(L"hidden.fxfile"), Text(L"hidden system"), EntryName(L"after.txt"), Text(L"after text")},
                 true);
    EXPECT_EQ((std::vector<std::wstring>{L"ro1.fxfile", L"ro2.fxfile", L"hidden.fxfile"}), seenFiles);
}
