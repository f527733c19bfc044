// Forwards the three stream calls to the current child filter, which the filter object owns;
// the relay holds no reference of its own and is detached before the child is released.
#pragma once
#include <windows.h>
#include <filter.h>

class CChildFilterRelay
{
public:
    CChildFilterRelay() noexcept = default;
    CChildFilterRelay(const CChildFilterRelay &) = delete;
    CChildFilterRelay &operator=(const CChildFilterRelay &) = delete;

    // Forwards to `child` from now on; NULL detaches.
    void Attach(IFilter *child) noexcept;
    IFilter *Child() const noexcept { return m_pChild; }

    // E_POINTER without a child; otherwise the child's answer, mended where it would break the
    // host: a text count past the host's buffer is cut to it, text after a failure repeats that
    // failure, and a value that succeeds with nothing ends the chunk's values.
    HRESULT GetChunk(STAT_CHUNK *pStat);
    HRESULT GetText(ULONG *pcwcBuffer, WCHAR *awcBuffer);
    HRESULT GetValue(PROPVARIANT **ppPropValue);

private:
    IFilter *m_pChild = nullptr;
    HRESULT m_hrLastText = S_OK;  // last GetText result within the current chunk
};
