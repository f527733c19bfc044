// [Debug] ChildStreams as an administrator sets it: documents whose filter reads streams are
// handed over from memory unless it is 0, when every document goes to a file as before, and a
// filter that reads only streams is left out. What the host sees from the file route's filters
// does not change.
#include <gtest/gtest.h>

#include "SettingsFiles.h"

using ChildStreams = SettingsTest;

TEST_F(ChildStreams, ZeroSendsEveryDocumentToAFile)
{
    struct Case {
        const wchar_t *debugLines;
        bool streamOnlyRead;  // the stream-only fixture's document reaches it
    };
    const Case cases[] = {{L"", true}, {L"ChildStreams=1\r\n", true}, {L"ChildStreams=0\r\n", false}};
    for (const Case &c : cases) {
        SCOPED_TRACE(Narrow(c.debugLines));
        UseSettings(c.debugLines);
        const std::vector<SeenChunk> chunks = FilterArchive(m_dll, TestDataPath(L"child_filters\\mixed.rar"));
        std::wstring texts;
        for (const SeenChunk &chunk : chunks)
            texts += chunk.text + L"|";
        EXPECT_EQ(c.streamOnlyRead, texts.find(L"stream.fxstream|stream only|") != std::wstring::npos) << Narrow(texts);
        EXPECT_NE(std::wstring::npos, texts.find(L"notes.txt|alpha bravo|charlie delta|")) << Narrow(texts);
        EXPECT_NE(std::wstring::npos, texts.find(L"tail.fxtxt|echo foxtrot|")) << Narrow(texts);
        EXPECT_EQ(0u, RunFoldersNow().size());
    }
}
