// What the end-to-end tests share: the archives of tests/setup.d/30-child-filters.sh, the stream
// a host sees for one of them, and a compact way of writing the stream a test expects.
#pragma once
#include <windows.h>
#include <filter.h>
#include <string>
#include <vector>

#include "FilterHost.h"
#include "FilterStream.h"
#include "TestHelpers.h"

std::wstring ChildArchive(const std::wstring &name);  // TEST_DATA_DIR\child_filters\name

// One expected chunk. Ids are not written: they must run 1, 2, 3, ... and each chunk be its own source.
struct ExpectedChunk {
    DWORD flags;
    PROPID propid;
    std::wstring text;
    VARTYPE vt = VT_EMPTY;
};
constexpr PROPID PROPID_CONTENTS = 19;  // PID_STG_CONTENTS, the fixture filters' text

ExpectedChunk Title(const std::wstring &name);      // an archive without comment: its base name as a value
ExpectedChunk EntryName(const std::wstring &path);  // the entry's path inside the archive
ExpectedChunk Text(const std::wstring &text);       // a fixture filter's paragraph
// The value filter's six values as a host receives them ("noindex" and "none" strings emptied).
std::vector<ExpectedChunk> FixtureValues();

// Concatenates pieces of an expected stream.
std::vector<ExpectedChunk> Stream(std::initializer_list<std::vector<ExpectedChunk>> parts);

// Compares what the host saw with what was expected, chunk by chunk, and the numbering.
void ExpectStream(const std::vector<SeenChunk> &seen, const std::vector<ExpectedChunk> &expected);
