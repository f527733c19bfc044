#include "RegistryTree.h"
#include "TestHelpers.h"
#include "support/Holders.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace {

std::wstring JoinPath(const std::wstring &path, const std::wstring &name)
{
    return path.empty() ? name : name.empty() ? path : path + L"\\" + name;
}

CRegValues ReadValues(HKEY hKey)
{
    CRegValues values;
    DWORD cchMaxName = 0, cbMaxData = 0;
    if (RegQueryInfoKeyW(hKey, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &cchMaxName, &cbMaxData,
                         nullptr, nullptr) != ERROR_SUCCESS)
        return values;
    std::vector<wchar_t> name(cchMaxName + 2);
    std::vector<BYTE> data(cbMaxData + 2);
    for (DWORD i = 0;; ++i) {
        DWORD cchName = static_cast<DWORD>(name.size());
        DWORD cbData = static_cast<DWORD>(data.size());
        CRegValue value;
        if (RegEnumValueW(hKey, i, name.data(), &cchName, nullptr, &value.type, data.data(), &cbData) != ERROR_SUCCESS)
            break;
        value.data.assign(data.begin(), data.begin() + cbData);
        values[std::wstring(name.data(), cchName)] = value;
    }
    return values;
}

void CaptureKey(HKEY hKey, const std::wstring &relative, CRegTree &tree)
{
    tree.keys[relative] = ReadValues(hKey);
    DWORD cchMaxSubkey = 0;
    if (RegQueryInfoKeyW(hKey, nullptr, nullptr, nullptr, nullptr, &cchMaxSubkey, nullptr, nullptr, nullptr, nullptr,
                         nullptr, nullptr) != ERROR_SUCCESS)
        return;
    std::vector<wchar_t> name(cchMaxSubkey + 2);
    std::vector<std::wstring> subkeys;
    for (DWORD i = 0;; ++i) {
        DWORD cchName = static_cast<DWORD>(name.size());
        if (RegEnumKeyExW(hKey, i, name.data(), &cchName, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        subkeys.emplace_back(name.data(), cchName);
    }
    for (const std::wstring &subkey : subkeys) {
        CRegKey child;
        if (RegOpenKeyExW(hKey, subkey.c_str(), 0, KEY_READ, child.Put()) == ERROR_SUCCESS)
            CaptureKey(child.Get(), JoinPath(relative, subkey), tree);
    }
}

std::string DescribeValue(const CRegValue &value)
{
    if ((value.type == REG_SZ || value.type == REG_EXPAND_SZ) && value.data.size() % 2 == 0) {
        std::wstring text(reinterpret_cast<const wchar_t *>(value.data.data()), value.data.size() / 2);
        std::string out = (value.type == REG_SZ ? "REG_SZ \"" : "REG_EXPAND_SZ \"");
        bool terminated = !text.empty() && text.back() == L'\0';
        if (terminated)
            text.pop_back();
        return out + Narrow(text) + "\"" + (terminated ? "" : " (no NUL)");
    }
    std::string out = "type " + std::to_string(value.type) + " [";
    for (BYTE b : value.data) {
        char hex[4];
        std::snprintf(hex, sizeof(hex), "%02x", b);
        out += hex;
    }
    return out + "]";
}

} // namespace

CRegTree CRegTree::Capture(HKEY hRoot, const std::wstring &path)
{
    CRegTree tree;
    CRegKey key;
    if (RegOpenKeyExW(hRoot, path.c_str(), 0, KEY_READ, key.Put()) == ERROR_SUCCESS)
        CaptureKey(key.Get(), L"", tree);
    return tree;
}

CRegValues CaptureValues(HKEY hRoot, const std::wstring &path)
{
    CRegKey key;
    if (RegOpenKeyExW(hRoot, path.c_str(), 0, KEY_READ, key.Put()) != ERROR_SUCCESS)
        return {};
    return ReadValues(key.Get());
}

void CRegTree::Restore(HKEY hRoot, const std::wstring &path) const
{
    if (path.empty())
        return;  // never the whole root
    RegDeleteTreeW(hRoot, path.c_str());
    // A parent's path sorts before its children's, so keys are created top-down.
    for (const auto &key : keys) {
        CRegKey created;
        if (RegCreateKeyExW(hRoot, JoinPath(path, key.first).c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                            KEY_ALL_ACCESS, nullptr, created.Put(), nullptr) != ERROR_SUCCESS)
            continue;
        for (const auto &value : key.second)
            RegSetValueExW(created.Get(), value.first.c_str(), 0, value.second.type, value.second.data.data(),
                           static_cast<DWORD>(value.second.data.size()));
    }
}

CRegTree CRegTree::Without(const std::wstring &relativePath) const
{
    CRegTree copy;
    for (const auto &key : keys) {
        const std::wstring &name = key.first;
        const bool below = name.size() > relativePath.size() && name[relativePath.size()] == L'\\' &&
                           _wcsnicmp(name.c_str(), relativePath.c_str(), relativePath.size()) == 0;
        if (_wcsicmp(name.c_str(), relativePath.c_str()) != 0 && !below)
            copy.keys.insert(key);
    }
    return copy;
}

CRegValue SzValue(const std::wstring &text)
{
    CRegValue value;
    value.type = REG_SZ;
    const BYTE *p = reinterpret_cast<const BYTE *>(text.c_str());
    value.data.assign(p, p + (text.size() + 1) * sizeof(wchar_t));
    return value;
}

void CRegTree::AddKey(const std::wstring &relativePath)
{
    keys[L""];
    for (size_t pos = relativePath.find(L'\\'); pos != std::wstring::npos; pos = relativePath.find(L'\\', pos + 1))
        keys[relativePath.substr(0, pos)];
    keys[relativePath];
}

CRegTree SzTree(std::initializer_list<std::pair<std::wstring, SzValues>> keys)
{
    CRegTree tree;
    for (const auto &key : keys) {
        tree.AddKey(key.first);
        CRegValues &values = tree.keys[key.first];
        for (const auto &value : key.second)
            values[value.first] = SzValue(value.second);
    }
    return tree;
}

std::string TreeDifferences(const CRegTree &expected, const CRegTree &actual)
{
    std::set<std::wstring> names;
    for (const auto &key : expected.keys)
        names.insert(key.first);
    for (const auto &key : actual.keys)
        names.insert(key.first);
    std::string out;
    for (const std::wstring &name : names) {
        const std::string keyText = "[" + Narrow(name) + "]";
        auto e = expected.keys.find(name);
        auto a = actual.keys.find(name);
        if (e == expected.keys.end()) {
            out += "  unexpected key " + keyText + "\n";
            continue;
        }
        if (a == actual.keys.end()) {
            out += "  missing key " + keyText + "\n";
            continue;
        }
        std::set<std::wstring> valueNames;
        for (const auto &v : e->second)
            valueNames.insert(v.first);
        for (const auto &v : a->second)
            valueNames.insert(v.first);
        for (const std::wstring &valueName : valueNames) {
            const std::string label = keyText + " " + (valueName.empty() ? "(default)" : Narrow(valueName));
            auto ev = e->second.find(valueName);
            auto av = a->second.find(valueName);
            if (ev == e->second.end())
                out += "  unexpected value " + label + " = " + DescribeValue(av->second) + "\n";
            else if (av == a->second.end())
                out += "  missing value " + label + " (expected " + DescribeValue(ev->second) + ")\n";
            else if (ev->second != av->second)
                out += "  value " + label + " = " + DescribeValue(av->second) + ", expected " +
                       DescribeValue(ev->second) + "\n";
        }
    }
    return out;
}

LONG CreateRegKey(HKEY hRoot, const std::wstring &path)
{
    CRegKey key;
    return RegCreateKeyExW(hRoot, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                           key.Put(), nullptr);
}

LONG SetRegValue(HKEY hRoot, const std::wstring &path, const wchar_t *pszName, DWORD type, const std::wstring &text)
{
    CRegKey key;
    LONG err = RegCreateKeyExW(hRoot, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                               key.Put(), nullptr);
    if (err != ERROR_SUCCESS)
        return err;
    return RegSetValueExW(key.Get(), pszName, 0, type, reinterpret_cast<const BYTE *>(text.c_str()),
                          static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}
