#pragma once

// One-shot millisecond timers served by one process-wide TimerThread, which
// keeps the scheduled timers in a binary min-heap by due tick and sleeps
// until the earliest is due or the heap changes. A timer runs again only when
// it is started again.

#include <windows.h>

#include <cstdint>
#include <memory>

#include "common/thread/event.h"
#include "common/thread/recursive_lock.h"
#include "common/thread/thread.h"

class Timer;

// Receives a timer's expiry on the timer thread, without the heap lock held.
class TimerListener {
public:
    virtual ~TimerListener() = default;
    // The two further arguments are never supplied by the timer thread: 0.
    virtual void OnTimer(Timer* timer, std::intptr_t argument1, std::intptr_t argument2) = 0;
};

// The millisecond tick source; the seam lets tests drive the clock, also
// across the 32-bit wrap. Null restores GetTickCount. Answers the previous.
using TickSource = DWORD (*)();
TickSource SetTickSource(TickSource source) noexcept;

// Ticks wrap at 2^32: they are compared only on their signed difference.
inline std::int32_t TickDifference(DWORD later, DWORD earlier) noexcept
{
    return static_cast<std::int32_t>(later - earlier);
}

class TimerThread;

class Timer {
public:
    Timer() noexcept : Timer(nullptr, -1, -1) {}
    explicit Timer(std::int32_t intervalMs) noexcept : Timer(nullptr, -1, intervalMs) {}
    Timer(TimerListener* listener, std::int32_t intervalMs) noexcept
        : Timer(listener, -1, intervalMs)
    {
    }
    Timer(TimerListener* listener, std::int32_t tag, std::int32_t intervalMs) noexcept
        : tag_(tag), listener_(listener), interval_(intervalMs)
    {
    }
    // Not virtual: a timer is never deleted through a base pointer.
    ~Timer();

    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    // Schedules (or moves) the timer to now + interval; creates and starts
    // the timer thread on first use. False for a negative interval or when
    // the timer thread cannot be created or is not running.
    bool Start() noexcept;
    bool Start(std::int32_t intervalMs) noexcept;
    // Takes the timer out of the heap; nothing when idle or without a thread.
    void Stop() noexcept;

    void SetInterval(std::int32_t intervalMs) noexcept { interval_ = intervalMs; }
    std::int32_t GetInterval() const noexcept { return interval_; }
    bool IsScheduled() const noexcept;
    int GetTag() const noexcept { return tag_; }
    // Due tick - now; when negative, 0 and false.
    bool GetRemaining(std::int32_t& remainingMs) const noexcept;

    // Called on the timer thread once the timer has left the heap.
    virtual void OnTimer();

    static DWORD CurrentTick() noexcept;
    static TimerThread* GetTimerThread() noexcept;
    static void SetTimerThread(TimerThread* thread) noexcept;
    // The heap property and every position of the process-wide timer thread.
    static bool IsHeapValid() noexcept;

private:
    friend class TimerThread;

    bool scheduled_ = false;
    DWORD startTick_ = 0;
    DWORD dueTick_ = 0;
    DWORD lastDueTick_ = 0;
    std::int32_t heapPosition_ = 0;
    std::int32_t tag_ = -1;
    TimerListener* listener_ = nullptr;
    std::int32_t interval_ = -1;
};

class TimerThread : public Thread {
public:
    TimerThread() noexcept;
    // Stops the thread first, so that it never meets a heap being torn down,
    // then leaves every timer still in the heap idle.
    ~TimerThread() override;

    bool Add(Timer* timer) noexcept;
    void Remove(Timer* timer) noexcept;
    bool IsHeapValid() noexcept;

    std::int32_t Count() noexcept;
    std::int32_t Capacity() noexcept;

protected:
    void Run() override;

private:
    friend class Timer;

    bool Grow() noexcept;
    void MoveUp(std::int32_t position) noexcept;
    void MoveDown(std::int32_t position) noexcept;
    void Swap(std::int32_t a, std::int32_t b) noexcept;

    // 1-based: entry 0 is never used.
    std::unique_ptr<Timer*[]> heap_;
    std::int32_t count_ = 0;
    std::int32_t capacity_ = 0;
    std::int32_t growth_ = 100;
    RecursiveLock heapLock_;
    Event wakeEvent_{false, false};
};

// The timer subsystem's reference count: the library's parts that use timers
// each hold one. When the last is released the timer thread, if one was ever
// created, is stopped and deleted. Both answer the new count.
long AddTimerSubsystemReference() noexcept;
long ReleaseTimerSubsystemReference() noexcept;

// One reference on the timer subsystem for as long as the object lives.
class TimerSubsystemReference {
public:
    TimerSubsystemReference() noexcept { AddTimerSubsystemReference(); }
    ~TimerSubsystemReference() { ReleaseTimerSubsystemReference(); }
    TimerSubsystemReference(const TimerSubsystemReference&) = delete;
    TimerSubsystemReference& operator=(const TimerSubsystemReference&) = delete;
};
