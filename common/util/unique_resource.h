#pragma once

// One move-only owner for every kind of system resource. Each kind is a traits
// struct naming the raw type, the value that means "none" and how to free it.

#include <windows.h>

#include <type_traits>
#include <utility>

template <typename Traits>
class unique_resource {
public:
    using type = typename Traits::type;

    unique_resource() noexcept : value_(Traits::none()) {}
    explicit unique_resource(type value) noexcept : value_(value) {}
    ~unique_resource() { reset(); }

    unique_resource(const unique_resource&) = delete;
    unique_resource& operator=(const unique_resource&) = delete;
    unique_resource(unique_resource&& other) noexcept : value_(other.release()) {}
    unique_resource& operator=(unique_resource&& other) noexcept
    {
        if (this != &other) {
            reset(other.release());
        }
        return *this;
    }

    type get() const noexcept { return value_; }
    // For owners of pointers (COM interfaces, buffers): reach the pointee.
    template <typename U = type, typename = std::enable_if_t<std::is_pointer_v<U>>>
    U operator->() const noexcept
    {
        return value_;
    }
    explicit operator bool() const noexcept { return value_ != Traits::none(); }

    type release() noexcept { return std::exchange(value_, Traits::none()); }

    // Frees the held value, keeping the thread's last error: a caller that is
    // about to report a failure must still see the status that caused it.
    void reset(type value = Traits::none()) noexcept
    {
        type old = std::exchange(value_, value);
        if (old != Traits::none()) {
            const DWORD lastError = ::GetLastError();
            Traits::close(old);
            ::SetLastError(lastError);
        }
    }

    // For out-parameters: frees what is held and hands out the slot.
    type* put() noexcept
    {
        reset();
        return &value_;
    }

private:
    type value_;
};

struct handle_traits {
    using type = HANDLE;
    static type none() noexcept { return nullptr; }
    static void close(type h) noexcept { ::CloseHandle(h); }
};

// Files and snapshots say "none" with INVALID_HANDLE_VALUE.
struct file_handle_traits {
    using type = HANDLE;
    static type none() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(type h) noexcept { ::CloseHandle(h); }
};

template <typename T>
struct local_traits {
    using type = T;
    static type none() noexcept { return nullptr; }
    static void close(type p) noexcept { ::LocalFree(reinterpret_cast<HLOCAL>(p)); }
};

struct module_traits {
    using type = HMODULE;
    static type none() noexcept { return nullptr; }
    static void close(type m) noexcept { ::FreeLibrary(m); }
};

struct view_traits {
    using type = void*;
    static type none() noexcept { return nullptr; }
    static void close(type p) noexcept { ::UnmapViewOfFile(p); }
};

struct hkey_traits {
    using type = HKEY;
    static type none() noexcept { return nullptr; }
    static void close(type k) noexcept { ::RegCloseKey(k); }
};

struct sid_traits {
    using type = PSID;
    static type none() noexcept { return nullptr; }
    static void close(type s) noexcept { ::FreeSid(s); }
};

using unique_handle = unique_resource<handle_traits>;
using unique_file = unique_resource<file_handle_traits>;
template <typename T>
using unique_local = unique_resource<local_traits<T>>;
using unique_module = unique_resource<module_traits>;
using unique_view = unique_resource<view_traits>;
using unique_hkey = unique_resource<hkey_traits>;
using unique_sid = unique_resource<sid_traits>;

// A COM interface pointer holding one reference, released by the owner.
template <typename T>
struct com_traits {
    using type = T*;
    static type none() noexcept { return nullptr; }
    static void close(type p) noexcept { p->Release(); }
};
template <typename T>
using com_ptr = unique_resource<com_traits<T>>;

// Takes a further reference on `p` for the new owner.
template <typename T>
com_ptr<T> com_ref(T* p) noexcept
{
    if (p != nullptr) {
        p->AddRef();
    }
    return com_ptr<T>(p);
}

// Queries `from` for Q; an empty owner when it does not answer.
template <typename Q, typename T>
com_ptr<Q> com_query(T* from, HRESULT* result = nullptr) noexcept
{
    Q* found = nullptr;
    const HRESULT hr = from != nullptr
                           ? from->QueryInterface(__uuidof(Q), reinterpret_cast<void**>(&found))
                           : E_POINTER;
    if (result != nullptr) {
        *result = hr;
    }
    return com_ptr<Q>(SUCCEEDED(hr) ? found : nullptr);
}
