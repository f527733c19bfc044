#include "filter/ChildFilterRelay.h"

#include <filterr.h>

void CChildFilterRelay::Attach(IFilter *child) noexcept
{
    m_pChild = child;
    m_hrLastText = S_OK;
}

HRESULT CChildFilterRelay::GetChunk(STAT_CHUNK *pStat)
{
    if (m_pChild == nullptr)
        return E_POINTER;
    const HRESULT hr = m_pChild->GetChunk(pStat);
    m_hrLastText = S_OK;
    return hr;
}

HRESULT CChildFilterRelay::GetText(ULONG *pcwcBuffer, WCHAR *awcBuffer)
{
    if (m_pChild == nullptr)
        return E_POINTER;
    // After any other answer the child's text for this chunk is over: repeat that answer.
    if (m_hrLastText == S_OK || m_hrLastText == FILTER_S_LAST_TEXT || m_hrLastText == FILTER_E_NO_MORE_TEXT) {
        const ULONG cwcBuffer = *pcwcBuffer;
        m_hrLastText = m_pChild->GetText(pcwcBuffer, awcBuffer);
        // A child's count never reaches past the host's buffer.
        if (*pcwcBuffer > cwcBuffer)
            *pcwcBuffer = cwcBuffer;
    } else {
        *pcwcBuffer = 0;
    }
    return m_hrLastText;
}

HRESULT CChildFilterRelay::GetValue(PROPVARIANT **ppPropValue)
{
    if (m_pChild == nullptr)
        return E_POINTER;
    const HRESULT hr = m_pChild->GetValue(ppPropValue);
    // A child's success without a value would hand the host nothing to read: the chunk's values
    // are over.
    if (SUCCEEDED(hr) && *ppPropValue == nullptr)
        return FILTER_E_NO_MORE_VALUES;
    return hr;
}
