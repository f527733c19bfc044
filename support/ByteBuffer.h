// A document's bytes in memory: room is asked for once, and fails as a result rather than an
// exception, so that a document too large for the process costs that document only.
#pragma once
#include <windows.h>

#include <cstring>
#include <memory>
#include <new>

class CByteBuffer
{
public:
    CByteBuffer() noexcept = default;
    CByteBuffer(CByteBuffer &&other) noexcept { *this = std::move(other); }
    CByteBuffer &operator=(CByteBuffer &&other) noexcept
    {
        if (this != &other) {
            m_data = std::move(other.m_data);
            m_size = other.m_size;
            m_capacity = other.m_capacity;
            other.m_size = other.m_capacity = 0;
        }
        return *this;
    }
    CByteBuffer(const CByteBuffer &) = delete;
    CByteBuffer &operator=(const CByteBuffer &) = delete;

    // Empties the buffer and makes room for cb bytes; false, and nothing held, when there is none.
    bool Reserve(size_t cb) noexcept
    {
        Free();
        if (cb == 0)
            return true;
        m_data.reset(new (std::nothrow) BYTE[cb]);
        if (!m_data)
            return false;
        m_capacity = cb;
        return true;
    }
    // Adds bytes within the room reserved; false, and nothing added, past it.
    bool Append(const void *pv, size_t cb) noexcept
    {
        if (cb > m_capacity - m_size)
            return false;
        if (cb != 0)
            std::memcpy(m_data.get() + m_size, pv, cb);
        m_size += cb;
        return true;
    }
    void Free() noexcept
    {
        m_data.reset();
        m_size = m_capacity = 0;
    }
    const BYTE *Data() const noexcept { return m_data.get(); }
    size_t Size() const noexcept { return m_size; }

private:
    std::unique_ptr<BYTE[]> m_data;
    size_t m_size = 0;
    size_t m_capacity = 0;
};
