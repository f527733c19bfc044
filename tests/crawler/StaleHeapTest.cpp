// A host process reuses its heap: the memory behind a new crawler may hold whatever an earlier
// object left there. UnRAR treats some header fields as buffers of the caller's (a link entry's
// target is copied to RedirName when its size field looks sane), so a crawler that handed it a
// record with stale bytes would let a link entry write text of the archive's choosing into the
// host. Here every allocation made while a crawler is built is filled with a pointer to a canary
// and a plausible size, and archives with links are walked: the canary must stay as it was.
#include <gtest/gtest.h>
#include "ArchiveTestHelpers.h"
#include "TestHelpers.h"
#include "childfilter/ChildFilterLoader.h"
#include "crawler/RarFileCrawler.h"

#include <filterr.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <new>

namespace {

constexpr size_t CANARY_CHARS = 4096;
constexpr uintptr_t STALE_SIZE = 512;  // characters; within what UnRAR accepts as a buffer size
wchar_t g_canary[CANARY_CHARS];

// -1: allocations are left as they come; 0 or 1: filled with (canary, size) pairs, the pointer
// at even (0) or odd (1) pointer-sized slots, so that one of the two phases lines a pointer field
// up with the size field that follows it, wherever the record lies in the block.
std::atomic<int> g_stalePhase{-1};

void FillStale(void *pBlock, size_t cb, int phase)
{
    auto *slots = static_cast<uintptr_t *>(pBlock);
    for (size_t i = 0; i < cb / sizeof(uintptr_t); ++i)
        slots[i] = (i % 2 == static_cast<size_t>(phase)) ? reinterpret_cast<uintptr_t>(g_canary) : STALE_SIZE;
}

} // namespace

// The crawler allocates its records with new (std::nothrow).
void *operator new(std::size_t cb, const std::nothrow_t &) noexcept
{
    void *pBlock = std::malloc(cb == 0 ? 1 : cb);
    const int phase = g_stalePhase.load();
    if (pBlock != nullptr && phase >= 0)
        FillStale(pBlock, cb, phase);
    return pBlock;
}

TEST(StaleHeap, LinkEntriesWriteNothingThroughLeftoverPointers)
{
    // A canary address whose low half is no plausible size, so that the phase that puts the
    // size into a pointer field leaves UnRAR nothing it would write through.
    ASSERT_GE(static_cast<uint32_t>(reinterpret_cast<uintptr_t>(g_canary)), 100000u);
    for (const wchar_t *archive : {L"symlink.rar", L"hardlink.rar"}) {
        for (int phase : {0, 1}) {
            SCOPED_TRACE(Narrow(archive) + " phase " + std::to_string(phase));
            for (size_t i = 0; i < CANARY_CHARS; ++i)
                g_canary[i] = L'#';
            CFindFilterFor noFilters({});
            CChildFilterLoader loader;
            g_stalePhase = phase;
            std::unique_ptr<CRarFileCrawler> crawler(new CRarFileCrawler(ArchivePath(archive).c_str(), nullptr));
            g_stalePhase = -1;

            int entries = 0;
            HRESULT hr = S_OK;
            while (entries < 16) {
                wchar_t name[CRAWLER_NAME_CHARS], folder[CRAWLER_NAME_CHARS], extracted[CRAWLER_NAME_CHARS];
                hr = WalkOneEntry(*crawler, loader, name, CRAWLER_NAME_CHARS, folder, CRAWLER_NAME_CHARS, extracted,
                                  CRAWLER_NAME_CHARS);
                if (hr != S_OK && hr != S_FALSE)
                    break;
                ++entries;
            }
            EXPECT_HR(FILTER_E_END_OF_CHUNKS, hr);
            EXPECT_EQ(2, entries);
            size_t changed = 0;
            for (size_t i = 0; i < CANARY_CHARS; ++i)
                changed += g_canary[i] != L'#';
            EXPECT_EQ(0u, changed) << "the canary now starts \"" << Narrow(std::wstring(g_canary, 16)) << "\"";
        }
    }
}
