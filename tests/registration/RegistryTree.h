// A registry subtree held in memory: captured before a test, compared key by key and value by
// value, and written back afterwards so the test leaves the registry as it found it.
#pragma once
#include <windows.h>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

struct CRegValue {
    DWORD type = REG_NONE;
    std::vector<BYTE> data;
    bool operator==(const CRegValue &other) const { return type == other.type && data == other.data; }
    bool operator!=(const CRegValue &other) const { return !(*this == other); }
};

// Value name -> value; "" is the default value.
using CRegValues = std::map<std::wstring, CRegValue>;

class CRegTree
{
public:
    // Every key at and below hRoot\path, by path relative to it ("" = the key itself). An absent
    // key gives an empty tree.
    static CRegTree Capture(HKEY hRoot, const std::wstring &path);

    // Replaces whatever is at hRoot\path with this tree (deletes it when the tree is empty).
    // An empty path is refused: a root is never replaced.
    void Restore(HKEY hRoot, const std::wstring &path) const;

    bool Exists() const { return !keys.empty(); }
    bool operator==(const CRegTree &other) const { return keys == other.keys; }
    bool operator!=(const CRegTree &other) const { return !(*this == other); }

    // Adds an empty key (when missing) with every key above it.
    void AddKey(const std::wstring &relativePath);

    // A copy without the key at relativePath and everything below it.
    CRegTree Without(const std::wstring &relativePath) const;

    std::map<std::wstring, CRegValues> keys;
};

// The values of one key only (none when it is absent).
CRegValues CaptureValues(HKEY hRoot, const std::wstring &path);

CRegValue SzValue(const std::wstring &text);

// An expected tree in which every value is a REG_SZ: {relative key path, {{value name, text}, ...}}.
using SzValues = std::vector<std::pair<std::wstring, std::wstring>>;
CRegTree SzTree(std::initializer_list<std::pair<std::wstring, SzValues>> keys);

// Lines naming each key or value that differs; empty when the trees are equal.
std::string TreeDifferences(const CRegTree &expected, const CRegTree &actual);

#define EXPECT_TREE(expected, actual)                                                              \
    do {                                                                                           \
        const CRegTree expected_ = (expected);                                                     \
        const CRegTree actual_ = (actual);                                                         \
        EXPECT_TRUE(expected_ == actual_) << TreeDifferences(expected_, actual_);                  \
    } while (0)

// Writes one value; the key is created when missing.
LONG SetRegValue(HKEY hRoot, const std::wstring &path, const wchar_t *pszName, DWORD type, const std::wstring &text);
LONG CreateRegKey(HKEY hRoot, const std::wstring &path);
