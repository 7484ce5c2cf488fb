#pragma once

// Base class of the library's worker threads: one system thread and one
// manual-reset stop event. The thread starts suspended so that its priority
// is in place before Run sees it; Stop signals the event and waits.

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "common/thread/event.h"
#include "common/util/unique_resource.h"

class Thread {
public:
    Thread() noexcept;
    explicit Thread(const char* name) noexcept;
    explicit Thread(const wchar_t* name) noexcept;
    // Waits without limit for the thread, and for any thread an earlier
    // Stop(timeout) gave up on: those still run on this object.
    virtual ~Thread();

    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    virtual bool Start() noexcept;
    virtual void Stop(std::int32_t timeoutMs) noexcept;
    virtual void Stop() noexcept { Stop(-1); }
    virtual BOOL SignalStop() noexcept { return stopEvent_.Set(); }

    // Like Stop, but keeps the thread owned when it does not end in time.
    void TryStop(std::int32_t timeoutMs, bool& stopped) noexcept;
    bool IsRunning() const noexcept;

    void SetPriority(int step) noexcept;
    int GetPriority() const noexcept;

    static DWORD CurrentThreadId() noexcept { return ::GetCurrentThreadId(); }

    // For a watcher that has seen this thread hang hangCount times in a row;
    // the HKLM key at keyPath may override the defaults.
    void DumpCallStack(const char* keyPath, int defaultCount, int hangCount,
                       int defaultFrequency) noexcept;

    const char* Name() const noexcept { return name_.get(); }
    DWORD ThreadId() const noexcept { return threadId_; }
    HANDLE ThreadHandle() const noexcept { return threadHandle_.get(); }

protected:
    // The body; it ends when the stop event is set.
    virtual void Run() = 0;
    Event& StopEvent() noexcept { return stopEvent_; }

private:
    struct NameDeleter {
        void operator()(char* name) const noexcept { std::free(name); }
    };

    static unsigned __stdcall Entry(void* argument) noexcept;
    void GiveUp() noexcept;

    std::int32_t priority_ = 0;
    std::int32_t lastDumpCount_ = 0;
    Event stopEvent_;
    unique_handle threadHandle_;
    DWORD threadId_ = 0;
    std::unique_ptr<char, NameDeleter> name_;
    // Threads that did not end within a Stop time-out; the destructor waits
    // for them, since they still call into this object.
    std::vector<unique_handle> abandoned_;
};
