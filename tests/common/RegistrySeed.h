// Registry set-up for tests: seeds keys and values the way a product lays them out, undoes exactly
// what it did, and prints parts of the registry as text so a test can compare before and after.
// Everything goes through the Reg* API of the test process itself, so a 32-bit test sees the same
// (redirected) view as the code under test.
#pragma once
#include <windows.h>
#include <string>
#include <vector>

// Every key below root\path with its values (name, type, data in hex), names sorted;
// "<absent>" when the key does not exist.
std::wstring SnapshotTree(HKEY root, const std::wstring &path);
// The names of the key's direct subkeys and values only (cheap for big keys such as CLSID).
std::wstring SnapshotNames(HKEY root, const std::wstring &path);

class CRegistrySeed
{
public:
    CRegistrySeed() = default;
    ~CRegistrySeed() { Undo(); }
    CRegistrySeed(const CRegistrySeed &) = delete;
    CRegistrySeed &operator=(const CRegistrySeed &) = delete;

    // Creates root\path, remembering every key along it that did not exist yet.
    bool CreateKey(HKEY root, const std::wstring &path);
    // Creates the key if needed and sets a value (an empty name is the default value), remembering
    // the value's earlier data so that Undo can put it back.
    bool SetRaw(HKEY root, const std::wstring &path, const std::wstring &name, DWORD type, const void *data,
                DWORD cb);
    bool SetString(HKEY root, const std::wstring &path, const std::wstring &name, const std::wstring &text,
                   DWORD type = REG_SZ);  // stored with its NUL
    bool SetDword(HKEY root, const std::wstring &path, const std::wstring &name, DWORD value);

    // Restores the values it changed and deletes the keys it created, newest first.
    void Undo();

    // SnapshotTree of every key it created or set a value in.
    std::wstring Snapshot() const;

private:
    struct Key {
        HKEY root;
        std::wstring path;
    };
    struct Value {
        HKEY root;
        std::wstring path;
        std::wstring name;
        bool existed;
        DWORD type;
        std::vector<BYTE> data;
    };
    std::vector<Key> m_created;
    std::vector<Key> m_touched;
    std::vector<Value> m_values;
};
