// Typed GetProcAddress: one place for the cast from FARPROC to the real function type.
#pragma once
#include <windows.h>

template <class F>
inline F GetProcAs(HMODULE module, const char *name) noexcept
{
    // Through a generic function pointer, which the compiler accepts as an exact round trip.
    return reinterpret_cast<F>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}
