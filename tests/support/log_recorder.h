#pragma once

// A LogCallback that records every message it receives, for tests that
// assert on what a component reported. One recording per process.

#include <mutex>
#include <string>
#include <vector>

#include "common/util/log_callback.h"

struct RecordedMessage {
    std::int32_t level;
    std::wstring message;
    std::string function;
    LogContext* context;
};

class LogRecorder {
public:
    LogRecorder() { Clear(); }
    ~LogRecorder() { Clear(); }

    static LogCallback Callback() { return &Record; }
    static void Clear();
    static std::vector<RecordedMessage> Messages();
    // The messages alone, in order.
    static std::vector<std::wstring> Texts();

private:
    static LogContext* Record(std::int32_t level, std::int32_t, std::int32_t, std::int32_t,
                              const wchar_t* message, const char* function, std::int32_t line,
                              LogContext* context);
};
