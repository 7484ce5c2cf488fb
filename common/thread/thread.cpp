#include "common/thread/thread.h"

#include <cerrno>
#include <cstring>
#include <new>
#include <process.h>

#include "common/registry/registry.h"
#include "common/thread/thread_hooks.h"

namespace {

int ToWindowsPriority(int step) noexcept
{
    if (step < -2) {
        return THREAD_PRIORITY_IDLE;
    }
    if (step > 2) {
        return THREAD_PRIORITY_TIME_CRITICAL;
    }
    static constexpr int kSteps[] = {THREAD_PRIORITY_LOWEST, THREAD_PRIORITY_BELOW_NORMAL,
                                     THREAD_PRIORITY_NORMAL, THREAD_PRIORITY_ABOVE_NORMAL,
                                     THREAD_PRIORITY_HIGHEST};
    return kSteps[step + 2];
}

int FromWindowsPriority(int priority) noexcept
{
    switch (priority) {
    case THREAD_PRIORITY_ABOVE_NORMAL: return 1;
    case THREAD_PRIORITY_HIGHEST: return 2;
    case THREAD_PRIORITY_TIME_CRITICAL: return 100;
    case THREAD_PRIORITY_IDLE: return -100;
    case THREAD_PRIORITY_LOWEST: return -2;
    case THREAD_PRIORITY_BELOW_NORMAL: return -1;
    default: return 0;
    }
}

char* CopyName(const wchar_t* name) noexcept
{
    if (name == nullptr) {
        return nullptr;
    }
    const int size = ::WideCharToMultiByte(CP_ACP, 0, name, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) {
        return nullptr;
    }
    std::unique_ptr<char[]> narrow(new (std::nothrow) char[size]);
    if (!narrow ||
        ::WideCharToMultiByte(CP_ACP, 0, name, -1, narrow.get(), size, nullptr, nullptr) <= 0) {
        return nullptr;
    }
    return ::strdup(narrow.get());
}

unsigned long long HandleValue(HANDLE handle) noexcept
{
    return reinterpret_cast<std::uintptr_t>(handle);
}

}  // namespace

Thread::Thread() noexcept : stopEvent_(true, false) {}

Thread::Thread(const char* name) noexcept : Thread()
{
    if (name != nullptr) {
        name_.reset(::strdup(name));
    }
}

Thread::Thread(const wchar_t* name) noexcept : Thread()
{
    name_.reset(CopyName(name));
}

Thread::~Thread()
{
    Stop();
    for (const unique_handle& thread : abandoned_) {
        ::WaitForSingleObject(thread.get(), INFINITE);
    }
}

bool Thread::Start() noexcept
{
    if (threadHandle_) {
        return false;
    }
    stopEvent_.Reset();
    unsigned id = 0;
    const std::uintptr_t handle = ::_beginthreadex(nullptr, 0, &Entry, this, CREATE_SUSPENDED, &id);
    if (handle == 0) {
        ThreadLog(1, "Thread::Start", L"Thread::Start() - begin thread call failed, errno=%d",
                  errno);
        return false;
    }
    threadHandle_.reset(reinterpret_cast<HANDLE>(handle));
    threadId_ = id;
    if (priority_ != 0) {
        SetPriority(priority_);
    }
    ::ResumeThread(threadHandle_.get());
    return true;
}

unsigned __stdcall Thread::Entry(void* argument) noexcept
{
    if (argument == nullptr) {
        return 0;
    }
    Thread* const self = static_cast<Thread*>(argument);
    ThreadRegister(self->name_ ? self->name_.get() : "Unnamed");
    unsigned result = 0;
    // An exception leaving a thread's start routine ends the process; it
    // stops here, is reported, and the thread ends like any other.
    try {
        self->Run();
    } catch (...) {
        ThreadLog(1, "Thread::Entry",
                  L"Thread::Entry() - Run ended by an exception, thread Id=0x%X",
                  ::GetCurrentThreadId());
        result = 1;
    }
    ThreadUnregister();
    return result;
}

void Thread::Stop(std::int32_t timeoutMs) noexcept
{
    if (!threadHandle_) {
        return;
    }
    stopEvent_.Set();
    const DWORD wait = ::WaitForSingleObject(threadHandle_.get(), static_cast<DWORD>(timeoutMs));
    if (wait != WAIT_OBJECT_0) {
        ThreadLog(1, "Thread::Stop",
                  L"Thread::Stop() - hung thread Id=0x%X, Handle=0x%I64x, timeout=%I64d ms",
                  threadId_, HandleValue(threadHandle_.get()),
                  static_cast<long long>(timeoutMs));
        GiveUp();
    }
    threadHandle_.reset();
}

void Thread::GiveUp() noexcept
{
    // Forget those that have ended since, so repeated hangs do not pile up.
    for (auto it = abandoned_.begin(); it != abandoned_.end();) {
        it = ::WaitForSingleObject(it->get(), 0) == WAIT_OBJECT_0 ? abandoned_.erase(it) : it + 1;
    }
    try {
        abandoned_.push_back(std::move(threadHandle_));
    } catch (...) {
        // Out of memory: the handle is closed and the thread goes unwatched.
    }
}

void Thread::TryStop(std::int32_t timeoutMs, bool& stopped) noexcept
{
    if (!threadHandle_) {
        stopped = true;
        return;
    }
    stopEvent_.Set();
    const DWORD wait = ::WaitForSingleObject(threadHandle_.get(), static_cast<DWORD>(timeoutMs));
    if (wait == WAIT_OBJECT_0) {
        threadHandle_.reset();
        stopped = true;
        return;
    }
    ThreadLog(1, "Thread::TryStop",
              L"Thread::Stop() - Timeout exceeded.  Thread not stopped. thread Id=0x%X, "
              L"Handle=0x%I64x, timeout=%I64d ms",
              threadId_, HandleValue(threadHandle_.get()), static_cast<long long>(timeoutMs));
    stopped = false;
}

bool Thread::IsRunning() const noexcept
{
    return threadHandle_ && ::WaitForSingleObject(threadHandle_.get(), 0) == WAIT_TIMEOUT;
}

void Thread::SetPriority(int step) noexcept
{
    priority_ = step;
    if (threadHandle_) {
        ::SetThreadPriority(threadHandle_.get(), ToWindowsPriority(step));
    }
}

int Thread::GetPriority() const noexcept
{
    if (!threadHandle_) {
        return priority_;
    }
    return FromWindowsPriority(::GetThreadPriority(threadHandle_.get()));
}

void Thread::DumpCallStack(const char* keyPath, int defaultCount, int hangCount,
                           int defaultFrequency) noexcept
{
    bool enabled = true;
    std::int32_t count = defaultCount;
    std::int32_t frequency = defaultFrequency;
    if (keyPath != nullptr) {
        Registry key(keyPath);
        if (key.Open() && key.ReadDword("DumpThreadStackInfo", enabled)) {
            // Each is kept at its default when the value is missing.
            key.ReadDword("DumpThreadStackInfoCount", count);
            key.ReadDword("DumpThreadStackInfoFrequency", frequency);
        }
    }
    if (!enabled) {
        return;
    }
    const bool dumpedBefore = lastDumpCount_ != 0;
    const bool due = defaultCount == 0 || hangCount == count ||
                     (defaultFrequency == -1 && dumpedBefore && hangCount > count) ||
                     (frequency > 0 && dumpedBefore && hangCount > count &&
                      static_cast<long long>(hangCount) - lastDumpCount_ >= frequency);
    if (!due) {
        return;
    }
    if (!ThreadDumpCallStack(threadHandle_.get(), threadId_)) {
        ThreadLog(1, "Thread::DumpCallStack",
                  L"Failed to output thread call stack (thread Id=0x%X, Handle=0x%I64X)", threadId_,
                  HandleValue(threadHandle_.get()));
    }
    lastDumpCount_ = hangCount;
}
