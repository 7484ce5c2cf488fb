#pragma once

// Names the process's threads for the log: the thread entry registers the
// running thread under its name and unregisters it when its body ends; the
// file output lists the names after each open.

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

class ThreadRegistry {
public:
    ThreadRegistry() noexcept;
    ~ThreadRegistry();

    ThreadRegistry(const ThreadRegistry&) = delete;
    ThreadRegistry& operator=(const ThreadRegistry&) = delete;

    // Stores (or replaces) the calling thread's name; logs the registration.
    void RegisterThread(const char* name) noexcept;
    // Forgets the calling thread; logs it when there was an entry.
    void UnregisterThread() noexcept;
    // Moves the name of `threadId` out of the registry.
    bool TakeThreadName(std::uint32_t threadId, std::string& name) noexcept;
    // The registered threads in identifier order.
    std::vector<std::pair<std::uint32_t, std::string>> Snapshot() const;

private:
    std::atomic<bool> live_{false};
    std::map<std::uint32_t, std::string> names_;
    mutable CRITICAL_SECTION lock_;
};
