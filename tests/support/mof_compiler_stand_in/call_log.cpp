#include "call_log.h"

CallLog& CallLog::Instance()
{
    static CallLog log;
    return log;
}

void CallLog::Reset()
{
    std::lock_guard<std::mutex> hold(lock_);
    calls_.clear();
    script_.clear();
}

void CallLog::Script(HRESULT result, const WBEM_COMPILE_STATUS_INFO& status)
{
    std::lock_guard<std::mutex> hold(lock_);
    script_.push_back({result, status});
}

HRESULT CallLog::RecordAndAnswer(RecordedCall call, WBEM_COMPILE_STATUS_INFO* status)
{
    std::lock_guard<std::mutex> hold(lock_);
    calls_.push_back(std::move(call));
    Answer answer = {S_OK, {}};
    if (!script_.empty()) {
        answer = script_.front();
        // The last answer stays for every later call.
        if (script_.size() > 1) {
            script_.pop_front();
        }
    }
    if (status != nullptr) {
        *status = answer.status;
    }
    return answer.result;
}

void CallLog::Record(RecordedCall call)
{
    std::lock_guard<std::mutex> hold(lock_);
    calls_.push_back(std::move(call));
}

LONG CallLog::Count() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return static_cast<LONG>(calls_.size());
}

std::optional<RecordedCall> CallLog::Call(LONG index) const
{
    std::lock_guard<std::mutex> hold(lock_);
    if (index < 0 || static_cast<std::size_t>(index) >= calls_.size()) {
        return std::nullopt;
    }
    return calls_[static_cast<std::size_t>(index)];
}

std::optional<std::wstring> ArgumentText(const wchar_t* argument)
{
    if (argument == nullptr) {
        return std::nullopt;
    }
    return std::wstring(argument);
}
