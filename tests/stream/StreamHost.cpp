#include "StreamHost.h"
#include <gtest/gtest.h>
#include "FilterHost.h"
#include "TestHelpers.h"
#include "filter/IFilterBase.h"

#include <filterr.h>
#include <cstdio>
#include <new>

HRESULT LoadAndInit(IFilter *pFilter, const std::wstring &path)
{
    const HRESULT hr = LoadFile(pFilter, path);
    return FAILED(hr) ? hr : InitFilter(pFilter);
}

std::vector<HostChunk> PullAll(IFilter *pFilter, ULONG cwcBuffer)
{
    std::vector<HostChunk> chunks;
    std::vector<WCHAR> buffer(cwcBuffer + 1);
    for (int i = 0; i < 100; ++i) {
        HostChunk chunk;
        chunk.hr = pFilter->GetChunk(&chunk.stat);
        if (chunk.hr == FILTER_E_END_OF_CHUNKS)
            break;
        if (SUCCEEDED(chunk.hr)) {
            for (int piece = 0; piece < 10000; ++piece) {
                ULONG cwc = cwcBuffer;
                chunk.textEnd = pFilter->GetText(&cwc, buffer.data());
                if (FAILED(chunk.textEnd))
                    break;
                chunk.pieces.push_back(cwc);
                chunk.text.append(buffer.data(), cwc);
            }
            for (int value = 0; value < 100; ++value) {
                PROPVARIANT *pValue = nullptr;
                chunk.valueEnd = pFilter->GetValue(&pValue);
                if (FAILED(chunk.valueEnd))
                    break;
                if (pValue != nullptr && pValue->vt == VT_LPWSTR)
                    chunk.values.emplace_back(pValue->pwszVal);
                else
                    chunk.values.push_back(L"vt=" + std::to_wstring(pValue != nullptr ? pValue->vt : 0));
                if (pValue != nullptr) {
                    PropVariantClear(pValue);
                    CoTaskMemFree(pValue);
                }
            }
        }
        chunks.push_back(chunk);
    }
    return chunks;
}

std::string DescribeStream(const std::vector<HostChunk> &chunks)
{
    std::string text;
    for (const HostChunk &c : chunks) {
        char line[200];
        std::snprintf(line, sizeof(line), "%s id=%lu src=%lu flags=%d prop=%08lX/%lu", HrText(c.hr).c_str(),
                      c.stat.idChunk, c.stat.idChunkSource, static_cast<int>(c.stat.flags),
                      c.stat.attribute.guidPropSet.Data1, c.stat.attribute.psProperty.propid);
        text += line;
        if (!c.text.empty() || c.stat.flags == CHUNK_TEXT)
            text += " text=\"" + Narrow(c.text) + "\"";
        for (const std::wstring &v : c.values)
            text += " value=\"" + Narrow(v) + "\"";
        text += "\n";
    }
    return text;
}

namespace {
constexpr const wchar_t *SCRATCH_PARENT = L"Software\\PellucidorTest";
constexpr const wchar_t *SCRATCH_KEY = L"Software\\PellucidorTest\\NoChildFilters";
} // namespace

CNoChildFilters::CNoChildFilters()
{
    RegDeleteTreeW(HKEY_CURRENT_USER, SCRATCH_KEY);
    EXPECT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, SCRATCH_KEY, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                             m_scratch.Put(), nullptr));
    EXPECT_EQ(ERROR_SUCCESS, RegOverridePredefKey(HKEY_LOCAL_MACHINE, m_scratch.Get()));
}

CNoChildFilters::~CNoChildFilters()
{
    RegOverridePredefKey(HKEY_LOCAL_MACHINE, nullptr);
    m_scratch.Close();
    RegDeleteTreeW(HKEY_CURRENT_USER, SCRATCH_KEY);
    RegDeleteKeyW(HKEY_CURRENT_USER, SCRATCH_PARENT);  // only when nothing else is in it
}
