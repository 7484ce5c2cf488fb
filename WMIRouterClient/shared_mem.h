#pragma once

// A named, page-file-backed shared-memory block holding one T. The router
// creates it read-write as the publisher; the provider opens it read-only.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cwchar>

#include "WMIRouterClient/admin_security.h"
#include "WMIRouterClient/log_contexts.h"
#include "WMIRouterClient/wmirouter_perf.h"
#include "common/thread/recursive_lock.h"
#include "common/util/log_callback.h"
#include "common/util/system_error_text.h"

// The names the block object reports under, one set per record type.
template <typename T>
struct SharedMemNames;

template <>
struct SharedMemNames<struct wmirouter_perf_t> {
    static constexpr const char* kInitialize = "WMISharedMem<struct wmirouter_perf_t>::Initialize";
    static constexpr const char* kAcquire = "WMISharedMem<struct wmirouter_perf_t>::Acquire";
    static constexpr const char* kRelease = "WMISharedMem<struct wmirouter_perf_t>::Release";
};

template <typename T>
class WMISharedMem {
public:
    static constexpr DWORD kBlockSize = sizeof(T);
    static constexpr unsigned kNameUnits = 260;

    explicit WMISharedMem(bool secureCreate) noexcept : secureCreate_(secureCreate) {}
    ~WMISharedMem() { Release(); }

    WMISharedMem(const WMISharedMem&) = delete;
    WMISharedMem& operator=(const WMISharedMem&) = delete;

    // Opens (FILE_MAP_READ) or opens-or-creates (FILE_MAP_READ | FILE_MAP_WRITE)
    // the block and maps a view of it.
    bool Initialize(const wchar_t* name, unsigned nameLimit, DWORD accessType,
                    LogCallback logCallback) noexcept
    {
        using Names = SharedMemNames<T>;
        logCallback_ = logCallback;
        if (accessType != FILE_MAP_READ && accessType != (FILE_MAP_READ | FILE_MAP_WRITE)) {
            Report(1, Names::kInitialize, __LINE__,
                   L"Invalid type of accees to shared memory: %d for [%s]",
                   static_cast<int>(accessType), name != nullptr ? name : L"");
            return false;
        }
        if (name == nullptr || name[0] == L'\0' || nameLimit == 0) {
            Report(1, Names::kInitialize, __LINE__, L"Initialization name is empty");
            return false;
        }
        Report(4, Names::kInitialize, __LINE__, L"Set shared memory %s %d access: %d", name,
               static_cast<int>(nameLimit), static_cast<int>(accessType));
        return Acquire(name, nameLimit, accessType);
    }

    bool Initialize(DWORD accessType, LogCallback logCallback) noexcept
    {
        return Initialize(kRouterBlockName, kRouterBlockNameLimit, accessType, logCallback);
    }

    bool Acquire(const wchar_t* name, unsigned nameLimit, DWORD accessType) noexcept
    {
        using Names = SharedMemNames<T>;
        if (name == nullptr || name[0] == L'\0' || nameLimit == 0) {
            Report(1, Names::kAcquire, __LINE__, L"Bad input parameters");
            return false;
        }
        // At most one mapping and one view: an earlier one is released first,
        // under the view lock, so a reader never loses its view midway.
        RecursiveLockGuard guard(viewLock_);
        Release();
        try {
            size_ = 0;
            mapping_.reset(::OpenFileMappingW(accessType, FALSE, name));
            if (!mapping_) {
                if (accessType == FILE_MAP_READ) {
                    // The normal state while the router is not running.
                    Report(3, Names::kAcquire, __LINE__,
                           L"Shared memory [%s] for performance provider not created yet", name);
                    return false;
                }
                if (!Create(name)) {
                    return false;
                }
            }
            void* view = ::MapViewOfFile(mapping_.get(), accessType, 0, 0, kBlockSize);
            if (view == nullptr) {
                mapping_.reset();
                Report(1, Names::kAcquire, __LINE__, L"Could not get pointer to shared memory: [%s]",
                       name);
                return false;
            }
            view_.store(static_cast<T*>(view));
            std::wcsncpy(name_, name, kNameUnits - 1);
            name_[kNameUnits - 1] = L'\0';
            return true;
        } catch (...) {
            Report(1, Names::kAcquire, __LINE__,
                   L"[%s] Cannot set [%s]'s share memory. Unknwon error.", name, name);
            return view_.load() != nullptr;
        }
    }

    bool Release() noexcept
    {
        using Names = SharedMemNames<T>;
        RecursiveLockGuard guard(viewLock_);
        bool result = true;
        if (T* view = view_.exchange(nullptr)) {
            if (::UnmapViewOfFile(view) != TRUE) {
                result = false;
                const SystemErrorText error(::GetLastError());
                Report(2, Names::kRelease, __LINE__, L"Cannot unmap file for [%s]: %d - %s", name_,
                       static_cast<int>(error.Code()), error.Text());
            }
        }
        if (mapping_) {
            if (!::CloseHandle(mapping_.release())) {
                const SystemErrorText error(::GetLastError());
                Report(2, Names::kRelease, __LINE__, L"Could not close handle of [%s]: %d - %s",
                       name_, static_cast<int>(error.Code()), error.Text());
            }
        }
        return result;
    }

    bool IsMapped() const noexcept { return view_.load() != nullptr; }

    // The update stamp at offset 0, or 0 without a view. Read before the
    // counters it guards.
    std::int64_t ReadStamp() const noexcept
    {
        const T* view = view_.load();
        if (view == nullptr) {
            return 0;
        }
        const std::int64_t stamp = *reinterpret_cast<const volatile std::int64_t*>(view);
        std::atomic_thread_fence(std::memory_order_acquire);
        return stamp;
    }

    T* View() const noexcept { return view_.load(); }

    // Held by a reader for as long as it uses View(): the view is never
    // unmapped under it.
    RecursiveLock& ViewLock() noexcept { return viewLock_; }

    std::uint64_t Size() const noexcept { return size_; }
    const wchar_t* Name() const noexcept { return name_; }

private:
    bool Create(const wchar_t* name)
    {
        using Names = SharedMemNames<T>;
        AdministratorsOnlySecurity security;
        SECURITY_ATTRIBUTES* attributes = nullptr;
        if (secureCreate_) {
            DWORD code = 0;
            const auto failed = security.Build(code);
            if (failed != AdministratorsOnlySecurity::Step::None) {
                const SystemErrorText error(code);
                const wchar_t* format =
                    failed == AdministratorsOnlySecurity::Step::Descriptor
                        ? L"[%s] Could not initialize security descriptor: %d - %s"
                    : failed == AdministratorsOnlySecurity::Step::Sid
                        ? L"[%s] Could not initialize SID: %d - %s"
                        : L"[%s] Could not add the ACL to the security descriptor: %d - %s";
                Report(1, Names::kAcquire, __LINE__, format, name, static_cast<int>(error.Code()),
                       error.Text());
                return false;
            }
            attributes = security.Attributes();
        }
        mapping_.reset(::CreateFileMappingW(INVALID_HANDLE_VALUE, attributes, PAGE_READWRITE, 0,
                                            kBlockSize, name));
        if (!mapping_) {
            const SystemErrorText error(::GetLastError());
            Report(1, Names::kAcquire, __LINE__, L"Cannot create memory share for %s: %d - %s", name,
                   static_cast<int>(error.Code()), error.Text());
            return false;
        }
        size_ = kBlockSize;
        return true;
    }

    template <typename... Args>
    void Report(std::int32_t level, const char* function, std::int32_t line, const wchar_t* format,
                Args... args) const noexcept
    {
        ReportToCallback(logCallback_, level, function, line, &g_providerLogContext, format, args...);
    }

    unique_handle mapping_;
    wchar_t name_[kNameUnits] = {};
    std::uint64_t size_ = 0;
    LogCallback logCallback_ = nullptr;
    bool secureCreate_;
    std::atomic<T*> view_{nullptr};
    RecursiveLock viewLock_;
};
