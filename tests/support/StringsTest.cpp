// Bounded strings: what lands in the destination, what is returned, and that nothing is written
// past the capacity (a guard character after the buffer must survive every call).
#include <gtest/gtest.h>
#include <string>

#include "TestHelpers.h"
#include "support/SafeString.h"

namespace {

constexpr wchar_t GUARD = L'#';

struct CopyCase {
    const wchar_t *source;
    size_t capacity;
    HRESULT expected;
    const wchar_t *result;  // NULL: destination untouched
};

const CopyCase kCopyCases[] = {
    {L"abcd", 5, S_OK, L"abcd"},                                  // exactly capacity - 1 fits
    {L"abcde", 5, STRSAFE_E_INSUFFICIENT_BUFFER, L"abcd"},        // cut, still terminated
    {L"a", 1, STRSAFE_E_INSUFFICIENT_BUFFER, L""},
    {L"", 1, S_OK, L""},
    {L"abc", 0, E_INVALIDARG, nullptr},
    {L"abc", PELLUCIDOR_MAX_CCH + 1, E_INVALIDARG, nullptr},     // "negative" capacity
};

} // namespace

TEST(SafeStringCopy, Table)
{
    for (const CopyCase &c : kCopyCases) {
        wchar_t buffer[16];
        std::fill(std::begin(buffer), std::end(buffer), GUARD);
        const size_t writable = c.capacity <= 8 ? c.capacity : 8;
        const HRESULT hr = SafeStringCopy(buffer, c.capacity, c.source);
        EXPECT_HR(c.expected, hr) << Narrow(c.source) << " into " << c.capacity;
        if (c.result == nullptr)
            EXPECT_EQ(GUARD, buffer[0]) << "destination touched for " << Narrow(c.source);
        else
            EXPECT_EQ(std::wstring(c.result), std::wstring(buffer)) << Narrow(c.source);
        EXPECT_EQ(GUARD, buffer[writable == 0 ? 0 : writable]) << "written past capacity " << c.capacity;
    }
}

TEST(SafeStringLength, CountsOnlyWithinTheLimit)
{
    size_t length = MARKER;
    EXPECT_HR(E_INVALIDARG, SafeStringLength(L"abc", 3, &length));
    EXPECT_EQ(0u, length);
    EXPECT_HR(S_OK, SafeStringLength(L"abc", 4, &length));
    EXPECT_EQ(3u, length);
    length = MARKER;
    EXPECT_HR(E_INVALIDARG, SafeStringLength(L"", 0, &length));
    EXPECT_EQ(0u, length);
    EXPECT_HR(S_OK, SafeStringLength(L"abc", 4, nullptr));
}

TEST(SafeStringCat, AppendsTruncatesAndRefusesUnterminated)
{
    wchar_t buffer[8] = L"ab";
    EXPECT_HR(S_OK, SafeStringCat(buffer, 8, L"cd"));
    EXPECT_EQ(std::wstring(L"abcd"), buffer);
    EXPECT_HR(STRSAFE_E_INSUFFICIENT_BUFFER, SafeStringCat(buffer, 6, L"efgh"));
    EXPECT_EQ(std::wstring(L"abcde"), buffer);

    wchar_t full[4] = {L'x', L'y', L'z', L'w'};  // no NUL within the capacity
    EXPECT_HR(E_INVALIDARG, SafeStringCat(full, 4, L"q"));
    EXPECT_EQ(L'w', full[3]);
    EXPECT_HR(E_INVALIDARG, SafeStringCat(buffer, 0, L"q"));
}

TEST(ReplaceChar, SplitsInPlaceWhenReplacingByNul)
{
    wchar_t text[] = L"a b c";
    EXPECT_EQ(5u, ReplaceChar(text, L' ', L'\0'));
    EXPECT_EQ(std::wstring(L"a"), text);
    EXPECT_EQ(std::wstring(L"b"), text + 2);
    EXPECT_EQ(std::wstring(L"c"), text + 4);

    wchar_t path[] = L"a/b/c";
    EXPECT_EQ(5u, ReplaceChar(path, L'/', L'\\'));
    EXPECT_EQ(std::wstring(L"a\\b\\c"), path);
}
