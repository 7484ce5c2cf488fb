#include "recursive_lock.h"

#include <new>

namespace {

constexpr DWORD kSpinCount = 4000;

}  // namespace

void RecursiveLock::SectionDeleter::operator()(CRITICAL_SECTION* section) const noexcept
{
    ::DeleteCriticalSection(section);
    delete section;
}

RecursiveLock::RecursiveLock() noexcept
{
    auto* section = new (std::nothrow) CRITICAL_SECTION;
    if (section != nullptr) {
        // Every hold is a few stores long: a waiter spins briefly rather
        // than sleep in the kernel and pay for the wake-up.
        ::InitializeCriticalSectionAndSpinCount(section, kSpinCount);
        section_.reset(section);
    }
}

RecursiveLock::~RecursiveLock()
{
    section_.reset();
    owner_ = 0;
}

void RecursiveLock::Lock() noexcept
{
    if (!section_) {
        return;
    }
    ::EnterCriticalSection(section_.get());
    owner_.store(::GetCurrentThreadId(), std::memory_order_relaxed);
    ++count_;
}

void RecursiveLock::Unlock() noexcept
{
    if (!section_ || owner_.load(std::memory_order_relaxed) != ::GetCurrentThreadId() || count_ <= 0) {
        return;
    }
    if (--count_ == 0) {
        owner_.store(0, std::memory_order_relaxed);
    }
    ::LeaveCriticalSection(section_.get());
}
