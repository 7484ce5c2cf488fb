#pragma once

#include <windows.h>

// Polls `condition` until it holds or `milliseconds` pass; the answer is the
// condition's last value.
template <typename Condition>
bool WaitUntil(Condition condition, unsigned milliseconds = 5000)
{
    const ULONGLONG deadline = ::GetTickCount64() + milliseconds;
    for (;;) {
        if (condition()) {
            return true;
        }
        if (::GetTickCount64() >= deadline) {
            return condition();
        }
        ::Sleep(5);
    }
}
