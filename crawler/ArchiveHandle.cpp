#include "crawler/ArchiveHandle.h"

#include <cwchar>
#include <new>

namespace {

// The library's decoder asks before it allocates its window, a PPMd model or a filter buffer,
// and says what it frees: both go to the handle's charge against the run's account. A refusal
// costs that entry only (ERAR_NO_MEMORY, or ERAR_BAD_DATA for a PPMd model).
int PASCAL ChargeDecoderMemory(LPARAM userData, long long delta)
{
    auto *pCharge = reinterpret_cast<CBudgetCharge *>(userData);
    if (delta >= 0)
        return pCharge->TryResize(pCharge->Size() + static_cast<ULONGLONG>(delta)) ? 1 : 0;
    const auto cbFreed = static_cast<ULONGLONG>(-delta);
    pCharge->TryResize(cbFreed < pCharge->Size() ? pCharge->Size() - cbFreed : 0);
    return 1;
}

} // namespace

HRESULT ArchiveHandle::Open(wchar_t *pszArchive, IStream *pStream, unsigned int mode, CRunBudget *pBudget,
                            char *pComment, UINT cbComment) noexcept
{
    Close();
    if (!path)
        path.reset(new (std::nothrow) wchar_t[CCH_RUN_PATH]);
    if (!path)
        return E_OUTOFMEMORY;
    path[0] = L'\0';
    opened = CBudgetCharge(pBudget);
    decoder = CBudgetCharge(pBudget);
    if (pComment == nullptr || !opened.TryResize(COMMENT_OPEN_BYTES)) {
        pComment = nullptr;
        if (!opened.TryResize(ARCHIVE_HANDLE_BYTES))
            return E_OUTOFMEMORY;
    }
    ZeroMemory(&open, sizeof(open));
    open.ArcNameW = pszArchive;
    open.OpenMode = mode;
    open.CmtBuf = pComment;
    open.CmtBufSize = pComment != nullptr ? cbComment : 0;
    if (pStream != nullptr) {
        reader.reset(new (std::nothrow) CArchiveStreamReader(pStream));
        hArchive = reader ? RAROpenArchiveStream(&open, reader->Callbacks()) : nullptr;
    } else {
        hArchive = RAROpenArchiveEx(&open);
    }
    // The comment was read as the archive opened: its decoder and copies are gone again.
    open.CmtBuf = nullptr;
    opened.TryResize(ARCHIVE_HANDLE_BYTES);
    if (hArchive != nullptr && open.OpenResult == ERAR_SUCCESS) {
        RARSetUnpackMemoryProc(hArchive, ChargeDecoderMemory, reinterpret_cast<LPARAM>(&decoder));
        return S_OK;
    }
    Close();
    return E_FAIL;
}

void ArchiveHandle::ReadPath() noexcept
{
    wchar_t *pszPath = path.get();
    RARGetFileNameW(hArchive, pszPath, static_cast<unsigned int>(CCH_RUN_PATH));
    if (pszPath[0] != L'\0' && pszPath[1] == L':')
        std::wmemmove(pszPath, pszPath + 2, std::wcslen(pszPath + 2) + 1);
    cchFolder = 0;
    for (cchPath = 0; pszPath[cchPath] != L'\0'; ++cchPath) {
        if (pszPath[cchPath] == L'/')
            pszPath[cchPath] = L'\\';
        if (pszPath[cchPath] == L'\\')
            cchFolder = cchPath + 1;
    }
}

void ArchiveHandle::Close() noexcept
{
    if (hArchive != nullptr)
        RARCloseArchive(hArchive);
    hArchive = nullptr;
    reader.reset();
    bPending = false;
    decoder.Reset();
    opened.Reset();
}
