#include "common/thread/timer.h"

#include <atomic>
#include <cstdlib>
#include <new>

#include "common/thread/interlocked.h"
#include "common/thread/thread_hooks.h"

namespace {

DWORD SystemTick()
{
    return ::GetTickCount();
}

std::atomic<TickSource> g_tickSource{&SystemTick};

// Guards the creation and destruction of the process-wide timer thread.
// Constant-initialised: it exists before any global of the library is built
// and after the last is gone, whatever order they are built and destroyed in.
SRWLOCK g_timerLock = SRWLOCK_INIT;

class TimerLockGuard {
public:
    TimerLockGuard() noexcept { ::AcquireSRWLockExclusive(&g_timerLock); }
    ~TimerLockGuard() { ::ReleaseSRWLockExclusive(&g_timerLock); }
    TimerLockGuard(const TimerLockGuard&) = delete;
    TimerLockGuard& operator=(const TimerLockGuard&) = delete;
};
std::atomic<TimerThread*> g_timerThread{nullptr};
volatile LONG g_subsystemReferences = 0;

}  // namespace

TickSource SetTickSource(TickSource source) noexcept
{
    return g_tickSource.exchange(source != nullptr ? source : &SystemTick);
}

// ---- Timer ----

Timer::~Timer()
{
    if (IsScheduled()) {
        Stop();
    }
}

bool Timer::Start() noexcept
{
    TimerThread* thread = nullptr;
    {
        TimerLockGuard guard;
        thread = g_timerThread.load();
        if (thread == nullptr) {
            thread = new (std::nothrow) TimerThread;
            if (thread == nullptr) {
                return false;
            }
            if (!thread->Thread::Start()) {
                delete thread;
                return false;
            }
            g_timerThread.store(thread);
        }
    }
    return thread->Add(this);
}

bool Timer::Start(std::int32_t intervalMs) noexcept
{
    SetInterval(intervalMs);
    return Start();
}

void Timer::Stop() noexcept
{
    if (TimerThread* thread = g_timerThread.load()) {
        thread->Remove(this);
    }
}

bool Timer::IsScheduled() const noexcept
{
    TimerThread* thread = g_timerThread.load();
    if (thread == nullptr) {
        return scheduled_;
    }
    RecursiveLockGuard guard(thread->heapLock_);
    return scheduled_;
}

bool Timer::GetRemaining(std::int32_t& remainingMs) const noexcept
{
    DWORD due = dueTick_;
    if (TimerThread* thread = g_timerThread.load()) {
        RecursiveLockGuard guard(thread->heapLock_);
        due = dueTick_;
    }
    const std::int32_t remaining = TickDifference(due, CurrentTick());
    if (remaining < 0) {
        remainingMs = 0;
        return false;
    }
    remainingMs = remaining;
    return true;
}

void Timer::OnTimer()
{
    if (listener_ != nullptr) {
        listener_->OnTimer(this, 0, 0);
    }
}

DWORD Timer::CurrentTick() noexcept
{
    return g_tickSource.load()();
}

TimerThread* Timer::GetTimerThread() noexcept
{
    return g_timerThread.load();
}

void Timer::SetTimerThread(TimerThread* thread) noexcept
{
    TimerLockGuard guard;
    g_timerThread.store(thread);
}

bool Timer::IsHeapValid() noexcept
{
    TimerThread* thread = g_timerThread.load();
    return thread == nullptr || thread->IsHeapValid();
}

// ---- TimerThread ----

TimerThread::TimerThread() noexcept : Thread("TimerThread") {}

TimerThread::~TimerThread()
{
    Stop();
    RecursiveLockGuard guard(heapLock_);
    for (std::int32_t position = 1; position <= count_; ++position) {
        heap_[position]->scheduled_ = false;
        heap_[position]->heapPosition_ = 0;
    }
    count_ = 0;
}

bool TimerThread::Grow() noexcept
{
    const std::int32_t capacity = capacity_ + growth_;
    std::unique_ptr<Timer*[]> heap(new (std::nothrow) Timer*[capacity + 1]);
    if (!heap) {
        return false;
    }
    heap[0] = nullptr;
    for (std::int32_t position = 1; position <= count_; ++position) {
        heap[position] = heap_[position];
    }
    heap_ = std::move(heap);
    capacity_ = capacity;
    growth_ += capacity / 2;
    return true;
}

bool TimerThread::Add(Timer* timer) noexcept
{
    if (ThreadHandle() == nullptr || timer == nullptr || timer->interval_ < 0) {
        return false;
    }
    RecursiveLockGuard guard(heapLock_);
    const DWORD now = Timer::CurrentTick();
    if (timer->scheduled_) {
        timer->startTick_ = now;
        timer->dueTick_ = now + static_cast<DWORD>(timer->interval_);
        const std::int32_t moved = TickDifference(timer->dueTick_, timer->lastDueTick_);
        if (moved > 0) {
            MoveDown(timer->heapPosition_);
        } else if (moved < 0) {
            MoveUp(timer->heapPosition_);
        }
    } else {
        // A failed growth leaves the timer idle and the heap as it was.
        if (count_ == capacity_ && !Grow()) {
            return false;
        }
        timer->startTick_ = now;
        timer->dueTick_ = now + static_cast<DWORD>(timer->interval_);
        ++count_;
        heap_[count_] = timer;
        timer->heapPosition_ = count_;
        timer->scheduled_ = true;
        MoveUp(count_);
    }
    timer->lastDueTick_ = timer->dueTick_;
    wakeEvent_.Set();  // the earliest due time may have changed
    return true;
}

void TimerThread::Remove(Timer* timer) noexcept
{
    if (timer == nullptr) {
        return;
    }
    RecursiveLockGuard guard(heapLock_);
    if (!timer->scheduled_) {
        return;
    }
    const std::int32_t position = timer->heapPosition_;
    const std::int32_t last = count_;
    if (position < last) {
        heap_[position] = heap_[last];
        heap_[position]->heapPosition_ = position;
    }
    heap_[last] = nullptr;
    --count_;
    timer->heapPosition_ = 0;
    timer->scheduled_ = false;
    if (position < last) {
        const std::int32_t moved =
            TickDifference(heap_[position]->dueTick_, timer->lastDueTick_);
        if (moved > 0) {
            MoveDown(position);
        } else if (moved < 0) {
            MoveUp(position);
        }
    }
}

void TimerThread::Swap(std::int32_t a, std::int32_t b) noexcept
{
    Timer* const first = heap_[a];
    heap_[a] = heap_[b];
    heap_[b] = first;
    heap_[a]->heapPosition_ = a;
    heap_[b]->heapPosition_ = b;
}

void TimerThread::MoveUp(std::int32_t position) noexcept
{
    while (position > 1 &&
           TickDifference(heap_[position / 2]->dueTick_, heap_[position]->dueTick_) > 0) {
        Swap(position, position / 2);
        position /= 2;
    }
}

void TimerThread::MoveDown(std::int32_t position) noexcept
{
    for (;;) {
        std::int32_t child = 2 * position;
        if (child > count_) {
            return;
        }
        if (child + 1 <= count_ &&
            TickDifference(heap_[child + 1]->dueTick_, heap_[child]->dueTick_) < 0) {
            ++child;
        }
        if (TickDifference(heap_[position]->dueTick_, heap_[child]->dueTick_) <= 0) {
            return;
        }
        Swap(position, child);
        position = child;
    }
}

bool TimerThread::IsHeapValid() noexcept
{
    RecursiveLockGuard guard(heapLock_);
    for (std::int32_t position = 1; position <= count_; ++position) {
        const Timer* timer = heap_[position];
        if (timer == nullptr || timer->heapPosition_ != position || !timer->scheduled_) {
            return false;
        }
        for (std::int32_t child = 2 * position; child <= 2 * position + 1 && child <= count_;
             ++child) {
            if (heap_[child] == nullptr ||
                TickDifference(timer->dueTick_, heap_[child]->dueTick_) > 0) {
                return false;
            }
        }
    }
    return true;
}

std::int32_t TimerThread::Count() noexcept
{
    RecursiveLockGuard guard(heapLock_);
    return count_;
}

std::int32_t TimerThread::Capacity() noexcept
{
    RecursiveLockGuard guard(heapLock_);
    return capacity_;
}

void TimerThread::Run()
{
    ThreadLog(4, "TimerThread::Run", L"[DEBUG] EVENTMSG=\"TimerThread thread started\"");
    std::srand(static_cast<unsigned>(ThreadId()) *
               static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(ThreadHandle())));
    Event* const events[] = {&StopEvent(), &wakeEvent_};
    for (;;) {
        int waitMs = -1;
        heapLock_.Lock();
        DWORD now = Timer::CurrentTick();
        while (count_ > 0 && TickDifference(heap_[1]->dueTick_, now) <= 0) {
            Timer* const timer = heap_[1];
            Remove(timer);
            // Without the lock: a listener may start or stop timers, its own too.
            heapLock_.Unlock();
            timer->OnTimer();
            heapLock_.Lock();
            now = Timer::CurrentTick();
        }
        if (count_ > 0) {
            const std::int32_t untilDue = TickDifference(heap_[1]->dueTick_, now);
            waitMs = untilDue > 0 ? untilDue : 0;
        }
        heapLock_.Unlock();

        const int woken = Event::WaitForAny(2, events, waitMs, false);
        if (woken == 0 || woken == 2) {
            continue;
        }
        if (woken == 1) {
            ThreadLog(4, "TimerThread::Run", L"[DEBUG] EVENTMSG=\"TimerThread thread stopped\"");
        } else {
            ThreadLog(4, "TimerThread::Run",
                      L"[DEBUG] EVENTMSG=\"TimerThread thread stopped due to unexpected event\"");
        }
        return;
    }
}

// ---- Subsystem reference count ----

long AddTimerSubsystemReference() noexcept
{
    return AtomicIncrement(&g_subsystemReferences);
}

long ReleaseTimerSubsystemReference() noexcept
{
    const long count = AtomicDecrement(&g_subsystemReferences);
    if (count == 0) {
        TimerLockGuard guard;
        if (TimerThread* thread = g_timerThread.exchange(nullptr)) {
            thread->Stop();
            delete thread;
        }
    }
    return count;
}
