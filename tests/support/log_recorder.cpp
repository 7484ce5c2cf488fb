#include "log_recorder.h"

namespace {
std::mutex g_mutex;
std::vector<RecordedMessage> g_messages;
}  // namespace

void LogRecorder::Clear()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_messages.clear();
}

std::vector<RecordedMessage> LogRecorder::Messages()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_messages;
}

std::vector<std::wstring> LogRecorder::Texts()
{
    std::vector<std::wstring> texts;
    for (const RecordedMessage& m : Messages()) {
        texts.push_back(m.message);
    }
    return texts;
}

LogContext* LogRecorder::Record(std::int32_t level, std::int32_t, std::int32_t, std::int32_t,
                                const wchar_t* message, const char* function, std::int32_t,
                                LogContext* context)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    g_messages.push_back({level, message != nullptr ? message : L"",
                          function != nullptr ? function : "", context});
    return nullptr;
}
