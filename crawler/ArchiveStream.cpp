#include "crawler/ArchiveStream.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>

CArchiveStreamReader::CArchiveStreamReader(IStream *pStream) noexcept : m_stream(pStream)
{
    m_callbacks.UserData = this;
    m_callbacks.Read = Read;
    m_callbacks.Seek = Seek;
    m_callbacks.Tell = Tell;
    m_callbacks.Size = Size;
}

int CArchiveStreamReader::ReadAt(void *pBuffer, ULONG cb) noexcept
{
    LARGE_INTEGER move;
    move.QuadPart = static_cast<LONGLONG>(m_position);
    if (FAILED(m_stream->Seek(move, STREAM_SEEK_SET, nullptr)))
        return -1;
    ULONG cbRead = 0;
    // S_FALSE with fewer bytes is the end of the stream; a count beyond the buffer is a lie.
    const HRESULT hr = m_stream->Read(pBuffer, cb, &cbRead);
    if (FAILED(hr) || cbRead > cb)
        return -1;
    return static_cast<int>(cbRead);
}

int PASCAL CArchiveStreamReader::Read(void *pUserData, void *pBuffer, unsigned int cbBuffer)
{
    auto *self = static_cast<CArchiveStreamReader *>(pUserData);
    if (cbBuffer > INT_MAX)
        cbBuffer = INT_MAX;
    // Within the block read ahead: no call to the host's stream.
    if (self->m_position >= self->m_aheadStart && self->m_position < self->m_aheadStart + self->m_cbAhead) {
        const ULONG offset = static_cast<ULONG>(self->m_position - self->m_aheadStart);
        const ULONG cb = std::min<ULONG>(cbBuffer, self->m_cbAhead - offset);
        std::memcpy(pBuffer, self->m_pAhead.get() + offset, cb);
        self->m_position += cb;
        return static_cast<int>(cb);
    }
    if (!self->m_pAhead && cbBuffer < READ_AHEAD_BYTES)
        self->m_pAhead.reset(new (std::nothrow) BYTE[READ_AHEAD_BYTES]);
    // Large reads (compressed data) go straight to UnRAR's buffer, as do all without a block.
    if (!self->m_pAhead || cbBuffer >= READ_AHEAD_BYTES) {
        const int cbRead = self->ReadAt(pBuffer, cbBuffer);
        if (cbRead > 0)
            self->m_position += static_cast<ULONG>(cbRead);
        return cbRead;
    }
    self->m_cbAhead = 0;
    const int cbAhead = self->ReadAt(self->m_pAhead.get(), READ_AHEAD_BYTES);
    if (cbAhead <= 0)
        return cbAhead;
    self->m_aheadStart = self->m_position;
    self->m_cbAhead = static_cast<ULONG>(cbAhead);
    const ULONG cb = std::min<ULONG>(cbBuffer, self->m_cbAhead);
    std::memcpy(pBuffer, self->m_pAhead.get(), cb);
    self->m_position += cb;
    return static_cast<int>(cb);
}

int PASCAL CArchiveStreamReader::Seek(void *pUserData, long long offset, int method)
{
    auto *self = static_cast<CArchiveStreamReader *>(pUserData);
    LONGLONG base = 0;
    if (method == 1) {
        base = static_cast<LONGLONG>(self->m_position);
    } else if (method == 2) {
        base = StreamSize(self->m_stream.Get());
        if (base < 0)
            return -1;
    } else if (method != 0) {
        return -1;
    }
    if ((offset > 0 && base > LLONG_MAX - offset) || base + offset < 0)
        return -1;
    self->m_position = static_cast<ULONGLONG>(base + offset);
    return 0;
}

long long PASCAL CArchiveStreamReader::Tell(void *pUserData)
{
    return static_cast<long long>(static_cast<CArchiveStreamReader *>(pUserData)->m_position);
}

long long PASCAL CArchiveStreamReader::Size(void *pUserData)
{
    return StreamSize(static_cast<CArchiveStreamReader *>(pUserData)->m_stream.Get());
}

LONGLONG StreamSize(IStream *pStream) noexcept
{
    if (pStream == nullptr)
        return -1;
    STATSTG stat = {};
    const HRESULT hrStat = pStream->Stat(&stat, STATFLAG_NONAME);
    // A host may hand out the name although none was asked for; it is ours to free then.
    const CCoTaskMem name(SUCCEEDED(hrStat) ? stat.pwcsName : nullptr);
    if (SUCCEEDED(hrStat) && stat.cbSize.QuadPart <= static_cast<ULONGLONG>(LLONG_MAX))
        return static_cast<LONGLONG>(stat.cbSize.QuadPart);
    // Some streams answer Stat with nothing useful: the end, reached by a seek, tells too.
    LARGE_INTEGER zero = {};
    ULARGE_INTEGER end = {};
    if (FAILED(pStream->Seek(zero, STREAM_SEEK_END, &end)) || end.QuadPart > static_cast<ULONGLONG>(LLONG_MAX))
        return -1;
    return static_cast<LONGLONG>(end.QuadPart);
}
