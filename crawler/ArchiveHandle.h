// One archive handle of the UnRAR library: opening it (charged to the run's account), passing,
// decoding and the charge for what its decoder holds. The walk that keeps two of them in step is
// CRarFileCrawler's.
#pragma once
#include <windows.h>
#include <objidl.h>

#include <memory>

#include "crawler/ArchiveStream.h"
#include "support/Capacities.h"
#include "support/RunBudget.h"
#include "dll.hpp"

// What the library needs besides any window while an archive handle is open (its archive,
// command and decoder records, header buffers, the stream reader's read-ahead block), charged
// to the run when the handle is opened. Measured with the test host's count of our heap.
constexpr ULONGLONG ARCHIVE_HANDLE_BYTES = 1024 * 1024;
// An open that reads the archive comment as well, while it opens: the comment's decoder (the
// library holds it to 16 MB, a PPMd model included), its bytes and their copies come on top (the
// library reads comments of up to COMMENT_MAX_BYTES).
constexpr ULONGLONG COMMENT_MAX_BYTES = 256 * 1024;
constexpr ULONGLONG COMMENT_DECODER_BYTES = 16 * 1024 * 1024;
constexpr ULONGLONG COMMENT_OPEN_BYTES = ARCHIVE_HANDLE_BYTES + COMMENT_DECODER_BYTES + 4 * COMMENT_MAX_BYTES;

// One archive handle of the library and what was last read on it. UnRAR reads some fields of
// both records as the caller's input (comment and link-target buffers, callbacks), so they are
// zeroed here and never hold anything but what we put there.
struct ArchiveHandle {
    HANDLE hArchive = nullptr;
    std::unique_ptr<CArchiveStreamReader> reader;  // the handle's own position in a host's stream
    RAROpenArchiveDataEx open{};
    RARHeaderDataEx header{};
    // The whole path of the entry read last (header.FileNameW holds its first 1023 characters
    // only), as its name chunk shows it: slashes made backslashes, a leading drive ("X:") gone.
    // CCH_RUN_PATH characters, made when the handle is opened. Its length, and how much of it is
    // the folder, up to and including its last backslash.
    std::unique_ptr<wchar_t[]> path;
    size_t cchPath = 0, cchFolder = 0;
    bool bPending = false;  // a header was read and not yet passed with RARProcessFileW
    CBudgetCharge opened;   // ARCHIVE_HANDLE_BYTES while the handle is open
    CBudgetCharge decoder;  // what the handle's decoder holds, as it asks: window, PPMd model, filters

    // Opens the archive in the given mode, by its path or, when pStream is given, from the host's
    // stream: S_OK; E_OUTOFMEMORY when the run's account has no room for it, E_FAIL when the
    // library refuses it. With pComment, the archive comment is read into it as the archive
    // opens, when the account has room for the comment's decoder too (else it opens without).
    HRESULT Open(wchar_t *pszArchive, IStream *pStream, unsigned int mode, CRunBudget *pBudget,
                 char *pComment = nullptr, UINT cbComment = 0) noexcept;

    ArchiveHandle() noexcept = default;
    ~ArchiveHandle() { Close(); }
    ArchiveHandle(const ArchiveHandle &) = delete;
    ArchiveHandle &operator=(const ArchiveHandle &) = delete;

    void Close() noexcept;

    bool IsSolid() const noexcept { return (open.Flags & ROADF_SOLID) != 0; }

    // Passing an entry of a solid archive decompresses it: the next one's data builds on it.
    bool PassingDecompresses() const noexcept { return IsSolid(); }

    // Passes an entry without decompressing it (not for a solid archive's extract handle).
    int Skip() noexcept { return Process(RAR_SKIP, nullptr); }

    void ReadPath() noexcept;

    int Process(int operation, wchar_t *pszDestName) noexcept
    {
        bPending = false;
        return RARProcessFileW(hArchive, operation, nullptr, pszDestName);
    }

    // Reads the next header; a pending entry is passed first, without decompressing it. Link
    // targets are never asked for: link entries are named, not made.
    int ReadHeader() noexcept
    {
        if (bPending)
            Skip();
        header.RedirName = nullptr;
        header.RedirNameSize = 0;
        const int result = RARReadHeaderEx(hArchive, &header);
        bPending = result == ERAR_SUCCESS;
        if (bPending)
            ReadPath();
        return result;
    }
};
