// pellucidor-dump, the host tool behind scripts/dump.sh: run as a child process, its JSON lines
// and exit codes are what scripts and people rely on.
#include <gtest/gtest.h>
#include "ArchiveTestHelpers.h"
#include "ProcessStart.h"
#include "TestHelpers.h"

#include <sstream>

namespace {

struct ToolRun {
    DWORD exitCode = MARKER;
    std::vector<std::string> lines;  // stdout, split at '\n'
};

// Runs pellucidor-dump.exe with the arguments (each quoted) and collects its output.
ToolRun RunDump(const std::vector<std::wstring> &args)
{
    ToolRun run;
    std::wstring command = L"\"" + TestBinPath(L"pellucidor-dump.exe") + L"\"";
    for (const std::wstring &arg : args)
        command += L" \"" + arg + L"\"";

    // At most two minutes: a tool that hangs fails the test with what it printed.
    const BoundedRun bounded = RunBounded(nullptr, command, ProgramOutputFolder(), 120000, false);
    if (!bounded.started) {
        ADD_FAILURE() << "pellucidor-dump.exe did not start, error " << GetLastError();
        return run;
    }
    EXPECT_FALSE(bounded.hung) << Narrow(command) << " did not end within two minutes; it printed:\n"
                               << bounded.output;
    run.exitCode = bounded.exitCode;
    const std::string &out = bounded.output;
    std::istringstream stream(out);
    for (std::string text; std::getline(stream, text);)
        run.lines.push_back(text);
    return run;
}

std::string Join(const std::vector<std::string> &lines)
{
    std::string text;
    for (const std::string &line : lines)
        text += line + "\n";
    return text;
}

const std::string kInit = "{\"init\":\"0x00000000\",\"flags\":1}";
const std::string kEnd = "{\"end\":\"0x80041700\"}";
std::string TextLine(int id, int propid, LCID locale, const std::string &jsonText)
{
    return "{\"id\":" + std::to_string(id) + ",\"source\":" + std::to_string(id) +
           ",\"break\":0,\"flags\":1,\"locale\":" + std::to_string(locale) +
           ",\"propset\":\"{B725F130-47EF-101A-A5F1-02608C9EEBAC}\",\"propid\":" + std::to_string(propid) +
           ",\"start\":0,\"len\":0,\"text\":" + jsonText + "}";
}
std::string NameLine(int id, const std::string &jsonText) { return TextLine(id, 10, GetSystemDefaultLCID(), jsonText); }
// The first paragraph of a .txt entry, read by the plain-text fixture filter that
// tests/setup.d/30-child-filters.sh registers for .txt in the test prefix.
std::string ContentLine(int id, const std::string &jsonText) { return TextLine(id, 19, 0x409, jsonText); }
std::string TitleLine(const std::string &rest)
{
    return "{\"id\":1,\"source\":1,\"break\":0," + rest.substr(0, rest.find('|')) + ",\"locale\":" +
           std::to_string(GetSystemDefaultLCID()) +
           ",\"propset\":\"{F29F85E0-4FF9-1068-AB91-08002B27B3D9}\",\"propid\":2,\"start\":0,\"len\":0," +
           rest.substr(rest.find('|') + 1) + "}";
}

TEST(DumpTool, JsonLinesStraightFromTheDll)
{
    const ToolRun run = RunDump({L"--json", L"--dll", TestBinPath(L"Pellucidor.dll"), ArchivePath(L"plain.rar")});
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ(Join({kInit, TitleLine("\"flags\":2|\"values\":[{\"vt\":31,\"str\":\"plain\"}]"),
                    NameLine(2, "\"a.txt\""), ContentLine(3, "\"alpha text\""),
                    NameLine(4, "\"docs\\\\2005\\\\report.doc\""), NameLine(5, "\"readme\""), NameLine(6, "\"notes.\""),
                    NameLine(7, "\"docs\\\\a.txt\""), ContentLine(8, "\"second alpha\""), kEnd}),
              Join(run.lines));
}

TEST(DumpTool, JsonLinesThroughTheRegistrationWithSmallBuffers)
{
    // The set-up registered the build for .rar; a two-character buffer brings one character a piece.
    for (const wchar_t *buffer : {L"4096", L"2"}) {
        const ToolRun run = RunDump({L"--json", L"--buffer", buffer, ArchivePath(L"comment.rar")});
        EXPECT_EQ(0u, run.exitCode) << Narrow(buffer);
        ASSERT_EQ(10u, run.lines.size()) << Join(run.lines);
        EXPECT_EQ(TitleLine("\"flags\":1|\"text\":\"Quarterly reports\\r\\nfor 2005\""), run.lines[1]);
        EXPECT_EQ(ContentLine(3, "\"alpha text\""), run.lines[3]);
        EXPECT_EQ(NameLine(4, "\"docs\\\\2005\\\\report.doc\""), run.lines[4]);
    }
}

TEST(DumpTool, JsonEscapesWhatNamesHold)
{
    const ToolRun run = RunDump({L"--json", L"--dll", TestBinPath(L"Pellucidor.dll"), ArchivePath(L"odd-names.rar")});
    EXPECT_EQ(0u, run.exitCode);
    ASSERT_EQ(24u, run.lines.size()) << Join(run.lines);
    EXPECT_EQ(NameLine(11, "\"q\\\"uote.txt\""), run.lines[11]);
    EXPECT_EQ(ContentLine(12, "\"content of q\\\"uote.txt\""), run.lines[12]);
    EXPECT_EQ(NameLine(19, "\"ctl\\u0001.txt\""), run.lines[19]);
    const ToolRun unicode = RunDump({L"--json", ArchivePath(L"unicode.rar")});
    ASSERT_EQ(9u, unicode.lines.size()) << Join(unicode.lines);
    EXPECT_EQ(NameLine(6, "\"" + Narrow(L"Ελληνικά") + "\\\\" + Narrow(L"κείμενο.txt") + "\""), unicode.lines[6]);
}

TEST(DumpTool, PairsOfUtf16UnitsSurviveTinyPieces)
{
    // A two-character buffer brings the archive filter's own text one character a piece and the
    // child's two, so both split a pair between two GetText calls; the printed text must still
    // hold the one character, not two escaped halves or replacement characters.
    const std::string clef = "\xF0\x9D\x84\x9E", grin = "\xF0\x9F\x98\x80";
    for (const wchar_t *buffer : {L"4096", L"2"}) {
        const ToolRun run = RunDump({L"--json", L"--buffer", buffer, ArchivePath(L"astral.rar")});
        EXPECT_EQ(0u, run.exitCode) << Narrow(buffer);
        ASSERT_EQ(5u, run.lines.size()) << Join(run.lines);
        EXPECT_EQ(NameLine(2, "\"" + clef + " score.txt\""), run.lines[2]) << Narrow(buffer);
        EXPECT_EQ(ContentLine(3, "\"clef " + clef + " and grin " + grin + "\""), run.lines[3]) << Narrow(buffer);
        const ToolRun people = RunDump({L"--buffer", buffer, ArchivePath(L"astral.rar")});
        const std::string text = Join(people.lines);
        EXPECT_NE(std::string::npos, text.find("Text: clef " + clef + " and grin " + grin + "\n")) << text;
    }
}

TEST(DumpTool, TinyPiecesPrintWhatWholeOnesDo)
{
    // The title of long-comment.rar is 16,384 characters: in pieces of one character it is
    // thousands of GetText calls, far more than the tool hands its printing thread at once.
    // mixed-text.rar's paragraphs end in everything JSON escapes or encodes, at every distance
    // from their end: whole, they take the tool's sixteen-at-a-time paths; in pieces, none.
    for (const wchar_t *archive : {L"long-comment.rar", L"astral.rar", L"mixed-text.rar"}) {
        for (const bool json : {true, false}) {
            std::vector<std::wstring> args = {L"--buffer", L"4096", ArchivePath(archive)};
            if (json)
                args.insert(args.begin(), L"--json");
            const ToolRun whole = RunDump(args);
            args[args.size() - 2] = L"2";
            const ToolRun tiny = RunDump(args);
            const std::string what = Narrow(archive) + (json ? " as JSON" : " for people");
            EXPECT_EQ(0u, tiny.exitCode) << what;
            EXPECT_LE(5u, whole.lines.size()) << what;
            EXPECT_EQ(Join(whole.lines), Join(tiny.lines)) << what;
        }
    }
}

TEST(DumpTool, LettersBeyondAsciiForPeopleAreUtf8)
{
    // mixed-text.rar's paragraph n is "word " n % 7 times, the (n % 9)th of its pieces and n % 40
    // x's. The tool passes ASCII text on as bytes: U+00E9 in the sixteen-at-a-time part of a piece
    // (n = 23) and after it (n = 5) must come out as UTF-8, and DEL (n = 4), ASCII, as it is.
    const auto paragraph = [](int n, const std::string &piece) {
        std::string text;
        for (int i = 0; i < n % 7; ++i)
            text += "word ";
        return text + piece + std::string(static_cast<size_t>(n % 40), 'x');
    };
    const ToolRun run = RunDump({ArchivePath(L"mixed-text.rar")});
    EXPECT_EQ(0u, run.exitCode);
    const std::string text = Join(run.lines);
    const std::pair<int, std::string> cases[] = {{23, "\xC3\xA9"}, {5, "\xC3\xA9"}, {4, "\x7F"}};
    for (const auto &[n, piece] : cases)
        EXPECT_NE(std::string::npos, text.find("Text: " + paragraph(n, piece) + "\n")) << n;
}

TEST(DumpTool, BlocksForPeople)
{
    const ToolRun run = RunDump({ArchivePath(L"plain.rar")});
    EXPECT_EQ(0u, run.exitCode);
    const std::string text = Join(run.lines);
    EXPECT_NE(std::string::npos, text.find("Init: 0x00000000, flags 1\n")) << text;
    EXPECT_NE(std::string::npos, text.find("Attribute = {B725F130-47EF-101A-A5F1-02608C9EEBAC}\\10\nidChunk = 4\n")) << text;
    EXPECT_NE(std::string::npos, text.find("Text: alpha text\n")) << text;
    EXPECT_NE(std::string::npos, text.find("Text: docs\\2005\\report.doc\n")) << text;
    EXPECT_NE(std::string::npos, text.find("Value (vt 31): plain\n")) << text;
    EXPECT_EQ("End: 0x80041700", run.lines.back());
}

TEST(DumpTool, QuietPullsTheWholeStreamAndCountsIt)
{
    // The eight chunks of JsonLinesStraightFromTheDll: 69 characters of text, the title's value.
    const ToolRun run = RunDump({L"--json", L"--quiet", L"--buffer", L"3", ArchivePath(L"plain.rar")});
    EXPECT_EQ(0u, run.exitCode);
    EXPECT_EQ(Join({kInit, "{\"end\":\"0x80041700\",\"chunks\":8,\"characters\":69,\"values\":1,\"failures\":0}"}),
              Join(run.lines));
    const ToolRun people = RunDump({L"--quiet", ArchivePath(L"plain.rar")});
    EXPECT_EQ(0u, people.exitCode);
    EXPECT_EQ("End: 0x80041700, 8 chunks, 69 characters, 1 values, 0 failures", people.lines.back()) << Join(people.lines);
}

TEST(DumpTool, ExitCodes)
{
    const std::wstring archive = ArchivePath(L"plain.rar");
    const struct {
        std::vector<std::wstring> args;
        DWORD exitCode;
    } cases[] = {
        {{}, 1},
        {{L"--json"}, 1},
        {{L"--buffer", L"0", archive}, 1},
        {{L"--buffer", L"12x", archive}, 1},
        {{L"--buffer", L"-3", archive}, 1},
        {{archive, L"--buffer"}, 1},
        {{L"--dll"}, 1},
        {{L"--verbose", archive}, 1},
        {{archive, archive}, 1},
        {{ArchivePath(L"no-such-archive.rar")}, 2},
        {{L"--dll", TestBinPath(L"no-such.dll"), archive}, 2},
        {{TestBinPath(L"Pellucidor.dll")}, 2},  // nothing registered for .dll
        {{L"--json", L"--buffer", L"1", archive}, 0},
    };
    for (const auto &c : cases) {
        std::string args;
        for (const std::wstring &arg : c.args)
            args += " " + Narrow(arg);
        const ToolRun run = RunDump(c.args);
        EXPECT_EQ(c.exitCode, run.exitCode) << args;
        if (c.exitCode == 1) {
            EXPECT_TRUE(run.lines.empty()) << args;
        }
    }
}

} // namespace
