// Starts the process-wide logger, keeps producer threads logging through its
// entry points, and ends the process under them: the logger is destroyed
// while they still call in.

#include <windows.h>

#include <atomic>
#include <cstdio>
#include <thread>

#include "common/logger/debug_logger.h"
#include "common/logger/log_entry_points.h"

namespace {

// Static, not on main's stack: the producers outlive main's frame.
std::atomic<long> g_produced{0};

}  // namespace

int main()
{
    DebugLogSettings settings;
    settings.debugLogLevel = 3;
    if (!DebugLogStartWithSettings(settings)) {
        std::puts("the logger did not start");
        return 2;
    }
    for (int t = 0; t < 4; ++t) {
        std::thread([t] {
            for (long i = 0;; ++i) {
                DebugLog(3, L"producer %d record %ld", t, i);
                DebugLog(3, "narrow producer %d record %ld", t, i);
                g_produced.fetch_add(1);
            }
        }).detach();
    }
    while (g_produced.load() < 20000) {
        ::Sleep(1);
    }
    std::puts("producers running");
    std::fflush(stdout);
    return 0;  // static destructors run with the producers still going
}
