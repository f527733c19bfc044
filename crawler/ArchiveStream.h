// An archive's bytes read from a host's IStream for UnRAR. Each archive handle gets a reader of
// its own, with its own position: the handles walk the archive independently over one stream,
// so every read of the host's stream first seeks it to the reader's position. UnRAR reads headers
// a few bytes at a time, so small reads are served from a read-ahead block of the reader's own:
// one Seek and one Read of the host's stream per block, not per header field. A failed Read or
// Seek of the host's stream is answered as a read error, which UnRAR takes as a damaged archive.
#pragma once
#include <windows.h>
#include <objidl.h>

#include <memory>

#include "dll.hpp"
#include "support/Holders.h"

class CArchiveStreamReader
{
public:
    explicit CArchiveStreamReader(IStream *pStream) noexcept;
    CArchiveStreamReader(const CArchiveStreamReader &) = delete;
    CArchiveStreamReader &operator=(const CArchiveStreamReader &) = delete;

    // The callbacks for RAROpenArchiveStream; valid while this reader lives.
    RARArchiveStream *Callbacks() noexcept { return &m_callbacks; }

private:
    static int PASCAL Read(void *pUserData, void *pBuffer, unsigned int cbBuffer);
    static int PASCAL Seek(void *pUserData, long long offset, int method);
    static long long PASCAL Tell(void *pUserData);
    static long long PASCAL Size(void *pUserData);

    // Reads up to cb bytes at m_position from the host's stream; the count, or -1 on a failure.
    int ReadAt(void *pBuffer, ULONG cb) noexcept;

    static constexpr ULONG READ_AHEAD_BYTES = 64 * 1024;

    CComPtr<IStream> m_stream;
    ULONGLONG m_position = 0;
    std::unique_ptr<BYTE[]> m_pAhead;  // bytes [m_aheadStart, m_aheadStart + m_cbAhead) of the stream
    ULONGLONG m_aheadStart = 0;
    ULONG m_cbAhead = 0;
    RARArchiveStream m_callbacks{};
};

// The size of a stream from Stat, or from a seek to its end; -1 when neither answers.
LONGLONG StreamSize(IStream *pStream) noexcept;
