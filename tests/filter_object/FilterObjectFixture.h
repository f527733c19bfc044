// Every filter-object test ends where it started: no run folder of its own left in the temp
// folder, and no object, factory or lock keeping the DLL.
#pragma once
#include <gtest/gtest.h>
#include <vector>

#include "FilterHost.h"
#include "TestHelpers.h"

class FilterObjectTest : public ::testing::Test
{
protected:
    void SetUp() override { m_runFoldersBefore = RunFolders(); }
    void TearDown() override
    {
        EXPECT_TRUE(NewRunFolders(m_runFoldersBefore).empty()) << "run folders left in the temp folder";
        EXPECT_HR(S_OK, m_dll.CanUnloadNow()) << "an object, factory or lock is still alive";
    }

    std::vector<std::wstring> NewFolders() const { return NewRunFolders(m_runFoldersBefore); }
    std::wstring RunFolderPath(const std::wstring &name) const { return TempFolder() + name; }

    // A new object with plain.rar loaded and initialised into *pFilter; the full path of the one
    // run folder it made, or empty (with a failure reported) when it made none.
    std::wstring StartRun(CComPtr<IFilter> *pFilter)
    {
        *pFilter = NewFilter(m_dll);
        if (!*pFilter)
            return L"";
        EXPECT_HR(S_OK, LoadFile(pFilter->Get(), FilterObjectArchive(L"plain.rar")));
        EXPECT_HR(S_OK, InitFilter(pFilter->Get()));
        const std::vector<std::wstring> made = NewFolders();
        EXPECT_EQ(1u, made.size()) << "run folders made";
        return made.size() == 1 ? RunFolderPath(made[0]) : L"";
    }

    CProductDll m_dll;
    std::vector<std::wstring> m_runFoldersBefore;
};

inline void *MarkerPointer() { return reinterpret_cast<void *>(static_cast<UINT_PTR>(MARKER)); }
