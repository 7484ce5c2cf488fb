#pragma once

// A critical section that remembers which thread holds it and how often.
// Used through RecursiveLockGuard around every locked region.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>

class RecursiveLock {
public:
    RecursiveLock() noexcept;
    ~RecursiveLock();

    RecursiveLock(const RecursiveLock&) = delete;
    RecursiveLock& operator=(const RecursiveLock&) = delete;

    void Lock() noexcept;
    // Does nothing unless the calling thread holds the lock: an unmatched
    // unlock must never release another thread's hold.
    void Unlock() noexcept;

    DWORD Owner() const noexcept { return owner_.load(std::memory_order_relaxed); }
    std::int64_t Count() const noexcept { return count_; }

private:
    struct SectionDeleter {
        void operator()(CRITICAL_SECTION* section) const noexcept;
    };

    std::unique_ptr<CRITICAL_SECTION, SectionDeleter> section_;
    std::atomic<DWORD> owner_{0};
    std::int64_t count_ = 0;  // changed only by the holder
};

class RecursiveLockGuard {
public:
    explicit RecursiveLockGuard(RecursiveLock& lock) noexcept : lock_(lock) { lock_.Lock(); }
    ~RecursiveLockGuard() { lock_.Unlock(); }

    RecursiveLockGuard(const RecursiveLockGuard&) = delete;
    RecursiveLockGuard& operator=(const RecursiveLockGuard&) = delete;

private:
    RecursiveLock& lock_;
};
