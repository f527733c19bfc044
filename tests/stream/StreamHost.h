// What a search host does with a filter, for the stream tests, beyond FilterHost.h: a filter
// object of the core library (which the child-filter stand-ins reach), and every chunk pulled
// with all its text and values.
#pragma once
#include <windows.h>
#include <filter.h>
#include <string>
#include <vector>

#include "support/Holders.h"

// One chunk as the host saw it.
struct HostChunk {
    HRESULT hr = S_OK;          // GetChunk's answer
    STAT_CHUNK stat = {};
    std::wstring text;          // all pieces joined
    std::vector<ULONG> pieces;  // the count of every piece
    HRESULT textEnd = S_OK;     // the GetText answer that ended the text
    std::vector<std::wstring> values;  // VT_LPWSTR values (other types as "vt=N")
    HRESULT valueEnd = S_OK;    // the GetValue answer that ended the values
};


// LoadFile, then InitFilter (FilterHost.h); returns Init's answer, or Load's when it failed.
HRESULT LoadAndInit(IFilter *pFilter, const std::wstring &path);

// Pulls chunks until GetChunk fails with FILTER_E_END_OF_CHUNKS (at most 100 chunks); errors
// other than the end are recorded as chunks with hr set and the pull goes on.
std::vector<HostChunk> PullAll(IFilter *pFilter, ULONG cwcBuffer = 4096);

std::string DescribeStream(const std::vector<HostChunk> &chunks);

// While alive, HKEY_LOCAL_MACHINE is an empty scratch key for this process, so no child filter is
// found for any extension, whatever the prefix registers (tests/setup.d/30-child-filters.sh
// registers the plain-text filter for .txt): the stream holds the archive's own chunks only.
class CNoChildFilters
{
public:
    CNoChildFilters();
    ~CNoChildFilters();
    CNoChildFilters(const CNoChildFilters &) = delete;
    CNoChildFilters &operator=(const CNoChildFilters &) = delete;

private:
    CRegKey m_scratch;
};
