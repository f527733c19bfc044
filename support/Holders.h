// Small owners for Win32 and COM resources. Each closes what it holds in its destructor and
// offers Attach/Detach; none of them can be copied. Usage:
//   CHandle h(CreateMutexW(...));          // CloseHandle at scope end
//   CComPtr<IFilter> p; hr = obj->QueryInterface(IID_IFilter, p.PutVoid());
#pragma once
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <utility>

// Generic holder: Traits::Invalid() is the empty value, Traits::Close(h) releases a held value.
template <class Traits>
class CHolder
{
public:
    using Type = typename Traits::Type;

    CHolder() noexcept : m_h(Traits::Invalid()) {}
    explicit CHolder(Type h) noexcept : m_h(h) {}
    ~CHolder() { Close(); }
    CHolder(const CHolder &) = delete;
    CHolder &operator=(const CHolder &) = delete;
    CHolder(CHolder &&other) noexcept : m_h(other.Detach()) {}
    CHolder &operator=(CHolder &&other) noexcept
    {
        if (this != &other)
            Attach(other.Detach());
        return *this;
    }

    Type Get() const noexcept { return m_h; }
    bool IsValid() const noexcept { return m_h != Traits::Invalid(); }
    explicit operator bool() const noexcept { return IsValid(); }

    // Takes ownership of h, closing whatever was held before.
    void Attach(Type h) noexcept
    {
        Close();
        m_h = h;
    }
    // Gives up ownership without closing.
    Type Detach() noexcept
    {
        Type h = m_h;
        m_h = Traits::Invalid();
        return h;
    }
    void Close() noexcept
    {
        if (IsValid()) {
            Traits::Close(m_h);
            m_h = Traits::Invalid();
        }
    }
    // For out-parameters: closes the held value and exposes the storage.
    Type *Put() noexcept
    {
        Close();
        return &m_h;
    }

private:
    Type m_h;
};

struct CHandleTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { ::CloseHandle(h); }
};
struct CFileHandleTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) noexcept { ::CloseHandle(h); }
};
struct CFindHandleTraits {
    using Type = HANDLE;
    static Type Invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void Close(Type h) noexcept { ::FindClose(h); }
};
struct CRegKeyTraits {
    using Type = HKEY;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { ::RegCloseKey(h); }
};
struct CLibraryTraits {
    using Type = HMODULE;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { ::FreeLibrary(h); }
};
struct CCoLibraryTraits {
    using Type = HINSTANCE;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type h) noexcept { ::CoFreeLibrary(h); }
};
struct CCoTaskMemTraits {
    using Type = void *;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type p) noexcept { ::CoTaskMemFree(p); }
};

struct CBstrTraits {
    using Type = BSTR;
    static Type Invalid() noexcept { return nullptr; }
    static void Close(Type b) noexcept { ::SysFreeString(b); }
};

using CHandle = CHolder<CHandleTraits>;          // kernel objects: mutexes, events, processes
using CFileHandle = CHolder<CFileHandleTraits>;  // CreateFileW results
using CFindHandle = CHolder<CFindHandleTraits>;  // FindFirstFileW results
using CRegKey = CHolder<CRegKeyTraits>;          // an open registry key (for writing; reads use CRegistry)
using CLibrary = CHolder<CLibraryTraits>;        // a LoadLibraryW reference
using CCoLibrary = CHolder<CCoLibraryTraits>;    // a CoLoadLibrary reference
using CCoTaskMem = CHolder<CCoTaskMemTraits>;    // CoTaskMemAlloc memory
using CBstr = CHolder<CBstrTraits>;              // a SysAllocString string (NULL is the empty string)

// Releases a COM pointer and clears it at once.
template <class T>
inline void SafeRelease(T *&p) noexcept
{
    if (p != nullptr) {
        T *tmp = p;
        p = nullptr;
        tmp->Release();
    }
}

// A COM reference: Release in the destructor; AddRef on copy.
template <class T>
class CComPtr
{
public:
    CComPtr() noexcept = default;
    CComPtr(T *p) noexcept : m_p(p)
    {
        if (m_p != nullptr)
            m_p->AddRef();
    }
    CComPtr(const CComPtr &o) noexcept : CComPtr(o.m_p) {}
    CComPtr(CComPtr &&o) noexcept : m_p(o.Detach()) {}
    ~CComPtr() { SafeRelease(m_p); }
    CComPtr &operator=(CComPtr o) noexcept
    {
        std::swap(m_p, o.m_p);
        return *this;
    }

    T *Get() const noexcept { return m_p; }
    T *operator->() const noexcept { return m_p; }
    explicit operator bool() const noexcept { return m_p != nullptr; }

    // Takes over a reference without adding one.
    void Attach(T *p) noexcept
    {
        SafeRelease(m_p);
        m_p = p;
    }
    T *Detach() noexcept
    {
        T *p = m_p;
        m_p = nullptr;
        return p;
    }
    void Reset() noexcept { SafeRelease(m_p); }
    T **Put() noexcept
    {
        SafeRelease(m_p);
        return &m_p;
    }
    void **PutVoid() noexcept { return reinterpret_cast<void **>(Put()); }

private:
    T *m_p = nullptr;
};
