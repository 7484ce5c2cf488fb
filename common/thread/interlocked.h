#pragma once

// Interlocked operations on 32-bit, 64-bit and pointer values, named apart
// from the Win32 macros they wrap. Increment and decrement answer the new
// value; exchange, exchange-add and compare-exchange answer the old one.

#include <windows.h>

inline LONG AtomicIncrement(volatile LONG* value) noexcept { return ::InterlockedIncrement(value); }
inline LONG64 AtomicIncrement(volatile LONG64* value) noexcept
{
    return ::InterlockedIncrement64(value);
}
inline LONG AtomicDecrement(volatile LONG* value) noexcept { return ::InterlockedDecrement(value); }
inline LONG64 AtomicDecrement(volatile LONG64* value) noexcept
{
    return ::InterlockedDecrement64(value);
}

inline LONG AtomicExchange(volatile LONG* target, LONG value) noexcept
{
    return ::InterlockedExchange(target, value);
}
inline LONG64 AtomicExchange(volatile LONG64* target, LONG64 value) noexcept
{
    return ::InterlockedExchange64(target, value);
}
inline void* AtomicExchange(void* volatile* target, void* value) noexcept
{
    return ::InterlockedExchangePointer(target, value);
}

inline LONG AtomicExchangeAdd(volatile LONG* target, LONG value) noexcept
{
    return ::InterlockedExchangeAdd(target, value);
}
inline LONG64 AtomicExchangeAdd(volatile LONG64* target, LONG64 value) noexcept
{
    return ::InterlockedExchangeAdd64(target, value);
}

inline LONG AtomicCompareExchange(volatile LONG* target, LONG exchange, LONG comparand) noexcept
{
    return ::InterlockedCompareExchange(target, exchange, comparand);
}
inline LONG64 AtomicCompareExchange(volatile LONG64* target, LONG64 exchange,
                                    LONG64 comparand) noexcept
{
    return ::InterlockedCompareExchange64(target, exchange, comparand);
}
inline void* AtomicCompareExchange(void* volatile* target, void* exchange, void* comparand) noexcept
{
    return ::InterlockedCompareExchangePointer(target, exchange, comparand);
}
