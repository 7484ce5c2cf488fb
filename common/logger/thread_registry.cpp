#include "common/logger/thread_registry.h"

#include "common/logger/log_entry_points.h"
#include "common/util/ansi_text.h"

namespace {

class SectionGuard {
public:
    explicit SectionGuard(CRITICAL_SECTION& section) noexcept : section_(section)
    {
        ::EnterCriticalSection(&section_);
    }
    ~SectionGuard() { ::LeaveCriticalSection(&section_); }

    SectionGuard(const SectionGuard&) = delete;
    SectionGuard& operator=(const SectionGuard&) = delete;

private:
    CRITICAL_SECTION& section_;
};

}  // namespace

ThreadRegistry::ThreadRegistry() noexcept
{
    ::InitializeCriticalSection(&lock_);
    live_ = true;
}

ThreadRegistry::~ThreadRegistry()
{
    {
        SectionGuard guard(lock_);
        live_ = false;
        names_.clear();
    }
    ::DeleteCriticalSection(&lock_);
}

void ThreadRegistry::RegisterThread(const char* name) noexcept
{
    const DWORD threadId = ::GetCurrentThreadId();
    const char* const shown = name != nullptr ? name : "";
    if (live_) {
        try {
            SectionGuard guard(lock_);
            names_[threadId] = shown;
        } catch (...) {
            // Out of memory: the thread stays unnamed.
        }
    }
    try {
        DebugLog(3, L"[DIAG] EVENT=Register_thread, THREADID=0x%X, THREADNAME=\"%s\"", threadId,
                 AnsiToWide(shown).c_str());
    } catch (...) {
        // Out of memory for the wide name: nothing to log.
    }
}

void ThreadRegistry::UnregisterThread() noexcept
{
    const DWORD threadId = ::GetCurrentThreadId();
    std::string name;
    if (!TakeThreadName(threadId, name)) {
        return;
    }
    try {
        DebugLog(3, L"[DIAG] EVENT=Unregister_thread, THREADID=0x%X, THREADNAME=\"%s\"",
                 threadId, AnsiToWide(name.c_str()).c_str());
    } catch (...) {
        // Out of memory for the wide name: nothing to log.
    }
}

bool ThreadRegistry::TakeThreadName(std::uint32_t threadId, std::string& name) noexcept
{
    if (!live_) {
        return false;
    }
    SectionGuard guard(lock_);
    const auto found = names_.find(threadId);
    if (found == names_.end()) {
        return false;
    }
    name.swap(found->second);
    names_.erase(found);
    return true;
}

std::vector<std::pair<std::uint32_t, std::string>> ThreadRegistry::Snapshot() const
{
    std::vector<std::pair<std::uint32_t, std::string>> threads;
    if (!live_) {
        return threads;
    }
    SectionGuard guard(lock_);
    threads.assign(names_.begin(), names_.end());
    return threads;
}
