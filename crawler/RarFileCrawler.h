// The crawler over RAR archives, through the UnRAR library: one archive opened twice, a list
// handle that walks the headers and an extract handle kept in step that extracts entries.
#pragma once
#include "crawler/FileCrawlerBase.h"

class CRarFileCrawler : public CFileCrawlerBase
{
public:
    CRarFileCrawler(const wchar_t *pszArchive, const wchar_t *pszTempFolder);
    ~CRarFileCrawler() override;

    BOOL GetCurrentEntry(wchar_t *pszName, ULONG cchName, wchar_t *pszFolder, ULONG cchFolder,
                         wchar_t *pszExtractedPath, ULONG cchExtractedPath) override;
    BOOL GetEntryComment(wchar_t *pszComment) override;
    BOOL CloseArchive() override;
    BOOL IsEntryIgnored(const wchar_t *pszName, const wchar_t *pszFolder) override;
    HRESULT ReadNextEntry(wchar_t *pszName, ULONG cchName, wchar_t *pszFolder, ULONG cchFolder) override;
    HRESULT ExtractCurrentEntry(wchar_t *pszDestPath, ULONG cchDestPath) override;
    BOOL DeleteExtractedFile() override;

private:
    BOOL ReadExtractHeaderInStep();

    struct State;      // the UnRAR handles and records
    State *m_pState;   // owned
};
