#include "RegistrySeed.h"

#include <algorithm>
#include <cwctype>

namespace {

std::wstring RootName(HKEY root)
{
    if (root == HKEY_LOCAL_MACHINE)
        return L"HKLM";
    if (root == HKEY_CURRENT_USER)
        return L"HKCU";
    if (root == HKEY_CLASSES_ROOT)
        return L"HKCR";
    return L"HKEY";
}

std::wstring Hex(const BYTE *data, DWORD cb)
{
    static const wchar_t digits[] = L"0123456789abcdef";
    std::wstring text;
    for (DWORD i = 0; i < cb; ++i) {
        text += digits[data[i] >> 4];
        text += digits[data[i] & 15];
    }
    return text;
}

std::wstring Lower(std::wstring text)
{
    for (auto &ch : text)
        ch = static_cast<wchar_t>(std::towlower(ch));
    return text;
}

std::vector<std::wstring> SubkeyNames(HKEY key)
{
    std::vector<std::wstring> names;
    for (DWORD i = 0; i < 100000; ++i) {
        wchar_t name[256];
        DWORD cch = 256;
        if (RegEnumKeyExW(key, i, name, &cch, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        names.emplace_back(name, cch);
    }
    std::sort(names.begin(), names.end(), [](const auto &a, const auto &b) { return Lower(a) < Lower(b); });
    return names;
}

// Value names with their type and data, sorted by name.
std::vector<std::wstring> ValueLines(HKEY key, bool withData)
{
    std::vector<std::wstring> lines;
    for (DWORD i = 0; i < 100000; ++i) {
        wchar_t name[16384];
        DWORD cch = 16384;
        DWORD type = 0;
        DWORD cb = 0;
        if (RegEnumValueW(key, i, name, &cch, nullptr, &type, nullptr, &cb) != ERROR_SUCCESS)
            break;
        std::wstring line = L"\"" + std::wstring(name, cch) + L"\"";
        if (withData) {
            std::vector<BYTE> data(cb + 2);
            DWORD cbData = cb + 2;
            RegQueryValueExW(key, name, nullptr, nullptr, data.data(), &cbData);
            line += L"=" + std::to_wstring(type) + L":" + Hex(data.data(), std::min(cb, cbData));
        }
        lines.push_back(line);
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

void DumpTree(HKEY key, const std::wstring &label, std::wstring &out, int depth)
{
    out += L"[" + label + L"]\n";
    for (const auto &line : ValueLines(key, true))
        out += line + L"\n";
    if (depth > 32)
        return;
    for (const auto &name : SubkeyNames(key)) {
        HKEY sub = nullptr;
        if (RegOpenKeyExW(key, name.c_str(), 0, KEY_READ, &sub) != ERROR_SUCCESS) {
            out += L"[" + label + L"\\" + name + L"] <unreadable>\n";
            continue;
        }
        DumpTree(sub, label + L"\\" + name, out, depth + 1);
        RegCloseKey(sub);
    }
}

} // namespace

std::wstring SnapshotTree(HKEY root, const std::wstring &path)
{
    const std::wstring label = RootName(root) + L"\\" + path;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return L"[" + label + L"] <absent>\n";
    std::wstring out;
    DumpTree(key, label, out, 0);
    RegCloseKey(key);
    return out;
}

std::wstring SnapshotNames(HKEY root, const std::wstring &path)
{
    std::wstring out = L"[" + RootName(root) + L"\\" + path + L"]";
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return out + L" <absent>\n";
    out += L"\n";
    for (const auto &name : SubkeyNames(key))
        out += name + L"\\\n";
    for (const auto &line : ValueLines(key, false))
        out += line + L"\n";
    RegCloseKey(key);
    return out;
}

bool CRegistrySeed::CreateKey(HKEY root, const std::wstring &path)
{
    std::wstring sofar;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(L'\\', start);
        if (end == std::wstring::npos)
            end = path.size();
        sofar = path.substr(0, end);
        HKEY key = nullptr;
        DWORD disposition = 0;
        if (RegCreateKeyExW(root, sofar.c_str(), 0, nullptr, 0, KEY_READ | KEY_WRITE, nullptr, &key, &disposition) !=
            ERROR_SUCCESS)
            return false;
        RegCloseKey(key);
        if (disposition == REG_CREATED_NEW_KEY)
            m_created.push_back({root, sofar});
        start = end + 1;
    }
    m_touched.push_back({root, path});
    return true;
}

bool CRegistrySeed::SetRaw(HKEY root, const std::wstring &path, const std::wstring &name, DWORD type,
                           const void *data, DWORD cb)
{
    if (!CreateKey(root, path))
        return false;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS)
        return false;
    Value old{root, path, name, false, 0, {}};
    DWORD cbOld = 0;
    if (RegQueryValueExW(key, name.c_str(), nullptr, &old.type, nullptr, &cbOld) == ERROR_SUCCESS) {
        old.existed = true;
        old.data.resize(cbOld);
        RegQueryValueExW(key, name.c_str(), nullptr, nullptr, old.data.data(), &cbOld);
    }
    const LONG err = RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE *>(data), cb);
    RegCloseKey(key);
    if (err != ERROR_SUCCESS)
        return false;
    m_values.push_back(std::move(old));
    return true;
}

bool CRegistrySeed::SetString(HKEY root, const std::wstring &path, const std::wstring &name,
                              const std::wstring &text, DWORD type)
{
    return SetRaw(root, path, name, type, text.c_str(), static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

bool CRegistrySeed::SetDword(HKEY root, const std::wstring &path, const std::wstring &name, DWORD value)
{
    return SetRaw(root, path, name, REG_DWORD, &value, sizeof(value));
}

void CRegistrySeed::Undo()
{
    for (auto it = m_values.rbegin(); it != m_values.rend(); ++it) {
        HKEY key = nullptr;
        if (RegOpenKeyExW(it->root, it->path.c_str(), 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS)
            continue;
        if (it->existed)
            RegSetValueExW(key, it->name.c_str(), 0, it->type, it->data.data(), static_cast<DWORD>(it->data.size()));
        else
            RegDeleteValueW(key, it->name.c_str());
        RegCloseKey(key);
    }
    m_values.clear();
    for (auto it = m_created.rbegin(); it != m_created.rend(); ++it)
        RegDeleteTreeW(it->root, it->path.c_str());  // the key and anything put below it
    m_created.clear();
    m_touched.clear();
}

std::wstring CRegistrySeed::Snapshot() const
{
    std::wstring out;
    for (const auto &key : m_touched)
        out += SnapshotTree(key.root, key.path);
    return out;
}
