#include <gtest/gtest.h>

#include <windows.h>

#include "common/thread/recursive_lock.h"

namespace {

TEST(RecursiveLock, TracksOwnerAndDepth)
{
    RecursiveLock lock;
    EXPECT_EQ(0u, lock.Owner());
    lock.Lock();
    lock.Lock();
    EXPECT_EQ(::GetCurrentThreadId(), lock.Owner());
    EXPECT_EQ(2, lock.Count());
    lock.Unlock();
    EXPECT_EQ(::GetCurrentThreadId(), lock.Owner());
    EXPECT_EQ(1, lock.Count());
    lock.Unlock();
    EXPECT_EQ(0u, lock.Owner());
    EXPECT_EQ(0, lock.Count());
}

TEST(RecursiveLock, UnmatchedUnlockDoesNothing)
{
    RecursiveLock lock;
    lock.Unlock();
    EXPECT_EQ(0, lock.Count());
    {
        RecursiveLockGuard guard(lock);
        EXPECT_EQ(1, lock.Count());
    }
    lock.Unlock();
    EXPECT_EQ(0, lock.Count());
    // Still usable afterwards.
    RecursiveLockGuard guard(lock);
    EXPECT_EQ(1, lock.Count());
}

struct Shared {
    RecursiveLock lock;
    HANDLE held = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~Shared()
    {
        ::CloseHandle(held);
        ::CloseHandle(release);
    }
};

TEST(RecursiveLock, AnotherThreadsUnlockLeavesTheHoldInPlace)
{
    Shared shared;
    HANDLE holder = ::CreateThread(
        nullptr, 0,
        [](void* argument) -> DWORD {
            auto* s = static_cast<Shared*>(argument);
            RecursiveLockGuard guard(s->lock);
            ::SetEvent(s->held);
            ::WaitForSingleObject(s->release, INFINITE);
            return 0;
        },
        &shared, 0, nullptr);
    ASSERT_NE(nullptr, holder);
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(shared.held, 10000));
    const DWORD owner = shared.lock.Owner();
    shared.lock.Unlock();
    EXPECT_EQ(owner, shared.lock.Owner());
    EXPECT_EQ(1, shared.lock.Count());
    ::SetEvent(shared.release);
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(holder, 10000));
    ::CloseHandle(holder);
    EXPECT_EQ(0u, shared.lock.Owner());
    EXPECT_EQ(0, shared.lock.Count());
}

TEST(RecursiveLock, ExcludesOtherThreads)
{
    struct Counter {
        RecursiveLock lock;
        long value = 0;
    } counter;
    constexpr int kThreads = 4;
    constexpr int kIncrements = 50000;
    HANDLE threads[kThreads];
    for (HANDLE& thread : threads) {
        thread = ::CreateThread(
            nullptr, 0,
            [](void* argument) -> DWORD {
                auto* c = static_cast<Counter*>(argument);
                for (int i = 0; i < kIncrements; ++i) {
                    RecursiveLockGuard outer(c->lock);
                    RecursiveLockGuard inner(c->lock);
                    const long read = c->value;
                    ::SwitchToThread();  // widen the window a missing lock would leave open
                    c->value = read + 1;
                }
                return 0;
            },
            &counter, 0, nullptr);
        ASSERT_NE(nullptr, thread);
    }
    ASSERT_EQ(WAIT_OBJECT_0, ::WaitForMultipleObjects(kThreads, threads, TRUE, 60000));
    for (HANDLE thread : threads) {
        ::CloseHandle(thread);
    }
    EXPECT_EQ(kThreads * kIncrements, counter.value);
}

}  // namespace
