#include "common/thread/event.h"

Event::Event(bool manualReset, bool initialState) noexcept
{
    Create(manualReset, initialState);
}

Event::Event(const char* name, bool manualReset, bool initialState) noexcept
{
    if (name != nullptr) {
        Create(name, manualReset, initialState, nullptr);
    } else {
        Create(manualReset, initialState);
    }
}

bool Event::Create(bool manualReset, bool initialState) noexcept
{
    handle_.reset(::CreateEventA(nullptr, manualReset, initialState, nullptr));
    return static_cast<bool>(handle_);
}

bool Event::Create(const char* name, bool manualReset, bool initialState,
                   SECURITY_ATTRIBUTES* security) noexcept
{
    if (name == nullptr) {
        return false;
    }
    handle_.reset(::CreateEventA(security, manualReset, initialState, name));
    return static_cast<bool>(handle_);
}

bool Event::Open(const char* name) noexcept
{
    if (name == nullptr) {
        return false;
    }
    handle_.reset(::OpenEventA(EVENT_ALL_ACCESS, FALSE, name));
    return static_cast<bool>(handle_);
}

int Event::Wait(int milliseconds) noexcept
{
    switch (::WaitForSingleObject(handle_.get(), static_cast<DWORD>(milliseconds))) {
    case WAIT_OBJECT_0:
    case WAIT_ABANDONED:
        return 1;
    case WAIT_TIMEOUT:
        return 0;
    default:
        return -1;
    }
}

int Event::WaitForAny(DWORD count, Event* const* events, int milliseconds,
                      bool alertable) noexcept
{
    if (events == nullptr || count == 0 || count > kMaxWaitCount) {
        return -1;
    }
    HANDLE handles[kMaxWaitCount];
    for (DWORD i = 0; i < count; ++i) {
        if (events[i] == nullptr) {
            return -1;
        }
        handles[i] = events[i]->Handle();
    }
    const DWORD result = ::WaitForMultipleObjectsEx(count, handles, FALSE,
                                                    static_cast<DWORD>(milliseconds), alertable);
    if (result < WAIT_OBJECT_0 + count) {
        return static_cast<int>(result - WAIT_OBJECT_0) + 1;
    }
    if (result >= WAIT_ABANDONED_0 && result < WAIT_ABANDONED_0 + count) {
        return static_cast<int>(result - WAIT_ABANDONED_0) + 1;
    }
    switch (result) {
    case WAIT_IO_COMPLETION:
        return -2;
    case WAIT_TIMEOUT:
        return 0;
    default:
        return -1;
    }
}
