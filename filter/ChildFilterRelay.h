// Holds a second reference to the current child filter and forwards the three stream calls to it.
#pragma once
#include <windows.h>
#include <filter.h>

class CChildFilterRelay
{
public:
    CChildFilterRelay() noexcept = default;
    ~CChildFilterRelay();
    CChildFilterRelay(const CChildFilterRelay &) = delete;
    CChildFilterRelay &operator=(const CChildFilterRelay &) = delete;

    // Holds `child` (AddRef) instead of the current one (Release); NULL releases the current one.
    void Attach(IFilter *child) noexcept;
    IFilter *Child() const noexcept { return m_pChild; }

    // E_POINTER without a child; otherwise the child's answer.
    HRESULT GetChunk(STAT_CHUNK *pStat);
    HRESULT GetText(ULONG *pcwcBuffer, WCHAR *awcBuffer);
    HRESULT GetValue(PROPVARIANT **ppPropValue);

private:
    IFilter *m_pChild = nullptr;
    HRESULT m_hrLastText = S_OK;  // last GetText result within the current chunk
};
