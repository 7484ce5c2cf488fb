#pragma once

#include <windows.h>

// The logger's start-up wrappers pause through this one call.
inline void SleepMilliseconds(DWORD milliseconds) noexcept { ::Sleep(milliseconds); }
